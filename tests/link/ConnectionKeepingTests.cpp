#include "LinkTestSupport.h"

#include <cstring>

using namespace LinkTestSupport;

namespace
{
    // Companion-driven situations: the link must keep or regain its connection.
    using ConnectionKeeping = LinkThreadsTest;
}

TEST_F (ConnectionKeeping, WithNothingListeningBlocksAreDroppedAndALateCompanionIsFoundQuickly)
{
    AppLink::Ptr link (new AppLink (48000));
    pumpFor (700);
    EXPECT_FALSE (link->isConnected());
    EXPECT_TRUE (pumpUntil ([&] { return countThreads() == threadsBefore + 2; }, 1000))
        << "the sender and a worker still dialling: " << countThreads() - threadsBefore;

    sendBlocks (*link, 500); // more than the queue holds: all dropped, none kept

    ASSERT_TRUE (companion.start());
    const auto listening = Clock::now();
    ASSERT_TRUE (bothEndsConnected (*link, companion));
    EXPECT_LT (millisecondsSince (listening), 1000) << "one 300 ms pause plus one attempt";

    // Sender and reader for the link, acceptor and reader for the stand-in.
    EXPECT_TRUE (pumpUntil ([&] { return countThreads() == threadsBefore + 4; }, 2000))
        << "the worker ends once the connection is made";
    EXPECT_EQ (companion.frameCount(), 0u) << "nothing sent from before the connection";

    sendBlocks (*link, 10);
    EXPECT_TRUE (companion.waitForFrames (10, 5000));
}

TEST_F (ConnectionKeeping, ALinkDestroyedBetweenAttemptsDoesNotSitOutThePause)
{
    AppLink::Ptr link (new AppLink (48000));
    pumpFor (60); // the first attempt fails at once; the worker now pauses 300 ms

    const auto start = Clock::now();
    link = nullptr;
    const auto elapsed = millisecondsSince (start);

    // Sitting out the pause would take the remaining 240 ms or so.
    EXPECT_LT (elapsed, 150);
    RecordProperty ("dialling_destruction_ms", (int) elapsed);
}

TEST_F (ConnectionKeeping, ALostConnectionIsRedialledAndSendingResumesInOrder)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));

    for (int round = 1; round <= 3; ++round)
    {
        companion.closeConnections();
        ASSERT_TRUE (pumpUntil ([&] { return companion.connectionsAccepted() == round + 1 && link->isConnected()
                                             && companion.openConnections() == 1; }, 3000))
            << "round " << round;
    }

    companion.clearFrames();
    sendBlocks (*link, 50);
    ASSERT_TRUE (companion.waitForFrames (50, 5000));

    const auto frames = companion.frames();
    for (int i = 0; i < 50; ++i)
    {
        float first;
        std::memcpy (&first, frames[(size_t) i].payload.data() + 14, 4);
        EXPECT_EQ (first, (float) i);
        EXPECT_EQ (frames[(size_t) i].connection, 3);
    }
}

TEST_F (ConnectionKeeping, AcceptAndCloseCyclesRedialWithoutPausing)
{
    companion.setCloseOnAccept (true);
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));

    pumpFor (2000);
    // A pause of 300 ms after every loss would allow seven at the most.
    EXPECT_GE (companion.connectionsAccepted(), 10);

    companion.setCloseOnAccept (false);
    ASSERT_TRUE (bothEndsConnected (*link, companion));
    sendBlocks (*link, 5);
    EXPECT_TRUE (companion.waitForFrames (5, 5000));
}

TEST_F (ConnectionKeeping, FramedMessagesFromTheCompanionAreIgnored)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));

    ASSERT_TRUE (companion.sendToAll (StandInCompanion::framed ({ 1, 2, 3, 4, 5 })));
    ASSERT_TRUE (companion.sendToAll (StandInCompanion::framed ({})));
    pumpFor (300);

    EXPECT_TRUE (link->isConnected());
    sendBlocks (*link, 5);
    EXPECT_TRUE (companion.waitForFrames (5, 5000));
    EXPECT_EQ (companion.connectionsAccepted(), 1);
}

TEST_F (ConnectionKeeping, BytesThatAreNotFramesLeadToARedialNotASilentlyDeadLink)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));

    ASSERT_TRUE (companion.sendToAll ({ 'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n' }));

    // The link closes the out-of-step connection itself and dials again at
    // once, without waiting for a block to notice.
    ASSERT_TRUE (pumpUntil ([&]
    {
        return companion.connectionsAccepted() == 2 && link->isConnected() && companion.openConnections() == 1;
    }, 5000)) << "the first connection closed by the link, the second standing";

    companion.clearFrames();
    sendBlocks (*link, 20);
    EXPECT_TRUE (companion.waitForFrames (20, 5000));
    for (auto& frame : companion.frames())
        EXPECT_EQ (frame.connection, 1);
}

TEST_F (ConnectionKeeping, AHeaderCutShortByACloseIsALossToo)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));

    ASSERT_TRUE (companion.sendToAll ({ 0x2C, 0x9E, 0xB4 }));
    companion.closeConnections();

    ASSERT_TRUE (pumpUntil ([&]
    {
        sendBlocks (*link, 1);
        return companion.connectionsAccepted() >= 2 && link->isConnected();
    }, 5000));
}

TEST_F (ConnectionKeeping, DestructionIsBoundedWhileTheCompanionHasStoppedReading)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr link (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*link, companion));

    companion.setReading (false);

    // Large blocks fill the socket buffers until the sender blocks in a write
    // and the queue backs up.
    sendBlocks (*link, 200, 16384);
    pumpFor (300);
    EXPECT_TRUE (link->isConnected());

    const auto start = Clock::now();
    link = nullptr;
    const auto elapsed = millisecondsSince (start);

    EXPECT_LT (elapsed, 1500);
    EXPECT_TRUE (linkThreadsGone());
    RecordProperty ("destruction_ms", (int) elapsed);
}

TEST_F (ConnectionKeeping, TwoLinksKeepTheirOwnConnections)
{
    ASSERT_TRUE (companion.start());
    AppLink::Ptr first (new AppLink (44100));
    AppLink::Ptr second (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*first, companion, 2) && bothEndsConnected (*second, companion, 2));
    EXPECT_EQ (companion.connectionsAccepted(), 2);

    first = nullptr;
    pumpFor (300);
    EXPECT_TRUE (second->isConnected());
    EXPECT_EQ (companion.connectionsAccepted(), 2);

    companion.clearFrames();
    sendBlocks (*second, 10);
    ASSERT_TRUE (companion.waitForFrames (10, 5000));
    EXPECT_EQ (companion.frames().back().payload[4], 0x80) << "48000 Hz link";
}

TEST_F (ConnectionKeeping, DestroyedLinksLeaveNoThreadAndNeverRedial)
{
    ASSERT_TRUE (companion.start());

    {
        AppLink::Ptr justBuilt (new AppLink (48000));
        sendBlocks (*justBuilt, 50);
    }
    EXPECT_TRUE (linkThreadsGone());

    AppLink::Ptr connected (new AppLink (48000));
    ASSERT_TRUE (bothEndsConnected (*connected, companion));
    pumpFor (300); // the stand-in may still be accepting what the first link dialled
    const int acceptedBefore = companion.connectionsAccepted();

    const auto start = Clock::now();
    connected = nullptr;
    RecordProperty ("connected_destruction_ms", (int) millisecondsSince (start));

    pumpFor (800);
    EXPECT_EQ (companion.connectionsAccepted(), acceptedBefore) << "no loss handling after destruction";
    EXPECT_TRUE (linkThreadsGone());
}

TEST_F (ConnectionKeeping, LinksBuiltAndDestroyedWhileConnectingNeverCallBack)
{
    ASSERT_TRUE (companion.start());

    // Destruction races the worker's connection and its callbacks, on a
    // thread other than the message thread as a host's release would.
    for (int i = 0; i < 40; ++i)
    {
        std::thread host ([i]
        {
            AppLink::Ptr link (new AppLink (48000));
            juce::Thread::sleep (i % 5);
        });

        pumpFor (3);
        host.join();
    }

    pumpFor (300);
    EXPECT_TRUE (linkThreadsGone());
}
