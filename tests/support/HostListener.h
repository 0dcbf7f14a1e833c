#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <vector>

/** Hears what a host would hear about the processor's parameter. */
struct HostListener : juce::AudioProcessorListener
{
    void audioProcessorParameterChanged (juce::AudioProcessor*, int, float value) override { values.push_back (value); }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
    void audioProcessorParameterChangeGestureBegin (juce::AudioProcessor*, int) override { ++gestures; }

    std::vector<float> values;
    int gestures = 0;
};
