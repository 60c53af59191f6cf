// The node's view of the messaging client's contacts: their Skype names
// (handles), whether each is online, and per application slot whether the
// client reports the contact as connectable for that application; and the
// client user's own handle. It learns everything from the client's texts and
// tells its listeners when the list was rebuilt or emptied.
#pragma once

#include <string>
#include <vector>

#include "protocol/transfer_listeners.h"
#include "skype/skype_com.h"

constexpr int SKYPE_APPLICATION_SLOTS = 5;

// One contact. The handle field holds at most 32 bytes and has no
// terminating zero when full: read it with at most 32 bytes.
struct CONTACT {
    char handle[32];
    int status;                                // 1 offline or not yet reported, 2 online
    int connectable[SKYPE_APPLICATION_SLOTS];  // 1 while the client lists the contact for that slot
};

class ZQ_SKYPEMODEL final : public ZQ_SKYPECOMUSER {
public:
    static ZQ_SKYPEMODEL* getInstance();
    static void destroyInstance();

    void addListener(MODELLISTENER* listener);

    int getContactCount() const { return static_cast<int>(m_contacts.size()); }
    // The i-th contact, valid until the list next changes; null outside it.
    const CONTACT* getContact(int i) const;
    // The own handle, "" until the client has told it.
    std::string getCurrentUserHandle() const;

    int isConnectable(int appIndex, const char* skypeId) const;
    int isContact(const char* handle) const;
    // The client's connectable list for that application slot.
    void setConnectable(int appIndex, const char* list);
    // The link is lost: no contacts, no own handle.
    void reset();

    void onStatus(int status) override;
    void onCurrentUserHandle(const char* text) override;
    void onUsers(const char* text) override;
    void onUser(const char* text) override;

private:
    ZQ_SKYPEMODEL();
    ~ZQ_SKYPEMODEL();
    ZQ_SKYPEMODEL(const ZQ_SKYPEMODEL&) = delete;
    ZQ_SKYPEMODEL& operator=(const ZQ_SKYPEMODEL&) = delete;

    void init();
    void append(const char* handle);
    CONTACT* find(const char* handle);
    void notifyListeners();

    char m_ownHandle[32];
    std::vector<CONTACT> m_contacts;
    std::vector<MODELLISTENER*> m_listeners;

    static ZQ_SKYPEMODEL* s_instance;
};
