#include "nodes/node_info.h"

#include <algorithm>
#include <cstdio>

#include "platform/cp932.h"
#include "platform/ui/text.h"

namespace {

std::string field(const char* f, std::size_t width)
{
    return std::string(cp932::fieldText(f, width));
}

} // namespace

CNodeInfo nodeInfoFromRecord(const NodeInfoRecord& rec)
{
    CNodeInfo info;
    info.m_name = field(rec.name, sizeof rec.name);
    info.m_mail = field(rec.mail, sizeof rec.mail);
    info.m_skypeId = field(rec.skypeId, sizeof rec.skypeId);
    info.m_version = field(rec.version, sizeof rec.version);
    info.m_info = field(rec.info, sizeof rec.info);
    info.m_time = rec.time;
    info.m_status = static_cast<int>(rec.status);
    info.m_adjacentCount = std::clamp<int>(rec.adjacentCount, 0, NODE_ADJACENT_MAX);
    for (int i = 0; i < info.m_adjacentCount; ++i)
        info.m_adjacent[i] = field(rec.adjacent[i], NODE_NAME_LEN);
    return info;
}

std::string nodeStatusText(int status)
{
    switch (status) {
    case NODE_PRESENT_CONTACTABLE:
        return ui::cp("在席(コンタクト可)");
    case NODE_PRESENT_NOT_CONTACTABLE:
        return ui::cp("在席(コンタクト不可)");
    case NODE_ABSENT:
        return ui::cp("不在");
    default:
        return "";
    }
}

std::string nodeTimeText(const SYSTEMTIME& t)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%4d/%2d/%2d %02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
    return buf;
}

std::string nodeVersionText(const std::string& version)
{
    // Byte-wise is safe: ',' and ';' are never the second byte of a CP932
    // double-byte character (those are 0x40 and above).
    std::string s = version;
    std::replace(s.begin(), s.end(), ',', '-');
    std::replace(s.begin(), s.end(), ';', '.');
    return s;
}

std::string mailtoUrl(const std::string& mail)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string url = "mailto:";
    for (unsigned char c : mail) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                           || c == '@' || c == '.' || c == '-' || c == '_' || c == '+';
        if (plain) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 0x0F];
        }
    }
    return url;
}
