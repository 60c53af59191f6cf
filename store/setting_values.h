// Every setting of Yuvo.ini once: its key, its default, its limits and the
// rule a value must meet. The INI reader and writer, the main window, its
// dialogs and the node window all take them from here, so a limit or a
// default changes in one place.
//
// Texts are CP932. The refusal messages are UTF-8, for the dialogs to show.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace setting {

// A whole-number setting: its key, the value when the key is absent, and
// the range a value must lie in.
struct IntValue {
    const char* key;
    int defaultValue;
    int min;
    int max;
    constexpr bool accepts(int v) const { return v >= min && v <= max; }
};

// A text setting: its key, the most CP932 bytes the program keeps of it
// (0: what the read buffer holds), and the most the user may type into its
// field (0: no limit of its own).
struct TextValue {
    const char* key;
    std::size_t maxBytes;
    std::size_t typedMax;
};

inline constexpr char SECTION_SYSTEM[] = "SYSTEM";

// The names travel in fixed record fields (partyName 24 bytes, originNode
// and route entries 32): longer ones are cut there, so they are cut once on
// reading. The dialogs take fewer bytes than the fields hold.
inline constexpr TextValue PARTY{"PARTY", 24, 18};
inline constexpr TextValue NAME{"NAME", 32, 30};
// Days from an own registration to its expiry.
inline constexpr IntValue LIMITDAY{"LIMITDAY", 3, 0, 3650};
// 0: the window opens at start; 1: the node starts in the tray.
inline constexpr IntValue WINDOW{"WINDOW", 0, 0, 1};
// The TCP listening port, and the port of a connection row without one.
inline constexpr IntValue LISTENPORT{"LISTENPORT", 42000, 1, 65535};
// The number of connection sections; at most `max` are read back, so no
// more rows may be made.
inline constexpr IntValue CONNECTNUM{"CONNECTNUM", 0, 0, 10};

// The section of connection row i (from 0): "REC1" for row 0.
std::string connectionSection(int row);
// A neighbour's node name; the dialog takes as many bytes as a record's
// name field holds.
inline constexpr TextValue REC_NAME{"NAME", 0, 32};
inline constexpr TextValue REC_TRS{"TRS", 0, 0};
inline constexpr TextValue REC_SKYPEID{"SKYPEID", 0, 0};
// A host, optionally followed by "/" and the port.
inline constexpr TextValue REC_HOSTNAME{"HOSTNAME", 0, 50};
inline constexpr TextValue REC_COMMENT{"COMMENT", 0, 0};
inline constexpr char TRANSPORT_SKYPE[] = "SKYPE";
inline constexpr char TRANSPORT_TCP[] = "TCP";

// The own node's contact data in section SYSTEM, written by the node
// window. maxBytes is the most that is read back.
inline constexpr TextValue NODESKYPEID{"NODESKYPEID", 2048, 0};
inline constexpr TextValue NODEMAILADR{"NODEMAILADR", 2048, 0};
// The presences the node window offers; any other number is kept and
// published as it stands.
inline constexpr IntValue NODESTATUS{"NODESTATUS", 0, 0, 2};
// The information text as lower-case hex, two digits a byte: maxBytes is
// the most digits read back, typedMax the most bytes of text the own-contact
// dialog keeps.
inline constexpr TextValue INFOMATION{"INFOMATION", 2047, 1000};

// The number a value of the file gives, when it is a whole number: blanks
// at either end, an optional sign, then decimal digits and nothing else (a
// "0x10" is no number: read as the profile reader reads it, it would be a
// port or a count of days the user never wrote). One beyond what an int
// holds is held at INT_MIN or INT_MAX, so that it reads as out of range
// instead of wrapping around into it. nullopt: no whole number ("three",
// "3 days", "2.5", "0x10", an empty value).
std::optional<int> wholeNumber(std::string_view text);

// The node's own record file, which the node window writes into SEND.
inline constexpr char NODE_RECORD_FILE[] = "nodeInfomation.nod";

// Every text value of the file is read into a buffer of this many bytes.
inline constexpr std::size_t VALUE_BUFFER = 261;

// Blanks (space, tab) that the INI reader drops at either end of a value.
bool isBlank(char c);
bool hasBlankAtEitherEnd(std::string_view text);
// The text without blanks at either end: what the file gives back.
std::string trimmed(std::string_view text);

// A node name that can name a neighbour: one safe file-name component
// (queue file, RECV folder), not "catalog" in any case, no blanks at either
// end (they would not read back).
bool isUsableNodeName(std::string_view cp932Name);
inline constexpr char NODE_NAME_REFUSAL[] =
    "このノード名は使用できません。ノード名はフォルダ名とファイル名に使われるため、"
    "「/」「\\」「:」や制御文字を含む名前、前後に空白のある名前、「.」「..」「catalog」は設定できません。";

// A host as the TCP transport takes it: a host name (letters, digits, '-',
// '_', labels joined by '.'), an IPv4 address or an IPv6 address.
bool isUsableHost(std::string_view host);
// A host, or a host, "/" and a usable port.
bool isUsableHostName(std::string_view hostName);
inline constexpr char HOST_REFUSAL[] =
    "このホスト名は使用できません。ホスト名、IPv4アドレスまたはIPv6アドレスを入力してください"
    "（後ろに「/」とポート番号を付けることもできます）。";

// A port a link can use.
inline constexpr bool isUsablePort(int port)
{
    return LISTENPORT.accepts(port);
}
// Told when the settings file could not be written: what was changed holds
// until the program ends, and no longer.
inline constexpr char WRITE_FAILURE[] =
    "設定ファイル「Yuvo.ini」に書き込めませんでした。変更した設定は次の起動時には元に戻ります。"
    "ファイルとフォルダに書き込みができるか確認してください。";

std::string portRefusal();
std::string limitDayRefusal();
// The refusal of one more connection row than the file reads back.
std::string connectionRowsRefusal();

} // namespace setting
