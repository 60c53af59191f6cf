// An asynchronous TCP socket whose events arrive on the main thread from
// QtCore's event loop (the stand-in for the class library's asynchronous
// socket over Windows Sockets). Descriptors are non-blocking; results are
// shaped like Winsock's: BOOL or a byte count, SOCKET_ERROR on failure with
// the reason in WSAGetLastError().
//
// Event rules:
// - Events come from whatever event loop runs on the main thread, nested
//   loops (modal dialogs) included.
// - OnReceive: bytes (or the peer's close, or an error) wait. After it returns
//   no further OnReceive comes until Receive or resumeReceive is called, so a
//   handler that reads nothing does not spin.
// - OnSend: only after a Send has failed with WSAEWOULDBLOCK, once, when the
//   socket can take bytes again; writability is not watched otherwise.
// - OnConnect: once per connect that did not finish inside Connect (success
//   or error, looked-up host names included).
// - OnAccept: connections wait; like OnReceive, it is not repeated until
//   Accept is called.
// - OnClose: once per connection, from the event loop, after a Receive has
//   seen the peer's close (code 0) or failed for good (the error code). A
//   socket that is closed first never hears it. Send errors are only
//   returned; the connection's end then shows on the receive side.
// - After Close (or deleteLater) no event of any kind reaches the object,
//   not even one that was already on its way.
// - A handler may Close its own socket and call deleteLater on it; the
//   platform code does not touch the object after that handler returns.
#pragma once

#include "platform/wintypes.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// shutdown() directions (the Linux SHUT_* values are the same numbers).
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// Event mask bits of Create.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
constexpr long FD_ALL_EVENTS = 0x3F;

// Error codes as Windows Sockets numbers them. System errors without a
// counterpart here are passed on as their errno value (always below 10000).
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;

// The code of the last failed socket operation on this thread; socket
// operations that succeed set it to 0.
int WSAGetLastError();
void WSASetLastError(int code);
// The Windows Sockets code for an errno value.
int wsaErrorFromErrno(int err);

// How a host name is looked up, replaceable so that a test can make the
// look-up take its time or give what it likes. It runs on a worker thread,
// never on the main thread, and gives the addresses the name stands for
// (ports unset, IPv4 and IPv6 ones as the system lists them); none when the
// name cannot be looked up. A connect by name goes to the first IPv4 one,
// else the first IPv6 one.
using HostResolver = std::function<std::vector<sockaddr_storage>(const std::string& host)>;
// The system's look-up (getaddrinfo), the one in force unless replaced.
std::vector<sockaddr_storage> systemHostResolver(const std::string& host);
// Puts resolver in force for the look-ups that start from now on (an empty
// one brings the system's back) and returns the one it replaces. Main
// thread only; a look-up under way keeps the resolver it started with.
HostResolver setHostResolver(HostResolver resolver);

class CAsyncSocket {
public:
    CAsyncSocket();
    virtual ~CAsyncSocket(); // closes a socket that is still open
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // A TCP socket (nSocketType must be SOCK_STREAM) that delivers the events
    // in lEvent. With a port or an address it is bound to them, with
    // SO_REUSEADDR set before the bind; the address is a dotted IPv4 text or
    // an IPv6 address, null meaning any local address of either family (an
    // IPv6 socket that takes IPv4 too, where the system has IPv6).
    BOOL Create(UINT nSocketPort = 0, int nSocketType = SOCK_STREAM,
                long lEvent = FD_ALL_EVENTS, const char* lpszSocketAddress = nullptr);
    BOOL Listen(int nConnectionBacklog = 5);
    // rConnectedSocket must not be open; it gets this socket's event mask.
    // Running out of descriptors (WSAEMFILE, WSAENOBUFS) pauses OnAccept for
    // a second instead of repeating it at once.
    virtual BOOL Accept(CAsyncSocket& rConnectedSocket, sockaddr* lpSockAddr = nullptr,
                        int* lpSockAddrLen = nullptr);
    // A dotted IPv4 address or an IPv6 address connects at once; any other
    // host text is looked up off the main thread first (its IPv4 address
    // before its IPv6 one). A connect that is under way returns FALSE with
    // WSAEWOULDBLOCK and ends in OnConnect; a name that cannot be looked up
    // ends there with WSAEINVAL, an address the socket's family cannot reach
    // with WSAEAFNOSUPPORT.
    BOOL Connect(const char* lpszHostAddress, UINT nHostPort);
    BOOL Connect(const std::string& hostAddress, UINT nHostPort)
    {
        return Connect(hostAddress.c_str(), nHostPort);
    }
    // Never raises SIGPIPE. A send that takes no byte counts as would-block.
    virtual int Send(const void* lpBuf, int nBufLen, int nFlags = 0);
    // 0: the peer has closed the connection. A call with no room
    // (nBufLen 0) reads nothing and fails with WSAEWOULDBLOCK.
    virtual int Receive(void* lpBuf, int nBufLen, int nFlags = 0);
    // Drops every event, pending ones included, then closes the descriptor.
    virtual void Close();
    BOOL ShutDown(int nHow = SD_SEND);
    BOOL SetSockOpt(int nOptionName, const void* lpOptionValue, int nOptionLen,
                    int nLevel = SOL_SOCKET);
    // Dotted IPv4 (also for an IPv4 peer of an IPv6 socket) or IPv6 text.
    BOOL GetPeerName(std::string& rPeerAddress, UINT& rPeerPort);
    BOOL GetSockName(std::string& rSocketAddress, UINT& rSocketPort);

    static int GetLastError() { return WSAGetLastError(); }
    SOCKET socketHandle() const { return m_hSocket; }

    // Stops OnReceive (and the reading of the peer's close) while the owner
    // can take no more bytes; resumeReceive starts it again.
    void pauseReceive();
    void resumeReceive();

    // Closes the socket at once and deletes the object (made with new) once
    // control is back in the event loop that was running when this was
    // called, never inside the handler that calls it nor inside a nested
    // loop that handler opens.
    void deleteLater();

protected:
    virtual void OnAccept(int nErrorCode);
    virtual void OnConnect(int nErrorCode);
    virtual void OnReceive(int nErrorCode);
    virtual void OnSend(int nErrorCode);
    virtual void OnClose(int nErrorCode);

private:
    struct Impl;
    friend struct Impl;
    SOCKET m_hSocket = INVALID_SOCKET;
    std::unique_ptr<Impl> m_impl;
};
