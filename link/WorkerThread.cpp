#include "WorkerThread.h"

#include "LinkSettings.h"
#include "ThreadStopping.h"

WorkerThread::WorkerThread (CompanionConnection& connectionToDial)
    : juce::Thread ("Connection Worker"), connection (connectionToDial)
{
}

WorkerThread::~WorkerThread()
{
    stopThreadWithin (*this, LinkSettings::workerStopMs);
}

void WorkerThread::run()
{
    while (! threadShouldExit())
    {
        if (connection.connectToLoopback (LinkSettings::port, LinkSettings::connectTimeoutMs))
            return;

        // wait() rather than sleep(): an exit request notifies the thread, so a
        // link torn down during the pause does not sit out the remaining time.
        wait (LinkSettings::retryPauseMs);
    }
}
