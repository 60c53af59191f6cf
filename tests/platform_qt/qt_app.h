// A QCoreApplication for the lifetime of a test fixture.
#pragma once

#include <QCoreApplication>

namespace testsupport {

class QtApp {
    int m_argc = 1;
    char m_name[8] = "test";
    char* m_argv[2] = {m_name, nullptr};
    QCoreApplication m_app{m_argc, m_argv};
};

} // namespace testsupport
