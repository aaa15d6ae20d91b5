#pragma once
// The host's monotonic microsecond clock; every capture stamp and interval uses it.
#include <cstdint>

namespace kiv {

// A media time value as capture and audio services report it: value / timescale seconds.
struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
    bool valid = false;
};

namespace HostClock {
// CLOCK_MONOTONIC in microseconds (runs from system start).
std::uint64_t nowMicros();
// Media time on the same base, rounded toward zero; invalid, timescale < 1 or negative give 0.
std::uint64_t micros(MediaTime time);
} // namespace HostClock

} // namespace kiv
