#pragma once
// Picks each picture's quantizer for libx264 run at a constant quantizer: its own rate control
// (CRF and ABR cost a whole-picture look-ahead on every picture, most of the encode of a mostly
// still desktop). A picture gets the stream's quality unless what it must carry does not fit.
// What it carries is the macroblocks that changed (and the refresh column), and the sharpening
// of blocks last sent coarser than its quantizer. Sizes are predicted from what recent pictures
// cost per block. Two buffers drain at the bit rate in real time:
// - changes get one frame's worth, so that a change is never held up behind a large picture;
// - sharpening may also use what went unspent over a few frames (it comes in whole quantizer
//   steps over the picture, and one step of a detailed screen costs more than a frame).
// A keyframe has a budget of its own, spent in two parts so that no single picture is large
// (a large picture takes long to encode, send and decode, and the change it carries shows that
// much later): the IDR picture gets a share, the pictures right after it the rest.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "KivHostCore/Platform/PixelBuffer.hpp"

namespace kiv {

class X264RateControl {
public:
    struct Settings {
        int width = 0;
        int height = 0;
        int fps = 30;
        std::int64_t bitrate = 8'000'000;
        double vbvFrames = 1.0;             // the changes' buffer, in frames' worth of the bit rate
        double sharpenFrames = 4.0;         // the sharpening's buffer (at least a keyframe's share)
        double keyframeBudgetSeconds = 0.4; // what a keyframe and its sharpening may take (0: one buffer)
        double keyframeShare = 0.25;        // of that, the most one picture gets (and at most kKeyframeBitsPerPixel)
        int keyframeIntervalFrames = 60;    // the refresh column sweeps the picture in this many
        int streamQp = 21;                  // the quality pictures get when they fit
    };
    static constexpr int kMaxQp = 51;
    // Bits a macroblock of detailed content costs at the stream's quantizer: the prediction
    // before anything was measured, and (capped by the screen's own detail) the least it assumes
    // per changed block, so that a large change after a run of flat ones does not overshoot.
    static constexpr double kIntraBitsPerBlock = 160;
    static constexpr double kInterBitsPerBlock = 160;
    // A picture's encode, sending and decoding grow with its size; beyond about this many bits
    // per pixel an IDR picture lands noticeably later than the pictures around it.
    static constexpr double kKeyframeBitsPerPixel = 0.4;
    // A keyframe forced into a running stream (a loss, a new link) carries a change someone waits
    // for: it gets at most this, and the pictures after it sharpen it on its loan. Measured on 2
    // cores, the device decoding beside the host's encoder, the flips such keyframes carried came
    // about 25 ms after the paint at 2732x2048 with 0.4, about 18 with this; the still screen is
    // as sharp as soon.
    static constexpr double kForcedKeyframeBitsPerPixel = 0.2;
    // How many quantizer steps halve an IDR picture: about 11 for a desktop of text and edges
    // (they keep costing once fine texture is gone), about 6 for a photograph or noise. What is
    // assumed until two keyframes at different quantizers measure it.
    static constexpr double kKeyframeSlope = 11;

    explicit X264RateControl(const Settings& settings);

    void setBitrate(std::int64_t bitrate);
    // Plans the next picture, captured at `nowUs`: `changes` says what changed since the last
    // one encoded (nullptr or not known: anything may have). Returns its quantizer.
    int plan(bool keyframe, std::uint64_t nowUs, const PictureChanges* changes);
    // Per macroblock of the planned picture, 1 where nothing changed (what x264 may skip).
    const std::vector<std::uint8_t>& unchanged() const { return unchanged_; }
    // What the planned picture cost.
    void record(std::size_t bytes);
    // The encoder lost track of its reference (a failed encode): no block is known any more.
    void forget();

    int mbWidth() const { return mbWidth_; }
    int mbHeight() const { return mbHeight_; }
    // The bits a change may take now, of its own buffer and of the keyframe's loan.
    double changeAllowance(std::uint64_t nowUs) const;

private:
    struct Prediction {
        double changed = 0; // bits of the blocks that changed (and the refresh column)
        double detail = 0;  // of sharpening the rest, or of the whole keyframe
        double total() const { return changed + detail; }
    };
    struct Bucket {
        double bits = 0;
        std::uint64_t atUs = 0;
        double at(std::uint64_t nowUs, std::int64_t bitrate) const;
    };
    double frameBits() const;
    double keyframeBudget() const;
    double keyframeShare() const; // the most one picture gets of it
    double sharpenCapacity() const;
    double scale(int qp) const; // the bits at qp relative to the stream's quantizer
    double keyframeBitsPerBlock(int qp) const;
    Prediction predict(int qp) const;
    double loanNow(std::uint64_t nowUs) const;

    Settings settings_;
    int mbWidth_;
    int mbHeight_;
    std::vector<std::uint8_t> codedQp_;     // per block: the quantizer it was last sent at (0: never)
    std::vector<std::uint8_t> unchanged_;   // of the planned picture
    std::array<int, kMaxQp + 2> coarser_{}; // unchanged blocks of the planned picture by codedQp
    int changedBlocks_ = 0;
    bool changesKnown_ = false;
    Bucket changes_;      // of what changes took
    Bucket sharpen_;      // of what every picture took
    double loanBits_ = 0; // what the last keyframe left of its budget
    std::uint64_t loanUntilUs_ = 0;
    double intraBits_ = kIntraBitsPerBlock; // per block at the stream's quantizer, learned
    double interBits_ = kInterBitsPerBlock;
    double sharpenBits_ = kIntraBitsPerBlock; // per block sharpened by a whole step, learned
    int keyframeQp_ = 0;                      // of the last keyframe (0: none yet)
    double keyframeBits_ = 0;                 // per block, that keyframe's
    double keyframeSlope_ = kKeyframeSlope;   // quantizer steps per halving of a keyframe
    bool planned_ = false;
    bool plannedKeyframe_ = false;
    int plannedQp_ = 0;
    std::uint64_t plannedAtUs_ = 0;
    double plannedLoan_ = 0;
    Prediction plannedBits_;
};

} // namespace kiv
