#include "EmbeddedImages.h"
#include "HostDriver.h"
#include "HostListener.h"
#include "MessagePump.h"
#include "StandInCompanion.h"
#include "VestranoPluginAudioProcessorEditor.h"

#include <gtest/gtest.h>

namespace
{
    juce::Image picture (const unsigned char* data, int size) { return juce::ImageCache::getFromMemory (data, size); }
    juce::Image connectedPicture()    { return picture (EmbeddedImages::connectedPng, EmbeddedImages::connectedPngSize); }
    juce::Image notConnectedPicture() { return picture (EmbeddedImages::notConnectedPng, EmbeddedImages::notConnectedPngSize); }

    // The editor's children, in the order the editor adds them.
    struct Children
    {
        explicit Children (juce::Component& editor)
            : toggle (dynamic_cast<juce::ToggleButton&> (*editor.getChildComponent (0))),
              status (dynamic_cast<juce::ImageComponent&> (*editor.getChildComponent (1))),
              blockSize (dynamic_cast<juce::Label&> (*editor.getChildComponent (2))),
              sampleRate (dynamic_cast<juce::Label&> (*editor.getChildComponent (3))),
              version (dynamic_cast<juce::Label&> (*editor.getChildComponent (4)))
        {
        }

        juce::ToggleButton& toggle;
        juce::ImageComponent& status;
        juce::Label& blockSize;
        juce::Label& sampleRate;
        juce::Label& version;
    };


    std::unique_ptr<VestranoPluginAudioProcessor> newProcessor()
    {
        return std::unique_ptr<VestranoPluginAudioProcessor> (dynamic_cast<VestranoPluginAudioProcessor*> (createPluginFilter()));
    }

    // Deletes the editor as a plug-in wrapper does: the processor hears first.
    struct EditorDeleter
    {
        void operator() (VestranoPluginAudioProcessorEditor* editor) const
        {
            editor->getAudioProcessor()->editorBeingDeleted (editor);
            delete editor;
        }
    };

    using EditorPtr = std::unique_ptr<VestranoPluginAudioProcessorEditor, EditorDeleter>;

    EditorPtr newEditor (VestranoPluginAudioProcessor& p)
    {
        return EditorPtr (dynamic_cast<VestranoPluginAudioProcessorEditor*> (p.createEditorIfNeeded()));
    }
}

TEST (EditorConstruction, ShowsTheParameterAndFirstTextsWithoutWritingAnything)
{
    for (bool on : { true, false })
    {
        auto p = newProcessor();
        p->getPassthroughParameter() = on;
        HostListener watcher;
        p->addListener (&watcher);

        auto editor = newEditor (*p);
        ASSERT_NE (editor, nullptr);
        Children c (*editor);

        EXPECT_EQ (c.toggle.getToggleState(), on);
        EXPECT_EQ (c.toggle.getButtonText(), "Audio passthrough");
        EXPECT_TRUE (watcher.values.empty());
        EXPECT_EQ (c.blockSize.getText(), "Buffer Size --");
        EXPECT_EQ (c.sampleRate.getText(), "Sampling rate --");
        EXPECT_EQ (c.version.getText(), "Version 1.1.0");
        EXPECT_EQ (c.blockSize.getName(), "buffer size");
        EXPECT_EQ (c.sampleRate.getName(), "sampling rate");
        EXPECT_EQ (c.version.getName(), "version");
        EXPECT_TRUE (c.status.getImage() == notConnectedPicture());
        EXPECT_TRUE (editor->isTimerRunning());
        EXPECT_EQ (editor->getTimerInterval(), 1000);

        editor.reset();
        p->removeListener (&watcher);
    }
}

TEST (EditorConstruction, HasAFixedSizeAndItsLayout)
{
    auto p = newProcessor();
    auto editor = newEditor (*p);
    Children c (*editor);

    EXPECT_EQ (editor->getBounds(), juce::Rectangle<int> (0, 0, 500, 200));
    auto* constrainer = editor->getConstrainer();
    ASSERT_NE (constrainer, nullptr);
    EXPECT_EQ (constrainer->getMinimumWidth(), 500);
    EXPECT_EQ (constrainer->getMaximumWidth(), 500);
    EXPECT_EQ (constrainer->getMinimumHeight(), 200);
    EXPECT_EQ (constrainer->getMaximumHeight(), 200);

    for (int pass = 0; pass < 2; ++pass)
    {
        EXPECT_EQ (c.toggle.getBounds(), juce::Rectangle<int> (50, 20, 250, 30));
        EXPECT_EQ (c.sampleRate.getBounds(), juce::Rectangle<int> (50, 50, 250, 30));
        EXPECT_EQ (c.blockSize.getBounds(), juce::Rectangle<int> (50, 80, 250, 30));
        EXPECT_EQ (c.version.getBounds(), juce::Rectangle<int> (50, 110, 250, 30));
        EXPECT_EQ (c.status.getBounds(), juce::Rectangle<int> (400, 24, 100, 40));
        EXPECT_FLOAT_EQ (c.version.getFont().getHeight(), 10.5f) << "pass " << pass;
        editor->resized();
    }
}

// The tick through the processor's real life: prepared, connected, lost,
// released, prepared again.
TEST (EditorTick, FollowsTheProcessorWithOneRepaintPerChange)
{
    StandInCompanion companion;
    auto p = newProcessor();
    auto editor = newEditor (*p);
    Children c (*editor);
    auto repaints = [&] { return editor->getRepaintsRequestedByTicks(); };

    editor->timerCallback();
    EXPECT_EQ (repaints(), 0) << "nothing to show before the first preparation";
    EXPECT_EQ (c.blockSize.getText(), "Buffer Size --");

    p->setRateAndBufferSizeDetails (44100.0, 512);
    p->prepareToPlay (44100.0, 512);
    editor->timerCallback();
    EXPECT_EQ (c.blockSize.getText(), "Block size 512 samples");
    EXPECT_EQ (c.sampleRate.getText(), "Sampling rate 44100 Hz");
    EXPECT_TRUE (c.status.getImage() == notConnectedPicture()) << "still dialling";
    EXPECT_EQ (repaints(), 1);

    editor->timerCallback();
    EXPECT_EQ (repaints(), 1) << "an idle tick repaints nothing";

    ASSERT_TRUE (companion.start());
    ASSERT_TRUE (pumpUntil ([&] { return p->isLinkConnected(); }, 5000));
    editor->timerCallback();
    EXPECT_TRUE (c.status.getImage() == connectedPicture());
    EXPECT_EQ (repaints(), 2);

    companion.stop();
    ASSERT_TRUE (pumpUntil ([&] { return ! p->isLinkConnected(); }, 5000));
    editor->timerCallback();
    EXPECT_TRUE (c.status.getImage() == notConnectedPicture());
    EXPECT_EQ (repaints(), 3);

    p->releaseResources();
    editor->timerCallback();
    EXPECT_EQ (c.blockSize.getText(), "Block size --");
    EXPECT_EQ (c.sampleRate.getText(), "Sampling rate 44100 Hz") << "release keeps the rate";
    EXPECT_EQ (repaints(), 4);

    p->prepareToPlay (48000.0, 256);
    editor->timerCallback();
    EXPECT_EQ (c.blockSize.getText(), "Block size 256 samples");
    EXPECT_EQ (c.sampleRate.getText(), "Sampling rate 48000 Hz");
    EXPECT_EQ (repaints(), 5);

    // A second preparation with the same values changes no label.
    p->prepareToPlay (48000.0, 256);
    editor->timerCallback();
    EXPECT_EQ (repaints(), 5);

    // A rate seen while the block size is 0 shows in the "--" form, and the
    // number comes back with the next non-zero block size, in one repaint.
    p->prepareToPlay (96000.0, 0);
    editor->timerCallback();
    EXPECT_EQ (c.blockSize.getText(), "Block size --");
    EXPECT_EQ (c.sampleRate.getText(), "Sampling rate --");
    EXPECT_EQ (repaints(), 6);
    p->prepareToPlay (96000.0, 128);
    editor->timerCallback();
    EXPECT_EQ (c.blockSize.getText(), "Block size 128 samples");
    EXPECT_EQ (c.sampleRate.getText(), "Sampling rate 96000 Hz");
    EXPECT_EQ (repaints(), 7) << "both labels changed: still one repaint";
    editor->timerCallback();
    EXPECT_EQ (repaints(), 7);

    // A fractional rate never equals the remembered whole one.
    p->prepareToPlay (44100.9, 128);
    const int before = repaints();
    editor->timerCallback();
    editor->timerCallback();
    EXPECT_EQ (c.sampleRate.getText(), "Sampling rate 44100 Hz");
    EXPECT_EQ (repaints(), before + 2);

    editor.reset();
    p->releaseResources();
}

// A host prepares, releases, opens the editor and prepares again with the
// same rate: the editor first saw the rate while unprepared.
TEST (EditorTick, AnEditorOpenedAfterAReleaseShowsTheRateOnceThePluginIsPreparedAgain)
{
    auto p = newProcessor();
    p->setRateAndBufferSizeDetails (48000.0, 512);
    p->prepareToPlay (48000.0, 512);
    p->releaseResources();

    auto editor = newEditor (*p);
    Children c (*editor);
    auto repaints = [&] { return editor->getRepaintsRequestedByTicks(); };

    editor->timerCallback();
    EXPECT_EQ (c.blockSize.getText(), "Buffer Size --");
    EXPECT_EQ (c.sampleRate.getText(), "Sampling rate --");

    p->setRateAndBufferSizeDetails (48000.0, 512);
    p->prepareToPlay (48000.0, 512);
    const int before = repaints();
    editor->timerCallback();
    EXPECT_EQ (c.blockSize.getText(), "Block size 512 samples");
    EXPECT_EQ (c.sampleRate.getText(), "Sampling rate 48000 Hz");
    EXPECT_EQ (repaints(), before + 1);

    editor->timerCallback();
    EXPECT_EQ (repaints(), before + 1) << "an idle tick repaints nothing";

    p->releaseResources();
    editor->timerCallback();
    EXPECT_EQ (c.blockSize.getText(), "Block size --");
    EXPECT_EQ (c.sampleRate.getText(), "Sampling rate 48000 Hz") << "release keeps the rate";

    editor.reset();
}

TEST (EditorToggle, AClickWritesTheParameterOnceAndTheHostNeverMovesTheToggle)
{
    auto p = newProcessor();
    auto editor = newEditor (*p);
    Children c (*editor);
    HostListener watcher;
    p->addListener (&watcher);

    c.toggle.triggerClick();
    pumpFor (50);
    EXPECT_FALSE (c.toggle.getToggleState());
    EXPECT_FALSE (p->getPassthroughParameter().get());
    EXPECT_EQ (watcher.values, std::vector<float> { 0.0f });

    // The host switches it back on: the toggle stays where the user left it.
    p->getPassthroughParameter().setValueNotifyingHost (1.0f);
    EXPECT_FALSE (c.toggle.getToggleState());

    // The host turns it off again; a click now turns the toggle on and sends 1.0.
    p->getPassthroughParameter().setValueNotifyingHost (0.0f);
    watcher.values.clear();
    c.toggle.triggerClick();
    pumpFor (50);
    EXPECT_TRUE (p->getPassthroughParameter().get());
    EXPECT_EQ (watcher.values, std::vector<float> { 1.0f });

    // The host turns it off while the toggle shows on; the click finds the
    // parameter already off and sends nothing.
    p->getPassthroughParameter().setValueNotifyingHost (0.0f);
    watcher.values.clear();
    c.toggle.triggerClick();
    pumpFor (50);
    EXPECT_FALSE (c.toggle.getToggleState());
    EXPECT_TRUE (watcher.values.empty());
    EXPECT_EQ (watcher.gestures, 0);

    editor.reset();
    p->removeListener (&watcher);
}

TEST (EditorPainting, DrawsTheLogoAndTheStatusPictureInTheirPlaces)
{
    StandInCompanion companion;
    ASSERT_TRUE (companion.start());
    auto p = newProcessor();
    auto editor = newEditor (*p);

    auto render = [&] (const juce::String& name)
    {
        auto image = editor->createComponentSnapshot (editor->getLocalBounds(), true, 1.0f);
        juce::File file (juce::String (VESTRANO_TEST_OUTPUT_DIR) + "/" + name);
        file.deleteFile();
        juce::FileOutputStream out (file);
        juce::PNGImageFormat().writeImageToStream (image, out);
        return image;
    };

    const auto background = editor->getLookAndFeel().findColour (juce::ResizableWindow::backgroundColourId);

    auto countPixels = [] (const juce::Image& image, juce::Rectangle<int> area, auto predicate)
    {
        int count = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                count += predicate (image.getPixelAt (x, y)) ? 1 : 0;
        return count;
    };

    auto greenish = [] (juce::Colour colour) { return colour.getGreen() > colour.getRed() + 40; };
    auto orangeish = [] (juce::Colour colour) { return colour.getRed() > colour.getBlue() + 80 && colour.getRed() > colour.getGreen() + 20; };
    const auto statusBox = juce::Rectangle<int> (400, 24, 100, 40);

    const auto disconnected = render ("editor-not-connected.png");
    EXPECT_GT (countPixels (disconnected, statusBox, orangeish), 50);
    EXPECT_EQ (countPixels (disconnected, statusBox, greenish), 0);

    // The logo stands in the bottom-right corner, 5 pixels in from the edges;
    // the strip above it and the margins stay background.
    const auto logoArea = juce::Rectangle<int> (333, 154, 162, 41);
    auto notBackground = [&] (juce::Colour colour) { return colour != background; };
    EXPECT_GT (countPixels (disconnected, logoArea, notBackground), 200);
    EXPECT_EQ (countPixels (disconnected, { 333, 120, 162, 30 }, notBackground), 0);
    EXPECT_EQ (countPixels (disconnected, { 496, 150, 4, 50 }, notBackground), 0);
    EXPECT_EQ (countPixels (disconnected, { 333, 196, 167, 4 }, notBackground), 0);

    p->setRateAndBufferSizeDetails (48000.0, 512);
    p->prepareToPlay (48000.0, 512);
    ASSERT_TRUE (pumpUntil ([&] { return p->isLinkConnected(); }, 5000));
    editor->timerCallback();

    const auto connected = render ("editor-connected.png");
    EXPECT_GT (countPixels (connected, statusBox, greenish), 50);
    EXPECT_EQ (countPixels (connected, statusBox, orangeish), 0);

    editor.reset();
    p->releaseResources();
}

TEST (EditorPainting, TheLogoAreaFollowsTheEditorsSizeAndVanishesWhenTooSmall)
{
    auto p = newProcessor();
    auto editor = newEditor (*p);
    const auto background = editor->getLookAndFeel().findColour (juce::ResizableWindow::backgroundColourId);

    auto paintAt = [&] (int width, int height)
    {
        juce::Image image (juce::Image::ARGB, width, height, true);
        juce::Graphics g (image);
        editor->setResizeLimits (1, 1, 2000, 2000);
        editor->setSize (width, height);
        editor->paint (g);
        return image;
    };

    // Too narrow to leave more than 5 pixels: background only.
    const auto narrow = paintAt (12, 200);
    for (int x = 0; x < 12; ++x)
        EXPECT_EQ (narrow.getPixelAt (x, 150), background);

    // A large editor enlarges the logo beyond its own 200 pixels.
    const auto large = paintAt (1200, 400);
    int leftmost = 1200;
    for (int y = 0; y < 400; ++y)
        for (int x = 800; x < 1200; ++x)
            if (large.getPixelAt (x, y) != background)
                leftmost = juce::jmin (leftmost, x);
    EXPECT_LT (leftmost, 1000 - 200 + 100) << "the logo grew past its own width";
}
