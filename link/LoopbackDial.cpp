#include "LoopbackDial.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
    using Clock = std::chrono::steady_clock;

    // The buffers JUCE's sockets asked for, which the companion has always
    // been served with.
    constexpr int bufferBytes = 65536;

    struct Address
    {
        sockaddr_storage storage {};
        socklen_t length = 0;
    };

    Address ipv4Loopback (int port)
    {
        Address address;
        auto& in = reinterpret_cast<sockaddr_in&> (address.storage);
        in.sin_family = AF_INET;
        in.sin_port = htons ((uint16_t) port);
        in.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
        address.length = sizeof (sockaddr_in);
        return address;
    }

    Address ipv6Loopback (int port)
    {
        Address address;
        auto& in6 = reinterpret_cast<sockaddr_in6&> (address.storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons ((uint16_t) port);
        in6.sin6_addr = in6addr_loopback;
        address.length = sizeof (sockaddr_in6);
        return address;
    }

    // Close-on-exec from the first moment, so no process that the host
    // starts meanwhile on another thread inherits the connection.
    int openStreamSocket (int family)
    {
       #if defined (SOCK_CLOEXEC) && defined (SOCK_NONBLOCK)
        return ::socket (family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
       #else
        const int handle = ::socket (family, SOCK_STREAM, 0);

        if (handle >= 0
            && (::fcntl (handle, F_SETFD, FD_CLOEXEC) != 0
                || ::fcntl (handle, F_SETFL, ::fcntl (handle, F_GETFL) | O_NONBLOCK) != 0))
        {
            ::close (handle);
            return -1;
        }

        return handle;
       #endif
    }

    int millisecondsUntil (Clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - Clock::now()).count();
        return left > 0 ? (int) left : 0;
    }

    // Waits for the connection to be made or refused, or for the deadline; a
    // signal only shortens one wait.
    bool connectionCompletes (int handle, Clock::time_point deadline)
    {
        for (;;)
        {
            pollfd request { handle, POLLOUT, 0 };
            const int ready = ::poll (&request, 1, millisecondsUntil (deadline));

            if (ready > 0)
                break;

            if (ready == 0 || errno != EINTR)
                return false;
        }

        int error = 0;
        socklen_t length = sizeof (error);
        return ::getsockopt (handle, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }

    bool sameEndpoint (const sockaddr_storage& a, const sockaddr_storage& b)
    {
        if (a.ss_family != b.ss_family)
            return false;

        if (a.ss_family == AF_INET)
        {
            const auto& x = reinterpret_cast<const sockaddr_in&> (a);
            const auto& y = reinterpret_cast<const sockaddr_in&> (b);
            return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
        }

        if (a.ss_family == AF_INET6)
        {
            const auto& x = reinterpret_cast<const sockaddr_in6&> (a);
            const auto& y = reinterpret_cast<const sockaddr_in6&> (b);
            return x.sin6_port == y.sin6_port
                     && std::memcmp (&x.sin6_addr, &y.sin6_addr, sizeof (x.sin6_addr)) == 0;
        }

        return false;
    }

    int connectTo (const Address& address, Clock::time_point deadline)
    {
        const int handle = openStreamSocket (address.storage.ss_family);

        if (handle < 0)
            return -1; // no IPv6 on this machine, or out of descriptors

        const bool started = ::connect (handle, reinterpret_cast<const sockaddr*> (&address.storage), address.length) == 0
                               || errno == EINPROGRESS || errno == EINTR;

        if (! started || ! connectionCompletes (handle, deadline))
        {
            ::close (handle);
            return -1;
        }

        if (LoopbackDial::discardIfConnectedToItself (handle))
            return -1;

        const int yes = 1;
        ::setsockopt (handle, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof (yes));
        ::setsockopt (handle, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof (bufferBytes));
        ::setsockopt (handle, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof (bufferBytes));
        return handle;
    }
}

int LoopbackDial::connect (int port, int timeoutMs)
{
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds (timeoutMs);

    // In the order in which a standard machine resolves "localhost", so a
    // companion listening on both sees the connection where it always did.
    // Neither address can be trusted to answer at once: ::1 may be dropped
    // without a word (an IPv6 firewall rule on lo, lo's IPv6 turned off),
    // and a loopback handshake may complete a moment after connect() returns
    // (receive packet steering, a userspace firewall judging each packet).
    // So ::1 has half of the attempt at most, and 127.0.0.1 whatever is left,
    // the whole attempt when ::1 refuses at once.
    struct Turn
    {
        Address address;
        Clock::time_point until;
    };

    const Turn turns[] = { { ipv6Loopback (port), start + (deadline - start) / 2 },
                           { ipv4Loopback (port), deadline } };

    for (const auto& turn : turns)
    {
        const int handle = connectTo (turn.address, turn.until);

        if (handle >= 0)
            return handle;
    }

    return -1;
}

bool LoopbackDial::discardIfConnectedToItself (int handle)
{
    sockaddr_storage own {}, peer {};
    socklen_t ownLength = sizeof (own), peerLength = sizeof (peer);

    if (::getsockname (handle, reinterpret_cast<sockaddr*> (&own), &ownLength) != 0
        || ::getpeername (handle, reinterpret_cast<sockaddr*> (&peer), &peerLength) != 0
        || ! sameEndpoint (own, peer))
        return false;

    // A zero linger time makes close() reset the connection instead of
    // ending it in TIME_WAIT, where it would hold the port for a minute.
    const linger abort { 1, 0 };
    ::setsockopt (handle, SOL_SOCKET, SO_LINGER, &abort, sizeof (abort));
    ::close (handle);
    return true;
}
