// Message boxes, the save dialog and URLs go through handlers that tests
// answer; unexpected ones fail the test; the real message box keeps timers
// running while it waits.
#include <gtest/gtest-spi.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "platform/qt/timer.h"
#include "platform/ui/dialog.h"
#include "platform/ui/text.h"
#include "ui_testkit.h"

using ui::cp;

namespace {

using PromptsTest = uitest::UiTest;

class Owner : public CDialog {
protected:
    void BuildDialog() override { SetTemplate(100, 50, "owner"); }
};

} // namespace

TEST_F(PromptsTest, HandlerSeesEachBoxAndAnswersIt)
{
    Owner owner;
    ASSERT_TRUE(owner.Create());
    std::vector<ui::MessageBoxRequest> seen;
    {
        ui::ScopedMessageBoxHandler h([&](const ui::MessageBoxRequest& r) {
            seen.push_back(r);
            return (r.type & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
        });
        EXPECT_EQ(owner.MessageBox(cp("接続を削除しますか？"), std::string(), MB_YESNO), IDYES);
        EXPECT_EQ(AfxMessageBox(cp("    ２重起動です。処理を中止します    ")), IDOK);
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].owner, &owner);
    EXPECT_EQ(seen[0].text, cp("接続を削除しますか？"));
    EXPECT_EQ(seen[0].utf8Text(), "接続を削除しますか？");
    EXPECT_EQ(seen[0].caption, "Yuvo");
    EXPECT_EQ(seen[0].type, MB_YESNO);
    EXPECT_EQ(seen[1].owner, nullptr);
    EXPECT_EQ(seen[1].utf8Text(), "    ２重起動です。処理を中止します    ");

    // Out of the handler's scope the strict handler of the fixture is back.
    EXPECT_NONFATAL_FAILURE(AfxMessageBox("late", MB_YESNO), "unexpected message box: late");
}

TEST_F(PromptsTest, UnexpectedPromptsFailTheTestWithSafeAnswers)
{
    // The failure checks take no locals: static ones carry the results.
    static int answer = 0;
    EXPECT_NONFATAL_FAILURE(answer = int(Owner().DoModal()), "unexpected modal dialog");
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_NONFATAL_FAILURE(answer = AfxMessageBox("?", MB_YESNO), "unexpected message box");
    EXPECT_EQ(answer, IDNO);
    EXPECT_NONFATAL_FAILURE(answer = AfxMessageBox("?", MB_OKCANCEL), "unexpected message box");
    EXPECT_EQ(answer, IDCANCEL);
    static bool opened = true;
    EXPECT_NONFATAL_FAILURE(opened = OpenUrl("mailto:a@b"), "unexpected URL: mailto:a@b");
    EXPECT_FALSE(opened);
    static INT_PTR chosen = 0;
    EXPECT_NONFATAL_FAILURE(chosen = CFileDialog(FALSE, nullptr, "x.txt").DoModal(), "unexpected file dialog");
    EXPECT_EQ(chosen, IDCANCEL);
}

TEST_F(PromptsTest, SaveDialogAndUrlGoThroughTheirHandlers)
{
    std::vector<ui::FileDialogRequest> asked;
    ui::ScopedFileDialogHandler files([&](const ui::FileDialogRequest& r) -> std::optional<std::string> {
        asked.push_back(r);
        if (asked.size() == 1)
            return std::string("/home/user/保存/report.txt");
        return std::nullopt;
    });
    const std::string filter = cp("全てのファイル(*.*)|*.*||");
    CFileDialog save(FALSE, nullptr, cp("報告.txt").c_str(), OFN_HIDEREADONLY, filter.c_str());
    ASSERT_EQ(save.DoModal(), IDOK);
    EXPECT_EQ(save.GetPathName(), "/home/user/保存/report.txt");
    EXPECT_EQ(save.GetFileName(), "report.txt");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_FALSE(asked[0].open);
    EXPECT_EQ(asked[0].fileName, cp("報告.txt"));
    EXPECT_EQ(asked[0].filter, filter);
    EXPECT_EQ(asked[0].flags, OFN_HIDEREADONLY);

    CFileDialog cancelled(FALSE, nullptr, "x");
    EXPECT_EQ(cancelled.DoModal(), IDCANCEL);
    EXPECT_EQ(cancelled.GetPathName(), "");

    std::vector<std::string> urls;
    ui::ScopedOpenUrlHandler url([&](const std::string& u) {
        urls.push_back(u);
        return true;
    });
    EXPECT_TRUE(OpenUrl(cp("mailto:山田@example.jp")));
    EXPECT_EQ(urls, std::vector<std::string>{cp("mailto:山田@example.jp")});
}

TEST_F(PromptsTest, RealMessageBoxKeepsTimersRunningAndGivesTheChosenButton)
{
    ui::setMessageBoxHandler(nullptr); // the real QMessageBox
    int ticks = 0;
    platform::CTimer ticker;
    ticker.start(5, [&] { ++ticks; });
    int ticksWhileOpen = -1;
    QString shownText;
    platform::CTimer closer;
    closer.start(20, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || ticks < 5)
            return;
        ticksWhileOpen = ticks;
        shownText = box->text();
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        box->button(QMessageBox::No)->click();
    });
    const int answer = AfxMessageBox(cp("強制削除しますか？\r\n<b>注意</b>"), MB_YESNO);
    EXPECT_EQ(answer, IDNO);
    EXPECT_GE(ticksWhileOpen, 5);
    EXPECT_EQ(shownText, QString::fromUtf8("強制削除しますか？\n<b>注意</b>"));

    // Closed without a choice: the answer of a closed box.
    closer.start(20, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(AfxMessageBox("ok"), IDOK);
}
