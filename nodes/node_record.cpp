// Building and publishing the own node record, and the own-contact keys of
// the settings file.
#include <algorithm>
#include <cstring>
#include <vector>

#include "nodes/node_info_dlg.h"
#include "platform/cp932.h"
#include "platform/files.h"
#include "platform/localtime.h"
#include "platform/profile.h"
#include "store/folder_watch.h"
#include "store/helpers.h"
#include "store/settings.h"

namespace {

using setting::SECTION_SYSTEM;

// A text key, read back whole up to its limit.
std::string readKey(const setting::TextValue& v, const std::string& path)
{
    std::vector<char> buf(v.maxBytes + 1, '\0');
    platform::GetPrivateProfileStringA(SECTION_SYSTEM, v.key, "", buf.data(), DWORD(buf.size()), path);
    return buf.data();
}

} // namespace

const char* nodeRecordVersion()
{
    static const std::string s_version = std::string("Ver.:") + YUVO_PRODUCT_VERSION;
    return s_version.c_str();
}

void CNodeInfoDlg::loadOwnSettings()
{
    m_ownInfo.m_skypeId = readKey(setting::NODESKYPEID, m_iniPath);
    m_ownInfo.m_mail = readKey(setting::NODEMAILADR, m_iniPath);
    // Any status is kept and published as it stands.
    m_ownInfo.m_status = static_cast<int>(platform::GetPrivateProfileIntA(
        SECTION_SYSTEM, setting::NODESTATUS.key, setting::NODESTATUS.defaultValue, m_iniPath));
    // At most 2047 digits come back (an odd count decodes to nothing), so
    // the text ends in a zero byte.
    static_assert(setting::INFOMATION.maxBytes / 2 < NODE_INFO_LEN);
    const std::string hex = readKey(setting::INFOMATION, m_iniPath);
    BYTE info[NODE_INFO_LEN] = {};
    hexToBin(hex.c_str(), info, sizeof info);
    m_ownInfo.m_info = std::string(cp932::fieldText(reinterpret_cast<const char*>(info), sizeof info));
}

bool CNodeInfoDlg::saveOwnSettings()
{
    const auto write = [this](const char* key, const std::string& value) {
        return platform::WritePrivateProfileStringA(SECTION_SYSTEM, key, value.c_str(), m_iniPath) != FALSE;
    };
    std::vector<char> hex(2 * m_ownInfo.m_info.size() + 1);
    bytesToHex(static_cast<int>(m_ownInfo.m_info.size()),
               reinterpret_cast<const BYTE*>(m_ownInfo.m_info.data()), hex.data());
    // Every key is tried, whatever failed before it.
    bool ok = write(setting::NODESKYPEID.key, m_ownInfo.m_skypeId);
    ok &= write(setting::NODEMAILADR.key, m_ownInfo.m_mail);
    ok &= write(setting::NODESTATUS.key, std::to_string(m_ownInfo.m_status));
    ok &= write(setting::INFOMATION.key, hex.data());
    return ok;
}

void CNodeInfoDlg::buildOwnRecord()
{
    std::memset(&m_ownRecord, 0, sizeof m_ownRecord);
    m_ownRecord.recordKind = 1;
    m_ownRecord.recordSize = NODE_RECORD_SIZE;
    GetLocalTime(&m_ownRecord.time);
    m_ownInfo.m_time = m_ownRecord.time;

    const char* nodeName = m_pProp ? m_pProp->getNodeName() : "";
    cp932::copyField(m_ownRecord.name, sizeof m_ownRecord.name, nodeName);
    m_ownInfo.m_name = nodeName;
    cp932::copyField(m_ownRecord.mail, sizeof m_ownRecord.mail, m_ownInfo.m_mail.c_str());
    cp932::copyField(m_ownRecord.skypeId, sizeof m_ownRecord.skypeId, m_ownInfo.m_skypeId.c_str());
    m_ownRecord.status = static_cast<std::uint32_t>(m_ownInfo.m_status);

    const int n = m_pProp ? std::clamp(m_pProp->getConnectNum(), 0, NODE_ADJACENT_MAX) : 0;
    m_ownRecord.adjacentCount = n;
    m_ownInfo.m_adjacentCount = n;
    for (int i = 0; i < n; ++i) {
        const char* rec = m_pProp->getRecName(i);
        cp932::copyField(m_ownRecord.adjacent[i], NODE_NAME_LEN, rec ? rec : "");
        m_ownInfo.m_adjacent[i] = rec ? rec : "";
    }

    cp932::copyField(m_ownRecord.version, sizeof m_ownRecord.version, nodeRecordVersion());
    m_ownInfo.m_version = nodeRecordVersion();
    cp932::copyField(m_ownRecord.info, sizeof m_ownRecord.info, m_ownInfo.m_info.c_str());
}

void CNodeInfoDlg::writeOwnRecord()
{
    // Only into the SEND that the SEND check judged to be the known one, and
    // through the handle that found it so now: a SEND away, made anew or
    // swapped meanwhile gets nothing.
    platform::COpenFolder send;
    if (!m_pFolderWatch || !m_pFolderWatch->openKnownSend(send))
        return; // the next tick tries again
    platform::CFile f;
    if (!f.Open(send, NODE_RECORD_FILE,
                platform::CFile::modeCreate | platform::CFile::modeNoTruncate | platform::CFile::modeWrite))
        return;
    // A failed write leaves it for the next tick as well.
    f.TryWrite(&m_ownRecord, sizeof m_ownRecord);
    f.Close();
}
