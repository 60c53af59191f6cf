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

// The end of the session ends every dialog, file dialog and message box
// open above the main window as if cancelled, latest first; the main
// window's own loop goes on, and until its window is gone a prompt that
// would open is answered the same way at once.
TEST_F(DialogTest, EndingTheLoopsCancelsEverythingAboveTheKeptDialog)
{
    NameDlg mainDlg, settings, late;
    ui::ScopedModalDialogHandler driven([](CDialog&) {}); // the timers below drive them
    ui::setMessageBoxHandler(nullptr);                   // the real QMessageBox
    ui::setFileDialogHandler(nullptr);                   // the real QFileDialog
    int step = 0;
    INT_PTR settingsResult = 0, fileResult = 0, lateResult = 0;
    int boxResult = 0, lateBox = 0, handled = 0;

    platform::CTimer opener, fileOpener, boxOpener, ender;
    opener.start(10, [&] {
        if (step != 0 || !mainDlg.isModalRunning())
            return;
        step = 1;
        settingsResult = settings.DoModal();
        // What the handler does after its dialog came back: nothing shows.
        ui::setMessageBoxHandler([&](const ui::MessageBoxRequest&) { return ++handled, IDOK; });
        lateBox = AfxMessageBox(cp("操作はキャンセルされました"), MB_YESNO);
        lateResult = late.DoModal();
        step = 5;
    });
    fileOpener.start(10, [&] {
        if (step != 1 || !settings.isModalRunning())
            return;
        step = 2;
        fileResult = CFileDialog(FALSE, "txt", "a.txt").DoModal();
    });
    boxOpener.start(10, [&] {
        if (step != 2 || !QApplication::activeModalWidget())
            return;
        step = 3;
        boxResult = AfxMessageBox(cp("強制削除しますか？"), MB_YESNO);
    });
    ender.start(10, [&] {
        if (step == 3 && qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            step = 4;
            ui::cancelModalLoops(&mainDlg);
        } else if (step == 5) {
            EXPECT_TRUE(mainDlg.isModalRunning()) << "the kept dialog runs on";
            step = 6;
            mainDlg.EndDialog(IDOK);
        }
    });
    EXPECT_EQ(mainDlg.DoModal(), IDOK);
    EXPECT_EQ(step, 6);
    EXPECT_EQ(boxResult, IDNO);
    EXPECT_EQ(fileResult, IDCANCEL);
    EXPECT_EQ(settingsResult, IDCANCEL);
    EXPECT_EQ(lateBox, IDNO);
    EXPECT_EQ(lateResult, IDCANCEL);
    EXPECT_EQ(handled, 0) << "a prompt after the end was shown";

    // With the kept window gone, prompts are asked again.
    EXPECT_FALSE(ui::modalLoopsCancelled());
    EXPECT_EQ(AfxMessageBox("x", MB_OK), IDOK);
    EXPECT_EQ(handled, 1);
}
