#pragma once
// A usbmuxd stand-in on a unix socket of its own, speaking the real wire format: Listen with
// Attached/Detached events, ReadPairRecord with or without PairRecordData, and Connect answering
// 0 and then relaying bytes to a loopback TCP "device" port, or answering an error code.
// Point the host at it with KIV_USBMUXD_SOCKET. Runs on its own threads.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KivHostCore/Testing/TestProcess.hpp"

namespace kiv::test {

class FakeUsbmuxd {
public:
    struct DeviceScript {
        std::string serial;
        bool trusted = true;
        std::int64_t connectResult = 0; // 0: relay to devicePort
        std::uint16_t devicePort = 0;   // loopback TCP port of the "device app"
    };

    // On `path` when given (a stand-in started again where the last one was), else in a folder of its own.
    explicit FakeUsbmuxd(const std::string& path = {});
    ~FakeUsbmuxd();
    FakeUsbmuxd(const FakeUsbmuxd&) = delete;
    FakeUsbmuxd& operator=(const FakeUsbmuxd&) = delete;

    const std::string& socketPath() const { return path_; }

    void setDevice(std::int64_t deviceID, DeviceScript script);
    void attach(std::int64_t deviceID); // an Attached event to every listener
    void detach(std::int64_t deviceID);
    void setRefuseListen(bool refuse) { refuseListen_ = refuse; }
    int listenCount() const { return listens_; }
    std::vector<std::int64_t> connectPorts() const; // "PortNumber" values as sent (byte-swapped)

private:
    void acceptLoop();
    void serve(int fd);
    void relay(int client, int device);
    void sendEvent(const std::string& type, std::int64_t deviceID);

    TempDir dir_{"kiv-usbmuxd"};
    std::string path_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> refuseListen_{false};
    std::atomic<int> listens_{0};
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::map<std::int64_t, DeviceScript> devices_;
    std::vector<int> listeners_;
    std::vector<int> openFds_;
    std::vector<std::thread> workers_;
    std::vector<std::int64_t> connectPorts_;
};

} // namespace kiv::test
