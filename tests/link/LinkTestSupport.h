#pragma once

#include "AppLink.h"
#include "MessagePump.h"
#include "StandInCompanion.h"
#include "ThreadCensus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace LinkTestSupport
{
    using Clock = std::chrono::steady_clock;

    inline long long millisecondsSince (Clock::time_point start)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds> (Clock::now() - start).count();
    }

    // Each block carries its number in its first sample, so order can be checked.
    inline void sendBlocks (AppLink& link, int count, int samples = 64, int firstNumber = 0)
    {
        for (int i = 0; i < count; ++i)
        {
            auto* block = new juce::AudioBuffer<float> (2, samples);
            block->clear();
            block->setSample (0, 0, (float) (firstNumber + i));
            link.sendBuffer (block);
        }
    }

    // The link may see its connection before the stand-in has accepted it.
    inline bool bothEndsConnected (AppLink& link, const StandInCompanion& companion, int open = 1)
    {
        return pumpUntil ([&] { return link.isConnected() && companion.openConnections() >= open; }, 3000);
    }

    // Takes a census of the process's threads before each test and checks
    // after it that the link left none behind. Linux keeps thread names to 15
    // characters, so "Connection Worker" goes unnamed: the census compares
    // the whole count with the one before.
    class LinkThreadsTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            // Sanitizers start a helper thread of their own at the first
            // thread, and an exited thread can linger in /proc for a moment.
            std::thread ([] {}).join();
            pumpFor (50);
            threadsBefore = countThreads();
        }

        void TearDown() override
        {
            companion.stop();
            EXPECT_TRUE (linkThreadsGone());
        }

        bool linkThreadsGone() const
        {
            // The stand-in's reader may take a moment to see the link's close.
            return pumpUntil ([&] { return countThreads() == threadsBefore + companion.liveThreads(); }, 1000)
                     && countThreadsNamed ("Vestrano link") == 0 && countThreadsNamed ("Vestrano reader") == 0;
        }

        StandInCompanion companion;
        int threadsBefore = 0;
    };
}
