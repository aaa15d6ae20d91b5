// Captured buffers into s16 stereo chunks, the system capture's run bookkeeping, the test tone and
// the audio sender.
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <numbers>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Audio/AudioConversion.hpp"
#include "KivHostCore/Audio/AudioForwarder.hpp"
#include "KivHostCore/Audio/AudioSender.hpp"
#include "KivHostCore/Audio/SyntheticAudioSource.hpp"
#include "KivHostCore/Audio/SystemAudioCapture.hpp"
#include "KivHostCore/Testing/FakeHostTransport.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "KivProtocol/RemoteText.hpp"
#include "KivProtocol/StreamFraming.hpp"

using namespace kiv;
using namespace std::chrono_literals;

namespace {

template <class T>
std::vector<std::uint8_t> bytesOf(std::initializer_list<T> values) {
    std::vector<std::uint8_t> out(values.size() * sizeof(T));
    std::memcpy(out.data(), std::data(values), out.size());
    return out;
}

std::vector<std::int16_t> samples(const AudioChunk& chunk) {
    std::vector<std::int16_t> out(chunk.pcm.size() / 2);
    std::memcpy(out.data(), chunk.pcm.data(), chunk.pcm.size());
    return out;
}

std::optional<AudioChunk> convert(const AudioBufferFormat& format,
                                  const std::vector<std::vector<std::uint8_t>>& buffers, std::int64_t frames) {
    std::vector<std::span<const std::uint8_t>> spans(buffers.begin(), buffers.end());
    return convertAudioBuffer(format, spans, frames, 777);
}

} // namespace

TEST(AudioConversion, MonoS16IsDuplicatedAndScaledAndFloatIsClamped) {
    const auto mono = convert({44'100.9, false, false, 1, 16}, {bytesOf<std::int16_t>({16384, -32768, 1, 32767})}, 4);
    ASSERT_TRUE(mono);
    EXPECT_EQ(mono->pcm.size(), 16u);
    EXPECT_EQ(mono->sampleRate, 44'100) << "truncated";
    EXPECT_EQ(mono->channels, 2);
    EXPECT_EQ(mono->captureTimeUs, 777u);
    // 16384/32768*32767 = 16383.5 → 16383; -1 → -32767; 1/32768*32767 → 0; 32767 → 32766.
    EXPECT_EQ(samples(*mono), (std::vector<std::int16_t>{16383, 16383, -32767, -32767, 0, 0, 32766, 32766}));

    const auto nan = std::numeric_limits<float>::quiet_NaN();
    const auto stereo =
        convert({48'000, true, false, 2, 32}, {bytesOf<float>({1.0F, -1.0F, -2.0F, 0.5F, nan, 7.0F})}, 3);
    ASSERT_TRUE(stereo);
    EXPECT_EQ(samples(*stereo), (std::vector<std::int16_t>{32767, -32767, -32767, 16383, 32767, 32767}));
}

TEST(AudioConversion, PlanarUsesTheFirstTwoBuffersAndMissingDataIsSilence) {
    std::vector<std::vector<std::uint8_t>> planes;
    for (int c = 0; c < 6; ++c)
        planes.push_back(bytesOf<float>({0.1F * static_cast<float>(c + 1), -0.1F * static_cast<float>(c + 1)}));
    const auto six = convert({48'000, true, true, 6, 32}, planes, 2);
    ASSERT_TRUE(six);
    EXPECT_EQ(samples(*six), (std::vector<std::int16_t>{3276, 6553, -3276, -6553}));

    // Interleaved 3 channels: the third is skipped; a short buffer ends in silence.
    const auto interleaved = convert({48'000, false, false, 3, 16}, {bytesOf<std::int16_t>({100, 200, 300, 400})}, 2);
    ASSERT_TRUE(interleaved);
    EXPECT_EQ(samples(*interleaved), (std::vector<std::int16_t>{99, 199, 399, 0}));
    const auto onePlane = convert({48'000, false, true, 2, 16}, {bytesOf<std::int16_t>({100, 200})}, 2);
    ASSERT_TRUE(onePlane);
    EXPECT_EQ(samples(*onePlane), (std::vector<std::int16_t>{99, 0, 199, 0})) << "the missing second plane is silence";
}

TEST(AudioConversion, UnsupportedOrNonsenseFormatsYieldNothing) {
    const std::vector<std::vector<std::uint8_t>> data{std::vector<std::uint8_t>(64)};
    EXPECT_FALSE(convert({48'000, false, false, 2, 24}, data, 4)) << "24-bit integer";
    EXPECT_FALSE(convert({48'000, true, false, 2, 64}, data, 4)) << "double";
    EXPECT_FALSE(convert({48'000, false, false, 0, 16}, data, 4)) << "no channel";
    EXPECT_FALSE(convert({48'000, false, false, 2, 16}, data, 0)) << "no frame";
    EXPECT_FALSE(convert({std::nan(""), false, false, 2, 16}, data, 4)) << "no rate";
    EXPECT_FALSE(convert({48'000, false, false, 2, 16}, data, kMaxAudioFrames + 1)) << "bounded allocation";
    EXPECT_EQ(describeAudioFormat({48'000, true, true, 2, 32}, 480),
              "48000Hz 2ch 32bit float planar → s16 interleaved, 480 frames/buffer");
    EXPECT_EQ(describeAudioFormat({44'100, false, false, 1, 16}, 441),
              "44100Hz 1ch 16bit → s16 interleaved, 441 frames/buffer");
}

TEST(AudioCaptureError, DescriptionsAreRemoteTexts) {
    EXPECT_EQ(AudioCaptureError::permissionDenied().description(), "audio.permission");
    EXPECT_EQ(AudioCaptureError::noDisplay().description(), "audio.noDisplay");
    EXPECT_EQ(AudioCaptureError::startFailed("boom").description(), "audio.startFailed|boom");
}

TEST(SyntheticAudioSource, TenMillisecondChunksOfAContinuousToneAndAFailingStart) {
    ManualExecutor queue("kiv.audio.synthetic");
    auto source = SyntheticAudioSource::create(queue, 440.0);
    std::vector<AudioChunk> chunks;
    source->onChunk = [&](AudioChunk chunk) { chunks.push_back(std::move(chunk)); };
    bool started = false;
    source->start([&](std::expected<void, AudioCaptureError> result) { started = result.has_value(); });
    queue.runUntilIdle();
    EXPECT_TRUE(started);
    ASSERT_EQ(chunks.size(), 1u) << "the first chunk at once";
    queue.advance(30ms);
    ASSERT_EQ(chunks.size(), 4u);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].pcm.size(), 1920u);
        EXPECT_EQ(chunks[i].sampleRate, 48'000);
        EXPECT_EQ(chunks[i].captureTimeUs - chunks[0].captureTimeUs, i * 10'000u);
    }
    // The tone continues across chunks: frame n of the stream is sin(n · 2π · 440 / 48000) · 1000.
    std::vector<std::int16_t> stream;
    for (const auto& chunk : chunks) {
        const auto s = samples(chunk);
        for (std::size_t f = 0; f < s.size() / 2; ++f) {
            ASSERT_EQ(s[2 * f], s[2 * f + 1]) << "both channels";
            stream.push_back(s[2 * f]);
        }
    }
    for (std::size_t n = 0; n < stream.size(); ++n) {
        const double expected =
            std::sin(std::fmod(static_cast<double>(n) * 2 * std::numbers::pi * 440 / 48'000, 2 * std::numbers::pi)) *
            1000.0;
        ASSERT_NEAR(stream[n], expected, 1.001) << "frame " << n; // truncation of a value a hair off an integer
    }
    source->stop();
    queue.advance(100ms);
    EXPECT_EQ(chunks.size(), 4u) << "nothing after stop";

    auto failing = SyntheticAudioSource::create(queue, 440.0, true);
    std::optional<AudioCaptureError> error;
    failing->start([&](std::expected<void, AudioCaptureError> result) {
        if (!result) error = result.error();
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, AudioCaptureError::startFailed("simulated failure"));
}

TEST(AudioSender, KeepsAt48KiBInFlightDropsWithASequenceGapAndCounts) {
    auto sender = AudioSender::create();
    AudioChunk chunk{std::vector<std::uint8_t>(1920, 7), 2, 48'000, 5};
    sender->send(chunk); // no link: nothing counted, but the format is noted
    EXPECT_EQ(sender->takeStats(1.0), (AudioSenderStats{0, 0, 0, 48'000, 2}));

    auto link = std::make_shared<FakeHostTransport>();
    sender->setTransport(link);
    // 1,942-byte items: 25 fit under 49,152 bytes of PCM-plus-items in flight, the 26th does not.
    for (int i = 0; i < 27; ++i)
        sender->send(chunk);
    ASSERT_EQ(link->audio.size(), 25u);
    EXPECT_EQ(link->audio[0].size(), 4u + 18u + 1920u);
    link->audioCompletions[0]();
    link->audioCompletions[1]();
    sender->send(chunk);
    ASSERT_EQ(link->audio.size(), 26u) << "room again once the link has processed items";

    std::vector<std::uint32_t> sequences;
    StreamFrameDecoder decoder;
    for (const auto& item : link->audio) {
        auto items = decoder.append(item);
        ASSERT_TRUE(items.has_value());
        ASSERT_EQ(items->size(), 1u);
        const auto& packet = std::get<StreamAudioPacket>(items->front().value);
        EXPECT_EQ(packet.pcm, chunk.pcm);
        EXPECT_EQ(packet.captureTimeUs, 5u);
        sequences.push_back(packet.sequence);
    }
    EXPECT_EQ(sequences.back(), 27u) << "the two dropped chunks used 25 and 26";
    EXPECT_EQ(sequences[24], 24u);

    const auto stats = sender->takeStats(0.5);
    EXPECT_EQ(stats.packets, 26);
    EXPECT_EQ(stats.dropped, 2);
    EXPECT_DOUBLE_EQ(stats.kbps, 26.0 * 1942 * 8 / 0.5 / 1000);
    EXPECT_EQ(sender->takeStats(std::nan("")), (AudioSenderStats{0, 0, 0, 48'000, 2})) << "reset, and no NaN rate";

    // A closed link takes nothing and hands back nothing.
    link->open = false;
    sender->send(chunk);
    EXPECT_EQ(link->audio.size(), 26u);
    EXPECT_EQ(sender->takeStats(1.0).packets, 0);

    // The next link starts with the whole budget, though the old one never completed its items;
    // the old link's late completions do not lend the new one room it does not have.
    auto next = std::make_shared<FakeHostTransport>(TransportKind::usb, "next");
    sender->setTransport(next);
    for (int i = 0; i < 26; ++i)
        sender->send(chunk);
    EXPECT_EQ(next->audio.size(), 25u);
    for (auto& completion : link->audioCompletions)
        completion();
    sender->send(chunk);
    EXPECT_EQ(next->audio.size(), 25u);

    // Every attach starts the count at 0: a new link, and the same one again (a resume).
    const auto firstSequence = [](const Bytes& item) {
        StreamFrameDecoder decoder;
        return std::get<StreamAudioPacket>(decoder.append(item)->front().value).sequence;
    };
    EXPECT_EQ(firstSequence(next->audio.front()), 0u);
    for (auto& completion : next->audioCompletions)
        completion();
    next->audioCompletions.clear();
    sender->setTransport(next);
    sender->send(chunk);
    EXPECT_EQ(firstSequence(next->audio.back()), 0u);
}

namespace {

// A recorder driven by hand: the test plays the platform's part.
class ManualRecorder final : public AudioRecorder {
public:
    void start(std::int64_t rate, std::int64_t channelCount, AudioRecorderHandlers h) override {
        ++starts;
        sampleRate = rate;
        channels = channelCount;
        handlers = std::move(h);
    }
    void stop() override { ++stops; }
    void deliver(const AudioBufferFormat& format, const std::vector<std::uint8_t>& bytes, std::int64_t frames) {
        const std::span<const std::uint8_t> buffers[1] = {bytes};
        handlers.buffer(format, buffers, frames, 1234);
    }
    AudioRecorderHandlers handlers;
    std::int64_t sampleRate = 0;
    std::int64_t channels = 0;
    int starts = 0;
    int stops = 0;
};

int logged(std::string_view prefix) {
    return test::countLogged(prefix, test::Match::startsWith);
}

} // namespace

TEST(SystemAudioCapture, ConvertsBuffersLogsTheFormatOncePerStartAndReportsStops) {
    KivLogStore::shared().clear();
    auto recorder = std::make_shared<ManualRecorder>();
    auto capture = SystemAudioCapture::create(recorder, 48'000, 2);
    std::vector<AudioChunk> chunks;
    std::vector<std::optional<std::string>> stops;
    capture->onChunk = [&](AudioChunk chunk) { chunks.push_back(std::move(chunk)); };
    capture->onStop = [&](std::optional<std::string> error) { stops.push_back(std::move(error)); };
    std::optional<std::expected<void, AudioCaptureError>> outcome;
    capture->start([&](std::expected<void, AudioCaptureError> result) { outcome = result; });
    EXPECT_EQ(recorder->sampleRate, 48'000);
    EXPECT_EQ(recorder->channels, 2);
    recorder->handlers.started(std::string("speakers.monitor"));
    ASSERT_TRUE(outcome && *outcome);
    EXPECT_EQ(logged("System audio capture started 48000Hz 2ch (source speakers.monitor)"), 1);

    const AudioBufferFormat s16{48'000, false, false, 2, 16};
    recorder->deliver(s16, bytesOf<std::int16_t>({100, -100, 200, -200}), 2);
    recorder->deliver(s16, bytesOf<std::int16_t>({1, 2}), 1);
    // 24-bit integers are not read: no chunk and no line.
    recorder->deliver({48'000, false, false, 2, 24}, std::vector<std::uint8_t>(12), 2);
    ASSERT_EQ(chunks.size(), 2U);
    EXPECT_EQ(samples(chunks[0]), (std::vector<std::int16_t>{99, -99, 199, -199}));
    EXPECT_EQ(chunks[0].captureTimeUs, 1234U);
    EXPECT_EQ(logged("System audio format: "), 1);
    EXPECT_EQ(logged("System audio format: 48000Hz 2ch 16bit → s16 interleaved, 2 frames/buffer"), 1);

    // The stream ends by itself: logged with its domain and code, reported once.
    recorder->handlers.stopped({"Connection terminated", "pulseaudio", 11});
    recorder->handlers.stopped({"Connection terminated", "pulseaudio", 11});
    EXPECT_EQ(stops, (std::vector<std::optional<std::string>>{"Connection terminated"}));
    EXPECT_EQ(logged("System audio stream stopped: Connection terminated [pulseaudio 11]"), 1);

    // A new start logs the format again; a report of the old run is ignored.
    auto old = recorder->handlers;
    capture->start({});
    recorder->handlers.started(std::string("KivDisplay.monitor"));
    old.buffer(s16, {}, 0, 0);
    const auto staleBytes = bytesOf<std::int16_t>({5, 5});
    const std::span<const std::uint8_t> stale[1] = {staleBytes};
    old.buffer(s16, stale, 1, 0);
    old.stopped({"late", "pulseaudio", 1});
    EXPECT_EQ(chunks.size(), 2U);
    EXPECT_EQ(stops.size(), 1U);
    recorder->deliver({44'100, true, false, 1, 32}, bytesOf<float>({0.5F}), 1);
    ASSERT_EQ(chunks.size(), 3U);
    EXPECT_EQ(chunks[2].sampleRate, 44'100);
    EXPECT_EQ(logged("System audio format: 44100Hz 1ch 32bit float → s16 interleaved, 1 frames/buffer"), 1);

    capture->stop();
    EXPECT_EQ(logged("System audio capture stopped"), 1);
    capture->stop(); // nothing was running: no second line
    EXPECT_EQ(logged("System audio capture stopped"), 1);
}

TEST(SystemAudioCapture, AFailedStartIsPassedOnUnlogged) {
    KivLogStore::shared().clear();
    auto recorder = std::make_shared<ManualRecorder>();
    auto capture = SystemAudioCapture::create(recorder);
    std::optional<std::expected<void, AudioCaptureError>> outcome;
    capture->start([&](std::expected<void, AudioCaptureError> result) { outcome = result; });
    recorder->handlers.started(std::unexpected(AudioCaptureError::permissionDenied()));
    ASSERT_TRUE(outcome);
    ASSERT_FALSE(*outcome);
    EXPECT_EQ(outcome->error().kind, AudioCaptureError::Kind::permissionDenied);
    recorder->handlers.stopped({"gone", "pulseaudio", 1}); // never started: nothing to report
    capture->stop();
    EXPECT_TRUE(KivLogStore::shared().entries(LogLevel::debug).empty());
}

namespace {

// The forwarder alone: the device hears a status only while a client wants sound here, it hears
// "streaming" once the source has started, and without a sound server it is told why.
TEST(AudioForwarder, WhatTheDeviceHearsFollowsTheRouteTheClientAndTheSource) {
    KivLogStore::shared().clear();
    ManualExecutor main;
    std::vector<std::optional<AudioStatus>> heard;
    auto forwarder = AudioForwarder::create(main, main, AudioSender::create(), nullptr, nullptr);
    forwarder->onStatus = [&](const std::optional<AudioStatus>& status) { heard.push_back(status); };

    forwarder->update({AudioRoute::host, true, true}, false);
    EXPECT_TRUE(heard.empty()) << "the host keeps its sound: nothing to say";

    forwarder->update({AudioRoute::device, true, true}, false); // no sound server
    main.runUntilIdle();
    ASSERT_FALSE(heard.empty());
    ASSERT_TRUE(heard.back().has_value());
    EXPECT_FALSE(heard.back()->streaming);
    EXPECT_EQ(heard.back()->note, RemoteText::make(RemoteText::audioStartFailed, {"no sound server"}));
    EXPECT_FALSE(forwarder->isCapturing());

    forwarder->testTone = AudioForwarder::TestTone{440, false};
    main.advance(1s); // the first retry
    ASSERT_TRUE(heard.back().has_value());
    EXPECT_TRUE(heard.back()->streaming);
    EXPECT_EQ(heard.back()->sampleRate, AudioForwarder::kRate);
    EXPECT_TRUE(forwarder->isCapturing());
    EXPECT_TRUE(test::logged("Sound → device started (route device)"));

    forwarder->update({AudioRoute::device, true, false}, false); // paused
    EXPECT_FALSE(forwarder->isCapturing());
    EXPECT_FALSE(heard.back()->streaming);
    const auto said = heard.size();
    forwarder->update({AudioRoute::device, true, false}, true);
    EXPECT_EQ(heard.size(), said + 1) << "forced: said again though nothing changed";

    forwarder->stop();
    forwarder->update({AudioRoute::device, true, true}, false);
    main.runUntilIdle();
    EXPECT_FALSE(forwarder->isCapturing()) << "a stopped forwarder never starts again";
    EXPECT_FALSE(forwarder->status().has_value());
}

} // namespace
