// The connection rows: one row per neighbour link, five text columns. The
// main window keeps them behind its connection list and answers the row
// operations of the settings interface from here, so the INI file, the
// catalog's queues and the transports all see the same rows.
//
// Rows are numbered from 0. Every text getter copies its cell into a
// 128-byte buffer of its own (one per operation, shared by all objects), cut
// to 127 bytes on a character boundary; the result stays valid until the next
// call of the same getter.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "store/setting_values.h"

class CConnectionRows {
public:
    enum Column {
        COL_NAME = 0,    // the neighbour's node name
        COL_TRS = 1,     // "SKYPE" or "TCP"
        COL_TARGET = 2,  // Skype ID, or host with an optional "/port"
        COL_STATE = 3,   // connection state text, never stored
        COL_COMMENT = 4,
        COLUMN_COUNT = 5,
    };
    // The port of a row that names none: the default listening port.
    static constexpr int DEFAULT_PORT = setting::LISTENPORT.defaultValue;
    static constexpr int TEXT_BUFFER = 128;

    // --- Row operations of the settings interface. ---
    const char* getRecComment(int i) const;
    const char* getRecHostName(int i) const;
    // Text of the target column before its first "/" (all of it without one).
    const char* getRecHost(int i) const;
    // The port after the first "/" of the target column; DEFAULT_PORT when
    // there is no "/" or what follows is not a port number 1..65535.
    int getRecPort(int i) const;
    const char* getRecSkypeId(int i) const;
    const char* getRecTransport(int i) const;
    int getConnectNum() const { return static_cast<int>(m_rows.size()); }
    const char* getRecName(int i) const;
    // 0 while offline; else 1 when a "SKYPE" row holds exactly that ID.
    int isAcceptSkypeId(const char* skypeId, bool online) const;
    // NAME of the first row whose transport (0 "SKYPE", 1 "TCP", any other
    // value "") and host part match, else "".
    std::string& findRecName(std::string& out, int transport, const char* host) const;
    // Renames every row matching transport, host part and old name.
    void renameRecName(int transport, const char* host, const char* oldName, const char* newName);
    void setRecComment(int i, const char* text);
    void setRecHostName(int i, const char* text);
    void setRecSkypeId(int i, const char* text);
    void setRecTransport(int i, const char* text);
    // Inserts a new row at i (at the end when i is past it) with that NAME.
    void setRecName(int i, const char* text);

    // --- For the list view. ---
    int rowCount() const { return getConnectNum(); }
    // "" for a row or column that does not exist.
    const std::string& cellText(int row, int col) const;
    // Ignored for a row or column that does not exist.
    void setCellText(int row, int col, const char* text);
    bool removeRow(int i);

private:
    using Row = std::array<std::string, COLUMN_COUNT>;

    static const char* transportWord(int transport);
    // Host part of row i cut like getRecHost's result.
    std::string hostPart(int i) const;
    bool rowMatches(int i, const char* word, const char* host) const;

    std::vector<Row> m_rows;
};
