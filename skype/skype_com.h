// The node's one link to the messaging client's desktop API: it finds the
// client, attaches to it, sends text commands and hands every text the
// client sends back to its subscribers by the text's first keyword.
//
// On this platform the client is reached over the session bus (the
// carrier, platform/skype_api): the owner of the client's bus name takes the
// role of the client's API window, and the carrier's events are fed into the
// Attach table below, which stays the one place where the status changes:
//   the name gains an owner          -> lParam 0x8001 (API available)
//   "NAME Yuvo" answered "OK"        -> lParam 0, the answering unique name
//                                       becomes the client
//   answered "ERROR 68"              -> lParam 2 (the user refused)
//   any other answer, or a failure   -> lParam 3 (not available)
//   unanswered after 1 s             -> lParam 1 (waiting for the user; the
//                                       later answer applies as above)
// The owner leaving the bus, or a command the client does not take, is the
// lost link: status 0 to every subscriber, and discovery resumes.
//
// Every command is an asynchronous call: its reply reaches `dispatch` later,
// from the event loop, in the order replies and notifications arrive, never
// inside `send`.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/timer.h"
#include "platform/skype_api/skype_api.h"
#include "platform/wintypes.h"

// A subscriber of the link. The link never deletes one.
class ZQ_SKYPECOMUSER {
public:
    // Every Attach, and every lost link (with 0).
    virtual void onStatus(int status) { (void)status; }
    // The text after "CURRENTUSERHANDLE" and one separator.
    virtual void onCurrentUserHandle(const char* text) { (void)text; }
    // The text after "USERSTATUS" and one separator.
    virtual void onUserStatus(const char* text) { (void)text; }
    // The text after "USERS" and one separator.
    virtual void onUsers(const char* text) { (void)text; }
    // The text after "USER" and one separator.
    virtual void onUser(const char* text) { (void)text; }
    // The whole text of a "CREATE", "DELETE", "ALTER" or "APPLICATION" text.
    virtual void onApplication(const char* text) { (void)text; }

protected:
    ~ZQ_SKYPECOMUSER() = default;
};

class ZQ_SKYPECOM final : private platform::CSkypeApiListener {
public:
    // Link status.
    static constexpr int STATUS_NONE = 0;        // not attached, or the link was lost
    static constexpr int STATUS_ATTACHED = 1;    // commands can be sent
    static constexpr int STATUS_PENDING = 2;     // the client waits for its user
    static constexpr int STATUS_REFUSED = 3;     // the user refused the program
    static constexpr int STATUS_UNAVAILABLE = 4; // the API is not available
    static constexpr int STATUS_API_AVAILABLE = 0x8001;

    // Attach lParams.
    static constexpr int ATTACH_SUCCESS = 0;
    static constexpr int ATTACH_PENDING_AUTHORIZATION = 1;
    static constexpr int ATTACH_REFUSED = 2;
    static constexpr int ATTACH_NOT_AVAILABLE = 3;
    static constexpr int ATTACH_API_AVAILABLE = 0x8001;

    static constexpr int DISCOVER_MS = 5000;       // discovery while not attached
    static constexpr int NAME_WAIT_MS = 1000;      // then the user is asked
    static constexpr int NAME_TIMEOUT_MS = 120000; // the user's answer is awaited this long
    static constexpr int COMMAND_TIMEOUT_MS = 25000;

    static ZQ_SKYPECOM* getInstance();
    // The link while it exists, else null (never makes one).
    static ZQ_SKYPECOM* existingInstance() { return s_instance; }
    static void destroyInstance();
    // The carrier the next link made by getInstance uses (tests); without
    // one it uses the session bus.
    static void useApi(std::unique_ptr<platform::CSkypeApi> api);

    void addUser(ZQ_SKYPECOMUSER* user);
    // A subscriber that goes before the link leaves a null entry, which is
    // skipped.
    void forgetUser(ZQ_SKYPECOMUSER* user);
    // Connects the carrier and starts looking for the client (at once and
    // every 5 s). Without a bus the status stays 0 (said once on the console).
    void createWindow(HWND parent);
    // Asks the client's name owner to attach us, when that is wanted and
    // possible: "-NOSKYPE" not given, not attached, the name has an owner
    // and no such request is under way.
    void discover();
    // Sends one command. 0 when it cannot go (not attached: the link is
    // lost), else 1. `answered`, when given, runs once the client has
    // answered this command (after its reply was dispatched) or the call
    // failed.
    int send(const char* command, std::function<void()> answered = nullptr);
    int getStatus() const { return m_status; }

    // The receiving side.
    // An Attach message; `client` is the unique bus name that answered
    // (lParam 0 only).
    int onAttach(int lParam, const std::string& client);
    // A text from `sender`: 0 (refused) unless it is the attached client.
    int onCopyData(const std::string& sender, const char* text, int length);
    void dispatch(const char* text, int length);

    // The 5 s timer and the end of the 1 s wait for a "NAME" answer.
    void onTimer();
    void onNameWaitOver();

    // The unique bus name of the attached client; "" while not attached.
    const std::string& client() const { return m_skypeWnd; }

private:
    ZQ_SKYPECOM();
    ~ZQ_SKYPECOM();
    ZQ_SKYPECOM(const ZQ_SKYPECOM&) = delete;
    ZQ_SKYPECOM& operator=(const ZQ_SKYPECOM&) = delete;

    void onApiOwnerChanged(const std::string& oldOwner, const std::string& newOwner) override;
    bool onApiNotify(const std::string& sender, const std::string& text) override;
    void onNameAnswer(unsigned ownerEpoch, const platform::SkypeApiAnswer& answer);
    void linkLost();
    void announce(int status);

    HWND m_parentWnd = nullptr;
    std::string m_skypeWnd; // the attached client's unique bus name
    std::vector<ZQ_SKYPECOMUSER*> m_users;
    int m_status = STATUS_NONE;

    std::unique_ptr<platform::CSkypeApi> m_api;
    bool m_apiOpen = false;
    std::string m_apiOwner;     // the owner of the client's bus name; "" none
    unsigned m_ownerEpoch = 0;  // counts owner changes; older answers are stale
    bool m_nameUnderWay = false;
    platform::CTimer m_discoverTimer;
    platform::CTimer m_nameWaitTimer;

    static ZQ_SKYPECOM* s_instance;
};
