#include "KivHostCore/Testing/FakeUsbmuxd.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include "KivHostCore/Transport/PropertyList.hpp"
#include "KivHostCore/Transport/Usbmux.hpp"

namespace kiv::test {

namespace {

bool readExact(int fd, std::uint8_t* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const auto r = ::read(fd, out + got, n - got);
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t n) {
    std::size_t sent = 0;
    while (sent < n) {
        const auto w = ::send(fd, data + sent, n - sent, MSG_NOSIGNAL);
        if (w <= 0) return false;
        sent += static_cast<std::size_t>(w);
    }
    return true;
}

std::optional<StoredDictionary> readPacket(int fd, std::uint32_t& tag) {
    std::uint8_t header[16];
    if (!readExact(fd, header, 16)) return std::nullopt;
    const auto length = Usbmux::packetLength(ByteView(header, 16));
    if (!length) return std::nullopt;
    tag = std::uint32_t{header[12]} | std::uint32_t{header[13]} << 8 | std::uint32_t{header[14]} << 16 |
          std::uint32_t{header[15]} << 24;
    Bytes body(*length - 16);
    if (!readExact(fd, body.data(), body.size())) return std::nullopt;
    auto parsed = PropertyList::decode(body);
    if (!parsed || !parsed->dictionary()) return std::nullopt;
    return *parsed->dictionary();
}

// Replies carry no fixed client keys: strip what encode() adds by building the packet by hand.
bool writeReply(int fd, const StoredDictionary& dictionary, std::uint32_t tag) {
    const auto body = PropertyList::encodeXML(dictionary).value_or(Bytes{});
    Bytes packet;
    const auto put = [&](std::uint32_t v) {
        for (int s = 0; s < 32; s += 8)
            packet.push_back(static_cast<std::uint8_t>(v >> s));
    };
    put(static_cast<std::uint32_t>(body.size() + 16));
    put(1);
    put(8);
    put(tag);
    packet.insert(packet.end(), body.begin(), body.end());
    return writeAll(fd, packet.data(), packet.size());
}

StoredDictionary result(std::int64_t number) {
    return {{"MessageType", StoredValue{std::string("Result")}}, {"Number", StoredValue{number}}};
}

} // namespace

FakeUsbmuxd::FakeUsbmuxd(const std::string& path) : path_(path.empty() ? (dir_.path() / "usbmuxd").string() : path) {
    ::unlink(path_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 16) != 0) {
        throw std::runtime_error("FakeUsbmuxd: cannot listen on " + path_);
    }
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeUsbmuxd::~FakeUsbmuxd() {
    stopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    ::close(listenFd_);
    acceptThread_.join();
    {
        const std::lock_guard lock(mutex_);
        for (const int fd : openFds_)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& worker : workers_)
        worker.join();
    const std::lock_guard lock(mutex_);
    for (const int fd : openFds_)
        ::close(fd);
}

void FakeUsbmuxd::setDevice(std::int64_t deviceID, DeviceScript script) {
    const std::lock_guard lock(mutex_);
    devices_[deviceID] = std::move(script);
}

std::vector<std::int64_t> FakeUsbmuxd::connectPorts() const {
    const std::lock_guard lock(mutex_);
    return connectPorts_;
}

void FakeUsbmuxd::acceptLoop() {
    while (!stopping_) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        const std::lock_guard lock(mutex_);
        openFds_.push_back(fd);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void FakeUsbmuxd::sendEvent(const std::string& type, std::int64_t deviceID) {
    StoredDictionary event{{"MessageType", StoredValue{type}}, {"DeviceID", StoredValue{deviceID}}};
    {
        const std::lock_guard lock(mutex_);
        if (type == "Attached") {
            const auto& script = devices_.at(deviceID);
            event["Properties"] = StoredValue{StoredDictionary{{"ConnectionType", StoredValue{std::string("USB")}},
                                                               {"SerialNumber", StoredValue{script.serial}},
                                                               {"ProductID", StoredValue{std::int64_t{0x12AB}}},
                                                               {"DeviceID", StoredValue{deviceID}}}};
        }
        // Written under the lock so an event never interleaves with a Listen reply.
        for (const int fd : listeners_)
            writeReply(fd, event, 0);
    }
}

void FakeUsbmuxd::attach(std::int64_t deviceID) {
    sendEvent("Attached", deviceID);
}
void FakeUsbmuxd::detach(std::int64_t deviceID) {
    sendEvent("Detached", deviceID);
}

void FakeUsbmuxd::serve(int fd) {
    std::uint32_t tag = 0;
    const auto request = readPacket(fd, tag);
    if (!request) return;
    const auto type = request->count("MessageType") ? *request->at("MessageType").text() : std::string();
    if (type == "Listen") {
        {
            // Registered before the reply goes out: a client that has its answer gets every later event.
            const std::lock_guard lock(mutex_);
            if (!refuseListen_) listeners_.push_back(fd);
            writeReply(fd, result(refuseListen_ ? 1 : 0), tag);
            ++listens_;
        }
        if (refuseListen_) return;
        char sink[64];
        while (::read(fd, sink, sizeof sink) > 0) {
        } // events go out from attach()/detach() until the client leaves
        const std::lock_guard lock(mutex_);
        std::erase(listeners_, fd);
        return;
    }
    if (type == "ReadPairRecord") {
        const auto udid = request->count("PairRecordID") ? *request->at("PairRecordID").text() : std::string();
        bool trusted = false;
        {
            const std::lock_guard lock(mutex_);
            for (const auto& [id, script] : devices_)
                trusted = trusted || (script.serial == udid && script.trusted);
        }
        if (trusted) {
            writeReply(fd, {{"PairRecordData", StoredValue{Bytes{1, 2, 3, 4}}}}, tag);
        } else {
            writeReply(fd, result(2), tag);
        }
        return;
    }
    if (type == "Connect") {
        const auto id = std::get<std::int64_t>(request->at("DeviceID").value);
        const auto swapped = std::get<std::int64_t>(request->at("PortNumber").value);
        DeviceScript script;
        {
            const std::lock_guard lock(mutex_);
            connectPorts_.push_back(swapped);
            const auto it = devices_.find(id);
            if (it == devices_.end()) {
                writeReply(fd, result(2), tag);
                return;
            }
            script = it->second;
        }
        if (script.connectResult != 0) {
            writeReply(fd, result(script.connectResult), tag);
            return;
        }
        const int device = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(script.devicePort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(device, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(device);
            writeReply(fd, result(3), tag); // the app is not listening
            return;
        }
        writeReply(fd, result(0), tag);
        relay(fd, device);
        ::close(device);
        return;
    }
    writeReply(fd, result(1), tag);
}

void FakeUsbmuxd::relay(int client, int device) {
    pollfd fds[2] = {{client, POLLIN, 0}, {device, POLLIN, 0}};
    std::uint8_t buffer[65536];
    while (!stopping_) {
        if (::poll(fds, 2, 200) < 0) return;
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const auto n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0 || !writeAll(fds[1 - i].fd, buffer, static_cast<std::size_t>(n))) {
                ::shutdown(fds[1 - i].fd, SHUT_RDWR);
                return;
            }
        }
    }
}

} // namespace kiv::test
