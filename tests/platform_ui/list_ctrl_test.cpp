// The list control: rows of stored texts, and owner-data rows whose texts
// the owner gives as they are read; the selection mark through both.
#include <QAbstractItemModel>
#include <QTableView>

#include "platform/ui/dialog.h"
#include "platform/ui/list_ctrl.h"
#include "ui_testkit.h"

namespace {

constexpr int IDC_STORED = 1001;

// Row r, column c reads "r<r>c<c>".
class NumberedList : public CListCtrlEx {
protected:
    std::string OnGetItemText(int nRow, int nColumn) const override
    {
        return "r" + std::to_string(nRow) + "c" + std::to_string(nColumn);
    }
};

class ListDlg : public CDialog {
public:
    using CDialog::CDialog;
    CListCtrlEx* stored = nullptr;
    NumberedList owned;

protected:
    void BuildDialog() override
    {
        SetTemplate(300, 200, "lists");
        stored = AddListCtrl(IDC_STORED, {5, 5, 290, 90}, LVS_REPORT | LVS_SINGLESEL);
        owned.Create(LVS_REPORT | LVS_SINGLESEL | LVS_OWNERDATA, {5, 100, 290, 90}, this, 1002);
        for (CListCtrlEx* l : {stored, static_cast<CListCtrlEx*>(&owned)}) {
            l->InsertColumn(0, "a", LVCFMT_LEFT, 60);
            l->InsertColumn(1, "b", LVCFMT_RIGHT, 60);
        }
    }
};

std::string shown(CListCtrlEx& list, int row, int col)
{
    QAbstractItemModel* m = list.table()->model();
    return m->data(m->index(row, col)).toString().toStdString();
}

class ListCtrlTest : public uitest::UiTest {
protected:
    void SetUp() override
    {
        UiTest::SetUp();
        ASSERT_TRUE(dlg.Create());
    }
    void TearDown() override
    {
        dlg.DestroyWindow();
        UiTest::TearDown();
    }
    ListDlg dlg;
};

} // namespace

TEST_F(ListCtrlTest, StoredRowsMoveTheirTextsAndTheSelectionMarkWithThem)
{
    CListCtrlEx& l = *dlg.stored;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(l.InsertItem(i, "row" + std::to_string(i)), i);
        ASSERT_TRUE(l.SetItemText(i, 1, "b" + std::to_string(i)));
    }
    l.SetSelectionMark(1);
    EXPECT_EQ(l.InsertItem(0, "first"), 0); // rows below move down
    EXPECT_EQ(l.GetSelectionMark(), 2);
    EXPECT_EQ(l.GetItemText(2, 0), "row1");
    EXPECT_EQ(l.GetItemText(2, 1), "b1");
    EXPECT_EQ(l.GetItemText(0, 1), ""); // never set
    EXPECT_EQ(shown(l, 2, 1), "b1");

    // A column put in front keeps every row's texts with their columns.
    EXPECT_EQ(l.InsertColumn(0, "new", LVCFMT_LEFT, 30), 0);
    EXPECT_EQ(l.GetItemText(2, 0), "");
    EXPECT_EQ(l.GetItemText(2, 1), "row1");
    EXPECT_EQ(l.GetItemText(2, 2), "b1");

    EXPECT_TRUE(l.DeleteItem(0));
    EXPECT_EQ(l.GetSelectionMark(), 1);
    EXPECT_TRUE(l.DeleteItem(1)); // the marked row itself
    EXPECT_EQ(l.GetSelectionMark(), -1);
    EXPECT_EQ(l.GetItemCount(), 2);
    EXPECT_FALSE(l.SetItemText(2, 0, "x"));
    EXPECT_FALSE(l.DeleteItem(2));
    EXPECT_EQ(l.GetItemText(5, 0), "");
    EXPECT_TRUE(l.DeleteAllItems());
    EXPECT_EQ(l.GetItemCount(), 0);
}

TEST_F(ListCtrlTest, OwnerDataRowsAreTheOwnersTextsAtAnyCount)
{
    NumberedList& l = dlg.owned;
    EXPECT_TRUE(l.isOwnerData());
    EXPECT_EQ(l.InsertItem(0, "x"), -1);
    l.SetItemCount(100000);
    ASSERT_EQ(l.GetItemCount(), 100000);
    EXPECT_EQ(l.GetItemText(99999, 1), "r99999c1");
    EXPECT_EQ(shown(l, 4242, 0), "r4242c0");
    EXPECT_EQ(l.GetItemText(100000, 0), ""); // past the end
    EXPECT_EQ(l.GetItemText(5, 2), "");      // no such column
    EXPECT_FALSE(l.SetItemText(5, 0, "x"));
    EXPECT_TRUE(l.RedrawItems(10, 20));
    EXPECT_FALSE(l.RedrawItems(10, 100000));
    EXPECT_TRUE(l.EnsureVisible(99999, FALSE));

    // Selection by the program and the mark survive a growing list; a
    // shrinking one clears a mark past its end.
    EXPECT_TRUE(l.SetItemState(50, LVIS_SELECTED, LVIS_SELECTED));
    EXPECT_EQ(l.GetNextItem(-1, LVNI_SELECTED), 50);
    l.SetSelectionMark(50);
    l.SetItemCount(200000);
    EXPECT_EQ(l.GetSelectionMark(), 50);
    EXPECT_EQ(l.GetNextItem(-1, LVNI_SELECTED), 50);
    l.SetItemCount(60);
    EXPECT_EQ(l.GetSelectionMark(), 50);
    l.SetItemCount(40);
    EXPECT_EQ(l.GetSelectionMark(), -1);
    EXPECT_EQ(l.GetSelectedCount(), 0);
    EXPECT_TRUE(l.DeleteItem(0));
    EXPECT_EQ(l.GetItemCount(), 39);
    EXPECT_TRUE(l.DeleteAllItems());
    EXPECT_EQ(l.GetItemCount(), 0);
    EXPECT_EQ(shown(l, 0, 0), "");
}
