#pragma once

#include "AppLink.h"

#include <atomic>

/** The processor's link, shared between the thread that prepares and releases
    the plug-in and the threads that use the link (the audio thread and the
    editor's timer).

    Readers never block and never hold a reference, so a link is never
    destroyed on the audio thread. A replacement publishes the new link first,
    waits until no reader can still be using the previous one (readers stay a
    few microseconds), and only then drops the previous link, on the replacing
    thread.
*/
class GuardedLink
{
public:
    GuardedLink() = default;

    /** Called on the preparing or releasing thread (never the audio thread).
        Takes a reference on newLink, publishes it, then releases the previous
        link here once no reader uses it: its threads have stopped when this
        returns. Calls on different threads are serialised. */
    void replace (AppLink::Ptr newLink);

    /** Called on any thread. Runs fn with the current link, or nullptr, and
        guarantees that link outlives the call. Wait-free. */
    template <typename Fn>
    decltype (auto) use (Fn&& fn) const
    {
        const ReaderScope scope (readers);
        return fn (current.load());
    }

private:
    struct ReaderScope
    {
        explicit ReaderScope (std::atomic<int>& r) : count (r) { count.fetch_add (1); }
        ~ReaderScope() { count.fetch_sub (1); }
        std::atomic<int>& count;
    };

    juce::CriticalSection replaceLock;
    AppLink::Ptr owner;                      // under replaceLock
    std::atomic<AppLink*> current { nullptr };
    mutable std::atomic<int> readers { 0 };

    JUCE_DECLARE_NON_COPYABLE (GuardedLink)
};
