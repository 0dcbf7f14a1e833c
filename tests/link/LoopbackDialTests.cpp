#include "LinkTestSupport.h"
#include "LoopbackDial.h"
#include "PrivateNetwork.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

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

    enum class DialOutcome { connected, refused, pending };

    // One non-blocking dial, given waitMs to be made or refused.
    DialOutcome dialOnce (int family, int port, int waitMs)
    {
        const int fd = ::socket (family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);

        if (fd < 0)
            return DialOutcome::refused;

        auto address = loopback (family, port);
        auto outcome = DialOutcome::refused;

        if (::connect (fd, (sockaddr*) &address, lengthOf (family)) == 0)
        {
            outcome = DialOutcome::connected;
        }
        else if (errno == EINPROGRESS)
        {
            pollfd request { fd, POLLOUT, 0 };
            outcome = DialOutcome::pending;

            if (::poll (&request, 1, waitMs) > 0)
            {
                int error = 0;
                socklen_t length = sizeof (error);
                ::getsockopt (fd, SOL_SOCKET, SO_ERROR, &error, &length);
                outcome = error == 0 ? DialOutcome::connected : DialOutcome::refused;
            }
        }

        ::close (fd);
        return outcome;
    }

    // Of count dials to a listener on 127.0.0.1, how many were made by the
    // time connect() returned.
    int handshakesMadeWithinConnect (int count)
    {
        const int listener = ::socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto address = loopback (AF_INET, 0);
        socklen_t length = sizeof (address);
        int made = 0;

        if (listener >= 0 && ::bind (listener, (sockaddr*) &address, lengthOf (AF_INET)) == 0
            && ::listen (listener, count) == 0 && ::getsockname (listener, (sockaddr*) &address, &length) == 0)
        {
            for (int i = 0; i < count; ++i)
                made += dialOnce (AF_INET, portOf (address), 0) == DialOutcome::connected ? 1 : 0;
        }

        if (listener >= 0)
            ::close (listener);

        return made;
    }

    // The CPUs this process may run on, as rps_cpus takes them: hexadecimal,
    // in groups of 32 CPUs separated by commas, the highest first.
    std::string cpusOfThisProcess()
    {
        cpu_set_t cpus;
        CPU_ZERO (&cpus);

        if (::sched_getaffinity (0, sizeof (cpus), &cpus) != 0)
            return "1";

        std::string mask;

        for (int group = CPU_SETSIZE / 32 - 1; group >= 0; --group)
        {
            unsigned bits = 0;

            for (unsigned bit = 0; bit < 32; ++bit)
                bits |= CPU_ISSET ((size_t) group * 32 + bit, &cpus) ? 1u << bit : 0u;

            if (bits == 0 && mask.empty() && group > 0)
                continue;

            char digits[10];
            std::snprintf (digits, sizeof (digits), mask.empty() ? "%x" : ",%08x", bits);
            mask += digits;
        }

        return mask;
    }

    // A listener on [::1] whose accept queue is full and never emptied: the
    // kernel drops every further SYN there, so a dial to ::1 is neither made
    // nor refused, as behind a firewall rule that drops IPv6 on the loopback.
    class UnansweredIPv6Loopback
    {
    public:
        explicit UnansweredIPv6Loopback (int port)
        {
            listener = ::socket (AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int yes = 1;
            auto address = loopback (AF_INET6, port);

            if (listener < 0
                || ::setsockopt (listener, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof (yes)) != 0
                || ::bind (listener, (sockaddr*) &address, lengthOf (AF_INET6)) != 0
                || ::listen (listener, 0) != 0)
                return;

            listening = true;

            // With SYN cookies on (the default), a backlog of 0 still queues
            // one connection, which fills it; without them every SYN is
            // dropped already, and the wait below runs out. The dialler sees
            // its connection made before the listener has queued it (the
            // last ACK may still be on its way), so the wait is for the
            // listener: until then, it would answer one more SYN.
            queued = ::socket (AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);

            if (queued >= 0 && (::connect (queued, (sockaddr*) &address, lengthOf (AF_INET6)) == 0 || errno == EINPROGRESS))
            {
                pollfd request { listener, POLLIN, 0 };
                ::poll (&request, 1, 500);
            }
        }

        ~UnansweredIPv6Loopback()
        {
            for (int fd : { queued, listener })
                if (fd >= 0)
                    ::close (fd);
        }

        bool isListening() const { return listening; }

    private:
        int listener = -1, queued = -1;
        bool listening = false;

        JUCE_DECLARE_NON_COPYABLE (UnansweredIPv6Loopback)
    };

    // A network of the test's own whose loopback handshakes complete a
    // moment after connect() returns, as they do where receive packet
    // steering spreads the loopback over the CPUs or a userspace firewall
    // passes judgement on each packet.
    class DiallingWhereTheHandshakeTakesAMoment : public LinkThreadsTest
    {
    protected:
        void SetUp() override
        {
            LinkThreadsTest::SetUp();
            network.emplace();

            if (! network->ready())
                GTEST_SKIP() << "needs a network namespace of its own (run as root) to steer its loopback: " << network->whyNot();

            if (! StandInCompanion::hasIPv6Loopback())
                GTEST_SKIP() << "this machine has no IPv6 loopback (::1 cannot be bound), so there is no ::1 to wait on";

            const auto problem = PrivateNetwork::steerLoopbackReceiving (cpusOfThisProcess());

            if (! problem.empty())
                GTEST_SKIP() << "cannot turn on receive packet steering on the loopback: " << problem;

            const int dials = 20;

            if (handshakesMadeWithinConnect (dials) == dials)
                GTEST_SKIP() << "every loopback handshake still completes within connect() (a single CPU?)";
        }

        void TearDown() override
        {
            LinkThreadsTest::TearDown();
            network.reset();
        }

        std::optional<PrivateNetwork> network;
    };

    // An attempt lasts 100 ms and failed ones are 300 ms apart: three
    // attempts with time to spare.
    constexpr int withinThreeAttemptsMs = 1000;

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

TEST_F (DiallingWhereTheHandshakeTakesAMoment, AnUnansweredIPv6LoopbackLeavesIPv4LoopbackItsShareOfEachAttempt)
{
    UnansweredIPv6Loopback dropped (StandInCompanion::port);
    ASSERT_TRUE (dropped.isListening());
    ASSERT_EQ (dialOnce (AF_INET6, StandInCompanion::port, 200), DialOutcome::pending) << "::1 answers";
    ASSERT_TRUE (companion.start (StandInCompanion::Listen::onIPv4Only));

    auto start = Clock::now();
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (pumpUntil ([&] { return link->isConnected() && companion.openConnections() == 1; }, withinThreeAttemptsMs))
        << "the wait on ::1 took the attempts' time from 127.0.0.1";
    RecordProperty ("connection_ms", (int) millisecondsSince (start));
    sendBlocks (*link, 10);
    EXPECT_TRUE (companion.waitForFrames (10, 5000));

    // The redial after a loss meets the same ::1.
    start = Clock::now();
    companion.closeConnections();
    ASSERT_TRUE (pumpUntil ([&]
    {
        return companion.connectionsAccepted() == 2 && link->isConnected() && companion.openConnections() == 1;
    }, withinThreeAttemptsMs)) << "the redial after a loss";
    RecordProperty ("reconnection_ms", (int) millisecondsSince (start));
    sendBlocks (*link, 10, 64, 10);
    EXPECT_TRUE (companion.waitForFrames (20, 5000));
    EXPECT_FALSE (companion.sawBadFrame());

    link = nullptr;
}

TEST_F (DiallingWhereTheHandshakeTakesAMoment, ACompanionOnBothLoopbacksSeesOneConnectionOnIPv6)
{
    ASSERT_TRUE (companion.start (StandInCompanion::Listen::onBothLoopbacks));

    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));
    pumpFor (300); // long enough to accept a second connection, had one been dialled

    EXPECT_EQ (companion.connectionsAccepted(), 1);
    const auto sockets = socketsConnectedToPort (StandInCompanion::port);
    ASSERT_EQ (sockets.size(), 1u);

    sockaddr_storage peer {};
    socklen_t length = sizeof (peer);
    ASSERT_EQ (::getpeername (sockets[0], (sockaddr*) &peer, &length), 0);
    EXPECT_EQ (peer.ss_family, AF_INET6) << "reached on 127.0.0.1, not where a companion on both always saw it";

    link = nullptr;
}
