#include "store/settings.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "platform/cp932.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/profile.h"

CPropatyTandrel* CPropatyTandrel::s_instance = nullptr;

namespace {

using setting::SECTION_SYSTEM;

const char INI_NAME[] = "Yuvo.ini";

std::string readText(const char* section, const char* key, const std::string& path)
{
    char buf[setting::VALUE_BUFFER] = {};
    platform::GetPrivateProfileStringA(section, key, "", buf, sizeof buf, path);
    return buf;
}

// A name cut once on a character boundary: it travels in fixed record
// fields, where a longer one would be cut differently in each place.
std::string readName(const setting::TextValue& v, const std::string& path)
{
    return cp932::cutText(readText(SECTION_SYSTEM, v.key, path), v.maxBytes);
}

int readInt(const char* section, const setting::IntValue& v, const std::string& path)
{
    return static_cast<int>(platform::GetPrivateProfileIntA(section, v.key, v.defaultValue, path));
}

bool writeText(const char* section, const char* key, const char* value, const std::string& path)
{
    // A missing value is written as an empty one: the key always stays.
    return platform::WritePrivateProfileStringA(section, key, value ? value : "", path);
}

bool writeInt(const char* section, const char* key, int value, const std::string& path)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", value);
    return platform::WritePrivateProfileStringA(section, key, buf, path);
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

const Switches& CPropatyTandrel::switches()
{
    static const Switches defaults;
    return s_instance ? s_instance->getSwitches() : defaults;
}

const Switches& CPropatyTandrel::getSwitches()
{
    static const Switches defaults;
    return defaults;
}

std::string& CPropatyTandrel::getIniPath(std::string& out)
{
    out = paths::joinFixed(paths::currentDirectory(), INI_NAME);
    return out;
}

std::string& CPropatyTandrel::readPartyName(std::string& out)
{
    std::string ini;
    out = readName(setting::PARTY, getIniPath(ini));
    return out;
}

int CPropatyTandrel::removeLeftovers()
{
    const std::string dir = paths::currentDirectory();
    const std::string send = paths::joinFixed(dir, "SEND");
    int removed = 0;
    for (const std::string& folder : {dir, paths::joinFixed(dir, "CATALOG"), send, paths::joinFixed(send, "YUVO")}) {
        const int n = platform::removeTemporaryLeftovers(folder);
        if (n > 0) {
            std::printf("CPropatyTandrel::removeLeftovers() %d temporary file(s) of an interrupted write removed"
                        " from %s\n",
                        n, folder.c_str());
            removed += n;
        }
    }
    return removed;
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

namespace {

std::string cpText(const char* utf8)
{
    return cp932::fromUtf8(utf8).value_or(utf8);
}

// The notice of a name used cut to its field.
std::string nameTooLong(const char* what, const setting::TextValue& v, const std::string& used)
{
    char head[256];
    std::snprintf(head, sizeof head, "Yuvo.ini の%s（%s）が %zu バイトを超えています。このノードは「", what, v.key,
                  v.maxBytes);
    return cpText(head) + used
        + cpText("」を使います。Yuvo.ini の値は、システム設定で変更するまでそのまま残します。");
}

// A text of the file as the user would read it in a notice (CP932): as it
// stands when it is CP932 text, else its UTF-8 reading, else with every byte
// beyond ASCII shown as '?'; cut after 40 bytes.
std::string shown(const std::string& text)
{
    const std::string cut = cp932::cutText(text, 40);
    if (cp932::toUtf8(cut))
        return cut + (cut.size() < text.size() ? "..." : "");
    if (std::optional<std::string> fromUtf8 = cp932::fromUtf8(text))
        return shown(*fromUtf8);
    std::string out;
    for (const char c : text.substr(0, 40))
        out += static_cast<unsigned char>(c) < 0x80 ? c : '?';
    return out;
}

// The same in UTF-8, for a notice put together in UTF-8.
std::string shownUtf8(const std::string& text)
{
    const std::string s = shown(text);
    return cp932::toUtf8(s).value_or("?");
}

// The CP932 text of a value that reads as UTF-8 holding characters beyond
// ASCII (the file was saved as UTF-8), nullopt otherwise: the conversion
// takes only whole UTF-8. A CP932 text seldom reads as UTF-8 and then
// hardly ever as CP932 text again.
std::optional<std::string> utf8Japanese(const std::string& text)
{
    const bool beyondAscii =
        std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return beyondAscii ? cp932::fromUtf8(text) : std::nullopt;
}

// The notice of a name that is not set.
std::string nameMissing(const char* what, const setting::TextValue& v)
{
    char text[400];
    std::snprintf(text, sizeof text,
                  "Yuvo.ini の [%s] に%s（%s）が設定されていません。設定するまで、このノードは他のノードと接続"
                  "できません。システム設定で設定してください。",
                  SECTION_SYSTEM, what, v.key);
    return cpText(text);
}

// The notice of a name other nodes would refuse, or that was saved as UTF-8
// (asCp932: what it reads as then).
std::string nameRefused(const char* what, const setting::TextValue& v, const std::string& inFile,
                        const std::optional<std::string>& asCp932)
{
    char head[200];
    std::snprintf(head, sizeof head, "Yuvo.ini の%s（%s）", what, v.key);
    if (asCp932)
        return cpText(head)
            + cpText("は UTF-8 で保存されています（「") + shown(*asCp932)
            + cpText("」）。Yuvo.ini はシフトJIS（コードページ 932）のテキストです。このままでは他のノードと"
                     "接続できません。Yuvo.ini をシフトJIS で保存し直すか、システム設定で設定し直してください。");
    return cpText(head) + cpText("「") + shown(inFile)
        + cpText("」は他のノードが受け付けない名前です（シフトJIS（コードページ 932）の文字で、「/」「\\」「:」や"
                 "制御文字を含まない名前にしてください）。このままでは他のノードと接続できません。"
                 "システム設定で設定し直してください。");
}

} // namespace

std::string CPropatyTandrel::toWrite(const HeldValue& v, const std::string& current)
{
    return v.held && current == v.used ? v.inFile : current;
}

std::string CPropatyTandrel::readHeldName(const char* what, const setting::TextValue& v, bool nodeName,
                                          HeldValue& held)
{
    const std::string inFile = readText(SECTION_SYSTEM, v.key, m_iniPath);
    const std::string used = cp932::cutText(inFile, v.maxBytes);
    if (inFile.empty()) {
        m_settingNotices.push_back(nameMissing(what, v));
        return used;
    }
    const std::optional<std::string> asUtf8 = utf8Japanese(inFile);
    const bool refused = nodeName ? !setting::isUsableNodeName(used) : !cp932::toUtf8(inFile);
    if (asUtf8 || refused)
        m_settingNotices.push_back(nameRefused(what, v, inFile, asUtf8));
    if (used != inFile) {
        held = {true, inFile, used};
        m_settingNotices.push_back(nameTooLong(what, v, used));
    }
    return used;
}

int CPropatyTandrel::readHeldInt(const char* what, const setting::IntValue& v, bool clampOutOfRange,
                                 const char* uses, HeldValue& held)
{
    const std::string inFile = readText(SECTION_SYSTEM, v.key, m_iniPath);
    // An empty value counts as none, as the profile reader has it.
    if (setting::trimmed(inFile).empty())
        return v.defaultValue;
    const std::optional<int> number = setting::wholeNumber(inFile);
    if (number && v.accepts(*number))
        return *number;
    const int used = number && clampOutOfRange ? v.clamp(*number) : v.defaultValue;
    held = {true, inFile, std::to_string(used)};
    char found[200];
    if (number)
        std::snprintf(found, sizeof found, "%s は %d から %d の範囲外です", setting::trimmed(inFile).c_str(), v.min,
                      v.max);
    else
        std::snprintf(found, sizeof found, "「%s」は整数ではありません", shownUtf8(inFile).c_str());
    char usedText[64];
    std::snprintf(usedText, sizeof usedText, uses, used);
    char text[512];
    std::snprintf(text, sizeof text,
                  "Yuvo.ini の%s（%s）%s。このノードは%sを使います。"
                  "Yuvo.ini の値は、システム設定で変更するまでそのまま残します。",
                  what, v.key, found, usedText);
    m_settingNotices.push_back(cpText(text));
    return used;
}

std::vector<std::string> CPropatyTandrel::takeSettingNotices()
{
    std::vector<std::string> out;
    out.swap(m_settingNotices);
    return out;
}

void CPropatyTandrel::readSetting()
{
    const std::string& ini = m_iniPath;

    // The names travel in fixed record fields and are used cut to them; a
    // silent cut would change the node's identity without a word, and
    // writing the cut value back would make it stick.
    m_heldParty = {};
    m_heldName = {};
    m_heldLimitDay = {};
    m_settingNotices.clear();
    m_heldListenPort = {};
    setPartyName(readHeldName("パーティ名", setting::PARTY, false, m_heldParty).c_str());
    setNodeName(readHeldName("ノード名", setting::NAME, true, m_heldName).c_str());
    // A negative count of days would expire every own file at once, and a
    // mistyped one read as 0 the next day: a number out of range is cut to
    // the range, anything else gives the default.
    setLimitDay(readHeldInt("登録の有効日数", setting::LIMITDAY, true, " %d 日", m_heldLimitDay));
    setWindow(readInt(SECTION_SYSTEM, setting::WINDOW, ini));
    // Port 0 would listen on a port nobody knows, one beyond 65535 never.
    setListenPort(readHeldInt("待ち受けポート番号", setting::LISTENPORT, false, "ポート %d ", m_heldListenPort));

    setSendFolder(m_sendFolder.c_str());
    setRecvFolder(m_recvFolder.c_str());

    const int n = readInt(SECTION_SYSTEM, setting::CONNECTNUM, ini);
    int accepted = 0;
    for (int k = 1; k <= n && k <= setting::CONNECTNUM.max; ++k) {
        const std::string section = setting::connectionSection(k - 1);
        const std::string name = readText(section.c_str(), setting::REC_NAME.key, ini);
        const std::string trs = readText(section.c_str(), setting::REC_TRS.key, ini);
        const std::string skypeId = readText(section.c_str(), setting::REC_SKYPEID.key, ini);
        const std::string hostName = readText(section.c_str(), setting::REC_HOSTNAME.key, ini);
        const std::string comment = readText(section.c_str(), setting::REC_COMMENT.key, ini);

        if (name.empty() || trs.empty())
            continue;
        const bool skype = trs == setting::TRANSPORT_SKYPE;
        if (skype && skypeId.empty())
            continue;
        if (trs == setting::TRANSPORT_TCP && hostName.empty())
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

bool CPropatyTandrel::writeSetting()
{
    const std::string& ini = m_iniPath;
    // Every key is tried, whatever failed before it.
    bool ok = true;

    // A value used cut to its limit stays in the file as it stands until it
    // is changed.
    const char* party = getPartyName();
    const char* name = getNodeName();
    ok &= writeText(SECTION_SYSTEM, setting::PARTY.key, toWrite(m_heldParty, party ? party : "").c_str(), ini);
    ok &= writeText(SECTION_SYSTEM, setting::NAME.key, toWrite(m_heldName, name ? name : "").c_str(), ini);
    ok &= writeText(SECTION_SYSTEM, setting::LIMITDAY.key,
                    toWrite(m_heldLimitDay, std::to_string(getLimitDay())).c_str(), ini);
    ok &= writeInt(SECTION_SYSTEM, setting::WINDOW.key, getWindow(), ini);
    ok &= writeText(SECTION_SYSTEM, setting::LISTENPORT.key,
                    toWrite(m_heldListenPort, std::to_string(getListenPort())).c_str(), ini);
    ok &= writeInt(SECTION_SYSTEM, setting::CONNECTNUM.key, getConnectNum(), ini);

    for (int i = 0; i < getConnectNum(); ++i) {
        const std::string section = setting::connectionSection(i);
        ok &= writeText(section.c_str(), setting::REC_NAME.key, getRecName(i), ini);
        // Copied: the getters may share one buffer per operation.
        const char* t = getRecTransport(i);
        const std::string trs = t ? t : "";
        ok &= writeText(section.c_str(), setting::REC_TRS.key, trs.c_str(), ini);
        if (trs == setting::TRANSPORT_SKYPE) {
            ok &= writeText(section.c_str(), setting::REC_SKYPEID.key, getRecSkypeId(i), ini);
            ok &= writeText(section.c_str(), setting::REC_HOSTNAME.key, "", ini);
        } else {
            ok &= writeText(section.c_str(), setting::REC_SKYPEID.key, "", ini);
            ok &= writeText(section.c_str(), setting::REC_HOSTNAME.key, getRecHostName(i), ini);
        }
        ok &= writeText(section.c_str(), setting::REC_COMMENT.key, getRecComment(i), ini);
    }
    return ok;
}
