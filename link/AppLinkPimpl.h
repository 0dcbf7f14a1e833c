#pragma once

#include "AppLink.h"
#include "CallbackGate.h"
#include "ThreadWithQueue.h"
#include "WorkerThread.h"

#include <juce_events/juce_events.h>

#include <atomic>
#include <memory>

/** The link's sending thread ("Vestrano link") and its connection to the
    companion application in one object.
*/
class AppLink::Pimpl : public ThreadWithQueue<juce::AudioBuffer<float>>,
                       private juce::InterprocessConnection
{
public:
    /** Called on the thread that builds the link; starts the first dial. */
    explicit Pimpl (int sampleRateToSend);

    /** Called on the thread that destroys the link; see shutdown(). */
    ~Pimpl() override;

    /** Called on the thread that destroys the link, before deletion; safe to
        call twice. Ends every thread of the link by itself, in under a second:
        callbacks are barred first, then the worker ends (so nothing can
        connect afterwards), then the sender gets a bounded time to finish the
        block in hand before the connection is closed under a write that the
        companion no longer reads. */
    void shutdown();

    /** Any thread. */
    using juce::InterprocessConnection::isConnected;

private:
    // Sending thread.
    void processItem (juce::AudioBuffer<float>* buffer) override;

    // Message thread.
    void connectionMade() override;
    void connectionLost() override;
    void messageReceived (const juce::MemoryBlock&) override;
    void startWorker();
    void redialAfterSilentReaderStop();

    // Sending thread: asks the message thread to redial once.
    void requestRedial();

    const int sampleRate;

    // Written on the message thread inside the gate, and by construction and
    // shutdown once the gate is closed; never touched by the worker itself.
    std::unique_ptr<WorkerThread> worker;

    std::shared_ptr<CallbackGate> gate = std::make_shared<CallbackGate>();

    // Set on the message thread when a connection's making is reported and
    // cleared when its loss is handled; read by the sending thread.
    std::atomic<bool> connectionReported { false };

    // Sending thread sets it when it posts a redial; message thread clears it.
    std::atomic<bool> redialPending { false };

    JUCE_DECLARE_NON_COPYABLE (Pimpl)
};
