#include "KivProtocol/HostClock.hpp"

#include <time.h>

namespace kiv::HostClock {

__extension__ using Int128 = __int128;

std::uint64_t nowMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t micros(MediaTime time) {
    if (!time.valid || time.timescale < 1) return 0;
    // 128-bit intermediate: value × 10^6 overflows 64 bits for large nanosecond values.
    const Int128 scaled = static_cast<Int128>(time.value) * 1'000'000 / time.timescale; // truncates toward zero
    if (scaled < 0) return 0;
    if (scaled > static_cast<Int128>(UINT64_MAX)) return UINT64_MAX;
    return static_cast<std::uint64_t>(scaled);
}

} // namespace kiv::HostClock
