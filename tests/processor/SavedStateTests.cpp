#include "HostDriver.h"
#include "HostListener.h"

#include <gtest/gtest.h>

namespace
{

    class SavedState : public ::testing::Test
    {
    protected:
        void SetUp() override { p->addListener (&host); }
        void TearDown() override { p->removeListener (&host); }

        juce::MemoryBlock save()
        {
            juce::MemoryBlock block;
            p->getStateInformation (block);
            return block;
        }

        void restore (std::initializer_list<int> bytes)
        {
            std::vector<char> data;
            for (int b : bytes)
                data.push_back ((char) b);
            p->setStateInformation (data.data(), (int) data.size());
        }

        float value() const
        {
            const juce::AudioProcessorParameter& parameter = p->getPassthroughParameter();
            return parameter.getValue();
        }

        std::unique_ptr<juce::AudioProcessor> owner { createPluginFilter() };
        VestranoPluginAudioProcessor* p = dynamic_cast<VestranoPluginAudioProcessor*> (owner.get());
        HostListener host;
    };

    juce::MemoryBlock bytesOf (std::initializer_list<int> bytes)
    {
        juce::MemoryBlock block;
        for (int b : bytes)
            block.append (&b, 1);
        return block;
    }
}

TEST_F (SavedState, SavesOneByteByTheHalfwayRuleAndAppends)
{
    EXPECT_EQ (save(), bytesOf ({ 1 }));

    p->getPassthroughParameter().setValueNotifyingHost (0.5f);
    EXPECT_EQ (save(), bytesOf ({ 1 }));

    p->getPassthroughParameter().setValueNotifyingHost (0.499f);
    EXPECT_EQ (save(), bytesOf ({ 0 }));

    auto existing = bytesOf ({ 7, 8, 9 });
    p->getStateInformation (existing);
    EXPECT_EQ (existing, bytesOf ({ 7, 8, 9, 0 }));
}

TEST_F (SavedState, RestoreWritesOnlyOnChangeAndNotifiesTheHostOnce)
{
    restore ({ 1 });
    EXPECT_TRUE (host.values.empty()) << "already on: nothing written";

    restore ({ 0 });
    EXPECT_EQ (host.values, std::vector<float> { 0.0f });
    EXPECT_EQ (value(), 0.0f);

    restore ({ 2 });
    EXPECT_EQ (value(), 1.0f);
    restore ({ 0, 1 });
    EXPECT_FALSE (p->getPassthroughParameter().get()) << "only the first byte counts";
    restore ({ 0xFF });
    EXPECT_TRUE (p->getPassthroughParameter().get());

    EXPECT_EQ (host.values, (std::vector<float> { 0.0f, 1.0f, 0.0f, 1.0f }));
    EXPECT_EQ (host.gestures, 0);
}

TEST_F (SavedState, EmptyNullOrNegativeBlocksReadAsOffAndAreSafe)
{
    p->setStateInformation ("", 0);
    EXPECT_FALSE (p->getPassthroughParameter().get());

    p->getPassthroughParameter() = true;
    p->setStateInformation (nullptr, 16);
    EXPECT_FALSE (p->getPassthroughParameter().get());

    p->getPassthroughParameter() = true;
    const char one = 1;
    p->setStateInformation (&one, -5);
    EXPECT_FALSE (p->getPassthroughParameter().get());
}

TEST (SavedStateThroughTheHost, RoundTripsWithoutNotification)
{
    HostDriver first (512, false);
    first.processor().getPassthroughParameter() = false;
    const auto saved = first.saveState();
    ASSERT_TRUE (saved.has_value());
    EXPECT_EQ (saved->getSize(), 1u);

    HostDriver second (512, false);
    second.restoreState (*saved);
    EXPECT_FALSE (second.processor().getPassthroughParameter().get());

    HostListener host;
    second.processor().addListener (&host);
    second.restoreState (*second.saveState());
    second.processor().removeListener (&host);
    EXPECT_TRUE (host.values.empty());
}
