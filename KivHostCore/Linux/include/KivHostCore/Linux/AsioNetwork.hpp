#pragma once
// The network ports on Asio: TCP listeners and connections, and a UDP socket per listener whose
// datagrams are split into one flow per remote endpoint. Socket work runs on a strand per object
// on the given io_context; handlers are posted to the queue each object was started on.
#include <memory>

#include "KivHostCore/Platform/Network.hpp"

namespace asio {
class io_context;
}

namespace kiv {

class AsioNetworkFactory final : public NetworkFactory {
public:
    AsioNetworkFactory(); // on the network thread (WorkerPool::io)
    explicit AsioNetworkFactory(asio::io_context& io);

    std::expected<std::shared_ptr<StreamListener>, std::string>
    makeStreamListener(const ListenerOptions& options) override;
    std::expected<std::shared_ptr<DatagramListener>, std::string>
    makeDatagramListener(const ListenerOptions& options) override;
    std::shared_ptr<Connection> makeTcpConnection(const std::string& host, std::uint16_t port) override;
    std::shared_ptr<Connection> makeUnixConnection(const std::string& path) override;

private:
    asio::io_context& io_;
};

} // namespace kiv
