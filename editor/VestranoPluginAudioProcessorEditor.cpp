#include "VestranoPluginAudioProcessorEditor.h"

#include "EmbeddedImages.h"
#include "WholeHertz.h"

namespace
{
    constexpr int editorWidth = 500;
    constexpr int editorHeight = 200;
    constexpr int tickMs = 1000;
    constexpr float versionFontScale = 0.7f;
    constexpr int logoMargin = 5;

    juce::Image statusImage (bool connected)
    {
        return connected ? juce::ImageCache::getFromMemory (EmbeddedImages::connectedPng, EmbeddedImages::connectedPngSize)
                         : juce::ImageCache::getFromMemory (EmbeddedImages::notConnectedPng, EmbeddedImages::notConnectedPngSize);
    }

    std::unique_ptr<juce::Label> makeLabel (const juce::String& componentName, const juce::String& text)
    {
        auto label = std::make_unique<juce::Label> (componentName, juce::String());
        label->setText (text, juce::dontSendNotification);
        return label;
    }
}

VestranoPluginAudioProcessorEditor::VestranoPluginAudioProcessorEditor (VestranoPluginAudioProcessor& p)
    : juce::AudioProcessorEditor (p), audioProcessor (p)
{
    passthroughButton = std::make_unique<juce::ToggleButton> ("Audio passthrough");
    addAndMakeVisible (*passthroughButton);
    passthroughButton->setToggleState (audioProcessor.getPassthroughParameter().get(), juce::dontSendNotification);
    passthroughButton->addListener (this);

    connectionImage = std::make_unique<juce::ImageComponent> (juce::String());
    connectionImage->setImage (statusImage (false));
    addAndMakeVisible (*connectionImage);

    bufferSizeLabel = makeLabel ("buffer size", "Buffer Size --");
    addAndMakeVisible (*bufferSizeLabel);

    samplingRateLabel = makeLabel ("sampling rate", "Sampling rate --");
    addAndMakeVisible (*samplingRateLabel);

    versionLabel = makeLabel ("version", juce::String ("Version ") + JucePlugin_VersionString);
    addAndMakeVisible (*versionLabel);

    // Equal limits make the window fixed; applying them sizes the editor and
    // lays the children out, so they come after every child exists.
    setResizeLimits (editorWidth, editorHeight, editorWidth, editorHeight);
    repaint();
    startTimer (tickMs);
}

void VestranoPluginAudioProcessorEditor::paint (juce::Graphics& g)
{
    g.fillAll (getLookAndFeel().findColour (juce::ResizableWindow::backgroundColourId));

    const auto logo = juce::ImageCache::getFromMemory (EmbeddedImages::logoPng, EmbeddedImages::logoPngSize);

    const int width = getWidth();
    const int height = getHeight();
    const int left = (2 * width) / 3;
    const int areaWidth = juce::jmax (0, width - left - logoMargin);
    const int areaHeight = juce::jmax (0, height - logoMargin);

    // A zero-sized area would scale the logo to nothing; skip the draw.
    if (! logo.isValid() || areaWidth == 0 || areaHeight == 0)
        return;

    g.drawImage (logo,
                 juce::Rectangle<int> (left, 0, areaWidth, areaHeight).toFloat(),
                 juce::RectanglePlacement (juce::RectanglePlacement::xMid | juce::RectanglePlacement::yBottom),
                 false);
}

void VestranoPluginAudioProcessorEditor::resized()
{
    passthroughButton->setBoundsRelative (0.1f, 0.1f, 0.5f, 0.15f);
    samplingRateLabel->setBoundsRelative (0.1f, 0.25f, 0.5f, 0.15f);
    bufferSizeLabel->setBoundsRelative (0.1f, 0.4f, 0.5f, 0.15f);
    versionLabel->setBoundsRelative (0.1f, 0.55f, 0.5f, 0.15f);

    // Scaled from the block-size label, not from itself, so repeated layouts
    // keep the same size.
    versionLabel->setFont (versionLabel->getFont().withHeight (bufferSizeLabel->getFont().getHeight() * versionFontScale));

    connectionImage->setBoundsRelative (0.8f, 0.12f, 0.2f, 0.2f);
}

void VestranoPluginAudioProcessorEditor::timerCallback()
{
    bool changed = false;

    const bool connected = audioProcessor.isLinkConnected();

    if (connected != isConnected)
    {
        isConnected = connected;
        connectionImage->setImage (statusImage (connected));
        changed = true;
    }

    const int block = audioProcessor.getPreparedBlockSize();
    const bool preparedAgain = lastBlockSize == 0 && block != 0;

    if (block != lastBlockSize)
    {
        lastBlockSize = block;
        bufferSizeLabel->setText (block != 0 ? "Block size " + juce::String (block) + " samples"
                                             : juce::String ("Block size --"),
                                  juce::dontSendNotification);
        changed = true;
    }

    const double rate = audioProcessor.getPreparedSampleRate();

    // A rate first seen while unprepared was shown as "--"; a preparation
    // with the same rate must still bring the number back. The block-size
    // change has already asked for this tick's repaint.
    if (rate != (double) lastSampleRate || preparedAgain)
    {
        lastSampleRate = toWholeHertz (rate);
        samplingRateLabel->setText (block != 0 ? "Sampling rate " + juce::String (lastSampleRate) + " Hz"
                                               : juce::String ("Sampling rate --"),
                                    juce::dontSendNotification);
        changed = true;
    }

    if (changed)
    {
        ++repaintsRequestedByTicks;
        repaint();
    }
}

void VestranoPluginAudioProcessorEditor::buttonClicked (juce::Button* button)
{
    if (button != passthroughButton.get())
        return;

    // Assigning a bool writes and notifies the host only when the state
    // changes, and without a change gesture.
    audioProcessor.getPassthroughParameter() = button->getToggleState();
}
