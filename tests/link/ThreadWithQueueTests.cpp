#include "ThreadWithQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

namespace
{
    struct Counters
    {
        std::atomic<int> deleted { 0 };
    };

    struct Item
    {
        Item (int v, Counters& c) : value (v), counters (c) {}
        ~Item() { ++counters.deleted; }
        int value;
        Counters& counters;
    };

    // Records what it processes; can hold the thread inside processItem.
    class RecordingQueue : public ThreadWithQueue<Item>
    {
    public:
        explicit RecordingQueue (int limit = 100, bool owns = true)
            : ThreadWithQueue<Item> ("test queue", limit, owns) {}

        ~RecordingQueue() override { stopThread (2000); }

        std::vector<int> processed() const
        {
            const juce::ScopedLock sl (lock);
            return values;
        }

        juce::WaitableEvent entered, release { true };
        std::atomic<bool> holdInside { false };

    private:
        void processItem (Item* item) override
        {
            EXPECT_NE (item, nullptr);

            {
                const juce::ScopedLock sl (lock);
                values.push_back (item->value);
            }

            if (holdInside)
            {
                entered.signal();
                release.wait (5000);
            }
        }

        juce::CriticalSection lock;
        std::vector<int> values;
    };

    bool waitUntil (const std::function<bool()>& condition, int timeoutMs = 5000)
    {
        for (int waited = 0; ! condition(); waited += 2)
        {
            if (waited > timeoutMs)
                return false;

            juce::Thread::sleep (2);
        }

        return true;
    }
}

TEST (ThreadWithQueue, FullQueueRefusesTheNewestAndKeepsTheRestInOrder)
{
    Counters counters;
    RecordingQueue queue;

    for (int i = 0; i < 99; ++i)
        queue.addToQueue (new Item (i, counters));

    EXPECT_EQ (queue.getNumWaiting(), 99);
    queue.addToQueue (new Item (99, counters));
    EXPECT_EQ (queue.getNumWaiting(), 100);
    EXPECT_EQ (counters.deleted, 0);

    queue.addToQueue (new Item (100, counters));
    EXPECT_EQ (queue.getNumWaiting(), 100);
    EXPECT_EQ (counters.deleted, 1) << "the refused item is deleted at once";

    // Queued before the start: the first wait returns at once.
    queue.startThread();
    ASSERT_TRUE (waitUntil ([&] { return counters.deleted == 101; }));

    std::vector<int> expected (100);
    std::iota (expected.begin(), expected.end(), 0);
    EXPECT_EQ (queue.processed(), expected);
}

TEST (ThreadWithQueue, NullItemsTakeASlotButAreNeverProcessedOrDeleted)
{
    Counters counters;
    RecordingQueue queue (3);

    queue.addToQueue (nullptr);
    queue.addToQueue (new Item (1, counters));
    queue.addToQueue (nullptr);
    queue.addToQueue (new Item (2, counters)); // over the limit of 3
    EXPECT_EQ (counters.deleted, 1);

    queue.startThread();
    ASSERT_TRUE (waitUntil ([&] { return queue.getNumWaiting() == 0 && counters.deleted == 2; }));
    EXPECT_EQ (queue.processed(), std::vector<int> { 1 });
}

TEST (ThreadWithQueue, StoppingFinishesTheItemInHandAndDestructionDeletesTheRestOnce)
{
    Counters counters;

    {
        RecordingQueue queue;
        queue.holdInside = true;
        queue.release.reset();
        queue.startThread();

        queue.addToQueue (new Item (0, counters));
        ASSERT_TRUE (queue.entered.wait (5000));

        queue.addToQueue (nullptr);
        for (int i = 1; i <= 5; ++i)
            queue.addToQueue (new Item (i, counters));

        queue.signalThreadShouldExit();
        queue.release.signal();
        ASSERT_TRUE (queue.waitForThreadToExit (5000));

        EXPECT_EQ (queue.processed(), std::vector<int> { 0 });
        EXPECT_EQ (counters.deleted, 1) << "the item in hand is deleted after processing";
    }

    EXPECT_EQ (counters.deleted, 6) << "every waiting item is deleted exactly once";
}

TEST (ThreadWithQueue, ConcurrentProducerKeepsOrderAndEveryItemIsDeletedOnce)
{
    Counters counters;
    constexpr int total = 20000;

    {
        RecordingQueue queue;
        queue.startThread();

        std::thread producer ([&]
        {
            for (int i = 0; i < total; ++i)
                queue.addToQueue (new Item (i, counters));
        });

        producer.join();
        ASSERT_TRUE (waitUntil ([&] { return queue.getNumWaiting() == 0; }));
        ASSERT_TRUE (waitUntil ([&] { return counters.deleted == total; }));

        const auto processed = queue.processed();
        EXPECT_TRUE (std::is_sorted (processed.begin(), processed.end()));
        EXPECT_EQ (std::adjacent_find (processed.begin(), processed.end()), processed.end());
        EXPECT_GT (processed.size(), 0u);
    }

    EXPECT_EQ (counters.deleted, total);
}

TEST (ThreadWithQueue, ANonOwningQueueDeletesNothing)
{
    Counters counters;
    std::vector<std::unique_ptr<Item>> items;

    for (int i = 0; i < 4; ++i)
        items.push_back (std::make_unique<Item> (i, counters));

    {
        RecordingQueue queue (2, false);
        queue.addToQueue (items[0].get());
        queue.addToQueue (items[1].get());
        queue.addToQueue (items[2].get()); // refused, still not deleted
        queue.startThread();
        ASSERT_TRUE (waitUntil ([&] { return queue.processed().size() == 2; }));
        queue.addToQueue (items[3].get()); // left waiting at destruction
        queue.stopThread (2000);
    }

    EXPECT_EQ (counters.deleted, 0);
}
