// Loopback ports for tests and benchmarks that run real sockets.
#pragma once

#include <netinet/in.h>

namespace testsupport {

// The address of a loopback port.
sockaddr_in loopback(int port);

// A loopback port that was free a moment ago (bound and closed again). It is
// picked below the kernel's range for outgoing connections' ports, so that
// no outgoing link takes a port meant for a listener before it binds it.
int freePort();

// Whether something accepts TCP connections on the loopback port.
bool accepts(int port);

} // namespace testsupport
