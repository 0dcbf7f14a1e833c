#include "LinkTestSupport.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <sys/syscall.h>
#include <unistd.h>

using namespace LinkTestSupport;

namespace
{
    // Large blocks fill the stand-in's receive buffer and the link's send
    // buffer until the sender waits in the middle of a frame, and the queue
    // backs up behind it.
    void stopReadingAndBackUp (StandInCompanion& companion, AppLink& link)
    {
        companion.setReading (false);
        sendBlocks (link, 200, 16384);
        pumpFor (300);
    }

    std::vector<uint8_t> hugeLengthHeader()
    {
        auto bytes = StandInCompanion::header (0x7fffffffu);
        bytes.insert (bytes.end(), { 1, 2, 3, 4 });
        return bytes;
    }

    struct Hostility
    {
        const char* name;
        std::function<void (StandInCompanion&, AppLink&)> bringAbout;
    };

    const Hostility hostilities[] = {
        { "StopsReading", stopReadingAndBackUp },
        { "HalfClosesAndNeverReads", [] (StandInCompanion& c, AppLink& l)
            {
                stopReadingAndBackUp (c, l);
                c.halfCloseConnections();
                pumpFor (300);
            } },
        { "AnnouncesAHugePayload", [] (StandInCompanion& c, AppLink&)
            {
                ASSERT_TRUE (c.sendToAll (hugeLengthHeader()));
                pumpFor (300);
            } },
        { "AnnouncesAHugePayloadAndCloses", [] (StandInCompanion& c, AppLink&)
            {
                ASSERT_TRUE (c.sendToAll (hugeLengthHeader()));
                c.closeConnections();
                pumpFor (300);
            } },
        { "SendsJunk", [] (StandInCompanion& c, AppLink&)
            {
                ASSERT_TRUE (c.sendToAll ({ 'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '\r', '\n' }));
                pumpFor (300);
            } },
        { "CutsTheConnectionMidFrame", [] (StandInCompanion& c, AppLink& l)
            {
                stopReadingAndBackUp (c, l);
                c.closeConnections();
                pumpFor (300);
            } },
    };

    // Names the situation in test output instead of dumping its bytes.
    [[maybe_unused]] void PrintTo (const Hostility& hostility, std::ostream* out) { *out << hostility.name; }

    class HostileCompanion : public LinkThreadsTest,
                             public ::testing::WithParamInterface<Hostility>
    {
    };

    using CompanionMisbehaving = LinkThreadsTest;

    long residentKiB()
    {
        std::ifstream statm ("/proc/self/statm");
        long pages = 0, resident = 0;
        statm >> pages >> resident;
        return resident * (::sysconf (_SC_PAGESIZE) / 1024);
    }

    // The first sample of each frame's channel 0: the number sendBlocks gave it.
    float blockNumberOf (const StandInCompanion::Frame& frame)
    {
        float number = -1.0f;
        std::memcpy (&number, frame.payload.data() + 14, sizeof (number));
        return number;
    }
}

// Whatever the companion does, the editor's question is answered at once, the
// audio thread can go on handing over blocks, and the host's release ends
// within a second with every thread of the link ended by itself.
TEST_P (HostileCompanion, TheLinkAnswersAtOnceAndEndsWithinASecond)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));

    GetParam().bringAbout (companion, *link);

    long long slowestAnswerMs = 0;

    for (int i = 0; i < 20; ++i)
    {
        const auto start = Clock::now();
        [[maybe_unused]] const bool connected = link->isConnected();
        slowestAnswerMs = std::max (slowestAnswerMs, millisecondsSince (start));
        sendBlocks (*link, 5);
        pumpFor (5);
    }

    // The fault this guards against never answered at all.
    EXPECT_LT (slowestAnswerMs, 100);

    const auto start = Clock::now();
    link = nullptr;
    const auto elapsed = millisecondsSince (start);

    EXPECT_LT (elapsed, 1000);
    RecordProperty ("destruction_ms", (int) elapsed);
}

INSTANTIATE_TEST_SUITE_P (Hostilities, HostileCompanion, ::testing::ValuesIn (hostilities),
                          [] (const auto& testInfo) { return std::string (testInfo.param.name); });

// A header may announce gigabytes: the bytes that follow are passed over as
// they come, and nothing of the announced size is ever allocated.
TEST_F (CompanionMisbehaving, AHeaderAnnouncingGigabytesCostsNoMemory)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));
    pumpFor (100);

    const auto residentBefore = residentKiB();
    ASSERT_TRUE (companion.sendToAll (StandInCompanion::header (0x7fffffffu)));

    const std::vector<uint8_t> chunk (64 * 1024, 0x55);

    for (int i = 0; i < 256; ++i) // 16 MiB of the announced payload
        ASSERT_TRUE (companion.sendToAll (chunk)) << "the link stopped reading at chunk " << i;

    pumpFor (200);
    const auto grownKiB = residentKiB() - residentBefore;
    RecordProperty ("resident_growth_kib", (int) grownKiB);
    EXPECT_LT (grownKiB, 4 * 1024);

    // The connection is still good for sending.
    EXPECT_TRUE (link->isConnected());
    sendBlocks (*link, 10);
    EXPECT_TRUE (companion.waitForFrames (10, 5000));
    EXPECT_EQ (companion.connectionsAccepted(), 1);
}

// A companion that drops the connection while a frame is half written: the
// rest of that frame is never written anywhere, and the next connection
// starts on a frame boundary.
TEST_F (CompanionMisbehaving, AWriteCutShortIsFollowedByANewConnectionOfWholeFrames)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));

    stopReadingAndBackUp (companion, *link);
    companion.closeConnections(); // with unread bytes: the link's write fails
    companion.setReading (true);

    ASSERT_TRUE (pumpUntil ([&] { return companion.connectionsAccepted() == 2 && link->isConnected()
                                         && companion.openConnections() == 1; }, 5000));
    pumpFor (500); // what was still queued goes out on the new connection

    sendBlocks (*link, 20, 64, 1000);
    ASSERT_TRUE (pumpUntil ([&]
    {
        const auto frames = companion.frames();
        return ! frames.empty() && blockNumberOf (frames.back()) == 1019.0f;
    }, 5000));

    EXPECT_FALSE (companion.sawBadFrame()) << "a frame on the new connection did not start with the magic number";

    const auto frames = companion.frames();
    std::vector<float> numbers;

    for (const auto& frame : frames)
        if (frame.connection == 1)
            numbers.push_back (blockNumberOf (frame));

    ASSERT_GE (numbers.size(), 20u);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ (numbers[numbers.size() - 20 + (size_t) i], 1000.0f + (float) i);
}

namespace
{
    std::atomic<int> signalsHandled { 0 };

    // Without SA_RESTART, as a host's own handler may be: a blocking write
    // that a signal interrupts returns with only part of the frame written.
    struct InterruptingSignal
    {
        InterruptingSignal()
        {
            struct sigaction action {};
            action.sa_handler = [] (int) { signalsHandled.fetch_add (1); };
            sigemptyset (&action.sa_mask);
            ::sigaction (SIGUSR1, &action, &previous);
        }

        ~InterruptingSignal() { ::sigaction (SIGUSR1, &previous, nullptr); }

        static void deliverTo (int threadId) { ::syscall (SYS_tgkill, ::getpid(), threadId, SIGUSR1); }

        struct sigaction previous {};
    };
}

// Signals that reach the sending thread while it waits in the middle of a
// frame change nothing on the stream: every frame arrives whole and in order
// on the one connection.
TEST_F (CompanionMisbehaving, SignalsDuringAWriteNeverBreakAFrame)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));
    const InterruptingSignal signal;

    companion.setReading (false);
    sendBlocks (*link, 100, 16384); // no more than the queue and the sender hold
    pumpFor (300);

    const auto senders = threadIdsNamed ("Vestrano link");
    ASSERT_EQ (senders.size(), 1u);
    const int before = signalsHandled.load();

    for (int i = 0; i < 40; ++i)
    {
        InterruptingSignal::deliverTo (senders.front());
        pumpFor (5);
    }

    EXPECT_GT (signalsHandled.load(), before);
    companion.setReading (true);

    ASSERT_TRUE (companion.waitForFrames (100, 10000)) << companion.frameCount() << " frames arrived";
    EXPECT_FALSE (companion.sawBadFrame());
    EXPECT_EQ (companion.connectionsAccepted(), 1);

    const auto frames = companion.frames();
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ (blockNumberOf (frames[(size_t) i]), (float) i);
}

// Connections made and lost thousands of times, with the editor's question
// and the audio thread's blocks coming in all along: the message thread never
// waits for a thread in a connection callback, so nothing ever deadlocks.
TEST_F (CompanionMisbehaving, ThousandsOfConnectionsMadeAndLostNeverDeadlock)
{
    companion.setCloseOnAccept (true);
    companion.setKeepFrames (false);
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));

    std::atomic<bool> running { true };
    std::thread audio ([&]
    {
        while (running.load())
        {
            sendBlocks (*link, 1);
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        }
    });

    constexpr int connections = 2000;
    const auto giveUp = Clock::now() + std::chrono::seconds (120);

    while (companion.connectionsAccepted() < connections && Clock::now() < giveUp)
    {
        [[maybe_unused]] const bool connected = link->isConnected();
        pumpFor (10);
    }

    running = false;
    audio.join();

    RecordProperty ("connections", companion.connectionsAccepted());
    EXPECT_GE (companion.connectionsAccepted(), connections);

    const auto start = Clock::now();
    link = nullptr;
    EXPECT_LT (millisecondsSince (start), 1000);
}
