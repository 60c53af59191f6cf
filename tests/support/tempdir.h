// Test support: a temporary folder that is removed with its content, a
// scoped change of the working directory, and a disk that is full for a
// while.
#pragma once

#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Changes the working directory for its lifetime.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& dir);
    ~ScopedChdir();

private:
    std::string m_old;
};

// A full disk without root: while it lives, no file of this process may
// grow beyond `bytes` (a write past it fails with EFBIG, which the program
// takes as no room). lift() ends it early.
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long long bytes);
    ~FileSizeLimit() { lift(); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    void lift();

private:
    unsigned long long m_old = 0;
    bool m_on = false;
};

// Small file helpers for tests.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool exists(const std::string& path);

} // namespace testsupport
