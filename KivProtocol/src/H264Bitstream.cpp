#include "KivProtocol/H264Bitstream.hpp"

namespace kiv::H264Bitstream {

std::optional<NALType> nalType(std::uint8_t raw) {
    switch (raw) {
    case 1: return NALType::slice;
    case 5: return NALType::idr;
    case 6: return NALType::sei;
    case 7: return NALType::sps;
    case 8: return NALType::pps;
    case 9: return NALType::aud;
    default: return std::nullopt;
    }
}

const char* toText(NALType type) {
    switch (type) {
    case NALType::slice: return "slice";
    case NALType::idr: return "idr";
    case NALType::sei: return "sei";
    case NALType::sps: return "sps";
    case NALType::pps: return "pps";
    case NALType::aud: return "aud";
    }
    return "?";
}

void appendAVCC(ByteView nal, Bytes& buffer) {
    appendU32(buffer, static_cast<std::uint32_t>(nal.size()));
    buffer.insert(buffer.end(), nal.begin(), nal.end());
}

std::optional<std::vector<ByteView>> splitAVCC(ByteView data) {
    std::vector<ByteView> units;
    std::size_t at = 0;
    while (at < data.size()) {
        if (data.size() - at < 4) return std::nullopt;
        const std::uint32_t length = readU32(data, at);
        at += 4;
        if (length == 0 || data.size() - at < length) return std::nullopt;
        units.push_back(data.subspan(at, length));
        at += length;
    }
    return units;
}

std::uint8_t type(ByteView nal) {
    return nal.empty() ? 0 : static_cast<std::uint8_t>(nal[0] & 0x1F);
}

namespace {
// Position of the next 00 00 01 at or after `from`, or data.size().
std::size_t findStartCode(ByteView data, std::size_t from) {
    for (std::size_t i = from; i + 2 < data.size(); ++i) {
        if (data[i + 2] > 1) {
            i += 2; // no start code can end at i+1 or i+2
            continue;
        }
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return data.size();
}
} // namespace

std::optional<Bytes> annexBToAVCC(ByteView annexB) {
    std::size_t start = findStartCode(annexB, 0);
    if (start == annexB.size()) return std::nullopt;
    for (std::size_t i = 0; i < start; ++i) {
        if (annexB[i] != 0) return std::nullopt; // only zero bytes may lead the first start code
    }
    Bytes out;
    out.reserve(annexB.size() + 16);
    while (start < annexB.size()) {
        const std::size_t begin = start + 3;
        const std::size_t next = findStartCode(annexB, begin);
        std::size_t end = next;
        while (end > begin && annexB[end - 1] == 0)
            --end; // zero bytes belong to the next start code
        if (end > begin) appendAVCC(annexB.subspan(begin, end - begin), out);
        start = next;
    }
    return out;
}

} // namespace kiv::H264Bitstream
