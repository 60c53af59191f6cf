// The node's one top-level window. It is at once the settings object (the
// scalar settings as members, the connection records as the rows of its
// connection list), the listener of the transport facade and the owner of
// everything that lives as long as the node runs. Its 500 ms timer is the
// node's main loop: it connects and disconnects links, refreshes the link
// states, applies queued catalog changes to the file list, scans SEND and
// expires catalog entries. Closing the window only hides it; the program
// ends from the tray menu or when the session ends.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/catalog_list.h"
#include "app/connection_rows.h"
#include "app/connect_list.h"
#include "app/msg_label.h"
#include "nodes/node_info_dlg.h"
#include "platform/ui/dialog.h"
#include "platform/ui/multi_check.h"
#include "platform/ui/tray_icon.h"
#include "protocol/transfer_listeners.h"
#include "store/folder_watch.h"
#include "store/settings.h"
#include "transport/transfer.h"

class QAction;

// Window messages the main window answers beyond the layer's own.
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TRAYNOTIFY = WM_USER + 100;
// Posted when the window has something to say in a box: at the end of the
// initialisation when the start found something (settings it could not use
// as written, a catalog file refused), and for a link's warning.
constexpr UINT WM_SHOW_NOTICES = WM_USER + 101;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr WPARAM PBT_APMSUSPEND = 4;
constexpr WPARAM PBT_APMRESUMESUSPEND = 7;
constexpr LPARAM ENDSESSION_LOGOFF = LPARAM(0x80000000u);
// The About item's command.
constexpr WPARAM IDM_ABOUTBOX = 0x10;

// Control ids of the main window.
enum : int {
    IDC_CONNECT_LIST = 1002,
    IDC_CATALOG_LIST = 1004,
    IDC_CONNECT_DELETE = 1005,
    IDC_CONNECT_ADD = 1007,
    IDC_CONNECT_CHANGE = 1008,
    IDC_CATALOG_SYNC = 1009,
    IDC_NODE_NAME = 1025,
    IDC_SYSTEM_SETTINGS = 1026,
    IDC_SKYPE_STATE = 1028,
    IDC_ONLINE = 1030,
    IDC_OFFLINE = 1031,
    IDC_PARTY_NAME = 1034,
    IDC_EXTRACT_FILE = 1042,
    IDC_DROP_HINT = 1043,
    IDC_DELETE_REGISTRATION = 1057,
    IDC_NODE_INFO = 1063,
    IDC_STATUS = 1071,
    ID_TRAY_OPEN = 32771,
    ID_TRAY_EXIT = 32772,
};

// The main window's timers.
enum : UINT_PTR {
    TIMER_TICK = 101,    // the node's tick, 500 ms
    TIMER_TRAY = 102,    // tray icon refresh, 5 s
    TIMER_COMPACT = 107, // catalog compaction, 5 s after the previous one
    TIMER_BULK = 108,    // the tick's bulk work, continued in short slices
};

class CTandrelDlg : public CDialog, public CPropatyTandrel, public CTransferListener {
public:
    explicit CTandrelDlg(CWnd* pParent = nullptr);
    ~CTandrelDlg() override;

    // The one-instance-per-party lock, set by the start-up before the
    // window runs.
    CMultiCheck* m_pMultiCheck = nullptr;

    // --- Settings interface. ---
    const char* getRecComment(int i) override;
    const char* getRecHostName(int i) override;
    const char* getRecHost(int i) override;
    int getRecPort(int i) override;
    const char* getRecSkypeId(int i) override;
    const char* getRecTransport(int i) override;
    int getConnectNum() override;
    const char* getNodeName() override;
    const char* getRecName(int i) override;
    int isAcceptSkypeId(const char* skypeId) override;
    const char* getPartyName() override;
    int getLimitDay() override;
    int getWindow() override;
    void setWindow(int w) override;
    void setListenPort(int port) override;
    int getListenPort() override;
    std::string& findRecName(std::string& out, int transport, const char* host) override;
    void renameRecName(int transport, const char* host, const char* oldName, const char* newName) override;
    void setRecComment(int i, const char* text) override;
    void setRecHostName(int i, const char* text) override;
    void setRecSkypeId(int i, const char* text) override;
    void setRecTransport(int i, const char* text) override;
    void setRecName(int i, const char* text) override;
    void setNodeName(const char* name) override;
    void setPartyName(const char* name) override;
    void setLimitDay(int days) override;
    // The command line's switches, as start-up set them before the window.
    const Switches& getSwitches() override { return m_switches; }

    // --- Transport listener. ---
    void onCatalogAdd(const CatalogRecord* rec) override;
    void onCatalogUpdate(int row, const CatalogRecord* rec) override;
    void onCatalogClear() override;
    void onSkypeStateChanged() override;
    void onConnectedChanged(int anyConnected) override;

    // The end of the session (SIGTERM, SIGHUP, SIGINT): every dialog and
    // message box open above this window ends as if cancelled, then the
    // session's end is queried and the window ends, which ends the program.
    void endSession();

    // The title "Yuvo [party]".
    void updateTitle();
    // Shows the window, or hides it to the tray (minimises it where the
    // desktop has no tray, so that it stays reachable).
    void showMainWindow(BOOL show);
    // The tray icon's picture, tooltip (the title) and menu.
    void setupTrayIcon();
    void addTrayIcon();

    // The file list: the queue of changes and its application. A refresh
    // takes the changes queued so far and applies them in slices of the
    // bulk work (continueDrain, true while some are left); drainViewEvents
    // applies them all at once.
    void drainViewEvents();
    void startDrain();
    bool continueDrain(std::chrono::steady_clock::time_point deadline);
    void clearCatalogList();
    void appendCatalogRow(const CatalogRecord* rec);
    void updateCatalogRow(int row, const CatalogRecord* rec);

    // --- What the window holds, for the other windows and for tests. ---
    CTransfer& transfer() { return m_transfer; }
    CMsg& statusLabel() { return m_msg; }
    CCatalogMFCListCtl& catalogList() { return m_catalogList; }
    CConnectMFCListCtl& connectList() { return m_connectList; }
    CTrayIcon& trayIcon() { return m_tray; }
    CNodeInfoDlg& nodeInfoDlg() { return m_nodeInfoDlg; }
    CFolderWatch* folderWatch() { return m_pFolderWatch.get(); }
    const CViewEventQueue& viewEvents() const { return m_viewEvents; }
    int catalogRows() const { return m_catalogRows; }
    int offline() const { return m_offline; }
    int visibleMeant() const { return m_visible; }
    int anyConnected() const { return m_anyConnected; }
    int suspended() const { return m_suspended; }
    // Whether the tick left bulk work for the slices between ticks (a refresh
    // of the file list, or a SEND check, under way).
    bool bulkWorkPending() const;
    const std::string& skypeStateText() const { return m_skypeState; }
    // The context menu's About item and the exit offered there while the
    // desktop has no tray.
    QAction* aboutAction() const { return m_aboutAction; }
    QAction* exitAction() const { return m_exitAction; }

protected:
    void BuildDialog() override;
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnTimer(UINT_PTR nIDEvent) override;
    // Enter, Escape, the close box and "ウィンドウを閉じる": hide.
    void OnOK() override;
    void OnDestroy() override;
    void PostNcDestroy() override;

private:
    // The start of the node, phase by phase (OnInitDialog runs them in
    // this order): the window's own menu, the notices and the label, the
    // two lists, the settings and the online choice they give, the
    // transports, catalog and SEND scanner with the online switch applied,
    // the tray icon with the window and the hidden node window, the timers.
    void addWindowMenu();
    void connectNotices();
    void setupLists();
    void loadSettings();
    void startNode();
    void showInTray();
    void startTimers();

    void OnBnClickedOnline();
    // System settings, About box and the connection list's add, change and
    // delete (tandrel_dlg_settings.cpp).
    void OnBnClickedSystemSettings();
    void OnBnClickedConnectAdd();
    void OnBnClickedConnectChange();
    void OnBnClickedConnectDelete();
    void showAboutBox();
    // Writes the settings file; a failure is told to the user.
    void saveSettings();
    // --- File list and synchronisation commands (tandrel_dlg_files.cpp, sync_dlg.cpp). ---
    void mapFileCommands();
    void OnBnClickedExtractFile();
    void OnNMDblclkCatalogList();
    void OnBnClickedDeleteRegistration();
    void OnBnClickedCatalogSync();
    // Whether the file list's row still shows that catalog record.
    bool rowShowsRecord(int row, const CatalogRecord& rec);
    // ---
    // The node window: shown by its button, destroyed first at shutdown.
    void OnBnClickedNodeInfo();
    void OnTrayOpen();
    void OnTrayExit();
    // The messages WindowProc answers itself.
    LRESULT onQueryEndSession();
    void onEndSession(WPARAM ending, LPARAM how);
    void onPowerBroadcast(WPARAM event);
    // True when the tray's mouse message was taken.
    bool onTrayNotify(LPARAM mouse);
    void onNotice(UINT wParam, LPARAM lParam);
    // One box with what the start found wrong; also on the console.
    // Says the texts in one box (on standard error without a screen) and on
    // the console.
    void showNotices();
    // Queues a text for the next box.
    void sayInBox(std::string text);
    // The catalog's notices (a full disk) in the status label and on
    // standard error.
    void showCatalogNotices();
    void shutdown();
    // The tick's steps.
    // One slice of the bulk work: the file list's refresh, the application
    // of a SEND check and the reading ahead of the queue indexes, a few
    // milliseconds at most, so that the links' own timers and sockets are
    // never held up for long. While work is left, the slices go on every
    // few milliseconds between ticks.
    void bulkSlice();
    void connectPass();
    void disconnectPass();
    void refreshConnectStates();
    // The buttons whose dialogs are not part of this window yet stay
    // disabled; the connection lock disables the lockable ones.
    void applyButtonStates();
    void mirrorRow(int i);
    void insertListRow(int i);

    Switches m_switches;
    CTransfer m_transfer;
    int m_visible = 0;
    CMsg m_msg;
    CCatalogMFCListCtl m_catalogList;
    CConnectMFCListCtl m_connectList;
    CNodeInfoDlg m_nodeInfoDlg;
    std::string m_nodeName;
    std::string m_skypeState;
    int m_offline = -1;
    std::string m_party;
    int m_limitDay = setting::LIMITDAY.defaultValue;
    std::unique_ptr<CFolderWatch> m_pFolderWatch;
    int m_catalogRows = 0;
    int m_anyConnected = 0;
    int m_startClosed = 0;
    int m_listenPort = setting::LISTENPORT.defaultValue;
    int m_savedOffline = 0;
    CTrayIcon m_tray;
    CViewEventQueue m_viewEvents;
    // Events of the queue that the refresh under way still has to apply
    // (those queued before it started).
    std::size_t m_drainLeft = 0;
    // Rows were appended since the list last scrolled to its end.
    bool m_rowsAppended = false;
    int m_suspended = 0;
    CConnectionRows m_rows;
    // The tick's countdown counters (four run on the first tick; expiry
    // first on tick 601).
    int m_connectCounter = 0;
    int m_disconnectCounter = 0;
    int m_stateCounter = 0;
    int m_folderCounter = 0;
    int m_limitCounter = 600;
    // Timer 101 was stopped by a query of the session's end.
    bool m_endQueried = false;
    // The text of the notice being delivered (each notice carries its own).
    std::string m_noticeText;
    bool m_noticeTextSet = false;
    QAction* m_aboutAction = nullptr;
    QAction* m_exitAction = nullptr;
    std::vector<std::string> m_boxNotices;
    bool m_boxPosted = false;
};
