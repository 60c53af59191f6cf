#include "app/connection_rows.h"

#include <cstring>
#include <string_view>

#include "platform/cp932.h"

namespace {

const std::string EMPTY;

// Copies text into the operation's own buffer, zero-filled, cut on a
// character boundary so no half character is handed out.
const char* intoBuffer(char (&buf)[CConnectionRows::TEXT_BUFFER], std::string_view text)
{
    std::memset(buf, 0, sizeof buf);
    cp932::copyText(buf, sizeof buf, text);
    return buf;
}

std::string_view beforeSlash(std::string_view s)
{
    const std::size_t slash = cp932::findChar(s, '/');
    return slash == std::string_view::npos ? s : s.substr(0, slash);
}

} // namespace

const std::string& CConnectionRows::cellText(int row, int col) const
{
    if (row < 0 || row >= getConnectNum() || col < 0 || col >= COLUMN_COUNT)
        return EMPTY;
    return m_rows[row][col];
}

void CConnectionRows::setCellText(int row, int col, const char* text)
{
    if (row < 0 || row >= getConnectNum() || col < 0 || col >= COLUMN_COUNT)
        return;
    m_rows[row][col] = text ? text : "";
}

bool CConnectionRows::removeRow(int i)
{
    if (i < 0 || i >= getConnectNum())
        return false;
    m_rows.erase(m_rows.begin() + i);
    return true;
}

const char* CConnectionRows::getRecComment(int i) const
{
    static char buf[TEXT_BUFFER];
    return intoBuffer(buf, cellText(i, COL_COMMENT));
}

const char* CConnectionRows::getRecHostName(int i) const
{
    static char buf[TEXT_BUFFER];
    return intoBuffer(buf, cellText(i, COL_TARGET));
}

const char* CConnectionRows::getRecHost(int i) const
{
    static char buf[TEXT_BUFFER];
    return intoBuffer(buf, beforeSlash(cellText(i, COL_TARGET)));
}

int CConnectionRows::getRecPort(int i) const
{
    const std::string& target = cellText(i, COL_TARGET);
    const std::size_t slash = cp932::findChar(target, '/');
    if (slash == std::string::npos)
        return DEFAULT_PORT;
    // Only a plain decimal port is taken; anything else gets the default
    // rather than a port made up from whatever digits lead the text.
    std::string_view digits = std::string_view(target).substr(slash + 1);
    if (digits.empty())
        return DEFAULT_PORT;
    long port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return DEFAULT_PORT;
        port = port * 10 + (c - '0');
        if (port > 65535)
            return DEFAULT_PORT;
    }
    return port == 0 ? DEFAULT_PORT : static_cast<int>(port);
}

const char* CConnectionRows::getRecSkypeId(int i) const
{
    static char buf[TEXT_BUFFER];
    return intoBuffer(buf, cellText(i, COL_TARGET));
}

const char* CConnectionRows::getRecTransport(int i) const
{
    static char buf[TEXT_BUFFER];
    return intoBuffer(buf, cellText(i, COL_TRS));
}

const char* CConnectionRows::getRecName(int i) const
{
    static char buf[TEXT_BUFFER];
    return intoBuffer(buf, cellText(i, COL_NAME));
}

int CConnectionRows::isAcceptSkypeId(const char* skypeId, bool online) const
{
    if (!online || !skypeId)
        return 0;
    for (const Row& row : m_rows) {
        if (row[COL_TRS] == "SKYPE" && row[COL_TARGET] == skypeId)
            return 1;
    }
    return 0;
}

const char* CConnectionRows::transportWord(int transport)
{
    switch (transport) {
    case 0:
        return "SKYPE";
    case 1:
        return "TCP";
    default:
        return "";
    }
}

std::string CConnectionRows::hostPart(int i) const
{
    // Cut as getRecHost cuts it: callers pass hosts they got from there.
    return cp932::cutText(beforeSlash(cellText(i, COL_TARGET)), TEXT_BUFFER - 1);
}

bool CConnectionRows::rowMatches(int i, const char* word, const char* host) const
{
    return m_rows[i][COL_TRS] == word && hostPart(i) == host;
}

std::string& CConnectionRows::findRecName(std::string& out, int transport, const char* host) const
{
    out.clear();
    if (!host)
        return out;
    const char* word = transportWord(transport);
    for (int i = 0; i < getConnectNum(); ++i) {
        if (rowMatches(i, word, host)) {
            out = m_rows[i][COL_NAME];
            break;
        }
    }
    return out;
}

void CConnectionRows::renameRecName(int transport, const char* host, const char* oldName,
                                    const char* newName)
{
    if (!host || !oldName || !newName)
        return;
    const char* word = transportWord(transport);
    for (int i = 0; i < getConnectNum(); ++i) {
        if (rowMatches(i, word, host) && m_rows[i][COL_NAME] == oldName)
            m_rows[i][COL_NAME] = newName;
    }
}

void CConnectionRows::setRecComment(int i, const char* text) { setCellText(i, COL_COMMENT, text); }
void CConnectionRows::setRecHostName(int i, const char* text) { setCellText(i, COL_TARGET, text); }
void CConnectionRows::setRecSkypeId(int i, const char* text) { setCellText(i, COL_TARGET, text); }
void CConnectionRows::setRecTransport(int i, const char* text) { setCellText(i, COL_TRS, text); }

void CConnectionRows::setRecName(int i, const char* text)
{
    if (i < 0)
        return;
    Row row;
    row[COL_NAME] = text ? text : "";
    const int at = i > getConnectNum() ? getConnectNum() : i;
    m_rows.insert(m_rows.begin() + at, std::move(row));
}
