#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

pid_t spawnProcess(const SpawnSpec& launch)
{
    if (launch.argv.empty())
        throw std::runtime_error("spawnProcess: no program");
    std::vector<std::string> argStore = launch.argv, envStore = launch.env;
    std::vector<char*> argv, envp;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const int out = ::open(launch.outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int err = ::open(launch.errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || in < 0) {
        for (int fd : {out, err, in})
            if (fd >= 0)
                ::close(fd);
        throw std::runtime_error("cannot open the output files of " + launch.argv[0]);
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::setpgid(0, 0);
        if (!launch.dir.empty() && ::chdir(launch.dir.c_str()) != 0)
            ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(err);
    ::close(in);
    return pid;
}

std::vector<std::string> environmentWithout(const std::vector<std::string>& prefixes)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string s = *e;
        bool drop = false;
        for (const auto& p : prefixes)
            drop = drop || s.rfind(p, 0) == 0;
        if (!drop)
            env.push_back(s);
    }
    return env;
}

bool waitForExit(pid_t pid, int* status, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid || r < 0) {
            if (status)
                *status = r == pid ? st : -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int stopProcess(pid_t pid, std::chrono::milliseconds limit)
{
    int st = -1;
    ::kill(pid, SIGTERM);
    if (waitForExit(pid, &st, limit))
        return st;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

} // namespace testsupport
