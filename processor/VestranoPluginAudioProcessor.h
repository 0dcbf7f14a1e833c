#pragma once

#include "GuardedLink.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>

/** Forwards every block of its input to the companion application and hands
    the host back its input unchanged or silence ("passthrough").
*/
class VestranoPluginAudioProcessor : public juce::AudioProcessor
{
public:
    VestranoPluginAudioProcessor();
    ~VestranoPluginAudioProcessor() override;

    const juce::String getName() const override;

    /** Called on the host's preparing thread, sometimes under the callback
        lock. Builds a fresh link for the rate; the previous link is stopped
        and destroyed inside this call, never on the audio thread. */
    void prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock) override;

    /** Called on the host's releasing thread. Destroys the link here. */
    void releaseResources() override;

    /** Called on the audio thread. Waits for no lock held longer than a few
        instructions and never for the network. */
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midiMessages) override;
    using juce::AudioProcessor::processBlock;

    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    bool isMidiEffect() const override;

    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;

    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram (int index) override;
    const juce::String getProgramName (int index) override;
    void changeProgramName (int index, const juce::String& newName) override;

    /** Called on the host's thread for state requests: one byte, 1 or 0. */
    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    /** Any thread: whether the current link's connection stands (false with no link). */
    bool isLinkConnected() const;

    /** Any thread: the block size of the current preparation, 0 when unprepared. */
    int getPreparedBlockSize() const noexcept { return blockSize.load(); }

    /** Any thread: the rate of the latest preparation, 0.0 before the first.
        Release leaves it as it was, as the framework's own rate. */
    double getPreparedSampleRate() const noexcept { return preparedSampleRate.load(); }

    /** The "passthrough" parameter; its value is atomic, read by the audio
        thread at every block and written by the host, the editor and restores. */
    juce::AudioParameterBool& getPassthroughParameter() noexcept { return *passthrough; }

private:
    GuardedLink appLink;
    juce::AudioParameterBool* passthrough = nullptr;

    // Written by preparation and release, read by the editor's timer.
    std::atomic<int> blockSize { 0 };
    std::atomic<double> preparedSampleRate { 0.0 };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VestranoPluginAudioProcessor)
};
