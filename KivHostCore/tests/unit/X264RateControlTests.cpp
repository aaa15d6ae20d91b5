// The stream's rate control against a model encoder whose pictures cost what a block of given
// detail costs at a quantizer (halving every 6 steps; a keyframe's as slowly as set), sharpening
// included; virtual time.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

#include "KivHostCore/Linux/X264RateControl.hpp"

using namespace kiv;

namespace {

constexpr int kFps = 60;
constexpr std::uint64_t kFrameUs = 1'000'000 / kFps;

X264RateControl::Settings settings(std::int64_t bitrate = 8'000'000) {
    X264RateControl::Settings s;
    s.width = 1920;
    s.height = 1080;
    s.fps = kFps;
    s.bitrate = bitrate;
    s.keyframeIntervalFrames = 120;
    return s;
}

// What x264 would make of a picture: changed blocks cost `changedBits` at the stream's quantizer,
// blocks it last sent coarser cost the detail the finer quantizer adds.
struct ModelEncoder {
    double changedBits = 100;
    double detailBits = 600;
    double keyframeSlope = 6;
    std::vector<int> blockQp = std::vector<int>(120 * 68, 0);

    static double scale(int qp) { return std::exp2((21.0 - qp) / 6.0); }
    std::size_t encode(X264RateControl& rc, bool keyframe, int qp) {
        double bits = 0;
        for (std::size_t i = 0; i < blockQp.size(); ++i) {
            if (keyframe) {
                bits += detailBits * std::exp2((21.0 - qp) / keyframeSlope);
            } else if (rc.unchanged()[i] == 0) {
                bits += changedBits * scale(qp);
            } else if (blockQp[i] > qp) {
                bits += detailBits * (scale(qp) - scale(blockQp[i]));
            } else {
                continue;
            }
            blockQp[i] = qp;
        }
        return static_cast<std::size_t>(bits / 8) + 20;
    }
};

PictureChanges changed(std::vector<PictureChanges::Rect> rects) {
    PictureChanges changes;
    changes.known = true;
    changes.rects = std::move(rects);
    return changes;
}

struct Picture {
    int qp;
    std::size_t bytes;
};

Picture step(X264RateControl& rc, ModelEncoder& encoder, std::uint64_t nowUs, bool keyframe,
             const PictureChanges* changes) {
    const int qp = rc.plan(keyframe, nowUs, changes);
    const auto bytes = encoder.encode(rc, keyframe, qp);
    rc.record(bytes);
    return {qp, bytes};
}

} // namespace

TEST(X264RateControl, ChangesGetTheStreamQualityWhenTheyFitAndNoMoreThanTheirFrameWhenTheyDoNot) {
    X264RateControl rc(settings());
    ModelEncoder encoder;
    encoder.detailBits = 50; // a plain desktop: its keyframe fits at the stream's quantizer
    const double frameBytes = 8'000'000.0 / 8 / kFps;
    ASSERT_EQ(step(rc, encoder, 0, true, nullptr).qp, 21);
    std::uint64_t now = 0;

    // A key typed: a few blocks, at the stream's quantizer; exactly its blocks are not skipped,
    // a rectangle's partial blocks included.
    now += 10 * kFrameUs;
    const auto key = changed({{17, 40, 33, 60}});
    const auto typed = step(rc, encoder, now, false, &key);
    EXPECT_EQ(typed.qp, 21);
    int skipped = 0;
    for (int y = 0; y < rc.mbHeight(); ++y) {
        for (int x = 0; x < rc.mbWidth(); ++x) {
            const bool inside = x >= 1 && x <= 2 && y >= 2 && y <= 3;
            EXPECT_EQ(rc.unchanged()[static_cast<std::size_t>(y * rc.mbWidth() + x)], inside ? 0 : 1) << x << "," << y;
            skipped += rc.unchanged()[static_cast<std::size_t>(y * rc.mbWidth() + x)];
        }
    }
    EXPECT_EQ(skipped, 120 * 68 - 4);

    // A window opened over the whole screen, again and again: coarser, never beyond about a
    // frame's worth once the cost per block is learned, and the pictures stay within the rate.
    const auto whole = changed({{0, 0, 1920, 1080}});
    double total = 0;
    for (int i = 1; i <= 30; ++i) {
        now += kFrameUs;
        const auto picture = step(rc, encoder, now, false, &whole);
        EXPECT_GT(picture.qp, 21);
        if (i > 3) {
            EXPECT_LE(static_cast<double>(picture.bytes), frameBytes * 1.3) << i;
        }
        total += static_cast<double>(picture.bytes);
    }
    EXPECT_LE(total, frameBytes * 31) << "half a second of changes within half a second of the rate";

    // A lower bit rate: the same change is made coarser at once.
    now += kFrameUs;
    const int before = step(rc, encoder, now, false, &whole).qp;
    rc.setBitrate(2'000'000);
    now += 10 * kFrameUs;
    EXPECT_GE(step(rc, encoder, now, false, &whole).qp, before + 10);
}

TEST(X264RateControl, AnOvershootHoldsBackTheNextChangesUntilTheBufferDrainsInRealTime) {
    X264RateControl rc(settings());
    ModelEncoder encoder;
    encoder.detailBits = 50;
    ASSERT_EQ(step(rc, encoder, 0, true, nullptr).qp, 21);
    std::uint64_t now = 10 * kFrameUs;
    const auto small = changed({{0, 0, 64, 64}});
    ASSERT_EQ(rc.plan(false, now, &small), 21);
    rc.record(5 * 8'000'000 / 8 / kFps); // five frames' worth where a few hundred bytes were due
    EXPECT_LT(rc.changeAllowance(now + kFrameUs), 0);
    EXPECT_EQ(rc.plan(false, now + kFrameUs, &small), X264RateControl::kMaxQp) << "the link still carries it";
    rc.record(100);
    EXPECT_EQ(rc.plan(false, now + 6 * kFrameUs, &small), 21) << "drained at the bit rate";
    rc.record(100);
}

TEST(X264RateControl, AKeyframeGetsAShareAndLendsTheRestToThePicturesThatSharpenIt) {
    X264RateControl rc(settings());
    ModelEncoder encoder;
    encoder.detailBits = 400; // a detailed screen: about 400 KB as one sharp IDR picture
    encoder.keyframeSlope = 11;
    const double frameBytes = 8'000'000.0 / 8 / kFps;
    const double shareBytes = 1920.0 * 1080 * X264RateControl::kKeyframeBitsPerPixel / 8;
    const double forcedBytes = 1920.0 * 1080 * X264RateControl::kForcedKeyframeBitsPerPixel / 8;
    // The first keyframe teaches the screen's detail; the forced one is planned from it, smaller
    // than the share a sharpening picture may take.
    step(rc, encoder, 0, true, nullptr);
    std::uint64_t now = 30 * kFrameUs;
    const auto keyframe = step(rc, encoder, now, true, nullptr);
    EXPECT_GT(keyframe.qp, 30);
    EXPECT_LE(static_cast<double>(keyframe.bytes), forcedBytes * 1.3) << "a forced keyframe lands with its neighbours";
    EXPECT_GE(static_cast<double>(keyframe.bytes), forcedBytes * 0.7) << "no coarser than its cap needs";

    // The screen stands still: the pictures after it sharpen it, none beyond the share, the
    // first ones on the keyframe's loan, then within the bit rate, until it is sharp.
    const auto still = changed({});
    int last = keyframe.qp;
    double loanWindow = static_cast<double>(keyframe.bytes);
    double afterLoan = 0;
    int frames = 0;
    while (last > 21 && frames < 240) {
        now += kFrameUs;
        ++frames;
        const auto picture = step(rc, encoder, now, false, &still);
        EXPECT_LE(picture.qp, last) << "a still screen only gets sharper";
        EXPECT_LE(static_cast<double>(picture.bytes), shareBytes * 1.1) << frames;
        (frames <= 6 ? loanWindow : afterLoan) += static_cast<double>(picture.bytes);
        last = picture.qp;
    }
    EXPECT_EQ(last, 21) << "sharp within 4 s";
    EXPECT_LE(frames, 120);
    EXPECT_LE(loanWindow, 0.4 * 8'000'000 / 8 * 1.15 + 6 * frameBytes) << "the keyframe's budget, over a few pictures";
    EXPECT_LE(afterLoan, (frames - 6 + 4) * frameBytes * 1.15) << "then within the bit rate";
    EXPECT_GT(frames, 1);
}

TEST(X264RateControl, KeyframesLearnHowTheirSizeFallsWithTheQuantizer) {
    for (const double slope : {6.0, 12.0}) {
        SCOPED_TRACE(slope);
        X264RateControl rc(settings());
        ModelEncoder encoder;
        encoder.detailBits = 200;
        encoder.keyframeSlope = slope;
        step(rc, encoder, 0, true, nullptr);
        std::uint64_t now = 60 * kFrameUs;
        step(rc, encoder, now, true, nullptr); // at a quantizer far from the first: the slope measured
        // A much slower link: the next keyframe's share is far smaller, many quantizer steps coarser.
        rc.setBitrate(3'000'000);
        now += 60 * kFrameUs;
        const double shareBytes = 0.25 * 0.4 * 3'000'000 / 8;
        const auto forced = step(rc, encoder, now, true, nullptr);
        EXPECT_LE(static_cast<double>(forced.bytes), shareBytes * 1.1);
        EXPECT_GE(static_cast<double>(forced.bytes), shareBytes * 0.8) << "no coarser than its share needs";
    }
}

TEST(X264RateControl, UnknownChangesCountEveryBlockAndAFailedEncodeForgetsWhatTheBlocksHold) {
    X264RateControl rc(settings());
    ModelEncoder encoder;
    step(rc, encoder, 0, true, nullptr);
    PictureChanges unknown;
    unknown.rects = {{0, 0, 16, 16}}; // not known: the rectangles mean nothing
    rc.plan(false, kFrameUs, &unknown);
    for (const auto block : rc.unchanged())
        ASSERT_EQ(block, 0);
    rc.record(100);
    rc.plan(false, 2 * kFrameUs, nullptr);
    rc.forget(); // the encode failed: x264's reference is no longer what was planned
    const auto none = changed({});
    rc.plan(false, 3 * kFrameUs, &none);
    for (const auto block : rc.unchanged())
        ASSERT_EQ(block, 0) << "no block is known to the device any more";
    rc.record(100);
    rc.plan(false, 4 * kFrameUs, &none);
    EXPECT_EQ(std::count(rc.unchanged().begin(), rc.unchanged().end(), 1), 120 * 68) << "until sent again";
    rc.record(100);
}
