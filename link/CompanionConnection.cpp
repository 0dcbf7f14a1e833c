#include "CompanionConnection.h"

CompanionConnection::CompanionConnection (juce::uint32 magicNumber)
    : magic (magicNumber)
{
}

CompanionConnection::~CompanionConnection()
{
    stopCallbacks();
    disconnect (Notify::no);
}

bool CompanionConnection::connectToLoopback (int port, int timeoutMs)
{
    disconnect (Notify::yes);

    auto socket = CompanionSocket::dial (port, timeoutMs);

    if (socket == nullptr)
        return false;

    const std::lock_guard<std::mutex> readerScope (readerLock);

    {
        // Published before the reader starts, so an end the reader sees at
        // once is reported after the making.
        const std::lock_guard<std::mutex> socketScope (socketLock);
        current = socket;
        connected = true;
        post (true);
    }

    reader = std::make_unique<ConnectionReader> (socket, magic, [this, socket] { end (socket, Notify::yes); });
    reader->startThread();
    return true;
}

bool CompanionConnection::sendMessage (const juce::MemoryBlock& payload)
{
    auto socket = currentSocket();

    if (socket == nullptr)
        return false;

    // A payload whose size does not fit the header's 32 bits would be framed
    // with a false length; it is not sent.
    if ((juce::uint64) payload.getSize() > 0xffffffffu)
        return false;

    const juce::uint32 header[2] = { juce::ByteOrder::swapIfBigEndian (magic),
                                     juce::ByteOrder::swapIfBigEndian ((juce::uint32) payload.getSize()) };

    if (socket->writeAll (header, sizeof (header), payload.getData(), payload.getSize()))
        return true;

    end (socket, Notify::yes);
    return false;
}

void CompanionConnection::disconnect (Notify notify)
{
    end (currentSocket(), notify);

    const std::lock_guard<std::mutex> readerScope (readerLock);
    reader.reset();
}

void CompanionConnection::stopCallbacks()
{
    gate->close();
}

void CompanionConnection::end (const std::shared_ptr<CompanionSocket>& socket, Notify notify)
{
    if (socket == nullptr)
        return;

    {
        const std::lock_guard<std::mutex> socketScope (socketLock);

        // Each connection ends once: later calls, from the other thread that
        // noticed the same end, find it replaced already.
        if (current != socket)
            return;

        current.reset();
        connected = false;

        if (notify == Notify::yes)
            post (false);
    }

    // Outside the lock: wakes the reader and a write in progress, which then
    // let go of the socket; the last of them closes it.
    socket->shutDown();
}

std::shared_ptr<CompanionSocket> CompanionConnection::currentSocket() const
{
    const std::lock_guard<std::mutex> socketScope (socketLock);
    return current;
}

void CompanionConnection::post (bool made)
{
    juce::MessageManager::callAsync ([this, gateForCall = gate, made]
    {
        gateForCall->ifOpen ([this, made]
        {
            if (made)
                connectionMade();
            else
                connectionLost();
        });
    });
}
