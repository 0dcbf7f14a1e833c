#pragma once

#include "MessagePump.h"
#include "StandInCompanion.h"
#include "ThreadCensus.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <sys/syscall.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace hosting
{
    constexpr double sampleRate = 48000.0;
    constexpr int blockSize = 512;
    constexpr int numChannels = 2;

    // Blocks that may wait in the link at once: far below its queue limit of
    // 100, so pacing, not the queue, decides what is kept.
    constexpr int maxOutstandingBlocks = 20;

    //==========================================================================
    /** A deterministic stereo signal: a different sine per channel plus a slow
        ramp of opposite sign, so no two blocks of a run (and no two channels)
        are alike and a reordered, repeated or swapped block shows. Kept as one
        table so that every comparison is with the very floats that went in. */
    class Signal
    {
    public:
        static constexpr int numBlocks = 4000; // about 42 s

        static const Signal& get()
        {
            static const Signal signal;
            return signal;
        }

        const float* block (int index, int channel) const
        {
            jassert (index >= 0 && index < numBlocks);
            return samples[(size_t) channel].data() + (size_t) index * blockSize;
        }

        void copyInto (juce::AudioBuffer<float>& buffer, int index) const
        {
            for (int channel = 0; channel < numChannels; ++channel)
                buffer.copyFrom (channel, 0, block (index, channel), blockSize);
        }

        bool matches (const juce::AudioBuffer<float>& buffer, int index) const
        {
            for (int channel = 0; channel < numChannels; ++channel)
                if (std::memcmp (buffer.getReadPointer (channel), block (index, channel), blockSize * sizeof (float)) != 0)
                    return false;

            return true;
        }

    private:
        Signal()
        {
            const double twoPi = juce::MathConstants<double>::twoPi;
            const double rampLength = (double) numBlocks * blockSize;

            for (auto& channel : samples)
                channel.resize ((size_t) numBlocks * blockSize);

            for (size_t n = 0; n < samples[0].size(); ++n)
            {
                const double t = (double) n / sampleRate;
                const double ramp = 0.25 * (double) n / rampLength;
                samples[0][n] = (float) (0.5 * std::sin (twoPi * 440.0 * t) + ramp);
                samples[1][n] = (float) (0.3 * std::sin (twoPi * 1000.0 * t + 0.7) + 0.1 * std::sin (twoPi * 3.3 * t) - ramp);
            }
        }

        std::vector<float> samples[numChannels];
    };

    /** Blocks sent until the link has shown that it delivers: a constant that
        the signal never produces, so they are told apart from its blocks. */
    inline void fillProbe (juce::AudioBuffer<float>& buffer)
    {
        buffer.clear();

        for (int channel = 0; channel < numChannels; ++channel)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (channel), channel == 0 ? 0.75f : -0.75f, blockSize);
    }

    inline bool isSilent (const juce::AudioBuffer<float>& buffer)
    {
        for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
            for (int i = 0; i < buffer.getNumSamples(); ++i)
                if (buffer.getSample (channel, i) != 0.0f)
                    return false;

        return true;
    }

    //==========================================================================
    // The payload as the companion documents it: a 14-byte header, then the
    // channels one after the other as little-endian float32.
    constexpr size_t payloadHeaderSize = 14;

    inline int readLittleEndian16 (const uint8_t* bytes)
    {
        return bytes[0] | (bytes[1] << 8);
    }

    inline const float* payloadChannel (const StandInCompanion::Frame& frame, int channel)
    {
        static_assert (sizeof (float) == 4, "the wire carries float32");
        return reinterpret_cast<const float*> (frame.payload.data() + payloadHeaderSize + (size_t) channel * blockSize * sizeof (float));
    }

    /** Empty when the frame is a well-formed 2-channel, 512-sample, 48 kHz
        block whose samples equal the given ones bit for bit; else what differs. */
    inline std::string frameMismatch (const StandInCompanion::Frame& frame, const float* const expected[numChannels])
    {
        std::ostringstream problem;
        const auto& p = frame.payload;
        const size_t wantedSize = payloadHeaderSize + (size_t) numChannels * blockSize * sizeof (float);

        if (p.size() < payloadHeaderSize)
            return "payload of " + std::to_string (p.size()) + " bytes";

        if (p[0] != 0xB0)               problem << " tag " << (int) p[0];
        if (p[1] != numChannels)        problem << " channels " << (int) p[1];
        if (readLittleEndian16 (p.data() + 2) != blockSize)
            problem << " samples " << readLittleEndian16 (p.data() + 2);
        if (readLittleEndian16 (p.data() + 4) != (int) sampleRate)
            problem << " rate " << readLittleEndian16 (p.data() + 4);
        for (size_t i = 6; i < payloadHeaderSize; ++i)
            if (p[i] != 0)              problem << " reserved byte " << i << " is " << (int) p[i];
        if (p.size() != wantedSize)     problem << " payload " << p.size() << " bytes instead of " << wantedSize;

        if (problem.tellp() == 0)
            for (int channel = 0; channel < numChannels; ++channel)
                for (int i = 0; i < blockSize; ++i)
                {
                    float got;
                    std::memcpy (&got, payloadChannel (frame, channel) + i, sizeof (got));

                    if (std::memcmp (&got, expected[channel] + i, sizeof (got)) != 0)
                    {
                        problem << " channel " << channel << " sample " << i << " is " << got
                                << " instead of " << expected[channel][i];
                        return problem.str();
                    }
                }

        return problem.str();
    }

    inline std::string frameMismatch (const StandInCompanion::Frame& frame, int signalBlock)
    {
        const auto& signal = Signal::get();
        const float* const expected[numChannels] { signal.block (signalBlock, 0), signal.block (signalBlock, 1) };
        return frameMismatch (frame, expected);
    }

    inline bool isProbe (const StandInCompanion::Frame& frame)
    {
        static const std::vector<float> left (blockSize, 0.75f), right (blockSize, -0.75f);
        const float* const expected[numChannels] { left.data(), right.data() };
        return frameMismatch (frame, expected).empty();
    }

    /** The index of the signal block the frame carries, searched among
        [first, end); -1 if none. */
    inline int signalBlockOf (const StandInCompanion::Frame& frame, int first, int end)
    {
        for (int index = juce::jmax (0, first); index < juce::jmin (end, Signal::numBlocks); ++index)
            if (frameMismatch (frame, index).empty())
                return index;

        return -1;
    }

    //==========================================================================
    /** Drives a hosted instance block by block the way an audio thread would,
        and watches what reaches the stand-in. */
    class Session
    {
    public:
        Session (juce::AudioPluginInstance& pluginToDrive, StandInCompanion& companionToWatch)
            : plugin (pluginToDrive), companion (companionToWatch)
        {
            buffer.setSize (juce::jmax (plugin.getTotalNumInputChannels(), plugin.getTotalNumOutputChannels()), blockSize);
        }

        /** Sends probe blocks until one arrives on a connection other than
            `ignored`; returns the index of the connection it came on (the
            current link's), or -1. */
        int connect (int timeoutMs, int ignored = -1)
        {
            const auto end = now() + std::chrono::milliseconds (timeoutMs);
            // Probes of an earlier link are history, not an answer.
            const size_t earlier = companion.frames().size();
            size_t seen = companion.frameCount();

            while (now() < end)
            {
                fillProbe (buffer);
                plugin.processBlock (buffer, midi);

                // Wait for this probe rather than piling more up behind it.
                pumpUntil ([&] { return companion.frameCount() > seen; }, 30);

                if (companion.frameCount() > seen)
                {
                    seen = companion.frameCount();
                    const auto frames = companion.frames();

                    for (size_t i = earlier; i < frames.size(); ++i)
                        if (frames[i].connection != ignored && isProbe (frames[i]))
                        {
                            restartPacing();
                            return frames[i].connection;
                        }
                }
            }

            return -1;
        }

        /** Processes one block of the signal; returns the host's output. */
        const juce::AudioBuffer<float>& process (int signalBlock)
        {
            buffer.clear();
            Signal::get().copyInto (buffer, signalBlock);
            plugin.processBlock (buffer, midi);
            ++pacedBlocks;
            return buffer;
        }

        /** Pumps messages until few enough blocks wait in the link; false if
            the link stops delivering altogether. */
        bool waitForRoom (int timeoutMs = 10000)
        {
            return pumpUntil ([&] { return outstanding() <= maxOutstandingBlocks; }, timeoutMs);
        }

        /** Pacing counts from here, as after a gap when nothing could arrive. */
        void restartPacing()
        {
            paceBase = companion.frameCount();
            pacedBlocks = 0;
        }

        /** The frames of one connection after the probes that opened it. */
        std::vector<StandInCompanion::Frame> signalFrames (int connection) const
        {
            std::vector<StandInCompanion::Frame> result;
            bool pastProbes = false;

            for (auto& frame : companion.frames())
            {
                if (frame.connection != connection)
                    continue;

                pastProbes = pastProbes || ! isProbe (frame);

                if (pastProbes)
                    result.push_back (frame);
            }

            return result;
        }

        /** Waits (pumping) until every paced block has arrived somewhere, then
            returns the frames of the connection. */
        std::vector<StandInCompanion::Frame> waitForSignalFrames (int connection, size_t count, int timeoutMs)
        {
            const auto end = now() + std::chrono::milliseconds (timeoutMs);

            for (;;)
            {
                const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds> (end - now()).count();
                pumpUntil ([&] { return outstanding() <= 0; }, (int) juce::jmax<long long> (0, remaining));
                auto frames = signalFrames (connection);

                if (frames.size() >= count || now() >= end)
                    return frames;

                pumpFor (50);
            }
        }

    private:
        static std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }

        long long outstanding() const
        {
            return (long long) pacedBlocks - (long long) (companion.frameCount() - paceBase);
        }

        juce::AudioPluginInstance& plugin;
        StandInCompanion& companion;
        juce::AudioBuffer<float> buffer;
        juce::MidiBuffer midi;
        size_t paceBase = 0;
        int pacedBlocks = 0;
    };

    //==========================================================================
    /** Starts the stand-in, waiting while someone else's test holds the port. */
    inline bool startCompanion (StandInCompanion& companion, bool pumpWhileWaiting)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes (2);

        while (! companion.start())
        {
            if (std::chrono::steady_clock::now() >= end)
                return false;

            if (pumpWhileWaiting)
                pumpFor (250);
            else
                std::this_thread::sleep_for (std::chrono::milliseconds (250));
        }

        return true;
    }

    /** Every plug-in binary of ours that this process has mapped. */
    inline std::vector<std::string> mappedPluginBinaries()
    {
        std::vector<std::string> paths;
        std::ifstream maps ("/proc/self/maps");
        std::string line;

        while (std::getline (maps, line))
        {
            const auto slash = line.find ('/');

            if (slash == std::string::npos)
                continue;

            // VST3 bundles hold VestranoPlugin.so, LV2 bundles libVestranoPlugin.so.
            const auto path = line.substr (slash);
            const std::string name = "VestranoPlugin.so";

            if (path.size() >= name.size() && path.compare (path.size() - name.size(), name.size(), name) == 0
                  && std::find (paths.begin(), paths.end(), path) == paths.end())
                paths.push_back (path);
        }

        return paths;
    }

    /** The system call each thread whose name starts with prefix is blocked
        in (-1 while it runs); Linux keeps names to 15 characters. */
    inline std::vector<long> syscallsOfThreadsNamed (const std::string& prefix)
    {
        std::vector<long> calls;

        for (const int id : threadIdsNamed (prefix))
        {
            std::ifstream syscallFile ("/proc/self/task/" + std::to_string (id) + "/syscall");
            std::string first;
            syscallFile >> first;
            calls.push_back (first == "running" || first.empty() ? -1L : std::stol (first));
        }

        return calls;
    }

    // A sender that waits for room sits in poll() between non-blocking sends.
    inline bool isSocketWrite (long call)
    {
        return call == SYS_write || call == SYS_sendto || call == SYS_sendmsg || call == SYS_writev
                 || call == SYS_poll || call == SYS_ppoll;
    }
}
