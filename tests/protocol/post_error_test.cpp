// The notice poster: notices reach the registered target later, on the
// event loop, each with its own text.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <vector>

#include "protocol/post_error.h"
#include "platform_qt/qt_app.h"

namespace {

class PostErrorTest : public testing::Test {
protected:
    void TearDown() override { CPostError::destroyInstance(); }

    // Registers a target that records what it receives.
    void listen()
    {
        CPostError::getInstance()->setTarget([this](const PostedNotice& n) { got.push_back(n); });
    }
    static void pump() { QCoreApplication::processEvents(); }

    testsupport::QtApp app;
    std::vector<PostedNotice> got;
};

} // namespace

TEST_F(PostErrorTest, NothingIsPostedBeforeTheWindowIsKnown)
{
    CPostError* p = CPostError::getInstance();
    EXPECT_EQ(p, CPostError::getInstance());
    p->postError(POSTERROR_FRAME_ERROR, "");
    p->postErrorText(1, "lost");
    listen();
    pump();
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(p->getErrorText(), "");

    p->postError(POSTERROR_FRAME_ERROR, "");
    EXPECT_TRUE(got.empty()); // posted, not called
    pump();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].message, 0x52Du);
    EXPECT_EQ(got[0].wParam, 3u);
    EXPECT_EQ(got[0].lParam, 0);
    EXPECT_EQ(got[0].text, "");
}

TEST_F(PostErrorTest, EachFreeTextNoticeKeepsItsOwnText)
{
    listen();
    CPostError* p = CPostError::getInstance();
    p->postErrorText(1, "N1 linked");
    p->postError(POSTERROR_PARTY_MISMATCH, nullptr);
    p->postErrorText(1, "N2 linked");
    p->postErrorText(2, "other kinds"); // only kind 1 carries free text
    p->postErrorText(0, "carry none");
    pump();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].wParam, 1u);
    EXPECT_EQ(got[0].lParam, 1);
    EXPECT_EQ(got[0].text, "N1 linked");
    EXPECT_EQ(got[1].wParam, 1u);
    EXPECT_EQ(got[1].lParam, 0);
    EXPECT_EQ(got[1].text, "");
    EXPECT_EQ(got[2].text, "N2 linked");
    EXPECT_EQ(p->getErrorText(), "N2 linked");
}

TEST_F(PostErrorTest, NoticesUnderWayAreDroppedWhenTheTargetGoes)
{
    listen();
    CPostError::getInstance()->postError(POSTERROR_FRAME_ERROR, "");
    CPostError::getInstance()->setTarget(nullptr);
    pump();
    EXPECT_TRUE(got.empty());

    // Nor does a later poster deliver what an ended one posted.
    listen();
    CPostError::getInstance()->postError(POSTERROR_FRAME_ERROR, "");
    CPostError::destroyInstance();
    listen();
    pump();
    EXPECT_TRUE(got.empty());
    CPostError::getInstance()->postError(POSTERROR_PARTY_MISMATCH, "");
    pump();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].wParam, 1u);
}
