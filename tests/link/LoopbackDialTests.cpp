#include "LinkTestSupport.h"
#include "LoopbackDial.h"
#include "PrivateNetwork.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace LinkTestSupport;

namespace
{
    // How the link meets the machine: the addresses it dials, a port range
    // that includes the companion's, and the processes the host starts.
    using LoopbackDialling = LinkThreadsTest;

    sockaddr_storage loopback (int family, int port)
    {
        sockaddr_storage address {};

        if (family == AF_INET)
        {
            auto& in = reinterpret_cast<sockaddr_in&> (address);
            in.sin_family = AF_INET;
            in.sin_port = htons ((uint16_t) port);
            in.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
        }
        else
        {
            auto& in6 = reinterpret_cast<sockaddr_in6&> (address);
            in6.sin6_family = AF_INET6;
            in6.sin6_port = htons ((uint16_t) port);
            in6.sin6_addr = in6addr_loopback;
        }

        return address;
    }

    socklen_t lengthOf (int family)
    {
        return family == AF_INET ? sizeof (sockaddr_in) : sizeof (sockaddr_in6);
    }

    int portOf (const sockaddr_storage& address)
    {
        return address.ss_family == AF_INET ? ntohs (reinterpret_cast<const sockaddr_in&> (address).sin_port)
                                            : ntohs (reinterpret_cast<const sockaddr_in6&> (address).sin6_port);
    }

    // A plain bind, without SO_REUSEADDR, as a companion may make it: it
    // fails while anything, TIME_WAIT included, still holds the port.
    bool bindsPlainly (int family, int port)
    {
        const int fd = ::socket (family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto address = loopback (family, port);
        const bool bound = fd >= 0 && ::bind (fd, (sockaddr*) &address, lengthOf (family)) == 0;

        if (fd >= 0)
            ::close (fd);

        return bound;
    }

    // The descriptors of this process's TCP sockets whose peer is port.
    std::vector<int> socketsConnectedToPort (int port)
    {
        std::vector<int> found;

        if (auto* dir = ::opendir ("/proc/self/fd"))
        {
            while (auto* entry = ::readdir (dir))
            {
                if (entry->d_name[0] == '.')
                    continue;

                const int fd = std::atoi (entry->d_name);
                sockaddr_storage peer {};
                socklen_t length = sizeof (peer);

                if (::getpeername (fd, (sockaddr*) &peer, &length) == 0
                    && (peer.ss_family == AF_INET || peer.ss_family == AF_INET6) && portOf (peer) == port)
                    found.push_back (fd);
            }

            ::closedir (dir);
        }

        return found;
    }

    void expectReachedOn (StandInCompanion& companion, StandInCompanion::Listen where)
    {
        ASSERT_TRUE (companion.start (where));
        AppLink::Ptr link (new AppLink (48000));
        ASSERT_TRUE (bothEndsConnected (*link, companion));

        sendBlocks (*link, 10);
        EXPECT_TRUE (companion.waitForFrames (10, 5000));
        EXPECT_FALSE (companion.sawBadFrame());
    }
}

TEST_F (LoopbackDialling, ACompanionOnIPv4LoopbackAloneIsReached)
{
    expectReachedOn (companion, StandInCompanion::Listen::onIPv4Only);
}

TEST_F (LoopbackDialling, ACompanionOnIPv6LoopbackAloneIsReached)
{
    if (! StandInCompanion::hasIPv6Loopback())
        GTEST_SKIP() << "this machine has no IPv6 loopback (::1 cannot be bound), so no companion can listen there";

    expectReachedOn (companion, StandInCompanion::Listen::onIPv6Only);
}

TEST_F (LoopbackDialling, TheLinksSocketIsNotInheritedByProcessesTheHostStarts)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));

    const auto sockets = socketsConnectedToPort (StandInCompanion::port);
    ASSERT_EQ (sockets.size(), 1u) << "the link's one connection to the companion";
    EXPECT_NE (::fcntl (sockets[0], F_GETFD) & FD_CLOEXEC, 0) << "close-on-exec";
}

TEST_F (LoopbackDialling, ASocketConnectedToItselfIsDiscardedAndLeavesItsPortFree)
{
    for (int family : { AF_INET, AF_INET6 })
    {
        if (family == AF_INET6 && ! StandInCompanion::hasIPv6Loopback())
            continue;

        SCOPED_TRACE (family == AF_INET ? "127.0.0.1" : "::1");

        // Bound to a loopback port and dialling that same address: Linux
        // completes a simultaneous open, as a dial does on its own where the
        // ephemeral ports include the companion's.
        const int self = ::socket (family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE (self, 0);
        auto address = loopback (family, 0);
        ASSERT_EQ (::bind (self, (sockaddr*) &address, lengthOf (family)), 0);
        socklen_t length = sizeof (address);
        ASSERT_EQ (::getsockname (self, (sockaddr*) &address, &length), 0);
        const int port = portOf (address);
        ASSERT_EQ (::connect (self, (sockaddr*) &address, length), 0) << "no simultaneous open here";

        EXPECT_TRUE (LoopbackDial::discardIfConnectedToItself (self));
        EXPECT_EQ (::fcntl (self, F_GETFD), -1) << "closed";
        EXPECT_TRUE (bindsPlainly (family, port)) << "an ordinary close leaves the port in TIME_WAIT";

        // A real connection is kept.
        const int listener = ::socket (family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto listening = loopback (family, 0);
        ASSERT_EQ (::bind (listener, (sockaddr*) &listening, lengthOf (family)), 0);
        ASSERT_EQ (::listen (listener, 1), 0);
        length = sizeof (listening);
        ASSERT_EQ (::getsockname (listener, (sockaddr*) &listening, &length), 0);

        const int client = ::socket (family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ (::connect (client, (sockaddr*) &listening, length), 0);
        EXPECT_FALSE (LoopbackDial::discardIfConnectedToItself (client));
        EXPECT_NE (::fcntl (client, F_GETFD), -1) << "still open";

        ::close (client);
        ::close (listener);
    }
}

TEST_F (LoopbackDialling, WithEveryEphemeralPortOnTheCompanionsTheLinkNeverConnectsToItself)
{
    PrivateNetwork network;

    if (! network.ready())
        GTEST_SKIP() << "needs a network namespace of its own (run as root) to tune the port range: " << network.whyNot();

    // Tuned machines hand out ports from 1024 to 65535; this leaves the
    // companion's port as the only one a dial can take.
    ASSERT_TRUE (PrivateNetwork::setEphemeralPorts (StandInCompanion::port, StandInCompanion::port));
    threadsBefore = countThreads();

    AppLink::Ptr link (new AppLink (48000));
    EXPECT_FALSE (pumpUntil ([&] { return link->isConnected(); }, 1300)) << "connected to itself";
    EXPECT_EQ (countThreads(), threadsBefore + 2) << "the sender and a worker still dialling";

    // A companion that starts now can have its port, whatever the failed
    // attempts did with it (a dial may hold it for a moment, TIME_WAIT would
    // hold it for a minute).
    EXPECT_TRUE (pumpUntil ([] { return bindsPlainly (AF_INET, StandInCompanion::port); }, 1000));

    if (StandInCompanion::hasIPv6Loopback())
    {
        EXPECT_TRUE (pumpUntil ([] { return bindsPlainly (AF_INET6, StandInCompanion::port); }, 1000));
    }

    // The worker went on dialling: with ports to spare again, it finds the
    // companion.
    ASSERT_TRUE (PrivateNetwork::setEphemeralPorts (32768, 60999));
    ASSERT_TRUE (companion.start());
    ASSERT_TRUE (bothEndsConnected (*link, companion));
    sendBlocks (*link, 10);
    EXPECT_TRUE (companion.waitForFrames (10, 5000));

    link = nullptr;
    companion.stop();
}
