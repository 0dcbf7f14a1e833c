#include "AppLink.h"
#include "MessagePump.h"
#include "StandInCompanion.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{
    using Bytes = std::vector<uint8_t>;

    // Streams blocks through a real link to the stand-in and returns what arrived.
    class WireFormat : public ::testing::Test
    {
    protected:
        void SetUp() override { ASSERT_TRUE (companion.start()); }

        std::vector<StandInCompanion::Frame> sendThroughLink (int sampleRate,
                                                              std::vector<juce::AudioBuffer<float>> blocks)
        {
            companion.clearFrames();
            AppLink::Ptr link (new AppLink (sampleRate));
            EXPECT_TRUE (pumpUntil ([&] { return link->isConnected(); }, 5000));

            for (auto& block : blocks)
                link->sendBuffer (new juce::AudioBuffer<float> (block));

            EXPECT_TRUE (companion.waitForFrames (blocks.size(), 10000));
            return companion.frames();
        }

        static Bytes floatBytes (const float* samples, int count)
        {
            Bytes bytes ((size_t) count * 4);
            std::memcpy (bytes.data(), samples, bytes.size());
            return bytes;
        }

        StandInCompanion companion;
    };

    juce::AudioBuffer<float> rampBuffer (int channels, int samples)
    {
        juce::AudioBuffer<float> buffer (channels, samples);

        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < samples; ++i)
                buffer.setSample (c, i, (float) (c * 100000 + i) * 0.25f - 3.0f);

        return buffer;
    }
}

TEST_F (WireFormat, TheWorkedExampleArrivesByteForByte)
{
    juce::AudioBuffer<float> block (2, 4);
    const float left[] = { 0.0f, 0.5f, -0.5f, 1.0f };
    const float right[] = { 0.25f, -0.25f, 0.0f, -1.0f };
    block.copyFrom (0, 0, left, 4);
    block.copyFrom (1, 0, right, 4);

    sendThroughLink (48000, { block });

    const Bytes expected {
        0x2C, 0x9E, 0xB4, 0xF2, 0x2E, 0x00, 0x00, 0x00,
        0xB0, 0x02, 0x04, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00,  0x00, 0x00, 0x00, 0x3F,  0x00, 0x00, 0x00, 0xBF,  0x00, 0x00, 0x80, 0x3F,
        0x00, 0x00, 0x80, 0x3E,  0x00, 0x00, 0x80, 0xBE,  0x00, 0x00, 0x00, 0x00,  0x00, 0x00, 0x80, 0xBF
    };

    EXPECT_EQ (companion.rawBytes (0), expected);
}

TEST_F (WireFormat, ChannelAndSampleCountsAtTheEdges)
{
    const auto mono = rampBuffer (1, 512);
    const auto sixChannels = rampBuffer (6, 64);
    const auto longBlock = rampBuffer (2, 65536);

    const auto frames = sendThroughLink (44100, { mono,
                                                  juce::AudioBuffer<float> (0, 128),
                                                  juce::AudioBuffer<float> (3, 0),
                                                  sixChannels,
                                                  longBlock });
    ASSERT_EQ (frames.size(), 5u);

    // Mono: one channel, sample count 512 (00 02), rate 44100 (44 AC), 2062 bytes.
    const auto& m = frames[0].payload;
    ASSERT_EQ (m.size(), 2062u);
    EXPECT_EQ (Bytes (m.begin(), m.begin() + 14),
               (Bytes { 0xB0, 0x01, 0x00, 0x02, 0x44, 0xAC, 0, 0, 0, 0, 0, 0, 0, 0 }));
    EXPECT_EQ (Bytes (m.begin() + 14, m.end()), floatBytes (mono.getReadPointer (0), 512));

    // No channels: header only, with the block's sample count; still sent.
    EXPECT_EQ (frames[1].payload, (Bytes { 0xB0, 0x00, 0x80, 0x00, 0x44, 0xAC, 0, 0, 0, 0, 0, 0, 0, 0 }));

    // No samples: header only, channel count capped at two.
    EXPECT_EQ (frames[2].payload, (Bytes { 0xB0, 0x02, 0x00, 0x00, 0x44, 0xAC, 0, 0, 0, 0, 0, 0, 0, 0 }));

    // Six channels: only the first two go out, planar.
    const auto& s = frames[3].payload;
    ASSERT_EQ (s.size(), 14u + 2 * 64 * 4);
    EXPECT_EQ (s[1], 2);
    EXPECT_EQ (Bytes (s.begin() + 14, s.begin() + 14 + 256), floatBytes (sixChannels.getReadPointer (0), 64));
    EXPECT_EQ (Bytes (s.begin() + 14 + 256, s.end()), floatBytes (sixChannels.getReadPointer (1), 64));

    // 65536 samples: the 16-bit field wraps to 0, the length still tells the truth.
    const auto& l = frames[4].payload;
    ASSERT_EQ (l.size(), 14u + 2u * 65536u * 4u);
    EXPECT_EQ (l[2], 0);
    EXPECT_EQ (l[3], 0);
    EXPECT_EQ (Bytes (l.begin() + 14 + 65536 * 4, l.end()), floatBytes (longBlock.getReadPointer (1), 65536));
}

TEST_F (WireFormat, RatesAboveSixteenBitsWrap)
{
    const auto frames = sendThroughLink (96000, { rampBuffer (2, 8) });
    ASSERT_EQ (frames.size(), 1u);
    EXPECT_EQ (frames[0].payload[4], 0x00);
    EXPECT_EQ (frames[0].payload[5], 0x77);
}
