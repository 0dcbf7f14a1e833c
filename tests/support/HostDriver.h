#pragma once

#include "VestranoPluginAudioProcessor.h"

#include <optional>


/** Drives the processor the way the AUv3 plug-in client does for a host:
    construction through createPluginFilter with the editor built at once,
    preparation at initialisation (44100 Hz and the maximum frame count), at
    every allocation of render resources (the host's rate) and, under the
    callback lock, at every real change of offline rendering; release at
    deallocation; rendering under the callback lock; state saved into an empty
    block and restored only from at least one byte. Construct and destroy it
    on the message thread.
*/
class HostDriver
{
public:
    explicit HostDriver (int maximumFramesToRender = 512, bool buildEditor = true);
    ~HostDriver();

    VestranoPluginAudioProcessor& processor() { return *plugin; }
    juce::AudioProcessorEditor* editor() { return pluginEditor.get(); }

    void allocateRenderResources (double sampleRate);
    void deallocateRenderResources();
    void setRenderingOffline (bool offline);

    /** Any thread, as the host's audio thread. */
    void render (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi);

    /** The bytes the host would store, or nothing when the block stayed empty. */
    std::optional<juce::MemoryBlock> saveState();
    void restoreState (const juce::MemoryBlock& state);

private:
    const int maximumFrames;
    bool renderingOffline = false;
    std::unique_ptr<VestranoPluginAudioProcessor> plugin;
    std::unique_ptr<juce::AudioProcessorEditor> pluginEditor;
};
