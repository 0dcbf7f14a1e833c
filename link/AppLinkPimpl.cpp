#include "AppLinkPimpl.h"

#include "AudioBlockMessage.h"
#include "LinkSettings.h"
#include "ThreadStopping.h"

AppLink::Pimpl::Pimpl (int sampleRateToSend)
    : ThreadWithQueue<juce::AudioBuffer<float>> ("Vestrano link", LinkSettings::queueLimit, true),
      juce::InterprocessConnection (true, LinkSettings::magicNumber),
      sampleRate (sampleRateToSend)
{
    startWorker();
}

AppLink::Pimpl::~Pimpl()
{
    shutdown();
}

void AppLink::Pimpl::shutdown()
{
    gate->close();

    // Ended before the disconnect below, so nothing can connect afterwards.
    worker.reset();

    if (! askThreadToStop (*this, LinkSettings::senderStopMs))
    {
        // The sender is stuck in a socket write because the companion stopped
        // reading: closing the connection makes that write fail at once.
        disconnect (LinkSettings::disconnectMs, Notify::yes);
        stopThreadWithin (*this, LinkSettings::disconnectMs);
    }

    disconnect (LinkSettings::disconnectMs, Notify::yes);
}

void AppLink::Pimpl::processItem (juce::AudioBuffer<float>* buffer)
{
    if (! isConnected())
    {
        if (connectionReported.load())
            requestRedial();

        return;
    }

    try
    {
        sendMessage (AudioBlockMessage::create (*buffer, sampleRate));
    }
    catch (const std::bad_alloc&)
    {
        // Losing this block is better than losing the sending thread and with
        // it every later block.
    }
}

void AppLink::Pimpl::connectionMade()
{
    gate->ifOpen ([this]
    {
        connectionReported = true;
        worker.reset();
    });
}

void AppLink::Pimpl::connectionLost()
{
    gate->ifOpen ([this]
    {
        connectionReported = false;

        // A loss that arrives after a newer connection was made belongs to the
        // old one, which has already been replaced.
        if (isConnected())
            return;

        startWorker();
    });
}

void AppLink::Pimpl::messageReceived (const juce::MemoryBlock&)
{
}

void AppLink::Pimpl::startWorker()
{
    juce::InterprocessConnection& connection = *this;
    auto newWorker = std::make_unique<WorkerThread> (connection);
    auto* toStart = newWorker.get();
    auto previous = std::exchange (worker, std::move (newWorker));
    previous.reset();
    toStart->startThread();
}

void AppLink::Pimpl::requestRedial()
{
    if (redialPending.exchange (true))
        return;

    juce::MessageManager::callAsync ([this, gateForCall = gate]
    {
        gateForCall->ifOpen ([this] { redialAfterSilentReaderStop(); });
    });
}

void AppLink::Pimpl::redialAfterSilentReaderStop()
{
    redialPending = false;

    // The framework's reader stops without reporting a loss when the companion
    // sends bytes that are not frames of ours, or cuts a header short. Left
    // alone the link would drop every block until the host prepares again.
    if (! connectionReported.load() || isConnected())
        return;

    connectionReported = false;
    disconnect (LinkSettings::disconnectMs, Notify::no);
    startWorker();
}
