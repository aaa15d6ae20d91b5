#pragma once
// Picks the quality tier from link samples: one step down quickly when the link is bad, one step
// up slowly after a clean stretch, with exponential back-off. A value type fed with the caller's
// time, so it is deterministic.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "KivProtocol/KivConstants.hpp"
#include "KivProtocol/SessionSettings.hpp"

namespace kiv {

struct AutoQualityController {
    struct Sample {
        double packetLoss = 0;
        double rttMs = 0;
        std::int64_t clientDroppedTotal = 0;
        std::int64_t hostSendDroppedTotal = 0;
        double nowSeconds = 0;
    };

    static constexpr QualityTier maxAutoTier = QualityTier::clear;
    static constexpr QualityTier minAutoTier = QualityTier::emergency;
    static constexpr std::size_t kWindow = 5;

    QualityTier maxTier = QualityTier::clear;
    QualityTier tier;
    std::string lastReason;
    std::deque<bool> recentBad;
    std::deque<double> rtts;
    int goodStreak = 0;
    int requiredGood = 20;
    double lastChange = -1'000'000'000.0;
    double lastDegrade = -1'000'000'000.0;
    std::optional<std::int64_t> lastClientDropped;
    std::optional<std::int64_t> lastHostDropped;

    explicit AutoQualityController(QualityTier start) : tier(start) {}

    static QualityTier maxTierFor(TransportKind kind) {
        return kind == TransportKind::usb ? QualityTier::ultra : QualityTier::clear;
    }
    static QualityTier startTier(TransportKind kind) { return maxTierFor(kind); }

    // The new tier when this sample changed it.
    std::optional<QualityTier> ingest(const Sample& sample);
    // The tier was set from outside (manual change, new link).
    void reset(QualityTier to, double nowSeconds);
};

} // namespace kiv
