#include "KivProtocol/FrameReassembler.hpp"

#include <algorithm>
#include <cstring>

#include "KivProtocol/KivConstants.hpp"

namespace kiv {

namespace {
constexpr std::size_t kMaxInitialReserve = std::size_t{2} * 1024 * 1024;
} // namespace

FrameReassembler::FrameReassembler(std::uint32_t sessionID, std::size_t maxPendingFrames,
                                   std::uint64_t pendingTimeoutUs)
    : sessionID_(sessionID), maxPendingFrames_(maxPendingFrames), pendingTimeoutUs_(pendingTimeoutUs) {}

void FrameReassembler::recycle(Bytes buffer) {
    if (spare_.size() >= 4 || buffer.capacity() == 0 || buffer.capacity() > kMaxInitialReserve * 4) return;
    buffer.clear();
    spare_.push_back(std::move(buffer));
}

void FrameReassembler::record(const DroppedFrameInfo& drop) {
    if (drops_.size() < kMaxRecordedDrops) drops_.push_back(drop);
}

std::vector<DroppedFrameInfo> FrameReassembler::takeDrops() {
    return std::exchange(drops_, {});
}

void FrameReassembler::resetStatistics() {
    packetsReceived_ = 0;
    framesDropped_ = 0;
    highestSeq_.reset();
    lowestSeq_.reset();
}

std::uint64_t FrameReassembler::packetsExpected() const {
    if (!highestSeq_ || !lowestSeq_) return 0;
    return std::uint64_t{static_cast<std::uint32_t>(*highestSeq_ - *lowestSeq_)} + 1;
}

void FrameReassembler::expire(std::uint64_t nowUs) {
    const auto expired = [&](const Pending& frame) {
        return nowUs > frame.firstSeenUs && nowUs - frame.firstSeenUs > pendingTimeoutUs_;
    };
    if (std::none_of(pending_.begin(), pending_.end(), expired)) return; // the usual case, every packet
    std::erase_if(pending_, [&](const Pending& frame) {
        if (expired(frame)) {
            record({frame.frameID, frame.received, static_cast<std::int64_t>(frame.total()),
                    DroppedFrameInfo::Reason::timeout});
            return true;
        }
        return false;
    });
}

bool FrameReassembler::dropStalled(std::uint64_t nowUs, std::uint64_t quietUs) {
    if (pending_.empty() || nowUs < lastArrivalUs_ || nowUs - lastArrivalUs_ <= quietUs) return false;
    for (const auto& frame : pending_)
        record({frame.frameID, frame.received, static_cast<std::int64_t>(frame.total()),
                DroppedFrameInfo::Reason::timeout});
    for (auto& frame : pending_)
        recycle(std::move(frame.arena));
    pending_.clear();
    return true;
}

void FrameReassembler::trim() {
    while (pending_.size() > maxPendingFrames_) {
        auto oldest = pending_.begin();
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (isNewer(oldest->frameID, it->frameID)) oldest = it;
        }
        record({oldest->frameID, oldest->received, static_cast<std::int64_t>(oldest->total()),
                DroppedFrameInfo::Reason::overflow});
        pending_.erase(oldest);
    }
}

Bytes FrameReassembler::join(Pending& frame) {
    if (frame.inOrder) {
        frame.arena.resize(frame.bytes);
        return std::move(frame.arena);
    }
    Bytes data;
    data.reserve(frame.bytes);
    for (std::size_t i = 0; i < frame.total(); ++i) {
        const auto* begin = frame.arena.data() + frame.chunkOffset[i];
        data.insert(data.end(), begin, begin + frame.chunkLength[i]);
    }
    return data;
}

std::optional<ReassembledFrame> FrameReassembler::ingest(ByteView datagram, std::uint64_t nowUs) {
    const auto parsed = VideoPacketHeader::parse(datagram);
    if (!parsed || parsed->header.sessionID != sessionID_) return std::nullopt;
    const auto& header = parsed->header;
    const ByteView payload = parsed->payload(datagram);

    ++packetsReceived_;
    lastArrivalUs_ = nowUs;
    if (!highestSeq_) {
        highestSeq_ = lowestSeq_ = header.packetSeq;
    } else if (isNewer(header.packetSeq, *highestSeq_)) {
        highestSeq_ = header.packetSeq;
    }
    if (!firstFrameSeen_) firstFrameSeen_ = header.frameID;

    expire(nowUs);
    if (lastCompleted_ && !isNewer(header.frameID, *lastCompleted_)) return std::nullopt;

    auto it =
        std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.frameID == header.frameID; });
    if (it == pending_.end()) {
        Pending frame;
        frame.frameID = header.frameID;
        frame.isKeyframe = header.isKeyframe;
        frame.captureTimeUs = header.captureTimeUs;
        frame.chunkOffset.assign(header.fragCount, kEmpty);
        frame.chunkLength.assign(header.fragCount, 0);
        frame.firstSeenUs = nowUs;
        if (!spare_.empty()) {
            frame.arena = std::move(spare_.back());
            spare_.pop_back();
        }
        pending_.push_back(std::move(frame));
        it = std::prev(pending_.end());
    } else if (it->total() != header.fragCount) {
        return std::nullopt;
    }

    Pending& frame = *it;
    if (frame.chunkOffset[header.fragIndex] == kEmpty) {
        frame.bytes += payload.size();
        if (frame.bytes > static_cast<std::size_t>(KivConstants::maxFrameSize)) {
            // More than a frame may hold: given up, and recorded like any frame that overflows.
            record({frame.frameID, frame.received, static_cast<std::int64_t>(frame.total()),
                    DroppedFrameInfo::Reason::overflow});
            pending_.erase(it);
            return std::nullopt;
        }
        // In order means: every fragment so far arrived as fragIndex 0, 1, 2, ... contiguously.
        frame.inOrder = frame.inOrder && header.fragIndex == frame.received;
        if (frame.arena.capacity() == 0) {
            // Sized for the announced frame, but a lying fragCount cannot make one packet reserve much.
            frame.arena.reserve(std::min<std::size_t>(std::size_t{header.fragCount} * VideoPacketHeader::maxPayload,
                                                      kMaxInitialReserve));
        }
        frame.chunkOffset[header.fragIndex] = static_cast<std::uint32_t>(frame.arena.size());
        frame.chunkLength[header.fragIndex] = static_cast<std::uint16_t>(payload.size());
        frame.arena.insert(frame.arena.end(), payload.begin(), payload.end());
        ++frame.received;
    }

    if (frame.received < static_cast<std::int64_t>(frame.total())) {
        if (pending_.size() > maxPendingFrames_) trim();
        return std::nullopt;
    }

    ReassembledFrame done;
    done.frameID = frame.frameID;
    done.isKeyframe = frame.isKeyframe;
    done.captureTimeUs = frame.captureTimeUs;
    done.data = join(frame);
    pending_.erase(it);

    // Older incomplete frames can no longer complete usefully.
    std::vector<std::uint32_t> superseded;
    std::vector<Pending> older;
    std::erase_if(pending_, [&](Pending& p) {
        if (isNewer(p.frameID, done.frameID)) return false;
        older.push_back(std::move(p));
        return true;
    });
    std::sort(older.begin(), older.end(),
              [](const Pending& a, const Pending& b) { return isNewer(b.frameID, a.frameID); });
    for (const auto& p : older) {
        record({p.frameID, p.received, static_cast<std::int64_t>(p.total()), DroppedFrameInfo::Reason::superseded});
        superseded.push_back(p.frameID);
    }

    std::optional<std::uint32_t> base = lastCompleted_;
    if (!base && firstFrameSeen_) base = *firstFrameSeen_ - 1;
    std::int64_t loss = 0;
    if (base) {
        const std::uint32_t gap = done.frameID - *base;
        loss = gap >= 1 ? static_cast<std::int64_t>(gap) - 1 : 0;
        // Missing IDs are recorded only while there is room; the loop stops once the list is full.
        for (std::uint32_t id = *base + 1; id != done.frameID && drops_.size() < kMaxRecordedDrops; ++id) {
            if (std::find(superseded.begin(), superseded.end(), id) == superseded.end()) {
                record({id, 0, 0, DroppedFrameInfo::Reason::missing});
            }
        }
    }
    framesDropped_ += loss;
    lastCompleted_ = done.frameID;
    done.framesLostBefore = loss;
    return done;
}

} // namespace kiv
