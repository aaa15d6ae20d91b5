// The receiver's frame decoder with a real libavcodec decoder and a test clock: how often it asks
// for keyframes and says why, and what its recording holds.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

#include "FrameDecoder.hpp"

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
