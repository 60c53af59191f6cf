// Dialogs built in code: the CP932 byte limit of an edit, and what keeps
// running while a modal dialog or a real message box waits.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "platform/qt/timer.h"
#include "platform/ui/dialog.h"
#include "platform/ui/text.h"
#include "ui_testkit.h"

using ui::cp;

namespace {

constexpr int IDC_NAME = 1001;
constexpr int IDC_DAYS = 1002;

class NameDlg : public CDialog {
public:
    using CDialog::CDialog;
    std::string m_name;
    int m_days = 0;

protected:
    void BuildDialog() override
    {
        SetTemplate(220, 100, "name");
        AddEdit(IDC_NAME, {5, 5, 100, 12});
        AddEdit(IDC_DAYS, {5, 20, 40, 12});
        AddButton(IDOK, "OK", {110, 80, 50, 14}, BS_DEFPUSHBUTTON);
        AddButton(IDCANCEL, "Cancel", {165, 80, 50, 14});
    }
    void DoDataExchange(CDataExchange* pDX) override
    {
        DDX_Text(pDX, IDC_NAME, m_name);
        DDV_MaxChars(pDX, m_name, 18);
        DDX_Text(pDX, IDC_DAYS, m_days);
    }
};

using DialogTest = uitest::UiTest;

} // namespace

TEST_F(DialogTest, EditLimitCountsCp932BytesAndRefusesWhatDoesNotFit)
{
    NameDlg dlg;
    ASSERT_TRUE(dlg.Create());
    auto* name = dynamic_cast<CEdit*>(dlg.GetDlgItem(IDC_NAME));
    EXPECT_EQ(name->GetLimitText(), 18u);
    // Eight kanji (16 bytes) and two half-width kana (1 byte each): 18 bytes.
    EXPECT_TRUE(name->ReplaceSel(cp("日本語日本語日本ｱｲ")));
    EXPECT_FALSE(name->ReplaceSel("x"));
    name->SetWindowText(cp("日本語日本語日本ｱ"));
    EXPECT_FALSE(name->ReplaceSel(cp("語"))); // 2 bytes into 1
    EXPECT_TRUE(name->ReplaceSel("z"));
    EXPECT_EQ(name->GetWindowText(), cp("日本語日本語日本ｱz"));
    // Characters without a CP932 form are refused even below the limit.
    name->SetWindowText("");
    qobject_cast<QLineEdit*>(name->widget())->insert(QString::fromUtf8("한"));
    EXPECT_TRUE(name->GetWindowText().empty());

    // A longer text set by the program is refused when read back.
    int boxes = 0;
    ui::ScopedMessageBoxHandler h([&](const ui::MessageBoxRequest&) { return ++boxes, IDOK; });
    name->SetWindowText(std::string(19, 'a'));
    dlg.m_days = 7;
    dlg.GetDlgItem(IDC_DAYS)->SetWindowText("8");
    EXPECT_FALSE(dlg.UpdateData(TRUE));
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(dlg.m_days, 7); // the exchange stopped at the name
    EXPECT_EQ(dlg.GetFocusId(), IDC_NAME);
}

TEST_F(DialogTest, TimersKeepRunningInAModalDialogAndAMessageBox)
{
    int ticks = 0;
    platform::CTimer ticker;
    ticker.start(5, [&] { ++ticks; });

    NameDlg dlg;
    ui::ScopedModalDialogHandler driven([](CDialog&) {}); // the timer below drives it
    platform::CTimer closer;
    closer.start(20, [&] {
        if (ticks >= 3 && dlg.isModalRunning()) {
            dlg.GetDlgItem(IDC_DAYS)->SetWindowText("5");
            dynamic_cast<CButton*>(dlg.GetDlgItem(IDOK))->Click();
        }
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.m_days, 5);

    ui::setMessageBoxHandler(nullptr); // the real QMessageBox
    const int before = ticks;
    closer.start(20, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && ticks >= before + 5)
            box->button(QMessageBox::No)->click();
    });
    EXPECT_EQ(AfxMessageBox(cp("強制削除しますか？"), MB_YESNO), IDNO);
    EXPECT_GE(ticks, before + 5);
}
