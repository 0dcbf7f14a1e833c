// Figures for the plug-in's processBlock as a host's audio thread meets it:
// the cost of one call while streaming to a reading stand-in companion, with
// no companion listening, and with the link's queue full behind a companion
// that stopped reading; and the time from a call to its block's last byte
// arriving at the stand-in.
//
//     vestrano_plugin_bench [--quick]
//
// processBlock is called directly, without the wrapper's callback lock, from a
// thread of its own that sleeps between calls, as an audio thread waiting for
// its device does. That thread asks for SCHED_FIFO, as hosts do for theirs.

#include "BenchSupport.h"
#include "HostDriver.h"
#include "MessagePump.h"
#include "StandInCompanion.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{
    using namespace bench;

    constexpr int warmupCalls = 100;

    struct BlockSize
    {
        int samples, calls, quickCalls, paceDivisor;
    };

    // 4096-sample blocks take fewer calls, paced at a sixteenth of their
    // period, so that their three runs last about a minute each, as the
    // others do; the link still goes idle between calls at that pace.
    const BlockSize blockSizes[] = { { 64, 20000, 2000, 4 }, { 512, 20000, 1000, 4 }, { 4096, 10000, 200, 16 } };

    double periodUs (int samples) { return samples * 1.0e6 / sampleRate; }

    std::chrono::nanoseconds paceOf (const BlockSize& size)
    {
        return std::chrono::nanoseconds ((int64_t) (periodUs (size.samples) * 1000.0 / size.paceDivisor));
    }

    std::atomic<bool> realtimeGranted { false };

    void askForRealtime()
    {
        sched_param param {};
        param.sched_priority = 70;
        realtimeGranted = pthread_setschedparam (pthread_self(), SCHED_FIFO, &param) == 0;
    }

    //==========================================================================
    // Counts the frames the stand-in parses and, for a stretch of sequence
    // numbers, how long each took from its processBlock call: every block
    // carries its number in its first sample, exact as a float up to 2^24.
    class Receiver
    {
    public:
        void attachTo (StandInCompanion& companion)
        {
            companion.setOnFrame ([this] (const StandInCompanion::Frame& frame) { onFrame (frame); });
        }

        uint64_t count() const { return arrived.load(); }

        void noteCall (uint32_t sequence, Clock::time_point at)
        {
            const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds> (at.time_since_epoch()).count();
            calledAt[sequence & ringMask].store (nanos, std::memory_order_relaxed);
        }

        void startTiming (uint32_t first, size_t count)
        {
            latenciesUs.assign (count, -1.0);
            firstTimed = first;
            timing = true;
        }

        // Call once no more frames arrive; blocks that never came are left out.
        std::vector<double> stopTiming()
        {
            timing = false;
            std::vector<double> arrivedUs;
            std::copy_if (latenciesUs.begin(), latenciesUs.end(), std::back_inserter (arrivedUs), [] (double us) { return us >= 0; });
            return arrivedUs;
        }

    private:
        void onFrame (const StandInCompanion::Frame& frame)
        {
            const auto now = nanosNow();

            if (timing && frame.payload.size() >= payloadHeaderBytes + sizeof (float))
            {
                float first = 0;
                std::memcpy (&first, frame.payload.data() + payloadHeaderBytes, sizeof (first));
                const auto index = (size_t) ((uint32_t) first - firstTimed);

                if (index < latenciesUs.size())
                    latenciesUs[index] = (double) (now - calledAt[(uint32_t) first & ringMask].load (std::memory_order_relaxed)) / 1000.0;
            }

            arrived.fetch_add (1);
        }

        static constexpr uint32_t ringSize = 1u << 20;
        static constexpr uint32_t ringMask = ringSize - 1;

        std::unique_ptr<std::atomic<int64_t>[]> calledAt { new std::atomic<int64_t>[ringSize] };
        std::atomic<uint64_t> arrived { 0 };
        std::atomic<bool> timing { false };
        uint32_t firstTimed = 0;
        std::vector<double> latenciesUs;
    };

    double microsBetween (Clock::time_point a, Clock::time_point b)
    {
        return std::chrono::duration<double, std::micro> (b - a).count();
    }

    // Calls body(index) once per pace on an audio thread of its own, which
    // sleeps between calls as one waiting for its device does.
    template <typename Body>
    void paced (int calls, std::chrono::nanoseconds pace, Body body)
    {
        runWhilePumping ([&]
        {
            askForRealtime();
            auto next = Clock::now();

            for (int done = 0; done < calls; ++done)
            {
                next = std::max (next + pace, Clock::now());
                std::this_thread::sleep_until (next);
                body (done);
            }
        });
    }

    //==========================================================================
    struct Costs
    {
        std::vector<double> processUs, copyUs;
    };

    // Each call first copies the input into a preallocated buffer, the floor
    // for a plug-in that must hand its samples on, then calls processBlock on
    // the same samples.
    Costs timeCalls (VestranoPluginAudioProcessor& processor, Receiver& receiver, int samples,
                     int wanted, std::chrono::nanoseconds pace, uint32_t& sequence)
    {
        juce::AudioBuffer<float> block (channels, samples), copy (channels, samples);

        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < samples; ++i)
                block.setSample (c, i, std::sin ((float) i * 0.01f + (float) c));

        juce::MidiBuffer midi;
        Costs costs;
        volatile float sink = 0;

        paced (warmupCalls + wanted, pace, [&] (int done)
        {
            const auto number = sequence++;
            block.setSample (0, 0, (float) number);

            const auto copyStart = Clock::now();
            for (int c = 0; c < channels; ++c)
                juce::FloatVectorOperations::copy (copy.getWritePointer (c), block.getReadPointer (c), samples);
            const auto copyEnd = Clock::now();
            sink = sink + copy.getSample (channels - 1, samples - 1);

            const auto start = Clock::now();
            receiver.noteCall (number, start);
            processor.processBlock (block, midi);
            const auto end = Clock::now();

            if (done >= warmupCalls)
            {
                costs.copyUs.push_back (microsBetween (copyStart, copyEnd));
                costs.processUs.push_back (microsBetween (start, end));
            }
        });

        return costs;
    }

    bool waitUntilQuiet (Receiver& receiver, int quietMs, int timeoutMs)
    {
        auto last = receiver.count();
        auto lastChange = Clock::now();

        return pumpUntil ([&]
        {
            if (receiver.count() != std::exchange (last, receiver.count()))
                lastChange = Clock::now();

            return secondsBetween (lastChange, Clock::now()) * 1000.0 >= quietMs;
        }, timeoutMs);
    }

    //==========================================================================
    // The sender thread's current system call, from /proc: a sender that sits
    // in a send, or in the poll() for room between its non-blocking sends,
    // for a long stretch is held by a full socket, not busy.
    std::string senderTaskPath()
    {
        for (const auto& entry : juce::File ("/proc/self/task").findChildFiles (juce::File::findDirectories, false))
            if (entry.getChildFile ("comm").loadFileAsString().trim() == "Vestrano link")
                return entry.getFullPathName().toStdString();

        return {};
    }

    bool isBlockedInSend (const std::string& taskPath)
    {
        std::ifstream file (taskPath + "/syscall");
        long number = -1;
        return (file >> number)
                 && (number == SYS_sendto || number == SYS_sendmsg || number == SYS_poll || number == SYS_ppoll);
    }

    // Feeds blocks until the sender has been seen waiting to send at every look for
    // 300 ms, then 150 more, so the queue holds its 100 and refuses the rest.
    // Returns whether the sender was seen held.
    bool fillUntilHeld (VestranoPluginAudioProcessor& processor, const std::string& taskPath, int samples,
                        uint32_t& sequence, uint64_t& calls, double timeoutSeconds)
    {
        juce::AudioBuffer<float> block (channels, samples);
        block.clear();
        juce::MidiBuffer midi;
        bool held = false;

        const auto feed = [&] (int count)
        {
            for (int i = 0; i < count; ++i, ++calls)
            {
                block.setSample (0, 0, (float) sequence++);
                processor.processBlock (block, midi);
            }
        };

        runWhilePumping ([&]
        {
            const auto start = Clock::now();
            auto lastSeenFree = start;

            while (! held && secondsBetween (start, Clock::now()) < timeoutSeconds)
            {
                feed (50);
                std::this_thread::sleep_for (std::chrono::milliseconds (1));

                if (! isBlockedInSend (taskPath))
                    lastSeenFree = Clock::now();

                held = secondsBetween (lastSeenFree, Clock::now()) >= 0.3;
            }

            feed (150);
        });

        return held;
    }

    //==========================================================================
    // What this machine charges for waking a sleeping thread the way
    // juce::WaitableEvent::signal does (notify under the mutex), as the link's
    // queue does for its sender on every accepted block; and how long the
    // woken thread, at normal priority like the sender and the stand-in's
    // reader, takes to run.
    void timeWakes (int wanted, std::chrono::nanoseconds pace, std::vector<double>& costUs, std::vector<double>& wakeUpUs)
    {
        std::mutex mutex;
        std::condition_variable condition;
        bool triggered = false, quit = false;
        Clock::time_point signalledAt;
        wakeUpUs.reserve ((size_t) (warmupCalls + wanted));

        std::thread sleeper ([&]
        {
            std::unique_lock<std::mutex> lock (mutex);

            while (! quit)
            {
                condition.wait (lock, [&] { return triggered || quit; });

                if (triggered)
                    wakeUpUs.push_back (microsBetween (signalledAt, Clock::now()));

                triggered = false;
            }
        });

        paced (warmupCalls + wanted, pace, [&] (int done)
        {
            const auto start = Clock::now();
            {
                const std::lock_guard<std::mutex> lock (mutex);
                signalledAt = start;
                triggered = true;
                condition.notify_all();
            }
            const auto end = Clock::now();

            if (done >= warmupCalls)
                costUs.push_back (microsBetween (start, end));
        });

        {
            const std::lock_guard<std::mutex> lock (mutex);
            quit = true;
        }
        condition.notify_all();
        sleeper.join();
        wakeUpUs.erase (wakeUpUs.begin(), wakeUpUs.begin() + (std::ptrdiff_t) std::min ((size_t) warmupCalls, wakeUpUs.size()));
    }

    void printCostRow (const char* label, const Percentiles& p, double period)
    {
        const auto share = [period] (double us) { return 100.0 * us / period; };
        std::printf ("      %-13s median %8.3f (%6.3f%%)   p99 %8.3f (%6.3f%%)   p99.9 %8.3f (%6.3f%%)   max %9.3f (%7.3f%%)\n",
                     label, p.median, share (p.median), p.p99, share (p.p99), p.p999, share (p.p999), p.max, share (p.max));
    }

    //==========================================================================
    void report (const char* situation, const BlockSize& size, const Costs& costs, const std::string& note)
    {
        const auto process = percentilesOf (costs.processUs);
        const double period = periodUs (size.samples);

        std::printf ("  %s, %d samples (period %.1f us), one call every %.1f us, n=%zu after %d warm-up calls\n",
                     situation, size.samples, period, period / size.paceDivisor, process.count, warmupCalls);
        printCostRow ("processBlock", process, period);
        printCostRow ("plain copy", percentilesOf (costs.copyUs), period);

        if (! note.empty())
            std::printf ("      %s\n", note.c_str());

        std::printf ("      target: p99.9 under 2%% (%.2f us) -> %s; max under 10%% (%.2f us) -> %s\n",
                     0.02 * period, verdict (process.p999 < 0.02 * period),
                     0.10 * period, verdict (process.max < 0.10 * period));
    }
}

//==============================================================================
int main (int argc, char** argv)
{
    const bool quick = argc == 2 && std::string (argv[1]) == "--quick";

    if (argc > 2 || (argc == 2 && ! quick))
    {
        std::fprintf (stderr, "usage: %s [--quick]\n", argv[0]);
        return 1;
    }

    std::setvbuf (stdout, nullptr, _IOLBF, 0);
    const juce::ScopedJuceInitialiser_GUI juceRuntime;

    std::printf ("Vestrano processBlock benchmark%s: %u hardware threads, stereo blocks, %d Hz,"
                 " times in microseconds (share of the block's period)\n",
                 quick ? " (quick)" : "", std::thread::hardware_concurrency(), sampleRate);
    const auto loadAverage = [] { return juce::File ("/proc/loadavg").loadFileAsString().trim(); };
    std::printf ("load average at start: %s\n", loadAverage().toRawUTF8());
    std::printf ("taking the port-10000 lock (waits while another program with a stand-in runs)...\n");

    // Declared before the stand-in so that the stand-in's reading threads,
    // which call into it, have ended before it goes.
    Receiver receiver;
    StandInCompanion companion;
    companion.setKeepFrames (false);
    receiver.attachTo (companion);

    HostDriver host (4096, false);
    host.allocateRenderResources (sampleRate);
    auto& processor = host.processor();

    uint32_t sequence = 0;
    const auto callsFor = [quick] (const BlockSize& size) { return quick ? size.quickCalls : size.calls; };

    //--------------------------------------------------------------------------
    std::printf ("\n1. processBlock cost on the calling thread\n");
    std::printf ("  (b) no companion listening: the stand-in is not started and the link keeps dialling\n");

    for (const auto& size : blockSizes)
    {
        const auto costs = timeCalls (processor, receiver, size.samples, callsFor (size), paceOf (size), sequence);
        report ("(b) no companion", size, costs, processor.isLinkConnected() ? "WARNING: the link is connected to something" : "");
    }

    if (! startCompanion (companion, 60)
        || ! pumpUntil ([&] { return processor.isLinkConnected(); }, 10000)
        || ! companion.waitForConnections (1, 2000))
    {
        std::printf ("\n*** The link did not connect to the stand-in on port 10000; no further figures. ***\n");
        return 3;
    }

    pumpFor (200);
    std::printf ("\n  (a) streaming to a reading stand-in (link connected)\n");

    for (const auto& size : blockSizes)
    {
        const auto before = receiver.count();
        const auto costs = timeCalls (processor, receiver, size.samples, callsFor (size), paceOf (size), sequence);
        waitUntilQuiet (receiver, 300, 10000);
        const auto arrived = receiver.count() - before;
        const auto note = "blocks arrived: " + std::to_string (arrived) + " of " + std::to_string (warmupCalls + callsFor (size));
        report ("(a) streaming", size, costs, note);
    }

    //--------------------------------------------------------------------------
    std::printf ("\n  (c) queue full: the stand-in drops the connection and stops reading; once the link has"
                 " reconnected, blocks are fed until the sender has waited to send for 300 ms, then 150 more\n");
    const auto taskPath = senderTaskPath();

    if (taskPath.empty())
        std::printf ("  WARNING: no thread named \"Vestrano link\" found; the fill cannot tell when the sender is held\n");

    for (const auto& size : blockSizes)
    {
        // A fresh connection that is never read keeps the kernel's socket
        // buffers at their first size; on one that was read they may have
        // grown, and keep opening in bursts long after the sender first waits.
        companion.setReading (false);
        const int accepted = companion.connectionsAccepted();
        companion.closeConnections();

        if (! pumpUntil ([&] { return companion.connectionsAccepted() > accepted && processor.isLinkConnected(); }, 10000))
            std::printf ("  WARNING: the link did not reconnect within 10 s\n");

        const auto fillStart = Clock::now();
        uint64_t fillCalls = 0;
        const bool held = fillUntilHeld (processor, taskPath, size.samples, sequence, fillCalls, 120.0);
        const auto fillNote = std::string (held ? "sender held waiting to send" : "WARNING: the sender was never seen held waiting to send; the queue may not be full")
                            + " after " + std::to_string (fillCalls) + " blocks in "
                            + juce::String (secondsBetween (fillStart, Clock::now()), 1).toStdString() + " s";

        const auto costs = timeCalls (processor, receiver, size.samples, callsFor (size), paceOf (size), sequence);
        const auto note = fillNote + (isBlockedInSend (taskPath) ? "; still held at the end" : "; NOT held at the end");
        report ("(c) queue full", size, costs, note);

        companion.setReading (true);
        waitUntilQuiet (receiver, 500, 60000);
    }

    //--------------------------------------------------------------------------
    {
        const BlockSize size { 512, 2000, 500, 4 };
        const int wanted = callsFor (size);
        std::printf ("\n2. latency from the processBlock call to the block's last byte parsed by the stand-in"
                     " (stereo %d samples, one block every %.1f us)\n", size.samples, periodUs (size.samples) / size.paceDivisor);

        receiver.startTiming (sequence + warmupCalls, (size_t) wanted);
        timeCalls (processor, receiver, size.samples, wanted, paceOf (size), sequence);
        waitUntilQuiet (receiver, 300, 10000);
        const auto latency = percentilesOf (receiver.stopTiming());
        printPercentiles ("call to last byte (us)", latency);
        std::printf ("  target: p99 under 1 ms -> %.3f us: %s%s\n", latency.p99, verdict (latency.p99 < 1000.0),
                     latency.count < (size_t) wanted ? "   (SOME BLOCKS DID NOT ARRIVE)" : "");
    }

    //--------------------------------------------------------------------------
    {
        const auto& size = blockSizes[0];
        std::printf ("\n3. reference: waking a sleeping thread with a mutex and condition variable, as"
                     " juce::WaitableEvent::signal does (one wake every %.1f us, no link involved)\n",
                     periodUs (size.samples) / size.paceDivisor);
        std::vector<double> costUs, wakeUpUs;
        timeWakes (callsFor (size), paceOf (size), costUs, wakeUpUs);
        printPercentiles ("signalling (us)", percentilesOf (costUs));
        printPercentiles ("until the sleeper runs (us)", percentilesOf (wakeUpUs));
    }

    std::printf ("\nThe timed calls ran %s; load average at the end: %s\n",
                 realtimeGranted ? "under SCHED_FIFO, priority 70" : "at normal priority (SCHED_FIFO refused)",
                 loadAverage().toRawUTF8());
    return 0;
}
