#pragma once
// The client of usbmuxd, the service that reaches cable-attached devices: property-list requests
// behind a 16-byte little-endian header on a unix socket ("/var/run/usbmuxd", or the path in
// KIV_USBMUXD_SOCKET). After a successful Connect the socket is a tunnel to the device's port.
// Completions run on the queue given to each operation.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Platform/KeyValueStore.hpp"
#include "KivHostCore/Platform/Network.hpp"
#include "KivHostCore/Transport/USBDeviceStatus.hpp"
#include "KivHostCore/Transport/UsbmuxPackets.hpp"

namespace kiv {

namespace Usbmux {

inline constexpr Duration kOpenTimeout = std::chrono::seconds(3);
inline constexpr Duration kReplyTimeout = std::chrono::seconds(3); // a request's answer, after which it fails

std::string socketPath();

using Done = std::function<void(std::optional<StoredDictionary>)>;

void open(NetworkFactory& network, Executor& queue, std::function<void(std::shared_ptr<Connection>)> done);
void readPacket(const std::shared_ptr<Connection>& connection, Done done);
// Sends a request and reads its reply; nothing on any failure, or when no reply came within
// kReplyTimeout (the connection is then cancelled). `done` runs once, on `queue`.
void request(const std::shared_ptr<Connection>& connection, StoredDictionary dictionary, std::uint32_t tag,
             Executor& queue, Done done);
void isPaired(NetworkFactory& network, const std::string& udid, Executor& queue,
              std::function<void(std::optional<bool>)> done);
void connect(NetworkFactory& network, std::int64_t muxID, std::uint16_t port, Executor& queue,
             std::function<void(std::shared_ptr<Connection>, std::optional<std::int64_t>)> done);

} // namespace Usbmux

// What the USB device monitor needs from usbmuxd, as one port so its state machine can run
// against a scripted fake in virtual time.
class UsbmuxService {
public:
    enum class ListenResult { listening, unavailable, refused };
    virtual ~UsbmuxService() = default;
    // On success the connection carries events; read them with readEvent.
    virtual void listen(Executor& queue, std::function<void(ListenResult, std::shared_ptr<Connection>)> done) = 0;
    // Nothing when the service went away (the listen connection is lost).
    virtual void readEvent(const std::shared_ptr<Connection>& connection,
                           std::function<void(std::optional<UsbmuxEvent>)> done) = 0;
    virtual void isPaired(const std::string& udid, Executor& queue, std::function<void(std::optional<bool>)> done) = 0;
    virtual void connect(std::int64_t muxID, std::uint16_t port, Executor& queue,
                         std::function<void(std::shared_ptr<Connection>, std::optional<std::int64_t>)> done) = 0;
};

// The service as the usbmuxd daemon provides it, over its unix socket (Usbmux::socketPath).
class DaemonUsbmuxService final : public UsbmuxService {
public:
    explicit DaemonUsbmuxService(NetworkFactory& network) : network_(network) {}
    void listen(Executor& queue, std::function<void(ListenResult, std::shared_ptr<Connection>)> done) override;
    void readEvent(const std::shared_ptr<Connection>& connection,
                   std::function<void(std::optional<UsbmuxEvent>)> done) override;
    void isPaired(const std::string& udid, Executor& queue, std::function<void(std::optional<bool>)> done) override;
    void connect(std::int64_t muxID, std::uint16_t port, Executor& queue,
                 std::function<void(std::shared_ptr<Connection>, std::optional<std::int64_t>)> done) override;

private:
    NetworkFactory& network_;
};

} // namespace kiv
