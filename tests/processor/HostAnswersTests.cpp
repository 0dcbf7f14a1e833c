#include "HostDriver.h"
#include "WholeHertz.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace
{
    using Set = juce::AudioChannelSet;

    juce::AudioProcessor::BusesLayout layout (Set input, Set output)
    {
        juce::AudioProcessor::BusesLayout l;
        l.inputBuses.add (input);
        l.outputBuses.add (output);
        return l;
    }

    std::unique_ptr<VestranoPluginAudioProcessor> makeProcessor()
    {
        return std::unique_ptr<VestranoPluginAudioProcessor> (
            dynamic_cast<VestranoPluginAudioProcessor*> (createPluginFilter()));
    }
}

TEST (HostAnswers, ANewProcessorShowsItsBusesParameterAndFixedAnswers)
{
    auto p = makeProcessor();
    ASSERT_NE (p, nullptr);

    EXPECT_EQ (p->getName(), "VestranoPlugin");
    ASSERT_EQ (p->getBusCount (true), 1);
    ASSERT_EQ (p->getBusCount (false), 1);
    EXPECT_EQ (p->getBus (true, 0)->getName(), "Input");
    EXPECT_EQ (p->getBus (false, 0)->getName(), "Output");
    EXPECT_EQ (p->getBus (true, 0)->getCurrentLayout(), Set::stereo());
    EXPECT_EQ (p->getBus (false, 0)->getCurrentLayout(), Set::stereo());
    EXPECT_TRUE (p->getBus (true, 0)->isEnabled());
    EXPECT_FALSE (p->canAddBus (true));
    EXPECT_FALSE (p->canRemoveBus (false));

    ASSERT_EQ (p->getParameters().size(), 1);
    juce::AudioProcessorParameter* parameter = p->getParameters()[0];
    ASSERT_NE (dynamic_cast<juce::AudioParameterBool*> (parameter), nullptr);
    EXPECT_EQ (dynamic_cast<juce::AudioParameterBool*> (parameter)->getParameterID(), "passthrough");
    EXPECT_EQ (parameter->getName (100), "Passthrough");
    EXPECT_EQ (parameter->getValue(), 1.0f);
    EXPECT_EQ (parameter->getDefaultValue(), 1.0f);
    EXPECT_EQ (parameter->getCurrentValueAsText(), "On");
    EXPECT_EQ (parameter->getLabel(), "");

    EXPECT_EQ (p->getTailLengthSeconds(), 0.0);
    EXPECT_FALSE (p->acceptsMidi());
    EXPECT_FALSE (p->producesMidi());
    EXPECT_FALSE (p->isMidiEffect());
    EXPECT_TRUE (p->hasEditor());
    EXPECT_FALSE (p->supportsDoublePrecisionProcessing());
    EXPECT_EQ (p->getBypassParameter(), nullptr);

    EXPECT_EQ (p->getNumPrograms(), 1);
    for (int index : { -1, 0, 5 })
        EXPECT_EQ (p->getProgramName (index), "Basic");
    p->setCurrentProgram (3);
    EXPECT_EQ (p->getCurrentProgram(), 0);
    p->changeProgramName (0, "Mine");
    EXPECT_EQ (p->getProgramName (0), "Basic");

    EXPECT_EQ (p->getPreparedBlockSize(), 0);
    EXPECT_FALSE (p->isLinkConnected());
}

TEST (HostAnswers, OnlyAMonoOrStereoMainOutputIsAccepted)
{
    auto p = makeProcessor();

    for (auto input : { Set::disabled(), Set::mono(), Set::stereo(), Set::create5point1() })
    {
        EXPECT_TRUE (p->checkBusesLayoutSupported (layout (input, Set::mono())));
        EXPECT_TRUE (p->checkBusesLayoutSupported (layout (input, Set::stereo())));
    }

    Set leftOnly;
    leftOnly.addChannel (juce::AudioChannelSet::left);

    for (auto output : { leftOnly, Set::discreteChannels (1), Set::discreteChannels (2), Set::createLCR(),
                         Set::quadraphonic(), Set::create5point1(), Set::disabled() })
        EXPECT_FALSE (p->checkBusesLayoutSupported (layout (Set::stereo(), output))) << output.getDescription();

    juce::AudioProcessor::BusesLayout noOutput;
    noOutput.inputBuses.add (Set::stereo());
    EXPECT_FALSE (p->checkBusesLayoutSupported (noOutput));
}

TEST (HostAnswers, ParameterValuesAndTextsFollowTheBooleanRules)
{
    auto p = makeProcessor();
    juce::AudioProcessorParameter& parameter = p->getPassthroughParameter();

    parameter.setValueNotifyingHost (0.5f);
    EXPECT_TRUE (p->getPassthroughParameter().get());
    parameter.setValueNotifyingHost (0.49f);
    EXPECT_FALSE (p->getPassthroughParameter().get());

    const std::pair<const char*, bool> texts[] = {
        { "YES", true }, { "False", false }, { "on", true }, { "OFF", false },
        { "7", true }, { "0", false }, { "maybe", false }, { "TRUE", true }
    };

    for (auto [text, on] : texts)
        EXPECT_EQ (parameter.getValueForText (text) >= 0.5f, on) << text;
}

TEST (HostAnswers, RatesAreTruncatedToWholeHertzWithoutUndefinedBehaviour)
{
    constexpr int smallest = std::numeric_limits<int>::min();
    const std::pair<double, int> rates[] = {
        { 44100.0, 44100 }, { 44100.99, 44100 }, { 0.5, 0 }, { -0.5, 0 }, { -1.5, -1 },
        { 2147483647.5, 2147483647 }, { -2147483648.5, smallest }, { 2147483648.0, smallest },
        { 1e300, smallest }, { -1e300, smallest }, { std::nan (""), smallest },
        { std::numeric_limits<double>::infinity(), smallest }
    };

    for (auto [rate, expected] : rates)
        EXPECT_EQ (toWholeHertz (rate), expected) << rate;
}
