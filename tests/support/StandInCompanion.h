#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

/** A stand-in for the companion application, for tests and benchmarks: it
    listens on port 10000 of the loopback addresses (127.0.0.1, and ::1
    where the machine has it, or just one of them), parses the frames that arrive and records them. It can be told to stop
    reading, to drop or half-close its connections, to refuse by accepting
    and closing, and to send bytes of its own, lying headers included. Plain POSIX sockets, so it shares nothing with
    the code under test.
*/
class StandInCompanion
{
public:
    static constexpr uint32_t magic = 0xF2B49E2Cu;
    static constexpr int port = 10000;

    struct Frame
    {
        int connection = 0;
        std::vector<uint8_t> payload;
    };

    StandInCompanion();
    ~StandInCompanion();

    enum class Listen { onBothLoopbacks, onIPv4Only, onIPv6Only };

    /** Starts listening; false when the port cannot be bound (on
        onBothLoopbacks, on 127.0.0.1; ::1 is then taken where it exists). */
    bool start (Listen where = Listen::onBothLoopbacks);

    /** Whether this machine can listen on ::1 at all. */
    static bool hasIPv6Loopback();

    /** Closes the listeners and every connection and joins all threads. */
    void stop();

    bool isListening() const { return listening.load(); }

    /** While false the stand-in reads nothing, so the link's writes back up. */
    void setReading (bool shouldRead);

    /** While true every accepted connection is closed at once. */
    void setCloseOnAccept (bool shouldClose);

    /** When false, frames are counted and passed to onFrame but not kept. */
    void setKeepFrames (bool shouldKeep);

    /** Called on a connection's reading thread for each complete frame. */
    void setOnFrame (std::function<void (const Frame&)> callback);

    /** Closes every open connection (the link sees a loss). */
    void closeConnections();

    /** Shuts the sending side of every open connection and keeps it open:
        with reading off, a peer that half-closed and never reads again. */
    void halfCloseConnections();

    /** Writes raw bytes to every open connection; false if any write fails. */
    bool sendToAll (const std::vector<uint8_t>& bytes);

    /** The 8 bytes of a frame header, announcing any length at all. */
    static std::vector<uint8_t> header (uint32_t payloadLength, uint32_t magicNumber = magic);

    /** A frame with the link's header around the payload. */
    static std::vector<uint8_t> framed (const std::vector<uint8_t>& payload, uint32_t magicNumber = magic);

    /** Threads the stand-in runs right now (acceptor and connection readers). */
    int liveThreads() const;

    int connectionsAccepted() const;
    int openConnections() const;
    size_t frameCount() const;
    std::vector<Frame> frames() const;
    void clearFrames();

    /** Every byte received on one connection, in order (kept only while frames are kept). */
    std::vector<uint8_t> rawBytes (int connection) const;

    /** True when a header with another magic number arrived. */
    bool sawBadFrame() const;

    bool waitForFrames (size_t count, int timeoutMs) const;
    bool waitForConnections (int count, int timeoutMs) const;
    bool waitForOpenConnections (int count, int timeoutMs) const;

private:
    struct Connection;

    void acceptLoop();
    void readLoop (Connection& connection);
    void closeConnection (Connection& connection);
    void finishConnection (Connection& connection);
    std::vector<Connection*> openNow() const;

    template <typename Predicate>
    bool waitFor (Predicate predicate, int timeoutMs) const;

    std::vector<int> listeners;
    std::thread acceptThread;
    std::atomic<bool> listening { false };
    std::atomic<bool> stopping { false };
    std::atomic<bool> reading { true };
    std::atomic<bool> closeOnAccept { false };
    std::atomic<bool> keepFrames { true };

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<Frame> received;
    size_t framesSeen = 0;
    int accepted = 0;
    bool badFrame = false;
    std::function<void (const Frame&)> onFrame;
};
