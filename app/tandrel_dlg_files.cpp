// The file list's commands: files dropped on it go into SEND (as a copy or
// a shortcut, which the SEND scan then registers), and a received file is
// taken out of RECV or a registration deleted.
#include <cstdint>
#include <cstdio>
#include <optional>

#include "app/catalog_list.h"
#include "app/entry_dlg.h"
#include "app/tandrel_dlg.h"
#include "platform/cp932.h"
#include "platform/dirlist.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/shortcut.h"
#include "platform/ui/prompts.h"
#include "platform/ui/text.h"
#include "store/catalog.h"
#include "store/folder_watch.h"
#include "store/helpers.h"
#include "store/settings.h"

using ui::cp;

namespace {

constexpr DWORD FILE_ATTRIBUTE_NORMAL_BIT = 0x80;
// The catalog registers no file of 4 GiB or more.
constexpr std::int64_t MAX_SHARED_SIZE = std::int64_t(0xFFFFFFFFu);

enum class DropCheck {
    ok,
    noStatus,   // size and attributes cannot be read
    badKind,    // read-only, hidden, system, a folder, or a link that is none
    empty,      // size 0
    tooLarge,   // 4 GiB or more
    badName,    // a name other nodes cannot take
};

bool isShortcutPath(const std::string& path)
{
    const std::string name = paths::baseName(path);
    return name.size() >= 4 && name.compare(name.size() - 4, 4, ".lnk") == 0;
}

// The dropped file's checks, in the order the user is told about them.
DropCheck checkDroppedFile(const std::string& path)
{
    const DWORD attrs = platform::getFileAttributes(path);
    const std::int64_t size = platform::fileSize(path);
    if (attrs == INVALID_FILE_ATTRIBUTES || size < 0)
        return DropCheck::noStatus;
    const DWORD kind = attrs & 0xFF & ~FILE_ATTRIBUTE_NORMAL_BIT;
    if (kind != 0 && kind != FILE_ATTRIBUTE_ARCHIVE)
        return DropCheck::badKind;
    if (size == 0)
        return DropCheck::empty;
    if (size > MAX_SHARED_SIZE)
        return DropCheck::tooLarge;
    // What the scan registers must be a name every node can take: the file's
    // own, or for a shortcut its target's (and the link's own must fit SEND).
    const std::string name = paths::baseName(path);
    const auto cpName = cp932::fromUtf8(name);
    if (!cpName || !paths::isSafeName(*cpName))
        return DropCheck::badName;
    std::string shared = name;
    if (isShortcutPath(path)) {
        std::string target;
        WIN32_FIND_DATAA fd;
        if (!platform::resolveShortcut(path, &target, &fd))
            return DropCheck::badKind;
        shared = paths::baseName(target);
    }
    if (!CFolderWatch::isShareableName(shared, nullptr, nullptr))
        return DropCheck::badName;
    return DropCheck::ok;
}

const char* dropCheckMessage(DropCheck c)
{
    switch (c) {
    case DropCheck::noStatus:
        return "ファイル状態の取得に失敗しました。再度実行してみてください。";
    case DropCheck::badKind:
        return "取り扱いできない形式のファイルです";
    case DropCheck::empty:
        return "サイズが０のファイルは登録できません";
    case DropCheck::tooLarge:
        return "4GB以上のファイルは登録できません";
    case DropCheck::badName:
        return "このファイル名は他のノードと共有できません。ファイル名を変更してから登録してください";
    case DropCheck::ok:
        break;
    }
    return "";
}

constexpr const char* SEND_AWAY =
    "SENDフォルダが見つかりません（ドライブが接続されていない可能性があります）。フォルダが戻るまでファイルは登録できません";

// The name a file takes in SEND, for a name given in UTF-8; nothing when it
// cannot lie there.
std::optional<std::string> sendNameFor(const std::string& utf8Name)
{
    const auto cpName = cp932::fromUtf8(utf8Name);
    if (!cpName)
        return std::nullopt;
    return paths::nativeName(*cpName);
}

// Whether another file than source lies in SEND under that name (the same
// file is no replacement: the copy refuses it and says so).
bool holdsOther(const platform::COpenFolder& send, const std::string& name, const std::string& source)
{
    platform::FileId there, from;
    if (!platform::fileExists(send, name))
        return false;
    return !(platform::fileId(send, name, &there) && platform::fileId(source, &from) && there == from);
}

// Whether the copy may replace the file of that name: the user's answer.
bool mayReplace(CWnd& owner, const std::string& name)
{
    // The new content would take the old one's place on every node.
    const std::string cpName = cp932::fromUtf8(name).value_or(std::string());
    const std::string question = cp("SENDフォルダには同じ名前のファイル「") + cpName +
                                 cp("」が既にあります。\r\n置き換えるとネットワーク上の他ノードのファイルも置き換わります。"
                                    "置き換えますか？");
    return owner.MessageBox(question, std::string(), MB_YESNO) == IDYES;
}

} // namespace

bool CCatalogMFCListCtl::openSend(platform::COpenFolder& send)
{
    if (m_pFolderWatch && m_pFolderWatch->openKnownSend(send))
        return true;
    MessageBox(cp(SEND_AWAY), std::string(), MB_OK);
    return false;
}

// --- Dropping files ------------------------------------------------------------------

void CCatalogMFCListCtl::OnDropFiles(const std::vector<std::string>& paths)
{
    // Nothing goes into a SEND that is away (a mount point without its
    // drive, a folder made anew); each write looks again (openSend).
    if (!m_pFolderWatch || m_pFolderWatch->sendAway()) {
        MessageBox(cp(SEND_AWAY), std::string(), MB_OK);
        return;
    }
    if (paths.size() != 1) {
        onDropMultipleFiles(paths);
        return;
    }
    const std::string& path = paths[0];
    const DropCheck check = checkDroppedFile(path);
    if (check != DropCheck::ok) {
        MessageBox(cp(dropCheckMessage(check)), std::string(), MB_OK);
        return;
    }
    if (isShortcutPath(path)) {
        copyToSendFolder(path);
        return;
    }
    SetForegroundWindow();
    CEntryDlg dlg(GetParent());
    dlg.m_entryMode = 0;
    if (dlg.DoModal() != IDOK)
        return;
    if (dlg.m_entryMode == 1)
        copyToSendFolder(path);
    else if (dlg.m_entryMode == 0)
        createShortcutInSendFolder(path);
}

void CCatalogMFCListCtl::onDropMultipleFiles(const std::vector<std::string>& paths)
{
    SetForegroundWindow();
    if (MessageBox(cp("複数ファイルがドロップされました.全てショートカット作成の扱いになります。\r\nよろしいですか？"),
                   std::string(), MB_YESNO) != IDYES)
        return;
    int skipped = 0;
    for (const std::string& path : paths) {
        if (checkDroppedFile(path) != DropCheck::ok) {
            ++skipped;
            continue;
        }
        if (isShortcutPath(path))
            copyToSendFolder(path);
        else
            createShortcutInSendFolder(path);
    }
    if (skipped > 0) {
        char buf[256];
        std::snprintf(buf, sizeof buf, cp("%d個のファイルが取り扱いできないファイルでした。処理をスキップしました").c_str(),
                      skipped);
        MessageBox(buf, std::string(), MB_OK);
    }
}

void CCatalogMFCListCtl::copyToSendFolder(const std::string& path)
{
    const auto name = sendNameFor(paths::baseName(path));
    if (!name) {
        MessageBox(cp("ファイルのコピーに失敗しました。"), std::string(), MB_OK);
        return;
    }
    platform::COpenFolder send;
    if (!openSend(send))
        return;
    if (holdsOther(send, *name, path)) {
        // Not held open while the user answers: SEND is looked at again.
        send.close();
        if (!mayReplace(*this, *name)) {
            MessageBox(cp("操作はキャンセルされました"), std::string(), MB_OK);
            return;
        }
        if (!openSend(send))
            return;
    }
    bool copied = false;
    if (isShortcutPath(path)) {
        // A shortcut is a link: a copy of it is a new link to the same
        // target, not a copy of the target's content under the link's name.
        std::string linkTarget;
        WIN32_FIND_DATAA fd;
        copied = platform::resolveShortcut(path, &linkTarget, &fd) && platform::makeShortcut(send, *name, linkTarget);
    } else {
        copied = platform::copyFile(path, send, *name);
    }
    if (!copied)
        MessageBox(cp("ファイルのコピーに失敗しました。"), std::string(), MB_OK);
}

void CCatalogMFCListCtl::createShortcutInSendFolder(const std::string& path)
{
    const auto name = sendNameFor(paths::baseName(path) + "へのショートカット.lnk");
    platform::COpenFolder send;
    if (name && !openSend(send))
        return;
    if (!name || !platform::makeShortcut(send, *name, path))
        MessageBox(cp("ショートカットの作成に失敗しました."), std::string(), MB_OK);
}

// --- Extracting and deleting -------------------------------------------------------

bool CTandrelDlg::rowShowsRecord(int row, const CatalogRecord& rec)
{
    // Row i is catalog entry i only once the queued changes are shown; until
    // then the command must not act on another file than the one chosen.
    const char* own = getNodeName();
    return m_catalogList.GetItemText(row, CATCOL_FILE) == catalogCellText(rec, CATCOL_FILE, own) &&
           m_catalogList.GetItemText(row, CATCOL_ORIGIN) == catalogCellText(rec, CATCOL_ORIGIN, own);
}

void CTandrelDlg::OnBnClickedExtractFile()
{
    const int row = m_catalogList.GetSelectionMark();
    if (row < 0) {
        MessageBox(cp("ファイルが選択されていません"), std::string(), MB_OK);
        return;
    }
    if (isNodeFileName(m_catalogList.GetItemText(row, CATCOL_FILE))) {
        MessageBox(cp("管理用ファイルは取り出しできません"), std::string(), MB_OK);
        return;
    }
    CatalogRecord rec;
    CCatalog::getInstance()->getRec(row, &rec);
    if (!rowShowsRecord(row, rec)) {
        MessageBox(cp("ファイル一覧が更新されました。もう一度ファイルを選択してください"), std::string(), MB_OK);
        return;
    }
    const std::string origin(cp932::fieldText(rec.originNode, CATALOG_NAME_LEN));
    const std::string file(cp932::fieldText(rec.findData.cFileName, MAX_PATH));
    if (origin == getNodeName()) {
        MessageBox(cp("このファイルは自ノードで登録したファイルです。"), std::string(), MB_OK);
        return;
    }
    if (rec.complete != 1) {
        MessageBox(cp("このファイルはまだ食べ頃ではありません。後ほどお願いします"), std::string(), MB_OK);
        return;
    }
    CFileDialog fileDlg(FALSE, nullptr, file.c_str(), OFN_HIDEREADONLY, cp("全てのファイル(*.*)|*.*||").c_str(), this);
    if (fileDlg.DoModal() != IDOK)
        return;
    std::optional<std::string> source;
    if (const auto nodeFolder = paths::joinName(getRecvFolder(), origin))
        source = paths::joinName(*nodeFolder, file);
    const ShellOpResult result = source ? shellFileOperation(GetSafeHwnd(), FO_COPY, *source, fileDlg.GetPathName())
                                        : ShellOpResult::failed;
    if (result == ShellOpResult::cancelled)
        MessageBox(cp("操作はキャンセルされました"), std::string(), MB_OK);
    else if (result == ShellOpResult::failed)
        MessageBox(cp("ファイルの取り出しに失敗しました。"), std::string(), MB_OK);
}

void CTandrelDlg::OnNMDblclkCatalogList()
{
    OnBnClickedExtractFile();
}

void CTandrelDlg::OnBnClickedDeleteRegistration()
{
    const int row = m_catalogList.GetSelectionMark();
    if (row < 0) {
        MessageBox(cp("ファイルが選択されていません"), std::string(), MB_OK);
        return;
    }
    const bool nodeFile = isNodeFileName(m_catalogList.GetItemText(row, CATCOL_FILE));
    if (nodeFile &&
        MessageBox(cp("管理用ファイルは削除できません.強制削除しますか？\r\n強制削除は他ノードへの波及はしませんがネット"
                      "ワークの整合性を損なう恐れがあります."),
                   std::string(), MB_YESNO) != IDYES)
        return;
    CCatalog* catalog = CCatalog::getInstance();
    CatalogRecord rec;
    catalog->getRec(row, &rec);
    if (!rowShowsRecord(row, rec)) {
        MessageBox(cp("ファイル一覧が更新されました。もう一度ファイルを選択してください"), std::string(), MB_OK);
        return;
    }
    if (cp932::fieldText(rec.originNode, CATALOG_NAME_LEN) == getNodeName()) {
        // No keeps the file everywhere: a No that still deleted it here
        // would be a deletion the user declined.
        if (MessageBox(cp("選択したファイルとネットワークへの登録を削除します。この操作はネットワーク上他ノードのファイル"
                          "も消去します。"),
                       std::string(), MB_YESNO) != IDYES)
            return;
        rec.state = CATALOG_STATE_DELETED;
        catalog->deleteRec(&rec);
        return;
    }
    if (!nodeFile &&
        MessageBox(cp("このファイルは他ノードで登録したファイルです. 強制削除しますか？\r\n強制削除は他ノードへの波及は"
                      "しませんがネットワークの整合性を損なう恐れがあります."),
                   std::string(), MB_YESNO) != IDYES)
        return;
    rec.state = CATALOG_STATE_DELETED;
    catalog->deleteRecLocal(&rec);
}

void CTandrelDlg::mapFileCommands()
{
    MapCommand(IDC_EXTRACT_FILE, [this] { OnBnClickedExtractFile(); });
    MapNotify(IDC_CATALOG_LIST, NM_DBLCLK, [this] { OnNMDblclkCatalogList(); });
    MapCommand(IDC_DELETE_REGISTRATION, [this] { OnBnClickedDeleteRegistration(); });
    MapCommand(IDC_CATALOG_SYNC, [this] { OnBnClickedCatalogSync(); });
}
