#include "IncomingFrameSkipper.h"

#include <cstring>

bool IncomingFrameSkipper::skip (const juce::uint8* bytes, size_t count)
{
    while (inStep && count > 0)
    {
        if (payloadLeft > 0)
        {
            const auto passed = (size_t) juce::jmin ((juce::uint64) count, payloadLeft);
            payloadLeft -= passed;
            bytes += passed;
            count -= passed;
            continue;
        }

        const auto taken = juce::jmin (count, headerSize - headerBytes);
        std::memcpy (header + headerBytes, bytes, taken);
        headerBytes += taken;
        bytes += taken;
        count -= taken;

        if (headerBytes < headerSize)
            break;

        headerBytes = 0;
        inStep = juce::ByteOrder::littleEndianInt (header) == magic;
        payloadLeft = juce::ByteOrder::littleEndianInt (header + 4);
    }

    return inStep;
}
