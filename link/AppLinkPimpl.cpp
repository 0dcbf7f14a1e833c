#include "AppLinkPimpl.h"

#include "AudioBlockMessage.h"
#include "LinkSettings.h"
#include "ThreadStopping.h"

#include <algorithm>

AppLink::Pimpl::Pimpl (int sampleRateToSend)
    : ThreadWithQueue<juce::AudioBuffer<float>> ("Vestrano link", LinkSettings::queueLimit, true),
      CompanionConnection (LinkSettings::magicNumber),
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
    stopCallbacks();

    // Ended before the disconnect below, so nothing can connect afterwards.
    retire (std::move (worker));
    retiredWorkers.clear();

    if (! askThreadToStop (*this, LinkSettings::senderStopMs))
    {
        // The sender is waiting to write because the companion stopped
        // reading: ending the connection makes that write give up.
        disconnect (Notify::yes);
        stopThreadWithin (*this, LinkSettings::disconnectMs);
    }

    disconnect (Notify::yes);
}

void AppLink::Pimpl::processItem (juce::AudioBuffer<float>* buffer)
{
    if (! isConnected())
        return;

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
    retire (std::move (worker));
}

void AppLink::Pimpl::connectionLost()
{
    // A loss that arrives after a newer connection was made belongs to the
    // old one, which has already been replaced.
    if (isConnected())
        return;

    startWorker();
}

void AppLink::Pimpl::startWorker()
{
    retire (std::move (worker));
    worker = std::make_unique<WorkerThread> (static_cast<CompanionConnection&> (*this));
    worker->startThread();
}

void AppLink::Pimpl::retire (std::unique_ptr<WorkerThread> finished)
{
    // Only workers whose thread is over are deleted here, so their deletion
    // waits for nothing; the others are told to stop and kept until a later
    // call, or shutdown, finds them over.
    retiredWorkers.erase (std::remove_if (retiredWorkers.begin(), retiredWorkers.end(),
                                          [] (const auto& w) { return ! w->isThreadRunning(); }),
                          retiredWorkers.end());

    if (finished == nullptr)
        return;

    finished->signalThreadShouldExit();
    finished->notify();
    retiredWorkers.push_back (std::move (finished));
}
