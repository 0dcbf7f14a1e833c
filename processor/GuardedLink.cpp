#include "GuardedLink.h"

#include <thread>

void GuardedLink::replace (AppLink::Ptr newLink)
{
    const juce::ScopedLock sl (replaceLock);

    AppLink::Ptr previous = owner;
    owner = newLink;
    current.store (owner.get());

    // A reader counted in before the store may still hold the previous
    // pointer; one counted in after it sees the new link. Sequentially
    // consistent atomics on both sides make that split exact.
    while (readers.load() != 0)
        std::this_thread::yield();

    previous = nullptr;
}
