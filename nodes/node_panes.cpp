#include "nodes/node_panes.h"

#include <cstdio>
#include <cstring>

#include "platform/cp932.h"
#include "platform/paths.h"
#include "platform/ui/prompts.h"
#include "platform/ui/text.h"
#include "store/catalog.h"
#include "store/helpers.h"
#include "store/settings.h"

using ui::cp;

namespace {

bool endsWithNod(std::string_view name)
{
    return name.size() >= 4 && name.compare(name.size() - 4, 4, ".nod") == 0;
}

// The pane's grey reaches every child; a list keeps the system's own
// colours, as list controls do not take the pane's background.
void keepSystemColours(CWnd& list)
{
    list.SetCtlColors(GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_WINDOW));
}

void fillSorted(CListBox& list, const std::string* names, int count)
{
    list.SetRedraw(FALSE);
    list.ResetContent();
    for (int i = 0; i < count; ++i)
        list.AddString(names[i]);
    list.SetRedraw(TRUE);
}

} // namespace

void reselectRow(CListCtrlEx& list, const std::string& remembered)
{
    for (int i = 0; i < list.GetItemCount(); ++i) {
        if (list.GetItemText(i, 0) == remembered) {
            list.SetSelectionMark(i);
            list.SetItemState(i, LVIS_SELECTED, LVIS_SELECTED);
            list.SetHotItem(i);
            list.EnsureVisible(i, FALSE);
            return;
        }
    }
}

// --- Detail pane ---------------------------------------------------------------

void CNodeDetailDlg::BuildDialog()
{
    SetTemplate(139, 235, "", WS_CHILD | WS_BORDER, 252, 45);
    m_labels.clear();
    m_labels.push_back(AddGroupBox(cp("コンタクト情報"), {3, 2, 133, 44}));
    m_labels.push_back(AddStatic(IDC_STATIC, "SkypeID", {8, 13, 40, 9}));
    AddStatic(IDC_DETAIL_SKYPEID, "", {50, 12, 82, 11}, SS_SUNKEN);
    AddButton(IDC_DETAIL_MAILTO, "Mail-To", {8, 28, 40, 13});
    AddStatic(IDC_DETAIL_MAIL, "", {50, 29, 82, 11}, SS_SUNKEN);
    m_labels.push_back(AddStatic(IDC_STATIC, cp("隣接ノード"), {3, 50, 64, 9}));
    m_adjacentList.Create(LBS_SORT | LBS_NOTIFY | WS_VSCROLL | WS_HSCROLL, {3, 60, 64, 80}, this,
                          IDC_DETAIL_ADJACENT);
    m_labels.push_back(AddStatic(IDC_STATIC, cp("経路情報"), {72, 50, 64, 9}));
    m_routeList.Create(LBS_SORT | LBS_NOTIFY | WS_VSCROLL | WS_HSCROLL, {72, 60, 64, 80}, this,
                       IDC_DETAIL_ROUTE);
    m_labels.push_back(AddStatic(IDC_DETAIL_INFO_LABEL, "Infomation", {3, 144, 60, 9}));
    m_infoEdit.Create(ES_MULTILINE | ES_READONLY | WS_VSCROLL | ES_WANTRETURN, {3, 154, 133, 78}, this,
                      IDC_DETAIL_INFO);
}

void CNodeDetailDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_DETAIL_INFO, m_infoEdit);
    DDX_Control(pDX, IDC_DETAIL_ROUTE, m_routeList);
    DDX_Control(pDX, IDC_DETAIL_ADJACENT, m_adjacentList);
}

BOOL CNodeDetailDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetCtlColors(CLR_DEFAULT, PANE_GRAY);
    for (int id : {IDC_DETAIL_SKYPEID, IDC_DETAIL_MAIL, IDC_DETAIL_INFO})
        GetDlgItem(id)->SetCtlColors(CLR_DEFAULT, PANE_YELLOW);
    for (CWnd* label : m_labels)
        label->SetCtlColors(RGB(255, 255, 255), PANE_GRAY);
    keepSystemColours(m_adjacentList);
    keepSystemColours(m_routeList);
    GetDlgItem(IDC_DETAIL_SKYPEID)->SetWindowText("");
    GetDlgItem(IDC_DETAIL_MAIL)->SetWindowText("");
    return TRUE;
}

void CNodeDetailDlg::setNodeInfo(CNodeInfo info)
{
    m_info = std::move(info);
    m_hasNode = true;
    updateView();
}

void CNodeDetailDlg::updateView()
{
    if (!widget())
        return;
    GetDlgItem(IDC_DETAIL_SKYPEID)->SetWindowText(m_info.m_skypeId);
    GetDlgItem(IDC_DETAIL_MAIL)->SetWindowText(m_info.m_mail);
    fillSorted(m_adjacentList, m_info.m_adjacent, m_info.m_adjacentCount);
    fillSorted(m_routeList, m_info.m_route, m_info.m_routeCount);
    m_infoEdit.SetWindowText(m_info.m_info);
}

void CNodeDetailDlg::OnBnClickedMailTo()
{
    if (m_info.m_mail.empty()) {
        MessageBox(cp("メイルアドレスは設定されていません"), {}, MB_OK);
        return;
    }
    if (!OpenUrl(mailtoUrl(m_info.m_mail)))
        MessageBox(cp("メーラの呼び出しができません.メールの設定を確認してください."), {}, MB_OK);
}

// --- File pane -----------------------------------------------------------------

void CNodeFileRows::assign(const std::vector<CatalogRecord>& recs)
{
    std::vector<Row>().swap(m_rows);
    std::string().swap(m_names);
    m_rows.reserve(recs.size());
    for (const CatalogRecord& r : recs) {
        const std::string_view name = cp932::fieldText(r.findData.cFileName, MAX_PATH);
        m_rows.push_back(Row{static_cast<std::uint32_t>(m_names.size()), static_cast<std::uint16_t>(name.size()),
                             r.registered, r.expires.wYear, r.expires.wMonth, r.expires.wDay,
                             r.findData.nFileSizeHigh, r.findData.nFileSizeLow});
        m_names.append(name);
    }
}

std::string CNodeFileRows::text(std::size_t row, int column) const
{
    const Row& r = m_rows[row];
    switch (column) {
    case 0:
        return std::string(name(row));
    case 1:
        return ui::registeredText(r.registered);
    case 2:
        return ui::expiryText(r.expiresYear, r.expiresMonth, r.expiresDay);
    case 3:
        return ui::fileSizeText(r.sizeHigh, r.sizeLow);
    default:
        return std::string();
    }
}

void CFileMFCListCtrl::showRows(const CNodeFileRows& rows)
{
    // As a list emptied and filled again: the selection goes with the old rows.
    DeleteAllItems();
    m_rows = rows;
    SetItemCount(static_cast<int>(m_rows.size()));
}

std::string CFileMFCListCtrl::OnGetItemText(int nRow, int nColumn) const
{
    return nRow >= 0 && std::size_t(nRow) < m_rows.size() ? m_rows.text(std::size_t(nRow), nColumn) : std::string();
}

COLORREF CFileMFCListCtrl::OnGetCellTextColor(int nRow, int nColumn)
{
    if (nRow >= 0 && std::size_t(nRow) < m_rows.size() && endsWithNod(m_rows.name(std::size_t(nRow))))
        return RGB(150, 150, 150);
    return CListCtrlEx::OnGetCellTextColor(nRow, nColumn);
}

CNodeFileDlg::CNodeFileDlg(CWnd* pParent) : CDialog(pParent)
{
    MapCommand(IDC_FILES_EXTRACT, [this] { OnBnClickedExtract(); });
    MapCommand(IDC_FILES_DELETE, [this] { OnBnClickedDeleteRegistration(); });
}

void CNodeFileDlg::BuildDialog()
{
    SetTemplate(247, 121, "", WS_CHILD | WS_BORDER, 3, 160);
    AddStatic(IDC_FILES_TITLE, cp("着信ファイル一覧"), {4, 4, 58, 9});
    AddCheckBox(IDC_FILES_AUTO, cp("自動更新"), {63, 3, 42, 10});
    AddButton(IDC_FILES_EXTRACT, cp("ファイルを取り出す"), {106, 2, 72, 13});
    AddButton(IDC_FILES_DELETE, cp("登録を削除する"), {180, 2, 64, 13});
    m_fileList.Create(LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER | LVS_OWNERDATA,
                      {3, 18, 241, 100}, this, IDC_FILES_LIST);
}

void CNodeFileDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_FILES_LIST, m_fileList);
    DDX_Check(pDX, IDC_FILES_AUTO, m_autoRefresh);
}

BOOL CNodeFileDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetCtlColors(CLR_DEFAULT, PANE_GRAY);
    GetDlgItem(IDC_FILES_AUTO)->SetCtlColors(RGB(255, 255, 255), PANE_GRAY);
    GetDlgItem(IDC_FILES_TITLE)->SetCtlColors(RGB(255, 255, 255), PANE_GRAY);
    keepSystemColours(m_fileList);
    m_fileList.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    m_fileList.InsertColumn(0, cp("ファイル名"), LVCFMT_LEFT, 140);
    // Wide enough for the whole time with its milliseconds, as in the main
    // window's list.
    m_fileList.InsertColumn(1, cp("登録日時"), LVCFMT_LEFT, 150);
    m_fileList.InsertColumn(2, cp("有効期限"), LVCFMT_LEFT, 80);
    m_fileList.InsertColumn(3, cp("サイズ"), LVCFMT_RIGHT, 80);
    updateMode();
    SetTimer(TIMER_REFRESH, 1000);
    return TRUE;
}

BOOL CNodeFileDlg::DestroyWindow()
{
    KillTimer(TIMER_REFRESH);
    return CDialog::DestroyWindow();
}

void CNodeFileDlg::setNode(const std::string& node)
{
    m_node = node;
    m_mode = (m_pProp && cp932::compare(node.c_str(), m_pProp->getNodeName()) == 0) ? 1 : 0;
    updateMode();
    loadFileList();
    updateFileList();
}

void CNodeFileDlg::updateMode()
{
    const bool own = m_mode == 1;
    GetDlgItem(IDC_FILES_TITLE)->SetWindowText(own ? cp("登録ファイル一覧") : cp("着信ファイル一覧"));
    GetDlgItem(IDC_FILES_EXTRACT)->EnableWindow(own ? FALSE : TRUE);
    GetDlgItem(IDC_FILES_DELETE)->EnableWindow(own ? TRUE : FALSE);
}

void CNodeFileDlg::loadFileList()
{
    if (m_node.empty())
        return;
    std::vector<CatalogRecord> recs;
    CCatalog::getInstance()->getNodeRecs(m_node.c_str(), recs);
    m_files.assign(recs);
}

void CNodeFileDlg::updateFileList()
{
    const int mark = m_fileList.GetSelectionMark();
    const bool remembered = mark >= 0;
    const std::string selected = remembered ? m_fileList.GetItemText(mark, 0) : std::string();

    m_fileList.SetRedraw(FALSE);
    m_fileList.showRows(m_files);
    if (remembered)
        reselectRow(m_fileList, selected);
    m_fileList.SetRedraw(TRUE);
}

void CNodeFileDlg::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == TIMER_REFRESH) {
        UpdateData(TRUE);
        if (m_autoRefresh && !m_node.empty()) {
            loadFileList();
            updateFileList();
        }
    }
    CDialog::OnTimer(nIDEvent);
}

bool CNodeFileDlg::selectedRecord(const char* managementRefusal, CatalogRecord& rec)
{
    if (m_node.empty()) {
        MessageBox(cp("ノードが選択されていません."), {}, MB_OK);
        return false;
    }
    const int mark = m_fileList.GetSelectionMark();
    if (mark == -1) {
        MessageBox(cp("ファイルが選択されていません"), {}, MB_OK);
        return false;
    }
    const std::string file = m_fileList.GetItemText(mark, 0);
    if (endsWithNod(file)) {
        MessageBox(cp(managementRefusal), {}, MB_OK);
        return false;
    }
    if (!CCatalog::getInstance()->findRec(file.c_str(), m_node.c_str(), &rec)) {
        MessageBox(cp("カタログ情報の読み込みでエラーが発生しました。一覧を更新して下さい"), {}, MB_OK);
        return false;
    }
    return true;
}

void CNodeFileDlg::OnBnClickedExtract()
{
    CatalogRecord rec{};
    if (!selectedRecord("管理用ファイルは取り出しできません", rec))
        return;
    if (rec.complete != 1) {
        MessageBox(cp("このファイルはまだ食べ頃ではありません。後ほどお願いします"), {}, MB_OK);
        return;
    }
    const std::string fileName(cp932::fieldText(rec.findData.cFileName, MAX_PATH));
    const std::string origin(cp932::fieldText(rec.originNode, CATALOG_NAME_LEN));
    CFileDialog dlg(FALSE, nullptr, fileName.c_str(), OFN_HIDEREADONLY | OFN_EXPLORER,
                    cp("全てのファイル(*.*)|*.*||").c_str(), this);
    if (dlg.DoModal() != IDOK)
        return;
    // Both names come from a catalog record: only checked names make a path.
    CPropatyTandrel* prop = CPropatyTandrel::getInstance();
    const auto folder = prop ? paths::joinName(prop->getRecvFolder(), origin) : std::nullopt;
    const auto source = folder ? paths::joinName(*folder, fileName) : std::nullopt;
    // Our copy shows no progress or error window of its own, so the user
    // hears of a copy that did not happen here.
    const ShellOpResult result =
        source ? shellFileOperation(GetSafeHwnd(), FO_COPY, *source, dlg.GetPathName()) : ShellOpResult::failed;
    if (result == ShellOpResult::cancelled)
        MessageBox(cp("操作はキャンセルされました"), {}, MB_OK);
    else if (result == ShellOpResult::failed)
        MessageBox(cp("ファイルの取り出しに失敗しました。"), {}, MB_OK);
}

void CNodeFileDlg::OnBnClickedDeleteRegistration()
{
    CatalogRecord rec{};
    if (!selectedRecord("管理用ファイルは削除できません", rec))
        return;
    const int answer = MessageBox(
        cp("選択したファイルとネットワークへの登録を削除します。この操作はネットワーク上他ノードのファイルも消去します。"),
        {}, MB_YESNO);
    if (answer != IDYES)
        return;
    rec.state = CATALOG_STATE_DELETED;
    CCatalog::getInstance()->deleteRec(&rec);
}
