#pragma once

#include <juce_core/juce_core.h>

#include <deque>
#include <memory>

/** A named thread that drains a bounded first-in, first-out queue of items,
    handing each one to processItem() on its own thread.

    When the queue is full the newest item is refused: what already waits is
    older audio that the companion application still expects in order.
*/
template <typename T>
class ThreadWithQueue : public juce::Thread
{
public:
    explicit ThreadWithQueue (const juce::String& name,
                              int maxItemsWaiting = 100,
                              bool ownsItems = true)
        : juce::Thread (name),
          maxQueueSize (maxItemsWaiting),
          deleteItemsAfterProcessing (ownsItems)
    {
    }

    /** Called by the owner's thread. Waits for the thread to end by itself:
        owners stop it earlier, while processItem() can still be called.
        Items still waiting are deleted unprocessed.
    */
    ~ThreadWithQueue() override
    {
        stopThread (-1);

        const juce::ScopedLock sl (queueLock);

        while (! queue.empty())
        {
            auto* item = queue.front();
            queue.pop_front();

            if (deleteItemsAfterProcessing)
                delete item;
        }
    }

    /** Called from any thread, the host's audio thread included, before the
        thread starts and after it stops too. Holds queueLock only for a size
        test and one append (or the deletion of a refused item) and never waits
        for the queue's thread. With ownsItems the item belongs to the queue
        from the call on, unless growing the queue throws: then it is still the
        caller's and the exception reaches the caller.
    */
    void addToQueue (T* item)
    {
        {
            const juce::ScopedLock sl (queueLock);

            if ((int) queue.size() >= maxQueueSize)
            {
                if (deleteItemsAfterProcessing)
                    delete item;

                notify();
                return;
            }

            queue.push_back (item);
        }

        notify();
    }

    /** Any thread: how many items wait right now. */
    int getNumWaiting() const
    {
        const juce::ScopedLock sl (queueLock);
        return (int) queue.size();
    }

    void run() override
    {
        while (! threadShouldExit())
        {
            wait (-1);

            while (! threadShouldExit())
            {
                T* item = nullptr;

                {
                    const juce::ScopedLock sl (queueLock);

                    if (queue.empty())
                        break;

                    item = queue.front();
                    queue.pop_front();
                }

                if (item == nullptr)
                    continue;

                if (deleteItemsAfterProcessing)
                {
                    const std::unique_ptr<T> owned (item);
                    processItem (item);
                }
                else
                {
                    processItem (item);
                }
            }

            yield();
        }
    }

protected:
    /** Called on the queue's own thread, one item at a time in queue order,
        never with a null item and never with queueLock held.
    */
    virtual void processItem (T* item) = 0;

private:
    // Taken by producers (the audio thread) for one append, by the queue's
    // thread for one pop and by the destructor for the final drain; never
    // held while an item is processed or while the thread waits.
    juce::CriticalSection queueLock;
    std::deque<T*> queue; // under queueLock
    const int maxQueueSize;
    const bool deleteItemsAfterProcessing;

    JUCE_DECLARE_NON_COPYABLE (ThreadWithQueue)
};
