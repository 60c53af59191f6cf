#include "nodes/node_info_dlg.h"

#include <cstring>

#include "nodes/node_propaty_dlg.h"
#include "platform/cp932.h"
#include "platform/dirlist.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/ui/text.h"
#include "store/catalog.h"
#include "store/settings.h"
#include "transport/transfer.h"

using ui::cp;

namespace {

// The subfolders of folder, in listing order.
void listSubfolders(const std::string& folder, std::vector<platform::DirEntry>& out)
{
    std::vector<platform::DirEntry> all;
    out.clear();
    if (!platform::listDirectory(folder, "*", all))
        return;
    for (platform::DirEntry& e : all)
        if (e.fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            out.push_back(std::move(e));
}

// A whole record from <folder>/nodeInfomation.nod; false when it cannot be
// read or is shorter than a record (a fetch still under way).
bool readRecord(const std::string& folder, NodeInfoRecord& rec)
{
    platform::CFile f;
    if (!f.Open(paths::joinFixed(folder, NODE_RECORD_FILE), platform::CFile::modeRead))
        return false;
    std::memset(&rec, 0, sizeof rec);
    std::size_t got = 0;
    return f.TryRead(&rec, sizeof rec, &got) && got == sizeof rec;
}

} // namespace

CNodeInfoDlg::CNodeInfoDlg(CWnd* pParent) : CDialog(pParent)
{
    MapCommand(IDC_NODEWIN_CLOSE, [this] { OnBnClickedClose(); });
    MapCommand(IDC_NODEWIN_OWN_SETTINGS, [this] { OnBnClickedOwnNodeSettings(); });
    for (int id : {IDC_NODEWIN_PRESENT, IDC_NODEWIN_ABSENT, IDC_NODEWIN_NOT_CONTACTABLE})
        MapCommand(id, [this] { OnBnClickedPresence(); });
    MapNotify(IDC_NODEWIN_LIST, NM_CLICK, [this] { OnNMClickNodeList(); });
}

void CNodeInfoDlg::BuildDialog()
{
    SetTemplate(395, 287, cp("ノード情報"));
    AddButton(IDC_NODEWIN_OWN_SETTINGS, cp("自ノード情報設定"), {252, 8, 70, 14});
    AddButton(IDC_NODEWIN_CLOSE, cp("閉じる"), {330, 8, 58, 14}, BS_DEFPUSHBUTTON);
    AddGroupBox(cp("プレゼンス"), {3, 2, 244, 26});
    AddRadioButton(IDC_NODEWIN_PRESENT, cp("在席（コンタクト可)"), {9, 13, 80, 10}, WS_GROUP);
    AddRadioButton(IDC_NODEWIN_NOT_CONTACTABLE, cp("在席(コンタクト不可)"), {92, 13, 86, 10});
    AddRadioButton(IDC_NODEWIN_ABSENT, cp("不在"), {182, 13, 40, 10});
    AddStatic(IDC_STATIC, cp("ノード一覧"), {3, 34, 60, 9});
    m_nodeList.Create(LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, {3, 45, 244, 112}, this, IDC_NODEWIN_LIST);
}

void CNodeInfoDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_NODEWIN_LIST, m_nodeList);
    DDX_Radio(pDX, IDC_NODEWIN_PRESENT, m_presence);
}

BOOL CNodeInfoDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_detailDlg.Create(this);
    m_fileDlg.m_pProp = m_pProp;
    m_fileDlg.Create(this);
    m_fileDlg.ShowWindow(SW_SHOW);

    m_nodeList.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    m_nodeList.InsertColumn(0, cp("ノード名"), LVCFMT_LEFT, 100);
    m_nodeList.InsertColumn(1, cp("状態"), LVCFMT_LEFT, 110);
    m_nodeList.InsertColumn(2, "TimeStamp", LVCFMT_LEFT, 110);
    m_nodeList.InsertColumn(3, "Ver", LVCFMT_LEFT, 100);

    m_detailDlg.ShowWindow(SW_SHOW);

    m_iniPath = m_pProp ? m_pProp->iniPath() : std::string();
    loadOwnSettings();
    // A status outside 0..2 checks no radio button.
    m_presence = m_ownInfo.m_status;
    UpdateData(FALSE);

    tick();
    SetTimer(TIMER_NODE_TICK, TICK_PERIOD_MS);
    return TRUE;
}

void CNodeInfoDlg::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == TIMER_NODE_TICK)
        tick();
    CDialog::OnTimer(nIDEvent);
}

void CNodeInfoDlg::tick()
{
    buildOwnRecord();
    if (m_pProp && m_pProp->getNodeName()[0] != '\0')
        writeOwnRecord();
    loadNodeList();
    updateNodeList();
}

void CNodeInfoDlg::loadNodeList()
{
    std::vector<platform::DirEntry> folders;
    const std::string recv = m_pProp ? m_pProp->getRecvFolder() : "";
    if (!recv.empty())
        listSubfolders(recv, folders);

    m_nodes.clear();
    m_nodes.push_back(m_ownInfo);

    NodeInfoRecord rec;
    for (const platform::DirEntry& e : folders) {
        // The folder name came from a peer's record: only a checked name
        // makes a path.
        if (!e.nameConverts)
            continue;
        const auto folder = paths::joinName(recv, cp932::fieldText(e.fd.cFileName, MAX_PATH));
        if (!folder || !readRecord(*folder, rec))
            continue;
        CNodeInfo info = nodeInfoFromRecord(rec);
        CatalogRecord cat{};
        if (CCatalog::getInstance()->findRec(NODE_RECORD_FILE, info.m_name.c_str(), &cat)
            && cat.hopCount <= static_cast<DWORD>(NODE_ROUTE_MAX)) {
            info.m_routeCount = static_cast<int>(cat.hopCount);
            for (int j = 0; j < info.m_routeCount; ++j)
                info.m_route[j] = std::string(cp932::fieldText(cat.route[j], CATALOG_NAME_LEN));
        }
        m_nodes.push_back(std::move(info));
    }
}

void CNodeInfoDlg::updateNodeList()
{
    const int mark = m_nodeList.GetSelectionMark();
    const bool remembered = mark >= 0;
    const std::string selected = remembered ? m_nodeList.GetItemText(mark, 0) : std::string();

    m_nodeList.SetRedraw(FALSE);
    m_nodeList.DeleteAllItems();
    const std::string& shown = m_detailDlg.nodeInfo().m_name;
    const bool paneShowsNode = m_detailDlg.hasNode();
    for (std::size_t i = 0; i < m_nodes.size(); ++i) {
        const CNodeInfo& n = m_nodes[i];
        const int row = m_nodeList.InsertItem(static_cast<int>(i), n.m_name);
        m_nodeList.SetItemText(row, 1, nodeStatusText(n.m_status));
        m_nodeList.SetItemText(row, 2, nodeTimeText(n.m_time));
        m_nodeList.SetItemText(row, 3, nodeVersionText(n.m_version));
        // The node shown in the detail pane follows its newest record.
        if (paneShowsNode && n.m_name == shown)
            m_detailDlg.setNodeInfo(n);
    }
    if (remembered)
        reselectRow(m_nodeList, selected);
    m_nodeList.SetRedraw(TRUE);
}

void CNodeInfoDlg::OnBnClickedClose()
{
    ShowWindow(SW_HIDE);
}

void CNodeInfoDlg::OnNMClickNodeList()
{
    const int mark = m_nodeList.GetSelectionMark();
    if (mark < 0 || mark >= static_cast<int>(m_nodes.size()))
        return;
    m_detailDlg.setNodeInfo(m_nodes[mark]);
    m_fileDlg.setNode(m_nodes[mark].m_name);
}

void CNodeInfoDlg::OnBnClickedOwnNodeSettings()
{
    CNodePropatyDlg dlg;
    dlg.m_autoSkypeId = m_pTransfer ? m_pTransfer->getSkypeId() : std::string();
    dlg.m_pInfo = &m_ownInfo;
    if (dlg.DoModal() == IDOK)
        saveOwnSettingsOrTell();
}

void CNodeInfoDlg::saveOwnSettingsOrTell()
{
    if (!saveOwnSettings())
        MessageBox(cp(setting::WRITE_FAILURE), {}, MB_OK | MB_ICONEXCLAMATION);
}

void CNodeInfoDlg::OnBnClickedPresence()
{
    UpdateData(TRUE);
    m_ownInfo.m_status = m_presence;
    saveOwnSettingsOrTell();
}
