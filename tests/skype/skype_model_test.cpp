// The contact model: the USERS list, status and buddy texts, the own handle,
// the connectable flags per slot, and what may become a handle at all.
#include "skype/skype_testkit.h"

using namespace skypetest;

namespace {

class CountingModelListener : public MODELLISTENER {
public:
    int changes = 0;
    void onModelChanged() override { ++changes; }
};

class SkypeModel : public SkypeLinkTest {
protected:
    ZQ_SKYPEMODEL* model = nullptr;
    CountingModelListener listener;

    void SetUp() override
    {
        SkypeLinkTest::SetUp();
        model = ZQ_SKYPEMODEL::getInstance();
        model->addListener(&listener);
        com->createWindow(nullptr);
        attach();
    }

    std::vector<std::string> handles() const
    {
        std::vector<std::string> h;
        for (int i = 0; i < model->getContactCount(); ++i)
            h.emplace_back(cp932::fieldText(model->getContact(i)->handle, 32));
        return h;
    }
    int statusOf(int i) const { return model->getContact(i)->status; }
};

} // namespace

TEST_F(SkypeModel, UsersListBuildsTheContactsAndAsksForEachStatusAndTheOwnHandle)
{
    ASSERT_EQ(api->last(), "SEARCH FRIENDS") << "asked on attaching";
    const std::size_t from = api->calls.size();
    ASSERT_TRUE(api->notify("USERS a, b,c"));
    EXPECT_EQ(handles(), (std::vector<std::string>{"a", "b", "c"}));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(statusOf(i), 1);
    EXPECT_EQ(listener.changes, 1);
    EXPECT_EQ(api->texts(from), (std::vector<std::string>{"GET USER a ONLINESTATUS", "GET USER b ONLINESTATUS",
                                                           "GET USER c ONLINESTATUS", "GET CURRENTUSERHANDLE"}));

    ASSERT_TRUE(api->notify("USERS"));
    EXPECT_TRUE(handles().empty()) << "an empty list is no contact with an empty handle";
    EXPECT_EQ(listener.changes, 2);
}

TEST_F(SkypeModel, HandlesThatWouldBreakACommandAreNoContacts)
{
    const std::string id32(32, 'h');
    const std::string id33(33, 'h');
    const std::size_t from = api->calls.size();
    // A lead byte whose second byte is a control character is no character:
    // the control byte must not slip into a command behind it.
    ASSERT_TRUE(api->notify("USERS ,bob,, ctl\x01x, lo:ng, ca\xF6\x14" "rol, " + id33 + ", " + id32 + ", ok"));
    EXPECT_EQ(handles(), (std::vector<std::string>{"bob", id32, "ok"}));
    for (const std::string& t : api->texts(from)) {
        EXPECT_EQ(t.find(id33), std::string::npos) << t;
        EXPECT_EQ(t.find('\x01'), std::string::npos) << t;
        EXPECT_EQ(t.find('\x14'), std::string::npos) << t;
    }
    EXPECT_EQ(api->count("GET USER " + id32 + " ONLINESTATUS", from), 1) << "a full 32-byte handle is read whole";

    // A status for a longer handle that begins like one of 32 bytes is for
    // nobody.
    ASSERT_TRUE(api->notify("USER " + id33 + " ONLINESTATUS ONLINE"));
    EXPECT_EQ(statusOf(1), 1);
    ASSERT_TRUE(api->notify("USER " + id33 + " BUDDYSTATUS 3"));
    EXPECT_EQ(model->getContactCount(), 3);
}

TEST_F(SkypeModel, StatusAndBuddyTextsChangeOneContactSilently)
{
    ASSERT_TRUE(api->notify("USERS a, b, a, me"));
    ASSERT_TRUE(api->notify("CURRENTUSERHANDLE me"));
    EXPECT_EQ(model->getCurrentUserHandle(), "me");
    const int changes = listener.changes;
    const std::size_t from = api->calls.size();

    const std::pair<const char*, int> values[] = {{"ONLINE", 2}, {"OFFLINE", 1}, {"AWAY", 2}, {"UNKNOWN", 1}};
    for (const auto& [value, status] : values) {
        ASSERT_TRUE(api->notify(std::string("USER a ONLINESTATUS ") + value));
        EXPECT_EQ(statusOf(0), status) << value;
        EXPECT_EQ(statusOf(2), 1) << "only the first contact of that handle";
    }
    ASSERT_TRUE(api->notify("USER me ONLINESTATUS ONLINE"));
    EXPECT_EQ(statusOf(3), 1) << "the own handle is not a contact's status";
    ASSERT_TRUE(api->notify("USER b ONLINESTATUS"));
    ASSERT_TRUE(api->notify("USER b"));
    EXPECT_EQ(statusOf(1), 1) << "no value or no property: ignored";
    ASSERT_TRUE(api->notify("USER zed ONLINESTATUS ONLINE"));

    ASSERT_TRUE(api->notify("USER newbie BUDDYSTATUS 3"));
    ASSERT_TRUE(api->notify("USER other BUDDYSTATUS 2"));
    ASSERT_TRUE(api->notify("USER a BUDDYSTATUS 3"));
    EXPECT_EQ(handles(), (std::vector<std::string>{"a", "b", "a", "me", "newbie"}));
    EXPECT_EQ(statusOf(4), 1);
    EXPECT_EQ(listener.changes, changes) << "single changes are not announced";
    EXPECT_EQ(api->calls.size(), from) << "no status query for an added buddy";
}

TEST_F(SkypeModel, ConnectableFlagsArePerSlotAndComparedWhole)
{
    ASSERT_TRUE(api->notify("USERS bob, bo, bob"));
    model->setConnectable(0, "bob");
    model->setConnectable(1, "bo");
    EXPECT_EQ(model->getContact(0)->connectable[0], 1);
    EXPECT_EQ(model->getContact(2)->connectable[0], 1) << "both contacts of that handle";
    EXPECT_EQ(model->isConnectable(0, "bob"), 1);
    EXPECT_EQ(model->isConnectable(0, "bo"), 0);
    EXPECT_EQ(model->isConnectable(0, "bobby"), 0);
    EXPECT_EQ(model->isConnectable(1, "bo"), 1);
    ASSERT_TRUE(api->notify("USER bob ONLINESTATUS OFFLINE"));
    EXPECT_EQ(model->isConnectable(0, "bob"), 1) << "the online status plays no part";

    model->setConnectable(0, "");
    EXPECT_EQ(model->isConnectable(0, "bob"), 0);
    EXPECT_EQ(model->isConnectable(1, "bo"), 1) << "other slots keep their flags";
    model->setConnectable(7, "bob"); // no such slot
    EXPECT_EQ(model->isConnectable(7, "bob"), 0);
}

TEST_F(SkypeModel, OwnHandleIsReadWithinItsFieldAndResetEmptiesAll)
{
    const std::string id32(32, 'm');
    ASSERT_TRUE(api->notify("CURRENTUSERHANDLE " + id32));
    EXPECT_EQ(model->getCurrentUserHandle(), id32);
    ASSERT_TRUE(api->notify("CURRENTUSERHANDLE " + id32 + "x"));
    EXPECT_EQ(model->getCurrentUserHandle(), "") << "a handle longer than its field is not taken";

    ASSERT_TRUE(api->notify("USERS a"));
    ASSERT_TRUE(api->notify("CURRENTUSERHANDLE me"));
    const int changes = listener.changes;
    api->setOwner(""); // the client goes: the facade resets the model
    model->reset();
    EXPECT_EQ(model->getContactCount(), 0);
    EXPECT_EQ(model->getCurrentUserHandle(), "");
    EXPECT_EQ(listener.changes, changes + 1);
}
