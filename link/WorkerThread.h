#pragma once

#include "CompanionConnection.h"

/** "Connection Worker": dials the companion application until a connection
    stands, then ends. Owned by the link; it never deletes itself.
*/
class WorkerThread : public juce::Thread
{
public:
    explicit WorkerThread (CompanionConnection& connectionToDial);

    /** Called by the link: on the message thread only once the thread has
        ended (so it never waits there), otherwise while the link is destroyed.
        Returns once the thread has ended: an exit request cuts the pause
        between attempts short, so the worst case is one attempt in progress. */
    ~WorkerThread() override;

    void run() override;

private:
    CompanionConnection& connection;

    JUCE_DECLARE_NON_COPYABLE (WorkerThread)
};
