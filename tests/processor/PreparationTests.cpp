#include "HostDriver.h"
#include "MessagePump.h"
#include "StandInCompanion.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{
    class Preparation : public ::testing::Test
    {
    protected:
        void SetUp() override { ASSERT_TRUE (companion.start()); }

        bool connected (HostDriver& driver)
        {
            return pumpUntil ([&] { return driver.processor().isLinkConnected(); }, 5000);
        }

        int sampleRateOnTheWire()
        {
            auto block = juce::AudioBuffer<float> (2, 16);
            block.clear();
            juce::MidiBuffer midi;
            const auto before = companion.frameCount();
            host->render (block, midi);
            EXPECT_TRUE (companion.waitForFrames (before + 1, 5000));
            const auto frame = companion.frames().back();
            return frame.payload[4] | (frame.payload[5] << 8);
        }

        StandInCompanion companion;
        std::unique_ptr<HostDriver> host;
    };
}

TEST_F (Preparation, EachPreparationReplacesTheLinkAndReleaseDropsIt)
{
    host = std::make_unique<HostDriver> (256, false);
    ASSERT_TRUE (connected (*host)) << "prepared at initialisation";
    EXPECT_EQ (sampleRateOnTheWire(), 44100);

    // The first allocation replaces the link with no release in between.
    host->allocateRenderResources (48000.0);
    EXPECT_EQ (host->processor().getPreparedBlockSize(), 256);
    ASSERT_TRUE (connected (*host));
    EXPECT_TRUE (companion.waitForConnections (2, 2000));
    EXPECT_TRUE (pumpUntil ([&] { return companion.openConnections() == 1; }, 2000)) << "the first link is closed";
    EXPECT_EQ (sampleRateOnTheWire(), 48000);

    host->deallocateRenderResources();
    host->deallocateRenderResources();
    EXPECT_EQ (host->processor().getPreparedBlockSize(), 0);
    EXPECT_FALSE (host->processor().isLinkConnected());
    EXPECT_EQ (host->processor().getSampleRate(), 48000.0) << "release keeps the framework's rate";
    EXPECT_EQ (host->processor().getPreparedSampleRate(), 48000.0);
    EXPECT_TRUE (pumpUntil ([&] { return companion.openConnections() == 0; }, 2000));

    host->allocateRenderResources (96000.0);
    ASSERT_TRUE (connected (*host));
    EXPECT_EQ (sampleRateOnTheWire(), 30464) << "96000 wraps at 16 bits";
}

TEST_F (Preparation, OnlyARealOfflineSwitchPreparesAgain)
{
    host = std::make_unique<HostDriver> (512, false);
    host->allocateRenderResources (48000.0);
    ASSERT_TRUE (connected (*host));
    pumpFor (300); // the stand-in may still be accepting what the first link dialled
    const int accepted = companion.connectionsAccepted();

    host->setRenderingOffline (false);
    pumpFor (400);
    EXPECT_EQ (companion.connectionsAccepted(), accepted) << "no change, no preparation";

    host->setRenderingOffline (true);
    ASSERT_TRUE (connected (*host));
    EXPECT_TRUE (pumpUntil ([&] { return companion.connectionsAccepted() == accepted + 1; }, 2000));
    EXPECT_EQ (sampleRateOnTheWire(), 48000);

    // A switch while released prepares again with the recorded values.
    host->deallocateRenderResources();
    host->setRenderingOffline (false);
    EXPECT_EQ (host->processor().getPreparedBlockSize(), 512);
    EXPECT_TRUE (connected (*host));
}

TEST_F (Preparation, BlockSizesAreRecordedAsGiven)
{
    host = std::make_unique<HostDriver> (512, false);
    for (int size : { 0, -3, 4096 })
    {
        host->processor().prepareToPlay (48000.0, size);
        EXPECT_EQ (host->processor().getPreparedBlockSize(), size);
    }
}

// Preparation and release on one thread, blocks on another, editor-style
// reads on a third: no reader may reach a link that is being destroyed, and
// the audio thread never destroys one. Run under ThreadSanitizer in CI.
TEST_F (Preparation, ConcurrentPreparationProcessingAndEditorReadsAreSafe)
{
    host = std::make_unique<HostDriver> (512, false);
    auto& processor = host->processor();
    std::atomic<bool> running { true };
    std::atomic<int> preparations { 0 }, blocks { 0 }, reads { 0 };

    std::thread preparer ([&]
    {
        for (int i = 0; running; ++i)
        {
            if (i % 3 == 2)
                processor.releaseResources();
            else
                processor.prepareToPlay (i % 2 == 0 ? 44100.0 : 48000.0, 256 + i % 7);

            ++preparations;
        }
    });

    std::thread audio ([&]
    {
        juce::AudioBuffer<float> block (2, 256);
        juce::MidiBuffer midi;

        while (running)
        {
            block.clear();
            processor.processBlock (block, midi); // deliberately without the callback lock
            ++blocks;
        }
    });

    std::thread editor ([&]
    {
        while (running)
        {
            const bool linked = processor.isLinkConnected();
            const int size = processor.getPreparedBlockSize();
            const double rate = processor.getPreparedSampleRate();
            juce::ignoreUnused (linked, size, rate);
            ++reads;
        }
    });

    pumpFor (1500);
    running = false;
    preparer.join();
    audio.join();
    editor.join();

    EXPECT_GT (preparations.load(), 3);
    EXPECT_GT (blocks.load(), 100);
    EXPECT_GT (reads.load(), 100);
}
