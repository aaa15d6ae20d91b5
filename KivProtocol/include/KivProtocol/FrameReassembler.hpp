#pragma once
// Receiver side of the UDP video path: joins datagrams back into frames and accounts for loss.
// Never fails: malformed, foreign, late and inconsistent packets are dropped silently.
#include <cstdint>
#include <optional>
#include <vector>

#include "KivProtocol/EnumText.hpp"
#include "KivProtocol/VideoPacket.hpp"

namespace kiv {

struct DroppedFrameInfo {
    enum class Reason { superseded, overflow, timeout, missing };
    std::uint32_t frameID = 0;
    std::int64_t received = 0;
    std::int64_t total = 0;
    Reason reason = Reason::missing;
    bool operator==(const DroppedFrameInfo&) const = default;
};

template <>
struct EnumTraits<DroppedFrameInfo::Reason> {
    static constexpr std::array<std::string_view, 4> names{"superseded", "overflow", "timeout", "missing"};
};

struct ReassembledFrame {
    std::uint32_t frameID = 0;
    bool isKeyframe = false;
    std::uint64_t captureTimeUs = 0;
    Bytes data;
    std::int64_t framesLostBefore = 0;
    bool operator==(const ReassembledFrame&) const = default;
};

class FrameReassembler {
public:
    static constexpr std::size_t kMaxRecordedDrops = 64;

    FrameReassembler(std::uint32_t sessionID, std::size_t maxPendingFrames, std::uint64_t pendingTimeoutUs);

    std::optional<ReassembledFrame> ingest(ByteView datagram, std::uint64_t nowUs);
    // Gives a finished frame's buffer back for reuse, so steady streaming allocates nothing.
    void recycle(Bytes buffer);
    std::vector<DroppedFrameInfo> takeDrops();
    // Gives up on frames begun but incomplete when nothing has arrived for `quietUs`: the last
    // frame before the screen went still, part of it lost, which no later frame will ever show
    // as a gap. Recorded as timed out; true when there were any (time to ask for a keyframe).
    bool dropStalled(std::uint64_t nowUs, std::uint64_t quietUs);
    void resetStatistics();

    std::int64_t framesDropped() const { return framesDropped_; }
    std::uint64_t packetsReceived() const { return packetsReceived_; }
    std::uint64_t packetsExpected() const;
    std::size_t pendingFrames() const { return pending_.size(); }
    std::optional<std::uint32_t> lastCompleted() const { return lastCompleted_; }

private:
    // Payloads are kept in one arena in arrival order; when they arrived in fragment order the
    // arena already is the frame and completes without a copy.
    struct Pending {
        std::uint32_t frameID = 0;
        bool isKeyframe = false;
        std::uint64_t captureTimeUs = 0;
        std::vector<std::uint32_t> chunkOffset; // into arena; kEmpty when not received
        std::vector<std::uint16_t> chunkLength;
        Bytes arena;
        std::int64_t received = 0;
        std::size_t bytes = 0;
        std::uint64_t firstSeenUs = 0;
        bool inOrder = true;
        std::size_t total() const { return chunkOffset.size(); }
    };
    static constexpr std::uint32_t kEmpty = UINT32_MAX;

    void record(const DroppedFrameInfo& drop);
    void expire(std::uint64_t nowUs);
    void trim();
    Bytes join(Pending& frame);

    std::uint32_t sessionID_;
    std::size_t maxPendingFrames_;
    std::uint64_t pendingTimeoutUs_;
    std::vector<Pending> pending_;
    std::optional<std::uint32_t> lastCompleted_;
    std::optional<std::uint32_t> firstFrameSeen_;
    std::uint64_t packetsReceived_ = 0;
    std::uint64_t lastArrivalUs_ = 0;
    std::optional<std::uint32_t> highestSeq_;
    std::optional<std::uint32_t> lowestSeq_;
    std::int64_t framesDropped_ = 0;
    std::vector<DroppedFrameInfo> drops_;
    std::vector<Bytes> spare_; // recycled buffers, capacity kept
};

} // namespace kiv
