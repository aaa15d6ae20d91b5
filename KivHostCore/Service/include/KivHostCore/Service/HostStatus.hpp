#pragma once
// The published state of one device session, and what the user is asked about a new device.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "KivHostCore/Metrics/PerformanceMonitor.hpp"
#include "KivHostCore/Service/ApplyState.hpp"
#include "KivHostCore/Transport/USBDeviceStatus.hpp"
#include "KivProtocol/ControlMessage.hpp"

namespace kiv {

struct HostStatus {
    struct Service {
        enum class Kind { waitingForApproval, error, stopped, listening, streaming, paused };
        Kind kind = Kind::stopped;
        std::string text; // device name (waitingForApproval) or error text (error)

        static Service waitingForApproval(std::string device) { return {Kind::waitingForApproval, std::move(device)}; }
        static Service error(std::string message) { return {Kind::error, std::move(message)}; }
        static Service stopped() { return {Kind::stopped, {}}; }
        static Service listening() { return {Kind::listening, {}}; }
        static Service streaming() { return {Kind::streaming, {}}; }
        static Service paused() { return {Kind::paused, {}}; }
        bool operator==(const Service&) const = default;
    };

    struct TransportNote {
        enum class Kind { progress, success, failure };
        Kind kind = Kind::progress;
        std::string text;
        bool operator==(const TransportNote&) const = default;
    };

    Service service;
    std::optional<std::string> deviceID;
    std::optional<std::string> clientName;
    std::optional<std::string> clientModel;
    std::optional<std::string> clientAddress;
    std::optional<TransportKind> transport;
    std::optional<TransportNote> transportNote;
    std::optional<TransportMetrics> link;
    std::vector<USBDeviceStatus> usbDevices;
    std::optional<std::string> usbUnavailable;
    std::vector<std::string> hostAddresses;
    SessionSettings settings;
    std::optional<DisplayConfiguration> configuration;
    ApplyState configState;
    std::optional<std::uint32_t> displayID;
    HostMetrics host;
    std::optional<ClientStats> client;
    bool permissionGranted = true;
    InputStatus input;
    std::optional<std::int64_t> clientRecommendedFPS;
    std::optional<std::int64_t> clientDecoderMBPerSecond;
    std::optional<ScreenInfo> clientScreen;
    std::optional<double> drawnScale; // pixels per point the desktop draws the device's monitor with
    std::optional<AudioStatus> audio;

    bool operator==(const HostStatus&) const = default;
};

struct PeerRequest {
    std::string deviceID;
    std::string deviceName;
    std::string model;
    std::string address;
    bool operator==(const PeerRequest&) const = default;
};

} // namespace kiv
