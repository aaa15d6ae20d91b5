#include "KivHostCore/Linux/X264RateControl.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kiv {

namespace {
constexpr int kBlock = 16;
constexpr double kLearnFromBits = 4096; // less is mostly headers: nothing to learn
constexpr double kLeastBitsPerBlock = 2, kMostBitsPerBlock = 8000;
} // namespace

X264RateControl::X264RateControl(const Settings& settings)
    : settings_(settings), mbWidth_(std::max((settings.width + kBlock - 1) / kBlock, 1)),
      mbHeight_(std::max((settings.height + kBlock - 1) / kBlock, 1)),
      codedQp_(static_cast<std::size_t>(mbWidth_) * static_cast<std::size_t>(mbHeight_), 0),
      unchanged_(codedQp_.size(), 0) {
    settings_.streamQp = std::clamp(settings_.streamQp, 1, kMaxQp);
    settings_.fps = std::max(settings_.fps, 1);
    settings_.bitrate = std::max<std::int64_t>(settings_.bitrate, 1);
    settings_.keyframeIntervalFrames = std::max(settings_.keyframeIntervalFrames, 1);
}

void X264RateControl::setBitrate(std::int64_t bitrate) {
    settings_.bitrate = std::max<std::int64_t>(bitrate, 1);
}

double X264RateControl::Bucket::at(std::uint64_t nowUs, std::int64_t bitrate) const {
    if (nowUs <= atUs) return bits;
    return std::max(bits - static_cast<double>(bitrate) * static_cast<double>(nowUs - atUs) / 1e6, 0.0);
}

double X264RateControl::frameBits() const {
    return static_cast<double>(settings_.bitrate) / settings_.fps;
}

double X264RateControl::keyframeBudget() const {
    return std::max(frameBits() * settings_.vbvFrames,
                    static_cast<double>(settings_.bitrate) * settings_.keyframeBudgetSeconds);
}

double X264RateControl::keyframeShare() const {
    const double pixels = static_cast<double>(settings_.width) * static_cast<double>(settings_.height);
    return std::max(frameBits() * settings_.vbvFrames,
                    std::min(keyframeBudget() * settings_.keyframeShare, pixels * kKeyframeBitsPerPixel));
}

// One quantizer step over a detailed screen can cost more than a few frames; the share lets it
// be taken all the same (or sharpening would stop short of the stream's quality).
double X264RateControl::sharpenCapacity() const {
    return std::max(frameBits() * settings_.sharpenFrames, keyframeShare());
}

double X264RateControl::loanNow(std::uint64_t nowUs) const {
    return nowUs <= loanUntilUs_ ? loanBits_ : 0.0;
}

double X264RateControl::changeAllowance(std::uint64_t nowUs) const {
    return frameBits() * settings_.vbvFrames - changes_.at(nowUs, settings_.bitrate) +
           std::min(loanNow(nowUs), keyframeShare());
}

double X264RateControl::scale(int qp) const {
    return std::exp2(static_cast<double>(settings_.streamQp - qp) / 6.0);
}

double X264RateControl::keyframeBitsPerBlock(int qp) const {
    if (keyframeQp_ == 0) return kIntraBitsPerBlock * std::exp2((settings_.streamQp - qp) / keyframeSlope_);
    return keyframeBits_ * std::exp2((keyframeQp_ - qp) / keyframeSlope_);
}

X264RateControl::Prediction X264RateControl::predict(int qp) const {
    if (plannedKeyframe_) return {0.0, static_cast<double>(codedQp_.size()) * keyframeBitsPerBlock(qp)};
    const int refresh =
        (static_cast<int>(codedQp_.size()) + settings_.keyframeIntervalFrames - 1) / settings_.keyframeIntervalFrames;
    // Known changes: many changed blocks after a run of flat ones are assumed at least half as
    // detailed as the screen was at the last keyframe. Unknown ones count every block, so only
    // what was measured.
    const double perBlock =
        changesKnown_ ? std::max(interBits_, std::min(kInterBitsPerBlock, intraBits_ / 2)) : interBits_;
    Prediction bits;
    bits.changed = static_cast<double>(changedBlocks_ + refresh) * scale(qp) * perBlock;
    // Sharpening a block sent at a coarser quantizer costs about what the finer one adds to a
    // picture of that detail, which the last keyframe measured.
    double sharpened = 0;
    for (int coarse = qp + 1; coarse <= kMaxQp; ++coarse)
        sharpened += coarser_[static_cast<std::size_t>(coarse)] * (scale(qp) - scale(coarse));
    bits.detail = sharpened * sharpenBits_;
    return bits;
}

int X264RateControl::plan(bool keyframe, std::uint64_t nowUs, const PictureChanges* changes) {
    planned_ = true;
    plannedKeyframe_ = keyframe;
    plannedAtUs_ = nowUs;
    const double share = keyframeShare();
    plannedLoan_ = keyframe ? 0.0 : std::min(loanNow(nowUs), share);
    const double ownFrame = frameBits() * settings_.vbvFrames - changes_.at(nowUs, settings_.bitrate);
    const double forChanges = ownFrame + plannedLoan_;
    // No picture beyond a keyframe's share, unless a change's own frame allows more.
    const double sharpenRoom = sharpenCapacity() - sharpen_.at(nowUs, settings_.bitrate);
    const double forAll = std::min(std::max(share, ownFrame), std::max(forChanges, sharpenRoom + plannedLoan_));
    // The stream's first picture has nothing waiting behind it: all of the budget, as one picture.
    const bool first = std::all_of(codedQp_.begin(), codedQp_.end(), [](std::uint8_t qp) { return qp == 0; });
    const double pixels = static_cast<double>(settings_.width) * static_cast<double>(settings_.height);
    const double forcedCap = std::max(frameBits() * settings_.vbvFrames, pixels * kForcedKeyframeBitsPerPixel);
    const double keyframeCap = first ? keyframeBudget() : std::min(share, forcedCap);
    if (keyframe) {
        std::fill(unchanged_.begin(), unchanged_.end(), 0);
    } else {
        const bool known = changes != nullptr && changes->known;
        changesKnown_ = known;
        std::fill(unchanged_.begin(), unchanged_.end(), known ? 1 : 0);
        if (known) {
            for (const auto& rect : changes->rects) {
                const int left = std::clamp(rect.left / kBlock, 0, mbWidth_);
                const int right = std::clamp((rect.right + kBlock - 1) / kBlock, 0, mbWidth_);
                const int top = std::clamp(rect.top / kBlock, 0, mbHeight_);
                const int bottom = std::clamp((rect.bottom + kBlock - 1) / kBlock, 0, mbHeight_);
                for (int y = top; y < bottom; ++y)
                    std::fill_n(unchanged_.begin() + y * mbWidth_ + left, std::max(right - left, 0), 0);
            }
        }
        coarser_.fill(0);
        changedBlocks_ = 0;
        for (std::size_t i = 0; i < codedQp_.size(); ++i) {
            if (codedQp_[i] == 0) unchanged_[i] = 0; // never sent since the encoder lost track
            if (unchanged_[i] != 0)
                ++coarser_[codedQp_[i]];
            else
                ++changedBlocks_;
        }
    }
    plannedQp_ = kMaxQp;
    for (int qp = settings_.streamQp; qp <= kMaxQp; ++qp) {
        const Prediction bits = predict(qp);
        const bool fits = keyframe ? bits.total() <= keyframeCap : bits.changed <= forChanges && bits.total() <= forAll;
        if (fits) {
            plannedQp_ = qp;
            break;
        }
    }
    plannedBits_ = predict(plannedQp_);
    return plannedQp_;
}

void X264RateControl::record(std::size_t bytes) {
    if (!std::exchange(planned_, false)) return;
    const double bits = static_cast<double>(bytes) * 8.0;
    const auto qp = static_cast<std::uint8_t>(plannedQp_);
    const auto now = plannedAtUs_;
    const auto drainTo = [&](Bucket& bucket) {
        bucket.bits = bucket.at(now, settings_.bitrate);
        bucket.atUs = std::max(bucket.atUs, now);
    };
    drainTo(changes_);
    drainTo(sharpen_);
    if (plannedKeyframe_) {
        const double perBlock = std::max(bits / static_cast<double>(codedQp_.size()), kLeastBitsPerBlock);
        // Two keyframes far enough apart in quantizer measure the slope (of the screen they
        // showed, most often the same desktop).
        if (keyframeQp_ != 0 && std::abs(plannedQp_ - keyframeQp_) >= 4) {
            const bool finer = plannedQp_ < keyframeQp_;
            const double larger = finer ? perBlock : keyframeBits_, smaller = finer ? keyframeBits_ : perBlock;
            if (larger > smaller * 1.05) {
                const double measured = std::abs(plannedQp_ - keyframeQp_) / std::log2(larger / smaller);
                keyframeSlope_ = std::clamp(measured, 5.0, 16.0);
            }
        }
        keyframeQp_ = plannedQp_;
        keyframeBits_ = perBlock;
        // What the rest of the rate control assumes of the screen's detail, at the stream's quantizer.
        intraBits_ = std::clamp(perBlock / scale(plannedQp_), kLeastBitsPerBlock, kMostBitsPerBlock);
        sharpenBits_ = intraBits_;
        std::fill(codedQp_.begin(), codedQp_.end(), qp);
        // Its budget is its own: the pictures after it get their usual buffers, and what it left
        // for a short while (four frames' time, at least 100 ms) on top.
        changes_.bits = std::min(changes_.bits + bits, frameBits() * settings_.vbvFrames);
        sharpen_.bits = std::min(sharpen_.bits + bits, sharpenCapacity());
        loanBits_ = std::max(keyframeBudget() - bits, 0.0);
        loanUntilUs_ = now + std::max<std::uint64_t>(100'000, 4'000'000 / static_cast<unsigned>(settings_.fps));
        return;
    }
    // Measured against the prediction, the part that dominated it learns the difference.
    const double ratio = bits / std::max(plannedBits_.total(), 1.0);
    if (plannedBits_.total() >= kLearnFromBits) {
        double& learned = plannedBits_.changed >= plannedBits_.detail ? interBits_ : sharpenBits_;
        learned = std::clamp(learned * std::sqrt(ratio), kLeastBitsPerBlock, kMostBitsPerBlock);
    }
    for (std::size_t i = 0; i < codedQp_.size(); ++i)
        if (unchanged_[i] == 0 || codedQp_[i] > qp) codedQp_[i] = qp;
    // The loan pays first; the changes' buffer takes the changes' part of the rest.
    const double borrowed = std::min(bits, plannedLoan_);
    loanBits_ = std::max(loanBits_ - borrowed, 0.0);
    const double own = bits - borrowed;
    const double changedPart = plannedBits_.total() > 0 ? plannedBits_.changed / plannedBits_.total() : 1.0;
    changes_.bits += own * changedPart;
    sharpen_.bits += own;
}

void X264RateControl::forget() {
    planned_ = false;
    std::fill(codedQp_.begin(), codedQp_.end(), 0);
}

} // namespace kiv
