#include "VestranoPluginAudioProcessor.h"

#include "VestranoPluginAudioProcessorEditor.h"
#include "WholeHertz.h"

VestranoPluginAudioProcessor::VestranoPluginAudioProcessor()
    : juce::AudioProcessor (BusesProperties()
                                .withInput ("Input", juce::AudioChannelSet::stereo(), true)
                                .withOutput ("Output", juce::AudioChannelSet::stereo(), true))
{
    auto parameter = std::make_unique<juce::AudioParameterBool> (juce::ParameterID { "passthrough", 1 },
                                                                  "Passthrough",
                                                                  true);
    passthrough = parameter.get();
    addParameter (parameter.release());
}

VestranoPluginAudioProcessor::~VestranoPluginAudioProcessor()
{
    appLink.replace (nullptr);
}

const juce::String VestranoPluginAudioProcessor::getName() const
{
    return "VestranoPlugin";
}

void VestranoPluginAudioProcessor::prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock)
{
    const int wholeRate = toWholeHertz (sampleRate);
    blockSize = maximumExpectedSamplesPerBlock;
    preparedSampleRate = sampleRate;

    // The new link dials before the previous one is closed, so the companion
    // sees the new connection first.
    appLink.replace (new AppLink (wholeRate));
}

void VestranoPluginAudioProcessor::releaseResources()
{
    appLink.replace (nullptr);
    blockSize = 0;
}

void VestranoPluginAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    const juce::ScopedNoDenormals noDenormals;

    // A host that hands over fewer channels than the layout promises gets
    // what it gave, not a read past its buffer.
    const int numInputs = juce::jmin (getTotalNumInputChannels(), buffer.getNumChannels());
    const int numOutputs = juce::jmin (getTotalNumOutputChannels(), buffer.getNumChannels());
    const int numSamples = buffer.getNumSamples();

    auto copy = std::make_unique<juce::AudioBuffer<float>> (numInputs, numSamples);

    if (numSamples > 0)
        for (int channel = 0; channel < numInputs; ++channel)
            copy->copyFrom (channel, 0, buffer, channel, 0, numSamples);

    appLink.use ([&copy] (AppLink* link)
    {
        if (link != nullptr)
        {
            link->sendBuffer (copy.get());
            copy.release(); // the link owns it now, queued or already freed
        }
    });

    for (int channel = numInputs; channel < numOutputs; ++channel)
        buffer.clear (channel, 0, numSamples);

    if (! passthrough->get())
        for (int channel = 0; channel < numInputs; ++channel)
            buffer.clear (channel, 0, numSamples);
}

double VestranoPluginAudioProcessor::getTailLengthSeconds() const { return 0.0; }
bool VestranoPluginAudioProcessor::acceptsMidi() const            { return false; }
bool VestranoPluginAudioProcessor::producesMidi() const           { return false; }
bool VestranoPluginAudioProcessor::isMidiEffect() const           { return false; }

juce::AudioProcessorEditor* VestranoPluginAudioProcessor::createEditor()
{
    return new VestranoPluginAudioProcessorEditor (*this);
}

bool VestranoPluginAudioProcessor::hasEditor() const { return true; }

int VestranoPluginAudioProcessor::getNumPrograms()                             { return 1; }
int VestranoPluginAudioProcessor::getCurrentProgram()                          { return 0; }
void VestranoPluginAudioProcessor::setCurrentProgram (int)                     {}
const juce::String VestranoPluginAudioProcessor::getProgramName (int)          { return "Basic"; }
void VestranoPluginAudioProcessor::changeProgramName (int, const juce::String&) {}

void VestranoPluginAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    juce::MemoryOutputStream stream (destData, true);
    stream.writeBool (passthrough->get());
}

void VestranoPluginAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    // A null block or a negative size reads as an empty block: off.
    const bool hasBytes = data != nullptr && sizeInBytes > 0;
    juce::MemoryInputStream stream (hasBytes ? data : "", hasBytes ? (size_t) sizeInBytes : 0, false);
    const bool on = stream.readBool();

    if (on != passthrough->get())
        *passthrough = on;
}

bool VestranoPluginAudioProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto output = layouts.getMainOutputChannelSet();
    return output == juce::AudioChannelSet::mono() || output == juce::AudioChannelSet::stereo();
}

bool VestranoPluginAudioProcessor::isLinkConnected() const
{
    return appLink.use ([] (const AppLink* link) { return link != nullptr && link->isConnected(); });
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new VestranoPluginAudioProcessor();
}
