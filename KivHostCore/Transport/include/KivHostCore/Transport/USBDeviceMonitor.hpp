#pragma once
// Keeps a live picture of cable-attached devices through usbmuxd: trust checks every 3 s while a
// device has not trusted the host, connect attempts every 2 s until the device app answers, one
// USBTransport per open tunnel. A direct mode replaces usbmuxd with a TCP connection to host:port
// (one simulated device), which is how the receiver acts as a USB device over loopback.
// Everything runs on its queue ("kiv.usb.monitor"); status goes to the main executor.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Platform/Network.hpp"
#include "KivHostCore/Transport/StreamLinkTransport.hpp"
#include "KivHostCore/Transport/Usbmux.hpp"

namespace kiv {

class USBDeviceMonitor : public std::enable_shared_from_this<USBDeviceMonitor> {
public:
    struct Direct {
        std::string host;
        std::uint16_t port = 0;
    };
    using Mode = std::optional<Direct>; // nothing: usbmuxd

    static constexpr Duration kFirstTick = std::chrono::milliseconds(200);
    static constexpr Duration kTickInterval = std::chrono::seconds(1);
    static constexpr Duration kTrustRecheck = std::chrono::seconds(3);
    static constexpr Duration kConnectRetry = std::chrono::seconds(2);
    static constexpr Duration kListenRetry = std::chrono::seconds(5);
    static constexpr Duration kListenLostRetry = std::chrono::seconds(1);

    static std::shared_ptr<USBDeviceMonitor> create(Mode mode, std::uint16_t port, UsbmuxService& usbmux,
                                                    NetworkFactory& network, Executor& queue, Executor& main);

    std::function<void(std::shared_ptr<USBTransport>)> onTransport; // on the monitor's queue
    std::function<void(const std::vector<USBDeviceStatus>&, const std::optional<std::string>&)> onStatus; // on main

    void start();
    void stop(); // synchronous: everything stopped and every USB link closed when it returns

    USBDeviceMonitor(Mode mode, std::uint16_t port, UsbmuxService& usbmux, NetworkFactory& network, Executor& queue,
                     Executor& main); // use create()

private:
    using State = USBDeviceStatus::State;
    struct Device {
        USBDeviceInfo info;
        State state = State::checking;
        std::shared_ptr<USBTransport> transport;
        bool connecting = false;
        std::optional<std::int64_t> lastResult;
        bool hadResult = false;
    };

    void listen();
    void readEvents(const std::shared_ptr<Connection>& connection);
    void handle(const UsbmuxEvent& event);
    void checkTrust(std::int64_t muxID);
    void trustAnswer(std::int64_t muxID, std::optional<bool> trusted);
    void tick();
    void connectDevice(std::int64_t muxID);
    void connected(std::int64_t muxID, std::shared_ptr<Connection> connection, std::optional<std::int64_t> code);
    void setServiceError(std::string error);
    void publish();
    template <class Fn>
    void onQueue(Fn&& fn) {
        postIfAlive(queue_, weak_from_this(), std::forward<Fn>(fn));
    }

    const Mode mode_;
    const std::uint16_t port_;
    UsbmuxService& usbmux_;
    NetworkFactory& network_;
    Executor& queue_;
    Executor& main_;
    KivLogger log_ = KivLog::logger("USB");
    // Queue-confined.
    std::shared_ptr<Connection> listenConnection_;
    std::map<std::int64_t, Device> devices_;
    ScopedTimer timer_;
    ScopedTimer retry_;
    bool stopped_ = true;
    std::optional<std::string> usbmuxError_;
    std::optional<std::pair<std::vector<USBDeviceStatus>, std::optional<std::string>>> lastPublished_;
    std::map<std::int64_t, MonotonicTime> lastTrustCheck_;
    std::map<std::int64_t, MonotonicTime> lastAttempt_;
};

} // namespace kiv
