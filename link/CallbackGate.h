#pragma once

#include <juce_core/juce_core.h>

#include <memory>

/** Lets callbacks that were posted to the message thread reach an object only
    while it is alive. close() returns once no callback is inside, and none
    enters afterwards. Shared through std::shared_ptr so a posted callback can
    outlive the object.

    The gate's lock is held only to count callbacks in and out, never while a
    callback runs: callbacks arrive inside the framework's own connection lock
    and take it again when they disconnect, so holding ours across them would
    order the two locks both ways.
*/
class CallbackGate
{
public:
    /** Message thread. Runs fn unless the gate has been closed. */
    template <typename Fn>
    void ifOpen (Fn&& fn)
    {
        {
            const juce::ScopedLock sl (lock);

            if (! open)
                return;

            ++callbacksInside;
        }

        const Exit exit { *this };
        fn();
    }

    /** Any thread. Waits for a callback that is running, then bars the rest. */
    void close()
    {
        for (;;)
        {
            {
                const juce::ScopedLock sl (lock);
                open = false;

                if (callbacksInside == 0)
                    return;
            }

            juce::Thread::sleep (1);
        }
    }

private:
    struct Exit
    {
        CallbackGate& gate;

        ~Exit()
        {
            const juce::ScopedLock sl (gate.lock);
            --gate.callbacksInside;
        }
    };

    juce::CriticalSection lock;
    bool open = true;
    int callbacksInside = 0;
};
