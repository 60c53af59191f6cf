#include "store/settings.h"

#include <algorithm>
#include <cstdio>

#include "platform/cp932.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/profile.h"

CPropatyTandrel* CPropatyTandrel::s_instance = nullptr;

namespace {

const char INI_NAME[] = "Yuvo.ini";
const char SECTION_SYSTEM[] = "SYSTEM";
constexpr int MAX_CONNECTION_SECTIONS = 10;
// Every text value is read into a buffer of this size.
constexpr DWORD VALUE_BUFFER = 261;

std::string readText(const char* section, const char* key, const std::string& path)
{
    char buf[VALUE_BUFFER] = {};
    platform::GetPrivateProfileStringA(section, key, "", buf, sizeof buf, path);
    return buf;
}

int readInt(const char* section, const char* key, int def, const std::string& path)
{
    return static_cast<int>(platform::GetPrivateProfileIntA(section, key, def, path));
}

void writeText(const char* section, const char* key, const char* value, const std::string& path)
{
    // A missing value is written as an empty one: the key always stays.
    platform::WritePrivateProfileStringA(section, key, value ? value : "", path);
}

void writeInt(const char* section, const char* key, int value, const std::string& path)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", value);
    platform::WritePrivateProfileStringA(section, key, buf, path);
}

} // namespace

CPropatyTandrel::CPropatyTandrel()
{
    m_curDir = paths::currentDirectory();
    m_iniPath = paths::joinFixed(m_curDir, INI_NAME);
    m_recvFolder = paths::joinFixed(m_curDir, "RECV");
    m_sendFolder = paths::joinFixed(m_curDir, "SEND");

    // Failures are not fatal here: the catalog and the scan report their
    // own trouble when a folder is missing.
    platform::makeSureDirectoryPathExists(getCatalogFolder() + "/");
    platform::makeSureDirectoryPathExists(m_sendFolder + "/");
    platform::makeSureDirectoryPathExists(m_recvFolder + "/");

    s_instance = this;
}

CPropatyTandrel::~CPropatyTandrel()
{
    // Nobody may reach a settings object that is gone.
    if (s_instance == this)
        s_instance = nullptr;
}

CPropatyTandrel* CPropatyTandrel::getInstance()
{
    return s_instance;
}

std::string& CPropatyTandrel::getIniPath(std::string& out)
{
    out = paths::joinFixed(paths::currentDirectory(), INI_NAME);
    return out;
}

std::string& CPropatyTandrel::readPartyName(std::string& out)
{
    std::string ini;
    out = cp932::cutText(readText(SECTION_SYSTEM, "PARTY", getIniPath(ini)), PARTY_NAME_MAX);
    return out;
}

std::string CPropatyTandrel::getCatalogFolder() const
{
    return paths::joinFixed(m_curDir, "CATALOG");
}

const char* CPropatyTandrel::getRecvFolder() { return m_recvFolder.c_str(); }
const char* CPropatyTandrel::getSendFolder() { return m_sendFolder.c_str(); }
const char* CPropatyTandrel::getRecComment(int) { return nullptr; }
const char* CPropatyTandrel::getRecHostName(int) { return nullptr; }
const char* CPropatyTandrel::getRecSkypeId(int) { return nullptr; }
const char* CPropatyTandrel::getRecTransport(int) { return nullptr; }
int CPropatyTandrel::getConnectNum() { return 0; }
const char* CPropatyTandrel::getNodeName() { return nullptr; }
const char* CPropatyTandrel::getRecName(int) { return nullptr; }
int CPropatyTandrel::isAcceptSkypeId(const char*) { return 0; }
const char* CPropatyTandrel::getPartyName() { return nullptr; }
int CPropatyTandrel::getLimitDay() { return 0; }
void CPropatyTandrel::setRecComment(int, const char*) {}
void CPropatyTandrel::setRecvFolder(const char*) {}
void CPropatyTandrel::setSendFolder(const char*) {}
void CPropatyTandrel::setRecHostName(int, const char*) {}
void CPropatyTandrel::setRecSkypeId(int, const char*) {}
void CPropatyTandrel::setRecTransport(int, const char*) {}
void CPropatyTandrel::setRecName(int, const char*) {}
void CPropatyTandrel::setNodeName(const char*) {}
void CPropatyTandrel::setPartyName(const char*) {}
void CPropatyTandrel::setLimitDay(int) {}

void CPropatyTandrel::readSetting()
{
    const std::string& ini = m_iniPath;

    // The names travel in fixed record fields; a longer name would be cut
    // differently in each place, so it is cut once here on a character
    // boundary.
    setPartyName(cp932::cutText(readText(SECTION_SYSTEM, "PARTY", ini), PARTY_NAME_MAX).c_str());
    setNodeName(cp932::cutText(readText(SECTION_SYSTEM, "NAME", ini), NODE_NAME_MAX).c_str());
    // A negative count of days would expire every own file at once.
    setLimitDay(std::clamp(readInt(SECTION_SYSTEM, "LIMITDAY", 3, ini), LIMITDAY_MIN, LIMITDAY_MAX));
    setWindow(readInt(SECTION_SYSTEM, "WINDOW", 0, ini));
    setListenPort(readInt(SECTION_SYSTEM, "LISTENPORT", 42000, ini));

    setSendFolder(m_sendFolder.c_str());
    setRecvFolder(m_recvFolder.c_str());

    const int n = readInt(SECTION_SYSTEM, "CONNECTNUM", 0, ini);
    int accepted = 0;
    for (int k = 1; k <= n && k <= MAX_CONNECTION_SECTIONS; ++k) {
        char section[16];
        std::snprintf(section, sizeof section, "REC%d", k);
        const std::string name = readText(section, "NAME", ini);
        const std::string trs = readText(section, "TRS", ini);
        const std::string skypeId = readText(section, "SKYPEID", ini);
        const std::string hostName = readText(section, "HOSTNAME", ini);
        const std::string comment = readText(section, "COMMENT", ini);

        if (name.empty() || trs.empty())
            continue;
        const bool skype = trs == "SKYPE";
        if (skype && skypeId.empty())
            continue;
        if (trs == "TCP" && hostName.empty())
            continue;

        const int r = accepted++;
        setRecName(r, name.c_str());
        setRecTransport(r, trs.c_str());
        if (skype)
            setRecSkypeId(r, skypeId.c_str());
        else
            setRecHostName(r, hostName.c_str());
        setRecComment(r, comment.c_str());
    }
}

void CPropatyTandrel::writeSetting()
{
    const std::string& ini = m_iniPath;

    writeText(SECTION_SYSTEM, "PARTY", getPartyName(), ini);
    writeText(SECTION_SYSTEM, "NAME", getNodeName(), ini);
    writeInt(SECTION_SYSTEM, "LIMITDAY", getLimitDay(), ini);
    writeInt(SECTION_SYSTEM, "WINDOW", getWindow(), ini);
    writeInt(SECTION_SYSTEM, "LISTENPORT", getListenPort(), ini);
    writeInt(SECTION_SYSTEM, "CONNECTNUM", getConnectNum(), ini);

    for (int i = 0; i < getConnectNum(); ++i) {
        char section[16];
        std::snprintf(section, sizeof section, "REC%d", i + 1);
        writeText(section, "NAME", getRecName(i), ini);
        // Copied: the getters may share one buffer per operation.
        const char* t = getRecTransport(i);
        const std::string trs = t ? t : "";
        writeText(section, "TRS", trs.c_str(), ini);
        if (trs == "SKYPE") {
            writeText(section, "SKYPEID", getRecSkypeId(i), ini);
            writeText(section, "HOSTNAME", "", ini);
        } else {
            writeText(section, "SKYPEID", "", ini);
            writeText(section, "HOSTNAME", getRecHostName(i), ini);
        }
        writeText(section, "COMMENT", getRecComment(i), ini);
    }
}
