#pragma once
// The device app's side of a USB link: listens on a TCP port (52012 by default) as the app does
// behind usbmuxd, accepts the host's tunnel, says hello and exchanges stream items (control, video,
// audio) on it. With the host's direct mode this makes any machine a USB device over loopback.
// After a link ends the port takes the host's next connection. Runs its own network thread;
// callbacks run there.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "KivProtocol/ControlMessage.hpp"
#include "KivProtocol/StreamFraming.hpp"

namespace kiv::receiver {

class UsbDeviceServer {
public:
    // port 0 picks a free port; loopbackOnly binds 127.0.0.1.
    UsbDeviceServer(Hello hello, std::uint16_t port = KivConstants::defaultUSBPort, bool loopbackOnly = true);
    ~UsbDeviceServer();
    UsbDeviceServer(const UsbDeviceServer&) = delete;
    UsbDeviceServer& operator=(const UsbDeviceServer&) = delete;

    std::function<void()> onHostConnected;
    std::function<void(const ControlMessage&)> onControl;
    std::function<void(const StreamVideoFrame&)> onVideo;
    std::function<void(const StreamAudioPacket&)> onAudio;
    std::function<void(const std::string& why)> onClosed;

    void start();
    void stop();
    std::uint16_t port() const; // the bound port
    // The hello said on the next link (a token learnt on this one, say).
    void setHello(Hello hello);
    // Ends the current link as a pulled cable would; the port then waits for the host again.
    void closeLink();
    // CPU time used by the server's network thread so far (microseconds; 0 before start).
    std::uint64_t threadCPUMicros() const;

    void send(const ControlMessage& message);
    void sendRaw(Bytes bytes);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv::receiver
