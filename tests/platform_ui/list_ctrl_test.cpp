// The report-view list: rows and cells by index with exact CP932 texts, the
// selection mark, per-cell colours from the derived list as it is drawn,
// redraw switched off, mouse notifications and dropped files.
#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QMimeData>
#include <QMouseEvent>
#include <QTableWidget>
#include <QUrl>

#include "platform/ui/dialog.h"
#include "platform/ui/text.h"
#include "ui_testkit.h"

using ui::cp;

namespace {

constexpr COLORREF kYellow = RGB(255, 255, 180);
constexpr COLORREF kGreen = RGB(180, 255, 180);
constexpr COLORREF kGrey = RGB(150, 150, 150);

// Colours rows the way the file list does: own rows plain, rows with a
// "%" status yellow, others green; ".nod" names grey.
class FileList : public CListCtrlEx {
public:
    std::string own = "me";
    std::vector<std::vector<std::string>> drops;
    int asked = 0;

protected:
    COLORREF OnGetCellBkColor(int row, int) override
    {
        ++asked;
        if (GetItemText(row, 1) == own)
            return GetBkColor();
        return GetItemText(row, 2).find('%') != std::string::npos ? kYellow : kGreen;
    }
    COLORREF OnGetCellTextColor(int row, int) override
    {
        const std::string name = GetItemText(row, 0);
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".nod") == 0)
            return kGrey;
        return GetTextColor();
    }
    void OnDropFiles(const std::vector<std::string>& paths) override { drops.push_back(paths); }
};

class ListDlg : public CDialog {
public:
    FileList m_list;
    std::vector<int> notes;

protected:
    void BuildDialog() override
    {
        SetTemplate(300, 200, "list");
        m_list.Create(LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, {5, 5, 290, 190}, this, 1004);
        for (int code : {NM_CLICK, NM_DBLCLK, LVN_ITEMCHANGED})
            MapNotify(1004, code, [this, code] { notes.push_back(code); });
    }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        m_list.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
        m_list.InsertColumn(0, cp("ファイル名"), LVCFMT_LEFT, 120);
        m_list.InsertColumn(1, cp("送信元"), LVCFMT_LEFT, 80);
        m_list.InsertColumn(2, cp("状況"), LVCFMT_LEFT, 60);
        m_list.InsertColumn(3, cp("サイズ"), LVCFMT_RIGHT, 60);
        return TRUE;
    }
};

void addRow(CListCtrlEx& list, const std::string& name, const std::string& origin, const std::string& status)
{
    const int row = list.InsertItem(list.GetItemCount(), name);
    list.SetItemText(row, 1, origin);
    list.SetItemText(row, 2, status);
}

class ListCtrlTest : public uitest::UiTest {
protected:
    void SetUp() override
    {
        UiTest::SetUp();
        ASSERT_TRUE(dlg.Create());
        dlg.ShowWindow(SW_SHOW);
    }
    QWidget* viewport() { return dlg.m_list.table()->viewport(); }
    QPoint cellCentre(int row, int col)
    {
        return dlg.m_list.table()->visualRect(dlg.m_list.table()->model()->index(row, col)).center();
    }
    void mouse(QEvent::Type type, QPoint at)
    {
        QMouseEvent e(type, QPointF(at), viewport()->mapToGlobal(QPointF(at)), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport(), &e);
    }

    ListDlg dlg;
};

} // namespace

TEST_F(ListCtrlTest, RowsAndCellsKeepTheirExactTexts)
{
    FileList& list = dlg.m_list;
    EXPECT_EQ(list.GetColumnCount(), 4);
    EXPECT_EQ(list.GetColumnWidth(0), 120);
    addRow(list, cp("報告.txt"), "nodeA", "25.00%");
    addRow(list, "b.dat", "nodeB", cp("取得済"));
    // Inserting past the end appends; inserting at 0 shifts the others.
    EXPECT_EQ(list.InsertItem(99, "c"), 2);
    EXPECT_EQ(list.InsertItem(0, "first"), 0);
    ASSERT_EQ(list.GetItemCount(), 4);
    EXPECT_EQ(list.GetItemText(1, 0), cp("報告.txt"));
    EXPECT_EQ(list.GetItemText(2, 2), cp("取得済"));
    EXPECT_EQ(list.GetItemText(3, 1), ""); // never set
    EXPECT_EQ(list.GetItemText(9, 0), ""); // no such row
    EXPECT_FALSE(list.SetItemText(9, 0, "x"));
    EXPECT_FALSE(list.SetItemText(0, 4, "x"));
    // Bytes that are no CP932 come back exactly as they were set.
    list.SetItemText(0, 1, "bad\x81");
    EXPECT_EQ(list.GetItemText(0, 1), "bad\x81");
    EXPECT_EQ(list.table()->item(0, 1)->text(), QString::fromUtf8("bad") + QChar(0xFFFD));
    EXPECT_EQ(list.table()->item(1, 3), nullptr);
    list.SetItemText(1, 3, "1,000");
    EXPECT_TRUE(list.table()->item(1, 3)->textAlignment() & Qt::AlignRight);

    EXPECT_TRUE(list.DeleteItem(0));
    EXPECT_EQ(list.GetItemText(0, 0), cp("報告.txt"));
    EXPECT_FALSE(list.DeleteItem(5));
    EXPECT_TRUE(list.DeleteAllItems());
    EXPECT_EQ(list.GetItemCount(), 0);
}

TEST_F(ListCtrlTest, SelectionMarkFollowsTheUserAndItsRow)
{
    FileList& list = dlg.m_list;
    for (const char* n : {"a", "b", "c", "d"})
        addRow(list, n, "x", "");
    EXPECT_EQ(list.GetSelectionMark(), -1);
    EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), -1);

    mouse(QEvent::MouseButtonPress, cellCentre(2, 1));
    mouse(QEvent::MouseButtonRelease, cellCentre(2, 1));
    EXPECT_EQ(list.GetSelectionMark(), 2);
    EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 2);
    EXPECT_EQ(dlg.notes, (std::vector<int>{LVN_ITEMCHANGED, NM_CLICK}));

    // A click below the last row keeps the mark.
    const QPoint below(10, viewport()->height() - 3);
    ASSERT_FALSE(list.table()->indexAt(below).isValid());
    mouse(QEvent::MouseButtonPress, below);
    mouse(QEvent::MouseButtonRelease, below);
    EXPECT_EQ(list.GetSelectionMark(), 2);

    mouse(QEvent::MouseButtonDblClick, cellCentre(2, 0));
    EXPECT_EQ(dlg.notes.back(), NM_DBLCLK);

    // Removing rows moves the mark with its row, or clears it.
    list.InsertItem(0, "new");
    EXPECT_EQ(list.GetSelectionMark(), 3);
    list.DeleteItem(1);
    EXPECT_EQ(list.GetSelectionMark(), 2);
    list.DeleteItem(2);
    EXPECT_EQ(list.GetSelectionMark(), -1);

    // Set by the program: single selection keeps one selected row.
    list.SetItemState(0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    list.SetItemState(1, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(list.GetSelectedCount(), 1);
    EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 1);
    EXPECT_EQ(list.GetNextItem(-1, LVNI_FOCUSED), 0);
    EXPECT_EQ(list.GetSelectionMark(), -1); // the program sets the mark itself
    EXPECT_EQ(list.SetSelectionMark(1), -1);
    EXPECT_EQ(list.GetSelectionMark(), 1);
    list.SetItemState(-1, 0, LVIS_SELECTED);
    EXPECT_EQ(list.GetSelectedCount(), 0);
    EXPECT_TRUE(list.EnsureVisible(1, FALSE));
}

TEST_F(ListCtrlTest, CellsAreDrawnInTheColoursTheListChooses)
{
    FileList& list = dlg.m_list;
    addRow(list, "own.txt", "me", "------");
    addRow(list, "part.bin", "peer", "25.00%");
    addRow(list, "done.bin", "peer", cp("取得済"));
    addRow(list, "node.nod", "peer", cp("取得済"));
    EXPECT_EQ(list.cellBkColor(0, 3), list.GetBkColor());
    EXPECT_EQ(list.cellBkColor(1, 0), kYellow);
    EXPECT_EQ(list.cellBkColor(2, 1), kGreen);
    EXPECT_EQ(list.cellTextColor(3, 0), kGrey);
    EXPECT_EQ(list.cellTextColor(2, 0), list.GetTextColor());

    // What is actually painted: the background of an empty cell (column 3).
    const QImage image = viewport()->grab().toImage();
    auto colourAt = [&](int row) { return ui::fromQColor(image.pixelColor(cellCentre(row, 3))); };
    EXPECT_EQ(colourAt(0), list.GetBkColor());
    EXPECT_EQ(colourAt(1), kYellow);
    EXPECT_EQ(colourAt(2), kGreen);
    EXPECT_EQ(colourAt(3), kGreen);

    // The colours follow the texts at the next paint.
    list.SetItemText(1, 2, cp("取得済"));
    const QImage again = viewport()->grab().toImage();
    EXPECT_EQ(ui::fromQColor(again.pixelColor(cellCentre(1, 3))), kGreen);
}

TEST_F(ListCtrlTest, NothingIsPaintedWhileRedrawIsOff)
{
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::Paint)
                ++paints;
            return false;
        }
    } counter;
    ASSERT_TRUE(uitest::waitUntil([&] { return dlg.widget()->isVisible(); }));
    viewport()->installEventFilter(&counter);
    uitest::pump(30);

    dlg.m_list.SetRedraw(FALSE);
    EXPECT_FALSE(dlg.m_list.isRedrawOn());
    counter.paints = 0;
    dlg.m_list.asked = 0;
    for (int i = 0; i < 200; ++i)
        addRow(dlg.m_list, "f" + std::to_string(i), "peer", "1%");
    viewport()->repaint();
    uitest::pump(30);
    EXPECT_EQ(counter.paints, 0);
    EXPECT_EQ(dlg.m_list.asked, 0);

    dlg.m_list.SetRedraw(TRUE);
    EXPECT_TRUE(uitest::waitUntil([&] { return counter.paints > 0; }));
    EXPECT_GT(dlg.m_list.asked, 0);
    viewport()->removeEventFilter(&counter);
}

TEST_F(ListCtrlTest, DroppedLocalFilesReachTheListOnlyWhenItAcceptsThem)
{
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromUtf8("/tmp/報告.txt")), QUrl("http://example.invalid/x"),
                  QUrl::fromLocalFile("/tmp/b c.lnk")});
    auto drop = [&] {
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport(), &enter);
        QDropEvent dropEvent(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport(), &dropEvent);
        return enter.isAccepted();
    };
    EXPECT_FALSE(drop());
    EXPECT_TRUE(dlg.m_list.drops.empty());

    dlg.m_list.DragAcceptFiles(TRUE);
    EXPECT_TRUE(drop());
    ASSERT_EQ(dlg.m_list.drops.size(), 1u);
    EXPECT_EQ(dlg.m_list.drops[0], (std::vector<std::string>{"/tmp/報告.txt", "/tmp/b c.lnk"}));

    QMimeData remoteOnly;
    remoteOnly.setUrls({QUrl("http://example.invalid/x")});
    QDropEvent remote(QPointF(5, 5), Qt::CopyAction, &remoteOnly, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport(), &remote);
    EXPECT_EQ(dlg.m_list.drops.size(), 1u);
}
