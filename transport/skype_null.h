// The messaging-client side of the transport facade, as the facade calls
// it: the link status, the contact list, the own ID and the app-to-app
// streams of application 0. This base does nothing: status 0 (not
// attached), no contacts, no own ID, and no "SKYPE" row is ever reachable or
// connected. The messaging-client link (CSkypeLink) derives from it.
#pragma once

#include <string>

#include "platform/wintypes.h"
#include "skype/skype_model.h"

class CTransfer;

class CSkypeSide {
public:
    virtual ~CSkypeSide();

    // Starts the link for the main window, with the application name
    // ("YUVO000" followed by the party); the facade hears of the link's
    // status, the contact list and the streams.
    virtual void initialize(HWND window, const std::string& applicationName, CTransfer* facade);
    // The party changed: the application is made again under the new name.
    virtual void changeApplication(const std::string& applicationName);
    // Ends the link (at shutdown).
    virtual void release();

    virtual int getStatus();
    virtual int getContactCount();
    // The i-th contact, valid until the list next changes; null when none.
    virtual const CONTACT* getContact(int i);
    virtual std::string getSkypeId();

    // The app-to-app streams of application 0, by the row's Skype ID.
    virtual int isConnectable(const char* skypeId);
    virtual int isConnected(const char* skypeId);
    virtual void connect(const char* skypeId);
    virtual void disconnect(const char* skypeId);
    virtual void requestSync(const char* skypeId, int mode, SYSTEMTIME since);

    // The link to the client is gone: every stream is dropped and the
    // contact list emptied.
    virtual void linkLost();

    // The side used while no messaging-client link is set.
    static CSkypeSide* nullSide();
};
