#include "store/setting_values.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <climits>

#include "store/catalog.h"

namespace setting {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Neither blank is ever the second byte of a CP932 character, so the ends
// can be looked at byte by byte.
bool hasBlankAtEitherEnd(std::string_view text)
{
    return !text.empty() && (isBlank(text.front()) || isBlank(text.back()));
}

std::string trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

std::optional<int> wholeNumber(std::string_view text)
{
    const std::string t = trimmed(text);
    std::string_view digits(t);
    bool negative = false;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty())
        return std::nullopt;
    constexpr long long LIMIT = 1LL << 32; // beyond any int, and no overflow below it
    long long n = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = std::min(n * 10 + (c - '0'), LIMIT);
    }
    if (negative)
        n = -n;
    return int(std::clamp<long long>(n, INT_MIN, INT_MAX));
}

std::string connectionSection(int row)
{
    return "REC" + std::to_string(row + 1);
}

bool isUsableNodeName(std::string_view cp932Name)
{
    return CCatalog::isUsableNodeName(cp932Name) && !hasBlankAtEitherEnd(cp932Name);
}

namespace {

bool isLabelChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool allDigits(std::string_view s)
{
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

} // namespace

bool isUsableHost(std::string_view host)
{
    constexpr std::size_t HOST_MAX = 253;
    constexpr std::size_t LABEL_MAX = 63;
    if (host.empty() || host.size() > HOST_MAX)
        return false;
    const std::string text(host);
    if (host.find(':') != std::string_view::npos) {
        in6_addr a{};
        return inet_pton(AF_INET6, text.c_str(), &a) == 1;
    }
    std::string_view last;
    for (std::string_view rest = host;;) {
        const std::size_t dot = rest.find('.');
        const std::string_view label = rest.substr(0, dot);
        if (label.empty() || label.size() > LABEL_MAX || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!isLabelChar(c))
                return false;
        last = label;
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
    }
    // A name whose last part is a number is no name: it must be an address.
    if (allDigits(last)) {
        in_addr a{};
        return inet_pton(AF_INET, text.c_str(), &a) == 1;
    }
    return true;
}

bool isUsableHostName(std::string_view hostName)
{
    const std::size_t slash = hostName.find('/');
    if (slash == std::string_view::npos)
        return isUsableHost(hostName);
    const std::string_view port = hostName.substr(slash + 1);
    if (!isUsableHost(hostName.substr(0, slash)) || port.empty() || port.size() > 5 || !allDigits(port))
        return false;
    return isUsablePort(std::stoi(std::string(port)));
}

std::string portRefusal()
{
    return "ポート番号は" + std::to_string(LISTENPORT.min) + "から" + std::to_string(LISTENPORT.max) +
           "の範囲で入力してください。";
}

std::string limitDayRefusal()
{
    return "登録の有効日数は" + std::to_string(LIMITDAY.min) + "から" + std::to_string(LIMITDAY.max) +
           "の範囲で入力してください。";
}

std::string connectionRowsRefusal()
{
    return "接続先は" + std::to_string(CONNECTNUM.max) + "件まで設定できます。";
}

} // namespace setting
