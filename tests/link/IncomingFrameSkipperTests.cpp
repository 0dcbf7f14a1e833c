#include "IncomingFrameSkipper.h"
#include "LinkSettings.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{
    using Bytes = std::vector<juce::uint8>;

    void appendFrame (Bytes& stream, juce::uint32 length, juce::uint32 magic = LinkSettings::magicNumber)
    {
        for (juce::uint32 value : { magic, length })
            for (int shift = 0; shift < 32; shift += 8)
                stream.push_back ((juce::uint8) (value >> shift));

        for (juce::uint32 i = 0; i < length; ++i)
            stream.push_back ((juce::uint8) (i * 7)); // includes bytes of the magic number
    }

    // Feeds the stream in runs of the given size, as reads would hand it over.
    bool feed (IncomingFrameSkipper& skipper, const Bytes& stream, size_t runSize)
    {
        bool inStep = true;

        for (size_t offset = 0; offset < stream.size(); offset += runSize)
            inStep = skipper.skip (stream.data() + offset, std::min (runSize, stream.size() - offset));

        return inStep;
    }
}

// However the companion's frames are split across reads, payloads that look
// like headers are passed over and the stream stays in step.
TEST (IncomingFrames, FramesSplitAnywhereStayInStep)
{
    Bytes stream;
    for (juce::uint32 length : { 0u, 1u, 8u, 13u, 300u, 0u, 4096u })
        appendFrame (stream, length);

    for (size_t runSize = 1; runSize <= 64; ++runSize)
    {
        IncomingFrameSkipper skipper (LinkSettings::magicNumber);
        EXPECT_TRUE (feed (skipper, stream, runSize)) << "runs of " << runSize;

        // The next header still has to be read as one: a wrong magic number
        // right after the last payload is seen.
        Bytes junk { 'G', 'E', 'T', ' ', '/', ' ', 'H', 'T' };
        EXPECT_FALSE (feed (skipper, junk, runSize)) << "runs of " << runSize;
        EXPECT_FALSE (skipper.skip (stream.data(), 8)) << "once out of step, always out of step";
    }
}

TEST (IncomingFrames, AHugeAnnouncedLengthIsPassedOverAsItComes)
{
    IncomingFrameSkipper skipper (LinkSettings::magicNumber);
    Bytes header;
    appendFrame (header, 0);
    header[4] = header[5] = header[6] = 0xff; // length 0x00ffffff
    ASSERT_TRUE (skipper.skip (header.data(), header.size()));

    const Bytes run (65536, 0x2C);
    for (int i = 0; i < 255; ++i)
        ASSERT_TRUE (skipper.skip (run.data(), run.size()));

    // 0x00ffffff - 255 * 65536 = 65535 bytes left, then the next frame.
    Bytes rest (65535, 0);
    appendFrame (rest, 2);
    EXPECT_TRUE (skipper.skip (rest.data(), rest.size()));

    Bytes wrong;
    appendFrame (wrong, 0, 0x12345678u);
    EXPECT_FALSE (skipper.skip (wrong.data(), wrong.size()));
}
