#include "KivHostCore/Media/AutoQualityController.hpp"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>
#include <numeric>

namespace kiv {

std::optional<QualityTier> AutoQualityController::ingest(const Sample& sample) {
    rtts.push_back(sample.rttMs);
    while (rtts.size() > kWindow)
        rtts.pop_front();
    const double mean = std::accumulate(rtts.begin(), rtts.end(), 0.0) / static_cast<double>(rtts.size());
    double variance = 0;
    for (const double rtt : rtts)
        variance += (rtt - mean) * (rtt - mean);
    const double jitter = std::sqrt(variance / static_cast<double>(rtts.size()));

    // The first sample has no previous totals and so counts no drops.
    const std::int64_t clientDelta = sample.clientDroppedTotal - lastClientDropped.value_or(sample.clientDroppedTotal);
    const std::int64_t hostDelta = sample.hostSendDroppedTotal - lastHostDropped.value_or(sample.hostSendDroppedTotal);
    lastClientDropped = sample.clientDroppedTotal;
    lastHostDropped = sample.hostSendDroppedTotal;

    const bool bad = sample.packetLoss > 0.03 || sample.rttMs > 80 || jitter > 25 || hostDelta >= 1 || clientDelta > 2;
    const bool good = sample.packetLoss < 0.005 && sample.rttMs < 40 && jitter < 10 && hostDelta < 1 && clientDelta < 1;

    recentBad.push_back(bad);
    while (recentBad.size() > kWindow)
        recentBad.pop_front();
    goodStreak = good ? goodStreak + 1 : 0;
    if (sample.nowSeconds - lastDegrade > 300) requiredGood = 20;

    const auto badCount = std::count(recentBad.begin(), recentBad.end(), true);
    if (badCount >= 3 && sample.nowSeconds - lastChange >= 6.0 && tier > QualityTier::emergency) {
        const auto lower = static_cast<QualityTier>(static_cast<int>(tier) - 1);
        lastReason = fmt::format("loss {:.1f}% rtt {:.0f}ms jitter {:.0f}ms drops host+{} client+{}",
                                 sample.packetLoss * 100, sample.rttMs, jitter, std::max<std::int64_t>(hostDelta, 0),
                                 std::max<std::int64_t>(clientDelta, 0));
        tier = lower;
        lastChange = lastDegrade = sample.nowSeconds;
        recentBad.clear();
        requiredGood = std::min(2 * requiredGood, 120);
        goodStreak = 0;
        return tier;
    }
    if (goodStreak >= requiredGood && sample.nowSeconds - lastChange >= 20.0 && tier < maxTier) {
        tier = static_cast<QualityTier>(static_cast<int>(tier) + 1);
        lastReason = fmt::format("stable {}s", goodStreak);
        lastChange = sample.nowSeconds;
        goodStreak = 0;
        return tier;
    }
    return std::nullopt;
}

void AutoQualityController::reset(QualityTier to, double nowSeconds) {
    tier = to;
    lastChange = nowSeconds;
    recentBad.clear();
    goodStreak = 0;
}

} // namespace kiv
