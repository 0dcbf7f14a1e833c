#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

    /** Has receive packet steering hand what arrives on this namespace's
        loopback to the backlogs of the CPUs in cpuMask (hexadecimal, as
        rps_cpus takes it), as on machines that spread the network's work
        over their CPUs: a loopback handshake then completes on another CPU a
        moment after connect() returns, not within it. Call it on the thread
        that made the namespace. Returns an empty string, or what failed. */
    static std::string steerLoopbackReceiving (const std::string& cpuMask)
    {
        // sysfs shows the network devices of the namespace it was mounted
        // in, so a sysfs of this namespace's own is mounted, in a mount
        // namespace of its own, where nothing else sees it; the setting
        // belongs to the device and outlives the mount. A child process does
        // it: unsharing the mounts here would unshare this thread's file
        // system context (CLONE_FS) from the rest of the process. Forked
        // from this thread, the child is in this thread's network namespace.
        static const char* const steps[] = { "", "unshare the mounts", "keep the mounts private",
                                             "mount sysfs", "open rps_cpus", "write rps_cpus" };
        struct Failure { int step = 0, error = 0; };

        int report[2];

        if (::pipe2 (report, O_CLOEXEC) != 0)
            return std::string ("pipe: ") + std::strerror (errno);

        const char* const mask = cpuMask.c_str();
        const auto maskLength = (ssize_t) cpuMask.size();
        const pid_t child = ::fork();

        if (child == 0)
        {
            // System calls only from here: other threads of the parent may
            // have held locks that the child will never see released.
            Failure failure;
            int fd = -1;

            if (::unshare (CLONE_NEWNS) != 0)
                failure.step = 1;
            else if (::mount (nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                failure.step = 2;
            else if (::mount ("sysfs", "/sys", "sysfs", 0, nullptr) != 0)
                failure.step = 3;
            else if ((fd = ::open ("/sys/class/net/lo/queues/rx-0/rps_cpus", O_WRONLY | O_CLOEXEC)) < 0)
                failure.step = 4;
            else if (::write (fd, mask, (size_t) maskLength) != maskLength)
                failure.step = 5;

            failure.error = errno;

            if (failure.step != 0)
                (void) ::write (report[1], &failure, sizeof (failure));

            ::_exit (failure.step);
        }

        ::close (report[1]);

        if (child < 0)
        {
            ::close (report[0]);
            return std::string ("fork: ") + std::strerror (errno);
        }

        Failure failure;
        const bool reported = ::read (report[0], &failure, sizeof (failure)) == (ssize_t) sizeof (failure);
        ::close (report[0]);

        int status = 0;
        while (::waitpid (child, &status, 0) < 0 && errno == EINTR) {}

        if (reported)
            return std::string (steps[failure.step]) + ": " + std::strerror (failure.error);

        if (! WIFEXITED (status) || WEXITSTATUS (status) != 0)
            return "the child that sets rps_cpus did not finish";

        return {};
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
