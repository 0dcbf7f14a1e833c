#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

/** Moves the calling thread into a network namespace of its own, with its
    loopback up, for as long as it lives; threads started from it meanwhile
    (a link's, a stand-in's) live there too. Lets a test tune what is
    machine-wide otherwise, such as the ephemeral port range, beside
    everything else that runs. Needs root; ready() says whether it worked. */
class PrivateNetwork
{
public:
    PrivateNetwork()
    {
        original = ::open ("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);

        if (original < 0 || ::unshare (CLONE_NEWNET) != 0)
        {
            problem = std::strerror (errno);
            return;
        }

        entered = true;

        if (! bringLoopbackUp())
            problem = std::string ("cannot bring the loopback up: ") + std::strerror (errno);
    }

    ~PrivateNetwork()
    {
        if (entered)
            ::setns (original, CLONE_NEWNET);

        if (original >= 0)
            ::close (original);
    }

    bool ready() const { return entered && problem.empty(); }
    const std::string& whyNot() const { return problem; }

    /** The ports that outgoing connections take their own port from. */
    static bool setEphemeralPorts (int low, int high)
    {
        std::ofstream range ("/proc/sys/net/ipv4/ip_local_port_range");
        range << low << ' ' << high << '\n';
        range.close();
        return range.good();
    }

private:
    static bool bringLoopbackUp()
    {
        const int fd = ::socket (AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);

        if (fd < 0)
            return false;

        ifreq request {};
        std::strncpy (request.ifr_name, "lo", IFNAMSIZ - 1);

        bool up = ::ioctl (fd, SIOCGIFFLAGS, &request) == 0;

        if (up)
        {
            request.ifr_flags = (short) (request.ifr_flags | IFF_UP);
            up = ::ioctl (fd, SIOCSIFFLAGS, &request) == 0;
        }

        ::close (fd);
        return up;
    }

    int original = -1;
    bool entered = false;
    std::string problem;
};
