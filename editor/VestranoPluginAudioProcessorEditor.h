#pragma once

#include "VestranoPluginAudioProcessor.h"

#include <juce_gui_basics/juce_gui_basics.h>

/** The fixed 500 x 200 window: the passthrough toggle, the block size and
    sampling rate of the current preparation, the version, the connection
    status image and the logo. Lives on the message thread only.
*/
class VestranoPluginAudioProcessorEditor : public juce::AudioProcessorEditor,
                                           public juce::Timer,
                                           public juce::Button::Listener
{
public:
    explicit VestranoPluginAudioProcessorEditor (VestranoPluginAudioProcessor& p);

    void paint (juce::Graphics& g) override;
    void resized() override;

    /** Once a second: follows the link's state, the block size and the rate,
        and repaints at most once, only when something changed. */
    void timerCallback() override;

    /** A click writes the toggle's state to the parameter; the toggle is
        never moved by the parameter afterwards. */
    void buttonClicked (juce::Button* button) override;

    /** How many repaints the ticks have asked for; lets tests see that an
        idle tick costs nothing. */
    int getRepaintsRequestedByTicks() const noexcept { return repaintsRequestedByTicks; }

private:
    VestranoPluginAudioProcessor& audioProcessor;

    std::unique_ptr<juce::ToggleButton> passthroughButton;
    std::unique_ptr<juce::ImageComponent> connectionImage;
    std::unique_ptr<juce::Label> bufferSizeLabel;
    std::unique_ptr<juce::Label> samplingRateLabel;
    std::unique_ptr<juce::Label> versionLabel;

    bool isConnected = false;
    int lastSampleRate = 0;
    int lastBlockSize = 0;

    int repaintsRequestedByTicks = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VestranoPluginAudioProcessorEditor)
};
