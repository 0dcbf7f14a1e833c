#pragma once

#include <juce_core/juce_core.h>

// Stops a thread without ever killing it: a killed thread can leave locks held
// and sockets half-written inside the host. Every thread of the link is built
// to see an exit request within the bound; the unbounded wait after a missed
// bound is a last resort that the tests make sure is never reached.
inline bool stopThreadWithin (juce::Thread& thread, int timeoutMs)
{
    thread.signalThreadShouldExit();
    thread.notify();

    if (thread.waitForThreadToExit (timeoutMs))
        return true;

    jassertfalse;
    thread.waitForThreadToExit (-1);
    return false;
}

// Asks once and waits up to the bound; the caller decides what to do when the
// thread is still busy.
inline bool askThreadToStop (juce::Thread& thread, int timeoutMs)
{
    thread.signalThreadShouldExit();
    thread.notify();
    return thread.waitForThreadToExit (timeoutMs);
}
