#include "KivHostCore/Linux/AsioNetwork.hpp"

#include "AsioPorts.hpp"
#include "KivHostCore/Runtime/WorkerPool.hpp"

namespace kiv {

AsioNetworkFactory::AsioNetworkFactory() : io_(WorkerPool::io().context()) {}

AsioNetworkFactory::AsioNetworkFactory(asio::io_context& io) : io_(io) {}

std::expected<std::shared_ptr<StreamListener>, std::string>
AsioNetworkFactory::makeStreamListener(const ListenerOptions& options) {
    return asio_ports::openTcpListener(io_, options);
}

std::expected<std::shared_ptr<DatagramListener>, std::string>
AsioNetworkFactory::makeDatagramListener(const ListenerOptions& options) {
    return asio_ports::openUdpListener(io_, options);
}

std::shared_ptr<Connection> AsioNetworkFactory::makeTcpConnection(const std::string& host, std::uint16_t port) {
    return asio_ports::outgoingTcpConnection(io_, host, port);
}

std::shared_ptr<Connection> AsioNetworkFactory::makeUnixConnection(const std::string& path) {
    return asio_ports::outgoingUnixConnection(io_, path);
}

} // namespace kiv
