// Notices reach the registered target later, on the event loop, each with
// its own text; none outlives its target.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <vector>

#include "platform_qt/qt_app.h"
#include "protocol/post_error.h"

TEST(PostErrorTest, EachNoticeKeepsItsOwnTextAndNoneOutlivesItsTarget)
{
    testsupport::QtApp app;
    std::vector<PostedNotice> got;
    auto listen = [&] { CPostError::getInstance()->setTarget([&](const PostedNotice& n) { got.push_back(n); }); };
    CPostError* p = CPostError::getInstance();
    p->postErrorText(1, "lost"); // no target yet
    listen();
    p->postErrorText(1, "N1 linked");
    p->postError(POSTERROR_PARTY_MISMATCH, nullptr);
    p->postErrorText(1, "N2 linked");
    p->postErrorText(2, "other kinds"); // only kind 1 carries free text
    EXPECT_TRUE(got.empty()); // posted, not called
    QCoreApplication::processEvents();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].message, 0x52Du);
    EXPECT_EQ(got[0].wParam, 1u);
    EXPECT_EQ(got[0].lParam, 1);
    EXPECT_EQ(got[0].text, "N1 linked");
    EXPECT_EQ(got[1].lParam, 0);
    EXPECT_EQ(got[1].text, "");
    EXPECT_EQ(got[2].text, "N2 linked");

    got.clear();
    p->postError(POSTERROR_FRAME_ERROR, "");
    CPostError::destroyInstance();
    listen();
    QCoreApplication::processEvents();
    EXPECT_TRUE(got.empty());
    CPostError::destroyInstance();
}
