#include "WireInspector.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "KivHostCore/Transport/PropertyList.hpp"
#include "KivHostCore/Transport/Usbmux.hpp"
#include "KivProtocol/ControlFraming.hpp"
#include "KivProtocol/H264Bitstream.hpp"
#include "KivProtocol/StreamFraming.hpp"
#include "KivProtocol/VideoPacket.hpp"

namespace kiv::wire {

using Json = nlohmann::ordered_json;

namespace {

std::string controlJson(const ControlMessage& message) {
    // Decoded messages only hold finite numbers, so encoding cannot fail here.
    return encodeControlMessage(message).value_or("null");
}

std::string itemJson(const StreamItem& item) {
    if (const auto* control = std::get_if<ControlMessage>(&item.value)) {
        return R"({"control":)" + controlJson(*control) + "}";
    }
    Json out;
    if (const auto* video = std::get_if<StreamVideoFrame>(&item.value)) {
        Json types = nullptr;
        if (const auto units = H264Bitstream::splitAVCC(video->data)) {
            types = Json::array();
            for (const auto unit : *units)
                types.push_back(H264Bitstream::type(unit));
        }
        out["video"] = {{"frameID", video->frameID},
                        {"isKeyframe", video->isKeyframe},
                        {"captureTimeUs", video->captureTimeUs},
                        {"dataBytes", video->data.size()},
                        {"nalTypes", types}};
        return out.dump();
    }
    const auto& audio = std::get<StreamAudioPacket>(item.value);
    out["audio"] = {
        {"format", audio.format},           {"channels", audio.channels},           {"sampleRate", audio.sampleRate},
        {"sequence", audio.sequence},       {"captureTimeUs", audio.captureTimeUs}, {"pcmBytes", audio.pcm.size()},
        {"frameCount", audio.frameCount()}, {"durationMs", audio.durationMs()}};
    return out.dump();
}

// Feeds the stream a byte at a time, so every unit before a bad one is still reported.
template <class Decoder, class ToJson>
DecodeResult decodeStream(ByteView input, ToJson toJson) {
    DecodeResult result;
    Decoder decoder;
    for (std::size_t i = 0; i < input.size(); ++i) {
        auto units = decoder.append(input.subspan(i, 1));
        if (!units) {
            result.error = units.error().text();
            return result;
        }
        for (const auto& unit : *units)
            result.documents.push_back(toJson(unit));
    }
    result.incompleteBytes = decoder.bufferedBytes();
    return result;
}

template <class T>
std::expected<T, std::string> field(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) return std::unexpected(std::string("missing ") + key);
    if constexpr (std::is_same_v<T, bool>) {
        if (!it->is_boolean()) return std::unexpected(std::string(key) + " must be true or false");
        return it->template get<bool>();
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!it->is_string()) return std::unexpected(std::string(key) + " must be a string");
        return it->template get<std::string>();
    } else {
        if (!it->is_number_unsigned() && !(it->is_number_integer() && it->template get<std::int64_t>() >= 0)) {
            return std::unexpected(std::string(key) + " must be a non-negative integer");
        }
        const auto value = it->template get<std::uint64_t>();
        if (value > std::numeric_limits<T>::max())
            return std::unexpected(fmt::format("{} out of range: {}", key, value));
        return static_cast<T>(value);
    }
}

std::expected<Json, std::string> parseObject(std::string_view json) {
    Json parsed = Json::parse(json.begin(), json.end(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::unexpected(std::string("not a JSON object"));
    return parsed;
}

// Reads the listed fields in order and remembers the first problem.
class FieldReader {
public:
    explicit FieldReader(const Json& object) : object_(object) {}
    template <class T>
    FieldReader& operator()(const char* key, T& out) {
        if (!error_.empty()) return *this;
        auto value = field<T>(object_, key);
        if (value)
            out = *value;
        else
            error_ = value.error();
        return *this;
    }
    const std::string& error() const { return error_; }

private:
    const Json& object_;
    std::string error_;
};

std::expected<Bytes, std::string> encodeVideo(const Json& j) {
    VideoPacketHeader h;
    std::string payloadHex;
    FieldReader read(j);
    read("isKeyframe", h.isKeyframe)("sessionID", h.sessionID)("frameID", h.frameID)("fragIndex", h.fragIndex)(
        "fragCount", h.fragCount)("captureTimeUs", h.captureTimeUs)("packetSeq", h.packetSeq)("payloadHex", payloadHex);
    if (!read.error().empty()) return std::unexpected(read.error());
    auto payload = parseHex(payloadHex);
    if (!payload) return std::unexpected("payloadHex: " + payload.error());
    if (payload->size() > VideoPacketHeader::maxPayload) {
        return std::unexpected(
            fmt::format("payload of {} bytes exceeds {}", payload->size(), VideoPacketHeader::maxPayload));
    }
    Bytes out;
    out.reserve(VideoPacketHeader::size + payload->size());
    h.write(out);
    out.insert(out.end(), payload->begin(), payload->end());
    return out;
}

Json storedToJson(const StoredValue& value) {
    return std::visit(
        [](const auto& v) -> Json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Bytes>) {
                return Json{{"$data", toHex(v)}};
            } else if constexpr (std::is_same_v<T, StoredArray>) {
                Json array = Json::array();
                for (const auto& element : v)
                    array.push_back(storedToJson(element));
                return array;
            } else if constexpr (std::is_same_v<T, StoredDictionary>) {
                Json object = Json::object();
                for (const auto& [key, element] : v)
                    object[key] = storedToJson(element);
                return object;
            } else {
                return Json(v);
            }
        },
        value.value);
}

std::uint32_t readLE32(ByteView in, std::size_t at) {
    return std::uint32_t{in[at]} | std::uint32_t{in[at + 1]} << 8 | std::uint32_t{in[at + 2]} << 16 |
           std::uint32_t{in[at + 3]} << 24;
}

// usbmux packets back to back: 16-byte little-endian header, then a property list.
DecodeResult decodeUsbmux(ByteView input) {
    DecodeResult result;
    std::size_t at = 0;
    while (at < input.size()) {
        if (input.size() - at < Usbmux::kHeaderSize) break;
        const auto length = Usbmux::packetLength(input.subspan(at, 4));
        if (!length) {
            result.error = fmt::format("broken packet: length {}", readLE32(input, at));
            return result;
        }
        if (input.size() - at < *length) break;
        Json packet{{"length", *length},
                    {"version", readLE32(input, at + 4)},
                    {"message", readLE32(input, at + 8)},
                    {"tag", readLE32(input, at + 12)}};
        if (*length == Usbmux::kHeaderSize) {
            packet["plist"] = Json::object();
        } else {
            const auto plist =
                PropertyList::decode(input.subspan(at + Usbmux::kHeaderSize, *length - Usbmux::kHeaderSize));
            if (!plist || !plist->dictionary()) {
                result.error = plist ? "not a dictionary" : "not a property list";
                return result;
            }
            packet["plist"] = storedToJson(*plist);
        }
        result.documents.push_back(packet.dump());
        at += *length;
    }
    result.incompleteBytes = input.size() - at;
    return result;
}

} // namespace

DecodeResult decode(Kind kind, ByteView input) {
    switch (kind) {
    case Kind::control: return decodeStream<ControlFrameDecoder>(input, controlJson);
    case Kind::item: return decodeStream<StreamFrameDecoder>(input, itemJson);
    case Kind::video: {
        DecodeResult result;
        const auto parsed = VideoPacketHeader::parse(input);
        if (!parsed) {
            result.error = "not a video packet";
            return result;
        }
        const auto& h = parsed->header;
        Json out = {{"isKeyframe", h.isKeyframe}, {"sessionID", h.sessionID},
                    {"frameID", h.frameID},       {"fragIndex", h.fragIndex},
                    {"fragCount", h.fragCount},   {"captureTimeUs", h.captureTimeUs},
                    {"packetSeq", h.packetSeq},   {"payloadBytes", parsed->payloadEnd - parsed->payloadBegin}};
        result.documents.push_back(out.dump());
        return result;
    }
    case Kind::usbmux: return decodeUsbmux(input);
    case Kind::keepalive: {
        DecodeResult result;
        const auto keepalive = VideoKeepalive::parse(input);
        if (!keepalive) {
            result.error = "not a keepalive";
            return result;
        }
        result.documents.push_back(Json{{"sessionID", keepalive->sessionID}, {"videoKey", keepalive->videoKey}}.dump());
        return result;
    }
    }
    return {};
}

std::expected<Bytes, std::string> encode(Kind kind, std::string_view json) {
    switch (kind) {
    case Kind::control: {
        auto message = decodeControlMessage(json);
        if (!message) return std::unexpected("not a control message: " + message.error().message);
        auto frame = ControlFraming::encode(*message);
        if (!frame) return std::unexpected(describe(frame.error()));
        return *frame;
    }
    case Kind::video: {
        auto object = parseObject(json);
        if (!object) return std::unexpected(object.error());
        return encodeVideo(*object);
    }
    case Kind::keepalive: {
        auto object = parseObject(json);
        if (!object) return std::unexpected(object.error());
        VideoKeepalive keepalive;
        FieldReader read(*object);
        read("sessionID", keepalive.sessionID)("videoKey", keepalive.videoKey);
        if (!read.error().empty()) return std::unexpected(read.error());
        return keepalive.encode();
    }
    case Kind::item:
    case Kind::usbmux: return std::unexpected(std::string("encoding this kind is not supported"));
    }
    return std::unexpected(std::string("unknown kind"));
}

std::expected<Bytes, std::string> parseHex(std::string_view text) {
    Bytes out;
    int pending = -1;
    for (const char c : text) {
        if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == ':') continue;
        int value = 0;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (c >= 'a' && c <= 'f')
            value = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            value = c - 'A' + 10;
        else
            return std::unexpected(fmt::format("invalid hex character '{}'", c));
        if (pending < 0) {
            pending = value;
        } else {
            out.push_back(static_cast<std::uint8_t>(pending * 16 + value));
            pending = -1;
        }
    }
    if (pending >= 0) return std::unexpected(std::string("odd number of hex digits"));
    return out;
}

std::string toHex(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const auto b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

} // namespace kiv::wire
