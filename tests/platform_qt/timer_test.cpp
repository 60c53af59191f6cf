// A timer's callback is never re-entered through a nested event loop, while
// other timers go on meanwhile.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include "platform/qt/timer.h"
#include "platform_qt/qt_app.h"

TEST(TimerTest, NestedEventLoopDoesNotReenterTheCallback)
{
    testsupport::QtApp app;
    platform::CTimer modal, other;
    int depth = 0, maxDepth = 0, calls = 0, otherTicks = 0;
    other.start(5, [&] { ++otherTicks; });
    modal.start(5, [&] {
        maxDepth = std::max(maxDepth, ++depth);
        if (++calls == 1) { // a modal dialog's loop
            QEventLoop loop;
            QTimer::singleShot(150, &loop, &QEventLoop::quit);
            const int before = otherTicks;
            loop.exec();
            EXPECT_GT(otherTicks, before);
        }
        --depth;
    });
    ASSERT_TRUE(testsupport::runUntil([&] { return calls >= 2; }));
    EXPECT_EQ(maxDepth, 1);
}
