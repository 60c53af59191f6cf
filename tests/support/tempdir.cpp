#include "support/tempdir.h"

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/yuvo-test-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

ScopedChdir::ScopedChdir(const std::string& dir)
{
    char buf[4096];
    if (getcwd(buf, sizeof buf))
        m_old = buf;
    if (chdir(dir.c_str()) != 0)
        throw std::runtime_error("chdir failed: " + dir);
}

ScopedChdir::~ScopedChdir()
{
    if (!m_old.empty() && chdir(m_old.c_str()) != 0) {
        // nothing more to do in a destructor
    }
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    f << content;
}

std::string readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

FileSizeLimit::FileSizeLimit(unsigned long long bytes)
{
    std::signal(SIGXFSZ, SIG_IGN); // the write fails instead of ending the process
    rlimit lim {};
    if (::getrlimit(RLIMIT_FSIZE, &lim) != 0)
        throw std::runtime_error("getrlimit failed");
    m_old = lim.rlim_cur;
    lim.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0)
        throw std::runtime_error("setrlimit failed");
    m_on = true;
}

void FileSizeLimit::lift()
{
    if (!m_on)
        return;
    rlimit lim {};
    ::getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = m_old;
    ::setrlimit(RLIMIT_FSIZE, &lim);
    m_on = false;
}

} // namespace testsupport
