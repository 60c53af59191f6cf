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

// The value of a key, or nullopt when the file has no such key: a value
// never holds a line end, so the default tells the two apart.
std::optional<std::string> readValue(const char* section, const char* key, const std::string& path)
{
    constexpr char ABSENT[] = "\n";
    char buf[setting::VALUE_BUFFER] = {};
    platform::GetPrivateProfileStringA(section, key, ABSENT, buf, sizeof buf, path);
    if (std::string_view(buf) == ABSENT)
        return std::nullopt;
    return std::string(buf);
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
int CPropatyTandrel::otherRowNamed(const std::string& name, int transport, const char* host)
{
    const char* word = transport == 0 ? setting::TRANSPORT_SKYPE : transport == 1 ? setting::TRANSPORT_TCP : "";
    for (int i = 0; i < getConnectNum(); ++i) {
        const char* rowName = getRecName(i);
        if (!rowName || name != rowName)
            continue;
        const char* trs = getRecTransport(i);
        const char* rowHost = getRecHost(i);
        const bool sameLink =
            trs && rowHost && host && std::string_view(trs) == word && std::string_view(rowHost) == host;
        if (!sameLink)
            return i;
    }
    return -1;
}

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

// What was wrong with the value of a whole-number key, as the tail of
// "Yuvo.ini の<what>（<key>）" (UTF-8).
std::string numberFound(const std::string& inFile, const std::optional<int>& number, const setting::IntValue& v)
{
    char found[200];
    if (number)
        std::snprintf(found, sizeof found, "%s は %d から %d の範囲外です", setting::trimmed(inFile).c_str(), v.min,
                      v.max);
    else if (setting::trimmed(inFile).empty())
        std::snprintf(found, sizeof found, "に値がありません");
    else
        std::snprintf(found, sizeof found, "「%s」は整数ではありません", shownUtf8(inFile).c_str());
    return found;
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

int CPropatyTandrel::readHeldInt(const char* what, const setting::IntValue& v, bool clampAbove, const char* uses,
                                 HeldValue& held)
{
    const std::optional<std::string> value = readValue(SECTION_SYSTEM, v.key, m_iniPath);
    if (!value)
        return v.defaultValue;
    const std::string& inFile = *value;
    const std::optional<int> number = setting::wholeNumber(inFile);
    if (number && v.accepts(*number))
        return *number;
    const int used = number && clampAbove && *number > v.max ? v.max : v.defaultValue;
    held = {true, inFile, std::to_string(used)};
    char usedText[64];
    std::snprintf(usedText, sizeof usedText, uses, used);
    char text[512];
    std::snprintf(text, sizeof text,
                  "Yuvo.ini の%s（%s）%s。このノードは%sを使います。"
                  "Yuvo.ini の値は、システム設定で変更するまでそのまま残します。",
                  what, v.key, numberFound(inFile, number, v).c_str(), usedText);
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
    // A count of days below the range (a "-1" meant as "never") would
    // expire every own file at once when cut to 0: it gives the default,
    // like a value that is no number; one above the range is cut to it.
    setLimitDay(readHeldInt("登録の有効日数", setting::LIMITDAY, true, " %d 日", m_heldLimitDay));
    setWindow(readInt(SECTION_SYSTEM, setting::WINDOW, m_iniPath));
    // Port 0 would listen on a port nobody knows, one beyond 65535 never.
    setListenPort(readHeldInt("待ち受けポート番号", setting::LISTENPORT, false, "ポート %d ", m_heldListenPort));

    setSendFolder(m_sendFolder.c_str());
    setRecvFolder(m_recvFolder.c_str());

    readConnectionRows();
}

namespace {

// The carrier's name of a row as the node uses it: the two it knows are
// taken in any case ("tcp" is plainly TCP); any other text stays as
// written.
std::string carrierWord(const std::string& trs)
{
    for (const char* word : {setting::TRANSPORT_TCP, setting::TRANSPORT_SKYPE})
        if (cp932::equalsIgnoreAsciiCase(trs, word))
            return word;
    return trs;
}

// The head of a notice about a connection section: "Yuvo.ini の [RECk]"
// and the row's name when it has one (CP932).
std::string sectionHead(const std::string& section, const std::string& name)
{
    std::string head = cpText("Yuvo.ini の [") + section + "]";
    if (!name.empty())
        return head + cpText("（接続ノード名「") + shown(name) + cpText("」）");
    return head + " ";
}

} // namespace

void CPropatyTandrel::readConnectionRows()
{
    const std::string& ini = m_iniPath;
    const setting::IntValue& v = setting::CONNECTNUM;
    const std::optional<std::string> count = readValue(SECTION_SYSTEM, v.key, ini);
    const std::optional<int> number = count ? setting::wholeNumber(*count) : std::nullopt;
    // Without a count the node can use, the sections the user wrote are
    // what the user plainly wants: those are read, and nothing else.
    const bool bySections = !number || *number < v.min;
    const int sections = bySections ? v.max : std::min(*number, v.max);

    m_rowSections.clear();
    m_countInFile = bySections ? -1 : sections;
    m_lastSection = 0;
    m_rowsEdited = false;
    std::vector<std::string> rowNotices;
    std::string present; // the sections found, as "[REC1]、[REC2]"
    std::string absent;  // and those not found
    int accepted = 0;
    for (int k = 1; k <= sections; ++k) {
        const std::string section = setting::connectionSection(k - 1);
        const std::string name = readText(section.c_str(), setting::REC_NAME.key, ini);
        const std::string trs = carrierWord(readText(section.c_str(), setting::REC_TRS.key, ini));
        const std::string skypeId = readText(section.c_str(), setting::REC_SKYPEID.key, ini);
        const std::string hostName = readText(section.c_str(), setting::REC_HOSTNAME.key, ini);
        const std::string comment = readText(section.c_str(), setting::REC_COMMENT.key, ini);
        if (name.empty() && trs.empty() && skypeId.empty() && hostName.empty()) {
            absent += (absent.empty() ? "[" : cpText("、[")) + section + "]";
            continue;
        }
        present += (present.empty() ? "[" : cpText("、[")) + section + "]";

        const bool skype = trs == setting::TRANSPORT_SKYPE;
        const bool tcp = trs == setting::TRANSPORT_TCP;
        const char* missing = nullptr;
        if (name.empty())
            missing = "に接続ノード名（NAME）がありません";
        else if (trs.empty())
            missing = "に接続方式（TRS）がありません";
        else if (skype && skypeId.empty())
            missing = "は接続方式が SKYPE で、Skype ID（SKYPEID）がありません";
        else if (tcp && hostName.empty())
            missing = "は接続方式が TCP で、接続先（HOSTNAME）がありません";
        m_lastSection = k;
        if (missing) {
            rowNotices.push_back(sectionHead(section, name) + cpText(missing)
                                 + cpText("。この接続先は使いません。この節は、接続先を変更するまで Yuvo.ini に"
                                          "そのまま残します。"));
            continue;
        }

        const int r = accepted++;
        m_rowSections.push_back(k);
        setRecName(r, name.c_str());
        setRecTransport(r, trs.c_str());
        if (skype)
            setRecSkypeId(r, skypeId.c_str());
        else
            setRecHostName(r, hostName.c_str());
        setRecComment(r, comment.c_str());

        // Kept as a row as the user wrote it, and never dialled (the
        // transport facade dials only these two carriers, and a TCP row
        // only at a usable host and port).
        if (!skype && !tcp)
            rowNotices.push_back(sectionHead(section, name) + cpText("の接続方式（TRS）「") + shown(trs)
                                 + cpText("」は TCP でも SKYPE でもありません。この接続先には接続しません。"
                                          "接続方式は TCP か SKYPE にしてください。"));
        else if (tcp && !setting::isUsableHostName(hostName))
            rowNotices.push_back(sectionHead(section, name) + cpText("の接続先（HOSTNAME）「") + shown(hostName)
                                 + cpText("」は使えません。この接続先には接続しません。接続先はホスト名、IPv4 アドレス"
                                          "または IPv6 アドレスで、ポート番号（1 から 65535）はその後ろに「/」を付けて"
                                          "書きます（例: 127.0.0.1/43000）。"));
    }

    if (!bySections && !absent.empty()) {
        char text[200];
        std::snprintf(text, sizeof text, " がありません（接続先の数（%s）は %d です）。", v.key, *number);
        rowNotices.push_back(cpText("Yuvo.ini に ") + absent + cpText(text));
    }
    if (number && *number > v.max) {
        char text[400];
        std::snprintf(text, sizeof text,
                      "Yuvo.ini の接続先の数（%s）%d は %d から %d の範囲外です。このノードは [REC1] から [REC%d] "
                      "までを読み込みます。",
                      v.key, *number, v.min, v.max, v.max);
        m_settingNotices.push_back(cpText(text));
    }
    m_keepConnectionSections = bySections && (count || !present.empty());
    if (m_keepConnectionSections) {
        char found[300];
        if (!count)
            std::snprintf(found, sizeof found, "Yuvo.ini の [%s] に接続先の数（%s）がありません", SECTION_SYSTEM, v.key);
        else
            std::snprintf(found, sizeof found, "Yuvo.ini の接続先の数（%s）%s", v.key,
                          numberFound(*count, number, v).c_str());
        const std::string does = present.empty()
            ? cpText("Yuvo.ini に接続先の節（[REC1] から [REC10]）がないため、このノードには接続先がありません。")
            : cpText("このノードは Yuvo.ini にある接続先の節 ") + present + cpText(" を読み込みます。");
        m_settingNotices.push_back(cpText(found) + cpText("。") + does
                                   + cpText("Yuvo.ini の接続先は、接続先を変更するまでそのまま残します。"));
    }
    for (std::string& t : rowNotices)
        m_settingNotices.push_back(std::move(t));
    m_rowsRead = rowsAsText();
}

std::vector<std::string> CPropatyTandrel::rowsAsText()
{
    std::vector<std::string> rows;
    for (int i = 0; i < getConnectNum(); ++i) {
        std::string row;
        for (const char* cell : {getRecName(i), getRecTransport(i), getRecHostName(i), getRecSkypeId(i),
                                 getRecComment(i)})
            row += std::string(cell ? cell : "") + '\n';
        rows.push_back(std::move(row));
    }
    return rows;
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
    // A count the node could not use keeps the file's connection part as
    // the user wrote it, until the rows are changed.
    if (!m_rowsEdited && m_keepConnectionSections && rowsAsText() == m_rowsRead)
        return ok;
    const int rows = getConnectNum();
    if (!m_rowsEdited && rows == static_cast<int>(m_rowSections.size())) {
        // The same rows (a hello may have renamed one): each goes back where
        // it came from, and what lies between them stays as it is.
        if (!m_keepConnectionSections)
            ok &= writeInt(SECTION_SYSTEM, setting::CONNECTNUM.key, m_countInFile >= 0 ? m_countInFile : rows, ini);
        for (int i = 0; i < rows; ++i)
            ok &= writeRow(i, m_rowSections[static_cast<std::size_t>(i)]);
        return ok;
    }

    // The rows the user set in the window are the whole connection part.
    ok &= writeInt(SECTION_SYSTEM, setting::CONNECTNUM.key, rows, ini);
    for (int i = 0; i < rows; ++i)
        ok &= writeRow(i, i + 1);
    // What lay beyond them would be a stale copy of a moved row, or a
    // section the user let go by changing the rows.
    for (int k = rows + 1; k <= m_lastSection; ++k)
        ok &= platform::WritePrivateProfileStringA(setting::connectionSection(k - 1).c_str(), nullptr, nullptr, ini)
            != FALSE;
    m_rowSections.clear();
    for (int i = 0; i < rows; ++i)
        m_rowSections.push_back(i + 1);
    m_countInFile = rows;
    m_lastSection = ok ? rows : std::max(rows, m_lastSection);
    m_keepConnectionSections = false;
    m_rowsEdited = !ok;
    return ok;
}

bool CPropatyTandrel::writeRow(int i, int k)
{
    const std::string& ini = m_iniPath;
    const std::string section = setting::connectionSection(k - 1);
    bool ok = writeText(section.c_str(), setting::REC_NAME.key, getRecName(i), ini);
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
    return ok;
}
