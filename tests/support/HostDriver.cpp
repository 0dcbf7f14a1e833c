#include "HostDriver.h"

HostDriver::HostDriver (int maximumFramesToRender, bool buildEditor)
    : maximumFrames (maximumFramesToRender)
{
    plugin.reset (dynamic_cast<VestranoPluginAudioProcessor*> (createPluginFilter()));
    jassert (plugin != nullptr);

    if (buildEditor)
        pluginEditor.reset (plugin->createEditorIfNeeded());

    // Initialising the audio unit prepares it at once, before any allocation.
    plugin->setRateAndBufferSizeDetails (44100.0, maximumFrames);
    plugin->prepareToPlay (44100.0, maximumFrames);
}

HostDriver::~HostDriver()
{
    // The editor goes first, as the host closes the view before it disposes of
    // the audio unit; the wrapper tells the processor before deleting it.
    if (pluginEditor != nullptr)
        plugin->editorBeingDeleted (pluginEditor.get());

    pluginEditor.reset();
    plugin.reset();
}

void HostDriver::allocateRenderResources (double sampleRate)
{
    plugin->setRateAndBufferSizeDetails (sampleRate, maximumFrames);
    plugin->prepareToPlay (sampleRate, maximumFrames);
}

void HostDriver::deallocateRenderResources()
{
    plugin->releaseResources();
}

void HostDriver::setRenderingOffline (bool offline)
{
    if (offline == renderingOffline)
        return;

    renderingOffline = offline;
    plugin->setNonRealtime (offline);

    const juce::ScopedLock sl (plugin->getCallbackLock());
    plugin->prepareToPlay (plugin->getSampleRate(), plugin->getBlockSize());
}

void HostDriver::render (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    const juce::ScopedLock sl (plugin->getCallbackLock());
    plugin->processBlock (buffer, midi);
}

std::optional<juce::MemoryBlock> HostDriver::saveState()
{
    juce::MemoryBlock block;
    plugin->getStateInformation (block);

    if (block.isEmpty())
        return std::nullopt;

    return block;
}

void HostDriver::restoreState (const juce::MemoryBlock& state)
{
    if (state.getSize() >= 1)
        plugin->setStateInformation (state.getData(), (int) state.getSize());
}
