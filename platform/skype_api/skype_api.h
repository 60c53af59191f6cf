// The messaging client's desktop API as this platform carries it: text
// commands and texts on the D-Bus session bus. The client owns the bus name
// "com.Skype.API" and serves Invoke(s)->s on /com/Skype (interface
// "com.Skype.API"); the node serves Notify(s) on /com/Skype/Client
// (interface "com.Skype.API.Client"), on which the client sends its
// notifications.
//
// The carrier only moves texts; what they mean, who may send them and what
// follows from a failure is the link's business (skype/). Texts are code
// page 932 on this side and UTF-8 on the bus.
//
// Every report (owner changes, Notify texts, Invoke answers) arrives on the
// main thread from the event loop, in the order the bus delivered it, and
// never inside a call of the carrier.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// What the carrier reports to the link.
class CSkypeApiListener {
public:
    // The owner of the client's bus name changed; "" stands for none.
    virtual void onApiOwnerChanged(const std::string& oldOwner, const std::string& newOwner) = 0;
    // A Notify call from `sender` (a unique bus name). `text` is empty when
    // it had no code page 932 form. False refuses the call: the caller gets
    // a D-Bus error.
    virtual bool onApiNotify(const std::string& sender, const std::string& text) = 0;

protected:
    ~CSkypeApiListener() = default;
};

// The answer to one Invoke.
struct SkypeApiAnswer {
    bool ok = false;      // false: the call failed (a D-Bus error, a timeout, no such peer)
    bool dropped = false; // answered, but the text was too long or had no code page 932 form
    std::string sender;   // unique bus name of the one that answered
    std::string text;     // the reply, code page 932; empty when dropped
};

class CSkypeApi {
public:
    static constexpr const char* SERVICE = "com.Skype.API";
    static constexpr const char* PATH = "/com/Skype";
    static constexpr const char* INTERFACE = "com.Skype.API";
    static constexpr const char* CLIENT_PATH = "/com/Skype/Client";
    static constexpr const char* CLIENT_INTERFACE = "com.Skype.API.Client";
    // Longer texts (in UTF-8 bytes) are never handed on.
    static constexpr std::size_t MAX_TEXT = 128 * 1024;

    using AnswerFn = std::function<void(const SkypeApiAnswer&)>;

    virtual ~CSkypeApi() = default;

    // Connects to the bus and starts reporting to listener: false when there
    // is no bus. The current owner of the client's name follows as an owner
    // change once known.
    virtual bool open(CSkypeApiListener* listener) = 0;
    // Calls Invoke(text) on `destination` (a bus name). done runs once, later,
    // with the answer. False: the text could not be put on the bus (it has
    // no UTF-8 form, or the carrier is not open); done never runs.
    virtual bool invoke(const std::string& destination, const std::string& text, int timeoutMs,
                        AnswerFn done) = 0;
};

// The carrier on the session bus named by DBUS_SESSION_BUS_ADDRESS (and only
// that: unset or empty means no bus).
std::unique_ptr<CSkypeApi> makeSessionBusSkypeApi();

} // namespace platform
