#pragma once

#include <juce_events/juce_events.h>

#include <chrono>

/** Runs the message loop on the calling (message) thread until the condition
    holds or the time is up; returns the condition's last answer. */
template <typename Condition>
bool pumpUntil (Condition condition, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs);

    while (! condition())
    {
        if (std::chrono::steady_clock::now() >= end)
            return condition();

        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
    }

    return true;
}

inline void pumpFor (int milliseconds)
{
    pumpUntil ([] { return false; }, milliseconds);
}
