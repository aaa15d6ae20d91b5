#include "KivHostCore/Transport/Usbmux.hpp"

#include <cstdlib>

#include "KivHostCore/Runtime/OnceFlag.hpp"
#include "KivHostCore/Transport/PropertyList.hpp"

namespace kiv {

namespace Usbmux {

namespace {
void appendLE32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::optional<std::int64_t> integer(const StoredDictionary& dictionary, const std::string& key) {
    const auto it = dictionary.find(key);
    if (it == dictionary.end()) return std::nullopt;
    if (const auto* value = std::get_if<std::int64_t>(&it->second.value)) return *value;
    return std::nullopt;
}

std::optional<std::string> text(const StoredDictionary& dictionary, const std::string& key) {
    const auto it = dictionary.find(key);
    if (it == dictionary.end() || !it->second.text()) return std::nullopt;
    return *it->second.text();
}
} // namespace

std::string socketPath() {
    const char* path = std::getenv("KIV_USBMUXD_SOCKET");
    return path != nullptr && path[0] != '\0' ? path : "/var/run/usbmuxd";
}

Bytes encode(StoredDictionary dictionary, std::uint32_t tag) {
    dictionary["ClientVersionString"] = StoredValue{std::string("KivDisplay")};
    dictionary["ProgName"] = StoredValue{std::string("KivDisplay")};
    dictionary["kLibUSBMuxVersion"] = StoredValue{std::int64_t{3}};
    const auto payload = PropertyList::encodeXML(dictionary).value_or(Bytes{});
    Bytes packet;
    packet.reserve(kHeaderSize + payload.size());
    appendLE32(packet, static_cast<std::uint32_t>(payload.size() + kHeaderSize));
    appendLE32(packet, 1);
    appendLE32(packet, 8);
    appendLE32(packet, tag);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

std::optional<std::uint32_t> packetLength(ByteView header) {
    if (header.size() < 4) return std::nullopt;
    const std::uint32_t length = std::uint32_t{header[0]} | std::uint32_t{header[1]} << 8 |
                                 std::uint32_t{header[2]} << 16 | std::uint32_t{header[3]} << 24;
    if (length < kHeaderSize || length >= kMaxPacket) return std::nullopt;
    return length;
}

UsbmuxEvent event(const StoredDictionary& dictionary) {
    const auto type = text(dictionary, "MessageType");
    if (type == "Detached") {
        if (const auto id = integer(dictionary, "DeviceID")) return UsbmuxEvent{UsbmuxEvent::Kind::detached, {}, *id};
        return {};
    }
    if (type != "Attached") return {};
    const auto properties = dictionary.find("Properties");
    if (properties == dictionary.end() || !properties->second.dictionary()) return {};
    const auto& props = *properties->second.dictionary();
    if (text(props, "ConnectionType") != "USB") return {};
    const auto serial = text(props, "SerialNumber");
    auto id = integer(dictionary, "DeviceID");
    if (!id) id = integer(props, "DeviceID");
    if (!serial || !id) return {};
    return UsbmuxEvent{UsbmuxEvent::Kind::attached, USBDeviceInfo{*id, *serial, integer(props, "ProductID")}, 0};
}

std::uint16_t swappedPort(std::uint16_t port) {
    return static_cast<std::uint16_t>((port >> 8) | (port << 8));
}

void open(NetworkFactory& network, Executor& queue, std::function<void(std::shared_ptr<Connection>)> done) {
    startWithin(network.makeUnixConnection(socketPath()), queue, kOpenTimeout, std::move(done));
}

void readPacket(const std::shared_ptr<Connection>& connection, Done done) {
    connection->receive(kHeaderSize, kHeaderSize,
                        [connection, done = std::move(done)](Bytes header, bool, const NetworkError& error) mutable {
                            if (error || header.size() < kHeaderSize) return done(std::nullopt);
                            const auto length = packetLength(header);
                            if (!length) return done(std::nullopt);
                            if (*length == kHeaderSize) return done(StoredDictionary{});
                            const std::size_t payload = *length - kHeaderSize;
                            connection->receive(
                                payload, payload,
                                [done = std::move(done), payload](Bytes body, bool, const NetworkError& bodyError) {
                                    if (bodyError || body.size() != payload) return done(std::nullopt);
                                    auto parsed = PropertyList::decode(body);
                                    if (!parsed || !parsed->dictionary()) return done(std::nullopt);
                                    done(*parsed->dictionary());
                                });
                        });
}

void request(const std::shared_ptr<Connection>& connection, StoredDictionary dictionary, std::uint32_t tag,
             Executor& queue, Done done) {
    // A service that takes the request and never answers must not leave the caller waiting for good.
    auto once = std::make_shared<OnceFlag>();
    auto finish = std::make_shared<Done>(std::move(done));
    queue.postAfter(kReplyTimeout, [connection, once, finish] {
        if (!once->tryClaim()) return;
        connection->cancel();
        (*finish)(std::nullopt);
    });
    connection->send(encode(std::move(dictionary), tag), [connection, once, finish](const NetworkError& error) {
        if (error) {
            if (once->tryClaim()) (*finish)(std::nullopt);
            return;
        }
        readPacket(connection, [once, finish](std::optional<StoredDictionary> reply) {
            if (once->tryClaim()) (*finish)(std::move(reply));
        });
    });
}

void isPaired(NetworkFactory& network, const std::string& udid, Executor& queue,
              std::function<void(std::optional<bool>)> done) {
    open(network, queue, [udid, &queue, done = std::move(done)](std::shared_ptr<Connection> connection) mutable {
        if (!connection) return done(std::nullopt);
        StoredDictionary ask{{"MessageType", StoredValue{std::string("ReadPairRecord")}},
                             {"PairRecordID", StoredValue{udid}}};
        request(connection, std::move(ask), kTagReadPairRecord, queue,
                [connection, done = std::move(done)](std::optional<StoredDictionary> reply) {
                    connection->cancel(); // used for this one question
                    if (!reply) return done(std::nullopt);
                    const auto it = reply->find("PairRecordData");
                    done(it != reply->end() && std::holds_alternative<Bytes>(it->second.value));
                });
    });
}

void connect(NetworkFactory& network, std::int64_t muxID, std::uint16_t port, Executor& queue,
             std::function<void(std::shared_ptr<Connection>, std::optional<std::int64_t>)> done) {
    open(network, queue, [muxID, port, &queue, done = std::move(done)](std::shared_ptr<Connection> connection) mutable {
        if (!connection) return done(nullptr, std::nullopt);
        StoredDictionary ask{{"MessageType", StoredValue{std::string("Connect")}},
                             {"DeviceID", StoredValue{muxID}},
                             {"PortNumber", StoredValue{std::int64_t{swappedPort(port)}}}};
        request(connection, std::move(ask), kTagConnect, queue,
                [connection, done = std::move(done)](std::optional<StoredDictionary> reply) {
                    const auto number = reply ? integer(*reply, "Number") : std::nullopt;
                    if (number == 0) return done(connection, 0); // now the tunnel; handed over as it is
                    connection->cancel();
                    done(nullptr, number);
                });
    });
}

} // namespace Usbmux

void DaemonUsbmuxService::listen(Executor& queue, std::function<void(ListenResult, std::shared_ptr<Connection>)> done) {
    Usbmux::open(network_, queue, [&queue, done = std::move(done)](std::shared_ptr<Connection> connection) mutable {
        if (!connection) return done(ListenResult::unavailable, nullptr);
        StoredDictionary ask{{"MessageType", StoredValue{std::string("Listen")}}};
        Usbmux::request(connection, std::move(ask), Usbmux::kTagListen, queue,
                        [connection, done = std::move(done)](std::optional<StoredDictionary> reply) {
                            const auto number = reply ? reply->find("Number") : StoredDictionary::const_iterator{};
                            const bool accepted =
                                reply && number != reply->end() && number->second == StoredValue{std::int64_t{0}};
                            if (!accepted) {
                                connection->cancel();
                                return done(ListenResult::refused, nullptr);
                            }
                            done(ListenResult::listening, connection);
                        });
    });
}

void DaemonUsbmuxService::readEvent(const std::shared_ptr<Connection>& connection,
                                    std::function<void(std::optional<UsbmuxEvent>)> done) {
    Usbmux::readPacket(connection, [done = std::move(done)](std::optional<StoredDictionary> packet) {
        if (!packet) return done(std::nullopt);
        done(Usbmux::event(*packet));
    });
}

void DaemonUsbmuxService::isPaired(const std::string& udid, Executor& queue,
                                   std::function<void(std::optional<bool>)> done) {
    Usbmux::isPaired(network_, udid, queue, std::move(done));
}

void DaemonUsbmuxService::connect(std::int64_t muxID, std::uint16_t port, Executor& queue,
                                  std::function<void(std::shared_ptr<Connection>, std::optional<std::int64_t>)> done) {
    Usbmux::connect(network_, muxID, port, queue, std::move(done));
}

} // namespace kiv
