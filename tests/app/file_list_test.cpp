// The file list: the texts of a record's row, and the colours of the rows
// by origin, progress and node files.
#include <QScrollBar>
#include <QTableView>

#include "app_testkit.h"

using namespace apptest;

namespace {

CatalogRecord rec(const char* origin, const char* file, DWORD size, DWORD held = 0, DWORD complete = 0)
{
    CatalogRecord r = catalogtest::makeRec(origin, file, size);
    r.heldBytes = held;
    r.complete = complete;
    return r;
}

} // namespace

TEST(FileListText, CellTexts)
{
    CatalogRecord deleted = rec("OTHER", "a.bin", 10, 0, 1);
    deleted.state = CATALOG_STATE_DELETED;
    CatalogRecord link = rec("ME", "b.bin", 10, 0, 1);
    link.isLink = 1;
    CatalogRecord big = rec("OTHER", "d.iso", 0x40000000);
    big.findData.nFileSizeHigh = 1; // 5 GiB
    CatalogRecord timed = rec("OTHER", "report.txt", 100000);
    timed.registered = catalogtest::makeTime(2024, 3, 5, 7, 8, 9, 42);
    timed.expires = catalogtest::makeTime(2024, 11, 25);
    CatalogRecord full = rec("OTHER", "x", 4294967295u);
    std::memset(full.originNode, 'N', CATALOG_NAME_LEN); // no terminating zero

    const struct {
        CatalogRecord r;
        int col;
        std::string text;
    } table[] = {
        {rec("OTHER", "a.bin", 2048, 512), CATCOL_STATUS, "25.00%"},
        {rec("OTHER", "a.bin", 2048, 0), CATCOL_STATUS, "0.00%"},
        {rec("OTHER", "a.bin", 2048, 2048), CATCOL_STATUS, "???"},
        {rec("OTHER", "a.bin", 2048, 4096), CATCOL_STATUS, "???"},
        {rec("OTHER", "a.bin", 2048, 0, 1), CATCOL_STATUS, cp("取得済")},
        {deleted, CATCOL_STATUS, cp("削除")},
        {rec("ME", "b.bin", 10, 0, 1), CATCOL_STATUS, "------"},
        {link, CATCOL_STATUS, "link"},
        {rec("OTHER", "c.bin", 0), CATCOL_STATUS, cp("データ異常")},
        {rec("OTHER", "c.bin", 0), CATCOL_SIZE, "0"},
        {big, CATCOL_STATUS, cp("2G超")},
        {big, CATCOL_SIZE, cp("2G超")},
        {timed, CATCOL_FILE, "report.txt"},
        {timed, CATCOL_REGISTERED, "2024/ 3/ 5 07:08:09:042"},
        {timed, CATCOL_EXPIRES, "2024/11/25"},
        {timed, CATCOL_SIZE, "100,000"},
        {timed, CATCOL_SPARE, ""},
        {full, CATCOL_ORIGIN, std::string(CATALOG_NAME_LEN, 'N')},
        {full, CATCOL_SIZE, "4,294,967,295"},
    };
    for (const auto& c : table)
        EXPECT_EQ(catalogCellText(c.r, c.col, "ME"), c.text) << catalogtest::fileOf(c.r) << " col " << c.col;
}

TEST_F(MainWindowTest, RowColoursByOriginProgressAndNodeFiles)
{
    ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}, {"OTHER", "TCP", "127.0.0.1/2", ""}};
    start();
    const COLORREF plainBk = dlg->catalogList().GetBkColor(), plainText = dlg->catalogList().GetTextColor();
    const COLORREF yellow = RGB(255, 255, 180), green = RGB(180, 255, 180), grey = RGB(150, 150, 150);
    const struct {
        CatalogRecord r;
        COLORREF bk, text;
    } table[] = {
        {rec("NODE_A", "mine.txt", 10, 0, 1), plainBk, plainText},
        {rec("OTHER", "moving.bin", 2048, 512), yellow, plainText},
        {rec("OTHER", "held.bin", 20, 0, 1), green, plainText},
        {rec("OTHER", "nodeInfomation.nod", 20, 0, 1), green, grey},
        {rec("OTHER", "UPPER.NOD", 20), yellow, plainText}, // no node file; in transfer at 0 bytes
    };
    for (const auto& c : table)
        dlg->onCatalogAdd(&c.r);
    tick();
    CCatalogMFCListCtl& list = dlg->catalogList();
    ASSERT_EQ(list.GetItemCount(), 5);
    for (int row = 0; row < 5; ++row)
        for (int col = 0; col < CATCOL_COUNT; ++col) {
            EXPECT_EQ(list.cellBkColor(row, col), table[row].bk) << row << "," << col;
            EXPECT_EQ(list.cellTextColor(row, col), table[row].text) << row << "," << col;
        }

    // A connected row of the connection list is light blue.
    dlg->connectList().SetItemText(1, 3, cp("接続"));
    EXPECT_EQ(dlg->connectList().cellBkColor(0, 0), GetSysColor(COLOR_WINDOW));
    EXPECT_EQ(dlg->connectList().cellBkColor(1, 4), RGB(210, 210, 255));
}

// Catalog changes wait in the queue until the refresh and then reach the
// list in their order: a clear in the middle drops the rows before it and
// the rows after it start again at 0; an update that the next one rewrites
// may be skipped, but never one of another row.
TEST_F(MainWindowTest, QueuedChangesReachTheListInOrderAndAClearStartsItAnew)
{
    start();
    tick();
    CCatalogMFCListCtl& list = dlg->catalogList();
    auto progress = [](const char* file, DWORD held, DWORD complete = 0) {
        return rec("OTHER", file, 1000, held, complete);
    };
    auto add = [&](const CatalogRecord& r) { dlg->onCatalogAdd(&r); };
    auto update = [&](int row, const CatalogRecord& r) { dlg->onCatalogUpdate(row, &r); };

    add(progress("gone1.bin", 0));
    add(progress("gone2.bin", 0));
    tick(3); // the next refresh
    ASSERT_EQ(list.GetItemCount(), 2);

    update(0, progress("gone1.bin", 500));
    dlg->onCatalogClear();
    add(progress("a.bin", 0));
    add(progress("b.bin", 0));
    update(0, progress("a.bin", 100));
    update(1, progress("b.bin", 200)); // the next update is of another row
    update(0, progress("a.bin", 300));
    update(0, progress("a.bin", 400));
    add(progress("c.bin", 0));
    update(2, progress("c.bin", 1000, 1));
    update(2, progress("c.bin", 1000, 1)); // complete: applied whatever follows
    // Nothing shows before the refresh.
    EXPECT_EQ(cell(list, 0, CATCOL_FILE), "gone1.bin");
    EXPECT_EQ(cell(list, 0, CATCOL_STATUS), "0.00%");

    tick(3);
    EXPECT_TRUE(dlg->viewEvents().empty());
    ASSERT_EQ(list.GetItemCount(), 3);
    EXPECT_EQ(dlg->catalogRows(), 3);
    const std::vector<std::pair<std::string, std::string>> shown = {
        {"a.bin", "40.00%"}, {"b.bin", "20.00%"}, {"c.bin", cp("取得済")}};
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(cell(list, row, CATCOL_FILE), shown[row].first) << row;
        EXPECT_EQ(cell(list, row, CATCOL_STATUS), shown[row].second) << row;
    }
}

// Through appends, updates and clears queued as the catalog announces them,
// every cell of every row reads what the record it last received says.
TEST_F(MainWindowTest, RowsShowTheRecordsTheyLastReceived)
{
    start();
    CCatalogMFCListCtl& list = dlg->catalogList();
    std::vector<CatalogRecord> shown;
    auto expectRows = [&](const char* when) {
        ASSERT_EQ(list.GetItemCount(), int(shown.size())) << when;
        for (int row = 0; row < int(shown.size()); ++row)
            for (int col = 0; col < CATCOL_COUNT; ++col)
                ASSERT_EQ(list.GetItemText(row, col), catalogCellText(shown[std::size_t(row)], col, "NODE_A"))
                    << when << " row " << row << " col " << col;
    };
    for (int i = 0; i < 300; ++i) {
        shown.push_back(rec(i % 3 ? "OTHER" : "NODE_A", ("file" + std::to_string(i) + ".bin").c_str(),
                            DWORD(1000 + i), DWORD(i), i % 5 == 0 ? 1 : 0));
        shown.back().registered = catalogtest::makeTime(2020 + i % 7, 1 + i % 12, 1 + i % 28, i % 24);
        dlg->onCatalogAdd(&shown.back());
    }
    tick();
    expectRows("appended");

    for (int row : {0, 7, 299, 150}) {
        CatalogRecord r = shown[std::size_t(row)];
        r.heldBytes = r.findData.nFileSizeLow / 2;
        r.findData.nFileSizeLow += 1;
        if (row == 150)
            r.state = CATALOG_STATE_DELETED;
        dlg->onCatalogUpdate(row, &r);
        shown[std::size_t(row)] = r;
    }
    const CatalogRecord stray = rec("OTHER", "stray.bin", 5);
    dlg->onCatalogUpdate(300, &stray); // no such row: nothing changes
    tick(3);                           // the list is refreshed every third tick
    expectRows("updated");

    // A compaction: the list starts again with the entries that remain.
    dlg->onCatalogClear();
    std::vector<CatalogRecord> remaining(shown.begin() + 100, shown.begin() + 140);
    for (const CatalogRecord& r : remaining)
        dlg->onCatalogAdd(&r);
    shown = remaining;
    tick(3);
    expectRows("after the clear");
    EXPECT_EQ(dlg->catalogRows(), 40);
}

// A refresh applies the changes queued before it, a slice at a time and in
// their order; changes queued while it is under way wait for the next one.
// The list scrolls to its last row once, when the refresh is done, not row
// by row.
TEST_F(MainWindowTest, ARefreshInSlicesAppliesWhatWasQueuedAndScrollsOnceAtItsEnd)
{
    start();
    tick();
    CCatalogMFCListCtl& list = dlg->catalogList();
    QScrollBar* bar = list.table()->verticalScrollBar();
    for (int i = 0; i < 1000; ++i) {
        const CatalogRecord r = rec("OTHER", ("row" + std::to_string(i) + ".bin").c_str(), 1000, 10);
        dlg->onCatalogAdd(&r);
    }
    const CatalogRecord first = rec("OTHER", "row0.bin", 1000, 500);
    dlg->onCatalogUpdate(0, &first);

    dlg->startDrain();
    const auto spent = std::chrono::steady_clock::now(); // every slice ends at its first look at the clock
    ASSERT_TRUE(dlg->continueDrain(spent));
    const int afterOne = list.GetItemCount();
    EXPECT_GT(afterOne, 0);
    EXPECT_LT(afterOne, 1000);
    EXPECT_EQ(bar->value(), 0) << "no scrolling before the refresh is done";

    const CatalogRecord late = rec("OTHER", "late.bin", 1000, 10);
    dlg->onCatalogAdd(&late);
    while (dlg->continueDrain(spent))
        EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(list.GetItemCount(), 1000) << "the change queued during the refresh waits";
    EXPECT_EQ(cell(list, 0, CATCOL_STATUS), "50.00%");
    EXPECT_EQ(cell(list, 999, CATCOL_FILE), "row999.bin");
    EXPECT_EQ(bar->value(), bar->maximum()) << "scrolled to the last row";
    ASSERT_EQ(dlg->viewEvents().size(), 1u);

    tick(3); // the next refresh
    EXPECT_EQ(list.GetItemCount(), 1001);
    EXPECT_EQ(cell(list, 1000, CATCOL_FILE), "late.bin");
    EXPECT_TRUE(dlg->viewEvents().empty());
}

// The queue keeps of each record what the list shows, in order, through a
// queue long enough to be compacted as it is applied.
TEST(ViewEventQueue, GivesBackWhatTheListShowsInOrder)
{
    CatalogRecord full = rec("OTHER", "\x95\x5C.txt", 4294967295u, 7, 0); // 表.txt, 0x5C inside
    std::memset(full.originNode, 'N', CATALOG_NAME_LEN);                  // no terminating zero
    full.registered = catalogtest::makeTime(2024, 3, 5, 7, 8, 9, 42);
    full.expires = catalogtest::makeTime(2024, 11, 25);
    CatalogRecord link = rec("ME", "b.bin", 10, 0, 1);
    link.isLink = 1;
    CatalogRecord gone = rec("OTHER", "c.bin", 10, 10, 1);
    gone.state = CATALOG_STATE_DELETED;
    std::memset(gone.findData.cFileName, 'x', MAX_PATH); // a name filling its field

    CViewEventQueue q;
    std::vector<std::pair<std::uint32_t, CatalogRecord>> sent;
    for (int i = 0; i < 20000; ++i) {
        const CatalogRecord& r = i % 3 == 0 ? full : i % 3 == 1 ? link : gone;
        const auto kind = i % 7 == 0 ? ViewEvent::UPDATE : ViewEvent::APPEND;
        q.push(kind, std::uint32_t(i), &r);
        sent.emplace_back(kind, r);
    }
    q.push(ViewEvent::CLEAR, 0, nullptr);
    ASSERT_EQ(q.size(), 20001u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const ViewEvent e = q.front();
        ASSERT_EQ(e.kind, sent[i].first) << i;
        if (e.kind == ViewEvent::UPDATE) {
            ASSERT_EQ(e.row, std::uint32_t(i));
        }
        ASSERT_EQ(e.record.complete, sent[i].second.complete);
        for (int col = 0; col < CATCOL_COUNT; ++col)
            ASSERT_EQ(catalogCellText(e.record, col, "ME"), catalogCellText(sent[i].second, col, "ME")) << i << "," << col;
        std::uint32_t kind = 0, row = 0;
        ASSERT_TRUE(q.second(&kind, &row));
        EXPECT_EQ(kind, i + 1 < sent.size() ? sent[i + 1].first : std::uint32_t(ViewEvent::CLEAR));
        q.pop_front();
    }
    EXPECT_EQ(q.front().kind, std::uint32_t(ViewEvent::CLEAR));
    std::uint32_t kind = 0, row = 0;
    EXPECT_FALSE(q.second(&kind, &row));
    q.pop_front();
    EXPECT_TRUE(q.empty());
}
