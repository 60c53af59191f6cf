#include "platform/qt/async_socket.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QThreadPool>
#include <QTimer>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

thread_local int t_lastError = 0;

// How long accepting rests after the process ran out of descriptors.
constexpr int kAcceptBackoffMs = 1000;

int setError(int code)
{
    t_lastError = code;
    return code;
}

bool parseDotted(const char* text, in_addr& out)
{
    return text && inet_pton(AF_INET, text, &out) == 1;
}

sockaddr_in makeAddress(in_addr addr, UINT port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    return sa;
}

// An address of either family with its port.
struct Endpoint {
    sockaddr_storage sa{};
    socklen_t len = 0;
};

Endpoint endpointOf(const sockaddr* sa, socklen_t len)
{
    Endpoint e;
    e.len = std::min<socklen_t>(len, sizeof e.sa);
    std::memcpy(&e.sa, sa, e.len);
    return e;
}

// An address given as text: dotted IPv4 or an IPv6 address.
bool parseAddress(const char* text, UINT port, Endpoint& out)
{
    in_addr v4{};
    if (parseDotted(text, v4)) {
        const sockaddr_in sa = makeAddress(v4, port);
        out = endpointOf(reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        return true;
    }
    sockaddr_in6 v6{};
    if (!text || inet_pton(AF_INET6, text, &v6.sin6_addr) != 1)
        return false;
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<std::uint16_t>(port));
    out = endpointOf(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
    return true;
}

// The target as a socket of that family reaches it: an IPv4 address as
// the IPv4-mapped address of an IPv6 socket. False when it cannot.
bool forFamily(int family, Endpoint& target)
{
    if (target.sa.ss_family == family)
        return true;
    if (family != AF_INET6 || target.sa.ss_family != AF_INET)
        return false;
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(target.sa);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = v4.sin_port;
    v6.sin6_addr.s6_addr[10] = 0xFF;
    v6.sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(&v6.sin6_addr.s6_addr[12], &v4.sin_addr, 4);
    target = endpointOf(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
    return true;
}

int familyOf(SOCKET s)
{
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    return ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) == 0 ? sa.ss_family : AF_UNSPEC;
}

// A socket for any local address: IPv6 that also takes IPv4 (so links
// reach it over either), or IPv4 where the system has no IPv6.
SOCKET anyAddressSocket()
{
    const SOCKET s = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        const int off = 0;
        if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0)
            return s;
        ::close(s);
    }
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// The resolver in force; read and replaced on the main thread only (a
// look-up takes its own copy along to the worker).
HostResolver& currentResolver()
{
    static HostResolver s_resolver = systemHostResolver;
    return s_resolver;
}

// The address a connect by name goes to, port unset: an IPv4 one first, as
// a neighbour whose name has both may listen on IPv4 only.
bool pickAddress(const std::vector<sockaddr_storage>& found, Endpoint& out)
{
    for (int family : {AF_INET, AF_INET6}) {
        for (const sockaddr_storage& sa : found) {
            if (sa.ss_family == family) {
                out = endpointOf(reinterpret_cast<const sockaddr*>(&sa),
                                 family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
                return true;
            }
        }
    }
    return false;
}

// A host name lookup running off the main thread. The socket clears target
// when it closes; the worker posts its result only while target is set, and
// holds the lock while posting so the target cannot die in between.
struct Lookup {
    std::mutex m;
    QObject* target = nullptr;
};

} // namespace

std::vector<sockaddr_storage> systemHostResolver(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    std::vector<sockaddr_storage> found;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0)
        return found;
    for (const addrinfo* a = res; a; a = a->ai_next) {
        if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) && a->ai_addrlen <= sizeof(sockaddr_storage)) {
            sockaddr_storage sa{};
            std::memcpy(&sa, a->ai_addr, a->ai_addrlen);
            found.push_back(sa);
        }
    }
    freeaddrinfo(res);
    return found;
}

HostResolver setHostResolver(HostResolver resolver)
{
    HostResolver before = std::move(currentResolver());
    currentResolver() = resolver ? std::move(resolver) : HostResolver(systemHostResolver);
    return before;
}

int WSAGetLastError()
{
    return t_lastError;
}

void WSASetLastError(int code)
{
    t_lastError = code;
}

int wsaErrorFromErrno(int err)
{
    switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
        return WSAEWOULDBLOCK;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EMSGSIZE: return WSAEMSGSIZE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED:
    case EPROTO: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH:
    case EHOSTDOWN: return WSAEHOSTUNREACH;
    default: return err > 0 ? err : WSAEINVAL;
    }
}

struct CAsyncSocket::Impl {
    enum class State { Closed, Open, Resolving, Connecting, Connected, Listening };

    explicit Impl(CAsyncSocket* owner) : q(owner), ctx(new QObject) {}
    ~Impl()
    {
        // Deleted from inside one of its own handlers (not the way to do it,
        // but survivable): the notifier that is calling must outlive this.
        if (depth > 0)
            ctx.release()->deleteLater();
    }

    // Marks a handler call in progress; tells afterwards whether the socket
    // is still the same open socket. Reads nothing of a deleted object.
    struct Dispatch {
        explicit Dispatch(Impl* impl) : d(impl), token(impl->alive), gen(impl->gen) { ++d->depth; }
        ~Dispatch()
        {
            if (!token.expired())
                --d->depth;
        }
        bool same() const { return !token.expired() && d->gen == gen; }
        Impl* d;
        std::weak_ptr<char> token;
        unsigned gen;
    };

    CAsyncSocket* q;
    State state = State::Closed;
    long mask = 0;
    unsigned gen = 0; // changes whenever the descriptor goes or comes
    int depth = 0;
    std::shared_ptr<char> alive = std::make_shared<char>(0);
    std::unique_ptr<QObject> ctx; // parent of notifiers, queued calls, timers
    QSocketNotifier* readN = nullptr;
    QSocketNotifier* writeN = nullptr;
    bool readArmed = true;   // cleared while OnReceive/OnAccept waits for a read
    bool readPaused = false; // pauseReceive
    bool finished = false;   // the peer's close or an error was seen
    bool writeArmed = false; // a send would have blocked
    bool acceptResting = false;
    bool sendShut = false;
    bool deletePending = false;
    std::shared_ptr<Lookup> lookup;

    SOCKET fd() const { return q->m_hSocket; }

    // The checks before a Send or Receive; false with the error set.
    bool canTransfer(const void* buf, int len) const
    {
        int code = 0;
        if (fd() == INVALID_SOCKET)
            code = WSAENOTSOCK;
        else if (state != State::Connected)
            code = WSAENOTCONN;
        else if (len < 0 || (!buf && len > 0))
            code = WSAEFAULT;
        setError(code);
        return code == 0;
    }

    void attach(SOCKET s, State st, long eventMask)
    {
        q->m_hSocket = s;
        ++gen;
        state = st;
        mask = eventMask;
        readArmed = true;
        readPaused = false;
        finished = false;
        writeArmed = false;
        acceptResting = false;
        sendShut = false;
        readN = new QSocketNotifier(s, QSocketNotifier::Read, ctx.get());
        writeN = new QSocketNotifier(s, QSocketNotifier::Write, ctx.get());
        readN->setEnabled(false);
        writeN->setEnabled(false);
        std::weak_ptr<char> token = alive;
        QObject::connect(readN, &QSocketNotifier::activated, ctx.get(), [this, token] {
            if (!token.expired())
                onReadable();
        });
        QObject::connect(writeN, &QSocketNotifier::activated, ctx.get(), [this, token] {
            if (!token.expired())
                onWritable();
        });
        update();
    }

    void detach()
    {
        if (q->m_hSocket == INVALID_SOCKET)
            return;
        ++gen;
        // The notifiers go before the descriptor: its number is reused at
        // once, and a live notifier would report the next socket's events.
        for (QSocketNotifier** n : {&readN, &writeN}) {
            (*n)->setEnabled(false);
            (*n)->deleteLater(); // may be the one calling us right now
            *n = nullptr;
        }
        if (lookup) {
            std::lock_guard<std::mutex> lock(lookup->m);
            lookup->target = nullptr;
        }
        lookup.reset();
        ::close(q->m_hSocket);
        q->m_hSocket = INVALID_SOCKET;
        state = State::Closed;
    }

    bool wantRead() const
    {
        if (state == State::Listening)
            return (mask & FD_ACCEPT) && readArmed && !acceptResting;
        if (state == State::Connected)
            return (mask & FD_READ) && readArmed && !readPaused && !finished;
        return false;
    }

    bool wantWrite() const
    {
        return state == State::Connecting || (state == State::Connected && writeArmed);
    }

    void update()
    {
        if (!readN)
            return;
        if (readN->isEnabled() != wantRead())
            readN->setEnabled(wantRead());
        if (writeN->isEnabled() != wantWrite())
            writeN->setEnabled(wantWrite());
    }

    // Runs fn from the event loop later, unless the socket has closed (or
    // been re-created) by then.
    template <class Fn>
    void later(Fn fn)
    {
        std::weak_ptr<char> token = alive;
        unsigned g = gen;
        QMetaObject::invokeMethod(
            ctx.get(),
            [this, token, g, fn] {
                if (!token.expired() && gen == g)
                    fn();
            },
            Qt::QueuedConnection);
    }

    void onReadable()
    {
        if (!wantRead()) {
            update(); // a stale activation
            return;
        }
        readArmed = false;
        update();
        Dispatch call(this);
        if (state == State::Listening)
            q->OnAccept(0);
        else
            q->OnReceive(0);
        if (call.same())
            update();
    }

    void onWritable()
    {
        if (state == State::Connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fd(), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
            state = err == 0 ? State::Connected : State::Open;
            update();
            reportConnect(err == 0 ? 0 : wsaErrorFromErrno(err));
            return;
        }
        if (!wantWrite()) {
            update();
            return;
        }
        writeArmed = false;
        update();
        if (!(mask & FD_WRITE))
            return;
        Dispatch call(this);
        q->OnSend(0);
    }

    void reportConnect(int code)
    {
        if (!(mask & FD_CONNECT))
            return;
        Dispatch call(this);
        q->OnConnect(code);
    }

    // The connection has ended for reading: stop watching it and tell the
    // owner once, after the current handler.
    void finish(int code)
    {
        if (finished)
            return;
        finished = true;
        update();
        later([this, code] {
            if (state != State::Connected || !(mask & FD_CLOSE))
                return;
            Dispatch call(this);
            q->OnClose(code);
        });
    }

    // 0 connected, WSAEWOULDBLOCK under way, else the error.
    int startConnect(Endpoint target)
    {
        if (!forFamily(familyOf(fd()), target))
            return WSAEAFNOSUPPORT;
        int r;
        do {
            r = ::connect(fd(), reinterpret_cast<sockaddr*>(&target.sa), target.len);
        } while (r != 0 && errno == EINTR);
        if (r == 0) {
            state = State::Connected;
            update();
            return 0;
        }
        int code = wsaErrorFromErrno(errno);
        if (code == WSAEWOULDBLOCK) {
            state = State::Connecting;
            update();
        } else {
            state = State::Open;
        }
        return code;
    }

    void startLookup(const char* host, UINT port)
    {
        state = State::Resolving;
        auto job = std::make_shared<Lookup>();
        job->target = ctx.get();
        lookup = job;
        std::weak_ptr<char> token = alive;
        unsigned g = gen;
        std::string name = host;
        HostResolver resolve = currentResolver();
        QThreadPool::globalInstance()->start([this, job, token, g, name, port, resolve] {
            Endpoint addr;
            const bool found = pickAddress(resolve(name), addr);
            if (found) {
                // The port goes in here: the lookup was made without one.
                const auto p = htons(static_cast<std::uint16_t>(port));
                if (addr.sa.ss_family == AF_INET)
                    reinterpret_cast<sockaddr_in&>(addr.sa).sin_port = p;
                else
                    reinterpret_cast<sockaddr_in6&>(addr.sa).sin6_port = p;
            }
            std::lock_guard<std::mutex> lock(job->m);
            if (!job->target)
                return;
            QMetaObject::invokeMethod(
                job->target,
                [this, job, token, g, found, addr] {
                    if (!token.expired() && gen == g && lookup == job)
                        lookupDone(found, addr);
                },
                Qt::QueuedConnection);
        });
    }

    void lookupDone(bool found, const Endpoint& addr)
    {
        lookup.reset();
        if (!found) {
            state = State::Open;
            reportConnect(WSAEINVAL);
            return;
        }
        int code = startConnect(addr);
        if (code != WSAEWOULDBLOCK)
            reportConnect(code);
    }

    void restAccepting()
    {
        acceptResting = true;
        update();
        std::weak_ptr<char> token = alive;
        unsigned g = gen;
        QTimer::singleShot(kAcceptBackoffMs, ctx.get(), [this, token, g] {
            if (token.expired() || gen != g)
                return;
            acceptResting = false;
            update();
        });
    }
};

CAsyncSocket::CAsyncSocket() : m_impl(std::make_unique<Impl>(this)) {}

CAsyncSocket::~CAsyncSocket()
{
    m_impl->detach();
}

BOOL CAsyncSocket::Create(UINT nSocketPort, int nSocketType, long lEvent, const char* lpszSocketAddress)
{
    if (m_hSocket != INVALID_SOCKET || nSocketPort > 65535) {
        setError(WSAEINVAL);
        return FALSE;
    }
    if (nSocketType != SOCK_STREAM) {
        setError(WSAESOCKTNOSUPPORT);
        return FALSE;
    }
    Endpoint local;
    if (lpszSocketAddress && !parseAddress(lpszSocketAddress, nSocketPort, local)) {
        setError(WSAEINVAL);
        return FALSE;
    }
    SOCKET s = lpszSocketAddress ? ::socket(local.sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)
                                 : anyAddressSocket();
    if (s < 0) {
        setError(wsaErrorFromErrno(errno));
        return FALSE;
    }
    if (!lpszSocketAddress) {
        // Any local address of the socket's family.
        if (familyOf(s) == AF_INET6) {
            sockaddr_in6 any{};
            any.sin6_family = AF_INET6;
            any.sin6_addr = in6addr_any;
            any.sin6_port = htons(static_cast<std::uint16_t>(nSocketPort));
            local = endpointOf(reinterpret_cast<const sockaddr*>(&any), sizeof any);
        } else {
            in_addr any{};
            any.s_addr = htonl(INADDR_ANY);
            const sockaddr_in sa = makeAddress(any, nSocketPort);
            local = endpointOf(reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        }
    }
    if (nSocketPort != 0 || lpszSocketAddress) {
        int on = 1;
        if ((nSocketPort != 0 && setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
            || ::bind(s, reinterpret_cast<sockaddr*>(&local.sa), local.len) != 0) {
            int err = errno;
            ::close(s);
            setError(wsaErrorFromErrno(err));
            return FALSE;
        }
    }
    m_impl->attach(s, Impl::State::Open, lEvent);
    setError(0);
    return TRUE;
}

BOOL CAsyncSocket::Listen(int nConnectionBacklog)
{
    if (m_hSocket == INVALID_SOCKET) {
        setError(WSAENOTSOCK);
        return FALSE;
    }
    if (m_impl->state == Impl::State::Listening) {
        setError(0);
        return TRUE;
    }
    if (m_impl->state != Impl::State::Open) {
        setError(m_impl->state == Impl::State::Connected ? WSAEISCONN : WSAEINVAL);
        return FALSE;
    }
    if (::listen(m_hSocket, nConnectionBacklog) != 0) {
        setError(wsaErrorFromErrno(errno));
        return FALSE;
    }
    m_impl->state = Impl::State::Listening;
    m_impl->readArmed = true;
    m_impl->update();
    setError(0);
    return TRUE;
}

BOOL CAsyncSocket::Accept(CAsyncSocket& rConnectedSocket, sockaddr* lpSockAddr, int* lpSockAddrLen)
{
    if (m_impl->state != Impl::State::Listening || rConnectedSocket.m_hSocket != INVALID_SOCKET
        || &rConnectedSocket == this) {
        setError(WSAEINVAL);
        return FALSE;
    }
    m_impl->readArmed = true;
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    SOCKET s;
    do {
        s = ::accept4(m_hSocket, reinterpret_cast<sockaddr*>(&peer), &peerLen,
                      SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    if (s < 0) {
        int code = setError(wsaErrorFromErrno(errno));
        if (code == WSAEMFILE || code == WSAENOBUFS)
            m_impl->restAccepting();
        else
            m_impl->update();
        return FALSE;
    }
    if (lpSockAddr && lpSockAddrLen && *lpSockAddrLen > 0) {
        std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(*lpSockAddrLen), peerLen);
        std::memcpy(lpSockAddr, &peer, n);
        *lpSockAddrLen = static_cast<int>(peerLen);
    }
    rConnectedSocket.m_impl->attach(s, Impl::State::Connected, m_impl->mask);
    m_impl->update();
    setError(0);
    return TRUE;
}

BOOL CAsyncSocket::Connect(const char* lpszHostAddress, UINT nHostPort)
{
    using State = Impl::State;
    if (m_hSocket == INVALID_SOCKET) {
        setError(WSAENOTSOCK);
        return FALSE;
    }
    switch (m_impl->state) {
    case State::Resolving:
    case State::Connecting: setError(WSAEALREADY); return FALSE;
    case State::Connected: setError(WSAEISCONN); return FALSE;
    case State::Listening: setError(WSAEINVAL); return FALSE;
    default: break;
    }
    if (!lpszHostAddress || nHostPort > 65535) {
        setError(WSAEINVAL);
        return FALSE;
    }
    Endpoint addr;
    if (!parseAddress(lpszHostAddress, nHostPort, addr)) {
        m_impl->startLookup(lpszHostAddress, nHostPort);
        setError(WSAEWOULDBLOCK);
        return FALSE;
    }
    int code = setError(m_impl->startConnect(addr));
    return code == 0;
}

int CAsyncSocket::Send(const void* lpBuf, int nBufLen, int nFlags)
{
    if (!m_impl->canTransfer(lpBuf, nBufLen))
        return SOCKET_ERROR;
    if (nBufLen == 0) {
        setError(0);
        return 0;
    }
    ssize_t n;
    do {
        n = ::send(m_hSocket, lpBuf, static_cast<std::size_t>(nBufLen), nFlags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        setError(0);
        return static_cast<int>(n);
    }
    // Nothing taken: wait for writability rather than try again at once.
    int code = n == 0 ? WSAEWOULDBLOCK : wsaErrorFromErrno(errno);
    if (n < 0 && errno == EPIPE && m_impl->sendShut)
        code = WSAESHUTDOWN;
    if (code == WSAEWOULDBLOCK) {
        m_impl->writeArmed = true;
        m_impl->update();
    }
    setError(code);
    return SOCKET_ERROR;
}

int CAsyncSocket::Receive(void* lpBuf, int nBufLen, int nFlags)
{
    if (!m_impl->canTransfer(lpBuf, nBufLen))
        return SOCKET_ERROR;
    if (nBufLen == 0) {
        // recv would say 0, which reads as the peer's close.
        setError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    m_impl->readArmed = true;
    ssize_t n;
    do {
        n = ::recv(m_hSocket, lpBuf, static_cast<std::size_t>(nBufLen), nFlags);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        m_impl->update();
        setError(0);
        return static_cast<int>(n);
    }
    if (n == 0) {
        setError(0);
        m_impl->finish(0);
        return 0;
    }
    int code = setError(wsaErrorFromErrno(errno));
    if (code == WSAEWOULDBLOCK)
        m_impl->update();
    else
        m_impl->finish(code);
    return SOCKET_ERROR;
}

void CAsyncSocket::Close()
{
    m_impl->detach();
}

BOOL CAsyncSocket::ShutDown(int nHow)
{
    if (m_hSocket == INVALID_SOCKET) {
        setError(WSAENOTSOCK);
        return FALSE;
    }
    if (::shutdown(m_hSocket, nHow) != 0) {
        setError(wsaErrorFromErrno(errno));
        return FALSE;
    }
    if (nHow == SD_SEND || nHow == SD_BOTH)
        m_impl->sendShut = true;
    setError(0);
    return TRUE;
}

BOOL CAsyncSocket::SetSockOpt(int nOptionName, const void* lpOptionValue, int nOptionLen, int nLevel)
{
    if (m_hSocket == INVALID_SOCKET) {
        setError(WSAENOTSOCK);
        return FALSE;
    }
    if (nOptionLen < 0 || ::setsockopt(m_hSocket, nLevel, nOptionName, lpOptionValue,
                                       static_cast<socklen_t>(nOptionLen)) != 0) {
        setError(nOptionLen < 0 ? WSAEFAULT : wsaErrorFromErrno(errno));
        return FALSE;
    }
    setError(0);
    return TRUE;
}

namespace {

BOOL nameOf(SOCKET s, bool peer, std::string& address, UINT& port)
{
    if (s == INVALID_SOCKET) {
        setError(WSAENOTSOCK);
        return FALSE;
    }
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    int r = peer ? ::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len)
                 : ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    if (r != 0) {
        setError(wsaErrorFromErrno(errno));
        return FALSE;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (sa.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(sa);
        // An IPv4 peer of an IPv6 socket shows as the IPv4 address it is.
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    } else {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(sa);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    }
    address = text;
    setError(0);
    return TRUE;
}

} // namespace

BOOL CAsyncSocket::GetPeerName(std::string& rPeerAddress, UINT& rPeerPort)
{
    return nameOf(m_hSocket, true, rPeerAddress, rPeerPort);
}

BOOL CAsyncSocket::GetSockName(std::string& rSocketAddress, UINT& rSocketPort)
{
    return nameOf(m_hSocket, false, rSocketAddress, rSocketPort);
}

void CAsyncSocket::pauseReceive()
{
    m_impl->readPaused = true;
    m_impl->update();
}

void CAsyncSocket::resumeReceive()
{
    m_impl->readPaused = false;
    m_impl->readArmed = true;
    m_impl->update();
}

void CAsyncSocket::deleteLater()
{
    Close();
    if (m_impl->deletePending)
        return;
    m_impl->deletePending = true;
    // QObject's deferred delete waits for the loop level at which it was
    // asked for, so a nested loop opened by the caller does not run it.
    auto* reaper = new QObject;
    std::weak_ptr<char> token = m_impl->alive;
    QObject::connect(reaper, &QObject::destroyed, [this, token] {
        if (!token.expired())
            delete this;
    });
    reaper->deleteLater();
}

void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnClose(int) {}
