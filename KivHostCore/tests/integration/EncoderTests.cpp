// The H.264 encoder with the real libx264: encoded, decoded back with libavcodec, and checked with
// ffprobe.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cmath>
#include <cstring>
#include <fstream>

#include "KivHostCore/Linux/FfmpegEncoder.hpp"
#include "KivHostCore/Media/H264Encoder.hpp"
#include "KivHostCore/Media/SyntheticFrameSource.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
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
            std::memcpy(luma.data() + y * frame_->width, frame_->data[0] + y * frame_->linesize[0], static_cast<std::size_t>(frame_->width));
        }
        return luma;
    }

private:
    AVCodecContext* context_;
    AVPacket* packet_;
    AVFrame* frame_;
};

double psnr(const std::vector<std::uint8_t>& decoded, const PixelBuffer& source) {
    double squared = 0;
    const auto* original = source.luma();
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        const double d = double(decoded[i]) - double(original[i]);
        squared += d * d;
    }
    const double mse = squared / double(decoded.size());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
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
        for (const auto unit : *units) types.push_back(H264Bitstream::type(unit));
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
    // The first frame, the forced one, and then 2 s (60 frames) later: a forced IDR restarts the interval.
    EXPECT_EQ(keyframes, (std::vector<std::size_t>{0, 45, 105}));
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
    if (!test::findProgram("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
    const auto probe = test::runProgram({"ffprobe", "-v", "error", "-show_entries", "stream=profile,has_b_frames,width,height",
                                         "-of", "default=noprint_wrappers=1", path.string()});
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
