#include "HostDriver.h"
#include "MessagePump.h"
#include "StandInCompanion.h"

#include <gtest/gtest.h>

#include <cstring>

#if JUCE_INTEL
 #include <xmmintrin.h>
#endif

namespace
{
    using Set = juce::AudioChannelSet;

    float sampleValue (int channel, int index) { return (float) (channel + 1) * 0.01f + (float) index * 1.0e-4f; }

    juce::AudioBuffer<float> makeBlock (int channels, int samples)
    {
        juce::AudioBuffer<float> block (channels, samples);
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < samples; ++i)
                block.setSample (c, i, sampleValue (c, i));
        return block;
    }

    std::vector<float> channelOf (const StandInCompanion::Frame& frame, int channel, int samples)
    {
        std::vector<float> values ((size_t) samples);
        std::memcpy (values.data(), frame.payload.data() + 14 + (size_t) channel * (size_t) samples * 4, values.size() * 4);
        return values;
    }

    std::vector<float> expectedChannel (int channel, int samples)
    {
        std::vector<float> values;
        for (int i = 0; i < samples; ++i)
            values.push_back (sampleValue (channel, i));
        return values;
    }

    // The processor as a host drives it, with a stand-in companion listening.
    class BlockProcessing : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            ASSERT_TRUE (companion.start());
            prepareWith (Set::stereo(), Set::stereo());
        }

        void prepareWith (Set input, Set output)
        {
            juce::AudioProcessor::BusesLayout layout;
            layout.inputBuses.add (input);
            layout.outputBuses.add (output);
            ASSERT_TRUE (host.processor().setBusesLayout (layout));
            host.allocateRenderResources (48000.0);
            ASSERT_TRUE (pumpUntil ([&] { return host.processor().isLinkConnected(); }, 5000));
            companion.clearFrames();
        }

        StandInCompanion::Frame renderAndReceive (juce::AudioBuffer<float>& block)
        {
            juce::MidiBuffer midi;
            const auto before = companion.frameCount();
            host.render (block, midi);
            EXPECT_TRUE (companion.waitForFrames (before + 1, 5000));
            return companion.frames().back();
        }

        StandInCompanion companion;
        HostDriver host { 512, false };
    };
}

TEST_F (BlockProcessing, OutputFollowsPassthroughAndTheLinkAlwaysGetsTheUnmutedInput)
{
    struct Case { Set input, output; };
    const Case cases[] = { { Set::stereo(), Set::stereo() }, { Set::mono(), Set::stereo() },
                           { Set::stereo(), Set::mono() }, { Set::disabled(), Set::stereo() } };
    constexpr int samples = 64;

    for (auto [input, output] : cases)
    {
        prepareWith (input, output);
        const int numIn = input.size(), numOut = output.size();
        const int width = juce::jmax (numIn, numOut);

        for (bool on : { true, false })
        {
            SCOPED_TRACE (input.getDescription() + " to " + output.getDescription() + (on ? ", on" : ", off"));
            host.processor().getPassthroughParameter() = on;

            auto block = makeBlock (width, samples);
            const auto frame = renderAndReceive (block);

            ASSERT_EQ (frame.payload[1], juce::jmin (numIn, 2));
            ASSERT_EQ (frame.payload.size(), 14u + (size_t) juce::jmin (numIn, 2) * samples * 4);
            for (int c = 0; c < juce::jmin (numIn, 2); ++c)
                EXPECT_EQ (channelOf (frame, c, samples), expectedChannel (c, samples)) << "channel " << c;

            for (int c = 0; c < width; ++c)
                for (int i = 0; i < samples; ++i)
                {
                    const bool passes = on && c < numIn && c < numOut;
                    const bool isOutput = c < numOut;
                    if (isOutput || ! on)
                    {
                        ASSERT_EQ (block.getSample (c, i), passes ? sampleValue (c, i) : 0.0f) << "channel " << c;
                    }
                }
        }
    }
}

TEST_F (BlockProcessing, EmptyClearedAndMidiBlocksAreHandledAsTheyCome)
{
    juce::AudioBuffer<float> empty (2, 0);
    const auto emptyFrame = renderAndReceive (empty);
    EXPECT_EQ (emptyFrame.payload.size(), 14u);
    EXPECT_EQ (emptyFrame.payload[1], 2);

    auto cleared = makeBlock (2, 32);
    cleared.clear();
    const auto clearedFrame = renderAndReceive (cleared);
    EXPECT_EQ (channelOf (clearedFrame, 1, 32), std::vector<float> (32, 0.0f));
    EXPECT_TRUE (cleared.hasBeenCleared());

    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (1, 60, 0.5f), 3);
    midi.addEvent (juce::MidiMessage::controllerEvent (2, 7, 100), 9);
    const juce::MidiBuffer before (midi);
    auto block = makeBlock (2, 64);
    host.render (block, midi);
    ASSERT_EQ (midi.getNumEvents(), before.getNumEvents());
    auto a = midi.cbegin();
    for (const auto event : before)
    {
        EXPECT_EQ ((*a).samplePosition, event.samplePosition);
        EXPECT_EQ ((*a).getMessage().getDescription(), event.getMessage().getDescription());
        ++a;
    }
}

TEST_F (BlockProcessing, DenormalModeIsRestoredAfterTheCall)
{
   #if JUCE_INTEL
    // Flush-to-zero and denormals-are-zero; the other bits are sticky exception flags.
    constexpr unsigned int modeBits = 0x8040;
    juce::FloatVectorOperations::disableDenormalisedNumberSupport (false);
    const auto before = _mm_getcsr() & modeBits;

    auto block = makeBlock (2, 64);
    renderAndReceive (block);

    EXPECT_EQ (_mm_getcsr() & modeBits, before);
   #else
    GTEST_SKIP() << "reads the x86 control register";
   #endif
}

TEST_F (BlockProcessing, AFullQueueOrNoLinkNeverChangesWhatTheHostHears)
{
    companion.setReading (false);
    juce::MidiBuffer midi;

    for (int i = 0; i < 300; ++i)
    {
        auto block = makeBlock (2, 4096);
        host.render (block, midi);
        ASSERT_EQ (block.getSample (1, 4095), sampleValue (1, 4095));
    }

    host.deallocateRenderResources();
    host.deallocateRenderResources();
    EXPECT_EQ (host.processor().getPreparedBlockSize(), 0);
    EXPECT_FALSE (host.processor().isLinkConnected());

    host.processor().getPassthroughParameter() = false;
    auto block = makeBlock (2, 64);
    host.render (block, midi);
    EXPECT_EQ (block.getMagnitude (0, 64), 0.0f);
}
