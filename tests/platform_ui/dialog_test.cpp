// Dialogs built in code: controls by id, data exchange with CP932 limits and
// radio groups, the modal loop and what keeps running inside it, commands
// from keys and the close box, owned panes.
#include <gtest/gtest-spi.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include <tuple>

#include "platform/qt/timer.h"
#include "platform/ui/dialog.h"
#include "platform/ui/text.h"
#include "ui_testkit.h"

using ui::cp;
using uitest::waitUntil;

namespace {

constexpr int IDC_NAME = 1001;
constexpr int IDC_DAYS = 1002;
constexpr int IDC_OPEN = 1010; // radio group: 1010, 1012, 1011 in this order
constexpr int IDC_CLOSED = 1011;
constexpr int IDC_TRAY = 1012;
constexpr int IDC_FLAG = 1020;
constexpr int IDC_INFO = 1030;
constexpr int IDC_LABEL = 1040;

class SettingsDlg : public CDialog {
public:
    using CDialog::CDialog;
    std::string m_name;
    int m_days = 0;
    int m_mode = -1;
    int m_flag = 0;
    std::string m_info;
    int m_destroyed = 0;
    bool m_hideAtInit = false;
    bool m_endAtInit = false;

protected:
    void BuildDialog() override
    {
        SetTemplate(220, 160, cp("設定"));
        AddStatic(IDC_LABEL, cp("名前"), {5, 5, 40, 10});
        AddEdit(IDC_NAME, {50, 5, 100, 12});
        AddEdit(IDC_DAYS, {50, 20, 40, 12});
        AddGroupBox(cp("窓"), {5, 35, 120, 50});
        AddRadioButton(IDC_OPEN, cp("開く"), {10, 45, 50, 10}, WS_GROUP);
        AddRadioButton(IDC_TRAY, cp("トレイ"), {10, 57, 50, 10});
        AddRadioButton(IDC_CLOSED, cp("閉じる"), {10, 69, 50, 10});
        AddCheckBox(IDC_FLAG, cp("変更"), {130, 45, 50, 10}, WS_GROUP);
        AddEdit(IDC_INFO, {5, 90, 200, 40}, ES_MULTILINE | ES_WANTRETURN);
        AddButton(IDOK, "OK", {110, 140, 50, 14}, BS_DEFPUSHBUTTON);
        AddButton(IDCANCEL, cp("ｷｬﾝｾﾙ"), {165, 140, 50, 14});
    }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        if (m_hideAtInit)
            ShowWindow(SW_HIDE);
        if (m_endAtInit)
            EndDialog(IDCANCEL);
        return TRUE;
    }
    void DoDataExchange(CDataExchange* pDX) override
    {
        DDX_Text(pDX, IDC_NAME, m_name);
        DDV_MaxChars(pDX, m_name, 18);
        DDX_Text(pDX, IDC_DAYS, m_days);
        DDX_Radio(pDX, IDC_OPEN, m_mode);
        DDX_Check(pDX, IDC_FLAG, m_flag);
        DDX_Text(pDX, IDC_INFO, m_info);
    }
    void OnDestroy() override { ++m_destroyed; }
};

CButton* button(CDialog& d, int id)
{
    return dynamic_cast<CButton*>(d.GetDlgItem(id));
}

CEdit* edit(CDialog& d, int id)
{
    return dynamic_cast<CEdit*>(d.GetDlgItem(id));
}

// Records what reaches its window procedure.
class Recorder : public CDialog {
public:
    std::vector<std::pair<UINT, WPARAM>>* log = nullptr;
    std::function<void(UINT_PTR)> onTimer;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message >= WM_USER && log)
            log->push_back({message, wParam});
        return CDialog::WindowProc(message, wParam, lParam);
    }
    void OnTimer(UINT_PTR id) override
    {
        if (onTimer)
            onTimer(id);
    }
};

using DialogTest = uitest::UiTest;

} // namespace

TEST_F(DialogTest, ExchangesTextsNumbersRadiosAndChecksBothWays)
{
    SettingsDlg dlg;
    dlg.m_name = cp("東京ﾉｰﾄﾞ");
    dlg.m_days = 3;
    dlg.m_mode = 1;
    dlg.m_flag = 1;
    dlg.m_info = "line1\r\nline2";
    ASSERT_TRUE(dlg.Create());
    EXPECT_FALSE(dlg.IsWindowVisible()); // modeless dialogs start hidden

    EXPECT_EQ(dlg.GetDlgItem(IDC_NAME)->GetWindowText(), cp("東京ﾉｰﾄﾞ"));
    EXPECT_EQ(dlg.GetDlgItem(IDC_DAYS)->GetWindowText(), "3");
    // Index 1 of the group is the second radio created (1012), not id 1011.
    EXPECT_FALSE(button(dlg, IDC_OPEN)->GetCheck());
    EXPECT_TRUE(button(dlg, IDC_TRAY)->GetCheck());
    EXPECT_FALSE(button(dlg, IDC_CLOSED)->GetCheck());
    EXPECT_TRUE(button(dlg, IDC_FLAG)->GetCheck());
    EXPECT_EQ(dlg.GetDlgItem(IDC_INFO)->GetWindowText(), "line1\r\nline2");

    dlg.GetDlgItem(IDC_NAME)->SetWindowText(cp("大阪"));
    dlg.GetDlgItem(IDC_DAYS)->SetWindowText(" 42 ");
    button(dlg, IDC_CLOSED)->Click();
    button(dlg, IDC_FLAG)->Click();
    dlg.GetDlgItem(IDC_INFO)->SetWindowText("a\nb");
    ASSERT_TRUE(dlg.UpdateData(TRUE));
    EXPECT_EQ(dlg.m_name, cp("大阪"));
    EXPECT_EQ(dlg.m_days, 42);
    EXPECT_EQ(dlg.m_mode, 2);
    EXPECT_EQ(dlg.m_flag, 0);
    EXPECT_EQ(dlg.m_info, "a\r\nb");

    // -1 selects no radio button, and no radio button reads back as -1.
    dlg.m_mode = -1;
    ASSERT_TRUE(dlg.UpdateData(FALSE));
    EXPECT_FALSE(button(dlg, IDC_OPEN)->GetCheck());
    EXPECT_FALSE(button(dlg, IDC_TRAY)->GetCheck());
    EXPECT_FALSE(button(dlg, IDC_CLOSED)->GetCheck());
    dlg.m_mode = 5;
    ASSERT_TRUE(dlg.UpdateData(TRUE));
    EXPECT_EQ(dlg.m_mode, -1);

    // Radios of one group exclude each other; the check box is not in it.
    button(dlg, IDC_OPEN)->Click();
    button(dlg, IDC_TRAY)->Click();
    button(dlg, IDC_FLAG)->Click();
    EXPECT_FALSE(button(dlg, IDC_OPEN)->GetCheck());
    EXPECT_TRUE(button(dlg, IDC_TRAY)->GetCheck());
    EXPECT_TRUE(button(dlg, IDC_FLAG)->GetCheck());
}

TEST_F(DialogTest, EditLimitCountsCp932BytesAndRefusesWhatDoesNotFit)
{
    SettingsDlg dlg;
    ASSERT_TRUE(dlg.Create());
    CEdit* name = edit(dlg, IDC_NAME);
    EXPECT_EQ(name->GetLimitText(), 18u); // from DDV_MaxChars

    // Eight kanji (16 bytes) and two half-width kana (1 byte each): 18 bytes.
    EXPECT_TRUE(name->ReplaceSel(cp("日本語日本語日本")));
    EXPECT_TRUE(name->ReplaceSel(cp("ｱｲ")));
    EXPECT_EQ(name->GetWindowText().size(), 18u);
    EXPECT_FALSE(name->ReplaceSel("x"));
    EXPECT_EQ(name->GetWindowText(), cp("日本語日本語日本ｱｲ"));

    // 17 bytes: one more kanji (2 bytes) does not fit, an ASCII letter does.
    name->SetWindowText(cp("日本語日本語日本ｱ"));
    EXPECT_FALSE(name->ReplaceSel(cp("語")));
    EXPECT_TRUE(name->ReplaceSel("z"));
    EXPECT_EQ(name->GetWindowText(), cp("日本語日本語日本ｱz"));

    // Characters without a CP932 form are refused even below the limit.
    name->SetWindowText("");
    auto* line = qobject_cast<QLineEdit*>(name->widget());
    line->insert(QString::fromUtf8("한"));
    EXPECT_TRUE(name->GetWindowText().empty());

    // A longer text set by the program is refused when read back, with the
    // focus on the edit.
    int boxes = 0;
    ui::ScopedMessageBoxHandler h([&](const ui::MessageBoxRequest&) {
        ++boxes;
        return IDOK;
    });
    name->SetWindowText(std::string(19, 'a'));
    dlg.m_days = 7;
    dlg.GetDlgItem(IDC_DAYS)->SetWindowText("8");
    EXPECT_FALSE(dlg.UpdateData(TRUE));
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(dlg.m_days, 7); // the exchange stopped at the name
    EXPECT_EQ(dlg.GetFocusId(), IDC_NAME);
}

TEST_F(DialogTest, NumberFieldRefusesTextThatIsNoWholeNumber)
{
    SettingsDlg dlg;
    ASSERT_TRUE(dlg.Create());
    std::vector<std::string> texts;
    ui::ScopedMessageBoxHandler h([&](const ui::MessageBoxRequest& r) {
        texts.push_back(r.utf8Text());
        return IDOK;
    });
    dlg.m_days = 7;
    for (const char* bad : {"", "12x", "1.5", "99999999999"}) {
        dlg.GetDlgItem(IDC_DAYS)->SetWindowText(bad);
        EXPECT_FALSE(dlg.UpdateData(TRUE)) << bad;
        EXPECT_EQ(dlg.m_days, 7);
        EXPECT_EQ(dlg.GetFocusId(), IDC_DAYS);
    }
    EXPECT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts.front(), "整数を入力してください。");
    dlg.GetDlgItem(IDC_DAYS)->SetWindowText("-3");
    EXPECT_TRUE(dlg.UpdateData(TRUE));
    EXPECT_EQ(dlg.m_days, -3);
}

TEST_F(DialogTest, DisabledButtonsIgnoreClicksAndLabelsShowPlainText)
{
    SettingsDlg dlg;
    ASSERT_TRUE(dlg.Create());
    EXPECT_EQ(dlg.GetDlgItem(IDC_STATIC), nullptr);
    dlg.GetDlgItem(IDC_FLAG)->EnableWindow(FALSE);
    button(dlg, IDC_FLAG)->Click(); // a disabled button ignores clicks
    EXPECT_FALSE(button(dlg, IDC_FLAG)->GetCheck());

    // A node name from a peer may look like markup: it stays text.
    CWnd* label = dlg.GetDlgItem(IDC_LABEL);
    label->SetWindowText("<b>node</b>");
    auto* q = qobject_cast<QLabel*>(label->widget());
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->textFormat(), Qt::PlainText);
    EXPECT_EQ(label->GetWindowText(), "<b>node</b>");

    // Without a notification area a window minimises instead of hiding.
    dlg.ShowWindow(SW_MINIMIZE);
    EXPECT_TRUE(dlg.IsIconic());
    dlg.ShowWindow(SW_SHOWNORMAL);
    EXPECT_FALSE(dlg.IsIconic());
    EXPECT_TRUE(dlg.IsWindowVisible());
}

TEST_F(DialogTest, ModalLoopKeepsTimersAndPostedMessagesRunning)
{
    std::vector<std::pair<UINT, WPARAM>> log;
    Recorder owner;
    owner.log = &log;
    ASSERT_TRUE(owner.Create());
    int ticks = 0;
    owner.onTimer = [&](UINT_PTR id) {
        if (id == 7)
            ++ticks;
    };
    owner.SetTimer(7, 10);

    SettingsDlg dlg(&owner);
    dlg.m_days = 1;
    ui::ScopedModalDialogHandler driven([](CDialog&) {}); // a timer drives it
    int ticksInside = -1;
    bool visibleInside = false;
    platform::CTimer closer;
    closer.start(20, [&] {
        if (ticks < 3 || log.empty())
            return;
        visibleInside = dlg.IsWindowVisible();
        ticksInside = ticks;
        dlg.GetDlgItem(IDC_DAYS)->SetWindowText("5");
        button(dlg, IDOK)->Click();
    });
    owner.PostMessage(WM_USER + 1, 11, 0);
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(visibleInside);
    EXPECT_GE(ticksInside, 3);
    EXPECT_EQ(log.size(), 1u); // the posted message arrived inside the loop
    EXPECT_EQ(dlg.m_days, 5);
    EXPECT_EQ(dlg.widget(), nullptr); // the window is gone after DoModal
    EXPECT_EQ(dlg.m_destroyed, 1);
}

TEST_F(DialogTest, RefusedOkKeepsTheDialogOpen)
{
    SettingsDlg dlg;
    ui::ScopedModalDialogHandler driven([](CDialog&) {}); // a timer drives it
    int step = 0;
    int boxes = 0;
    ui::ScopedMessageBoxHandler h([&](const ui::MessageBoxRequest&) {
        ++boxes;
        return IDOK;
    });
    platform::CTimer driver;
    driver.start(10, [&] {
        if (!dlg.isModalRunning())
            return;
        if (step == 0) {
            dlg.GetDlgItem(IDC_DAYS)->SetWindowText("abc");
            button(dlg, IDOK)->Click(); // refused: the loop goes on
        } else if (step == 1) {
            EXPECT_TRUE(dlg.IsWindowVisible());
            dlg.GetDlgItem(IDC_DAYS)->SetWindowText("9");
            button(dlg, IDOK)->Click();
        }
        ++step;
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(dlg.m_days, 9);
}

TEST_F(DialogTest, EnterEscapeAndTheCloseBoxBecomeOkAndCancel)
{
    auto runWith = [](std::function<void(SettingsDlg&)> act) {
        SettingsDlg dlg;
        ui::ScopedModalDialogHandler h([&](CDialog&) { act(dlg); });
        return dlg.DoModal();
    };
    // Enter in an edit goes on to the dialog's default button.
    EXPECT_EQ(runWith([](SettingsDlg& d) {
                  QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                  QApplication::sendEvent(d.GetDlgItem(IDC_NAME)->widget(), &key);
              }),
              IDOK);
    EXPECT_EQ(runWith([](SettingsDlg& d) {
                  QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                  QApplication::sendEvent(d.GetDlgItem(IDC_NAME)->widget(), &key);
              }),
              IDCANCEL);
    EXPECT_EQ(runWith([](SettingsDlg& d) { d.widget()->close(); }), IDCANCEL);
    EXPECT_EQ(runWith([](SettingsDlg& d) { button(d, IDCANCEL)->Click(); }), IDCANCEL);


    // The way a window hides instead of closing: IDCANCEL mapped elsewhere.
    SettingsDlg dlg;
    int hidden = 0;
    dlg.MapCommand(IDCANCEL, [&] {
        ++hidden;
        dlg.ShowWindow(SW_HIDE);
    });
    ui::ScopedModalDialogHandler h([&](CDialog&) {
        dlg.widget()->close();
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(dlg.widget(), &key);
        EXPECT_TRUE(dlg.isModalRunning());
        EXPECT_FALSE(dlg.IsWindowVisible());
        dlg.EndDialog(IDOK);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(hidden, 2);
}

TEST_F(DialogTest, WindowHiddenAtInitStaysHiddenWhileItsLoopRuns)
{
    SettingsDlg dlg;
    dlg.m_hideAtInit = true;
    bool sawHidden = false;
    ui::ScopedModalDialogHandler h([&](CDialog&) {
        sawHidden = !dlg.IsWindowVisible();
        dlg.EndDialog(IDOK);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(sawHidden);

    SettingsDlg ended;
    ended.m_endAtInit = true;
    EXPECT_EQ(ended.DoModal(), IDCANCEL); // no loop, no modal hook
    EXPECT_EQ(ended.m_destroyed, 1);
}

TEST_F(DialogTest, PostedMessagesArriveLaterInOrderAndDieWithTheirWindow)
{
    std::vector<std::pair<UINT, WPARAM>> log;
    Recorder a;
    Recorder b;
    a.log = &log;
    b.log = &log;
    ASSERT_TRUE(a.Create());
    ASSERT_TRUE(b.Create());
    EXPECT_TRUE(a.PostMessage(WM_USER + 1, 1));
    EXPECT_TRUE(::PostMessage(b.GetSafeHwnd(), WM_USER + 2, 2, 0));
    EXPECT_TRUE(a.PostMessage(WM_USER + 1, 3));
    a.SendMessage(WM_USER + 9, 0); // sent: at once
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(waitUntil([&] { return log.size() == 4; }));
    const std::vector<std::pair<UINT, WPARAM>> expected{
        {WM_USER + 9, 0}, {WM_USER + 1, 1}, {WM_USER + 2, 2}, {WM_USER + 1, 3}};
    EXPECT_EQ(log, expected);

    log.clear();
    HWND stale = a.GetSafeHwnd();
    EXPECT_TRUE(IsWindow(stale));
    a.PostMessage(WM_USER + 1, 4);
    a.DestroyWindow();
    EXPECT_FALSE(IsWindow(stale));
    EXPECT_FALSE(::PostMessage(stale, WM_USER + 1, 5, 0));
    EXPECT_FALSE(a.PostMessage(WM_USER + 1, 6));
    uitest::pump(50);
    EXPECT_TRUE(log.empty());
}

TEST_F(DialogTest, TimersByIdStopWhenKilledAndWithTheirWindow)
{
    Recorder w;
    ASSERT_TRUE(w.Create());
    int a = 0;
    int b = 0;
    w.onTimer = [&](UINT_PTR id) {
        if (id == 101)
            ++a;
        if (id == 107) {
            // Killed and set again inside its own tick, as a compaction does.
            w.KillTimer(107);
            ++b;
            w.SetTimer(107, 5);
        }
    };
    EXPECT_EQ(w.SetTimer(101, 5), 101u);
    w.SetTimer(107, 5);
    EXPECT_TRUE(waitUntil([&] { return a >= 3 && b >= 3; }));
    EXPECT_TRUE(w.KillTimer(101));
    EXPECT_FALSE(w.KillTimer(101));
    const int aStopped = a;
    uitest::pump(40);
    EXPECT_EQ(a, aStopped);
    w.DestroyWindow();
    const int bStopped = b;
    uitest::pump(40);
    EXPECT_EQ(b, bStopped);
}

namespace {

class PaneDlg : public CDialog {
public:
    int m_destroyed = 0;

protected:
    void BuildDialog() override
    {
        SetTemplate(100, 60, "", WS_CHILD | WS_BORDER, 20, 30);
        AddStatic(1069, "", {5, 5, 80, 10}, SS_SUNKEN);
    }
    void OnDestroy() override { ++m_destroyed; }
};

class HostDlg : public CDialog {
public:
    PaneDlg m_pane;
    std::vector<std::string> order;

protected:
    void BuildDialog() override { SetTemplate(200, 150, "host"); }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        m_pane.Create(this);
        m_pane.ShowWindow(SW_SHOW);
        return TRUE;
    }
};

} // namespace

TEST_F(DialogTest, PaneLiesInsideItsParentAndIsDestroyedWithIt)
{
    HostDlg host;
    ASSERT_TRUE(host.Create());
    host.ShowWindow(SW_SHOW);
    ASSERT_NE(host.m_pane.widget(), nullptr);
    EXPECT_FALSE(host.m_pane.widget()->isWindow());
    EXPECT_EQ(host.m_pane.widget()->parentWidget(), host.widget());
    EXPECT_EQ(host.m_pane.widget()->pos(), host.MapDialogRect({20, 30, 0, 0}).topLeft());
    EXPECT_TRUE(host.m_pane.IsWindowVisible());
    EXPECT_NE(host.m_pane.GetDlgItem(1069), nullptr);
    EXPECT_EQ(host.GetDlgItem(1069), nullptr); // the pane's controls are its own

    host.DestroyWindow();
    EXPECT_EQ(host.m_pane.m_destroyed, 1);
    EXPECT_EQ(host.m_pane.widget(), nullptr);
    EXPECT_EQ(host.m_pane.GetDlgItem(1069), nullptr);

    // Both can be made again.
    ASSERT_TRUE(host.Create());
    EXPECT_NE(host.m_pane.GetDlgItem(1069), nullptr);
}

namespace {

class PortDlg : public CDialog {
public:
    CSpinButtonCtrl m_spin;
    CComboBox m_combo;
    int selChanges = 0;

protected:
    void BuildDialog() override
    {
        SetTemplate(200, 120, "port");
        AddEdit(1048, {5, 5, 50, 12});
        m_spin.Create(0, {56, 5, 10, 12}, this, 1051);
        m_spin.SetBuddy(GetDlgItem(1048));
        m_combo.Create(CBS_DROPDOWN, {5, 25, 100, 80}, this, 1016);
        MapCommand(1016, [this] { ++selChanges; }, CBN_SELCHANGE);
        auto* list = AddListBox(1065, {5, 45, 100, 40}, LBS_NOTIFY | LBS_SORT);
        list->AddString("beta");
        list->AddString("Alpha");
        list->AddString("gamma");
        AddMonthCal(1056, {110, 5, 80, 80});
    }
};

} // namespace

TEST_F(DialogTest, SpinComboListBoxAndCalendarBehaveLikeTheirWindowsCounterparts)
{
    PortDlg dlg;
    ASSERT_TRUE(dlg.Create());
    CDataExchange dx(&dlg, FALSE);
    DDX_Control(&dx, 1051, dlg.m_spin);
    EXPECT_THROW(DDX_Control(&dx, 1016, dlg.m_spin), std::logic_error);

    dlg.m_spin.SetRange(0, 65535);
    dlg.m_spin.SetPos(42000);
    EXPECT_EQ(dlg.GetDlgItem(1048)->GetWindowText(), "42000");
    dlg.m_spin.step(+1);
    EXPECT_EQ(dlg.m_spin.GetPos(), 42001);
    dlg.GetDlgItem(1048)->SetWindowText("43000");
    BOOL error = TRUE;
    EXPECT_EQ(dlg.m_spin.GetPos(&error), 43000);
    EXPECT_FALSE(error);
    for (const char* bad : {"port", "70000", ""}) {
        dlg.GetDlgItem(1048)->SetWindowText(bad);
        EXPECT_EQ(dlg.m_spin.GetPos(&error), 43000) << bad;
        EXPECT_TRUE(error) << bad;
    }

    dlg.m_combo.AddString("echo123");
    dlg.m_combo.AddString("Alice");
    dlg.m_combo.AddString("alice.b");
    EXPECT_EQ(dlg.m_combo.FindString(-1, "ALI"), 1);
    EXPECT_EQ(dlg.m_combo.FindString(1, "ali"), 2);
    EXPECT_EQ(dlg.m_combo.FindString(2, "ali"), 1); // wraps round
    EXPECT_EQ(dlg.m_combo.FindString(-1, "bob"), CB_ERR);
    dlg.m_combo.SetCurSel(2);
    EXPECT_EQ(dlg.m_combo.GetWindowText(), "alice.b");
    EXPECT_EQ(dlg.selChanges, 0); // only the user's choice notifies
    dlg.m_combo.choose(0);
    EXPECT_EQ(dlg.selChanges, 1);
    EXPECT_EQ(dlg.m_combo.GetWindowText(), "echo123");

    auto* list = dynamic_cast<CListBox*>(dlg.GetDlgItem(1065));
    ASSERT_EQ(list->GetCount(), 3);
    EXPECT_EQ(list->GetText(0) + list->GetText(1) + list->GetText(2), "Alphabetagamma");

    auto* cal = dynamic_cast<CMonthCalCtrl*>(dlg.GetDlgItem(1056));
    int calChanges = 0;
    dlg.MapNotify(1056, MCN_SELCHANGE, [&] { ++calChanges; });
    SYSTEMTIME st{};
    st.wYear = 2024, st.wMonth = 2, st.wDay = 29;
    EXPECT_TRUE(cal->SetCurSel(st));
    EXPECT_EQ(calChanges, 0);
    SYSTEMTIME got{};
    cal->GetCurSel(got);
    EXPECT_EQ(std::tuple(got.wYear, got.wMonth, got.wDay, got.wDayOfWeek), std::tuple(2024, 2, 29, 4)); // Thursday
    cal->choose(2024, 3, 1);
    EXPECT_EQ(calChanges, 1);
}

TEST_F(DialogTest, TextThatIsNoCp932ShowsReplacementsAndKeepsTheRest)
{
    // A peer's broken name: the good characters stay readable.
    const QString shown = ui::toQt(cp("東") + "ab\x81");
    EXPECT_EQ(shown, QString::fromUtf8("東ab") + QChar(0xFFFD));
    EXPECT_EQ(ui::fromQt(QString::fromUtf8("a한b")), "a?b");
    EXPECT_EQ(ui::fromQt(QString::fromUtf8("東京")), cp("東京"));
}

TEST_F(DialogTest, WindowDestroyedFromItsOwnHandlersEndsCleanly)
{
    // A modeless window closed from its own button and from its own timer.
    SettingsDlg a;
    ASSERT_TRUE(a.Create());
    a.MapCommand(IDOK, [&] { a.DestroyWindow(); });
    button(a, IDOK)->Click();
    EXPECT_EQ(a.widget(), nullptr);
    EXPECT_EQ(a.m_destroyed, 1);

    Recorder b;
    ASSERT_TRUE(b.Create());
    int ticks = 0;
    b.onTimer = [&](UINT_PTR) {
        ++ticks;
        b.DestroyWindow();
    };
    b.SetTimer(1, 5);
    EXPECT_TRUE(waitUntil([&] { return b.widget() == nullptr; }));
    uitest::pump(30);
    EXPECT_EQ(ticks, 1);

    // Destroying the owner ends a modal dialog it owns.
    Recorder owner;
    ASSERT_TRUE(owner.Create());
    SettingsDlg child(&owner);
    ui::ScopedModalDialogHandler h([&](CDialog&) { owner.DestroyWindow(); });
    EXPECT_EQ(child.DoModal(), IDCANCEL);
    EXPECT_EQ(child.m_destroyed, 1);
    EXPECT_EQ(owner.widget(), nullptr);
}
