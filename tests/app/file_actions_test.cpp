// The file list's commands on a real node in a temporary folder: files
// dropped on the list land in SEND as copies or shortcuts (or are refused
// with their message), a received file is taken out of RECV through the
// save dialog, and registrations are deleted on every node or on this one.
#include <sys/stat.h>
#include <unistd.h>

#include <QDropEvent>
#include <QMimeData>
#include <QTableWidget>
#include <QUrl>

#include <climits>

#include "app/entry_dlg.h"
#include "app_testkit.h"
#include "platform/dirlist.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "store/catalog.h"

using namespace apptest;

namespace {

std::string linkTargetOf(const std::string& path)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, std::size_t(n));
}

// The message boxes shown, answered with `answer`.
struct Boxes {
    std::vector<std::string> texts;
    int answer = IDOK;
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
        const std::string p = outside + "/" + name;
        testsupport::writeFile(p, content);
        return p;
    }

    std::string send(const std::string& name) { return dir.file("SEND/" + name); }

    void drop(const std::vector<std::string>& files)
    {
        QList<QUrl> urls;
        for (const std::string& f : files)
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(f)));
        QMimeData mime;
        mime.setUrls(urls);
        QWidget* viewport = dlg->catalogList().table()->viewport();
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &dropped);
    }

    // Answers the registration-method question: -1 cancels, else the mode.
    int entryDialogs = 0;
    std::unique_ptr<ui::ScopedModalDialogHandler> answerEntry(int mode)
    {
        return std::make_unique<ui::ScopedModalDialogHandler>([this, mode](CDialog& d) {
            ++entryDialogs;
            auto* entry = dynamic_cast<CEntryDlg*>(&d);
            ASSERT_NE(entry, nullptr);
            EXPECT_EQ(dynamic_cast<CButton*>(d.GetDlgItem(IDC_ENTRY_SHORTCUT))->GetCheck(), BST_CHECKED);
            if (mode < 0) {
                dynamic_cast<CButton*>(d.GetDlgItem(IDCANCEL))->Click();
                return;
            }
            dynamic_cast<CButton*>(d.GetDlgItem(mode == 1 ? IDC_ENTRY_COPY : IDC_ENTRY_SHORTCUT))->Click();
            dynamic_cast<CButton*>(d.GetDlgItem(IDOK))->Click();
        });
    }

    std::vector<std::string> sendNames()
    {
        std::vector<std::string> out;
        for (const auto& name : {"report.txt", "report.txtへのショートカット.lnk"})
            if (platform::fileExists(send(name)))
                out.push_back(name);
        return out;
    }
};

} // namespace

TEST_F(FileActionsTest, OneDroppedFileIsCopiedOrLinkedAsChosen)
{
    start();
    EXPECT_TRUE(dlg->catalogList().acceptsFiles());
    const std::string file = source("report.txt", "the report");
    {
        auto entry = answerEntry(-1);
        drop({file});
    }
    EXPECT_EQ(entryDialogs, 1);
    EXPECT_TRUE(sendNames().empty());
    {
        auto entry = answerEntry(1);
        drop({file});
    }
    EXPECT_EQ(testsupport::readFile(send("report.txt")), "the report");
    {
        auto entry = answerEntry(0);
        drop({file});
    }
    EXPECT_EQ(linkTargetOf(send("report.txtへのショートカット.lnk")), file);
    EXPECT_EQ(entryDialogs, 3);
}

TEST_F(FileActionsTest, RefusedDropsShowWhyAndLeaveSendAlone)
{
    start();
    const std::string readOnly = source("ro.txt");
    ::chmod(readOnly.c_str(), 0444);
    const std::string folder = outside + "/folder";
    platform::makeSureDirectoryPathExists(folder);
    const struct {
        std::string path;
        const char* message;
    } cases[] = {
        {outside + "/missing.txt", "ファイル状態の取得に失敗しました。再度実行してみてください。"},
        {readOnly, "取り扱いできない形式のファイルです"},
        {source(".hidden.txt"), "取り扱いできない形式のファイルです"},
        {folder, "取り扱いできない形式のファイルです"},
        {source("empty.txt", ""), "サイズが０のファイルは登録できません"},
        // No code page 932 form: other nodes could not take the name.
        {source("smile\xF0\x9F\x98\x80.txt"),
         "このファイル名は他のノードと共有できません。ファイル名を変更してから登録してください"},
        {source("a:b.txt"), "このファイル名は他のノードと共有できません。ファイル名を変更してから登録してください"},
    };
    for (const auto& c : cases) {
        Boxes boxes;
        drop({c.path});
        ASSERT_EQ(boxes.texts.size(), 1u) << c.path;
        EXPECT_EQ(boxes.texts[0], cp(c.message)) << c.path;
    }
    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::listDirectory(dir.file("SEND"), "*", entries));
    for (const auto& e : entries) {
        for (const auto& c : cases)
            EXPECT_NE(e.nativeName.rfind(paths::baseName(c.path), 0), 0u) << e.nativeName;
    }
}

TEST_F(FileActionsTest, ADroppedShortcutIsCopiedAsAShortcutWithoutAsking)
{
    start();
    const std::string target = source("movie.bin", "frames");
    const std::string lnk = outside + "/movie.lnk";
    ASSERT_EQ(::symlink(target.c_str(), lnk.c_str()), 0);
    drop({lnk});
    EXPECT_EQ(linkTargetOf(send("movie.lnk")), target);

    // A ".lnk" that is no link at all is refused.
    source("fake.lnk", "not a link");
    Boxes boxes;
    drop({outside + "/fake.lnk"});
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], cp("取り扱いできない形式のファイルです"));
    EXPECT_FALSE(platform::fileExists(send("fake.lnk")));
}

TEST_F(FileActionsTest, SeveralFilesBecomeShortcutsAndRefusedOnesAreCounted)
{
    start();
    const std::string a = source("a.txt"), b = source("b.txt"), empty = source("empty.txt", "");
    {
        Boxes boxes;
        boxes.answer = IDNO;
        drop({a, empty, b});
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0],
                  cp("複数ファイルがドロップされました.全てショートカット作成の扱いになります。\r\nよろしいですか？"));
        EXPECT_FALSE(platform::fileExists(send("a.txtへのショートカット.lnk")));
    }
    Boxes boxes;
    boxes.answer = IDYES;
    drop({a, empty, b});
    ASSERT_EQ(boxes.texts.size(), 2u);
    EXPECT_EQ(boxes.texts[1], cp("1個のファイルが取り扱いできないファイルでした。処理をスキップしました"));
    EXPECT_EQ(linkTargetOf(send("a.txtへのショートカット.lnk")), a);
    EXPECT_EQ(linkTargetOf(send("b.txtへのショートカット.lnk")), b);
    EXPECT_FALSE(platform::fileExists(send("empty.txtへのショートカット.lnk")));
}

TEST_F(FileActionsTest, ACopyOrShortcutThatFailsIsNeverReportedAsDone)
{
    start();
    // A file of SEND dropped again would be copied onto itself.
    testsupport::writeFile(send("report.txt"), "mine");
    {
        auto entry = answerEntry(1);
        Boxes boxes;
        drop({send("report.txt")});
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0], cp("ファイルのコピーに失敗しました。"));
    }
    EXPECT_EQ(testsupport::readFile(send("report.txt")), "mine");
    // A folder in the way of the shortcut.
    const std::string file = source("x.txt");
    platform::makeSureDirectoryPathExists(send("x.txtへのショートカット.lnk"));
    {
        auto entry = answerEntry(0);
        Boxes boxes;
        drop({file});
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0], cp("ショートカットの作成に失敗しました."));
    }
}

// --- Extracting and deleting ---------------------------------------------------------

namespace {

class FileCommandsTest : public MainWindowTest {
protected:
    // Row 0 own, 1 other's incomplete, 2 other's complete, 3 other's node file.
    void startWithCatalog()
    {
        CatalogRecord own = catalogtest::makeRec("NODE_A", "mine.txt", 4);
        own.complete = 1;
        CatalogRecord partial = catalogtest::makeRec("OTHER", "partial.bin", 2048);
        partial.heldBytes = 512;
        CatalogRecord done = catalogtest::makeRec("OTHER", "done.bin", 6);
        done.complete = 1;
        done.heldBytes = 6;
        CatalogRecord nod = catalogtest::makeRec("OTHER", "nodeInfomation.nod", 6);
        nod.complete = 1;
        for (CatalogRecord* r : {&own, &partial, &done, &nod})
            CCatalog::setCheckSum(r);
        writeCatalog({own, partial, done, nod});
        platform::makeSureDirectoryPathExists(dir.file("RECV/OTHER"));
        testsupport::writeFile(dir.file("RECV/OTHER/done.bin"), "6bytes");
        start();
        tick(); // the first refresh shows the loaded entries
        ASSERT_EQ(dlg->catalogList().GetItemCount(), 4);
    }

    void select(int row) { dlg->catalogList().SetSelectionMark(row); }
    void click(int id) { button(id)->Click(); }
    CatalogRecord recAt(int i)
    {
        CatalogRecord r;
        CCatalog::getInstance()->getRec(i, &r);
        return r;
    }
};

} // namespace

TEST_F(FileCommandsTest, ExtractRefusesWhatCannotBeTakenOut)
{
    startWithCatalog();
    EXPECT_TRUE(button(IDC_EXTRACT_FILE)->IsWindowEnabled());
    const std::pair<int, const char*> cases[] = {
        {-1, "ファイルが選択されていません"},
        {3, "管理用ファイルは取り出しできません"},
        {0, "このファイルは自ノードで登録したファイルです。"},
        {1, "このファイルはまだ食べ頃ではありません。後ほどお願いします"},
    };
    for (const auto& [row, message] : cases) {
        select(row);
        Boxes boxes;
        click(IDC_EXTRACT_FILE);
        ASSERT_EQ(boxes.texts.size(), 1u) << row;
        EXPECT_EQ(boxes.texts[0], cp(message)) << row;
    }
    // A double click is the same command.
    select(-1);
    Boxes boxes;
    dlg->SendMessage(WM_NOTIFY, IDC_CATALOG_LIST, NM_DBLCLK);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], cp("ファイルが選択されていません"));
}

TEST_F(FileCommandsTest, ExtractCopiesTheReceivedFileWhereTheUserChooses)
{
    startWithCatalog();
    select(2);
    const std::string out = dir.file("saved.bin");
    std::vector<ui::FileDialogRequest> asked;
    std::optional<std::string> answer;
    ui::ScopedFileDialogHandler files([&](const ui::FileDialogRequest& r) {
        asked.push_back(r);
        return answer;
    });
    click(IDC_EXTRACT_FILE); // cancelled
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_FALSE(asked[0].open);
    EXPECT_EQ(asked[0].fileName, "done.bin");
    EXPECT_EQ(asked[0].flags, OFN_HIDEREADONLY);
    EXPECT_EQ(asked[0].filter, cp("全てのファイル(*.*)|*.*||"));
    EXPECT_FALSE(platform::fileExists(out));

    answer = out;
    dlg->SendMessage(WM_NOTIFY, IDC_CATALOG_LIST, NM_DBLCLK);
    EXPECT_EQ(testsupport::readFile(out), "6bytes");

    // The file gone from RECV: the failure is said, never a silent success.
    platform::deleteFile(dir.file("RECV/OTHER/done.bin"));
    answer = dir.file("again.bin");
    Boxes boxes;
    click(IDC_EXTRACT_FILE);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], cp("ファイルの取り出しに失敗しました。"));
    EXPECT_FALSE(platform::fileExists(dir.file("again.bin")));
}

TEST_F(FileCommandsTest, DeleteAsksAndDeletesEverywhereOrHere)
{
    startWithCatalog();
    {
        select(-1);
        Boxes boxes;
        click(IDC_DELETE_REGISTRATION);
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0], cp("ファイルが選択されていません"));
    }
    // Answered No, nothing is deleted: not even the own file on this node.
    for (int row : {0, 2, 3}) {
        select(row);
        Boxes boxes;
        boxes.answer = IDNO;
        click(IDC_DELETE_REGISTRATION);
        EXPECT_EQ(boxes.texts.size(), 1u) << row;
        EXPECT_NE(recAt(row).state, DWORD(CATALOG_STATE_DELETED)) << row;
    }
    // Yes: the own file everywhere, another node's here; another node's
    // node file after one question only.
    const std::pair<int, const char*> yes[] = {
        {0, "選択したファイルとネットワークへの登録を削除します。この操作はネットワーク上他ノードのファイルも消去します。"},
        {2, "このファイルは他ノードで登録したファイルです. 強制削除しますか？\r\n強制削除は他ノードへの波及はしませんがネッ"
            "トワークの整合性を損なう恐れがあります."},
        {3, "管理用ファイルは削除できません.強制削除しますか？\r\n強制削除は他ノードへの波及はしませんがネットワークの整合"
            "性を損なう恐れがあります."},
    };
    for (const auto& [row, question] : yes) {
        select(row);
        Boxes boxes;
        boxes.answer = IDYES;
        click(IDC_DELETE_REGISTRATION);
        ASSERT_EQ(boxes.texts.size(), 1u) << row;
        EXPECT_EQ(boxes.texts[0], cp(question)) << row;
        EXPECT_EQ(recAt(row).state, DWORD(CATALOG_STATE_DELETED)) << row;
    }
    EXPECT_NE(recAt(1).state, DWORD(CATALOG_STATE_DELETED));
    // The rows show it at the next refresh.
    tick(3);
    EXPECT_EQ(cell(dlg->catalogList(), 0, CATCOL_STATUS), cp("削除"));
}

TEST_F(FileCommandsTest, ACommandOnARowTheCatalogHasMovedUnderActsOnNothing)
{
    startWithCatalog();
    // Compaction drops row 1; until the next refresh row 1 still shows
    // partial.bin while the catalog holds done.bin there.
    CatalogRecord partial = recAt(1);
    partial.state = CATALOG_STATE_DELETED;
    CCatalog::getInstance()->deleteRecLocal(&partial);
    CCatalog::getInstance()->compactList();
    ASSERT_EQ(cell(dlg->catalogList(), 1, CATCOL_FILE), "partial.bin");
    ASSERT_EQ(catalogtest::fileOf(recAt(1)), "done.bin");
    select(1);
    for (int id : {IDC_DELETE_REGISTRATION, IDC_EXTRACT_FILE}) {
        Boxes boxes;
        boxes.answer = IDYES;
        click(id);
        ASSERT_EQ(boxes.texts.size(), 1u) << id;
        EXPECT_EQ(boxes.texts[0], cp("ファイル一覧が更新されました。もう一度ファイルを選択してください")) << id;
    }
    EXPECT_NE(recAt(1).state, DWORD(CATALOG_STATE_DELETED));
}
