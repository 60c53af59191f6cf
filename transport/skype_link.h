// The messaging-client side of the transport facade over the real link: the
// API link, the contact model and the app-to-app model (application 0,
// "YUVO000" and the party). It makes them at initialisation, subscribes the
// facade first (so the window hears of a new status before the contact list
// and the applications are asked for), and releases them at shutdown in the
// fixed order: app-to-app model, contact model, link.
//
// A Skype ID that could not stand in a command (see isUsableSkypeId) is
// never reachable, connected or sent.
#pragma once

#include "transport/skype_null.h"

class ZQ_SKYPECOM;
class ZQ_SKYPEMODEL;
class ZQ_A2AMODEL;

class CSkypeLink : public CSkypeSide {
public:
    CSkypeLink() = default;
    ~CSkypeLink() override;

    void initialize(HWND window, const std::string& applicationName, CTransfer* facade) override;
    void changeApplication(const std::string& applicationName) override;
    void release() override;

    int getStatus() override;
    int getContactCount() override;
    const CONTACT* getContact(int i) override;
    std::string getSkypeId() override;

    int isConnectable(const char* skypeId) override;
    int isConnected(const char* skypeId) override;
    void connect(const char* skypeId) override;
    void disconnect(const char* skypeId) override;
    void requestSync(const char* skypeId, int mode, SYSTEMTIME since) override;
    void linkLost() override;

private:
    ZQ_SKYPECOM* m_pSkypeCom = nullptr;
    ZQ_SKYPEMODEL* m_pSkypeModel = nullptr;
    ZQ_A2AMODEL* m_pA2AModel = nullptr;
};
