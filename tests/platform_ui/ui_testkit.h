// Test support for windows on Qt's offscreen platform: an application
// object per test, and prompts (message boxes, file dialogs, URLs, modal
// dialogs) that fail the test unless the test answers them.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>

#include <functional>
#include <string>

#include "platform/ui/prompts.h"

namespace uitest {

class UiTest : public testing::Test {
protected:
    void SetUp() override
    {
        ui::failOnUnexpectedPrompts([](const std::string& what) { ADD_FAILURE() << what; });
    }
    void TearDown() override
    {
        ui::setMessageBoxHandler(nullptr);
        ui::setFileDialogHandler(nullptr);
        ui::setOpenUrlHandler(nullptr);
        ui::setModalDialogHandler(nullptr);
    }

private:
    int m_argc = 1;
    char m_name[8] = "uitest";
    char* m_argv[2] = {m_name, nullptr};
    QApplication m_app{m_argc, m_argv};
};

// Runs the event loop until pred holds or ms have passed; pred's result.
inline bool waitUntil(const std::function<bool()>& pred, int ms = 5000)
{
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Lets the event loop run for ms milliseconds.
inline void pump(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

} // namespace uitest
