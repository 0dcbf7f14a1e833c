#include "StandInCompanion.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/file.h>
#include <fcntl.h>

#include <chrono>
#include <cstring>

struct StandInCompanion::Connection
{
    int index = 0;
    std::atomic<int> fd { -1 };
    std::atomic<bool> open { true };
    std::atomic<bool> reading { true };
    std::vector<uint8_t> pending;
    std::vector<uint8_t> raw;
    std::thread thread;
    std::mutex writeMutex;
};

namespace
{
    int makeListener (int family)
    {
        const int fd = ::socket (family, SOCK_STREAM, 0);

        if (fd < 0)
            return -1;

        const int yes = 1;
        ::setsockopt (fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof (yes));

        int result = -1;

        if (family == AF_INET)
        {
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_port = htons ((uint16_t) StandInCompanion::port);
            address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
            result = ::bind (fd, (sockaddr*) &address, sizeof (address));
        }
        else
        {
            ::setsockopt (fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof (yes));
            sockaddr_in6 address {};
            address.sin6_family = AF_INET6;
            address.sin6_port = htons ((uint16_t) StandInCompanion::port);
            address.sin6_addr = in6addr_loopback;
            result = ::bind (fd, (sockaddr*) &address, sizeof (address));
        }

        if (result != 0 || ::listen (fd, 16) != 0)
        {
            ::close (fd);
            return -1;
        }

        return fd;
    }

    uint32_t readLittleEndian32 (const uint8_t* bytes)
    {
        return (uint32_t) bytes[0] | ((uint32_t) bytes[1] << 8) | ((uint32_t) bytes[2] << 16) | ((uint32_t) bytes[3] << 24);
    }
}

namespace
{
    // Port 10000 is one per machine: test programs that run side by side
    // (several build trees, a benchmark) take turns through a file lock, held
    // for as long as any stand-in of the process exists.
    std::mutex portLockMutex;
    int portLockUsers = 0;
    int portLockFile = -1;

    void acquirePortLock()
    {
        std::lock_guard<std::mutex> lock (portLockMutex);

        if (portLockUsers++ == 0)
        {
            portLockFile = ::open ("/tmp/vestrano-port-10000.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);

            if (portLockFile >= 0)
                ::flock (portLockFile, LOCK_EX);
        }
    }

    void releasePortLock()
    {
        std::lock_guard<std::mutex> lock (portLockMutex);

        if (--portLockUsers == 0 && portLockFile >= 0)
        {
            ::flock (portLockFile, LOCK_UN);
            ::close (portLockFile);
            portLockFile = -1;
        }
    }
}

StandInCompanion::StandInCompanion()
{
    acquirePortLock();
}

StandInCompanion::~StandInCompanion()
{
    stop();
    releasePortLock();
}

bool StandInCompanion::hasIPv6Loopback()
{
    const int fd = ::socket (AF_INET6, SOCK_STREAM, 0);

    if (fd < 0)
        return false;

    sockaddr_in6 address {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = ::bind (fd, (sockaddr*) &address, sizeof (address)) == 0;
    ::close (fd);
    return bound;
}

bool StandInCompanion::start (Listen where)
{
    if (listening)
        return true;

    // A listener of an earlier run may still be closing; give it a moment.
    auto listenPatiently = [] (int family)
    {
        int fd = -1;

        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt)
        {
            fd = makeListener (family);

            if (fd < 0)
                std::this_thread::sleep_for (std::chrono::milliseconds (50));
        }

        return fd;
    };

    const int first = listenPatiently (where == Listen::onIPv6Only ? AF_INET6 : AF_INET);

    if (first < 0)
        return false;

    listeners.push_back (first);

    if (where == Listen::onBothLoopbacks && hasIPv6Loopback())
    {
        const int v6 = makeListener (AF_INET6);

        if (v6 >= 0)
            listeners.push_back (v6);
    }

    stopping = false;
    listening = true;
    acceptThread = std::thread ([this] { acceptLoop(); });
    return true;
}

void StandInCompanion::stop()
{
    stopping = true;

    if (acceptThread.joinable())
        acceptThread.join();

    for (int fd : listeners)
        ::close (fd);

    listeners.clear();
    listening = false;

    closeConnections();

    std::vector<std::unique_ptr<Connection>> finished;

    {
        std::lock_guard<std::mutex> lock (mutex);
        finished.swap (connections);
    }

    for (auto& connection : finished)
        if (connection->thread.joinable())
            connection->thread.join();

    // Earlier connections keep their recorded bytes for the test to inspect.
    std::lock_guard<std::mutex> lock (mutex);

    for (auto& connection : finished)
        connections.push_back (std::move (connection));
}

void StandInCompanion::acceptLoop()
{
    std::vector<pollfd> fds;

    for (int fd : listeners)
        fds.push_back ({ fd, POLLIN, 0 });

    while (! stopping)
    {
        if (::poll (fds.data(), (nfds_t) fds.size(), 10) <= 0)
            continue;

        for (auto& p : fds)
        {
            if ((p.revents & POLLIN) == 0)
                continue;

            const int client = ::accept (p.fd, nullptr, nullptr);

            if (client < 0)
                continue;

            if (closeOnAccept)
            {
                std::lock_guard<std::mutex> lock (mutex);
                ++accepted;
                ::close (client);
                changed.notify_all();
                continue;
            }

            std::lock_guard<std::mutex> lock (mutex);
            auto connection = std::make_unique<Connection>();
            connection->index = accepted++;
            connection->fd = client;
            auto* raw = connection.get();
            connections.push_back (std::move (connection));
            raw->thread = std::thread ([this, raw] { readLoop (*raw); });
            changed.notify_all();
        }
    }
}

void StandInCompanion::readLoop (Connection& connection)
{
    std::vector<uint8_t> chunk (1 << 16);

    while (connection.open && ! stopping)
    {
        if (! reading)
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (2));
            continue;
        }

        pollfd p { connection.fd.load(), POLLIN, 0 };

        if (p.fd < 0 || ::poll (&p, 1, 10) <= 0)
            continue;

        const auto bytesRead = ::recv (p.fd, chunk.data(), chunk.size(), 0);

        if (bytesRead <= 0)
            break;

        auto& pending = connection.pending;
        pending.insert (pending.end(), chunk.begin(), chunk.begin() + bytesRead);

        std::vector<Frame> complete;
        size_t offset = 0;
        bool mismatch = false;

        while (pending.size() - offset >= 8)
        {
            const auto* header = pending.data() + offset;

            if (readLittleEndian32 (header) != magic)
            {
                mismatch = true;
                break;
            }

            const auto length = (size_t) readLittleEndian32 (header + 4);

            if (pending.size() - offset - 8 < length)
                break;

            Frame frame;
            frame.connection = connection.index;
            frame.payload.assign (header + 8, header + 8 + length);
            complete.push_back (std::move (frame));
            offset += 8 + length;
        }

        std::function<void (const Frame&)> callback;

        {
            std::lock_guard<std::mutex> lock (mutex);
            callback = onFrame;
        }

        for (auto& frame : complete)
            if (callback)
                callback (frame);

        {
            std::lock_guard<std::mutex> lock (mutex);

            if (keepFrames)
            {
                connection.raw.insert (connection.raw.end(), chunk.begin(), chunk.begin() + bytesRead);

                for (auto& frame : complete)
                    received.push_back (std::move (frame));
            }

            framesSeen += complete.size();
            badFrame = badFrame || mismatch;
            changed.notify_all();
        }

        if (mismatch)
            pending.clear();
        else
            pending.erase (pending.begin(), pending.begin() + (std::ptrdiff_t) offset);
    }

    finishConnection (connection);
    connection.reading = false;
}

void StandInCompanion::closeConnection (Connection& connection)
{
    // Only the connection's own reader closes the descriptor, so it is never
    // reused under a poll() still running on it.
    connection.open = false;
    const int fd = connection.fd.load();

    if (fd >= 0)
        ::shutdown (fd, SHUT_RDWR);

    std::lock_guard<std::mutex> lock (mutex);
    changed.notify_all();
}

void StandInCompanion::finishConnection (Connection& connection)
{
    {
        std::lock_guard<std::mutex> writeLock (connection.writeMutex);
        const int fd = connection.fd.exchange (-1);

        if (fd >= 0)
        {
            ::shutdown (fd, SHUT_RDWR);
            ::close (fd);
        }
    }

    closeConnection (connection);
}

void StandInCompanion::setReading (bool shouldRead)          { reading = shouldRead; }
void StandInCompanion::setCloseOnAccept (bool shouldClose)   { closeOnAccept = shouldClose; }
void StandInCompanion::setKeepFrames (bool shouldKeep)       { keepFrames = shouldKeep; }

void StandInCompanion::setOnFrame (std::function<void (const Frame&)> callback)
{
    std::lock_guard<std::mutex> lock (mutex);
    onFrame = std::move (callback);
}

std::vector<StandInCompanion::Connection*> StandInCompanion::openNow() const
{
    std::lock_guard<std::mutex> lock (mutex);
    std::vector<Connection*> open;

    for (auto& connection : connections)
        if (connection->open)
            open.push_back (connection.get());

    return open;
}

void StandInCompanion::closeConnections()
{
    for (auto* connection : openNow())
        closeConnection (*connection);
}

void StandInCompanion::halfCloseConnections()
{
    for (auto* connection : openNow())
    {
        std::lock_guard<std::mutex> writeLock (connection->writeMutex);
        const int fd = connection->fd.load();

        if (fd >= 0)
            ::shutdown (fd, SHUT_WR);
    }
}

bool StandInCompanion::sendToAll (const std::vector<uint8_t>& bytes)
{
    const auto open = openNow();
    bool allWritten = ! open.empty();

    for (auto* connection : open)
    {
        std::lock_guard<std::mutex> writeLock (connection->writeMutex);
        const int fd = connection->fd.load();
        allWritten = allWritten && fd >= 0
                       && ::send (fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t) bytes.size();
    }

    return allWritten;
}

std::vector<uint8_t> StandInCompanion::header (uint32_t payloadLength, uint32_t magicNumber)
{
    std::vector<uint8_t> bytes;

    for (uint32_t value : { magicNumber, payloadLength })
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back ((uint8_t) (value >> shift));

    return bytes;
}

std::vector<uint8_t> StandInCompanion::framed (const std::vector<uint8_t>& payload, uint32_t magicNumber)
{
    auto bytes = header ((uint32_t) payload.size(), magicNumber);
    bytes.insert (bytes.end(), payload.begin(), payload.end());
    return bytes;
}

int StandInCompanion::liveThreads() const
{
    std::lock_guard<std::mutex> lock (mutex);
    int count = listening ? 1 : 0;

    for (auto& connection : connections)
        count += connection->reading ? 1 : 0;

    return count;
}

int StandInCompanion::connectionsAccepted() const
{
    std::lock_guard<std::mutex> lock (mutex);
    return accepted;
}

int StandInCompanion::openConnections() const
{
    std::lock_guard<std::mutex> lock (mutex);
    int count = 0;

    for (auto& connection : connections)
        count += connection->open ? 1 : 0;

    return count;
}

size_t StandInCompanion::frameCount() const
{
    std::lock_guard<std::mutex> lock (mutex);
    return framesSeen;
}

std::vector<StandInCompanion::Frame> StandInCompanion::frames() const
{
    std::lock_guard<std::mutex> lock (mutex);
    return received;
}

void StandInCompanion::clearFrames()
{
    std::lock_guard<std::mutex> lock (mutex);
    received.clear();
    framesSeen = 0;
}

std::vector<uint8_t> StandInCompanion::rawBytes (int connection) const
{
    std::lock_guard<std::mutex> lock (mutex);

    for (auto& c : connections)
        if (c->index == connection)
            return c->raw;

    return {};
}

bool StandInCompanion::sawBadFrame() const
{
    std::lock_guard<std::mutex> lock (mutex);
    return badFrame;
}

template <typename Predicate>
bool StandInCompanion::waitFor (Predicate predicate, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock (mutex);
    return changed.wait_for (lock, std::chrono::milliseconds (timeoutMs), predicate);
}

bool StandInCompanion::waitForFrames (size_t count, int timeoutMs) const
{
    return waitFor ([&] { return framesSeen >= count; }, timeoutMs);
}

bool StandInCompanion::waitForConnections (int count, int timeoutMs) const
{
    return waitFor ([&] { return accepted >= count; }, timeoutMs);
}

bool StandInCompanion::waitForOpenConnections (int count, int timeoutMs) const
{
    return waitFor ([&]
    {
        int open = 0;

        for (auto& connection : connections)
            open += connection->open ? 1 : 0;

        return open >= count;
    }, timeoutMs);
}
