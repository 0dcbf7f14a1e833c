#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

// The test thread is the message thread, as in a host: connection callbacks
// and timers arrive when a test pumps the loop.
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    const juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
