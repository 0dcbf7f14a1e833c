#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <memory>

/** The plug-in's link to the companion application: building one starts
    dialling and a sending thread, and destroying it stops both within bounded
    time. The processor builds a new link for every preparation.
*/
class AppLink : public juce::ReferenceCountedObject
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<AppLink>;

    /** Called on the preparing thread; returns with both threads started. */
    explicit AppLink (int sampleRate);

    /** Called on whichever thread drops the last reference. Ends in bounded
        time (under a second) even when the companion has stopped reading. */
    ~AppLink() override;

    /** Called on the audio thread. Takes ownership of a buffer allocated with
        new, queues it when fewer than 100 wait and frees it otherwise. Never
        waits for the network. If growing the queue throws, the buffer is still
        the caller's. */
    void sendBuffer (juce::AudioBuffer<float>* buffer);

    /** Any thread: true while the connection to the companion stands. */
    bool isConnected() const;

    class Pimpl;

private:
    void start (int sampleRate);
    void stop();

    std::unique_ptr<Pimpl> pimpl;

    JUCE_DECLARE_NON_COPYABLE (AppLink)
};
