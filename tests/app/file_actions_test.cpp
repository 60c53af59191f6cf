// The file list's commands on a real node in a temporary folder: dropped
// files refused with their message, shortcuts re-linked, several files at
// once, a copy onto a file of SEND, failed copies reported, the deletion
// of own and other nodes' registrations, and commands on a row the catalog
// has moved under.
#include <unistd.h>

#include <QDropEvent>
#include <QMimeData>
#include <QTableView>
#include <QUrl>

#include <climits>
#include <filesystem>

#include "app/entry_dlg.h"
#include "app_testkit.h"
#include "platform/dirlist.h"
#include "platform/files.h"
#include "store/catalog.h"

using namespace apptest;

namespace {

std::string linkTargetOf(const std::string& path)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, std::size_t(n));
}

// The message boxes shown (CP932), Yes/No ones answered with `answer`.
struct Boxes {
    std::vector<std::string> texts;
    int answer = IDYES;
    ui::ScopedMessageBoxHandler scope{[this](const ui::MessageBoxRequest& r) {
        texts.push_back(r.text);
        return (r.type & 0xF) == MB_YESNO ? answer : IDOK;
    }};
};

class FileActionsTest : public MainWindowTest {
protected:
    std::string outside; // where dropped files come from

    void SetUp() override
    {
        MainWindowTest::SetUp();
        outside = dir.file("desk");
        ASSERT_TRUE(platform::makeSureDirectoryPathExists(outside));
    }

    std::string source(const std::string& name, const std::string& content = "data")
    {
        testsupport::writeFile(outside + "/" + name, content);
        return outside + "/" + name;
    }
    std::string send(const std::string& name) { return dir.file("SEND/" + name); }
    // The files and links in SEND (its folders left out).
    std::size_t filesInSend()
    {
        std::size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.file("SEND")))
            n += e.is_directory() && !e.is_symlink() ? 0 : 1;
        return n;
    }

    void drop(const std::string& file) { drop(std::vector<std::string>{file}); }
    void drop(const std::vector<std::string>& files)
    {
        QMimeData mime;
        QList<QUrl> urls;
        for (const std::string& f : files)
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(f)));
        mime.setUrls(urls);
        QWidget* viewport = dlg->catalogList().table()->viewport();
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &dropped);
    }

    // Answers the registration-method question: copy or shortcut.
    std::unique_ptr<ui::ScopedModalDialogHandler> answerEntry(bool copy)
    {
        return std::make_unique<ui::ScopedModalDialogHandler>([copy](CDialog& d) {
            ASSERT_NE(dynamic_cast<CEntryDlg*>(&d), nullptr);
            dynamic_cast<CButton*>(d.GetDlgItem(copy ? IDC_ENTRY_COPY : IDC_ENTRY_SHORTCUT))->Click();
            dynamic_cast<CButton*>(d.GetDlgItem(IDOK))->Click();
        });
    }
};

} // namespace

TEST_F(FileActionsTest, RefusedDropsShowWhyAndLeaveSendAlone)
{
    start();
    const std::string huge = source("huge.bin");
    ASSERT_EQ(::truncate(huge.c_str(), 0x100000000LL), 0); // sparse, 4 GiB
    const std::string unshareable =
        "このファイル名は他のノードと共有できません。ファイル名を変更してから登録してください";
    const struct {
        std::string path;
        std::string message;
    } table[] = {
        {outside + "/missing.txt", "ファイル状態の取得に失敗しました。再度実行してみてください。"},
        {source("fake.lnk", "not a link"), "取り扱いできない形式のファイルです"},
        {source("empty.txt", ""), "サイズが０のファイルは登録できません"},
        {huge, "4GB以上のファイルは登録できません"},
        {source("smile\xF0\x9F\x98\x80.txt"), unshareable}, // no CP932 form
        {source("a:b.txt"), unshareable},
    };
    for (const auto& c : table) {
        Boxes boxes;
        drop(c.path);
        EXPECT_EQ(boxes.texts, std::vector<std::string>{cp(c.message)}) << c.path;
    }
    for (const char* name : {"fake.lnk", "empty.txt", "huge.bin", "a:b.txt"})
        EXPECT_FALSE(platform::fileExists(send(name))) << name;
}

TEST_F(FileActionsTest, ADroppedShortcutIsLinkedToItsTargetWithoutAsking)
{
    start();
    const std::string target = source("movie.bin", "frames");
    const std::string lnk = outside + "/movie.lnk";
    ASSERT_EQ(::symlink(target.c_str(), lnk.c_str()), 0);
    drop(lnk); // any dialog would fail the test
    EXPECT_EQ(linkTargetOf(send("movie.lnk")), target);
}

TEST_F(FileActionsTest, FailedCopiesAreReportedNeverDone)
{
    CatalogRecord done = catalogtest::makeRec("OTHER", "done.bin", 6);
    done.complete = 1;
    done.heldBytes = 6;
    CCatalog::setCheckSum(&done);
    writeCatalog({done});
    platform::makeSureDirectoryPathExists(dir.file("RECV/OTHER"));
    testsupport::writeFile(dir.file("RECV/OTHER/done.bin"), "6bytes");
    start();
    CCatalog::getInstance()->finishStartCheck();
    platform::deleteFile(dir.file("RECV/OTHER/done.bin")); // gone since the start looked
    tick();
    // A file of SEND dropped again would be copied onto itself.
    testsupport::writeFile(send("report.txt"), "mine");
    {
        auto entry = answerEntry(true);
        Boxes boxes;
        drop(send("report.txt"));
        EXPECT_EQ(boxes.texts, std::vector<std::string>{cp("ファイルのコピーに失敗しました。")});
    }
    EXPECT_EQ(testsupport::readFile(send("report.txt")), "mine");
    // A folder in the way of the shortcut.
    platform::makeSureDirectoryPathExists(send("x.txtへのショートカット.lnk"));
    {
        auto entry = answerEntry(false);
        Boxes boxes;
        drop(source("x.txt"));
        EXPECT_EQ(boxes.texts, std::vector<std::string>{cp("ショートカットの作成に失敗しました.")});
    }

    // Extracting a received file that is not in RECV.
    dlg->catalogList().SetSelectionMark(0);
    ui::ScopedFileDialogHandler files([&](const ui::FileDialogRequest&) { return std::optional(dir.file("out.bin")); });
    Boxes boxes;
    button(IDC_EXTRACT_FILE)->Click();
    EXPECT_EQ(boxes.texts, std::vector<std::string>{cp("ファイルの取り出しに失敗しました。")});
    EXPECT_FALSE(platform::fileExists(dir.file("out.bin")));
}

TEST_F(FileActionsTest, ACommandOnARowTheCatalogHasMovedUnderActsOnNothing)
{
    CatalogRecord partial = catalogtest::makeRec("OTHER", "partial.bin", 2048);
    CatalogRecord done = catalogtest::makeRec("OTHER", "done.bin", 6);
    done.complete = 1;
    for (CatalogRecord* r : {&partial, &done})
        CCatalog::setCheckSum(r);
    writeCatalog({partial, done});
    start();
    tick();
    // Compaction drops row 0; until the next refresh row 0 still shows
    // partial.bin while the catalog holds done.bin there.
    partial.state = CATALOG_STATE_DELETED;
    CCatalog::getInstance()->deleteRecLocal(&partial);
    CCatalog::getInstance()->compactList();
    ASSERT_EQ(cell(dlg->catalogList(), 0, CATCOL_FILE), "partial.bin");
    dlg->catalogList().SetSelectionMark(0);
    for (int id : {IDC_DELETE_REGISTRATION, IDC_EXTRACT_FILE}) {
        Boxes boxes;
        button(id)->Click();
        EXPECT_EQ(boxes.texts, std::vector<std::string>{cp("ファイル一覧が更新されました。もう一度ファイルを選択してください")})
            << id;
    }
    CatalogRecord r;
    CCatalog::getInstance()->getRec(0, &r);
    EXPECT_NE(r.state, DWORD(CATALOG_STATE_DELETED));
}

TEST_F(FileActionsTest, ACopyOntoAFileOfSendIsMadeOnlyWhenTheUserSaysSo)
{
    start();
    testsupport::writeFile(send("report.txt"), "old");
    const std::string question = cp("SENDフォルダには同じ名前のファイル「report.txt」が既にあります。\r\n置き換えるとネット"
                                    "ワーク上の他ノードのファイルも置き換わります。置き換えますか？");
    const std::string dropped = source("report.txt", "new");
    {
        auto entry = answerEntry(true);
        Boxes boxes;
        boxes.answer = IDNO;
        drop(dropped);
        EXPECT_EQ(boxes.texts, (std::vector<std::string>{question, cp("操作はキャンセルされました")}));
    }
    EXPECT_EQ(testsupport::readFile(send("report.txt")), "old");
    {
        auto entry = answerEntry(true);
        Boxes boxes;
        drop(dropped);
        EXPECT_EQ(boxes.texts, std::vector<std::string>{question});
    }
    EXPECT_EQ(testsupport::readFile(send("report.txt")), "new");
    // A name SEND does not hold yet is copied without a question.
    {
        auto entry = answerEntry(true);
        drop(source("minutes.txt", "text"));
    }
    EXPECT_EQ(testsupport::readFile(send("minutes.txt")), "text");
}

// SEND without the node's snapshot while the node shares a file (a drive
// not there, a folder made anew): a drop goes nowhere, and what the user can
// do stays in the status label, after the notice's time too, until SEND is
// back: not when the user puts a file into it, but when they take it by the
// act the notice names.
TEST_F(FileActionsTest, ASendAwayTakesNoDropAndItsNoticeStandsUntilItIsBack)
{
    writeCatalog({catalogtest::makeRec("NODE_A", "a.txt", 1)});
    start();
    tick(2); // the check, then the window takes in what it found
    CMsg& label = dlg->statusLabel();
    label.KillTimer(CMsg::TIMER_ID);
    for (int i = 0; i < CMsg::NOTICE_TICKS; ++i)
        label.OnTimer(CMsg::TIMER_ID);
    EXPECT_NE(label.GetWindowText().find(cp("フォルダかドライブを元に戻すか")), std::string::npos);
    {
        Boxes boxes;
        drop(source("x.txt"));
        EXPECT_EQ(boxes.texts, std::vector<std::string>{cp("SENDフォルダが見つかりません（ドライブが接続されていない可能性が"
                                                            "あります）。フォルダが戻るまでファイルは登録できません")});
    }
    EXPECT_EQ(filesInSend(), 0u);
    testsupport::writeFile(send("mine.txt"), "mine");
    tick(12); // the next check comes eleven ticks after the last
    EXPECT_NE(label.GetWindowText().find(cp("SEND/YUVO/use-this-folder という名前のファイルを作って")), std::string::npos);
    platform::makeSureDirectoryPathExists(send("YUVO/"));
    testsupport::writeFile(send("YUVO/use-this-folder"), "");
    tick(12);
    EXPECT_NE(label.GetWindowText().find(cp("ここにないファイルの登録 1 件は削除せず")), std::string::npos);
    for (int i = 0; i < CMsg::NOTICE_TICKS; ++i)
        label.OnTimer(CMsg::TIMER_ID);
    EXPECT_EQ(label.GetWindowText(), "");
}

// Several files are all registered through shortcuts after one question;
// refused ones are only counted, and No does nothing at all.
TEST_F(FileActionsTest, SeveralFilesAfterOneQuestionWithTheRefusedCounted)
{
    start();
    const std::string target = source("movie.bin", "frames");
    const std::string lnk = outside + "/movie.lnk";
    ASSERT_EQ(::symlink(target.c_str(), lnk.c_str()), 0);
    const std::vector<std::string> files = {source("a.txt"), source("empty.txt", ""), lnk,
                                            outside + "/missing.txt", source("b.txt")};
    const std::string question =
        cp("複数ファイルがドロップされました.全てショートカット作成の扱いになります。\r\nよろしいですか？");
    {
        Boxes boxes;
        boxes.answer = IDNO;
        drop(files);
        EXPECT_EQ(boxes.texts, std::vector<std::string>{question});
    }
    EXPECT_EQ(filesInSend(), 0u);
    {
        Boxes boxes; // any registration-method dialog would fail the test
        drop(files);
        EXPECT_EQ(boxes.texts, (std::vector<std::string>{
                                   question, cp("2個のファイルが取り扱いできないファイルでした。処理をスキップしました")}));
    }
    EXPECT_EQ(linkTargetOf(send("a.txtへのショートカット.lnk")), outside + "/a.txt");
    EXPECT_EQ(linkTargetOf(send("b.txtへのショートカット.lnk")), outside + "/b.txt");
    EXPECT_EQ(linkTargetOf(send("movie.lnk")), target); // a shortcut is copied as one
    EXPECT_EQ(filesInSend(), 3u);
}

// Deleting a registration: an own file's deletion spreads to the
// neighbours, another node's file is deleted here only, and a node record
// only after the question of its own; No to any question changes nothing.
TEST_F(FileActionsTest, DeletionsSpreadOnlyForOwnFiles)
{
    ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}};
    // An own registration of a file that SEND holds as registered.
    platform::makeSureDirectoryPathExists(dir.file("SEND") + "/");
    testsupport::writeFile(send("mine.txt"), "mine!!");
    CatalogRecord mine = catalogtest::makeRec("NODE_A", "mine.txt", 6);
    ASSERT_TRUE(platform::findFileData(send("mine.txt"), &mine.findData));
    CatalogRecord theirs = catalogtest::makeRec("OTHER", "theirs.bin", 6);
    CatalogRecord record = catalogtest::makeRec("OTHER", "nodeInfomation.nod", 9124);
    for (CatalogRecord* r : {&mine, &theirs, &record}) {
        r->complete = 1;
        CCatalog::setCheckSum(r);
    }
    writeCatalog({mine, theirs, record});
    start();
    tick();
    CCatalog* catalog = CCatalog::getInstance();
    // The first check, without a snapshot, registers mine.txt anew: the
    // neighbour has taken that.
    CatalogRecord taken[CCatalog::MAX_TAKE_RECORDS];
    while (catalog->takeQueueRecs("PEER", taken) > 0) {
    }
    const std::string ownQuestion =
        cp("選択したファイルとネットワークへの登録を削除します。この操作はネットワーク上他ノードのファイルも消去します。");
    const std::string otherQuestion =
        cp("このファイルは他ノードで登録したファイルです. 強制削除しますか？\r\n強制削除は他ノードへの波及はしませんがネット"
           "ワークの整合性を損なう恐れがあります.");
    const std::string recordQuestion =
        cp("管理用ファイルは削除できません.強制削除しますか？\r\n強制削除は他ノードへの波及はしませんがネットワークの整合性を"
           "損なう恐れがあります.");
    const struct {
        int row;
        std::string question;
        bool spreads;
    } table[] = {{0, ownQuestion, true}, {1, otherQuestion, false}, {2, recordQuestion, false}};
    for (const auto& c : table) {
        SCOPED_TRACE(c.row);
        CatalogRecord r;
        catalog->getRec(c.row, &r);
        dlg->catalogList().SetSelectionMark(c.row);
        for (int answer : {IDNO, IDYES}) {
            Boxes boxes;
            boxes.answer = answer;
            button(IDC_DELETE_REGISTRATION)->Click();
            EXPECT_EQ(boxes.texts, std::vector<std::string>{c.question}); // one question only
            CatalogRecord now;
            catalog->getRec(c.row, &now);
            EXPECT_EQ(now.state, DWORD(answer == IDYES ? CATALOG_STATE_DELETED : r.state));
            EXPECT_EQ(catalog->findQueueRec(&r, "PEER.dat") >= 0, answer == IDYES && c.spreads);
        }
    }
}
