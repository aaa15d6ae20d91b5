#include "KivProtocol/VideoPacket.hpp"

#include <algorithm>

namespace kiv {

void VideoPacketHeader::write(Bytes& into) const {
    into.push_back(magic[0]);
    into.push_back(magic[1]);
    into.push_back(version);
    into.push_back(isKeyframe ? 1 : 0);
    appendU32(into, sessionID);
    appendU32(into, frameID);
    appendU16(into, fragIndex);
    appendU16(into, fragCount);
    appendU64(into, captureTimeUs);
    appendU32(into, packetSeq);
}

std::optional<VideoPacketHeader::Parsed> VideoPacketHeader::parse(ByteView datagram) {
    if (datagram.size() < size) return std::nullopt;
    if (datagram[0] != magic[0] || datagram[1] != magic[1] || datagram[2] != version) return std::nullopt;
    Parsed parsed;
    auto& h = parsed.header;
    h.isKeyframe = (datagram[3] & 1) != 0;
    h.sessionID = readU32(datagram, 4);
    h.frameID = readU32(datagram, 8);
    h.fragIndex = readU16(datagram, 12);
    h.fragCount = readU16(datagram, 14);
    h.captureTimeUs = readU64(datagram, 16);
    h.packetSeq = readU32(datagram, 24);
    if (h.fragCount == 0 || h.fragIndex >= h.fragCount) return std::nullopt;
    parsed.payloadBegin = size;
    parsed.payloadEnd = datagram.size();
    return parsed;
}

Bytes VideoKeepalive::encode() const {
    Bytes out;
    out.reserve(size);
    out.push_back(magic[0]);
    out.push_back(magic[1]);
    out.push_back(version);
    out.push_back(0);
    appendU32(out, sessionID);
    appendU64(out, videoKey);
    return out;
}

std::optional<VideoKeepalive> VideoKeepalive::parse(ByteView datagram) {
    if (datagram.size() != size) return std::nullopt;
    if (datagram[0] != magic[0] || datagram[1] != magic[1] || datagram[2] != version) return std::nullopt;
    return VideoKeepalive{readU32(datagram, 4), readU64(datagram, 8)};
}

std::vector<Bytes> FramePacketizer::packetize(const EncodedFrame& frame) {
    const std::size_t total = frame.data.size();
    if (total > kMaxFrameBytes) return {};
    const std::size_t count = total == 0 ? 1 : (total + VideoPacketHeader::maxPayload - 1) / VideoPacketHeader::maxPayload;
    VideoPacketHeader header;
    header.isKeyframe = frame.isKeyframe;
    header.sessionID = sessionID_;
    header.frameID = nextFrameID_++;
    header.fragCount = static_cast<std::uint16_t>(count);
    header.captureTimeUs = frame.captureTimeUs;

    std::vector<Bytes> datagrams(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t begin = i * VideoPacketHeader::maxPayload;
        const std::size_t end = std::min(begin + VideoPacketHeader::maxPayload, total);
        auto& datagram = datagrams[i];
        datagram.reserve(VideoPacketHeader::size + (end - begin));
        header.fragIndex = static_cast<std::uint16_t>(i);
        header.packetSeq = nextPacketSeq_++;
        header.write(datagram);
        datagram.insert(datagram.end(), frame.data.begin() + static_cast<std::ptrdiff_t>(begin),
                        frame.data.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return datagrams;
}

} // namespace kiv
