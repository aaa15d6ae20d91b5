// The receiver's frame decoder with a real libavcodec decoder and a test clock: how often it asks
// for keyframes and says why, and what its recording holds.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

#include "FrameDecoder.hpp"
#include "KivProtocol/H264Bitstream.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace {

using namespace kiv;
using namespace kiv::receiver;
using namespace std::chrono_literals;

struct Decoding {
    std::chrono::steady_clock::time_point now{};
    std::vector<ControlMessage> sent;
    std::vector<std::string> said;
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kiv-frame-decoder-" + std::to_string(::getpid()) + "-" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::unique_ptr<FrameDecoder> decoder;

    Decoding() {
        std::filesystem::create_directories(folder);
        decoder = std::make_unique<FrameDecoder>(
            FrameDecoder::Options{{false, std::nullopt}, folder / "stream.h264", folder / "frames.log"},
            [this](const ControlMessage& m) { sent.push_back(m); }, [this](const std::string& l) { said.push_back(l); },
            [this] { return now; });
    }
    ~Decoding() { std::filesystem::remove_all(folder); }

    std::vector<IDRReason> requests() const {
        std::vector<IDRReason> reasons;
        for (const auto& m : sent)
            if (const auto* r = m.get<RequestIDR>()) reasons.push_back(r->reason);
        return reasons;
    }
};

// Two NAL units behind 4-byte lengths that no decoder can make a picture of.
Bytes garbage() {
    return {0, 0, 0, 3, 0x65, 0xFF, 0xFF, 0, 0, 0, 2, 0x41, 0x9A};
}

TEST(FrameDecoder, UndecodableFramesAskForAKeyframeTwiceASecondAndSayWhyEveryFiveSeconds) {
    Decoding d;
    for (std::uint32_t id = 1; id <= 40; ++id) { // 4 s at 10 fps
        const auto out = d.decoder->decode({id, id == 1, 0, garbage(), 0, 0});
        EXPECT_FALSE(out.picture);
        d.now += 100ms;
    }
    EXPECT_EQ(d.requests().size(), 8u) << "every 500 ms, not every frame";
    EXPECT_EQ(d.requests().front(), IDRReason::decodeError);
    EXPECT_EQ(d.said.size(), 1u);

    d.now += 2s;
    d.decoder->decode({41, false, 0, garbage(), 3, 0});
    EXPECT_EQ(d.requests().back(), IDRReason::packetLoss);
    ASSERT_EQ(d.said.size(), 2u) << "5 s after the last notice";
    EXPECT_EQ(d.said.back(), "3 frame(s) lost before frame 41; asked for a keyframe");
}

TEST(FrameDecoder, ALossWhileWaitingForAKeyframeAsksAgainSoonerForItMayHaveBeenTheKeyframe) {
    Decoding d;
    d.decoder->decode({1, false, 0, garbage(), 2, 0});
    ASSERT_EQ(d.requests().size(), 1u);
    d.now += 60ms;
    d.decoder->decode({3, false, 0, garbage(), 1, 0});
    EXPECT_EQ(d.requests().size(), 1u) << "not more than ten a second";
    d.now += 60ms;
    d.decoder->decode({4, false, 0, garbage(), 0, 0});
    EXPECT_EQ(d.requests().size(), 1u) << "without a new loss, the plain repeat";
    d.decoder->decode({6, false, 0, garbage(), 1, 0});
    ASSERT_EQ(d.requests().size(), 2u) << "120 ms after the last request, lost again";
    EXPECT_EQ(d.requests().back(), IDRReason::packetLoss);
}

// 64x64 pictures of one luma each from libx264 (a keyframe, then predicted ones), length-prefixed
// as the host sends them.
std::vector<Bytes> encoded(const std::vector<int>& lumas) {
    std::vector<Bytes> frames;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) return frames;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->width = 64;
    c->height = 64;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = {1, 30};
    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    frame->format = c->pix_fmt;
    frame->width = 64;
    frame->height = 64;
    if (avcodec_open2(c, codec, nullptr) == 0 && av_frame_get_buffer(frame, 0) == 0) {
        for (std::size_t i = 0; i < lumas.size(); ++i) {
            av_frame_make_writable(frame);
            std::memset(frame->data[0], lumas[i], static_cast<std::size_t>(frame->linesize[0]) * 64);
            for (int plane = 1; plane < 3; ++plane)
                std::memset(frame->data[plane], 128, static_cast<std::size_t>(frame->linesize[plane]) * 32);
            frame->pts = static_cast<std::int64_t>(i);
            avcodec_send_frame(c, frame);
            if (avcodec_receive_packet(c, packet) == 0) {
                frames.push_back(
                    H264Bitstream::annexBToAVCC(ByteView(packet->data, static_cast<std::size_t>(packet->size)))
                        .value_or(Bytes{}));
                av_packet_unref(packet);
            }
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    return frames;
}

Bytes keyframe() {
    const auto frames = encoded({128});
    return frames.empty() ? Bytes{} : frames.front();
}

// Pictures are the decoder's own planes: one still held (being shown) must not change as the
// decoder goes on to the next ones, which are predicted from it.
TEST(VideoDecoder, APictureHandedOutKeepsItsPixelsWhileLaterOnesDecode) {
    std::vector<int> lumas; // more than the decoder keeps for reference, so its buffers come round again
    for (int i = 0; i < 24; ++i)
        lumas.push_back(40 + (i * 67) % 180);
    const auto frames = encoded(lumas);
    ASSERT_EQ(frames.size(), lumas.size());
    VideoDecoder decoder({false, std::nullopt});
    std::vector<DecodedPicture> held;
    for (const auto& frame : frames) {
        auto picture = decoder.decode(frame);
        ASSERT_TRUE(picture);
        ASSERT_TRUE(picture->chromaU && picture->chromaV);
        held.push_back(std::move(*picture));
    }
    for (std::size_t i = 0; i < held.size(); ++i)
        EXPECT_NEAR(held[i].meanLuma(0, 0, 64, 64), lumas[i], 3) << "picture " << i;
    EXPECT_NEAR(held[1].meanLuma(-10, 60, 100, 100), lumas[1], 3) << "clipped to the picture";
}

// A screen that goes still sends nothing more, so a decoder left waiting for a keyframe (its
// first one lost, or a frame lost just before the stillness) must ask again on its own.
TEST(FrameDecoder, WaitingForAKeyframeWithNothingArrivingItAsksAgainOnItsOwn) {
    Decoding d;
    d.decoder->linkConnected(64, 64);
    d.decoder->remind();
    EXPECT_TRUE(d.requests().empty()) << "the host sends the first keyframe unasked";
    d.now += 600ms;
    d.decoder->remind();
    ASSERT_EQ(d.requests(), std::vector{IDRReason::awaitingKeyframe}) << "it never came";

    const auto key = keyframe();
    ASSERT_FALSE(key.empty());
    ASSERT_TRUE(d.decoder->decode({1, true, 0, key, 0, 0}).picture);
    d.now += 2s;
    d.decoder->remind();
    EXPECT_EQ(d.requests().size(), 1u) << "a decoder showing the stream asks for nothing";

    d.decoder->decode({3, false, 0, garbage(), 1, 0}); // a loss; then the screen stands still
    ASSERT_EQ(d.requests().size(), 2u);
    for (int i = 0; i < 10; ++i) { // 1.25 s of reminders four times a second
        d.now += 125ms;
        d.decoder->remind();
    }
    EXPECT_EQ(d.requests().size(), 4u) << "every 500 ms while nothing arrives";
    EXPECT_EQ(d.requests().back(), IDRReason::awaitingKeyframe);

    // The last frame before the screen went still arrived in part, and the link gave it up: no
    // later frame will show the loss, so the decoder asks at once and says why.
    ASSERT_TRUE(d.decoder->decode({4, true, 0, key, 0, 0}).picture);
    d.now += 5s;
    d.decoder->lostStalledFrame();
    ASSERT_EQ(d.requests().size(), 5u);
    EXPECT_EQ(d.requests().back(), IDRReason::packetLoss);
    EXPECT_NE(d.said.back().find("went still"), std::string::npos) << d.said.back();
    d.now += 600ms;
    d.decoder->remind();
    EXPECT_EQ(d.requests().size(), 6u) << "and keeps asking until the keyframe comes";
}

TEST(FrameDecoder, TheRecordingIsAnnexBAndTheFrameLogHasALinePerFrame) {
    Decoding d;
    d.decoder->decode({7, true, 1234, garbage(), 0, 5678});
    d.decoder->decode({8, false, 1300, Bytes{0, 0, 0, 9}, 0, 5700}); // a length past the end: not recorded
    d.decoder.reset();
    std::ifstream in(d.folder / "stream.h264", std::ios::binary);
    const Bytes recorded{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(recorded, (Bytes{0, 0, 0, 1, 0x65, 0xFF, 0xFF, 0, 0, 0, 1, 0x41, 0x9A}));
    std::ifstream log(d.folder / "frames.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "7 1 13 1234 5678 0");
}

} // namespace
