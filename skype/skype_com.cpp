#include "skype/skype_com.h"

#include <cstdio>
#include <cstring>

#include "store/settings.h"

ZQ_SKYPECOM* ZQ_SKYPECOM::s_instance = nullptr;

namespace {

std::unique_ptr<platform::CSkypeApi>& nextApi()
{
    static std::unique_ptr<platform::CSkypeApi> api;
    return api;
}

// Whether text (length bytes, up to its terminating zero) begins with word.
bool beginsWith(const char* text, std::size_t length, const char* word)
{
    const std::size_t n = std::strlen(word);
    return length >= n && std::memcmp(text, word, n) == 0;
}

} // namespace

ZQ_SKYPECOM* ZQ_SKYPECOM::getInstance()
{
    if (!s_instance)
        s_instance = new ZQ_SKYPECOM;
    return s_instance;
}

void ZQ_SKYPECOM::destroyInstance()
{
    delete s_instance;
    s_instance = nullptr;
}

void ZQ_SKYPECOM::useApi(std::unique_ptr<platform::CSkypeApi> api)
{
    nextApi() = std::move(api);
}

ZQ_SKYPECOM::ZQ_SKYPECOM() : m_api(std::move(nextApi())) {}

// No command goes out on the way out; the carrier leaves the bus.
ZQ_SKYPECOM::~ZQ_SKYPECOM()
{
    m_discoverTimer.stop();
    m_nameWaitTimer.stop();
    m_api.reset();
}

void ZQ_SKYPECOM::addUser(ZQ_SKYPECOMUSER* user)
{
    m_users.push_back(user);
}

void ZQ_SKYPECOM::forgetUser(ZQ_SKYPECOMUSER* user)
{
    for (ZQ_SKYPECOMUSER*& u : m_users) {
        if (u == user)
            u = nullptr;
    }
}

void ZQ_SKYPECOM::createWindow(HWND parent)
{
    m_parentWnd = parent;
    if (!m_api)
        m_api = platform::makeSessionBusSkypeApi();
    m_apiOpen = m_api->open(this);
    if (!m_apiOpen) {
        std::printf("ZQ_SKYPECOM: no session bus (DBUS_SESSION_BUS_ADDRESS); links over the messaging client are "
                    "off\n");
        std::fflush(stdout);
    }
    m_discoverTimer.start(DISCOVER_MS, [this] { onTimer(); });
    discover();
}

void ZQ_SKYPECOM::onTimer()
{
    discover();
}

void ZQ_SKYPECOM::discover()
{
    if (!CPropatyTandrel::switches().useSkype || !m_skypeWnd.empty() || !m_apiOpen || m_apiOwner.empty() || m_nameUnderWay)
        return;
    const unsigned epoch = m_ownerEpoch;
    const bool sent = m_api->invoke(platform::CSkypeApi::SERVICE, "NAME Yuvo", NAME_TIMEOUT_MS,
                                    [this, epoch](const platform::SkypeApiAnswer& a) { onNameAnswer(epoch, a); });
    if (!sent)
        return;
    m_nameUnderWay = true;
    m_nameWaitTimer.start(NAME_WAIT_MS, [this] { onNameWaitOver(); });
}

void ZQ_SKYPECOM::onNameWaitOver()
{
    m_nameWaitTimer.stop();
    if (m_nameUnderWay)
        onAttach(ATTACH_PENDING_AUTHORIZATION, std::string());
}

void ZQ_SKYPECOM::onNameAnswer(unsigned ownerEpoch, const platform::SkypeApiAnswer& answer)
{
    // Asked of an owner that has left since: a new owner is asked anew.
    if (ownerEpoch != m_ownerEpoch || !m_nameUnderWay)
        return;
    m_nameUnderWay = false;
    m_nameWaitTimer.stop();
    if (answer.ok && !answer.dropped && answer.text == "OK" && !answer.sender.empty())
        onAttach(ATTACH_SUCCESS, answer.sender);
    else if (answer.ok && !answer.dropped && answer.text == "ERROR 68")
        onAttach(ATTACH_REFUSED, std::string());
    else
        onAttach(ATTACH_NOT_AVAILABLE, std::string());
}

int ZQ_SKYPECOM::onAttach(int lParam, const std::string& client)
{
    switch (lParam) {
    case ATTACH_SUCCESS:
        m_status = STATUS_ATTACHED;
        m_skypeWnd = client;
        break;
    case ATTACH_PENDING_AUTHORIZATION:
        if (m_status != STATUS_ATTACHED)
            m_status = STATUS_PENDING;
        break;
    case ATTACH_REFUSED:
        m_status = STATUS_REFUSED;
        break;
    case ATTACH_NOT_AVAILABLE:
        m_status = STATUS_UNAVAILABLE;
        break;
    case ATTACH_API_AVAILABLE:
        m_status = STATUS_API_AVAILABLE;
        break;
    default:
        break;
    }
    // Only status 1 is attached: otherwise no client is recorded, nothing is
    // sent and discovery goes on.
    if (m_status != STATUS_ATTACHED)
        m_skypeWnd.clear();
    announce(m_status);
    return 1;
}

void ZQ_SKYPECOM::announce(int status)
{
    std::printf("ZQ_SKYPECOM status=%d\n", status);
    std::fflush(stdout);
    for (std::size_t i = 0; i < m_users.size(); ++i) {
        if (m_users[i])
            m_users[i]->onStatus(status);
    }
}

void ZQ_SKYPECOM::linkLost()
{
    m_skypeWnd.clear();
    m_status = STATUS_NONE;
    announce(STATUS_NONE);
}

void ZQ_SKYPECOM::onApiOwnerChanged(const std::string& oldOwner, const std::string& newOwner)
{
    m_apiOwner = newOwner;
    ++m_ownerEpoch;
    m_nameUnderWay = false;
    m_nameWaitTimer.stop();
    if (!oldOwner.empty())
        linkLost();
    if (!newOwner.empty()) {
        onAttach(ATTACH_API_AVAILABLE, std::string());
        discover();
    }
}

int ZQ_SKYPECOM::send(const char* command, std::function<void()> answered)
{
    if (m_skypeWnd.empty()) {
        linkLost();
        return 0;
    }
    const std::string client = m_skypeWnd;
    const bool sent = m_api->invoke(client, command ? command : "", COMMAND_TIMEOUT_MS,
                                    [this, client, answered = std::move(answered)](const platform::SkypeApiAnswer& a) {
                                        if (!a.ok) {
                                            // The client did not take it: the
                                            // link is lost, unless it was
                                            // already.
                                            if (m_skypeWnd == client)
                                                linkLost();
                                        } else if (!a.dropped) {
                                            onCopyData(a.sender, a.text.c_str(), static_cast<int>(a.text.size()));
                                        }
                                        if (answered)
                                            answered();
                                    });
    if (!sent) {
        std::printf("●●ERROR　ZQ_SKYPECOM::send() a command that cannot go on the bus is dropped\n");
        return 0;
    }
    return 1;
}

bool ZQ_SKYPECOM::onApiNotify(const std::string& sender, const std::string& text)
{
    return onCopyData(sender, text.c_str(), static_cast<int>(text.size())) != 0;
}

int ZQ_SKYPECOM::onCopyData(const std::string& sender, const char* text, int length)
{
    if (m_skypeWnd.empty() || sender != m_skypeWnd)
        return 0;
    if (length > 0)
        dispatch(text, length);
    return 1;
}

void ZQ_SKYPECOM::dispatch(const char* text, int length)
{
    if (!text || length < 1)
        return;
    const std::size_t n = strnlen(text, static_cast<std::size_t>(length));
    // The argument of rows 6 to 9: after the keyword and its separator.
    auto after = [&](const char* word) {
        const std::size_t k = std::strlen(word);
        return n > k ? text + k + 1 : "";
    };
    void (ZQ_SKYPECOMUSER::*call)(const char*) = nullptr;
    const char* arg = text;
    if (beginsWith(text, n, "CREATE") || beginsWith(text, n, "DELETE") || beginsWith(text, n, "ALTER")
        || beginsWith(text, n, "APPLICATION")) {
        call = &ZQ_SKYPECOMUSER::onApplication;
    } else if (beginsWith(text, n, "CONNSTATUS")) {
        return;
    } else if (beginsWith(text, n, "CURRENTUSERHANDLE")) {
        call = &ZQ_SKYPECOMUSER::onCurrentUserHandle;
        arg = after("CURRENTUSERHANDLE");
    } else if (beginsWith(text, n, "USERSTATUS")) {
        call = &ZQ_SKYPECOMUSER::onUserStatus;
        arg = after("USERSTATUS");
    } else if (beginsWith(text, n, "USERS")) {
        call = &ZQ_SKYPECOMUSER::onUsers;
        arg = after("USERS");
    } else if (beginsWith(text, n, "USER")) {
        call = &ZQ_SKYPECOMUSER::onUser;
        arg = after("USER");
    } else {
        return;
    }
    for (std::size_t i = 0; i < m_users.size(); ++i) {
        if (m_users[i])
            (m_users[i]->*call)(arg);
    }
}
