#include "HostingHelpers.h"
#include "ThreadCensus.h"

#include <gtest/gtest.h>

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

using namespace hosting;

namespace
{
    using Clock = std::chrono::steady_clock;

    enum class Format { vst3, lv2 };

    std::string formatName (Format format) { return format == Format::vst3 ? "VST3" : "LV2"; }

    std::string canonical (const char* path)
    {
        std::error_code error;
        const auto resolved = std::filesystem::canonical (path, error);
        return error ? std::string (path) : resolved.string();
    }

    /** The plug-in as the two Linux formats load it, from the binaries this
        build tree made, with the stand-in companion listening throughout so
        that no link of ours dials another test's companion. */
    class HostedVestrano : public ::testing::TestWithParam<Format>
    {
    protected:
        static void SetUpTestSuite()
        {
            companion = new StandInCompanion();
            startCompanion (*companion, false);
        }

        static void TearDownTestSuite()
        {
            delete companion;
            companion = nullptr;
        }

        void SetUp() override
        {
            ASSERT_TRUE (companion->isListening()) << "port 10000 stayed taken for two minutes";
            companion->setReading (true);
            companion->clearFrames();

            if (GetParam() == Format::vst3)
                format = std::make_unique<juce::VST3PluginFormat>();
            else
                format = std::make_unique<juce::LV2PluginFormat>();
        }

        void TearDown() override
        {
            companion->setReading (true);

            // A test that could not bring the stand-in back leaves it to the next.
            if (! companion->isListening())
                startCompanion (*companion, true);
        }

        std::unique_ptr<juce::AudioPluginInstance> load()
        {
            const auto identifier = GetParam() == Format::vst3 ? juce::String (VESTRANO_VST3_BUNDLE)
                                                               : juce::String (VESTRANO_LV2_URI);
            juce::OwnedArray<juce::PluginDescription> found;
            format->findAllTypesForFile (found, identifier);

            if (found.size() != 1)
            {
                ADD_FAILURE() << found.size() << " plug-ins found for " << identifier;
                return {};
            }

            juce::String error;
            auto instance = format->createInstanceFromDescription (*found[0], sampleRate, blockSize, error);

            if (instance == nullptr)
            {
                ADD_FAILURE() << "no instance: " << error;
                return {};
            }

            // Whatever else is installed, the binaries in use are this tree's.
            const auto bundle = canonical (GetParam() == Format::vst3 ? VESTRANO_VST3_BUNDLE : VESTRANO_LV2_BUNDLE) + "/";
            bool ours = false;

            for (const auto& path : mappedPluginBinaries())
            {
                EXPECT_TRUE (path.rfind (canonical (VESTRANO_VST3_BUNDLE) + "/", 0) == 0
                               || path.rfind (canonical (VESTRANO_LV2_BUNDLE) + "/", 0) == 0)
                    << "a plug-in binary from outside this build tree is loaded: " << path;
                ours = ours || path.rfind (bundle, 0) == 0;
            }

            EXPECT_TRUE (ours) << "the " << formatName (GetParam()) << " binary of " << bundle << " is not loaded";
            return instance;
        }

        /** The plug-in's one parameter; any other must be the host's bypass. */
        static juce::AudioProcessorParameter* passthroughOf (juce::AudioPluginInstance& plugin)
        {
            juce::AudioProcessorParameter* found = nullptr;

            for (auto* parameter : plugin.getParameters())
            {
                if (parameter->getName (100) == "Passthrough")
                {
                    EXPECT_EQ (found, nullptr) << "two parameters named Passthrough";
                    found = parameter;
                }
                else
                {
                    EXPECT_EQ (parameter, plugin.getBypassParameter())
                        << "unexpected parameter " << parameter->getName (100);
                }
            }

            return found;
        }

        static StandInCompanion* companion;
        std::unique_ptr<juce::AudioPluginFormat> format;
    };

    StandInCompanion* HostedVestrano::companion = nullptr;

    void expectStereoBus (juce::AudioPluginInstance& plugin, bool isInput, const juce::String& name)
    {
        ASSERT_EQ (plugin.getBusCount (isInput), 1) << (isInput ? "inputs" : "outputs");
        auto* bus = plugin.getBus (isInput, 0);
        EXPECT_EQ (bus->getName(), name);
        EXPECT_EQ (bus->getCurrentLayout(), juce::AudioChannelSet::stereo()) << name;
        EXPECT_TRUE (bus->isEnabled()) << name;
    }

    /** A top-level window like a host's, holding a hosted editor it does not own. */
    struct HostWindow : juce::DocumentWindow
    {
        explicit HostWindow (juce::Component& content)
            : juce::DocumentWindow ("Vestrano host", juce::Colours::darkgrey, 0, true)
        {
            setContentNonOwned (&content, true);
            setVisible (true);
        }

        ~HostWindow() override { clearContentComponent(); }
    };

    bool hasDisplay()
    {
        const char* display = std::getenv ("DISPLAY");
        return display != nullptr && *display != 0;
    }
}

TEST_P (HostedVestrano, DescribesItselfAndRestoresItsPassthroughState)
{
    auto first = load();
    auto second = load();
    ASSERT_NE (first, nullptr);
    ASSERT_NE (second, nullptr);

    EXPECT_EQ (first->getName(), "VestranoPlugin");
    expectStereoBus (*first, true, "Input");
    expectStereoBus (*first, false, "Output");

    auto* passthrough = passthroughOf (*first);
    ASSERT_NE (passthrough, nullptr);

    // VST3 hosts see a number derived from the ID; LV2 hosts see the
    // parameter's URI, which sessions and automation store.
    if (GetParam() == Format::lv2)
    {
        auto* hosted = dynamic_cast<juce::HostedAudioProcessorParameter*> (passthrough);
        ASSERT_NE (hosted, nullptr);
        EXPECT_TRUE (hosted->getParameterID().endsWith (juce::String (VESTRANO_LV2_URI) + ":passthrough"))
            << hosted->getParameterID();
    }

    EXPECT_EQ (passthrough->getNumSteps(), 2) << "a switch, not a continuous control";
    EXPECT_EQ (passthrough->getDefaultValue(), 1.0f);
    EXPECT_EQ (passthrough->getValue(), 1.0f);

    // In LV2, parameter changes and the values the plug-in reports back travel
    // with the audio, so a block runs between a change and the next look at
    // it, as in any running host.
    auto* otherPassthrough = passthroughOf (*second);
    ASSERT_NE (otherPassthrough, nullptr);
    first->prepareToPlay (sampleRate, blockSize);
    second->prepareToPlay (sampleRate, blockSize);
    Session firstSession (*first, *companion), secondSession (*second, *companion);

    passthrough->setValueNotifyingHost (0.0f);
    EXPECT_TRUE (isSilent (firstSession.process (0))) << "switched off, yet the output is not silent";

    // Off travels from the first instance to the second, on travels back.
    juce::MemoryBlock offState, onState;
    first->getStateInformation (offState);
    second->getStateInformation (onState);
    second->setStateInformation (offState.getData(), (int) offState.getSize());
    first->setStateInformation (onState.getData(), (int) onState.getSize());

    // The parameter the host reads and the switch the audio obeys agree.
    EXPECT_TRUE (Signal::get().matches (firstSession.process (1), 1)) << "restored on, yet the output is not the input";
    EXPECT_TRUE (isSilent (secondSession.process (1))) << "restored off, yet the output is not silent";
    pumpFor (100);
    EXPECT_EQ (passthrough->getValue(), 1.0f) << "restored from a state saved with passthrough on";
    EXPECT_EQ (otherPassthrough->getValue(), 0.0f) << "restored from a state saved with passthrough off";

    first->releaseResources();
    second->releaseResources();
}

TEST_P (HostedVestrano, ForwardsEveryBlockBitExactAndHandsBackInputOrSilence)
{
    auto plugin = load();
    ASSERT_NE (plugin, nullptr);
    auto* passthrough = passthroughOf (*plugin);
    ASSERT_NE (passthrough, nullptr);

    // Creation may already have prepared the plug-in at another rate; only
    // the link of this preparation counts, and the probe names its connection.
    plugin->prepareToPlay (sampleRate, blockSize);
    Session session (*plugin, *companion);
    const int connection = session.connect (10000);
    ASSERT_GE (connection, 0) << "no block arrived: the link never connected";

    constexpr int numBlocks = 938; // just over ten seconds
    constexpr int offFrom = numBlocks / 3;
    constexpr int onAgainFrom = 2 * numBlocks / 3;
    std::vector<int> notPassed, notSilenced;

    for (int block = 0; block < numBlocks; ++block)
    {
        if (block == offFrom)
            passthrough->setValueNotifyingHost (0.0f);

        if (block == onAgainFrom)
            passthrough->setValueNotifyingHost (1.0f);

        ASSERT_TRUE (session.waitForRoom()) << "the link stopped delivering at block " << block;
        const auto& output = session.process (block);
        const bool on = block < offFrom || block >= onAgainFrom;

        if (on && ! Signal::get().matches (output, block))
            notPassed.push_back (block);

        if (! on && ! isSilent (output))
            notSilenced.push_back (block);
    }

    EXPECT_TRUE (notPassed.empty()) << notPassed.size() << " blocks differ from their input with passthrough on, the first "
                                    << (notPassed.empty() ? -1 : notPassed.front());
    EXPECT_TRUE (notSilenced.empty()) << notSilenced.size() << " blocks are not silent with passthrough off, the first "
                                      << (notSilenced.empty() ? -1 : notSilenced.front());

    // The companion hears the input whatever the host hears.
    const auto frames = session.waitForSignalFrames (connection, numBlocks, 10000);
    EXPECT_EQ (frames.size(), (size_t) numBlocks) << "frames on connection " << connection;
    int reported = 0;

    for (size_t i = 0; i < frames.size() && i < (size_t) numBlocks && reported < 5; ++i)
    {
        const auto problem = frameMismatch (frames[i], (int) i);

        if (! problem.empty())
        {
            ++reported;
            ADD_FAILURE() << "frame " << i << " is not block " << i << ":" << problem
                          << " (it is block " << signalBlockOf (frames[i], 0, numBlocks) << ")";
        }
    }

    plugin->releaseResources();
}

TEST_P (HostedVestrano, ReleasesWithinASecondWhileTheCompanionStopsReadingOrHalfCloses)
{
    // A companion that stops reading, and one that also shuts its sending
    // side while it keeps the connection open.
    for (const bool halfClose : { false, true })
    {
        SCOPED_TRACE (halfClose ? "half-closed" : "stopped reading");
        companion->setReading (true);
        companion->clearFrames();

        auto plugin = load();
        ASSERT_NE (plugin, nullptr);
        plugin->prepareToPlay (sampleRate, blockSize);
        Session session (*plugin, *companion);
        ASSERT_GE (session.connect (10000), 0) << "no block arrived: the link never connected";

        // Fill the socket until the sender sits in a write that will not finish:
        // seen as its thread staying blocked in a write system call.
        companion->setReading (false);
        const auto giveUp = Clock::now() + std::chrono::seconds (60);
        bool stuck = false;

        auto inWrite = []
        {
            const auto calls = syscallsOfThreadsNamed ("Vestrano link");
            return calls.size() == 1 && isSocketWrite (calls.front());
        };

        for (int block = 0; ! stuck && Clock::now() < giveUp;)
        {
            for (int i = 0; i < 20; ++i, block = (block + 1) % Signal::numBlocks)
                session.process (block);

            pumpFor (1);

            if (inWrite())
            {
                // A write that empties in a moment would have returned by now.
                stuck = true;

                for (int check = 0; stuck && check < 20; ++check)
                {
                    pumpFor (10);
                    stuck = inWrite();
                }
            }
        }

        ASSERT_TRUE (stuck) << "the sender never blocked in a write";

        if (halfClose)
        {
            companion->halfCloseConnections();
            pumpFor (200);
        }

        auto timed = [] (auto&& action)
        {
            const auto start = Clock::now();
            action();
            return (long long) std::chrono::duration_cast<std::chrono::milliseconds> (Clock::now() - start).count();
        };

        auto linkThreadsGone = []
        {
            return pumpUntil ([] { return countThreadsNamed ("Vestrano link") == 0 && countThreadsNamed ("Vestrano reader") == 0; }, 1000);
        };

        const auto releaseMs = timed ([&] { plugin->releaseResources(); });
        std::cout << "[ measured ] " << formatName (GetParam()) << " releaseResources with the sender stuck"
                  << (halfClose ? " and the companion half-closed: " : ": ")
                  << releaseMs << " ms" << std::endl;
        RecordProperty (halfClose ? "releaseMsHalfClosed" : "releaseMs", (int) releaseMs);
        EXPECT_LT (releaseMs, 2000) << "release waited on a companion that stopped reading";

        // JUCE's LV2 wrapper never passes deactivation on to the plug-in: there
        // the link lives as long as the instance, and ends when the host frees it.
        if (GetParam() == Format::vst3)
        {
            EXPECT_TRUE (linkThreadsGone()) << "the released link left a thread behind";
        }

        const auto deleteMs = timed ([&] { plugin.reset(); });
        std::cout << "[ measured ] " << formatName (GetParam()) << " deleting the instance afterwards: "
                  << deleteMs << " ms" << std::endl;
        RecordProperty (halfClose ? "deleteMsHalfClosed" : "deleteMs", (int) deleteMs);
        EXPECT_LT (deleteMs, 2000) << "freeing the instance waited on a companion that stopped reading";
        EXPECT_TRUE (linkThreadsGone()) << "the freed instance left a link thread behind";
    }
}

TEST_P (HostedVestrano, ReconnectsByItselfWhenTheCompanionComesBack)
{
    auto plugin = load();
    ASSERT_NE (plugin, nullptr);
    plugin->prepareToPlay (sampleRate, blockSize);
    Session session (*plugin, *companion);
    const int first = session.connect (10000);
    ASSERT_GE (first, 0) << "no block arrived: the link never connected";

    int block = 0;

    for (; block < 300; ++block)
    {
        ASSERT_TRUE (session.waitForRoom()) << "the link stopped delivering at block " << block;
        session.process (block);
    }

    // Quits while blocks are still on their way.
    companion->stop();

    // The run goes on while nobody listens, faster than real time.
    for (const int gapEnd = block + 100; block < gapEnd; ++block)
    {
        session.process (block);
        pumpFor (2);
    }

    ASSERT_TRUE (startCompanion (*companion, true)) << "port 10000 stayed taken for two minutes";

    // Until blocks of this run turn up on a connection of its own.
    int second = -1;
    int firstBack = -1;
    const int comeBackFrom = block;
    const auto giveUp = Clock::now() + std::chrono::seconds (15);

    while (second < 0 && Clock::now() < giveUp && block < Signal::numBlocks - 300)
    {
        session.process (block++);
        pumpFor (5);

        for (const auto& frame : companion->frames())
            if (frame.connection != first)
                if ((firstBack = signalBlockOf (frame, comeBackFrom, block)) >= 0)
                {
                    second = frame.connection;
                    break;
                }
    }

    ASSERT_GE (second, 0) << "the link did not reconnect within 15 s";

    session.restartPacing();
    const int lastRunFrom = block;

    for (const int end = block + 300; block < end; ++block)
    {
        ASSERT_TRUE (session.waitForRoom()) << "the reconnected link stopped delivering at block " << block;
        session.process (block);
    }

    // After the reconnection: one unbroken run of blocks up to the last one.
    const auto after = session.waitForSignalFrames (second, (size_t) (block - firstBack), 10000);
    EXPECT_GE (after.size(), (size_t) (block - lastRunFrom)) << "blocks processed after the reconnection went missing";
    int reported = 0;

    for (size_t i = 0; i < after.size() && reported < 5; ++i)
    {
        const int expected = block - (int) after.size() + (int) i;
        const auto problem = frameMismatch (after[i], expected);

        if (! problem.empty())
        {
            ++reported;
            ADD_FAILURE() << "frame " << i << " after the reconnection is not block " << expected << ":" << problem
                          << " (it is block " << signalBlockOf (after[i], 0, block) << ")";
        }
    }

    // Before the companion quit: an unbroken run from the first block, with
    // at most the blocks still on their way missing at its end.
    const auto before = session.signalFrames (first);
    EXPECT_GE (before.size(), (size_t) (300 - maxOutstandingBlocks)) << "blocks went missing before the companion quit";

    for (size_t i = 0; i < before.size() && i < (size_t) comeBackFrom; ++i)
        if (! frameMismatch (before[i], (int) i).empty())
        {
            ADD_FAILURE() << "frame " << i << " before the companion quit is block "
                          << signalBlockOf (before[i], 0, comeBackFrom);
            break;
        }

    plugin->releaseResources();
}

TEST_P (HostedVestrano, OpensItsEditorAtFiveHundredByTwoHundred)
{
    ASSERT_TRUE (hasDisplay()) << "needs an X display (the test is registered to run under xvfb-run)";
    auto plugin = load();
    ASSERT_NE (plugin, nullptr);
    ASSERT_TRUE (plugin->hasEditor());

    std::unique_ptr<juce::AudioProcessorEditor> editor (plugin->createEditorIfNeeded());
    ASSERT_NE (editor, nullptr);

    {
        HostWindow window (*editor);
        EXPECT_TRUE (pumpUntil ([&] { return editor->isShowing() && editor->getWidth() == 500 && editor->getHeight() == 200; }, 5000));
        pumpFor (300);
        EXPECT_TRUE (editor->isShowing());
        EXPECT_EQ (editor->getWidth(), 500);
        EXPECT_EQ (editor->getHeight(), 200);
        EXPECT_NE (window.getPeer(), nullptr) << "no native window";
    }

    editor.reset();
    pumpFor (200);
    EXPECT_EQ (plugin->getActiveEditor(), nullptr);
}

TEST_P (HostedVestrano, RedialsWhileItsEditorHasTheHostDriveItsMessages)
{
    // With an editor open, both wrappers hand the plug-in's messages (the
    // link's connection callbacks among them) to the host's loop instead of
    // a thread of their own: only a host that pumps lets the link redial.
    ASSERT_TRUE (hasDisplay()) << "needs an X display (the test is registered to run under xvfb-run)";
    auto plugin = load();
    ASSERT_NE (plugin, nullptr);
    std::unique_ptr<juce::AudioProcessorEditor> editor (plugin->createEditorIfNeeded());
    ASSERT_NE (editor, nullptr);

    {
        HostWindow window (*editor);
        pumpUntil ([&] { return editor->isShowing(); }, 5000);

        plugin->prepareToPlay (sampleRate, blockSize);
        Session session (*plugin, *companion);
        const int first = session.connect (10000);
        ASSERT_GE (first, 0) << "no block arrived: the link never connected";

        companion->closeConnections();
        EXPECT_GE (session.connect (10000, first), 0) << "the link did not redial after losing its connection";
        plugin->releaseResources();
    }

    editor.reset();
    pumpFor (100);
}

INSTANTIATE_TEST_SUITE_P (Formats, HostedVestrano, ::testing::Values (Format::vst3, Format::lv2),
                          [] (const ::testing::TestParamInfo<Format>& param) { return formatName (param.param); });
