// The H.264 encoder with the real libx264: encoded, decoded back with libavcodec, and checked with
// ffprobe.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>

#include "KivHostCore/Linux/FfmpegEncoder.hpp"
#include "KivHostCore/Media/H264Encoder.hpp"
#include "KivHostCore/Media/StaticRefiner.hpp"
#include "KivHostCore/Media/SyntheticFrameSource.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/FakeHostTransport.hpp"
#include "KivHostCore/Testing/LumaPsnr.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Transport/VideoSender.hpp"
#include "KivProtocol/H264Bitstream.hpp"

using namespace kiv;
using namespace std::chrono_literals;

namespace {

Bytes toAnnexB(const Bytes& avcc) {
    Bytes out;
    const auto units = H264Bitstream::splitAVCC(avcc);
    if (!units) return out;
    for (const auto unit : *units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

// libavcodec's H.264 decoder fed one access unit at a time; returns the luma plane.
class Decoder {
public:
    Decoder() : context_(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264))) {
        context_->thread_count = 1;
        avcodec_open2(context_, avcodec_find_decoder(AV_CODEC_ID_H264), nullptr);
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    std::optional<std::vector<std::uint8_t>> decode(const Bytes& avcc) {
        auto annexB = toAnnexB(avcc);
        packet_->data = annexB.data();
        packet_->size = static_cast<int>(annexB.size());
        if (avcodec_send_packet(context_, packet_) < 0) return std::nullopt;
        if (avcodec_receive_frame(context_, frame_) < 0) return std::nullopt;
        std::vector<std::uint8_t> luma(static_cast<std::size_t>(frame_->width * frame_->height));
        for (int y = 0; y < frame_->height; ++y) {
            std::memcpy(luma.data() + y * frame_->width, frame_->data[0] + y * frame_->linesize[0],
                        static_cast<std::size_t>(frame_->width));
        }
        return luma;
    }

private:
    AVCodecContext* context_;
    AVPacket* packet_;
    AVFrame* frame_;
};

// The decoded luma is packed: its stride is the width.
double psnr(const std::vector<std::uint8_t>& decoded, const PixelBuffer& source) {
    if (decoded.size() != static_cast<std::size_t>(source.width()) * static_cast<std::size_t>(source.height()))
        return 0;
    return test::lumaPsnr(decoded.data(), source.width(), source.luma(), source.lumaStride(), source.width(),
                          source.height());
}

struct Run {
    std::vector<EncodedFrame> frames;
    std::vector<std::shared_ptr<PixelBuffer>> sources;
};

Run encodeSynthetic(const H264Encoder::Configuration& configuration, int count, int forceAt = -1) {
    SerialQueue queue("kiv.encoder");
    FfmpegEncoderFactory factory;
    auto encoder = H264Encoder::create(configuration, factory, queue, nullptr);
    EXPECT_TRUE(encoder.has_value());
    Run run;
    std::mutex mutex;
    (*encoder)->onEncoded = [&](EncodedFrame frame) {
        const std::lock_guard lock(mutex);
        run.frames.push_back(std::move(frame));
    };
    for (int i = 0; i < count; ++i) {
        auto buffer = std::make_shared<PixelBuffer>(configuration.width, configuration.height);
        SyntheticFrameSource::draw(*buffer, i);
        run.sources.push_back(buffer);
        if (i == forceAt) (*encoder)->forceKeyframeOnNextFrame();
        (*encoder)->encode(buffer, static_cast<std::uint64_t>(i) * 33'333);
        // One at a time: this test checks the bitstream, not admission.
        EXPECT_TRUE(test::waitUntil([&] { return (*encoder)->inFlight() == 0; }, 20s, 1ms));
    }
    (*encoder)->invalidate();
    return run;
}

} // namespace

TEST(H264EncoderX264, KeyframesCarryParameterSetsAndTheStreamDecodesFaithfully) {
    const H264Encoder::Configuration configuration{1920, 1080, 30, 8'000'000, 2.0, std::nullopt};
    const auto run = encodeSynthetic(configuration, 120, 45);
    ASSERT_EQ(run.frames.size(), 120u) << "one frame out for every frame in";
    Decoder decoder;
    double total = 0;
    for (std::size_t i = 0; i < run.frames.size(); ++i) {
        const auto& frame = run.frames[i];
        const auto units = H264Bitstream::splitAVCC(frame.data);
        ASSERT_TRUE(units.has_value()) << "frame " << i << " is well-formed AVCC";
        std::vector<int> types;
        for (const auto unit : *units)
            types.push_back(H264Bitstream::type(unit));
        if (frame.isKeyframe) {
            ASSERT_GE(types.size(), 3u);
            EXPECT_EQ(types[0], 7) << "SPS first";
            EXPECT_EQ(types[1], 8) << "then PPS";
            EXPECT_EQ(types[2], 5);
        } else {
            EXPECT_EQ(std::count(types.begin(), types.end(), 7), 0) << "no parameter sets outside keyframes";
        }
        const auto decoded = decoder.decode(frame.data);
        ASSERT_TRUE(decoded.has_value()) << "frame " << i << " decodes on arrival (no reordering)";
        total += psnr(*decoded, *run.sources[i]);
    }
    std::vector<std::size_t> keyframes;
    for (std::size_t i = 0; i < run.frames.size(); ++i) {
        if (run.frames[i].isKeyframe) keyframes.push_back(i);
    }
    // The first frame and the forced one; the periodic refresh is a sweep of intra blocks spread
    // over the interval, so no frame stands out in size (a keyframe here is 5-10 times the rest).
    EXPECT_EQ(keyframes, (std::vector<std::size_t>{0, 45}));
    // The forced keyframe's own budget is spent on it and the few frames that sharpen it. At 60
    // the synthetic picture's colour wraps round: a change all over with no list of what changed,
    // predicted from the small changes before it, which the next two frames pay back.
    std::vector<std::size_t> sizes;
    for (std::size_t i = 50; i < run.frames.size(); ++i)
        if (i < 60 || i > 62) sizes.push_back(run.frames[i].data.size());
    std::sort(sizes.begin(), sizes.end());
    EXPECT_LT(sizes.back(), 2 * sizes[sizes.size() / 2]) << "largest vs median frame after the forced keyframe";
    std::printf("frames after the forced keyframe: median %zu B, largest %zu B; the keyframe %zu B\n",
                sizes[sizes.size() / 2], sizes.back(), run.frames[45].data.size());
    EXPECT_GT(total / double(run.frames.size()), 35.0) << "mean Y-PSNR at 8 Mbit/s";

    // ffprobe's view of the stream: High profile, no B-frames.
    test::TempDir dir;
    const auto path = dir.path() / "stream.h264";
    {
        std::ofstream out(path, std::ios::binary);
        for (const auto& frame : run.frames) {
            const auto annexB = toAnnexB(frame.data);
            out.write(reinterpret_cast<const char*>(annexB.data()), static_cast<std::streamsize>(annexB.size()));
        }
    }
    if (!test::findProgram("ffprobe")) KIV_SKIP_OR_FAIL("ffprobe is not installed");
    const auto probe =
        test::runProgram({"ffprobe", "-v", "error", "-show_entries", "stream=profile,has_b_frames,width,height", "-of",
                          "default=noprint_wrappers=1", path.string()});
    ASSERT_EQ(probe.exitCode, 0) << probe.output;
    EXPECT_NE(probe.output.find("profile=High"), std::string::npos) << probe.output;
    EXPECT_NE(probe.output.find("has_b_frames=0"), std::string::npos) << probe.output;
    EXPECT_NE(probe.output.find("width=1920"), std::string::npos) << probe.output;
}

TEST(H264EncoderX264, StillImageModeIsEveryFrameAKeyframeAtHighQuality) {
    const H264Encoder::Configuration configuration{1280, 720, 30, 6'000'000, 2.0, 0.85};
    const auto run = encodeSynthetic(configuration, 4);
    ASSERT_EQ(run.frames.size(), 4u);
    for (std::size_t i = 0; i < run.frames.size(); ++i) {
        EXPECT_TRUE(run.frames[i].isKeyframe) << i;
        Decoder decoder; // each refinement stands alone
        const auto decoded = decoder.decode(run.frames[i].data);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_GT(psnr(*decoded, *run.sources[i]), 45.0) << "refinement frame " << i;
    }
    EXPECT_EQ(FfmpegEncoderFactory::crfFor(0.85), 8);
    EXPECT_EQ(FfmpegEncoderFactory::crfFor(0.0), 51);
    EXPECT_EQ(FfmpegEncoderFactory::crfFor(1.5), 0);
}

namespace {

// Sharp strokes (text) over a noisy gradient (a photo): what a bit-rate-limited stream blurs.
void drawDesktop(PixelBuffer& buffer, std::uint32_t seed) {
    std::mt19937 rng(seed);
    for (int y = 0; y < buffer.height(); ++y) {
        auto* row = buffer.luma() + y * buffer.lumaStride();
        for (int x = 0; x < buffer.width(); ++x) {
            const bool stroke = (x / 3 + y / 9) % 7 == 0 && y % 12 < 9;
            row[x] = stroke ? 20 : static_cast<std::uint8_t>(60 + (x + y) % 120 + rng() % 40);
        }
    }
    std::memset(buffer.chroma(), 128,
                static_cast<std::size_t>(buffer.chromaStride()) * static_cast<std::size_t>(buffer.height() / 2));
}

} // namespace

// A forced keyframe spends its own budget over a few pictures: the IDR picture a share of it,
// the pictures right after it (of the same screen) the rest, sharpening it. Then the still
// screen goes on sharpening in steps of at most a few frames' worth, within the bit rate. Without
// a budget the keyframe is squeezed into one frame's worth.
TEST(H264EncoderX264, AForcedKeyframeSpendsItsBudgetOverAFewPicturesThenSharpensWithinTheBitRate) {
    const int w = 1280, h = 720, fps = 30;
    const std::int64_t bitrate = 4'000'000;
    const double oneFrame = static_cast<double>(bitrate) / 8 / fps;
    constexpr int kForced = 5, kCount = 14;
    std::vector<std::vector<double>> psnrs; // per budget, of each picture from the forced one on
    for (const double budget : {0.0, FfmpegEncoderFactory::kKeyframeBudgetSeconds}) {
        SCOPED_TRACE(budget);
        FfmpegEncoderFactory factory("ultrafast", false, 1.0, budget);
        auto backend = factory.open({w, h, fps, bitrate, 10 * fps, std::nullopt});
        ASSERT_TRUE(backend.has_value()) << backend.error();
        Decoder decoder;
        PixelBuffer picture(w, h);
        auto& quality = psnrs.emplace_back();
        double spent = 0; // on the keyframe and the pictures that sharpen it
        double after = 0; // on the pictures after those
        for (int i = 0; i < kCount; ++i) {
            // A new picture all over until the forced keyframe; then the screen stands still,
            // and says so.
            if (i <= kForced) drawDesktop(picture, static_cast<std::uint32_t>(i));
            picture.changes = {};
            picture.changes.serial = 1000 + static_cast<std::uint64_t>(i);
            if (i > kForced) {
                picture.changes.known = true;
                picture.changes.since = picture.changes.serial - 1;
            }
            const auto packets =
                (*backend)->encode(picture, static_cast<std::uint64_t>(i) * 1'000'000 / fps, i == kForced);
            ASSERT_TRUE(packets && packets->size() == 1) << i;
            const auto& packet = packets->front();
            const auto decoded = decoder.decode(packet.data);
            ASSERT_TRUE(decoded.has_value()) << i;
            const auto size = static_cast<double>(packet.data.size());
            if (i < kForced) continue;
            EXPECT_EQ(packet.isKeyframe, i == kForced) << i;
            quality.push_back(psnr(*decoded, picture));
            if (i == kForced) {
                // A share of the budget (predicted from the first keyframe, at another quantizer);
                // squeezed, what the coarsest quantizer leaves.
                EXPECT_LE(size, std::max(oneFrame, 0.25 * budget * static_cast<double>(bitrate) / 8) * 1.5 +
                                    (budget == 0 ? 12'000 : 0));
            }
            if (i <= kForced + 4) {
                spent += size;
            } else {
                EXPECT_LE(size, oneFrame * 4 * 1.2) << "picture " << i << ": a sharpening step";
                after += size;
            }
        }
        EXPECT_LE(spent, std::max(budget * static_cast<double>(bitrate) / 8, oneFrame) * 1.2 + 5 * oneFrame);
        EXPECT_LE(after, (kCount - kForced - 5 + 4) * oneFrame * 1.2) << "within the bit rate";
        for (std::size_t k = 1; k < quality.size(); ++k)
            EXPECT_GE(quality[k], quality[k - 1] - 0.5) << "a still screen only gets sharper";
    }
    ASSERT_EQ(psnrs.size(), 2u);
    ASSERT_EQ(psnrs[1].size(), static_cast<std::size_t>(kCount - kForced));
    EXPECT_GT(psnrs[1][4], 27.0) << "sharp four pictures after the keyframe";
    EXPECT_GT(psnrs[1][4], psnrs[0][4] + 4.0) << "the budget bought sharpness (squeezed: " << psnrs[0][4] << " dB)";
    std::printf("forced keyframe and the pictures after it, Y-PSNR: squeezed %.1f -> %.1f dB, with its budget "
                "%.1f -> %.1f dB\n",
                psnrs[0][0], psnrs[0].back(), psnrs[1][0], psnrs[1].back());
}

// A desktop where a key is typed and a box moves: each picture says what changed, x264 passes
// over the rest, and every picture decodes as faithfully as it was drawn. A change left out of
// the list is not sent (which shows the blocks are passed over), until the list names it.
TEST(H264EncoderX264, PicturesSayingWhatChangedDecodeFaithfullyAndTheRestIsPassedOver) {
    const int w = 1280, h = 720, fps = 60;
    FfmpegEncoderFactory factory("ultrafast", false);
    auto backend = factory.open({w, h, fps, 20'000'000, 2 * fps, std::nullopt});
    ASSERT_TRUE(backend.has_value()) << backend.error();
    Decoder decoder;
    PixelBuffer picture(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            picture.luma()[y * w + x] = static_cast<std::uint8_t>(((x / 4 + y / 6) % 5 == 0) ? 40 : 200);
    std::memset(picture.chroma(), 128, static_cast<std::size_t>(w) * (h / 2));
    const auto fill = [&](PictureChanges::Rect r, std::uint8_t luma) {
        for (int y = r.top; y < r.bottom; ++y)
            std::memset(picture.luma() + y * w + r.left, luma, static_cast<std::size_t>(r.right - r.left));
    };
    std::uint64_t serial = 500;
    const auto encode = [&](std::vector<PictureChanges::Rect> rects, bool known = true) {
        picture.changes = {known, serial + 1, serial, std::move(rects)};
        ++serial;
        const auto packets = (*backend)->encode(picture, serial * 1'000'000 / fps, false);
        EXPECT_TRUE(packets && packets->size() == 1);
        return decoder.decode(packets->front().data);
    };
    auto decoded = encode({}, false);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_GT(psnr(*decoded, picture), 40.0) << "the first picture";
    for (int i = 0; i < 20; ++i) {
        const PictureChanges::Rect key{100 + 12 * i, 50, 110 + 12 * i, 66};
        const PictureChanges::Rect oldBox{200 + 8 * (i - 1), 400, 280 + 8 * (i - 1), 480};
        const PictureChanges::Rect box{200 + 8 * i, 400, 280 + 8 * i, 480};
        fill(key, 30);
        fill(oldBox, 200);
        fill(box, 90);
        decoded = encode({key, oldBox, box});
        ASSERT_TRUE(decoded.has_value()) << i;
        EXPECT_GT(psnr(*decoded, picture), 40.0) << "picture " << i;
    }
    // Drawn but not listed: the device does not get it, the rest still matches.
    const PictureChanges::Rect hidden{900, 600, 1000, 680};
    fill(hidden, 10);
    decoded = encode({});
    ASSERT_TRUE(decoded.has_value());
    EXPECT_LT(psnr(*decoded, picture), 35.0) << "the unlisted change was passed over";
    decoded = encode({hidden});
    ASSERT_TRUE(decoded.has_value());
    EXPECT_GT(psnr(*decoded, picture), 40.0) << "and sent once listed";
}

// Capture → main encoder → refiner → sender, decoded in the order the device gets it: after the
// first picture, after a one-frame change (which arrives as the keyframe the last refinement
// asked for) and after an ordinary change, the still screen ends at refinement quality.
TEST(StillScreenRefinement, EveryStillScreenEndsSharpWhateverFrameCarriedTheChange) {
    ManualExecutor queue;
    FfmpegEncoderFactory factory("ultrafast", false);
    const int width = 640, height = 360;
    auto encoder = *H264Encoder::create({width, height, 30, 400'000, 2.0, std::nullopt}, factory, queue, nullptr);
    auto refiner = StaticRefiner::create(width, height, {0.85, 0.4, 1.5, 16384}, queue, factory, queue);
    auto sender = VideoSender::create(queue, nullptr);
    auto link = std::make_shared<FakeHostTransport>();
    sender->setTransport(link);
    sender->updateBitrate(400'000);
    encoder->onEncoded = [&](EncodedFrame frame) {
        refiner->noteMainFrameEncoded(static_cast<std::int64_t>(frame.data.size()), frame.isKeyframe);
        sender->send(std::move(frame));
    };
    refiner->onRefined = [&](EncodedFrame frame) { sender->sendRefinement(std::move(frame)); };
    refiner->onNeedMainKeyframe = [&] { encoder->forceKeyframeOnNextFrame(); };
    encoder->requestKeyframe();

    Decoder device;
    std::size_t shown = 0;
    std::optional<std::vector<std::uint8_t>> picture;
    const auto deliver = [&] { // the link takes everything at once; the device decodes in order
        queue.runUntilIdle();
        while (!link->completions.empty())
            link->completeOldest();
        queue.runUntilIdle();
        for (; shown < link->frames.size(); ++shown)
            if (auto decoded = device.decode(link->frames[shown].data)) picture = std::move(decoded);
    };
    auto capture = [&](std::uint32_t seed, std::optional<std::pair<int, int>> changeAt) {
        auto buffer = std::make_shared<PixelBuffer>(width, height);
        drawDesktop(*buffer, seed);
        if (changeAt) { // a small change on an otherwise identical picture
            drawDesktop(*buffer, 1);
            for (int y = changeAt->second; y < changeAt->second + 24; ++y)
                std::memset(buffer->luma() + y * buffer->lumaStride() + changeAt->first, 235, 80);
        }
        refiner->noteCaptured(buffer);
        encoder->encode(buffer, static_cast<std::uint64_t>(queue.now().count()));
        deliver();
        return buffer;
    };
    const auto settle = [&] {
        for (int i = 0; i < 30; ++i) { // 3 s of stillness, in steps
            queue.advance(100ms);
            deliver();
        }
    };

    const auto first = capture(1, std::nullopt);
    ASSERT_TRUE(picture);
    const double soft = psnr(*picture, *first);
    settle();
    EXPECT_GT(psnr(*picture, *first), 42.0) << "first picture refined (main stream alone: " << soft << " dB)";
    EXPECT_GT(psnr(*picture, *first), soft + 5.0);

    // The next change is the keyframe the refinement asked for; it must be refined too.
    const auto changed = capture(0, std::pair{100, 100});
    EXPECT_TRUE(link->frames.back().isKeyframe);
    settle();
    EXPECT_GT(psnr(*picture, *changed), 42.0) << "a change carried by the forced keyframe ends sharp";

    // A change after that keyframe goes as a P-frame at the main quality, then is refined again.
    const auto again = capture(0, std::pair{300, 200});
    settle();
    EXPECT_GT(psnr(*picture, *again), 42.0);

    // The device asks for a keyframe on a still screen (loss): the main encoder re-sends the
    // picture soft two frame times later, and the refiner makes it sharp again.
    encoder->requestKeyframe();
    settle();
    EXPECT_GT(psnr(*picture, *again), 42.0) << "a re-sent keyframe does not leave the screen soft";
    refiner->invalidate();
    encoder->invalidate();
}

// A keyframe re-sent on a still screen (a device that lost the stream; refinement off) gets only
// a share of its budget: the encoder sends the same picture again a few times, unchanged, and
// those passes spend the rest sharpening it. They stop when they are done or a new picture comes.
TEST(H264EncoderX264, AKeyframeOnAStillScreenIsSharpenedByPassesOfTheSamePicture) {
    ManualExecutor queue;
    FfmpegEncoderFactory factory("ultrafast", false);
    const int w = 1280, h = 720, fps = 60;
    auto encoder = *H264Encoder::create({w, h, fps, 4'000'000, 2.0, std::nullopt}, factory, queue, nullptr);
    std::vector<EncodedFrame> sent;
    encoder->onEncoded = [&](EncodedFrame frame) { sent.push_back(std::move(frame)); };
    Decoder device;
    std::optional<std::vector<std::uint8_t>> shown;
    std::size_t decoded = 0;
    const auto run = [&](std::chrono::milliseconds time) {
        for (auto left = time; left.count() > 0; left -= 5ms) {
            queue.advance(5ms);
            queue.runUntilIdle();
        }
        for (; decoded < sent.size(); ++decoded)
            if (auto picture = device.decode(sent[decoded].data)) shown = std::move(picture);
    };
    auto still = std::make_shared<PixelBuffer>(w, h);
    drawDesktop(*still, 3);
    still->changes.serial = PictureChanges::nextSerial();
    encoder->encode(still, static_cast<std::uint64_t>(queue.now().count()));
    run(2000ms);
    const std::size_t settled = sent.size();

    encoder->requestKeyframe();
    run(40ms); // two frame times, then the re-sent keyframe
    ASSERT_GT(sent.size(), settled);
    ASSERT_TRUE(sent[settled].isKeyframe);
    Decoder fresh; // what a device that lost the stream sees: the keyframe alone
    const auto keyframe = fresh.decode(sent[settled].data);
    ASSERT_TRUE(keyframe && shown);
    const double soft = psnr(*keyframe, *still);
    run(500ms);
    const auto passes = sent.size() - settled - 1;
    EXPECT_GE(passes, 4u);
    EXPECT_LE(passes, static_cast<std::size_t>(fps / 10)) << "a few frame times, then nothing on a still screen";
    double spent = 0;
    for (auto i = settled; i < sent.size(); ++i)
        spent += static_cast<double>(sent[i].data.size());
    const double frameBytes = 4'000'000.0 / 8 / fps;
    EXPECT_LE(spent, 0.4 * 4'000'000 / 8 * 1.15 + static_cast<double>(passes) * frameBytes)
        << "the keyframe's budget, and the link's rate meanwhile";
    EXPECT_GT(psnr(*shown, *still), soft + 3.0) << "sharper than the keyframe alone (" << soft << " dB)";
    std::printf("a keyframe on a still screen: %.1f dB alone, %.1f dB after %zu passes, %.0f KB in all\n", soft,
                psnr(*shown, *still), passes, spent / 1000);

    // A new picture during the passes ends them: it and those after it carry the sharpening.
    encoder->requestKeyframe();
    run(40ms);
    const std::size_t before = sent.size();
    auto next = std::make_shared<PixelBuffer>(*still);
    next->changes = {true, PictureChanges::nextSerial(), still->changes.serial, {{0, 0, 64, 64}}};
    encoder->encode(next, static_cast<std::uint64_t>(queue.now().count()));
    run(500ms);
    EXPECT_EQ(sent.size(), before + 1);
    encoder->invalidate();
    queue.runUntilIdle();
}
