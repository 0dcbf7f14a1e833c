#include "ConnectionReader.h"

#include "IncomingFrameSkipper.h"
#include "LinkSettings.h"
#include "ThreadStopping.h"

#include <array>

ConnectionReader::ConnectionReader (std::shared_ptr<CompanionSocket> socketToRead,
                                    juce::uint32 magicNumber,
                                    std::function<void()> streamEnded)
    : juce::Thread ("Vestrano reader"),
      socket (std::move (socketToRead)),
      magic (magicNumber),
      onStreamEnded (std::move (streamEnded))
{
}

ConnectionReader::~ConnectionReader()
{
    stopThreadWithin (*this, LinkSettings::disconnectMs);
}

void ConnectionReader::run()
{
    IncomingFrameSkipper frames (magic);
    std::array<juce::uint8, 4096> scratch;

    while (! threadShouldExit())
    {
        const int received = socket->readSome (scratch.data(), scratch.size());

        if (received < 0 || ! frames.skip (scratch.data(), (size_t) received))
            break;
    }

    onStreamEnded();
}
