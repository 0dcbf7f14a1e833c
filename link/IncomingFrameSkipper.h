#pragma once

#include <juce_core/juce_core.h>

/** Follows the frames that the companion application may send back without
    keeping any of them: the link uses nothing it receives. A header's length
    only tells how many bytes to pass over, so no header, however large the
    length it announces, costs memory. Bytes that do not start with our magic
    number mean the stream is not ours, or out of step: the connection is
    then not worth keeping.
*/
class IncomingFrameSkipper
{
public:
    explicit IncomingFrameSkipper (juce::uint32 magicNumber) : magic (magicNumber) {}

    /** Called on the reader thread with each run of bytes as it arrives.
        False once the bytes stopped being frames of ours, and from then on. */
    bool skip (const juce::uint8* bytes, size_t count);

private:
    static constexpr size_t headerSize = 8;

    const juce::uint32 magic;
    juce::uint8 header[headerSize] {};
    size_t headerBytes = 0;
    juce::uint64 payloadLeft = 0;
    bool inStep = true;
};
