#pragma once
// The painter's side of a measuring run: what changes on the device's monitor and when.
//   sync:   the counter strip flips 60 times a second, which the capture can lock onto.
//   random: the strip flips at random moments (every 150-250 ms) while a bar and a box move at
//           60 Hz elsewhere on the same monitor, as a keystroke lands while a video plays.
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "E2EMeasure.hpp"
#include "KivHostCore/Testing/XPainter.hpp"
#include "KivProtocol/HostClock.hpp"

namespace kiv::e2e {

enum class Changes { sync, random };

struct LatencyRun {
    std::vector<double> latency;   // every device's credited flips
    std::vector<double> p50s;      // per device
    std::vector<double> keyframes; // the flips keyframes carried
    std::int64_t detected = 0;
    std::int64_t painted = 0;
    double hostCpu = 0; // % of one core
    double rxCpu = 0;
    double mbps = 0;
};

constexpr std::uint32_t kBackground = 0x404040;

// The moving parts of `random`, below and above the strip so they never cover a cell: a bar that
// sweeps across the lower third and a box that bounces along the top.
class Motion {
public:
    explicit Motion(std::array<int, 4> area) : area_(area) {}

    template <class Painter>
    void step(Painter& painter) {
        const auto [mx, my, mw, mh] = area_;
        const int barW = std::max(mw / 25, 2);
        const int barY = my + mh * 60 / 100;
        const int barH = mh * 35 / 100;
        const int box = std::max(mh / 10, 2);
        const int boxY = my + mh * 5 / 100;
        if (frame_ > 0) {
            painter.fill(kBackground, mx + barX_, barY, barW, barH, false);
            painter.fill(kBackground, mx + boxX_, boxY, box, box, false);
        }
        ++frame_;
        barX_ = static_cast<int>((frame_ * std::max(mw / 120, 1)) % std::max(mw - barW, 1));
        const int span = std::max(mw - box, 1);
        const int travel = static_cast<int>((frame_ * std::max(mw / 90, 1)) % (2 * span));
        boxX_ = travel < span ? travel : 2 * span - travel;
        painter.fill(0x30A0F0, mx + barX_, barY, barW, barH, false);
        painter.fill(0xF0C020, mx + boxX_, boxY, box, box, false);
        painter.flush();
    }

private:
    std::array<int, 4> area_;
    std::int64_t frame_ = 0;
    int barX_ = 0;
    int boxX_ = 0;
};

// Flips the strip for 1 s of warm-up plus `seconds` on every area at once (each device reads the
// same counter from its own monitor), and gathers what the measures credited. The readers give
// CPU ticks of the sender, receiver CPU µs and received bytes at a moment.
// `Painter`: test::Painter on X11, or any with fill(rgb, x, y, w, h, settle) and flush().
template <class Painter>
LatencyRun run(Painter& painter, Changes changes, const std::vector<Measure*>& measures,
               const std::vector<std::array<int, 4>>& areas, int seconds, const std::function<long long()>& senderTicks,
               const std::function<std::uint64_t()>& receiverMicros,
               const std::function<std::uint64_t()>& receivedBytes, bool clear = true) {
    using namespace std::chrono_literals;
    using Clock = std::chrono::steady_clock;
    if (clear)
        for (const auto& [mx, my, mw, mh] : areas)
            painter.fill(kBackground, mx, my, mw, mh);
    for (auto* measure : measures) { // each run counts afresh: flips from 1 again, no figures yet
        const std::lock_guard lock(measure->mutex);
        measure->painted.clear();
        measure->newestShown = 0;
        measure->latencyMs.clear();
        measure->keyframeLatencyMs.clear();
        measure->detected = 0;
    }
    std::vector<Motion> motion;
    if (changes == Changes::random)
        for (const auto& area : areas)
            motion.emplace_back(area);
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int> gapMicros(150'000, 250'000);
    const auto start = Clock::now();
    const auto warmUp = start + 1s;
    const auto end = warmUp + std::chrono::seconds(seconds);
    long long ticksStart = 0;
    std::uint64_t rxStart = 0;
    std::uint64_t bytesStart = 0;
    LatencyRun result;
    auto nextMotion = start;
    auto nextFlip = start;
    for (std::uint64_t flip = 1; Clock::now() < end;) {
        if (!motion.empty() && nextMotion <= nextFlip) {
            std::this_thread::sleep_until(nextMotion);
            nextMotion += 16'667us;
            for (auto& parts : motion)
                parts.step(painter);
            continue;
        }
        std::this_thread::sleep_until(nextFlip);
        nextFlip +=
            changes == Changes::sync ? std::chrono::microseconds(16'667) : std::chrono::microseconds(gapMicros(rng));
        const bool counting = Clock::now() >= warmUp;
        if (counting && result.painted == 0) {
            ticksStart = senderTicks();
            rxStart = receiverMicros();
            for (auto* measure : measures) {
                const std::lock_guard lock(measure->mutex);
                measure->counting = true;
            }
            bytesStart = receivedBytes();
        }
        for (std::size_t a = 0; a < areas.size(); ++a) {
            const auto [mx, my, mw, mh] = areas[a];
            for (int bit = 0; bit < kBits; ++bit) {
                const bool on = ((flip % kCodes) >> bit) & 1u;
                painter.fill(on ? 0xFFFFFF : 0x000000, mx + static_cast<int>((cellX(bit) - kCellW / 2) * mw),
                             my + static_cast<int>(kCellY * mh), static_cast<int>(kCellW * mw),
                             static_cast<int>(kCellH * mh), a + 1 == areas.size() && bit == kBits - 1);
            }
        }
        const auto paintedAt = HostClock::nowMicros();
        for (auto* measure : measures) {
            const std::lock_guard lock(measure->mutex);
            measure->painted[flip] = paintedAt;
            while (measure->painted.size() > 4 * kCodes / 5)
                measure->painted.erase(measure->painted.begin());
        }
        if (counting) result.painted += static_cast<std::int64_t>(measures.size());
        ++flip;
    }
    std::this_thread::sleep_for(300ms); // the last flips' pictures
    const double span = std::chrono::duration<double>(Clock::now() - warmUp).count();
    result.hostCpu =
        static_cast<double>(senderTicks() - ticksStart) * 100.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)) / span;
    result.rxCpu = static_cast<double>(receiverMicros() - rxStart) / 1e4 / span;
    for (auto* measure : measures) {
        const std::lock_guard lock(measure->mutex);
        measure->counting = false;
        result.latency.insert(result.latency.end(), measure->latencyMs.begin(), measure->latencyMs.end());
        result.keyframes.insert(result.keyframes.end(), measure->keyframeLatencyMs.begin(),
                                measure->keyframeLatencyMs.end());
        result.p50s.push_back(percentile(measure->latencyMs, 0.5));
        result.detected += measure->detected;
    }
    result.mbps = static_cast<double>(receivedBytes() - bytesStart) * 8 / 1e6 / span;
    return result;
}

} // namespace kiv::e2e
