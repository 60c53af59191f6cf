// Deferred calls: they run after the poster's own call has returned, in
// order, and an owner's pending calls die with it.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>
#include <vector>

#include "platform/qt/main_thread.h"
#include "platform_qt/qt_app.h"

namespace {

class MainThreadTest : public testing::Test {
protected:
    testsupport::QtApp app;
};

} // namespace

TEST_F(MainThreadTest, CallsRunLaterInOrder)
{
    std::vector<int> log;
    platform::postToMainThread([&] {
        log.push_back(1);
        // Posted from inside a deferred call: runs after the others.
        platform::postToMainThread([&] { log.push_back(4); });
    });
    platform::postToMainThread([&] { log.push_back(2); });
    platform::CDeferredCalls own;
    own.post([&] { log.push_back(3); });
    EXPECT_TRUE(log.empty());
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(log, (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(MainThreadTest, PendingCallsDieWithTheirOwner)
{
    int ran = 0;
    auto owner = std::make_unique<platform::CDeferredCalls>();
    owner->post([&] { ++ran; });
    owner->post([&] { ++ran; });
    owner.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 0);

    // An owner may end itself from one of its own calls; the rest are
    // dropped.
    owner = std::make_unique<platform::CDeferredCalls>();
    owner->post([&] {
        ++ran;
        owner.reset();
    });
    owner->post([&] { ran += 10; });
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 1);
}

TEST(MainThreadNoAppTest, WithoutAnApplicationNothingRuns)
{
    bool ran = false;
    platform::postToMainThread([&] { ran = true; });
    EXPECT_FALSE(ran);
}
