// The messaging-client link in-process over a fake carrier: the test plays
// the client (owner changes, answers to each Invoke, Notify texts) and reads
// every command the node sent. Node "A" of party "P" in a temporary working
// directory, with "SKYPE" rows for bob and carol.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/cp932.h"
#include "platform_qt/qt_app.h"
#include "protocol/frames.h"
#include "skype/a2a_model.h"
#include "skype/fake_api.h"
#include "skype/skype_com.h"
#include "skype/skype_model.h"
#include "store/catalog.h"
#include "store/events.h"
#include "store/helpers.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace skypetest {

constexpr const char* APP_NAME = "YUVO000P";

// Records every call a subscriber of the link gets.
class RecordingUser : public ZQ_SKYPECOMUSER {
public:
    std::vector<std::string> calls;
    std::vector<int> statuses;
    void onStatus(int s) override { statuses.push_back(s); }
    void onCurrentUserHandle(const char* t) override { calls.push_back(std::string("handle:") + t); }
    void onUserStatus(const char* t) override { calls.push_back(std::string("userstatus:") + t); }
    void onUsers(const char* t) override { calls.push_back(std::string("users:") + t); }
    void onUser(const char* t) override { calls.push_back(std::string("user:") + t); }
    void onApplication(const char* t) override { calls.push_back(std::string("app:") + t); }
};

// Node "A" of party "P" with the link over a fake carrier (not yet started).
class SkypeLinkTest : public ::testing::Test {
protected:
    testsupport::QtApp app;
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    std::unique_ptr<testsupport::TestSettings> settings;
    FakeApi* api = nullptr;
    ZQ_SKYPECOM* com = nullptr;

    void SetUp() override
    {
        cd = std::make_unique<testsupport::ScopedChdir>(dir.path());
        settings = std::make_unique<testsupport::TestSettings>();
        settings->nodeName = "A";
        settings->partyName = "P";
        settings->addRow("bob", "SKYPE", "bob");
        settings->addRow("carol", "SKYPE", "carol");
        auto fake = std::make_unique<FakeApi>();
        api = fake.get();
        ZQ_SKYPECOM::useApi(std::move(fake));
        com = ZQ_SKYPECOM::getInstance();
    }

    void TearDown() override
    {
        ZQ_A2AMODEL::destroyInstance();
        ZQ_SKYPEMODEL::destroyInstance();
        ZQ_SKYPECOM::destroyInstance();
        CCatalog::releaseInstance();
        ZQ_EVENTCATALOG::destroyInstance();
    }

    // The client appears and allows the program at once.
    void attach()
    {
        api->setOwner(CLIENT);
        ASSERT_EQ(api->last(), "NAME Yuvo");
        api->answer(-1, "OK");
        ASSERT_EQ(com->getStatus(), ZQ_SKYPECOM::STATUS_ATTACHED);
    }
};

// The whole link: API link, contact model and app-to-app model with slot 0
// named "YUVO000P", attached, the application created. A stand-in for the
// transport facade drops every stream when the link is lost.
class SkypeAppTest : public SkypeLinkTest {
protected:
    ZQ_SKYPEMODEL* model = nullptr;
    ZQ_A2AMODEL* a2a = nullptr;

    class Facade : public ZQ_SKYPECOMUSER, public CA2AModelListener {
    public:
        int changes = 0;
        void onStatus(int s) override
        {
            if (s == 0) {
                ZQ_A2AMODEL::getInstance()->closeAllStreams();
                ZQ_SKYPEMODEL::getInstance()->reset();
            }
        }
        void onConnectionsChanged() override { ++changes; }
    } facade;

    void SetUp() override
    {
        SkypeLinkTest::SetUp();
        com->addUser(&facade);
        model = ZQ_SKYPEMODEL::getInstance();
        a2a = ZQ_A2AMODEL::getInstance();
        a2a->addListener(&facade);
        a2a->setApplicationName(0, APP_NAME);
        com->createWindow(nullptr);
    }

    ZQ_SKYPEAPPLICATION& slot() { return a2a->application(0); }

    // Attached, the application created and its connectable list naming
    // bob and carol.
    void createApplication()
    {
        attach();
        ASSERT_EQ(api->count(std::string("CREATE APPLICATION ") + APP_NAME), 1);
        ASSERT_TRUE(api->notify(std::string("CREATE APPLICATION ") + APP_NAME));
        ASSERT_EQ(slot().getState(), ZQ_SKYPEAPPLICATION::STATE_CREATED);
    }

    // A notification of the application.
    bool notifyApp(const std::string& rest) { return api->notify(std::string("APPLICATION ") + APP_NAME + " " + rest); }

    ZQ_SKYPESTREAM* stream(const std::string& key)
    {
        for (ZQ_SKYPESTREAM* s : slot().streams())
            if (s && s->key() == key)
                return s;
        return nullptr;
    }

    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            ZQ_A2AMODEL::timerProc();
    }
};

// Frames of the node's peer, stamped in order, as the hex a READ reply
// carries.
class PeerFrames {
public:
    template <class T>
    std::string hexOf(T& frame, DWORD length)
    {
        m_seq.stamp(&frame);
        return hex(&frame, length);
    }
    static std::string hex(const void* frame, DWORD length)
    {
        std::string h(2 * std::size_t(length) + 1, '\0');
        bytesToHex(static_cast<int>(length), static_cast<const BYTE*>(frame), h.data());
        h.resize(2 * std::size_t(length));
        return h;
    }
    std::string keepAlive()
    {
        KeepAliveFrame f{};
        return hexOf(f, buildKeepAliveFrame(&f));
    }
    std::string poll()
    {
        SyncPollFrame f{};
        return hexOf(f, buildSyncPollFrame(&f));
    }
    std::string hello(const char* node, const char* party = "P")
    {
        NodeInfoFrame f{};
        return hexOf(f, buildNodeInfoFrame(&f, node, party, 0, SYSTEMTIME{}));
    }
    DWORD next() const { return m_seq.tx; }
    void skip() { ++m_seq.tx; }

private:
    FrameSequencer m_seq;
};

// The frames the node wrote to one stream, in order.
inline std::vector<std::vector<BYTE>> writtenFrames(const FakeApi& api, const std::string& key,
                                                    std::size_t from = 0)
{
    const std::string prefix = std::string("ALTER APPLICATION ") + APP_NAME + " WRITE " + key + " ";
    std::vector<std::vector<BYTE>> frames;
    for (std::size_t i = from; i < api.calls.size(); ++i) {
        const std::string& t = api.calls[i].text;
        if (t.rfind(prefix, 0) != 0)
            continue;
        const std::string hex = t.substr(prefix.size());
        std::vector<BYTE> f(hex.size() / 2);
        hexToBin(hex.c_str(), f.data(), f.size());
        frames.push_back(std::move(f));
    }
    return frames;
}

inline ExchangeHeader headerOf(const std::vector<BYTE>& f) { return readHeader(f.data()); }

} // namespace skypetest
