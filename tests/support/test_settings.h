// A settings object for tests: the scalar settings are plain members and the
// connection rows a CConnectionRows, as the main window keeps them. Names are
// stored as given (no cut), so tests can hand over over-long ones.
#pragma once

#include <string>

#include "app/connection_rows.h"
#include "store/settings.h"

namespace testsupport {

class TestSettings : public CPropatyTandrel {
public:
    // The folders are made under the current directory, as for the node.
    TestSettings() = default;

    std::string nodeName;
    std::string partyName;
    int limitDay = 3;
    int window = 0;
    int listenPort = 42000;
    bool online = true;
    Switches switches;
    CConnectionRows rows;

    const char* getRecComment(int i) override { return rows.getRecComment(i); }
    const char* getRecHostName(int i) override { return rows.getRecHostName(i); }
    const char* getRecHost(int i) override { return rows.getRecHost(i); }
    int getRecPort(int i) override { return rows.getRecPort(i); }
    const char* getRecSkypeId(int i) override { return rows.getRecSkypeId(i); }
    const char* getRecTransport(int i) override { return rows.getRecTransport(i); }
    int getConnectNum() override { return rows.getConnectNum(); }
    const char* getNodeName() override { return nodeName.c_str(); }
    const Switches& getSwitches() override { return switches; }
    const char* getRecName(int i) override { return rows.getRecName(i); }
    int isAcceptSkypeId(const char* id) override { return rows.isAcceptSkypeId(id, online); }
    const char* getPartyName() override { return partyName.c_str(); }
    int getLimitDay() override { return limitDay; }
    int getWindow() override { return window; }
    void setWindow(int w) override { window = w; }
    void setListenPort(int port) override { listenPort = port; }
    int getListenPort() override { return listenPort; }
    std::string& findRecName(std::string& out, int transport, const char* host) override
    {
        return rows.findRecName(out, transport, host);
    }
    void renameRecName(int transport, const char* host, const char* oldName, const char* newName) override
    {
        rows.renameRecName(transport, host, oldName, newName);
    }
    void setRecComment(int i, const char* text) override { rows.setRecComment(i, text); }
    void setRecHostName(int i, const char* text) override { rows.setRecHostName(i, text); }
    void setRecSkypeId(int i, const char* text) override { rows.setRecSkypeId(i, text); }
    void setRecTransport(int i, const char* text) override { rows.setRecTransport(i, text); }
    void setRecName(int i, const char* text) override { rows.setRecName(i, text); }
    void setNodeName(const char* name) override { nodeName = name ? name : ""; }
    void setPartyName(const char* name) override { partyName = name ? name : ""; }
    void setLimitDay(int days) override { limitDay = days; }

    // Adds a row at the end, as the connection dialog would.
    void addRow(const char* name, const char* trs, const char* target, const char* comment = "");
};

} // namespace testsupport
