// Figures for the audio link against the stand-in companion on port 10000:
// the cost of sendBuffer on the calling thread, sustained throughput next to a
// plain TCP writer, and resident memory over a long stream.
//
//     vestrano_bench [--quick] [--soak-seconds N]

#include "AppLink.h"
#include "BenchSupport.h"
#include "MessagePump.h"
#include "StandInCompanion.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{
    using namespace bench;

    // The producer counts a block as outstanding until the stand-in has parsed
    // it, so blocks still in socket buffers count too and the link's queue
    // (limit 100) never holds more than this: nothing is refused, and the
    // producer does not spend the sender's time on the queue's lock for blocks
    // that would only be freed. When it is this far ahead it yields and looks
    // again.
    constexpr uint64_t maxOutstanding = 90;

    struct Options
    {
        bool quick = false;
        int soakSeconds = 60;
        int sendBufferSamples = 200000;
        int slowSamples = 10000;
        double streamWarmupSeconds = 0.5;
        double streamWindowSeconds = 3.0;
    };

    size_t frameBytes (int samples)
    {
        return frameHeaderBytes + payloadHeaderBytes + (size_t) channels * (size_t) samples * sizeof (float);
    }

    juce::AudioBuffer<float> makeBlock (int samples)
    {
        juce::AudioBuffer<float> block (channels, samples);

        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < samples; ++i)
                block.setSample (c, i, std::sin ((float) i * 0.01f + (float) c));

        return block;
    }

    long residentBytes()
    {
        long pages = 0, resident = 0;

        if (auto* file = std::fopen ("/proc/self/statm", "r"))
        {
            if (std::fscanf (file, "%ld %ld", &pages, &resident) != 2)
                resident = -1;

            std::fclose (file);
        }

        return resident * ::sysconf (_SC_PAGESIZE);
    }

    //==========================================================================
    // The stand-in's count is the truth about what arrived. While a window is
    // open it also records each frame's delivery time, from hand-over (to
    // sendBuffer, or to the plain writer's send) to being parsed: the sequence
    // number travels in the bits of the first sample so the receiver can look
    // up when its frame was handed over.
    class Arrivals
    {
    public:
        Arrivals() : handedOverAt (new std::atomic<int64_t>[ringSize])
        {
            // Growing this on the stand-in's reading thread would slow the very
            // reader being measured.
            deliveryUs.reserve (1 << 21);
        }

        void attachTo (StandInCompanion& companion)
        {
            companion.setOnFrame ([this] (const StandInCompanion::Frame& frame) { onFrame (frame); });
        }

        uint64_t count() const { return arrived.load (std::memory_order_acquire); }

        void handOver (uint32_t sequence)
        {
            handedOverAt[sequence & ringMask].store (nanosNow(), std::memory_order_relaxed);
        }

        void startTiming()
        {
            const std::lock_guard<std::mutex> lock (mutex);
            deliveryUs.clear();
            timing = true;
        }

        std::vector<double> stopTiming()
        {
            timing = false;
            const std::lock_guard<std::mutex> lock (mutex);
            return deliveryUs;
        }

    private:
        void onFrame (const StandInCompanion::Frame& frame)
        {
            if (timing.load (std::memory_order_relaxed) && frame.payload.size() >= payloadHeaderBytes + 4)
            {
                uint32_t sequence = 0;
                std::memcpy (&sequence, frame.payload.data() + payloadHeaderBytes, sizeof (sequence));
                const auto took = nanosNow() - handedOverAt[sequence & ringMask].load (std::memory_order_relaxed);

                const std::lock_guard<std::mutex> lock (mutex);

                if (deliveryUs.size() < deliveryUs.capacity())
                    deliveryUs.push_back ((double) took / 1000.0);
            }

            arrived.fetch_add (1, std::memory_order_release);
        }

        // Far more than can be outstanding at once, so an entry is never
        // reused before its frame arrives.
        static constexpr uint32_t ringSize = 1u << 20;
        static constexpr uint32_t ringMask = ringSize - 1;

        std::unique_ptr<std::atomic<int64_t>[]> handedOverAt;
        std::atomic<uint64_t> arrived { 0 };
        std::atomic<bool> timing { false };
        std::mutex mutex;
        std::vector<double> deliveryUs;
    };

    bool waitForArrivals (Arrivals& arrivals, uint64_t target, int timeoutMs)
    {
        return pumpUntil ([&] { return arrivals.count() >= target; }, timeoutMs);
    }

    //==========================================================================
    int connectPlainWriter()
    {
        const int fd = ::socket (AF_INET, SOCK_STREAM, 0);

        if (fd < 0)
            return -1;

        const int yes = 1;
        ::setsockopt (fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof (yes));

        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons ((uint16_t) StandInCompanion::port);
        address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);

        if (::connect (fd, (sockaddr*) &address, sizeof (address)) != 0)
        {
            ::close (fd);
            return -1;
        }

        return fd;
    }

    bool writeAll (int fd, const uint8_t* data, size_t size)
    {
        while (size > 0)
        {
            const auto written = ::send (fd, data, size, MSG_NOSIGNAL);

            if (written <= 0)
                return false;

            data += written;
            size -= (size_t) written;
        }

        return true;
    }

    std::vector<uint8_t> buildFrame (int samples)
    {
        const auto block = makeBlock (samples);
        const auto payloadSize = (uint32_t) (frameBytes (samples) - frameHeaderBytes);
        std::vector<uint8_t> frame (frameBytes (samples), 0);

        for (int shift = 0; shift < 32; shift += 8)
        {
            frame[(size_t) shift / 8] = (uint8_t) (StandInCompanion::magic >> shift);
            frame[4 + (size_t) shift / 8] = (uint8_t) (payloadSize >> shift);
        }

        auto* payload = frame.data() + frameHeaderBytes;
        payload[0] = 0xB0;
        payload[1] = (uint8_t) channels;
        payload[2] = (uint8_t) (samples & 0xff);
        payload[3] = (uint8_t) ((samples >> 8) & 0xff);
        payload[4] = (uint8_t) (sampleRate & 0xff);
        payload[5] = (uint8_t) ((sampleRate >> 8) & 0xff);

        for (int c = 0; c < channels; ++c)
            std::memcpy (payload + payloadHeaderBytes + (size_t) c * (size_t) samples * sizeof (float),
                         block.getReadPointer (c), (size_t) samples * sizeof (float));

        return frame;
    }

    //==========================================================================
    struct SendCostResult
    {
        std::vector<double> costsUs;
        uint64_t heldBack = 0;
        double callsPerSecond = 0;
    };

    // Calls timed(), which returns the microseconds it measured, once every
    // interval from a thread of its own. Only wanted calls after the warm-up
    // count. Spinning rather than sleeping keeps the pace even at 25 us, as an
    // audio thread busy with its own work would.
    template <typename Timed>
    SendCostResult pacedCalls (int warmupCalls, int wanted, std::chrono::microseconds interval, Timed timed)
    {
        SendCostResult result;
        result.costsUs.reserve ((size_t) wanted);

        runWhilePumping ([&]
        {
            auto next = Clock::now();
            Clock::time_point firstTimed;

            for (int done = 0; done < warmupCalls + wanted; ++done)
            {
                next = std::max (next + interval, Clock::now());

                while (Clock::now() < next) {}

                if (done == warmupCalls)
                    firstTimed = Clock::now();

                const auto us = timed (done);

                if (done >= warmupCalls)
                    result.costsUs.push_back (us);
            }

            result.callsPerSecond = (double) wanted / secondsBetween (firstTimed, Clock::now());
        });

        return result;
    }

    // Held back whenever the sender falls 50 blocks behind, so the figures are
    // those of a queue that accepts: a full queue would time the refusal path
    // instead.
    SendCostResult measureSendBufferCost (AppLink& link, Arrivals& arrivals, int warmupCalls, int wanted,
                                          std::chrono::microseconds interval)
    {
        constexpr int batchSize = 1000;
        constexpr uint64_t maxBehind = 50;

        const auto block = makeBlock (512);
        const auto base = arrivals.count();
        std::vector<juce::AudioBuffer<float>*> copies;
        uint64_t pushed = 0, heldBack = 0;

        auto result = pacedCalls (warmupCalls, wanted, interval, [&] (int done)
        {
            // The copies are made here, a batch at a time, so that only the
            // hand-over is timed.
            if (done % batchSize == 0)
            {
                copies.clear();

                for (int i = 0; i < batchSize; ++i)
                    copies.push_back (new juce::AudioBuffer<float> (block));
            }

            if (pushed - (arrivals.count() - base) >= maxBehind)
            {
                ++heldBack;

                while (pushed - (arrivals.count() - base) >= maxBehind)
                    std::this_thread::yield();
            }

            auto* copy = std::exchange (copies[(size_t) (done % batchSize)], nullptr);

            const auto before = Clock::now();
            link.sendBuffer (copy);
            const auto after = Clock::now();

            ++pushed;
            return std::chrono::duration<double, std::micro> (after - before).count();
        });

        for (auto* unused : copies)
            delete unused;

        result.heldBack = heldBack;
        return result;
    }

    // What this machine charges for waking a sleeping thread the way the
    // queue wakes its sender (a mutex, a flag and a condition variable), for
    // reading the link's figures against.
    SendCostResult measureWakeCost (int warmupCalls, int wanted, std::chrono::microseconds interval)
    {
        std::mutex mutex;
        std::condition_variable wake;
        bool pending = false, quit = false;

        std::thread sleeper ([&]
        {
            std::unique_lock<std::mutex> lock (mutex);

            while (! quit)
            {
                wake.wait (lock, [&] { return pending || quit; });
                pending = false;
            }
        });

        auto result = pacedCalls (warmupCalls, wanted, interval, [&] (int)
        {
            const auto before = Clock::now();

            {
                const std::lock_guard<std::mutex> lock (mutex);
                pending = true;
            }

            wake.notify_all();
            const auto after = Clock::now();
            return std::chrono::duration<double, std::micro> (after - before).count();
        });

        {
            const std::lock_guard<std::mutex> lock (mutex);
            quit = true;
        }

        wake.notify_all();
        sleeper.join();
        return result;
    }

    //==========================================================================
    struct StreamResult
    {
        double messagesPerSecond = 0;
        double megabytesPerSecond = 0;
        Percentiles deliveryUs;
        uint64_t handedOver = 0;
        uint64_t arrived = 0;
        bool failed = false;
    };

    // Hands frames over with push(sequence) as fast as the path takes them and
    // counts what the stand-in parses during a window after a warm-up, so
    // connection start-up and the first burst into empty buffers do not count.
    template <typename Push>
    StreamResult measureStream (Arrivals& arrivals, int samples, const Options& options,
                                bool capOutstanding, uint32_t& sequence, Push push)
    {
        StreamResult result;
        const auto base = arrivals.count();

        runWhilePumping ([&]
        {
            const auto start = Clock::now();
            const auto windowStart = start + std::chrono::duration<double> (options.streamWarmupSeconds);
            const auto windowEnd = windowStart + std::chrono::duration<double> (options.streamWindowSeconds);

            bool inWindow = false;
            Clock::time_point openedAt;
            uint64_t arrivedAtOpen = 0;
            auto lastProgressAt = start;
            uint64_t lastSeen = base;

            for (;;)
            {
                const auto now = Clock::now();

                if (! inWindow && now >= windowStart)
                {
                    inWindow = true;
                    openedAt = now;
                    arrivedAtOpen = arrivals.count();
                    arrivals.startTiming();
                }

                if (now >= windowEnd)
                    break;

                if (capOutstanding && result.handedOver - (arrivals.count() - base) >= maxOutstanding)
                {
                    const auto seen = arrivals.count();

                    if (seen != lastSeen)
                    {
                        lastSeen = seen;
                        lastProgressAt = now;
                    }
                    else if (secondsBetween (lastProgressAt, now) > 3.0)
                    {
                        result.failed = true;
                        break;
                    }

                    std::this_thread::yield();
                    continue;
                }

                if (! push (sequence++))
                {
                    result.failed = true;
                    break;
                }

                ++result.handedOver;
            }

            const auto closedAt = Clock::now();
            const auto arrivedAtClose = arrivals.count();
            result.deliveryUs = percentilesOf (arrivals.stopTiming());
            const auto seconds = secondsBetween (openedAt, closedAt);

            if (inWindow && seconds > 0)
            {
                result.messagesPerSecond = (double) (arrivedAtClose - arrivedAtOpen) / seconds;
                result.megabytesPerSecond = result.messagesPerSecond * (double) frameBytes (samples) / 1.0e6;
            }
        });

        waitForArrivals (arrivals, base + result.handedOver, 10000);
        result.arrived = arrivals.count() - base;
        return result;
    }

    StreamResult streamThroughLink (AppLink& link, Arrivals& arrivals, int samples,
                                    const Options& options, uint32_t& sequence)
    {
        const auto block = makeBlock (samples);

        return measureStream (arrivals, samples, options, true, sequence, [&] (uint32_t number)
        {
            auto* copy = new juce::AudioBuffer<float> (block);
            std::memcpy (copy->getWritePointer (0), &number, sizeof (number));
            arrivals.handOver (number);
            link.sendBuffer (copy);
            return true;
        });
    }

    // The yardstick: what one thread gets through loopback TCP to the same
    // reader with nothing in between. A blocking send is its own back-pressure,
    // so it needs no cap.
    StreamResult streamThroughPlainSocket (Arrivals& arrivals, int samples,
                                           const Options& options, uint32_t& sequence)
    {
        const int fd = connectPlainWriter();

        if (fd < 0)
        {
            StreamResult failed;
            failed.failed = true;
            return failed;
        }

        auto frame = buildFrame (samples);
        auto* firstSample = frame.data() + frameHeaderBytes + payloadHeaderBytes;

        auto result = measureStream (arrivals, samples, options, false, sequence, [&] (uint32_t number)
        {
            std::memcpy (firstSample, &number, sizeof (number));
            arrivals.handOver (number);
            return writeAll (fd, frame.data(), frame.size());
        });

        ::close (fd);
        return result;
    }

    //==========================================================================
    bool parseOptions (int argc, char** argv, Options& options)
    {
        bool soakGiven = false;

        for (int i = 1; i < argc; ++i)
        {
            const std::string arg (argv[i]);

            if (arg == "--quick")
            {
                options.quick = true;
            }
            else if (arg == "--soak-seconds" && i + 1 < argc)
            {
                options.soakSeconds = std::atoi (argv[++i]);
                soakGiven = true;

                if (options.soakSeconds < 3)
                    return false;
            }
            else
            {
                return false;
            }
        }

        if (options.quick)
        {
            options.sendBufferSamples = 20000;
            options.slowSamples = 2000;
            options.streamWarmupSeconds = 0.3;
            options.streamWindowSeconds = 1.0;

            if (! soakGiven)
                options.soakSeconds = 5;
        }

        return true;
    }
}

//==============================================================================
int main (int argc, char** argv)
{
    Options options;

    if (! parseOptions (argc, argv, options))
    {
        std::fprintf (stderr, "usage: %s [--quick] [--soak-seconds N (at least 3)]\n", argv[0]);
        return 1;
    }

    std::setvbuf (stdout, nullptr, _IOLBF, 0);

    const juce::ScopedJuceInitialiser_GUI juceRuntime;

    // Declared before the stand-in so that the stand-in's reading threads,
    // which call into it, have ended before it goes.
    Arrivals arrivals;
    StandInCompanion companion;
    companion.setKeepFrames (false);
    arrivals.attachTo (companion);

    std::printf ("Vestrano link benchmark%s: %u hardware threads, stereo blocks, %d Hz\n",
                 options.quick ? " (quick)" : "", std::thread::hardware_concurrency(), sampleRate);

    if (! startCompanion (companion, 60))
    {
        std::printf ("\n*** COULD NOT BIND 127.0.0.1:10000 for the stand-in companion after 60 s:"
                     " something else holds the port. No figures were taken. ***\n");
        return 2;
    }

    AppLink::Ptr link (new AppLink (sampleRate));

    if (! pumpUntil ([&] { return link->isConnected(); }, 10000))
    {
        std::printf ("\n*** The link did not connect to the stand-in within 10 s. No figures were taken. ***\n");
        return 3;
    }

    if (! companion.waitForConnections (1, 2000))
    {
        std::printf ("\n*** The link connected, but not to this stand-in (another listener on port 10000?)."
                     " No figures were taken. ***\n");
        return 3;
    }

    pumpFor (200);
    uint32_t sequence = 0;

    //--------------------------------------------------------------------------
    std::printf ("\n1. sendBuffer cost (stereo 512-sample copies made beforehand, only the call timed,"
                 " held back while 50 blocks are unsent; microseconds)\n");
    {
        const auto fast = measureSendBufferCost (*link, arrivals, 2000, options.sendBufferSamples,
                                                 std::chrono::microseconds (25));
        const auto p = percentilesOf (fast.costsUs);
        printPercentiles ("one call every 25 us", p);
        std::printf ("  %26s %.0f calls/s while timing; held back %llu times for the sender\n", "",
                     fast.callsPerSecond, (unsigned long long) fast.heldBack);

        // A host calls once per block, milliseconds apart, so the sender is
        // asleep at every call; at 25 us it is mostly still busy with the last.
        const auto slow = measureSendBufferCost (*link, arrivals, 100, options.slowSamples,
                                                 std::chrono::microseconds (1000));
        const auto ps = percentilesOf (slow.costsUs);
        printPercentiles ("one call every 1 ms", ps);

        const auto wake = measureWakeCost (100, options.slowSamples, std::chrono::microseconds (1000));
        printPercentiles ("reference: waking a thread", percentilesOf (wake.costsUs));
        std::printf ("  %26s (std::mutex + std::condition_variable, one wake every 1 ms, no link involved)\n", "");

        std::printf ("  target: p99.9 under 10 us -> every 25 us %.3f us: %s; every 1 ms %.3f us: %s\n",
                     p.p999, verdict (p.p999 < 10.0), ps.p999, verdict (ps.p999 < 10.0));
        pumpFor (500);
    }

    //--------------------------------------------------------------------------
    std::printf ("\n2. sustained throughput (frames parsed by the stand-in per second over %.1f s after"
                 " %.1f s warm-up; MB = 10^6 bytes of frame incl. 8-byte header;\n"
                 "   delivery = hand-over to parsed, in microseconds; link producer keeps at most %d"
                 " blocks outstanding and yields otherwise)\n",
                 options.streamWindowSeconds, options.streamWarmupSeconds, (int) maxOutstanding);

    struct Row { int samples; StreamResult viaLink, plain; };
    std::vector<Row> rows;

    for (int samples : { 64, 512, 4096 })
    {
        Row row { samples, streamThroughLink (*link, arrivals, samples, options, sequence),
                  streamThroughPlainSocket (arrivals, samples, options, sequence) };

        std::printf ("  stereo %4d samples (%zu-byte frames)\n", samples, frameBytes (samples));

        for (const auto* r : { &row.viaLink, &row.plain })
        {
            const bool isLink = r == &row.viaLink;
            std::printf ("    %-6s %11.0f messages/s %9.1f MB/s   handed over %llu, arrived %llu%s\n",
                         isLink ? "link" : "plain", r->messagesPerSecond, r->megabytesPerSecond,
                         (unsigned long long) r->handedOver, (unsigned long long) r->arrived,
                         r->failed ? "   (STALLED OR FAILED)" : "");
            printPercentiles (isLink ? "  link delivery (us)" : "  plain delivery (us)", r->deliveryUs);
        }

        std::printf ("    link/plain %.3f\n",
                     row.plain.messagesPerSecond > 0 ? row.viaLink.messagesPerSecond / row.plain.messagesPerSecond : 0.0);
        rows.push_back (row);
    }

    const auto& small = rows.front().viaLink;
    const auto& large = rows.back();
    std::printf ("  target: stereo 64-sample blocks at least 37,500 messages/s -> %.0f: %s\n",
                 small.messagesPerSecond, verdict (small.messagesPerSecond >= 37500.0));
    std::printf ("  target: stereo 4096-sample blocks at least half the plain writer's MB/s -> %.1f of %.1f MB/s: %s\n",
                 large.viaLink.megabytesPerSecond, large.plain.megabytesPerSecond,
                 verdict (large.viaLink.megabytesPerSecond >= 0.5 * large.plain.megabytesPerSecond));

    //--------------------------------------------------------------------------
    std::printf ("\n3. memory (stereo 512-sample blocks as fast as the queue takes them for %d s;"
                 " resident set size from /proc/self/statm)\n", options.soakSeconds);
    {
        const auto block = makeBlock (512);
        const auto base = arrivals.count();
        std::atomic<bool> stop { false };
        std::atomic<uint64_t> handedOver { 0 };

        // The same producer as in the throughput runs, running until told to stop.
        std::thread producer ([&]
        {
            while (! stop)
            {
                if (handedOver - (arrivals.count() - base) >= maxOutstanding)
                {
                    std::this_thread::yield();
                    continue;
                }

                link->sendBuffer (new juce::AudioBuffer<float> (block));
                ++handedOver;
            }
        });

        const auto start = Clock::now();
        const auto mb = [] (long bytes) { return (double) bytes / (1024.0 * 1024.0); };
        const auto report = [&] (const char* label, double at, long rss)
        {
            std::printf ("  %-12s t=%5.1f s   RSS %8.2f MiB   frames arrived %llu\n", label, at, mb (rss),
                         (unsigned long long) (arrivals.count() - base));
        };

        report ("start", 0.0, residentBytes());

        // The first figure after the queue and the allocator have reached their
        // working size is the baseline; growth after it would be a leak.
        pumpUntil ([&] { return secondsBetween (start, Clock::now()) >= 2.0; }, 3000);
        const long baseline = residentBytes();
        report ("baseline", secondsBetween (start, Clock::now()), baseline);

        long last = baseline;

        for (int mark = 5; ; mark += 5)
        {
            const double at = std::min ((double) mark, (double) options.soakSeconds);
            pumpUntil ([&] { return secondsBetween (start, Clock::now()) >= at; }, 24 * 3600 * 1000);
            last = residentBytes();
            report ("", secondsBetween (start, Clock::now()), last);

            if (at >= (double) options.soakSeconds)
                break;
        }

        stop = true;
        producer.join();
        const auto elapsed = secondsBetween (start, Clock::now());
        waitForArrivals (arrivals, base + handedOver, 10000);

        const double growth = mb (last - baseline);
        std::printf ("  %.0f messages/s on average; handed over %llu, arrived %llu\n",
                     (double) (arrivals.count() - base) / elapsed,
                     (unsigned long long) handedOver.load(), (unsigned long long) (arrivals.count() - base));
        std::printf ("  target: resident memory flat -> last minus baseline %+.2f MiB (%+ld KiB): %s"
                     " (read as flat: under 1 MiB of growth)\n",
                     growth, (last - baseline) / 1024, verdict (growth < 1.0));
    }

    link = nullptr;
    companion.stop();
    return 0;
}
