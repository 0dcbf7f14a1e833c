#pragma once

// Helpers shared by the benchmarks: clock readings, percentiles and their
// printing, and running a producer thread while the main thread stays the
// message thread that the link's connection callbacks need.

#include "MessagePump.h"
#include "StandInCompanion.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

namespace bench
{
    // The blocks both benchmarks stream, and the wire format's header sizes
    // as the companion reads them (frame: magic and length; payload: tag,
    // channel count, sample count, rate and eight zero bytes).
    constexpr int channels = 2;
    constexpr int sampleRate = 48000;
    constexpr size_t frameHeaderBytes = 8;
    constexpr size_t payloadHeaderBytes = 14;

    using Clock = std::chrono::steady_clock;

    inline double secondsBetween (Clock::time_point a, Clock::time_point b)
    {
        return std::chrono::duration<double> (b - a).count();
    }

    inline int64_t nanosNow()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds> (Clock::now().time_since_epoch()).count();
    }

    struct Percentiles
    {
        double median = 0, p99 = 0, p999 = 0, max = 0;
        size_t count = 0;
    };

    inline Percentiles percentilesOf (std::vector<double> values)
    {
        Percentiles result;

        if (values.empty())
            return result;

        std::sort (values.begin(), values.end());
        const auto n = values.size();
        const auto at = [&] (double q) { return values[std::min (n - 1, (size_t) std::ceil (q * (double) n) - 1)]; };

        result.median = at (0.5);
        result.p99 = at (0.99);
        result.p999 = at (0.999);
        result.max = values.back();
        result.count = n;
        return result;
    }

    inline const char* verdict (bool met) { return met ? "MET" : "MISSED"; }

    inline void printPercentiles (const char* label, const Percentiles& p)
    {
        std::printf ("  %-26s median %9.3f   p99 %9.3f   p99.9 %9.3f   max %10.3f   (n=%zu)\n",
                     label, p.median, p.p99, p.p999, p.max, p.count);
    }

    // Producers run on a thread of their own, as the host's audio thread
    // would, while the main (message) thread keeps delivering the link's
    // connection callbacks.
    template <typename Body>
    void runWhilePumping (Body body)
    {
        std::atomic<bool> done { false };
        std::thread producer ([&] { body(); done = true; });
        pumpUntil ([&] { return done.load(); }, 24 * 3600 * 1000);
        producer.join();
    }

    inline bool startCompanion (StandInCompanion& companion, int retrySeconds)
    {
        const auto giveUpAt = Clock::now() + std::chrono::seconds (retrySeconds);
        bool said = false;

        // IPv4 only: the plain writer that the link is measured against dials
        // 127.0.0.1, and so the link does too, over the same loopback path.
        while (! companion.start (StandInCompanion::Listen::onIPv4Only))
        {
            if (Clock::now() >= giveUpAt)
                return false;

            if (! said)
                std::printf ("port 10000 is busy; retrying for up to %d s...\n", retrySeconds);

            said = true;
            std::fflush (stdout);
            std::this_thread::sleep_for (std::chrono::milliseconds (500));
        }

        if (said)
            std::printf ("port 10000 bound.\n");

        return true;
    }
}
