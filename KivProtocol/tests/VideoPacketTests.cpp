#include <algorithm>
#include <gtest/gtest.h>
#include <random>

#include "KivProtocol/FrameReassembler.hpp"
#include "KivProtocol/H264Bitstream.hpp"
#include "KivProtocol/VideoPacket.hpp"

using namespace kiv;
using Reason = DroppedFrameInfo::Reason;

namespace {
EncodedFrame frameOfSize(std::size_t size, bool key = false, std::uint64_t time = 0) {
    EncodedFrame frame{Bytes(size), key, time};
    for (std::size_t i = 0; i < size; ++i)
        frame.data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return frame;
}
// The batch as separate datagrams, as they travel.
std::vector<Bytes> packets(FramePacketizer& packetizer, const EncodedFrame& frame) {
    std::vector<Bytes> out;
    for (const auto datagram : packetizer.packetize(frame))
        out.emplace_back(datagram.begin(), datagram.end());
    return out;
}
} // namespace

TEST(FramePacketizer, FragmentSizesHeadersAndCounters) {
    FramePacketizer packetizer(0xA1B2C3D4);
    const auto one = packets(packetizer, frameOfSize(1172, true, 99));
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].size(), 1200u);
    const auto two = packets(packetizer, frameOfSize(1173));
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].size(), 1200u);
    EXPECT_EQ(two[1].size(), 29u);
    const auto empty = packets(packetizer, frameOfSize(0));
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].size(), 28u);

    const auto h0 = VideoPacketHeader::parse(one[0])->header;
    EXPECT_EQ(h0, (VideoPacketHeader{true, 0xA1B2C3D4, 0, 0, 1, 99, 0}));
    const auto h1 = VideoPacketHeader::parse(two[0])->header;
    const auto h2 = VideoPacketHeader::parse(two[1])->header;
    EXPECT_EQ(h1.frameID, 1u);
    EXPECT_EQ(h2.fragIndex, 1u);
    EXPECT_EQ(h2.fragCount, 2u);
    EXPECT_EQ(h1.packetSeq + 1, h2.packetSeq);
    EXPECT_EQ(VideoPacketHeader::parse(empty[0])->header.packetSeq, 3u) << "packetSeq continues across frames";
    // Exact header bytes: magic, version, flags, then big-endian fields.
    EXPECT_EQ((Bytes(one[0].begin(), one[0].begin() + 8)), (Bytes{0x4B, 0x56, 0x01, 0x01, 0xA1, 0xB2, 0xC3, 0xD4}));

    FramePacketizer refusing(1);
    EXPECT_TRUE(packets(refusing, frameOfSize(FramePacketizer::kMaxFrameBytes + 1)).empty());
    EXPECT_EQ(refusing.nextFrameID(), 0u);
    EXPECT_EQ(refusing.nextPacketSeq(), 0u);
}

TEST(FramePacketizer, ARepeatedFrameCompletesFromEitherCopyAndItsLossFiguresStayTrue) {
    FramePacketizer packetizer(9);
    DatagramBatch batch;
    const auto frame = frameOfSize(5 * 1172 - 100, true, 77);
    packetizer.packetize(frame, batch);
    packetizer.repeat(batch);
    ASSERT_EQ(batch.size(), 10u);
    for (std::size_t i = 0; i < 5; ++i) {
        const auto first = VideoPacketHeader::parse(batch[i])->header;
        auto second = VideoPacketHeader::parse(batch[i + 5])->header;
        EXPECT_EQ(second.packetSeq, 5 + i) << "a number of its own, after the first copy's";
        second.packetSeq = first.packetSeq;
        EXPECT_EQ(second, first);
        EXPECT_TRUE(std::ranges::equal(batch[i].subspan(28), batch[i + 5].subspan(28)));
    }
    // Fragment 1 lost in the first copy, fragments 3 and 4 in the second: the frame completes
    // once, with its bytes, and the copies after it are late.
    FrameReassembler reassembler(9, 8, 1'000'000);
    std::optional<ReassembledFrame> done;
    int completions = 0;
    for (const std::size_t i : {0u, 2u, 3u, 4u, 5u, 6u, 7u}) {
        if (auto got = reassembler.ingest(batch[i], 1000 + i)) {
            ++completions;
            done = std::move(got);
        }
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(done->data, frame.data);
    EXPECT_EQ(done->framesLostBefore, 0);
    EXPECT_EQ(reassembler.packetsExpected() - reassembler.packetsReceived(), 1u) << "one of 8 numbered datagrams";

    // The batch is reused for the next frame, larger than both copies, and numbering goes on.
    packetizer.packetize(frameOfSize(12 * 1172), batch);
    ASSERT_EQ(batch.size(), 12u);
    EXPECT_EQ(VideoPacketHeader::parse(batch[0])->header.packetSeq, 10u);
    EXPECT_EQ(VideoPacketHeader::parse(batch[0])->header.frameID, 1u);
    packetizer.repeat(batch);
    EXPECT_EQ(batch.totalBytes(), 2 * 12 * 1200u);
    EXPECT_EQ(packetizer.nextPacketSeq(), 34u);
}

TEST(VideoPacketHeader, ParsingRejectsBadDatagrams) {
    FramePacketizer packetizer(5);
    auto datagram = packets(packetizer, frameOfSize(100)).front();
    ASSERT_TRUE(VideoPacketHeader::parse(datagram));
    EXPECT_FALSE(VideoPacketHeader::parse(ByteView(datagram).first(27)));
    auto mutate = [&](std::size_t at, std::uint8_t value) {
        Bytes copy = datagram;
        copy[at] = value;
        return VideoPacketHeader::parse(copy).has_value();
    };
    EXPECT_FALSE(mutate(0, 'X'));
    EXPECT_FALSE(mutate(2, 2)) << "version 2";
    EXPECT_FALSE(mutate(13, 1)) << "fragIndex == fragCount";
    EXPECT_FALSE(mutate(15, 0)) << "fragCount 0";
    EXPECT_TRUE(mutate(3, 0xFE)) << "unknown flag bits are ignored";
    const auto parsed = VideoPacketHeader::parse(datagram);
    EXPECT_EQ(parsed->payload(datagram).size(), 100u);
}

TEST(VideoKeepalive, ExactlySixteenBytes) {
    const VideoKeepalive keepalive{0x01020304, 0x1122334455667788ull};
    auto bytes = keepalive.encode();
    EXPECT_EQ(bytes, (Bytes{0x4B, 0x4B, 1, 0, 1, 2, 3, 4, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    EXPECT_EQ(VideoKeepalive::parse(bytes), keepalive);
    bytes[3] = 0xFF;
    EXPECT_EQ(VideoKeepalive::parse(bytes), keepalive) << "reserved byte ignored";
    bytes.push_back(0);
    EXPECT_FALSE(VideoKeepalive::parse(bytes)) << "17 bytes";
    EXPECT_FALSE(VideoKeepalive::parse(ByteView(bytes).first(15)));
}

TEST(FrameReassembler, FragmentsInAnyOrderCompleteOnceAndDuplicatesDoNotCount) {
    FramePacketizer packetizer(7);
    FrameReassembler reassembler(7, 8, 1'000'000);
    const auto frame = frameOfSize(10'000, true, 555);
    auto datagrams = packets(packetizer, frame);
    std::mt19937 rng(1);
    std::shuffle(datagrams.begin(), datagrams.end(), rng);
    datagrams.insert(datagrams.begin() + 3, datagrams[1]); // a duplicate before completion
    std::optional<ReassembledFrame> done;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        auto got = reassembler.ingest(datagrams[i], 1000 + i);
        if (i + 1 < datagrams.size())
            EXPECT_FALSE(got) << i;
        else
            done = std::move(got);
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(done->data, frame.data);
    EXPECT_TRUE(done->isKeyframe);
    EXPECT_EQ(done->captureTimeUs, 555u);
    EXPECT_EQ(done->framesLostBefore, 0);
    EXPECT_EQ(reassembler.packetsReceived(), datagrams.size());
    EXPECT_FALSE(reassembler.ingest(datagrams[0], 5000)) << "late packet of a completed frame";
    FrameReassembler other(8, 8, 1'000'000);
    EXPECT_FALSE(other.ingest(datagrams[0], 1)) << "foreign session";
    EXPECT_EQ(other.packetsReceived(), 0u);
}

TEST(FrameReassembler, SupersededMissingAndLateFrames) {
    FramePacketizer packetizer(1);
    FrameReassembler r(1, 8, 1'000'000);
    std::vector<std::vector<Bytes>> frames;
    for (int i = 0; i < 8; ++i)
        frames.push_back(packets(packetizer, frameOfSize(3000)));
    for (const auto& d : frames[4])
        r.ingest(d, 10); // frame 4 completes (frames 0-3 unseen before it)
    EXPECT_EQ(r.takeDrops().size(), 0u) << "nothing before the first frame seen counts as lost";
    r.ingest(frames[5][0], 20); // frame 5 stays incomplete; 6 never seen
    std::optional<ReassembledFrame> seven;
    for (const auto& d : frames[7])
        seven = r.ingest(d, 30);
    ASSERT_TRUE(seven);
    EXPECT_EQ(seven->framesLostBefore, 2);
    EXPECT_EQ(r.takeDrops(),
              (std::vector<DroppedFrameInfo>{{5, 1, 3, Reason::superseded}, {6, 0, 0, Reason::missing}}));
    EXPECT_EQ(r.framesDropped(), 2);
    EXPECT_FALSE(r.ingest(frames[3][0], 40)) << "frame 3 after frame 4 completed";
    EXPECT_EQ(r.pendingFrames(), 0u);
}

TEST(FrameReassembler, TimeoutOverflowAndStatistics) {
    FramePacketizer packetizer(1);
    FrameReassembler r(1, 2, 1'000);
    std::vector<std::vector<Bytes>> frames;
    for (int i = 0; i < 5; ++i)
        frames.push_back(packets(packetizer, frameOfSize(2000)));
    r.ingest(frames[0][0], 100);
    r.ingest(frames[1][0], 500);
    r.ingest(frames[2][0], 600); // three pending, limit two: the oldest goes
    EXPECT_EQ(r.takeDrops(), (std::vector<DroppedFrameInfo>{{0, 1, 2, Reason::overflow}}));
    r.ingest(frames[3][0], 1'501); // frame 1 is 1,001 us old: expired; frame 2 exactly 901: kept... then overflow
    const auto drops = r.takeDrops();
    ASSERT_FALSE(drops.empty());
    EXPECT_EQ(drops[0], (DroppedFrameInfo{1, 1, 2, Reason::timeout}));
    EXPECT_EQ(r.packetsExpected(), 7u) << "seq 0, 2, 4, 6 seen: 7 expected";
    EXPECT_EQ(r.packetsReceived(), 4u);
    r.resetStatistics();
    EXPECT_EQ(r.packetsExpected(), 0u);
    EXPECT_EQ(r.packetsReceived(), 0u);
}

TEST(FrameReassembler, AFrameBegunThenQuietIsGivenUpOnceAndItsLateCopyStillCompletes) {
    FramePacketizer packetizer(1);
    FrameReassembler r(1, 8, 1'000'000);
    EXPECT_FALSE(r.dropStalled(10'000'000, 150'000)) << "nothing begun";
    const auto first = packets(packetizer, frameOfSize(3000));
    ASSERT_EQ(first.size(), 3u);
    r.ingest(first[0], 1'000'000);
    r.ingest(first[1], 1'020'000); // the last fragment is lost
    EXPECT_FALSE(r.dropStalled(1'170'000, 150'000)) << "150 ms after the last datagram is not yet quiet";
    EXPECT_TRUE(r.dropStalled(1'170'001, 150'000));
    EXPECT_EQ(r.takeDrops(), (std::vector<DroppedFrameInfo>{{0, 2, 3, Reason::timeout}}));
    EXPECT_EQ(r.pendingFrames(), 0u);
    EXPECT_FALSE(r.dropStalled(2'000'000, 150'000)) << "given up once";

    // The host's copy of it, arriving later after all, still completes it.
    std::optional<ReassembledFrame> done;
    for (const auto& datagram : first)
        if (auto f = r.ingest(datagram, 2'100'000)) done = std::move(f);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->frameID, 0u);
    EXPECT_EQ(done->framesLostBefore, 0);

    // Steady streaming is never stalled: the newest frame keeps receiving.
    const auto second = packets(packetizer, frameOfSize(3000));
    r.ingest(second[0], 3'000'000);
    r.ingest(second[1], 3'100'000);
    EXPECT_FALSE(r.dropStalled(3'200'000, 150'000));
    EXPECT_TRUE(r.ingest(second[2], 3'200'000).has_value());
    EXPECT_FALSE(r.dropStalled(9'000'000, 150'000)) << "a completed frame leaves nothing begun";
}

TEST(FrameReassembler, IdsWrapAndHostileFragCountsStayBounded) {
    EXPECT_TRUE(isNewer(0, 4'294'967'295u));
    EXPECT_FALSE(isNewer(4'294'967'295u, 0));
    // Make frame IDs start near the wrap by building datagrams by hand.
    FrameReassembler r(3, 4, 1'000'000);
    auto single = [](std::uint32_t frameID, std::uint16_t index, std::uint16_t count, std::size_t bytes) {
        Bytes d;
        VideoPacketHeader{false, 3, frameID, index, count, 0, frameID}.write(d);
        d.resize(d.size() + bytes, 0x5A);
        return d;
    };
    ASSERT_TRUE(r.ingest(single(4'294'967'295u, 0, 1, 10), 1));
    const auto wrapped = r.ingest(single(0, 0, 1, 10), 2);
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(wrapped->framesLostBefore, 0);
    // A huge announced fragment count with tiny payloads neither completes nor reserves much.
    EXPECT_FALSE(r.ingest(single(1, 65534, 65535, 1), 3));
    EXPECT_FALSE(r.ingest(single(1, 0, 2, 1), 3)) << "inconsistent fragCount ignored";
    // More than maxFrameSize of payload abandons the frame, with a drop record.
    r.takeDrops();
    for (std::uint16_t i = 0; i < 7158; ++i)
        r.ingest(single(2, i, 7300, 1172), 4); // the 7,158th passes 8 MiB
    EXPECT_EQ(r.pendingFrames(), 1u) << "frame 2 abandoned at 8 MiB; frame 1 still pending";
    EXPECT_EQ(r.takeDrops(), (std::vector<DroppedFrameInfo>{{2, 7157, 7300, DroppedFrameInfo::Reason::overflow}}));
    // A gap of billions of frames records at most 64 drops.
    r.takeDrops();
    ASSERT_TRUE(r.ingest(single(2'000'000'000u, 0, 1, 1), 5));
    EXPECT_LE(r.takeDrops().size(), FrameReassembler::kMaxRecordedDrops);
}

TEST(H264Bitstream, SplitAppendTypesAndAnnexB) {
    using namespace H264Bitstream;
    EXPECT_EQ(splitAVCC({})->size(), 0u);
    const Bytes idr{0, 0, 0, 2, 0x65, 0x88};
    const auto units = splitAVCC(idr);
    ASSERT_TRUE(units && units->size() == 1);
    EXPECT_EQ(type((*units)[0]), 5);
    EXPECT_EQ(nalType(type((*units)[0])), NALType::idr);
    Bytes trailing = idr;
    trailing.insert(trailing.end(), {0, 0, 1});
    EXPECT_FALSE(splitAVCC(trailing));
    EXPECT_FALSE(splitAVCC(Bytes{0, 0, 0, 0}));
    EXPECT_FALSE(splitAVCC(Bytes{0, 0, 0, 5, 0x65}));

    Bytes buffer;
    appendAVCC(Bytes(300, 0x41), buffer);
    EXPECT_EQ((Bytes(buffer.begin(), buffer.begin() + 4)), (Bytes{0x00, 0x00, 0x01, 0x2C}));
    EXPECT_EQ(buffer.size(), 304u);
    EXPECT_EQ(type(Bytes{0x67}), 7);
    EXPECT_EQ(type(Bytes{0x68}), 8);
    EXPECT_EQ(type(Bytes{0x41}), 1);
    EXPECT_EQ(type(Bytes{}), 0);
    EXPECT_FALSE(nalType(2));

    const Bytes annexB{0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 0, 1, 0x65, 0x88, 0x00, 0x03, 0x01};
    const auto avcc = annexBToAVCC(annexB);
    ASSERT_TRUE(avcc);
    EXPECT_EQ(*avcc, (Bytes{0, 0, 0, 2, 0x67, 0x42, 0, 0, 0, 2, 0x68, 0xCE, 0, 0, 0, 5, 0x65, 0x88, 0x00, 0x03, 0x01}));
    EXPECT_FALSE(annexBToAVCC(Bytes{0x65, 0, 0, 1, 0x65}));
}
