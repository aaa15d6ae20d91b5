#pragma once
// The control vocabulary between host and device, and its JSON form:
// {"<case>": {...}} with "_0" holding an unlabelled payload.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "KivProtocol/EnumText.hpp"
#include "KivProtocol/InputEvent.hpp"
#include "KivProtocol/KivConstants.hpp"
#include "KivProtocol/SessionSettings.hpp"
#include "KivProtocol/Stats.hpp"

namespace kiv {

enum class Orientation { landscape, portrait };
template <>
struct EnumTraits<Orientation> {
    static constexpr std::array<std::string_view, 2> names{"landscape", "portrait"};
};

enum class RejectReason {
    denied,
    busy,
    versionMismatch,
    invalidToken,
    notLocalNetwork,
    permissionMissing,
    internalError
};
template <>
struct EnumTraits<RejectReason> {
    static constexpr std::array<std::string_view, 7> names{
        "denied", "busy", "versionMismatch", "invalidToken", "notLocalNetwork", "permissionMissing", "internalError"};
};

enum class IDRReason {
    initial,
    decodeError,
    packetLoss,
    resolutionChange,
    foreground,
    reconnect,
    manual,
    awaitingKeyframe
};
template <>
struct EnumTraits<IDRReason> {
    static constexpr std::array<std::string_view, 8> names{"initial",          "decodeError",     "packetLoss",
                                                           "resolutionChange", "foreground",      "reconnect",
                                                           "manual",           "awaitingKeyframe"};
};

enum class QualityPreset { low, standard, high };
template <>
struct EnumTraits<QualityPreset> {
    static constexpr std::array<std::string_view, 3> names{"low", "standard", "high"};
};
std::int64_t bitrate(QualityPreset preset);

struct ScreenInfo {
    std::int64_t widthPixels = 0;
    std::int64_t heightPixels = 0;
    double scale = 1;
    Orientation orientation = Orientation::landscape;
    bool operator==(const ScreenInfo&) const = default;
};

struct Hello {
    std::int64_t protocolVersion = KivConstants::protocolVersion;
    std::string deviceID;
    std::string deviceName;
    std::string model;
    std::string systemVersion;
    ScreenInfo screen;
    std::optional<std::string> token;
    std::vector<std::string> codecs;
    std::optional<std::int64_t> recommendedFPS;
    std::optional<std::int64_t> decoderMBPerSecond;
    bool operator==(const Hello&) const = default;
};

struct DisplayModeInfo {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t fps = 0;
    std::string text() const; // 1920×1080@60
    bool operator==(const DisplayModeInfo&) const = default;
};

struct HostInfo {
    std::string hostID;
    std::string hostName;
    std::vector<std::string> addresses;
    std::uint16_t controlPort = KivConstants::defaultControlPort;
    std::int64_t protocolVersion = KivConstants::protocolVersion;
    bool operator==(const HostInfo&) const = default;
};

struct ConnectInfo {
    std::uint32_t sessionID = 0;
    std::uint64_t videoKey = 0;
    std::uint16_t videoPort = KivConstants::defaultVideoPort;
    std::string token;
    DisplayModeInfo mode;
    std::int64_t bitrate = 0;
    std::string codec = "h264";
    std::string hostName;
    SessionSettings settings;
    DisplayConfiguration configuration;
    std::optional<TransportKind> transport;
    std::optional<HostInfo> host;
    bool operator==(const ConnectInfo&) const = default;
};

struct PingInfo {
    std::uint64_t t0 = 0;
    bool operator==(const PingInfo&) const = default;
};

struct PongInfo {
    std::uint64_t t0 = 0;
    std::uint64_t t1 = 0;
    std::uint64_t t2 = 0;
    bool operator==(const PongInfo&) const = default;
};

// Cases without a payload type of their own.
struct PairingPending {
    bool operator==(const PairingPending&) const = default;
};
struct Disconnect {
    std::string reason;
    bool operator==(const Disconnect&) const = default;
};
struct ConfigApplying {
    std::optional<std::uint32_t> requestID;
    bool operator==(const ConfigApplying&) const = default;
};
struct RequestIDR {
    IDRReason reason = IDRReason::manual;
    bool operator==(const RequestIDR&) const = default;
};
struct Pause {
    bool operator==(const Pause&) const = default;
};
struct Resume {
    bool operator==(const Resume&) const = default;
};
struct StreamLimit {
    std::int64_t maxLong = 0;
    std::int64_t maxShort = 0;
    bool operator==(const StreamLimit&) const = default;
};

// One control message. The alternatives are in the wire's case order; `Case` names them.
struct ControlMessage {
    using Value = std::variant<Hello, PairingPending, ConnectInfo, RejectReason, Disconnect, ConfigChange,
                               ConfigApplying, ConfigApplied, PingInfo, PongInfo, RequestIDR, ScreenInfo, ClientStats,
                               Pause, Resume, StreamLimit, InputEvent, InputStatus, HostInfo, AudioStatus>;
    enum class Case {
        hello,
        pairingPending,
        connect,
        reject,
        disconnect,
        configChange,
        configApplying,
        configApplied,
        ping,
        pong,
        requestIDR,
        orientation,
        stats,
        pause,
        resume,
        streamLimit,
        input,
        inputStatus,
        hostInfo,
        audioStatus,
    };

    Value value;

    Case kind() const { return static_cast<Case>(value.index()); }
    std::string_view caseName() const;

    template <class T>
    const T* get() const {
        return std::get_if<T>(&value);
    }
    template <class T>
    bool is() const {
        return std::holds_alternative<T>(value);
    }

    bool operator==(const ControlMessage&) const = default;
};

template <>
struct EnumTraits<ControlMessage::Case> {
    static constexpr std::array<std::string_view, 20> names{
        "hello",         "pairingPending", "connect", "reject",      "disconnect",  "configChange", "configApplying",
        "configApplied", "ping",           "pong",    "requestIDR",  "orientation", "stats",        "pause",
        "resume",        "streamLimit",    "input",   "inputStatus", "hostInfo",    "audioStatus"};
};

// Why a document is not a control message (the framing layer reports it as `malformed`).
struct ControlMessageError {
    std::string message;
    bool operator==(const ControlMessageError&) const = default;
};

// Compact JSON. Fails only for a non-finite number in a payload.
std::expected<std::string, ControlMessageError> encodeControlMessage(const ControlMessage& message);
// Never throws; bounded nesting depth; unknown payload keys are ignored.
std::expected<ControlMessage, ControlMessageError> decodeControlMessage(std::string_view json);

// Deepest nesting of objects and arrays a decoder accepts; control messages need four.
inline constexpr int kMaxJsonDepth = 16;

// JSON for payloads that travel inside other documents (ConfigResult has its own one-key shape).
std::expected<std::string, ControlMessageError> encodeConfigResult(const ConfigResult& result);
std::expected<ConfigResult, ControlMessageError> decodeConfigResult(std::string_view json);
// SessionSettings as the application stores them (the same JSON as inside `connect`).
std::expected<std::string, ControlMessageError> encodeSessionSettings(const SessionSettings& settings);
std::expected<SessionSettings, ControlMessageError> decodeSessionSettings(std::string_view json);

} // namespace kiv
