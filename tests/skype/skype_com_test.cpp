// The API link: attaching (the Attach table as the carrier feeds it),
// discovery, the lost link, whose texts are heard, and the routing of texts
// to the subscribers.
#include "skype/skype_testkit.h"

using namespace skypetest;

namespace {

class SkypeCom : public SkypeLinkTest {
protected:
    RecordingUser first;
    RecordingUser second;

    void SetUp() override
    {
        SkypeLinkTest::SetUp();
        com->addUser(&first);
        com->addUser(nullptr); // a null subscriber is skipped
        com->addUser(&second);
        com->createWindow(nullptr);
    }
};

} // namespace

TEST_F(SkypeCom, AttachTableSetsTheStatusAndOnlyStatusOneMayCommand)
{
    struct Row {
        int lParam;
        int before;
        int after;
    };
    const Row rows[] = {
        {ZQ_SKYPECOM::ATTACH_SUCCESS, 0, 1},
        {ZQ_SKYPECOM::ATTACH_PENDING_AUTHORIZATION, 0, 2},
        {ZQ_SKYPECOM::ATTACH_PENDING_AUTHORIZATION, 1, 1}, // waiting while attached stays attached
        {ZQ_SKYPECOM::ATTACH_REFUSED, 1, 3},
        {ZQ_SKYPECOM::ATTACH_NOT_AVAILABLE, 1, 4},
        {ZQ_SKYPECOM::ATTACH_API_AVAILABLE, 4, 0x8001},
        {77, 3, 3}, // outside the table: unchanged, still announced
    };
    for (const Row& r : rows) {
        if (r.before == 1) {
            com->onAttach(ZQ_SKYPECOM::ATTACH_SUCCESS, CLIENT);
        } else if (r.before == 3) {
            com->onAttach(ZQ_SKYPECOM::ATTACH_REFUSED, "");
        } else if (r.before == 4) {
            com->onAttach(ZQ_SKYPECOM::ATTACH_NOT_AVAILABLE, "");
        } else {
            com->onAttach(ZQ_SKYPECOM::ATTACH_REFUSED, "");
            com->send("x"); // not attached: the link is lost, status 0
        }
        ASSERT_EQ(com->getStatus(), r.before);
        first.statuses.clear();
        second.statuses.clear();
        EXPECT_EQ(com->onAttach(r.lParam, CLIENT), 1);
        EXPECT_EQ(com->getStatus(), r.after) << "lParam " << r.lParam << " from " << r.before;
        EXPECT_EQ(first.statuses, std::vector<int>{r.after});
        EXPECT_EQ(second.statuses, std::vector<int>{r.after}) << "every subscriber, in order";

        // Any status but 1 is not attached: no client recorded, nothing sent.
        const std::size_t calls = api->calls.size();
        const int sent = com->send("SEARCH FRIENDS");
        if (r.after == 1) {
            EXPECT_EQ(sent, 1);
            EXPECT_EQ(api->calls.back().destination, CLIENT);
        } else {
            EXPECT_EQ(sent, 0);
            EXPECT_EQ(api->calls.size(), calls) << "lParam " << r.lParam;
            EXPECT_EQ(com->getStatus(), 0) << "a send without a client is the lost link";
            EXPECT_EQ(com->client(), "");
        }
    }
}

TEST_F(SkypeCom, DiscoveryAsksTheNameOwnerOneAtATimeUntilAttached)
{
    com->onTimer();
    EXPECT_TRUE(api->calls.empty()) << "no owner of the client's name: nobody to ask";

    api->setOwner(CLIENT);
    EXPECT_EQ(first.statuses, std::vector<int>{0x8001});
    ASSERT_EQ(api->texts(), std::vector<std::string>{"NAME Yuvo"});
    EXPECT_EQ(api->calls[0].destination, platform::CSkypeApi::SERVICE);
    com->onTimer();
    EXPECT_EQ(api->calls.size(), 1u) << "no second request while one is under way";

    com->onNameWaitOver(); // unanswered after 1 s: the user is asked
    EXPECT_EQ(com->getStatus(), ZQ_SKYPECOM::STATUS_PENDING);
    api->answer(0, "ERROR 68");
    EXPECT_EQ(com->getStatus(), ZQ_SKYPECOM::STATUS_REFUSED);

    com->onTimer(); // discovery goes on after a refusal
    ASSERT_EQ(api->calls.size(), 2u);
    api->answer(1, "ERROR 9 other");
    EXPECT_EQ(com->getStatus(), ZQ_SKYPECOM::STATUS_UNAVAILABLE);
    com->onTimer();
    api->fail(2);
    EXPECT_EQ(com->getStatus(), ZQ_SKYPECOM::STATUS_UNAVAILABLE) << "a failed request: not available";

    com->onTimer();
    api->answer(3, "OK", ":1.9");
    EXPECT_EQ(com->getStatus(), ZQ_SKYPECOM::STATUS_ATTACHED);
    EXPECT_EQ(com->client(), ":1.9") << "the unique name that answered";
    com->onTimer();
    EXPECT_EQ(api->calls.size(), 4u) << "attached: no discovery";
    com->onNameWaitOver();
    EXPECT_EQ(com->getStatus(), ZQ_SKYPECOM::STATUS_ATTACHED) << "a stale wait changes nothing";
}

TEST_F(SkypeCom, NoSkypeNeverAsksAndNoBusIsSaidOnce)
{
    ZQ_SKYPECOM::destroyInstance();
    settings->switches.useSkype = 0;
    auto fake = std::make_unique<FakeApi>();
    api = fake.get();
    ZQ_SKYPECOM::useApi(std::move(fake));
    com = ZQ_SKYPECOM::getInstance();
    com->createWindow(nullptr);
    api->setOwner(CLIENT);
    for (int i = 0; i < 3; ++i)
        com->onTimer();
    EXPECT_TRUE(api->calls.empty()) << "-NOSKYPE: no request ever";
    EXPECT_EQ(com->send("SEARCH FRIENDS"), 0);
    EXPECT_TRUE(api->calls.empty());
    ZQ_SKYPECOM::destroyInstance();

    settings->switches.useSkype = 1;
    fake = std::make_unique<FakeApi>();
    fake->openOk = false;
    api = fake.get();
    ZQ_SKYPECOM::useApi(std::move(fake));
    com = ZQ_SKYPECOM::getInstance();
    testing::internal::CaptureStdout();
    com->createWindow(nullptr);
    com->onTimer();
    com->onTimer();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("no session bus"), out.rfind("no session bus"));
    EXPECT_NE(out.find("no session bus"), std::string::npos);
    EXPECT_EQ(com->getStatus(), 0);
    EXPECT_TRUE(api->calls.empty());
}

TEST_F(SkypeCom, OwnerLeavingOrAFailedCommandLosesTheLinkAndDiscoveryResumes)
{
    attach();
    first.statuses.clear();
    ASSERT_EQ(com->send("SEARCH FRIENDS"), 1);
    api->fail(-1);
    EXPECT_EQ(first.statuses, std::vector<int>{0});
    EXPECT_EQ(com->client(), "");
    com->onTimer();
    EXPECT_EQ(api->last(), "NAME Yuvo");
    api->answer(-1, "OK");

    // A call to the client of before fails after attaching anew: not a loss.
    ASSERT_EQ(com->send("GET CURRENTUSERHANDLE"), 1);
    const int oldCall = static_cast<int>(api->calls.size()) - 1;
    api->setOwner(":1.20"); // client restart: lost, then available again
    api->answer(-1, "OK", ":1.20");
    first.statuses.clear();
    api->fail(oldCall);
    EXPECT_TRUE(first.statuses.empty());
    EXPECT_EQ(com->client(), ":1.20");

    first.statuses.clear();
    api->setOwner("");
    EXPECT_EQ(first.statuses, std::vector<int>{0});
    com->onTimer();
    EXPECT_EQ(api->count("NAME"), 3) << "no owner: no request";
}

TEST_F(SkypeCom, OnlyTheAttachedClientIsHeardAndRepliesComeLaterInArrivalOrder)
{
    EXPECT_FALSE(api->notify("USERS early")) << "before attaching nobody is heard";
    attach();
    EXPECT_FALSE(api->notify("USERS x", ":1.99")) << "another sender is refused";
    EXPECT_TRUE(api->notify("")) << "an empty text from the client is taken";
    EXPECT_TRUE(first.calls.empty());

    bool answered = false;
    com->send("SEARCH FRIENDS", [&] {
        answered = true;
        EXPECT_EQ(first.calls.size(), 2u) << "after the reply was dispatched";
    });
    com->send("GET CURRENTUSERHANDLE");
    const int n = static_cast<int>(api->calls.size());
    EXPECT_TRUE(first.calls.empty()) << "never inside send";
    api->answer(n - 1, "CURRENTUSERHANDLE me");
    api->answer(n - 2, "USERS a, b");
    EXPECT_TRUE(answered);
    EXPECT_EQ(first.calls, (std::vector<std::string>{"handle:me", "users:a, b"}));
    ASSERT_EQ(com->send("SEARCH FRIENDS"), 1);
    api->answer(-1, "USERS z", ":1.99");
    EXPECT_EQ(first.calls.size(), 2u) << "a reply from another sender is not heard";
}

TEST_F(SkypeCom, RoutingGoesByTheFirstMatchingKeyword)
{
    attach();
    const std::pair<const char*, const char*> rows[] = {
        {"CREATE APPLICATION X", "app:CREATE APPLICATION X"},
        {"DELETE APPLICATION X", "app:DELETE APPLICATION X"},
        {"ALTER APPLICATION X READ b:1 00", "app:ALTER APPLICATION X READ b:1 00"},
        {"APPLICATION X STREAMS b:1", "app:APPLICATION X STREAMS b:1"},
        {"CONNSTATUS ONLINE", nullptr},
        {"CURRENTUSERHANDLE me", "handle:me"},
        {"USERSTATUS ONLINE", "userstatus:ONLINE"},
        {"USERS a, b", "users:a, b"},
        {"USERS", "users:"},
        {"USER bob ONLINESTATUS ONLINE", "user:bob ONLINESTATUS ONLINE"},
        {"ERROR 7 bad", nullptr},
        {"users a", nullptr}, // keywords are case-sensitive
    };
    for (const auto& [text, expected] : rows) {
        first.calls.clear();
        second.calls.clear();
        ASSERT_TRUE(api->notify(text));
        const std::vector<std::string> want = expected ? std::vector<std::string>{expected} : std::vector<std::string>{};
        EXPECT_EQ(first.calls, want) << text;
        EXPECT_EQ(second.calls, want) << text;
    }
}
