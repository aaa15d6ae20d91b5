#pragma once
#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <thread>

namespace kiv::receiver {

// CPU time a running thread has used (microseconds; 0 when it is not running).
inline std::uint64_t threadCPUMicros(std::thread& thread) {
    if (!thread.joinable()) return 0;
    clockid_t clock{};
    if (::pthread_getcpuclockid(thread.native_handle(), &clock) != 0) return 0;
    timespec ts{};
    if (::clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

} // namespace kiv::receiver
