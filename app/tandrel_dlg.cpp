#include "app/tandrel_dlg.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QWidget>

#include "app/resources.h"
#include "app/switches.h"
#include "platform/cp932.h"
#include "platform/memory.h"
#include "platform/qt/main_thread.h"
#include "platform/ui/prompts.h"
#include "platform/ui/text.h"
#include "protocol/post_error.h"
#include "store/catalog.h"

using ui::cp;

namespace {

// A countdown counter of the tick does its work when it has run out and is
// then reloaded, so a counter reloaded with N works every N + 1 ticks.
bool runsOut(int& counter, int reload)
{
    if (counter > 0) {
        --counter;
        return false;
    }
    counter = reload;
    return true;
}

constexpr COLORREF LABEL_BACKGROUND = RGB(255, 255, 180);

// The buttons of the window and whether a connected link locks them.
struct CommandButton {
    int id;
    bool lockedWhileConnected;
    bool available; // its dialog or command is part of the window
};
constexpr CommandButton kCommandButtons[] = {
    {IDC_SYSTEM_SETTINGS, true, true},   {IDC_CONNECT_ADD, true, true},
    {IDC_CONNECT_CHANGE, true, true},    {IDC_CONNECT_DELETE, true, true},
    {IDC_NODE_INFO, false, true},        {IDC_CATALOG_SYNC, false, true},
    {IDC_EXTRACT_FILE, false, true},    {IDC_DELETE_REGISTRATION, false, true},
};

} // namespace

CTandrelDlg::CTandrelDlg(CWnd* pParent) : CDialog(pParent), m_switches(commandLineSwitches())
{
    // IDCANCEL (Escape, the close box) hides like IDOK does.
    MapCommand(IDCANCEL, [this] { OnOK(); });
    MapCommand(IDC_ONLINE, [this] { OnBnClickedOnline(); });
    MapCommand(IDC_OFFLINE, [this] { OnBnClickedOnline(); });
    MapCommand(ID_TRAY_OPEN, [this] { OnTrayOpen(); });
    MapCommand(IDC_NODE_INFO, [this] { OnBnClickedNodeInfo(); });
    MapCommand(ID_TRAY_EXIT, [this] { OnTrayExit(); });
    MapCommand(IDC_SYSTEM_SETTINGS, [this] { OnBnClickedSystemSettings(); });
    MapCommand(IDC_CONNECT_ADD, [this] { OnBnClickedConnectAdd(); });
    MapCommand(IDC_CONNECT_CHANGE, [this] { OnBnClickedConnectChange(); });
    MapCommand(IDC_CONNECT_DELETE, [this] { OnBnClickedConnectDelete(); });
    mapFileCommands();
}

CTandrelDlg::~CTandrelDlg()
{
    if (widget())
        DestroyWindow();
}

// --- Window --------------------------------------------------------------------

void CTandrelDlg::BuildDialog()
{
    // Wide enough for every column of both lists (660 pixels of the
    // original screen for the file list, 440 dialog units).
    SetTemplate(476, 302, "Yuvo");

    AddGroupBox(cp("通信"), {5, 2, 124, 58});
    AddRadioButton(IDC_ONLINE, cp("オンライン"), {12, 13, 54, 10}, WS_GROUP);
    AddRadioButton(IDC_OFFLINE, cp("オフライン"), {68, 13, 56, 10});
    AddButton(IDC_SYSTEM_SETTINGS, cp("システム設定"), {12, 27, 110, 13}, WS_GROUP);
    AddButton(IDC_NODE_INFO, cp("ノード情報"), {12, 43, 110, 13});

    AddStatic(IDC_STATIC, cp("パーティ名"), {136, 8, 44, 10});
    AddStatic(IDC_PARTY_NAME, "", {182, 7, 150, 11}, SS_SUNKEN);
    AddStatic(IDC_STATIC, cp("ノード名"), {136, 25, 44, 10});
    AddStatic(IDC_NODE_NAME, "", {182, 24, 150, 11}, SS_SUNKEN);
    AddStatic(IDC_STATIC, cp("SKYPE連携"), {136, 42, 44, 10});
    AddStatic(IDC_SKYPE_STATE, "", {182, 41, 150, 11}, SS_SUNKEN);
    CStatic* icon = AddStatic(IDC_STATIC, "", {348, 8, 14, 10});
    icon->SetIcon(res::trayIcon());
    AddButton(IDOK, cp("ウィンドウを閉じる"), {382, 42, 84, 14});

    AddGroupBox(cp("接続ノード"), {5, 62, 466, 94});
    m_connectList.Create(LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, {12, 73, 394, 78}, this,
                         IDC_CONNECT_LIST);
    AddButton(IDC_CONNECT_ADD, cp("追加"), {412, 73, 52, 14});
    AddButton(IDC_CONNECT_CHANGE, cp("変更"), {412, 90, 52, 14});
    AddButton(IDC_CONNECT_DELETE, cp("削除"), {412, 107, 52, 14});
    AddButton(IDC_CATALOG_SYNC, cp("カタログ同期"), {412, 137, 52, 14});

    AddGroupBox(cp("カタログキャッシュ"), {5, 158, 466, 126});
    AddStatic(IDC_DROP_HINT, cp("リスト内にファイルをドロップするとファイルが登録されます。"), {12, 171, 280, 10});
    AddButton(IDC_EXTRACT_FILE, cp("ファイルを取り出す"), {320, 168, 76, 14});
    AddButton(IDC_DELETE_REGISTRATION, cp("登録を削除"), {400, 168, 64, 14});
    m_catalogList.Create(LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_OWNERDATA, {12, 186, 454, 93}, this,
                         IDC_CATALOG_LIST);

    m_msg.Create("", SS_SUNKEN, {5, 288, 466, 11}, this, IDC_STATUS);
}

void CTandrelDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_STATUS, m_msg);
    DDX_Control(pDX, IDC_CATALOG_LIST, m_catalogList);
    DDX_Control(pDX, IDC_CONNECT_LIST, m_connectList);
    // The three statics only show their texts: reading a shown name back
    // would turn bytes that have no character into '?'.
    if (!pDX->m_bSaveAndValidate) {
        DDX_Text(pDX, IDC_NODE_NAME, m_nodeName);
        DDX_Text(pDX, IDC_SKYPE_STATE, m_skypeState);
        DDX_Text(pDX, IDC_PARTY_NAME, m_party);
    }
    DDX_Radio(pDX, IDC_ONLINE, m_offline);
}

BOOL CTandrelDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    CenterWindow();
    addWindowMenu();
    SetIcon(res::windowIcon());
    connectNotices();
    m_anyConnected = 0;
    setupLists();
    loadSettings();
    startNode();
    showInTray();
    startTimers();
    return TRUE;
}

void CTandrelDlg::addWindowMenu()
{
    // The About item: Windows keeps it in the system menu, which belongs to
    // the window manager here, so it sits in the window's own context menu.
    QWidget* w = widget();
    if (!w)
        return;
    w->setContextMenuPolicy(Qt::ActionsContextMenu);
    m_aboutAction = new QAction(ui::toQt(cp("Yuvo のﾊﾞｰｼﾞｮﾝ情報(&A)...")), w);
    QObject::connect(m_aboutAction, &QAction::triggered, m_aboutAction,
                     [this] { SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0); });
    w->addAction(m_aboutAction);
    // Without a tray the tray menu's exit would be out of reach.
    auto* separator = new QAction(w);
    separator->setSeparator(true);
    w->addAction(separator);
    m_exitAction = new QAction(ui::toQt(cp("終了")), w);
    QObject::connect(m_exitAction, &QAction::triggered, m_exitAction,
                     [this] { SendMessage(WM_COMMAND, MAKEWPARAM(ID_TRAY_EXIT, BN_CLICKED), 0); });
    w->addAction(m_exitAction);
}

void CTandrelDlg::connectNotices()
{
    // The lower layers' notices come to this window, each with its own text.
    CPostError::getInstance()->setTarget([this](const PostedNotice& notice) {
        m_noticeText = notice.text;
        m_noticeTextSet = true;
        SendMessage(notice.message, notice.wParam, notice.lParam);
    });
    m_msg.startTimer();
    for (int id : {IDC_NODE_NAME, IDC_SKYPE_STATE, IDC_PARTY_NAME, IDC_DROP_HINT})
        GetDlgItem(id)->SetCtlColors(CLR_DEFAULT, LABEL_BACKGROUND);
    m_msg.SetCtlColors(CLR_DEFAULT, CMsg::BACKGROUND);
}

void CTandrelDlg::setupLists()
{
    m_connectList.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    m_connectList.InsertColumn(0, cp("接続ノード名"), LVCFMT_LEFT, 100);
    m_connectList.InsertColumn(1, cp("接続方式"), LVCFMT_LEFT, 65);
    m_connectList.InsertColumn(2, cp("接続先"), LVCFMT_LEFT, 100);
    m_connectList.InsertColumn(3, cp("接続状態"), LVCFMT_LEFT, 65);
    m_connectList.InsertColumn(4, cp("コメント"), LVCFMT_LEFT, 230);

    m_catalogList.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    m_catalogList.InsertColumn(0, cp("ファイル名"), LVCFMT_LEFT, 150);
    m_catalogList.InsertColumn(1, cp("送信元"), LVCFMT_LEFT, 100);
    m_catalogList.InsertColumn(2, cp("登録日時"), LVCFMT_LEFT, 150);
    m_catalogList.InsertColumn(3, cp("有効期限"), LVCFMT_LEFT, 80);
    m_catalogList.InsertColumn(4, cp("状況"), LVCFMT_LEFT, 60);
    m_catalogList.InsertColumn(5, cp("サイズ"), LVCFMT_RIGHT, 80);
    m_catalogList.InsertColumn(6, "", LVCFMT_RIGHT, 40);

    m_catalogRows = 0;
}

void CTandrelDlg::loadSettings()
{
    readSetting();
    for (std::string& text : takeSettingNotices())
        sayInBox(std::move(text));
    updateTitle();
    // No rows: nothing to link to, so the node starts offline.
    m_offline = getConnectNum() < 1 ? 1 : 0;
    UpdateData(FALSE);
}

void CTandrelDlg::startNode()
{
    m_transfer.addListener(this);
    m_transfer.initialize(GetSafeHwnd());

    // The first call loads the catalog; every entry comes back as a queued
    // append, shown at the first refresh.
    for (std::string& text : CCatalog::getInstance()->takeNotices())
        sayInBox(std::move(text));
    // A sync round done on a worker is taken back on this thread at once.
    CCatalog::getInstance()->setSyncWake([] {
        platform::postToMainThread([] {
            if (CCatalog* catalog = CCatalog::existingInstance())
                catalog->collectSyncs();
        });
    });

    m_pFolderWatch = std::make_unique<CFolderWatch>();
    // Nothing is dropped into a SEND that is away.
    m_catalogList.m_pFolderWatch = m_pFolderWatch.get();

    OnBnClickedOnline();

    m_pFolderWatch->setFolder(getSendFolder());
    m_pFolderWatch->loadList();
}

void CTandrelDlg::showInTray()
{
    setupTrayIcon();
    addTrayIcon();
    showMainWindow(m_startClosed == 0 ? TRUE : FALSE);

    // The node window lives hidden from here on; its own timer publishes
    // the node record.
    m_nodeInfoDlg.m_pTransfer = &m_transfer;
    m_nodeInfoDlg.m_pProp = this;
    m_nodeInfoDlg.m_pFolderWatch = m_pFolderWatch.get();
    m_nodeInfoDlg.Create(this);
    m_nodeInfoDlg.ShowWindow(SW_HIDE);
}

void CTandrelDlg::startTimers()
{
    SetTimer(TIMER_TICK, 500);
    SetTimer(TIMER_TRAY, 5000);
    SetTimer(TIMER_COMPACT, 5000);

    applyButtonStates();
    m_catalogList.DragAcceptFiles(TRUE);
}

void CTandrelDlg::sayInBox(std::string text)
{
    m_boxNotices.push_back(std::move(text));
    // What the start found wrong is told once the window runs.
    if (!m_boxPosted) {
        m_boxPosted = true;
        PostMessage(WM_SHOW_NOTICES);
    }
}

void CTandrelDlg::showNotices()
{
    m_boxPosted = false;
    std::string text;
    for (const std::string& t : m_boxNotices) {
        std::printf("%s\n", ui::toQt(t).toStdString().c_str());
        text += (text.empty() ? "" : "\n\n") + t;
    }
    std::fflush(stdout);
    m_boxNotices.clear();
    if (!text.empty())
        MessageBox(text, std::string(), MB_OK);
}

void CTandrelDlg::showCatalogNotices()
{
    std::vector<std::string> notices = CCatalog::getInstance()->takeNotices();
    if (m_pFolderWatch)
        for (std::string& t : m_pFolderWatch->takeNotices())
            notices.push_back(std::move(t));
    for (const std::string& t : notices) {
        m_msg.showMessage(t);
        std::fprintf(stderr, "%s\n", ui::toQt(t).toStdString().c_str());
        std::fflush(stderr);
    }
    // What the user can do about a SEND that is away stays in view until it
    // is back.
    m_msg.setStandingText(m_pFolderWatch ? m_pFolderWatch->awayNotice() : std::string());
}

void CTandrelDlg::updateTitle()
{
    SetWindowText("Yuvo [" + std::string(getPartyName()) + "]");
}

void CTandrelDlg::applyButtonStates()
{
    for (const CommandButton& b : kCommandButtons) {
        CWnd* w = GetDlgItem(b.id);
        if (!w)
            continue;
        const bool locked = b.lockedWhileConnected && m_anyConnected == 1;
        w->EnableWindow(b.available && !locked ? TRUE : FALSE);
    }
}

// --- Messages ------------------------------------------------------------------

LRESULT CTandrelDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        return onQueryEndSession();
    case WM_ENDSESSION:
        onEndSession(wParam, lParam);
        break;
    case WM_POWERBROADCAST:
        onPowerBroadcast(wParam);
        break;
    case WM_TRAYNOTIFY:
        if (onTrayNotify(lParam))
            return 0;
        break;
    case WM_POSTERROR:
        onNotice(UINT(wParam), lParam);
        break;
    case WM_SHOW_NOTICES:
        showNotices();
        return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            showAboutBox();
            return 0;
        }
        break;
    default:
        break;
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

LRESULT CTandrelDlg::onQueryEndSession()
{
    KillTimer(TIMER_TICK);
    m_endQueried = true;
    for (int i = 0; i < getConnectNum(); ++i)
        m_transfer.disconnect(i);
    return TRUE;
}

void CTandrelDlg::onEndSession(WPARAM ending, LPARAM how)
{
    if (ending != 0 || (how & ENDSESSION_LOGOFF) != 0) {
        // A dialog or box still open (the tray's exit is in reach while one
        // is) would hold the program in its loop.
        ui::cancelModalLoops(this);
        // The base class's OK: the dialog ends, and with it the program.
        CDialog::OnOK();
    } else if (m_endQueried) {
        // The end was cancelled: the node goes on with its tick, and the
        // next connect pass links it up again.
        m_endQueried = false;
        SetTimer(TIMER_TICK, 500);
    }
}

void CTandrelDlg::onPowerBroadcast(WPARAM event)
{
    if (event == PBT_APMSUSPEND && m_suspended == 0) {
        m_savedOffline = m_offline;
        m_suspended = 1;
        m_offline = 1;
        UpdateData(FALSE);
        for (int i = 0; i < getConnectNum(); ++i) {
            if (m_transfer.isConnected(i) == 1)
                m_transfer.disconnect(i);
        }
    } else if (event == PBT_APMRESUMESUSPEND && m_suspended == 1) {
        m_offline = m_savedOffline;
        m_suspended = 0;
        UpdateData(FALSE);
    }
}

bool CTandrelDlg::onTrayNotify(LPARAM mouse)
{
    switch (mouse) {
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
        return true;
    case WM_LBUTTONDBLCLK:
        showMainWindow(TRUE);
        SetForegroundWindow();
        return true;
    case WM_RBUTTONUP:
        SetForegroundWindow();
        m_tray.menu()->popup(QCursor::pos());
        return true;
    default:
        return false;
    }
}

void CTandrelDlg::endSession()
{
    ui::cancelModalLoops(this);
    if (SendMessage(WM_QUERYENDSESSION, 0, 0))
        SendMessage(WM_ENDSESSION, TRUE, 0);
}

void CTandrelDlg::onNotice(UINT wParam, LPARAM lParam)
{
    if (lParam == 0 && wParam == POSTERROR_PARTY_MISMATCH)
        m_msg.showMessage(cp("TCP接続でパーティ名が不一致の接続があります.切断します."));
    else if (lParam == 0 && wParam == POSTERROR_FRAME_ERROR)
        m_msg.showMessage(cp("TCP接続フレームエラーです接続先のバージョンを確認して下さい."));
    else if (lParam == POSTERROR_FREE_TEXT && wParam == 1)
        m_msg.showMessage(m_noticeTextSet ? m_noticeText : CPostError::getInstance()->getErrorText());
    else if (lParam == POSTERROR_FREE_TEXT && wParam == POSTERROR_WARNING && m_noticeTextSet) {
        m_msg.showMessage(m_noticeText);
        sayInBox(m_noticeText);
    }
    m_noticeText.clear();
    m_noticeTextSet = false;
}

void CTandrelDlg::OnBnClickedNodeInfo()
{
    m_nodeInfoDlg.CenterWindow();
    m_nodeInfoDlg.ShowWindow(SW_SHOW);
}

void CTandrelDlg::OnOK()
{
    showMainWindow(FALSE);
}

void CTandrelDlg::OnTimer(UINT_PTR nIDEvent)
{
    switch (nIDEvent) {
    case TIMER_TICK: {
        if (m_offline == 0) {
            if (runsOut(m_connectCounter, 20))
                connectPass();
        } else {
            if (runsOut(m_disconnectCounter, 20))
                disconnectPass();
        }
        if (runsOut(m_stateCounter, 2)) {
            refreshConnectStates();
            startDrain();
        }
        if (runsOut(m_folderCounter, 10) && m_pFolderWatch && !m_pFolderWatch->checking())
            m_pFolderWatch->startCheck();
        bulkSlice();
        if (runsOut(m_limitCounter, 7200))
            CCatalog::getInstance()->checkLimit();
        // A rewrite of catalog.dat that a full disk held back is tried
        // again, and what the catalog has to tell is shown.
        CCatalog::getInstance()->onTick();
        showCatalogNotices();
        break;
    }
    case TIMER_TRAY:
        if (!m_tray.Modify())
            addTrayIcon();
        if (m_exitAction)
            m_exitAction->setVisible(!m_tray.isShown());
        break;
    case TIMER_COMPACT:
        KillTimer(TIMER_COMPACT);
        CCatalog::getInstance()->compactList();
        SetTimer(TIMER_COMPACT, 5000);
        break;
    case TIMER_BULK:
        bulkSlice();
        break;
    default:
        break;
    }
    CDialog::OnTimer(nIDEvent);
}

namespace {

// A slice of the bulk work, and the pause between two slices in which the
// links' timers and sockets run: a link's frame waits at most a slice for
// the main thread, while a registration of thousands of files still takes
// about half of it.
constexpr auto BULK_SLICE = std::chrono::milliseconds(5);
constexpr UINT BULK_PAUSE_MS = 5;

} // namespace

bool CTandrelDlg::bulkWorkPending() const
{
    return m_drainLeft > 0 || (m_pFolderWatch && m_pFolderWatch->checking());
}

void CTandrelDlg::bulkSlice()
{
    const auto deadline = std::chrono::steady_clock::now() + BULK_SLICE;
    // The drain and the scan are the steps that allocate in bulk (with a
    // large catalog, tens of megabytes that they free again): what one freed
    // goes back before the next one allocates afresh.
    if (m_drainLeft > 0 && !continueDrain(deadline))
        platform::releaseFreeMemory();
    // The SEND check's listing runs on a worker; what it found is applied
    // here, and a new check starts only once the last one is applied.
    if (m_pFolderWatch && m_pFolderWatch->checking() && !m_pFolderWatch->continueCheck(deadline))
        platform::releaseFreeMemory();
    // The neighbours' queue indexes are read ahead in steps, so that no
    // queue operation has to read a whole queue file at once.
    CCatalog::getInstance()->prepareQueueIndexes(std::max(deadline, std::chrono::steady_clock::now()));
    if (bulkWorkPending())
        SetTimer(TIMER_BULK, BULK_PAUSE_MS);
    else
        KillTimer(TIMER_BULK);
}

void CTandrelDlg::connectPass()
{
    // A listen that failed (the port still taken) is tried again here.
    m_transfer.startListen();
    for (int i = 0; i < getConnectNum(); ++i) {
        if (m_transfer.isConnected(i) == 0 && m_transfer.isReachable(i) == 1)
            m_transfer.connect(i);
    }
}

void CTandrelDlg::disconnectPass()
{
    for (int i = 0; i < getConnectNum(); ++i) {
        if (m_transfer.isConnected(i) == 1)
            m_transfer.disconnect(i);
    }
}

void CTandrelDlg::refreshConnectStates()
{
    const std::string connected = cp("接続");
    const std::string notConnected = cp("未接続");
    m_connectList.SetRedraw(FALSE);
    for (int i = 0; i < getConnectNum(); ++i) {
        const std::string& wanted = m_transfer.isConnected(i) == 1 ? connected : notConnected;
        if (m_connectList.GetItemText(i, CConnectionRows::COL_STATE) != wanted) {
            m_rows.setCellText(i, CConnectionRows::COL_STATE, wanted.c_str());
            m_connectList.SetItemText(i, CConnectionRows::COL_STATE, wanted);
        }
    }
    m_connectList.SetRedraw(TRUE);
    m_connectList.Invalidate(TRUE);
}

// --- Online and offline --------------------------------------------------------

void CTandrelDlg::OnBnClickedOnline()
{
    UpdateData(TRUE);
    if (m_offline != 0) {
        m_transfer.stopListen();
        return;
    }
    const char* missing = nullptr;
    if (getNodeName()[0] == '\0')
        missing = "ノード名が未設定です。ノード名を設定してください。";
    else if (getPartyName()[0] == '\0')
        missing = "パーティ名が未設定です。パーティ名を設定してください。";
    else if (getConnectNum() == 0)
        missing = "接続先の設定がありません。接続先を1つ以上設定してください。";
    if (missing) {
        MessageBox(cp(missing), std::string(), MB_OK);
        m_offline = 1;
        UpdateData(FALSE);
        return;
    }
    m_transfer.startListen();
}

// --- Transport listener --------------------------------------------------------

void CTandrelDlg::onSkypeStateChanged()
{
    switch (m_transfer.getSkypeStatus()) {
    case 0:
        m_skypeState = cp("SKYPEと未接続");
        break;
    case 1:
        m_skypeState = cp("SKYPEと接続");
        break;
    case 2:
        m_skypeState = cp("SKYPEと認証中");
        break;
    case 3:
        m_skypeState = cp("SKYPEと切断");
        break;
    default:
        break;
    }
    UpdateData(FALSE);
}

void CTandrelDlg::onConnectedChanged(int anyConnected)
{
    if (m_anyConnected != 1 && anyConnected != 0) {
        m_anyConnected = 1;
        applyButtonStates();
    } else if (m_anyConnected == 1 && anyConnected != 1) {
        m_anyConnected = 0;
        applyButtonStates();
    }
}

// --- Shutdown ------------------------------------------------------------------

void CTandrelDlg::OnDestroy()
{
    CDialog::OnDestroy();
    shutdown();
}

void CTandrelDlg::shutdown()
{
    m_nodeInfoDlg.DestroyWindow();
    m_offline = 1;
    UpdateData(FALSE);
    KillTimer(TIMER_TICK);
    KillTimer(TIMER_TRAY);
    KillTimer(TIMER_COMPACT);
    KillTimer(TIMER_BULK);
    for (int i = 0; i < getConnectNum(); ++i)
        m_transfer.disconnect(i);
    m_transfer.release();
    // No window is left to show it in.
    if (!writeSetting())
        std::fprintf(stderr, "Yuvo: the settings could not be written to %s\n", iniPath().c_str());
    m_catalogList.m_pFolderWatch = nullptr;
    m_pFolderWatch.reset();
    CCatalog::releaseInstance();
    // Notices still under way would find no window.
    if (CPostError* poster = CPostError::getInstance())
        poster->setTarget(nullptr);
}

void CTandrelDlg::PostNcDestroy()
{
    m_tray.Delete();
    m_aboutAction = nullptr;
    m_exitAction = nullptr;
    CDialog::PostNcDestroy();
}

// --- Settings interface --------------------------------------------------------

const char* CTandrelDlg::getRecComment(int i) { return m_rows.getRecComment(i); }
const char* CTandrelDlg::getRecHostName(int i) { return m_rows.getRecHostName(i); }
const char* CTandrelDlg::getRecHost(int i) { return m_rows.getRecHost(i); }
int CTandrelDlg::getRecPort(int i) { return m_rows.getRecPort(i); }
const char* CTandrelDlg::getRecSkypeId(int i) { return m_rows.getRecSkypeId(i); }
const char* CTandrelDlg::getRecTransport(int i) { return m_rows.getRecTransport(i); }
int CTandrelDlg::getConnectNum() { return m_rows.getConnectNum(); }
const char* CTandrelDlg::getRecName(int i) { return m_rows.getRecName(i); }
int CTandrelDlg::isAcceptSkypeId(const char* skypeId) { return m_rows.isAcceptSkypeId(skypeId, m_offline == 0); }

std::string& CTandrelDlg::findRecName(std::string& out, int transport, const char* host)
{
    return m_rows.findRecName(out, transport, host);
}

void CTandrelDlg::renameRecName(int transport, const char* host, const char* oldName, const char* newName)
{
    m_rows.renameRecName(transport, host, oldName, newName);
    for (int i = 0; i < getConnectNum(); ++i)
        mirrorRow(i);
}

void CTandrelDlg::setRecComment(int i, const char* text)
{
    m_rows.setRecComment(i, text);
    mirrorRow(i);
}

void CTandrelDlg::setRecHostName(int i, const char* text)
{
    m_rows.setRecHostName(i, text);
    mirrorRow(i);
}

void CTandrelDlg::setRecSkypeId(int i, const char* text)
{
    m_rows.setRecSkypeId(i, text);
    mirrorRow(i);
}

void CTandrelDlg::setRecTransport(int i, const char* text)
{
    m_rows.setRecTransport(i, text);
    mirrorRow(i);
}

void CTandrelDlg::setRecName(int i, const char* text)
{
    if (i < 0)
        return;
    const int at = std::min(i, getConnectNum());
    m_rows.setRecName(i, text);
    insertListRow(at);
}

void CTandrelDlg::insertListRow(int i)
{
    if (!m_connectList.widget())
        return;
    m_connectList.InsertItem(i, m_rows.cellText(i, CConnectionRows::COL_NAME));
    mirrorRow(i);
}

void CTandrelDlg::mirrorRow(int i)
{
    if (!m_connectList.widget() || i < 0 || i >= m_connectList.GetItemCount())
        return;
    for (int c = 0; c < CConnectionRows::COLUMN_COUNT; ++c) {
        const std::string& text = m_rows.cellText(i, c);
        if (m_connectList.GetItemText(i, c) != text)
            m_connectList.SetItemText(i, c, text);
    }
}

const char* CTandrelDlg::getNodeName() { return m_nodeName.c_str(); }
const char* CTandrelDlg::getPartyName() { return m_party.c_str(); }
int CTandrelDlg::getLimitDay() { return m_limitDay; }
int CTandrelDlg::getWindow() { return m_startClosed; }
void CTandrelDlg::setWindow(int w) { m_startClosed = w; }
void CTandrelDlg::setListenPort(int port) { m_listenPort = port; }
int CTandrelDlg::getListenPort() { return m_listenPort; }
void CTandrelDlg::setNodeName(const char* name) { m_nodeName = name ? name : ""; }
void CTandrelDlg::setPartyName(const char* name) { m_party = name ? name : ""; }
void CTandrelDlg::setLimitDay(int days) { m_limitDay = days; }
