#pragma once

#include <juce_core/juce_core.h>

// Everything about the link is compiled in: the companion application listens
// on a fixed local port and the plug-in has no settings page.
namespace LinkSettings
{
    // The companion's port on this machine's loopback addresses, 127.0.0.1
    // and ::1, which the link dials by number (see LoopbackDial.h for why).
    constexpr int port = 10000;

    // One attempt, both addresses together.
    constexpr int connectTimeoutMs = 100;
    constexpr int retryPauseMs = 300;

    constexpr juce::uint32 magicNumber = 0xF2B49E2Cu;
    constexpr int queueLimit = 100;

    // Stop bounds: the sender gets this long to finish the block in hand
    // before the connection is closed under it.
    constexpr int senderStopMs = 300;
    constexpr int disconnectMs = 500;
    constexpr int workerStopMs = 200;

    // The framework's 0..10 scale put the sender at 7; JUCE 7 names that level "high".
    constexpr auto senderPriority = juce::Thread::Priority::high;
}
