// The main window with a real TCP link to a scripted peer that plays the
// neighbour's side frame by frame.
#pragma once

#include "app_testkit.h"
#include "tcp/tcp_testkit.h"

namespace apptest {

class MainWindowLinks : public MainWindowTest {
protected:
    tcptest::ScriptedPeer peer;

    // Online with one row to the peer; the link up after the first tick.
    void startLinked()
    {
        ini.rows = {{"PEER", "TCP", "127.0.0.1/" + std::to_string(peer.listen()), ""}};
        start();
        tick(); // the connect pass
        ASSERT_TRUE(peer.accept());
        peer.sendHello("PEER", "PARTY");
        ASSERT_TRUE(uitest::waitUntil([&] { return dlg->anyConnected() == 1; }));
    }

    void tickToStateRefresh() { tick(3); }

    bool lockedButtonsDisabled(bool disabled)
    {
        for (int id : {IDC_SYSTEM_SETTINGS, IDC_CONNECT_ADD, IDC_CONNECT_CHANGE, IDC_CONNECT_DELETE}) {
            if (button(id)->IsWindowEnabled() == disabled)
                return false;
        }
        // The others stay usable.
        for (int id : {IDC_NODE_INFO, IDC_CATALOG_SYNC, IDC_EXTRACT_FILE, IDC_DELETE_REGISTRATION}) {
            if (!button(id)->IsWindowEnabled())
                return false;
        }
        return true;
    }
};

} // namespace apptest
