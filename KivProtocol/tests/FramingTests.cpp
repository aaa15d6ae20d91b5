// Control frames and stream items: the byte layouts and the incremental decoders.
#include <gtest/gtest.h>

#include "KivProtocol/ControlFraming.hpp"
#include "KivProtocol/StreamFraming.hpp"

using namespace kiv;

namespace {

Bytes frameOf(const ControlMessage& message) {
    return *ControlFraming::encode(message);
}

Bytes rawFrame(std::uint32_t length, std::string_view payload) {
    Bytes out;
    appendU32(out, length);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A disconnect whose JSON payload is exactly `size` bytes.
ControlMessage disconnectOfPayloadSize(std::size_t size) {
    const std::size_t overhead = std::string(R"({"disconnect":{"reason":""}})").size();
    return ControlMessage{Disconnect{std::string(size - overhead, 'x')}};
}

} // namespace

TEST(ControlFraming, LengthPrefixAndSizeLimitOnSending) {
    const auto frame = frameOf(disconnectOfPayloadSize(300));
    ASSERT_EQ(frame.size(), 304u);
    EXPECT_EQ((Bytes{frame[0], frame[1], frame[2], frame[3]}), (Bytes{0x00, 0x00, 0x01, 0x2C}));

    EXPECT_TRUE(ControlFraming::encode(disconnectOfPayloadSize(262144)).has_value());
    const auto tooBig = ControlFraming::encode(disconnectOfPayloadSize(262145));
    ASSERT_FALSE(tooBig.has_value());
    EXPECT_EQ(std::get<ControlFramingError>(tooBig.error()), ControlFramingError::messageTooLarge(262145));
    EXPECT_EQ(describe(tooBig.error()), "messageTooLarge(262145)");

    ClientStats stats;
    stats.rttMs = std::nan("");
    const auto nonFinite = ControlFraming::encode({stats});
    ASSERT_FALSE(nonFinite.has_value());
    EXPECT_TRUE(std::holds_alternative<ControlMessageError>(nonFinite.error())) << "the JSON encoder's own error";
}

TEST(ControlFrameDecoder, ReassemblesFramesFromAnyChunking) {
    const auto ping = frameOf({PingInfo{42}});
    ControlFrameDecoder byteWise;
    for (std::size_t i = 0; i + 1 < ping.size(); ++i) {
        auto got = byteWise.append(ByteView(&ping[i], 1));
        ASSERT_TRUE(got && got->empty()) << "byte " << i;
    }
    auto last = byteWise.append(ByteView(&ping.back(), 1));
    ASSERT_TRUE(last);
    EXPECT_EQ(*last, (std::vector<ControlMessage>{{PingInfo{42}}}));

    const auto third = frameOf({Resume{}});
    const auto stream = concat({frameOf({Pause{}}), frameOf({PingInfo{7}}), third});
    ControlFrameDecoder decoder;
    auto first = decoder.append(ByteView(stream).first(stream.size() - third.size() + 3));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 2u);
    EXPECT_EQ(decoder.bufferedBytes(), 3u);
    auto rest = decoder.append(ByteView(third).subspan(3));
    ASSERT_TRUE(rest);
    EXPECT_EQ(*rest, (std::vector<ControlMessage>{{Resume{}}}));
    EXPECT_TRUE(decoder.append({}).value().empty());
}

TEST(ControlFrameDecoder, SizeLimitAndMalformedPayloads) {
    ControlFrameDecoder exact;
    auto maxSize = exact.append(frameOf(disconnectOfPayloadSize(262144)));
    ASSERT_TRUE(maxSize);
    EXPECT_EQ(maxSize->size(), 1u);

    ControlFrameDecoder tooLarge;
    Bytes header;
    appendU32(header, 262145);
    EXPECT_EQ(tooLarge.append(header).error(), ControlFramingError::messageTooLarge(262145))
        << "fails before the payload";
    EXPECT_EQ(tooLarge.append(frameOf({Pause{}})).error(), ControlFramingError::messageTooLarge(262145)) << "sticky";

    ControlFrameDecoder malformed;
    EXPECT_EQ(malformed.append(rawFrame(0, "")).error(), ControlFramingError::malformed());
    EXPECT_EQ(malformed.bufferedBytes(), 0u) << "the bad frame is consumed";
    EXPECT_EQ(malformed.append(concat({frameOf({Pause{}}), rawFrame(5, "nope!")})).error(),
              ControlFramingError::malformed())
        << "messages before the failure in the same call are not returned";
    EXPECT_EQ(malformed.append(frameOf({Resume{}})).value(), (std::vector<ControlMessage>{{Resume{}}}));
    EXPECT_EQ(ControlFramingError::malformed().text(), "malformed");
}

TEST(StreamFraming, ItemHeadersAndAudioFigures) {
    const auto control = frameOf({Pause{}});
    EXPECT_LT(control[0], 0x40);
    const Bytes tenBytes(10, 0xAB);
    const auto video = StreamFraming::encodeVideo(9, true, 123, tenBytes).value();
    EXPECT_EQ((Bytes{video[0], video[1], video[2], video[3]}), (Bytes{0x80, 0x00, 0x00, 0x17}));
    EXPECT_EQ(video.size(), 27u);

    StreamAudioPacket audio;
    audio.pcm.assign(1920, 0);
    EXPECT_EQ(audio.frameCount(), 480);
    EXPECT_DOUBLE_EQ(audio.durationMs(), 10.0);
    audio.channels = 0;
    EXPECT_EQ(audio.frameCount(), 0);
    audio.channels = 2;
    audio.sampleRate = 0;
    EXPECT_DOUBLE_EQ(audio.durationMs(), 0.0);
    const auto encoded = StreamFraming::encodeAudio(StreamAudioPacket{}).value();
    EXPECT_EQ(encoded[0], 0x40);
    EXPECT_EQ(encoded.size(), 22u);
}

TEST(StreamFrameDecoder, MixedItemsRoundTripThroughArbitraryChunks) {
    StreamAudioPacket audio{StreamAudioPacket::pcmS16LE, 2, 48000, 77, 5'000'000, Bytes(1920, 0x11)};
    Bytes frameData(100'000);
    for (std::size_t i = 0; i < frameData.size(); ++i)
        frameData[i] = static_cast<std::uint8_t>(i * 31);
    const auto stream =
        concat({frameOf({Hello{}}),
                StreamFraming::encodeVideo(4'000'000'000u, true, 18'000'000'000'000'000'000u, frameData).value(),
                StreamFraming::encodeAudio(audio).value(), StreamFraming::encodeVideo(1, false, 2, {}).value(),
                frameOf({Pause{}})});
    const std::vector<StreamItem> expected{
        {ControlMessage{Hello{}}},
        {StreamVideoFrame{4'000'000'000u, true, 18'000'000'000'000'000'000u, frameData}},
        {audio},
        {StreamVideoFrame{1, false, 2, {}}},
        {ControlMessage{Pause{}}},
    };
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, stream.size()}) {
        StreamFrameDecoder decoder;
        std::vector<StreamItem> items;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            auto got = decoder.append(ByteView(stream).subspan(at, std::min(chunk, stream.size() - at)));
            ASSERT_TRUE(got) << got.error().text();
            items.insert(items.end(), got->begin(), got->end());
        }
        EXPECT_EQ(items, expected) << "chunk " << chunk;
        EXPECT_EQ(decoder.bufferedBytes(), 0u);
    }
}

TEST(StreamFrameDecoder, RangeChecksPerItemKind) {
    const auto header = [](std::uint32_t value) {
        Bytes out;
        appendU32(out, value);
        return out;
    };
    for (const std::uint32_t bad : {0x8000'000Cu, 0x8080'0001u, 0x4000'0011u, 0x4004'0001u, 0x0004'0001u}) {
        StreamFrameDecoder decoder;
        const auto result = decoder.append(header(bad));
        ASSERT_FALSE(result) << std::hex << bad;
        EXPECT_EQ(result.error(), ControlFramingError::messageTooLarge(bad & 0x3FFF'FFFF));
    }
    // Both type bits set reads as video.
    StreamFrameDecoder both;
    auto video = StreamFraming::encodeVideo(3, false, 4, Bytes{1, 2}).value();
    video[0] |= 0x40;
    EXPECT_TRUE(std::holds_alternative<StreamVideoFrame>(both.append(video).value().at(0).value));
    // A control item that is not a message stops the decoder where it is.
    StreamFrameDecoder malformed;
    EXPECT_EQ(malformed.append(rawFrame(2, "{}")).error(), ControlFramingError::malformed());
    EXPECT_EQ(malformed.bufferedBytes(), 6u);
    EXPECT_FALSE(malformed.append(frameOf({Pause{}})).has_value());
}

TEST(StreamFraming, ItemsLargerThanAReaderAcceptsAreRefusedNotTruncated) {
    using namespace StreamFraming;
    const Bytes largest(kMaxVideoBody - kVideoHeaderBytes, 7);
    const auto fits = encodeVideo(1, true, 0, largest);
    ASSERT_TRUE(fits);
    StreamFrameDecoder reader;
    EXPECT_EQ(reader.append(*fits).value().size(), 1u) << "the largest item is still readable";
    EXPECT_FALSE(encodeVideo(1, true, 0, Bytes(largest.size() + 1, 7))) << "refused, not masked into a short length";
    StreamAudioPacket audio;
    audio.pcm.assign(kMaxAudioBody - kAudioHeaderBytes + 1, 0);
    EXPECT_FALSE(encodeAudio(audio));
}

TEST(StreamFrameDecoder, AControlOnlyReaderRefusesMediaBeforeBufferingIt) {
    for (const auto& item : {StreamFraming::encodeVideo(1, true, 0, Bytes(1000, 1)).value(),
                             StreamFraming::encodeAudio(StreamAudioPacket{}).value()}) {
        StreamFrameDecoder reader{StreamFrameDecoder::ControlOnly{}};
        const auto header = reader.append(ByteView(item).first(4));
        ASSERT_FALSE(header);
        EXPECT_EQ(header.error(), ControlFramingError::malformed());
        EXPECT_FALSE(reader.append(frameOf({Pause{}})).has_value()) << "the failure is final";
    }
    StreamFrameDecoder reader{StreamFrameDecoder::ControlOnly{}};
    EXPECT_EQ(reader.append(frameOf({Pause{}})).value().size(), 1u);
}

TEST(StreamFrameDecoder, ConsumedBytesAreCompactedOnlyInBulk) {
    StreamFrameDecoder decoder;
    const auto item = StreamFraming::encodeVideo(1, false, 0, Bytes(300'000, 1)).value(); // 300,017 bytes
    Bytes stream;
    for (int i = 0; i < 4; ++i)
        stream.insert(stream.end(), item.begin(), item.end());
    stream.push_back(0x80); // start of a fifth header keeps the buffer from emptying

    ASSERT_EQ(decoder.append(ByteView(stream).first(item.size() * 3 + 1)).value().size(), 3u);
    EXPECT_EQ(decoder.offset(), item.size() * 3) << "900 KB consumed: below 1 MiB, not compacted";
    EXPECT_EQ(decoder.append(ByteView(stream).subspan(item.size() * 3 + 1)).value().size(), 1u);
    EXPECT_EQ(decoder.offset(), 0u) << "past 1 MiB the consumed bytes are dropped";
    EXPECT_EQ(decoder.bufferedBytes(), 1u);
}
