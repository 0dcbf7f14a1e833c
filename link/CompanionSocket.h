#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <memory>

/** One TCP connection to the companion application, shared by the threads
    that use it (the sending thread writes, the reader reads, either may end
    it). Its descriptor is closed only when the last owner lets go, so no
    thread ever reads or writes a descriptor that was closed and reused under
    it: ending the connection shuts the socket down instead, which wakes
    whoever waits on it.
*/
class CompanionSocket
{
public:
    /** Called on the dialling thread. Dials port on this machine's loopback
        addresses (see LoopbackDial); null when nothing answered within
        timeoutMs. */
    static std::shared_ptr<CompanionSocket> dial (int port, int timeoutMs);

    /** Called on the sending thread only. Writes all of header, then all of
        payload, waiting for room while the companion reads slowly. Returns
        false once the socket has been shut down or a write fails, whatever
        part of the frame went out: the caller must then end the connection,
        since the companion would read whatever follows as a broken frame. */
    bool writeAll (const void* header, size_t headerSize, const void* payload, size_t payloadSize);

    /** Called on the reader thread only. Waits a short while (50 ms at most)
        for bytes and reads what is there into buffer: the count read, 0 when
        nothing came, or -1 once the companion closed its side or the socket
        failed or was shut down. */
    int readSome (void* buffer, size_t size);

    /** Any thread, any number of times: makes every later read and write
        fail and wakes one in progress within a wait slice. */
    void shutDown();

    /** Takes over a connected socket's descriptor. */
    explicit CompanionSocket (int connectedHandle) noexcept : handle (connectedHandle) {}

    /** Closes the descriptor: runs on whichever thread lets go last. */
    ~CompanionSocket();

private:
    const int handle;
    std::atomic<bool> isShutDown { false };

    JUCE_DECLARE_NON_COPYABLE (CompanionSocket)
};
