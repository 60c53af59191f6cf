// Child processes for tests and benchmarks: started in a folder of their own,
// with their output appended to files, never outliving the process that
// started them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

struct SpawnSpec {
    std::vector<std::string> argv; // argv[0] is the program's path
    std::vector<std::string> env;  // the whole environment
    std::string dir;               // working directory; empty: unchanged
    std::string outPath, errPath;  // appended to; standard input is /dev/null
};

// fork and exec; the child gets its own process group and is killed when
// this process dies. Throws std::runtime_error when it cannot start.
pid_t spawnProcess(const SpawnSpec& launch);

// This process's environment without the variables whose "NAME=" begins
// with one of the prefixes.
std::vector<std::string> environmentWithout(const std::vector<std::string>& prefixes);

// Waits up to limit for pid to end; true and its wait status when it did.
bool waitForExit(pid_t pid, int* status, std::chrono::milliseconds limit);

// SIGTERM, then SIGKILL when it has not ended within limit; the wait status
// (-1 when it had to be killed).
int stopProcess(pid_t pid, std::chrono::milliseconds limit);

} // namespace testsupport
