#include "AudioBlockMessage.h"

#include <cstring>

namespace
{
    void writeLittleEndian16 (juce::uint8* dest, juce::uint32 value)
    {
        dest[0] = (juce::uint8) (value & 0xff);
        dest[1] = (juce::uint8) ((value >> 8) & 0xff);
    }
}

juce::MemoryBlock AudioBlockMessage::create (const juce::AudioBuffer<float>& block, int sampleRate)
{
    const int numChannels = block.getNumChannels();
    const int numSamples = block.getNumSamples();
    const int channelsSent = numChannels < maxChannelsSent ? numChannels : maxChannelsSent;

    const auto channelBytes = (size_t) numSamples * sizeof (float);
    juce::MemoryBlock payload (headerSize + (size_t) channelsSent * channelBytes, true);

    auto* bytes = static_cast<juce::uint8*> (payload.getData());
    bytes[0] = tag;
    bytes[1] = (juce::uint8) channelsSent;
    // Both fields are 16 bits wide on the wire; the payload length still
    // carries the true sample count of long blocks.
    writeLittleEndian16 (bytes + 2, (juce::uint32) numSamples);
    writeLittleEndian16 (bytes + 4, (juce::uint32) sampleRate);

    static_assert (sizeof (float) == 4, "samples go out as IEEE 754 single precision");

    for (int channel = 0; channel < channelsSent; ++channel)
    {
        auto* dest = bytes + headerSize + (size_t) channel * channelBytes;
        const float* source = block.getReadPointer (channel);

       #if JUCE_LITTLE_ENDIAN
        std::memcpy (dest, source, channelBytes);
       #else
        for (int i = 0; i < numSamples; ++i)
        {
            juce::uint32 bits;
            std::memcpy (&bits, source + i, sizeof (bits));
            bits = juce::ByteOrder::swap (bits);
            std::memcpy (dest + (size_t) i * sizeof (bits), &bits, sizeof (bits));
        }
       #endif
    }

    return payload;
}
