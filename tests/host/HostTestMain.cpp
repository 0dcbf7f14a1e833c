#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <X11/Xlib.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <system_error>

namespace
{
    namespace fs = std::filesystem;

    /** JUCE's LV2 hosting finds plug-ins by URI only in ~/.lv2, /usr/lib/lv2
        and /usr/local/lib/lv2 (it sets lilv's search path itself, so LV2_PATH
        has no effect). A fresh HOME keeps the real home directory out of it
        and gives the bundle this tree built the first place in the search.

        First place is not enough against an installed copy of the same
        version: lilv ignores the second plug-in but keeps the rest of that
        bundle's manifest, so the editor's binary may still come from the
        installed copy. lilv drops an older bundle whole, though, so the
        bundle in HOME is this tree's bundle with its version raised above any
        other: its descriptions are copies, its binary a link to the built one. */
    class IsolatedHome
    {
    public:
        IsolatedHome()
        {
            // In the build tree: a run that dies (a sanitizer halting, say)
            // leaves its folder there rather than in /tmp.
            std::string pattern = std::string (VESTRANO_HOST_SCRATCH_DIR) + "/home-XXXXXX";

            if (::mkdtemp (pattern.data()) == nullptr)
            {
                std::perror ("mkdtemp");
                return;
            }

            folder = pattern;

            try
            {
                const fs::path built (VESTRANO_LV2_BUNDLE);
                const auto bundle = folder / ".lv2" / built.filename();
                fs::create_directories (bundle);
                int versionsRaised = 0;

                for (const auto& entry : fs::directory_iterator (built))
                {
                    const auto target = bundle / entry.path().filename();

                    if (entry.path().extension() != ".ttl")
                    {
                        fs::create_symlink (fs::canonical (entry.path()), target);
                        continue;
                    }

                    std::ifstream in (entry.path());
                    std::stringstream text;
                    text << in.rdbuf();
                    const std::regex version (R"((lv2:(minor|micro)Version)\s+\d+)");
                    const auto original = text.str();
                    versionsRaised += (int) std::distance (std::sregex_iterator (original.begin(), original.end(), version),
                                                           std::sregex_iterator());
                    std::ofstream (target) << std::regex_replace (original, version, "$1 2147483647");
                }

                if (versionsRaised == 0)
                {
                    std::fprintf (stderr, "no lv2:minorVersion in %s: an installed copy could shadow it\n", built.c_str());
                    return;
                }
            }
            catch (const std::exception& e)
            {
                std::fprintf (stderr, "cannot prepare %s: %s\n", folder.c_str(), e.what());
                return;
            }

            ::setenv ("HOME", folder.c_str(), 1);
            ready = true;
        }

        ~IsolatedHome()
        {
            std::error_code ignored;

            // remove_all deletes the links, not the files they point to.
            if (! folder.empty())
                fs::remove_all (folder, ignored);
        }

        bool isReady() const { return ready; }

    private:
        fs::path folder;
        bool ready = false;
    };

    /** JUCE sets up Xlib only for a JUCEApplication, and neither this host
        nor a plug-in is one: without this, the first X error (a window-manager
        atom that Xvfb alone never creates) ends the process in Xlib's default
        handler. Hosts install their own handler; this one reports and goes on. */
    int reportXError (Display* display, XErrorEvent* event)
    {
        // Each kind once: windows without a window manager repeat theirs.
        static std::set<std::pair<int, int>> reported;

        if (reported.insert ({ (int) event->error_code, (int) event->request_code }).second)
        {
            char text[128] = {};
            XGetErrorText (display, event->error_code, text, (int) sizeof (text));
            std::fprintf (stderr, "X error (ignored, reported once): %s, request %d\n", text, (int) event->request_code);
        }

        return 0;
    }

    /** Maps the plug-in binaries for the whole run, so that the sanitizers'
        symboliser, which reads the list of binaries once, knows them (see
        CMakeLists.txt). The formats' own loads then reuse these mappings. */
    bool pinPluginBinaries()
    {
       #if VESTRANO_PIN_PLUGIN_BINARIES
        for (const char* path : { VESTRANO_VST3_BINARY, VESTRANO_LV2_BINARY })
        {
            if (::dlopen (path, RTLD_NOW | RTLD_LOCAL) == nullptr)
            {
                std::fprintf (stderr, "cannot load %s: %s\n", path, ::dlerror());
                return false;
            }
        }
       #endif

        return true;
    }

    void prepareXlib()
    {
        // Host and plug-ins each talk to the X server from their own message
        // threads; Xlib must know before its first call.
        XInitThreads();
        XSetErrorHandler (reportXError);
    }
}

// The test thread is the host's message thread: the hosted plug-ins' messages
// and the host's own timers run when a test pumps the loop.
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);

    // Before JUCE starts, so that nothing reads the real HOME first.
    const IsolatedHome home;

    if (! home.isReady())
        return 1;

    prepareXlib();

    if (! pinPluginBinaries())
        return 1;

    int result = 0;

    {
        const juce::ScopedJuceInitialiser_GUI juce;
        result = RUN_ALL_TESTS();
    }

    return result;
}
