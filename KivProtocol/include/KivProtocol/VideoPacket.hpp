#pragma once
// Video over UDP: encoded frames cut into datagrams of at most 1,200 bytes, and the client's
// keepalive that attaches its flow to a session.
#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "KivProtocol/ByteOrder.hpp"

namespace kiv {

struct EncodedFrame {
    Bytes data; // length-prefixed NAL units; parameter sets first on keyframes
    bool isKeyframe = false;
    std::uint64_t captureTimeUs = 0;
    bool operator==(const EncodedFrame&) const = default;
};

struct VideoPacketHeader {
    static constexpr std::size_t size = 28;
    static constexpr std::size_t maxPayload = 1172;
    static constexpr std::array<std::uint8_t, 2> magic{0x4B, 0x56}; // "KV"
    static constexpr std::uint8_t version = 1;

    bool isKeyframe = false;
    std::uint32_t sessionID = 0;
    std::uint32_t frameID = 0;
    std::uint16_t fragIndex = 0;
    std::uint16_t fragCount = 1;
    std::uint64_t captureTimeUs = 0;
    std::uint32_t packetSeq = 0;

    void write(Bytes& into) const;
    void write(std::uint8_t* out) const; // exactly `size` bytes
    // The header and the payload's [begin, end) offsets in the datagram, or nothing.
    struct Parsed;
    static std::optional<Parsed> parse(ByteView datagram);

    bool operator==(const VideoPacketHeader&) const = default;
};

struct VideoPacketHeader::Parsed {
    VideoPacketHeader header;
    std::size_t payloadBegin = 0;
    std::size_t payloadEnd = 0;
    ByteView payload(ByteView datagram) const { return datagram.subspan(payloadBegin, payloadEnd - payloadBegin); }
};

struct VideoKeepalive {
    static constexpr std::size_t size = 16;
    static constexpr std::array<std::uint8_t, 2> magic{0x4B, 0x4B}; // "KK"
    static constexpr std::uint8_t version = 1;

    std::uint32_t sessionID = 0;
    std::uint64_t videoKey = 0;

    Bytes encode() const;
    static std::optional<VideoKeepalive> parse(ByteView datagram);
    bool operator==(const VideoKeepalive&) const = default;
};

// The datagrams of one frame, back to back in one buffer (one allocation per frame, ready for a
// single sendmmsg batch).
class DatagramBatch {
public:
    std::size_t size() const { return offsets_.empty() ? 0 : offsets_.size() - 1; }
    bool empty() const { return size() == 0; }
    ByteView operator[](std::size_t i) const {
        return ByteView(storage_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]);
    }
    std::size_t totalBytes() const { return offsets_.empty() ? 0 : offsets_.back(); }

    class Iterator {
    public:
        Iterator(const DatagramBatch* batch, std::size_t index) : batch_(batch), index_(index) {}
        ByteView operator*() const { return (*batch_)[index_]; }
        Iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator==(const Iterator& other) const { return index_ == other.index_; }

    private:
        const DatagramBatch* batch_;
        std::size_t index_;
    };
    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, size()}; }

private:
    friend class FramePacketizer;
    Bytes storage_;                      // only grows; the first totalBytes() are in use
    std::vector<std::uint32_t> offsets_; // size() + 1 entries
};

class FramePacketizer {
public:
    // Largest frame that fits 65,535 fragments.
    static constexpr std::size_t kMaxFrameBytes = 65535 * VideoPacketHeader::maxPayload;

    explicit FramePacketizer(std::uint32_t sessionID) : sessionID_(sessionID) {}

    // The frame's datagrams in fragment order; empty (and no counter moves) when the frame is too
    // large to send.
    DatagramBatch packetize(const EncodedFrame& frame);
    // The same into a batch whose buffers are reused: no allocation once they are large enough.
    void packetize(const EncodedFrame& frame, DatagramBatch& into);
    // Appends a second copy of every datagram of `batch` (a frame just packetized), each with a
    // packet number of its own: a device keeps the first copy of a fragment that arrives and
    // ignores the other, and its loss figures stay a true count of datagrams lost.
    void repeat(DatagramBatch& batch);
    // Gives a datagram of this packetizer's (a copy sent again) the next packet number.
    void renumber(std::span<std::uint8_t> datagram);

    std::uint32_t sessionID() const { return sessionID_; }
    std::uint32_t nextFrameID() const { return nextFrameID_; }
    std::uint32_t nextPacketSeq() const { return nextPacketSeq_; }

private:
    std::uint32_t sessionID_;
    std::uint32_t nextFrameID_ = 0;
    std::uint32_t nextPacketSeq_ = 0;
};

// a is newer than b when (a - b) as a signed 32-bit number is at least 1.
inline bool isNewer(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) >= 1;
}

} // namespace kiv
