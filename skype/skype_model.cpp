#include "skype/skype_model.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>

#include "platform/cp932.h"
#include "skype/skype_text.h"
#include "store/helpers.h"

ZQ_SKYPEMODEL* ZQ_SKYPEMODEL::s_instance = nullptr;

namespace {

// Tokens of the contact texts are read into buffers of this size.
constexpr std::size_t TOKEN_SIZE = 1024;

std::string_view handleOf(const CONTACT& c)
{
    return cp932::fieldText(c.handle, sizeof c.handle);
}

} // namespace

ZQ_SKYPEMODEL* ZQ_SKYPEMODEL::getInstance()
{
    if (!s_instance)
        s_instance = new ZQ_SKYPEMODEL;
    return s_instance;
}

void ZQ_SKYPEMODEL::destroyInstance()
{
    delete s_instance;
    s_instance = nullptr;
}

ZQ_SKYPEMODEL::ZQ_SKYPEMODEL()
{
    init();
}

ZQ_SKYPEMODEL::~ZQ_SKYPEMODEL()
{
    if (ZQ_SKYPECOM* link = ZQ_SKYPECOM::existingInstance())
        link->forgetUser(this);
}

void ZQ_SKYPEMODEL::init()
{
    std::memset(m_ownHandle, 0, sizeof m_ownHandle);
    m_contacts.clear();
    ZQ_SKYPECOM::getInstance()->addUser(this);
}

void ZQ_SKYPEMODEL::addListener(MODELLISTENER* listener)
{
    m_listeners.push_back(listener);
}

const CONTACT* ZQ_SKYPEMODEL::getContact(int i) const
{
    if (i < 0 || i >= getContactCount())
        return nullptr;
    return &m_contacts[static_cast<std::size_t>(i)];
}

std::string ZQ_SKYPEMODEL::getCurrentUserHandle() const
{
    return std::string(cp932::fieldText(m_ownHandle, sizeof m_ownHandle));
}

void ZQ_SKYPEMODEL::notifyListeners()
{
    std::string names;
    for (const CONTACT& c : m_contacts) {
        if (!names.empty())
            names += ',';
        names += handleOf(c);
    }
    std::printf("ZQ_SKYPEMODEL contacts: %s\n", names.c_str());
    std::fflush(stdout);
    for (std::size_t i = 0; i < m_listeners.size(); ++i) {
        if (m_listeners[i])
            m_listeners[i]->onModelChanged();
    }
}

void ZQ_SKYPEMODEL::append(const char* handle)
{
    CONTACT c{};
    cp932::copyField(c.handle, sizeof c.handle, handle);
    c.status = 1;
    m_contacts.push_back(c);
}

CONTACT* ZQ_SKYPEMODEL::find(const char* handle)
{
    for (CONTACT& c : m_contacts) {
        if (handleOf(c) == handle)
            return &c;
    }
    return nullptr;
}

void ZQ_SKYPEMODEL::onStatus(int status)
{
    if (status == ZQ_SKYPECOM::STATUS_ATTACHED)
        ZQ_SKYPECOM::getInstance()->send("SEARCH FRIENDS");
}

void ZQ_SKYPEMODEL::onUsers(const char* text)
{
    m_contacts.clear();
    char token[TOKEN_SIZE];
    const char* p = text;
    for (;;) {
        p = getToken(p, token, sizeof token, ",");
        // Only a handle that can stand in a command becomes a contact; an
        // empty token (an empty list, ",,") is none.
        if (isUsableSkypeId(token))
            append(token);
        if (!p)
            break;
    }
    notifyListeners();
    // A rebuild during a send would change the list: its size is read anew
    // on every pass.
    char command[TOKEN_SIZE];
    for (std::size_t i = 0; i < m_contacts.size(); ++i) {
        const std::string handle(handleOf(m_contacts[i]));
        std::snprintf(command, sizeof command, "GET USER %s ONLINESTATUS", handle.c_str());
        ZQ_SKYPECOM::getInstance()->send(command);
    }
    ZQ_SKYPECOM::getInstance()->send("GET CURRENTUSERHANDLE");
}

void ZQ_SKYPEMODEL::onCurrentUserHandle(const char* text)
{
    char token[TOKEN_SIZE];
    getToken(text, token, sizeof token, "");
    // A handle that could not stand in a command is not taken.
    cp932::copyField(m_ownHandle, sizeof m_ownHandle, isUsableSkypeId(token) ? token : "");
}

void ZQ_SKYPEMODEL::onUser(const char* text)
{
    char handle[TOKEN_SIZE];
    char property[TOKEN_SIZE];
    char value[TOKEN_SIZE];
    const char* p = getToken(text, handle, sizeof handle, " ");
    if (!p)
        return;
    p = getToken(p, property, sizeof property, nullptr);
    if (!p)
        return;
    getToken(p, value, sizeof value, nullptr);
    if (!isUsableSkypeId(handle))
        return;

    if (std::strncmp(property, "ONLINESTATUS", 12) == 0) {
        const int status =
            std::strncmp(value, "OFFLINE", 7) == 0 || std::strncmp(value, "UNKNOWN", 7) == 0 ? 1 : 2;
        if (getCurrentUserHandle() == handle)
            return;
        if (CONTACT* c = find(handle))
            c->status = status;
    } else if (std::strncmp(property, "BUDDYSTATUS", 11) == 0 && value[0] == '3') {
        if (!isContact(handle))
            append(handle);
    }
}

void ZQ_SKYPEMODEL::setConnectable(int appIndex, const char* list)
{
    if (appIndex < 0 || appIndex >= SKYPE_APPLICATION_SLOTS)
        return;
    for (CONTACT& c : m_contacts)
        c.connectable[appIndex] = 0;
    if (!list)
        return;
    // The names first, then one pass over the contacts: a long list against
    // a long contact list must not cost their product.
    std::set<std::string, std::less<>> listed;
    char token[TOKEN_SIZE];
    const char* p = list;
    for (;;) {
        p = getToken(p, token, sizeof token, " ");
        listed.insert(token);
        if (!p)
            break;
    }
    for (CONTACT& c : m_contacts) {
        if (listed.find(handleOf(c)) != listed.end())
            c.connectable[appIndex] = 1;
    }
}

int ZQ_SKYPEMODEL::isConnectable(int appIndex, const char* skypeId) const
{
    if (appIndex < 0 || appIndex >= SKYPE_APPLICATION_SLOTS || !skypeId)
        return 0;
    for (const CONTACT& c : m_contacts) {
        if (handleOf(c) == skypeId && c.connectable[appIndex] == 1)
            return 1;
    }
    return 0;
}

int ZQ_SKYPEMODEL::isContact(const char* handle) const
{
    if (!handle)
        return 0;
    for (const CONTACT& c : m_contacts) {
        if (handleOf(c) == handle)
            return 1;
    }
    return 0;
}

void ZQ_SKYPEMODEL::reset()
{
    std::memset(m_ownHandle, 0, sizeof m_ownHandle);
    m_contacts.clear();
    notifyListeners();
}
