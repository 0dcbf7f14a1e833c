#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

/** The one payload on the wire: a 14-byte header (tag 0xB0, channel count,
    16-bit sample count, 16-bit sampling rate, 8 reserved zero bytes) and then
    up to two planar channels of little-endian 32-bit float samples.
*/
struct AudioBlockMessage
{
    static constexpr juce::uint8 tag = 0xB0;
    static constexpr size_t headerSize = 14;
    static constexpr int maxChannelsSent = 2;

    /** Builds the payload for one block. Throws std::bad_alloc when the payload
        cannot be allocated. */
    static juce::MemoryBlock create (const juce::AudioBuffer<float>& block, int sampleRate);
};
