// The file list: the texts of a record's row, the colours of rows by origin
// and progress, the queue of changes with superseded updates skipped and
// clears in the middle, and the connection list's colour of a linked row.
#include <QAbstractItemModel>
#include <QTableWidget>

#include "app_testkit.h"

using namespace apptest;

namespace {

CatalogRecord rec(const char* origin, const char* file, DWORD size)
{
    return catalogtest::makeRec(origin, file, size);
}

std::string text(const CatalogRecord& r, int col, const char* own = "ME")
{
    return catalogCellText(r, col, own);
}

using FileListTest = MainWindowTest;

} // namespace

TEST(FileListText, StatusFollowsTheFirstRuleThatApplies)
{
    CatalogRecord r = rec("OTHER", "a.bin", 2048);
    r.heldBytes = 512;
    EXPECT_EQ(text(r, CATCOL_STATUS), "25.00%");
    r.heldBytes = 0;
    EXPECT_EQ(text(r, CATCOL_STATUS), "0.00%");
    r.heldBytes = 2048;
    EXPECT_EQ(text(r, CATCOL_STATUS), "???");
    r.heldBytes = 4096;
    EXPECT_EQ(text(r, CATCOL_STATUS), "???");
    r.complete = 1;
    EXPECT_EQ(text(r, CATCOL_STATUS), cp("取得済"));
    r.state = CATALOG_STATE_DELETED;
    EXPECT_EQ(text(r, CATCOL_STATUS), cp("削除"));

    CatalogRecord own = rec("ME", "b.bin", 10);
    own.complete = 1;
    EXPECT_EQ(text(own, CATCOL_STATUS), "------");
    own.isLink = 1;
    EXPECT_EQ(text(own, CATCOL_STATUS), "link");

    CatalogRecord empty = rec("OTHER", "c.bin", 0);
    EXPECT_EQ(text(empty, CATCOL_STATUS), cp("データ異常"));
    EXPECT_EQ(text(empty, CATCOL_SIZE), "0");

    CatalogRecord big = rec("OTHER", "d.iso", 0x40000000);
    big.findData.nFileSizeHigh = 1; // 5 GiB
    EXPECT_EQ(text(big, CATCOL_STATUS), cp("2G超"));
    EXPECT_EQ(text(big, CATCOL_SIZE), cp("2G超"));
}

TEST(FileListText, SizesTimesAndNames)
{
    EXPECT_EQ(groupDigits(1234567), "1,234,567");
    EXPECT_EQ(groupDigits(1000), "1,000");
    EXPECT_EQ(groupDigits(999), "999");
    EXPECT_EQ(groupDigits(0), "0");
    EXPECT_EQ(groupDigits(4294967295ul), "4,294,967,295");

    CatalogRecord r = rec("OTHER", "report.txt", 100000);
    r.registered = catalogtest::makeTime(2024, 3, 5, 7, 8, 9, 42);
    r.expires = catalogtest::makeTime(2024, 11, 25);
    EXPECT_EQ(text(r, CATCOL_FILE), "report.txt");
    EXPECT_EQ(text(r, CATCOL_ORIGIN), "OTHER");
    EXPECT_EQ(text(r, CATCOL_REGISTERED), "2024/ 3/ 5 07:08:09:042");
    EXPECT_EQ(text(r, CATCOL_EXPIRES), "2024/11/25");
    EXPECT_EQ(text(r, CATCOL_SIZE), "100,000");
    EXPECT_EQ(text(r, CATCOL_SPARE), "");

    // Fields filled to their last byte have no terminating zero.
    CatalogRecord full = rec("OTHER", "x", 1);
    std::memset(full.originNode, 'N', CATALOG_NAME_LEN);
    EXPECT_EQ(text(full, CATCOL_ORIGIN), std::string(CATALOG_NAME_LEN, 'N'));
}

TEST_F(FileListTest, RowColoursByOriginProgressAndNodeFiles)
{
    start();
    CatalogRecord own = rec("NODE_A", "mine.txt", 10);
    own.complete = 1;
    CatalogRecord moving = rec("OTHER", "moving.bin", 2048);
    moving.heldBytes = 512;
    CatalogRecord held = rec("OTHER", "held.bin", 20);
    held.complete = 1;
    CatalogRecord node = rec("OTHER", "nodeInfomation.nod", 20);
    node.complete = 1;
    CatalogRecord upper = rec("OTHER", "UPPER.NOD", 20);
    for (const CatalogRecord* r : {&own, &moving, &held, &node, &upper})
        dlg->onCatalogAdd(r);
    tick();
    CCatalogMFCListCtl& list = dlg->catalogList();
    ASSERT_EQ(list.GetItemCount(), 5);
    for (int col = 0; col < CATCOL_COUNT; ++col) {
        EXPECT_EQ(list.cellBkColor(0, col), list.GetBkColor());
        EXPECT_EQ(list.cellBkColor(1, col), RGB(255, 255, 180));
        EXPECT_EQ(list.cellBkColor(2, col), RGB(180, 255, 180));
        EXPECT_EQ(list.cellTextColor(3, col), RGB(150, 150, 150));
        EXPECT_EQ(list.cellTextColor(4, col), list.GetTextColor());
        EXPECT_EQ(list.cellTextColor(0, col), list.GetTextColor());
    }
    // The upper-case ".NOD" is no node file; incomplete at 0 bytes held it
    // is in transfer.
    EXPECT_EQ(list.cellBkColor(4, 0), RGB(255, 255, 180));
}

TEST_F(FileListTest, SupersededProgressUpdatesAreSkipped)
{
    start();
    for (int i = 0; i < 7; ++i) {
        const CatalogRecord r = rec("OTHER", ("f" + std::to_string(i)).c_str(), 100);
        dlg->onCatalogAdd(&r);
    }
    tick();
    ASSERT_EQ(dlg->catalogList().GetItemCount(), 7);

    // Count the writes of row 5's file name cell.
    QAbstractItemModel* model = dlg->catalogList().table()->model();
    int writesOfRow5 = 0;
    QObject::connect(model, &QAbstractItemModel::dataChanged, model,
                     [&](const QModelIndex& a, const QModelIndex& b, const QList<int>& roles) {
                         if (roles.contains(Qt::DisplayRole) && a.row() <= 5 && b.row() >= 5 && a.column() <= 0 && b.column() >= 0)
                             ++writesOfRow5;
                     });
    const auto update = [&](int row, const char* name, DWORD complete) {
        CatalogRecord r = rec("OTHER", name, 100);
        r.complete = complete;
        dlg->onCatalogUpdate(row, &r);
    };

    // Three incomplete updates of row 5, then an append: only the third.
    update(5, "u1", 0);
    update(5, "u2", 0);
    update(5, "u3", 0);
    const CatalogRecord extra = rec("OTHER", "extra", 1);
    dlg->onCatalogAdd(&extra);
    dlg->drainViewEvents();
    EXPECT_EQ(writesOfRow5, 1);
    EXPECT_EQ(cell(dlg->catalogList(), 5, 0), "u3");
    EXPECT_EQ(cell(dlg->catalogList(), 7, 0), "extra");

    // A complete update is always applied, even when another follows.
    writesOfRow5 = 0;
    update(5, "c1", 1);
    update(5, "c2", 0);
    dlg->drainViewEvents();
    EXPECT_EQ(writesOfRow5, 2);

    // Updates of different rows are both applied.
    writesOfRow5 = 0;
    update(5, "r5", 0);
    update(6, "r6", 0);
    dlg->drainViewEvents();
    EXPECT_EQ(writesOfRow5, 1);
    EXPECT_EQ(cell(dlg->catalogList(), 5, 0), "r5");
    EXPECT_EQ(cell(dlg->catalogList(), 6, 0), "r6");
    EXPECT_TRUE(dlg->catalogList().isRedrawOn());
}

TEST_F(FileListTest, AClearInTheMiddleRestartsTheRowsAtZero)
{
    start();
    const CatalogRecord a = rec("OTHER", "a", 1), b = rec("OTHER", "b", 1), c = rec("OTHER", "c", 1);
    dlg->onCatalogAdd(&a);
    dlg->onCatalogAdd(&b);
    dlg->onCatalogClear();
    EXPECT_EQ(dlg->viewEvents()[2].kind, ViewEvent::CLEAR);
    dlg->onCatalogAdd(&c);
    tick();
    ASSERT_EQ(dlg->catalogList().GetItemCount(), 1);
    EXPECT_EQ(cell(dlg->catalogList(), 0, 0), "c");
    EXPECT_EQ(dlg->catalogRows(), 1);
}

TEST_F(FileListTest, ConnectedRowIsLightBlue)
{
    ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}, {"OTHER", "TCP", "127.0.0.1/2", ""}};
    start();
    tick();
    CConnectMFCListCtl& list = dlg->connectList();
    EXPECT_EQ(cell(list, 0, 3), cp("未接続"));
    list.SetItemText(1, 3, cp("接続"));
    for (int col = 0; col < 5; ++col) {
        EXPECT_EQ(list.cellBkColor(0, col), GetSysColor(COLOR_WINDOW));
        EXPECT_EQ(list.cellBkColor(1, col), RGB(210, 210, 255));
    }
}
