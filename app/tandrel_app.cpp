#include "app/tandrel_app.h"

#include <cstring>
#include <optional>
#include <string>

#include <QGuiApplication>

#include "app/switches.h"
#include "app/tandrel_dlg.h"
#include "platform/cp932.h"
#include "platform/qt/session_events.h"
#include "platform/ui/prompts.h"
#include "platform/ui/text.h"
#include "protocol/post_error.h"
#include "store/settings.h"

char g_szParty[261] = {};
CTandrelDlg* g_pMainDlg = nullptr;

namespace {

std::string utf8Of(const std::string& cp932Text)
{
    auto u = cp932::toUtf8(cp932Text);
    return u ? *u : cp932Text;
}

// An errno's text, as the system gives it.
std::string errorText(int error)
{
    return std::strerror(error);
}

} // namespace

std::string lockFolderMessage(const LockFolderProblem& p)
{
    char number[32];
    std::string why;
    switch (p.kind) {
    case LockFolderProblem::none:
        return {};
    case LockFolderProblem::cannotMake:
        why = "フォルダを作成できません（" + errorText(p.error) + "）。";
        break;
    case LockFolderProblem::notAFolder:
        why = "フォルダではありません（ファイルかシンボリックリンクです）。";
        break;
    case LockFolderProblem::otherOwner:
        std::snprintf(number, sizeof number, "%u", p.owner);
        why = std::string("所有者が別のユーザー（uid ") + number + "）です。";
        break;
    case LockFolderProblem::openToOthers:
        std::snprintf(number, sizeof number, "%04o", p.mode);
        why = std::string("他のユーザーにもアクセス権があります（モード ") + number + "、0700 にしてください）。";
        break;
    case LockFolderProblem::cannotOpenFile:
        return ui::cp("ロックファイル " + p.path + " を開けません（" + errorText(p.error) + "）。");
    }
    return ui::cp("ロック用フォルダ " + p.path + " を使用できません。" + why);
}

const char* getVersionString()
{
    static char s_buffer[256];
    static int s_built = 0;
    if (s_built)
        return s_buffer;
    std::memset(s_buffer, 0, sizeof s_buffer);
    std::snprintf(s_buffer, sizeof s_buffer, "Ver.:%s", YUVO_PRODUCT_VERSION);
    s_built = 1;
    return s_buffer;
}

bool installConsolePrompts()
{
    if (QGuiApplication::platformName() != QStringLiteral("offscreen"))
        return false;
    // A handler in place (a test's) keeps answering.
    ui::MessageBoxHandler current = ui::setMessageBoxHandler(nullptr);
    if (current) {
        ui::setMessageBoxHandler(std::move(current));
        return false;
    }
    ui::setMessageBoxHandler([](const ui::MessageBoxRequest& r) {
        std::fprintf(stderr, "%s\n", r.utf8Text().c_str());
        std::fflush(stderr);
        return ui::closedAnswer(r.type);
    });
    return true;
}

CTandrelApp::CTandrelApp(std::string lockFolder) : m_multiCheck(std::move(lockFolder)) {}

void CTandrelApp::refuseStart(const std::string& text)
{
    // Scripts and tests see it on standard error; the box may be unseen.
    if (!m_consolePrompts) {
        std::fprintf(stderr, "%s\n", utf8Of(text).c_str());
        std::fflush(stderr);
    }
    AfxMessageBox(text, MB_OK);
}

int CTandrelApp::InitInstance(const std::vector<std::string>& args)
{
    // Sockets need no start on this platform; sending never raises SIGPIPE.
    m_consolePrompts = installConsolePrompts();
    if (const std::optional<int> refused = takePartyLock())
        return *refused;
    if (const std::optional<int> refused = takeWorkDirLock())
        return *refused;
    parseSwitches(args);
    openConsole();
    // A crash in the middle of a whole-file write leaves its temporary
    // behind; with the working directory locked no other node writes there,
    // and this one has written nothing yet.
    if (m_workDirLock.isLocked())
        CPropatyTandrel::removeLeftovers();
    runMainWindow();
    if (m_consolePrompts)
        ui::setMessageBoxHandler(nullptr);
    return EXIT_ENDED;
}

std::optional<int> CTandrelApp::takePartyLock()
{
    std::string party;
    CPropatyTandrel::readPartyName(party);
    cp932::copyText(g_szParty, sizeof g_szParty, party);

    if (m_multiCheck.check(g_szParty))
        return std::nullopt;
    // A folder that cannot hold the locks is no second start: the user has
    // to mend the folder, not look for another node.
    if (m_multiCheck.folderProblem().kind != LockFolderProblem::none) {
        refuseStart(lockFolderMessage(m_multiCheck.folderProblem()) + ui::cp("処理を中止します"));
        return EXIT_LOCK_FOLDER;
    }
    refuseStart(ui::cp(kDuplicateStart));
    return EXIT_DUPLICATE;
}

std::optional<int> CTandrelApp::takeWorkDirLock()
{
    // Two instances in one folder would share catalog.dat, SEND and RECV,
    // whatever their parties.
    switch (m_workDirLock.lock(std::string())) {
    case CWorkDirLock::locked:
        break;
    case CWorkDirLock::busy:
        refuseStart(ui::cp(kDuplicateStart));
        return EXIT_DUPLICATE;
    case CWorkDirLock::failed:
        std::fprintf(stderr, "Yuvo: the working directory cannot be locked (Yuvo.lock); going on without the lock\n");
        break;
    }
    return std::nullopt;
}

void CTandrelApp::openConsole()
{
    // With -D386 standard output stays open (line by line, so a log file
    // follows the run); otherwise every console line is dropped.
    if (g_bDebugMode) {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    } else {
        if (!std::freopen("/dev/null", "w", stdout))
            std::fprintf(stderr, "Yuvo: standard output cannot be put on the null device\n");
        if (!std::freopen("/dev/null", "r", stdin))
            std::fprintf(stderr, "Yuvo: standard input cannot be put on the null device\n");
    }
    printSwitchLines(stdout);
}

void CTandrelApp::runMainWindow()
{
    // The end of the session and the machine's sleep reach the window as the
    // messages the window answers. Heard from before the window is made: a
    // signal is only read in an event loop, and the first one runs with the
    // window in place (a box of its initialisation, or its own loop).
    CSessionEndSignals endSignals([] {
        CTandrelDlg* w = g_pMainDlg;
        if (w && IsWindow(w->GetSafeHwnd()))
            w->endSession();
    });
    CSleepSignal sleepSignal([](bool suspending) {
        CTandrelDlg* w = g_pMainDlg;
        if (w && IsWindow(w->GetSafeHwnd()))
            w->SendMessage(WM_POWERBROADCAST, suspending ? PBT_APMSUSPEND : PBT_APMRESUMESUSPEND, 0);
    });
    CTandrelDlg dlg;
    g_pMainDlg = &dlg;
    dlg.m_pMultiCheck = &m_multiCheck;
    dlg.DoModal();
    g_pMainDlg = nullptr;
    std::fflush(stdout);
    CPostError::destroyInstance();
}
