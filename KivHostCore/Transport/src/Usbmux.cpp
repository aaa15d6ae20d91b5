#include "KivHostCore/Transport/Usbmux.hpp"

#include <cstdlib>

#include "KivHostCore/Runtime/OnceFlag.hpp"
#include "KivHostCore/Transport/PropertyList.hpp"

namespace kiv {

namespace Usbmux {

std::string socketPath() {
    const char* path = std::getenv("KIV_USBMUXD_SOCKET");
    return path != nullptr && path[0] != '\0' ? path : "/var/run/usbmuxd";
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
                                    done(decodeBody(body));
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
