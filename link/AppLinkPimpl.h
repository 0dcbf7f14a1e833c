#pragma once

#include "AppLink.h"
#include "CompanionConnection.h"
#include "ThreadWithQueue.h"
#include "WorkerThread.h"

#include <memory>
#include <vector>

/** The link's sending thread ("Vestrano link") and its connection to the
    companion application in one object.
*/
class AppLink::Pimpl : public ThreadWithQueue<juce::AudioBuffer<float>>,
                       private CompanionConnection
{
public:
    /** Called on the thread that builds the link; starts the first dial. */
    explicit Pimpl (int sampleRateToSend);

    /** Called on the thread that destroys the link; see shutdown(). */
    ~Pimpl() override;

    /** Called on the thread that destroys the link, before deletion; safe to
        call twice. Ends every thread of the link by itself, in under a second:
        callbacks are barred first, then the workers end (so nothing can
        connect afterwards), then the sender gets a bounded time to finish the
        block in hand before the connection is closed under a write that the
        companion no longer reads. */
    void shutdown();

    /** Any thread; wait-free. */
    using CompanionConnection::isConnected;

private:
    // Sending thread.
    void processItem (juce::AudioBuffer<float>* buffer) override;

    // Message thread. Neither waits for a thread: a worker that is done is
    // set aside and deleted once its thread is over.
    void connectionMade() override;
    void connectionLost() override;
    void startWorker();
    void retire (std::unique_ptr<WorkerThread> finished);

    const int sampleRate;

    // Written on the message thread inside the callbacks, and by construction
    // and shutdown while no callback can run; never touched by a worker.
    std::unique_ptr<WorkerThread> worker;
    std::vector<std::unique_ptr<WorkerThread>> retiredWorkers;

    JUCE_DECLARE_NON_COPYABLE (Pimpl)
};
