// The program's start-up and its way out: the instance locks, the
// command-line switches, the console, then the main window for the whole
// life of the program. Also the version text that other windows show.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/multi_check.h"

class CTandrelDlg;

// The party name read at start-up (CP932); its lock is the party lock.
extern char g_szParty[261];
// The main window while it runs, else null.
extern CTandrelDlg* g_pMainDlg;

// What is wrong with the folder of the party locks, for the user (CP932).
std::string lockFolderMessage(const LockFolderProblem& problem);

// "Ver.:" and the product version, built once.
const char* getVersionString();

// Where nobody can see a message box (Qt's offscreen platform), message
// boxes that no handler answers become lines on standard error, answered as
// a closed box would be. True when that rule was installed now.
bool installConsolePrompts();

class CTandrelApp {
public:
    // lockFolder: where the party locks live ("" the user's own folder).
    explicit CTandrelApp(std::string lockFolder = {});

    // The whole run, on the GUI thread with the application object made.
    // args: the command line after the program's name. Returns the exit
    // status: EXIT_ENDED once the main window has ended, EXIT_DUPLICATE when
    // another instance holds the party or the working directory,
    // EXIT_LOCK_FOLDER when the folder of the party locks cannot be used.
    int InitInstance(const std::vector<std::string>& args);

    CMultiCheck& multiCheck() { return m_multiCheck; }

    static constexpr int EXIT_ENDED = 0;
    static constexpr int EXIT_DUPLICATE = 1;
    static constexpr int EXIT_LOCK_FOLDER = 2;
    static constexpr const char* kDuplicateStart = "    ２重起動です。処理を中止します    ";

private:
    // The phases of InitInstance, in its order. The two locks give the exit
    // status when the start is refused, after saying why.
    std::optional<int> takePartyLock();
    std::optional<int> takeWorkDirLock();
    void openConsole();
    // The main window, modal, for the rest of the run; then the notice
    // poster goes.
    void runMainWindow();

    // Shows why the node does not start (also on standard error).
    void refuseStart(const std::string& cp932Text);

    CMultiCheck m_multiCheck;
    CWorkDirLock m_workDirLock;
    bool m_consolePrompts = false;
};
