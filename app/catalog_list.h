// The file list of the main window: one row per catalog entry, coloured by
// origin and progress, and the queued changes that reach it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ui/list_ctrl.h"
#include "platform/ui/text.h"
#include "store/catalog_record.h"

class CFolderWatch;
namespace platform {
class COpenFolder;
}

// One queued change of the file list; the record is a copy taken when the
// change was queued.
struct ViewEvent {
    enum Kind : std::uint32_t {
        CLEAR = 1,  // the list is emptied
        APPEND = 2, // a row is added at the end
        UPDATE = 3, // row `row` is rewritten
    };
    std::uint32_t kind;
    std::uint32_t row; // kind 3 only
    CatalogRecord record;
};
static_assert(sizeof(ViewEvent) == 828);
static_assert(offsetof(ViewEvent, record) == 8);

// The queue of changes between two refreshes. The load of a catalog and
// each compaction queue one change per entry, so an event keeps only what
// the list shows of its record (about a hundred bytes instead of 828), and
// front() gives it back as a record holding those fields.
class CViewEventQueue {
public:
    void push(ViewEvent::Kind kind, std::uint32_t row, const CatalogRecord* rec);
    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    // The first event; its record holds the file name, origin, state,
    // completion, link flag, times, size and bytes held, the rest zero.
    ViewEvent front() const;
    // The kind and row of the second event (the first must exist); false when
    // there is none.
    bool second(std::uint32_t* kind, std::uint32_t* row) const;
    void pop_front();
    // Empties the queue and gives its storage back.
    void clear();

private:
    struct Header {
        std::uint32_t kind;
        std::uint32_t row;
        std::uint16_t nameLen;
        std::uint8_t originLen;
        std::uint8_t isLink;
        DWORD state, complete, heldBytes, sizeHigh, sizeLow;
        SYSTEMTIME registered, expires;
    };
    std::size_t lengthAt(std::size_t at) const;
    Header headerAt(std::size_t at) const;

    std::string m_bytes;     // the events back to back: a header, the name, the origin
    std::size_t m_first = 0; // where the first event starts
    std::size_t m_count = 0;
};

// The columns of the file list.
enum CatalogColumn {
    CATCOL_FILE = 0,
    CATCOL_ORIGIN = 1,
    CATCOL_REGISTERED = 2,
    CATCOL_EXPIRES = 3,
    CATCOL_STATUS = 4,
    CATCOL_SIZE = 5,
    CATCOL_SPARE = 6,
    CATCOL_COUNT = 7,
};

// The CP932 text of one cell of a record's row; ownNode is this node's name.
std::string catalogCellText(const CatalogRecord& rec, int column, const char* ownNode);
using ui::groupDigits;

// The grey of a node record file's row (name ending in ".nod").
constexpr COLORREF NODE_FILE_TEXT = RGB(150, 150, 150);
// Rows of other nodes: in transfer, and held.
constexpr COLORREF TRANSFER_BACKGROUND = RGB(255, 255, 180);
constexpr COLORREF RECEIVED_BACKGROUND = RGB(180, 255, 180);

// True when the name ends in exactly ".nod" (case counts).
bool isNodeFileName(std::string_view name);

// The file list keeps, per row, only what the row shows (about 50 bytes and
// the file name) and makes the cell texts from it when they are drawn or
// read: a catalog of 100,000 entries must not cost a copy of every cell. The
// rows change only through the main window's queue of catalog changes, so
// they show the catalog as of the last refresh, never reading it by
// themselves.
class CCatalogMFCListCtl : public CMFCListCtrl {
public:
    // What the status column says of a record; decided when the row is
    // written, with the node name of that moment.
    enum class Status : std::uint8_t { deleted, received, link, own, over2G, badSize, percent, unknown };
    static Status statusOf(const CatalogRecord& rec, const char* ownNode);

    // Empties the list.
    void clearRows();
    // Appends a row that shows rec; returns its index. With show false the
    // list learns of the row at the next showRows(), so that a run of
    // appends costs the view one insertion.
    int appendRow(const CatalogRecord& rec, const char* ownNode, bool show = true);
    // Makes the view show every row appended so far.
    void showRows();
    // Rewrites row `row` to show rec; false when there is no such row.
    bool updateRow(int row, const CatalogRecord& rec, const char* ownNode);

    // The SEND check: files are dropped only into the SEND it judged to be
    // the known one (none without it).
    const CFolderWatch* m_pFolderWatch = nullptr;

    // Put the dropped file (a native path) into SEND, where the SEND scan
    // registers it: a copy (a shortcut is copied as a shortcut), or a new
    // shortcut "<name>へのショートカット.lnk". Failures are reported.
    void copyToSendFolder(const std::string& path);
    void createShortcutInSendFolder(const std::string& path);

protected:
    std::string OnGetItemText(int nRow, int nColumn) const override;
    COLORREF OnGetCellTextColor(int nRow, int nColumn) override;
    COLORREF OnGetCellBkColor(int nRow, int nColumn) override;
    // One file: checked, then copied or linked as the user chooses; several:
    // all linked after one question, refused ones counted.
    void OnDropFiles(const std::vector<std::string>& paths) override;
    void onDropMultipleFiles(const std::vector<std::string>& paths);
    // SEND as the SEND check judged it, opened for one write; false (the
    // user told) when it is not the known one now.
    bool openSend(platform::COpenFolder& send);

private:
    struct Row {
        std::uint32_t nameAt;  // the file name in m_names
        std::uint16_t nameLen;
        Status status;
        std::uint32_t origin;  // index in m_origins
        SYSTEMTIME registered;
        WORD expiresYear, expiresMonth, expiresDay;
        DWORD sizeHigh, sizeLow, heldBytes;
    };
    void setRow(Row& row, const CatalogRecord& rec, const char* ownNode, bool keepName);
    std::string_view nameOf(const Row& row) const { return std::string_view(m_names).substr(row.nameAt, row.nameLen); }
    const Row* rowAt(int i) const;

    std::vector<Row> m_rows;
    std::string m_names; // the rows' file names back to back
    // Origin nodes, each kept once: a party has few.
    std::vector<std::string> m_origins;
    std::unordered_map<std::string, std::uint32_t> m_originIndex;
};
