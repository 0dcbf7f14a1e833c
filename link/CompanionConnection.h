#pragma once

#include "CallbackGate.h"
#include "CompanionSocket.h"
#include "ConnectionReader.h"

#include <juce_events/juce_events.h>

#include <atomic>
#include <memory>
#include <mutex>

/** The link's framed TCP connection to the companion application, with the
    callbacks of juce::InterprocessConnection (made and lost, on the message
    thread, each connection's loss reported once and only after its making)
    but none of its ways to hang or swell: no lock is ever held across a
    write, a frame is written whole or the connection ends, and what the
    companion sends is passed over without being stored.

    A derived class calls stopCallbacks() and then disconnect() in its own
    destructor, with no dial in progress.
*/
class CompanionConnection
{
public:
    enum class Notify { no, yes };

    explicit CompanionConnection (juce::uint32 magicNumber);
    virtual ~CompanionConnection();

    /** Called on the dialling thread. Drops whatever connection stood, then
        dials port on this machine's loopback addresses; on success posts
        connectionMade and starts the reader. */
    bool connectToLoopback (int port, int timeoutMs);

    /** Any thread; wait-free. True from a successful dial until the
        connection ends, whoever ends it. */
    bool isConnected() const noexcept { return connected.load(); }

    /** Called on the sending thread only. Writes the frame header and the
        payload whole; on any failure the connection ends (its loss is
        reported), so a broken frame is never followed by another. */
    bool sendMessage (const juce::MemoryBlock& payload);

    /** Any thread but the message thread's callbacks and the reader. Ends the
        connection, reporting the loss when asked to, and returns once the
        reader has ended (within half a second). */
    void disconnect (Notify notify);

    /** Any thread. Returns once no callback runs; none is delivered after. */
    void stopCallbacks();

protected:
    /** Message thread. */
    virtual void connectionMade() = 0;

    /** Message thread. */
    virtual void connectionLost() = 0;

private:
    void end (const std::shared_ptr<CompanionSocket>& socket, Notify notify);
    std::shared_ptr<CompanionSocket> currentSocket() const;
    void post (bool made);

    const juce::uint32 magic;

    // Held only to read or swap current (and to post the callbacks in the
    // order the changes happen), never across a read, a write or a wait.
    mutable std::mutex socketLock;
    std::shared_ptr<CompanionSocket> current; // under socketLock
    std::atomic<bool> connected { false };    // written under socketLock

    // Taken by the dialling thread and by teardown, which may wait for the
    // reader under it; never by the message thread or the reader itself.
    std::mutex readerLock;
    std::unique_ptr<ConnectionReader> reader; // under readerLock

    std::shared_ptr<CallbackGate> gate = std::make_shared<CallbackGate>();

    JUCE_DECLARE_NON_COPYABLE (CompanionConnection)
};
