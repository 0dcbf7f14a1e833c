#include "AppLink.h"

#include "AppLinkPimpl.h"
#include "LinkSettings.h"

#include <csignal>

AppLink::AppLink (int sampleRate)
{
    // A write to a socket whose peer has gone must fail with an error, not end
    // the host's process.
    std::signal (SIGPIPE, SIG_IGN);
    start (sampleRate);
}

AppLink::~AppLink()
{
    stop();
}

void AppLink::start (int sampleRate)
{
    stop();
    pimpl = std::make_unique<Pimpl> (sampleRate);
    pimpl->startThread (LinkSettings::senderPriority);
}

void AppLink::stop()
{
    if (pimpl != nullptr)
    {
        pimpl->shutdown();
        pimpl.reset();
    }
}

void AppLink::sendBuffer (juce::AudioBuffer<float>* buffer)
{
    pimpl->addToQueue (buffer);
}

bool AppLink::isConnected() const
{
    return pimpl != nullptr && pimpl->isConnected();
}
