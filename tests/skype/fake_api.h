// An in-process carrier of the messaging client's API: the test plays the
// client (owner changes, the answer to each Invoke, Notify texts from any
// sender) and reads every command the node sent. Used by the tests and the
// fuzz target of the link's text handling.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/skype_api/skype_api.h"

namespace skypetest {

// The unique bus name of the client in these tests.
constexpr const char* CLIENT = ":1.7";

class FakeApi : public platform::CSkypeApi {
public:
    struct Call {
        std::string destination;
        std::string text;
        AnswerFn done;
        bool answered = false;
    };

    bool openOk = true;
    platform::CSkypeApiListener* listener = nullptr;
    std::vector<Call> calls;

    bool open(platform::CSkypeApiListener* l) override
    {
        listener = l;
        return openOk;
    }
    bool invoke(const std::string& destination, const std::string& text, int, AnswerFn done) override
    {
        calls.push_back({destination, text, std::move(done)});
        return true;
    }

    // --- The client's side. ---
    void setOwner(const std::string& owner)
    {
        const std::string old = m_owner;
        m_owner = owner;
        listener->onApiOwnerChanged(old, owner);
    }
    // Answers call i (the latest when -1).
    void answer(int i, const std::string& text, const std::string& sender = CLIENT)
    {
        finish(i, {true, false, sender, text});
    }
    void fail(int i) { finish(i, {}); }
    bool notify(const std::string& text, const std::string& sender = CLIENT)
    {
        return listener->onApiNotify(sender, text);
    }

    // The texts sent from call `from` on.
    std::vector<std::string> texts(std::size_t from = 0) const
    {
        std::vector<std::string> t;
        for (std::size_t i = from; i < calls.size(); ++i)
            t.push_back(calls[i].text);
        return t;
    }
    std::string last() const { return calls.empty() ? std::string() : calls.back().text; }
    // The oldest call not yet answered; -1 when none.
    int oldestOpen() const
    {
        for (std::size_t i = 0; i < calls.size(); ++i)
            if (!calls[i].answered)
                return static_cast<int>(i);
        return -1;
    }
    // How many texts sent from call `from` on begin with prefix.
    int count(const std::string& prefix, std::size_t from = 0) const
    {
        int n = 0;
        for (std::size_t i = from; i < calls.size(); ++i)
            n += calls[i].text.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

private:
    void finish(int i, const platform::SkypeApiAnswer& a)
    {
        Call& c = calls.at(i < 0 ? calls.size() - 1 : static_cast<std::size_t>(i));
        if (c.answered)
            throw std::logic_error("answered twice: " + c.text);
        c.answered = true;
        AnswerFn done = c.done; // the call list may grow inside done
        done(a);
    }
    std::string m_owner;
};

} // namespace skypetest
