#pragma once

#include <limits>

/** The sampling rate as the link sends it: truncated toward zero. Rates that
    do not fit an int, and NaN, give the smallest int instead of undefined
    behaviour. */
constexpr int toWholeHertz (double rate) noexcept
{
    constexpr double above = 2147483648.0;   // 2^31
    constexpr double below = -2147483649.0;  // -2^31 - 1

    if (rate > below && rate < above)
        return static_cast<int> (rate);

    return std::numeric_limits<int>::min();
}
