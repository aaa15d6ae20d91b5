#include "KivProtocol/ControlMessage.hpp"

#include <fmt/format.h>

#include "JsonCodec.hpp"
#include "ProtocolFields.hpp"

namespace kiv {

using json::Json;
using json::JsonNode;
using json::JsonTree;

namespace {

constexpr std::string_view kInvalidKeyCount = "Invalid number of keys found, expected one.";

// Payloads written as {"_0": payload}; the other alternatives are labelled or empty cases.
template <class T>
constexpr bool kUnlabelled =
    !std::is_same_v<T, PairingPending> && !std::is_same_v<T, Pause> && !std::is_same_v<T, Resume> &&
    !std::is_same_v<T, Disconnect> && !std::is_same_v<T, ConfigApplying> && !std::is_same_v<T, RequestIDR> &&
    !std::is_same_v<T, StreamLimit>;

template <class T>
Json writeCase(const T& payload) {
    if constexpr (kUnlabelled<T>) {
        Json object = Json::object();
        object["_0"] = json::writeValue(payload);
        return object;
    } else {
        return json::writeValue(payload);
    }
}

template <class T>
T readCase(const JsonNode& body) {
    if (!body.isObject()) json::fail("case value is not an object");
    T payload{};
    if constexpr (kUnlabelled<T>) {
        const auto member = body.find("_0");
        if (!member) json::fail("missing key _0");
        json::readValue(*member, payload, "_0");
    } else {
        json::readValue(body, payload, "");
    }
    return payload;
}

template <std::size_t I = 0>
ControlMessage::Value readAlternative(std::size_t index, const JsonNode& body) {
    if constexpr (I < std::variant_size_v<ControlMessage::Value>) {
        if (index == I)
            return ControlMessage::Value{std::in_place_index<I>,
                                         readCase<std::variant_alternative_t<I, ControlMessage::Value>>(body)};
        return readAlternative<I + 1>(index, body);
    } else {
        json::fail("unknown case");
    }
}

JsonNode onlyEntry(const JsonNode& document, std::string& key) {
    if (!document.isObject()) json::fail("expected an object");
    if (document.size() != 1) json::fail(std::string(kInvalidKeyCount));
    const JsonNode entry = *document.begin();
    key = std::string(entry.key());
    return entry;
}

} // namespace

void readConfigResult(const JsonNode& j, ConfigResult& out) {
    std::string key;
    const JsonNode body = onlyEntry(j, key);
    if (!body.isObject()) json::fail("case value is not an object");
    if (key == "ok") {
        out = ConfigResult::ok();
        return;
    }
    if (key == "failed") {
        ConfigResult::Failed failed;
        json::Reader reader(body);
        reader("message", failed.message);
        out = ConfigResult{std::move(failed)};
        return;
    }
    json::fail("unknown case " + key);
}

Json writeConfigResult(const ConfigResult& result) {
    Json object = Json::object();
    if (const auto* failed = std::get_if<ConfigResult::Failed>(&result.value)) {
        object["failed"] = Json{{"message", failed->message}};
    } else {
        object["ok"] = Json::object();
    }
    return object;
}

std::int64_t bitrate(QualityPreset preset) {
    switch (preset) {
    case QualityPreset::low: return 3'000'000;
    case QualityPreset::standard: return 6'000'000;
    case QualityPreset::high: return 10'000'000;
    }
    return 0;
}

std::string DisplayModeInfo::text() const {
    return fmt::format("{}×{}@{}", width, height, fps);
}

std::string_view ControlMessage::caseName() const {
    return toText(kind());
}

std::expected<std::string, ControlMessageError> encodeControlMessage(const ControlMessage& message) {
    Json document = Json::object();
    document[std::string(message.caseName())] =
        std::visit([](const auto& payload) { return writeCase(payload); }, message.value);
    if (!json::allNumbersFinite(document)) {
        return std::unexpected(ControlMessageError{"non-finite number in " + std::string(message.caseName())});
    }
    return json::dump(document);
}

std::expected<ControlMessage, ControlMessageError> decodeControlMessage(std::string_view text) {
    const auto document = JsonTree::parse(text, kMaxJsonDepth);
    if (!document) return std::unexpected(ControlMessageError{"not a JSON document"});
    try {
        std::string key;
        const JsonNode body = onlyEntry(document->root(), key);
        const auto which = fromText<ControlMessage::Case>(key);
        if (!which) return std::unexpected(ControlMessageError{"unknown message " + key});
        return ControlMessage{readAlternative(static_cast<std::size_t>(*which), body)};
    } catch (const json::DecodeError& error) {
        return std::unexpected(ControlMessageError{error.message});
    } catch (const std::exception& error) {
        // nlohmann reports type mix-ups by exception; they are malformed input like any other.
        return std::unexpected(ControlMessageError{error.what()});
    }
}

std::expected<std::string, ControlMessageError> encodeConfigResult(const ConfigResult& result) {
    return json::dump(writeConfigResult(result));
}

std::expected<ConfigResult, ControlMessageError> decodeConfigResult(std::string_view text) {
    const auto document = JsonTree::parse(text, kMaxJsonDepth);
    if (!document) return std::unexpected(ControlMessageError{"not a JSON document"});
    try {
        ConfigResult result;
        readConfigResult(document->root(), result);
        return result;
    } catch (const json::DecodeError& error) {
        return std::unexpected(ControlMessageError{error.message});
    } catch (const std::exception& error) {
        return std::unexpected(ControlMessageError{error.what()});
    }
}

std::expected<std::string, ControlMessageError> encodeSessionSettings(const SessionSettings& settings) {
    return json::dump(json::writeValue(settings));
}

std::expected<SessionSettings, ControlMessageError> decodeSessionSettings(std::string_view text) {
    const auto document = JsonTree::parse(text, kMaxJsonDepth);
    if (!document) return std::unexpected(ControlMessageError{"not a JSON document"});
    try {
        SessionSettings settings;
        json::readValue(document->root(), settings, "");
        return settings;
    } catch (const json::DecodeError& error) {
        return std::unexpected(ControlMessageError{error.message});
    } catch (const std::exception& error) {
        return std::unexpected(ControlMessageError{error.what()});
    }
}

} // namespace kiv
