#pragma once
// When a Wi-Fi link sends a frame's datagrams twice. A frame is lost to the device when any one
// of its datagrams is, and past a lost frame only a keyframe decodes. On a link that loses one
// datagram in a few hundred, the large frames (a keyframe, the sharpening after it, a still
// picture's refinement) are lost more often than not, each loss asks for another keyframe, and a
// detailed screen never gets sharp. A datagram sent twice is lost only when both copies are.
// So, for 10 s after the device last reported loss, a frame goes twice when it would otherwise
// be lost one time in 20 or more. Above 5 % loss the link is more likely congested than noisy
// and copies would only add to it: nothing is repeated then. Nor is a frame of more than 400
// datagrams sent twice at once: both copies would arrive as one burst, and one of a megabyte or
// more can overflow a device's socket, which then loses more than the copies save.
// The last frame before the screen goes still is sent once more 50 ms after it, unless it went
// twice already: a device that lost it learns nothing until something else changes (no later
// frame comes to show the gap), and would keep showing the picture before it, a key typed
// missing, a still picture's refinement never arriving. A copy of a frame it has is ignored.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

class VideoRepeat {
public:
    static constexpr Duration kHold = std::chrono::seconds(10);
    static constexpr double kFrameLossToRepeat = 0.05;
    static constexpr double kMostLoss = 0.05;
    static constexpr std::size_t kMostDatagrams = 400;
    static constexpr Duration kTailAfter = std::chrono::milliseconds(50);
    // What a device that asks for a keyframe after a loss, but sends no figures, is assumed to lose.
    static constexpr double kAssumedLoss = 0.005;

    // The fraction of datagrams the device reports lost over its last figures' interval. A
    // report of none does not clear what was heard: on a quiet screen few datagrams go, and none
    // lost among them says little about the large frame that comes next.
    void reportedLoss(double fraction, MonotonicTime now) {
        if (!(fraction > 0)) return;
        if (!worstAt_ || now - *worstAt_ > kHold || fraction >= worst_) {
            worst_ = fraction;
            worstAt_ = now;
        }
        latest_ = fraction;
        heardAt_ = now;
    }
    // The device lost a frame and asked for a keyframe.
    void lostFrame(MonotonicTime now) { reportedLoss(kAssumedLoss, now); }

    // Loss was heard in the last 10 s, and not so much that copies would only add to it.
    bool lossy(MonotonicTime now) const { return heardAt_ && now - *heardAt_ <= kHold && loss(now) <= kMostLoss; }

    bool repeats(std::size_t datagrams, MonotonicTime now) const {
        if (!lossy(now) || datagrams > kMostDatagrams) return false;
        return 1.0 - std::pow(1.0 - loss(now), static_cast<double>(datagrams)) >= kFrameLossToRepeat;
    }

private:
    // The worst of the last 10 s; once it is older, the latest report.
    double loss(MonotonicTime now) const { return worstAt_ && now - *worstAt_ <= kHold ? worst_ : latest_; }

    double worst_ = 0;
    double latest_ = 0;
    std::optional<MonotonicTime> worstAt_;
    std::optional<MonotonicTime> heardAt_;
};

} // namespace kiv
