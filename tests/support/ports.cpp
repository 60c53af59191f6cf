#include "support/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <stdexcept>

namespace testsupport {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

namespace {

// Binds a loopback socket to port (0: any); the port bound, or 0.
int bindLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a = loopback(port);
    socklen_t len = sizeof a;
    int got = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        got = ntohs(a.sin_port);
    ::close(fd);
    return got;
}

// The first port of the kernel's range for outgoing connections.
int ephemeralLow()
{
    int low = 32768;
    std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
    in >> low;
    return low;
}

} // namespace

int freePort()
{
    const int low = 20000, high = ephemeralLow();
    if (high - low >= 1000) {
        static std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
        std::uniform_int_distribution<int> pick(low, high - 1);
        for (int i = 0; i < 50; ++i)
            if (const int port = bindLoopback(pick(rng)))
                return port;
    }
    const int port = bindLoopback(0);
    if (port == 0)
        throw std::runtime_error("no free loopback port");
    return port;
}

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const sockaddr_in a = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

} // namespace testsupport
