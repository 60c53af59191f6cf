// Shared set-up for the main window's tests: a node in a temporary working
// directory with its Yuvo.ini (and catalog.dat when a test wants one), the
// main window made modelessly on Qt's offscreen platform, and small socket
// helpers.
#pragma once

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "app/tandrel_dlg.h"
#include "platform/ui/text.h"
#include "platform_ui/ui_testkit.h"
#include "protocol/post_error.h"
#include "store/catalog_testkit.h"
#include "support/tempdir.h"

namespace apptest {

using ui::cp;

// A loopback port that was free a moment ago.
inline int freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(s);
    return ntohs(sa.sin_port);
}

// Whether something accepts TCP connections on the loopback port.
inline bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// One connection row as Yuvo.ini keeps it (texts in UTF-8 here).
struct IniRow {
    std::string name;
    std::string trs;
    std::string target; // host[/port] for TCP, the ID for SKYPE
    std::string comment;
};

// Yuvo.ini's content; texts are written as CP932, like the program writes.
struct Ini {
    std::string party = "PARTY";
    std::string name = "NODE_A";
    int limitDay = 3;
    int window = 0;
    int listenPort = 0; // 0: a free port is chosen
    std::vector<IniRow> rows;

    std::string text() const
    {
        std::string s = "[SYSTEM]\r\n";
        s += "PARTY=" + cp(party) + "\r\n";
        s += "NAME=" + cp(name) + "\r\n";
        s += "LIMITDAY=" + std::to_string(limitDay) + "\r\n";
        s += "WINDOW=" + std::to_string(window) + "\r\n";
        s += "LISTENPORT=" + std::to_string(listenPort) + "\r\n";
        s += "CONNECTNUM=" + std::to_string(rows.size()) + "\r\n";
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const IniRow& r = rows[i];
            s += "[REC" + std::to_string(i + 1) + "]\r\n";
            s += "NAME=" + cp(r.name) + "\r\n";
            s += "TRS=" + r.trs + "\r\n";
            s += (r.trs == "SKYPE" ? "SKYPEID=" : "HOSTNAME=") + cp(r.target) + "\r\n";
            s += "COMMENT=" + cp(r.comment) + "\r\n";
        }
        return s;
    }
};

// The main window of a node in a fresh working directory. start() writes
// Yuvo.ini and makes the window; its 500 ms tick is stopped so that a test
// drives the tick itself (tick()).
class MainWindowTest : public uitest::UiTest {
protected:
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    Ini ini;
    std::unique_ptr<CTandrelDlg> dlg;

    void SetUp() override
    {
        uitest::UiTest::SetUp();
        cd = std::make_unique<testsupport::ScopedChdir>(dir.path());
        ini.listenPort = freePort();
    }

    void TearDown() override
    {
        dlg.reset();
        CPostError::destroyInstance();
        uitest::UiTest::TearDown();
    }

    void writeIni() { testsupport::writeFile(dir.file("Yuvo.ini"), ini.text()); }

    void writeCatalog(const std::vector<CatalogRecord>& recs)
    {
        platform::makeSureDirectoryPathExists(dir.file("CATALOG") + "/");
        catalogtest::writeRecords(dir.file("CATALOG/catalog.dat"), recs);
    }

    void start(bool stopTick = true)
    {
        writeIni();
        dlg = std::make_unique<CTandrelDlg>();
        ASSERT_TRUE(dlg->Create());
        if (stopTick)
            dlg->KillTimer(TIMER_TICK);
        // The node window publishes the own node record into SEND at once;
        // left out, so that the SEND scan registers only a test's files.
        dlg->nodeInfoDlg().KillTimer(CNodeInfoDlg::TIMER_NODE_TICK);
        platform::deleteFile(dir.file("SEND/nodeInfomation.nod"));
    }

    // A tick, and the slices of bulk work it leaves (a refresh of the file
    // list, a SEND check) until they are done.
    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i) {
            dlg->SendMessage(WM_TIMER, TIMER_TICK, 0);
            while (dlg->bulkWorkPending()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                dlg->SendMessage(WM_TIMER, TIMER_BULK, 0);
            }
        }
    }

    CButton* button(int id) { return dynamic_cast<CButton*>(dlg->GetDlgItem(id)); }
    std::string cell(CListCtrlEx& list, int row, int col) { return list.GetItemText(row, col); }
};

} // namespace apptest
