// Timers on the event loop: repeat, stop and restart from inside, no
// re-entry through a nested loop, no catch-up after a stall.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/qt/timer.h"
#include "platform_qt/qt_app.h"

namespace {

using testsupport::runFor;
using testsupport::runUntil;

class TimerTest : public testing::Test {
protected:
    testsupport::QtApp app;
};

} // namespace

TEST_F(TimerTest, RepeatsAndStopsRestartsAndDestroysFromInsideTheCallback)
{
    platform::CTimer t;
    EXPECT_FALSE(t.isActive());
    int n = 0;
    t.start(5, [&] {
        if (++n == 3)
            t.stop();
    });
    EXPECT_TRUE(t.isActive());
    EXPECT_EQ(n, 0); // never at once
    ASSERT_TRUE(runUntil([&] { return n >= 3; }));
    runFor(50);
    EXPECT_EQ(n, 3);
    EXPECT_FALSE(t.isActive());

    // Set again from its own callback (a one-shot chain), with a callback
    // that captures state which the old one no longer needs.
    int a = 0, b = 0;
    auto token = std::make_shared<int>(7);
    t.start(5, [&, token] {
        ++a;
        t.start(5, [&] {
            if (++b == 2)
                t.stop();
        });
        EXPECT_EQ(*token, 7); // the running callback is still intact
    });
    token.reset();
    ASSERT_TRUE(runUntil([&] { return b >= 2; }));
    runFor(30);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);

    auto owned = std::make_unique<platform::CTimer>();
    int c = 0;
    owned->start(5, [&] {
        ++c;
        owned.reset();
    });
    ASSERT_TRUE(runUntil([&] { return c >= 1; }));
    runFor(30);
    EXPECT_EQ(c, 1);
}

TEST_F(TimerTest, NestedEventLoopDoesNotReenterTheCallback)
{
    platform::CTimer modal, other;
    int depth = 0, maxDepth = 0, calls = 0, otherTicks = 0;
    bool done = false;
    other.start(5, [&] { ++otherTicks; });
    modal.start(5, [&] {
        ++calls;
        maxDepth = std::max(maxDepth, ++depth);
        if (calls == 1) {
            // A modal dialog's loop: other timers go on meanwhile.
            QEventLoop loop;
            QTimer::singleShot(150, &loop, &QEventLoop::quit);
            const int before = otherTicks;
            loop.exec();
            EXPECT_GT(otherTicks, before);
        } else {
            done = true;
        }
        --depth;
    });
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_EQ(maxDepth, 1);
}

TEST_F(TimerTest, NoBurstAfterAStall)
{
    platform::CTimer t;
    int n = 0;
    bool stalled = false;
    t.start(50, [&] {
        ++n;
        if (!stalled) {
            stalled = true;
            // About twenty periods pass while the thread is busy.
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            n = 0;
        }
    });
    ASSERT_TRUE(runUntil([&] { return stalled; }));
    runFor(60);
    // Catching up would deliver about twenty ticks at once.
    EXPECT_LT(n, 10);
}
