#include "KivReceiver/UsbDeviceServer.hpp"

#include <array>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <deque>
#include <thread>

#include "KivProtocol/ControlFraming.hpp"
#include "ThreadCPU.hpp"

namespace kiv::receiver {

struct UsbDeviceServer::Impl : std::enable_shared_from_this<Impl> {
    Impl(UsbDeviceServer& owner, Hello helloMessage, std::uint16_t port, bool loopbackOnly)
        : server(owner), hello(std::move(helloMessage)), acceptor(io), socket(io) {
        const asio::ip::tcp::endpoint endpoint(loopbackOnly ? asio::ip::address(asio::ip::address_v4::loopback())
                                                            : asio::ip::address(asio::ip::address_v4::any()),
                                               port);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(asio::socket_base::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen();
        boundPort = acceptor.local_endpoint().port();
    }

    void accept() {
        acceptor.async_accept(socket, [self = shared_from_this()](const std::error_code& error) {
            if (error) return;
            self->linkOpen = true;
            std::error_code ignored;
            self->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
            if (self->server.onHostConnected) self->server.onHostConnected();
            if (auto frame = ControlFraming::encode(ControlMessage{self->hello})) self->write(std::move(*frame));
            self->read();
        });
    }

    void read() {
        socket.async_read_some(asio::buffer(buffer), [self = shared_from_this(),
                                                      link = generation](const std::error_code& error, std::size_t n) {
            if (link != self->generation) return;
            if (error) return self->closed(error == asio::error::eof ? "host closed the link" : error.message());
            auto items = self->decoder.append(ByteView(self->buffer.data(), n));
            if (!items) return self->closed("protocol error: " + items.error().text());
            for (const auto& item : *items) {
                if (const auto* control = std::get_if<ControlMessage>(&item.value)) {
                    if (self->server.onControl) self->server.onControl(*control);
                } else if (const auto* video = std::get_if<StreamVideoFrame>(&item.value)) {
                    if (self->server.onVideo) self->server.onVideo(*video);
                } else if (const auto* audio = std::get_if<StreamAudioPacket>(&item.value)) {
                    if (self->server.onAudio) self->server.onAudio(*audio);
                }
            }
            self->read();
        });
    }

    void write(Bytes bytes) {
        if (!linkOpen) return;
        writes.push_back(std::move(bytes));
        if (writes.size() == 1) writeNext();
    }

    void writeNext() {
        asio::async_write(socket, asio::buffer(writes.front()),
                          [self = shared_from_this(), link = generation](const std::error_code& error, std::size_t) {
                              if (link != self->generation) return; // a closed link's write; its queue is gone
                              self->writes.pop_front();
                              if (error) return self->closed("send failed: " + error.message());
                              if (!self->writes.empty()) self->writeNext();
                          });
    }

    // Like the app behind usbmuxd, the port takes the host's next connection once a link ends.
    void closed(const std::string& why) {
        if (!linkOpen) return;
        linkOpen = false;
        ++generation;
        writes.clear();
        decoder = StreamFrameDecoder{};
        std::error_code ignored;
        socket.close(ignored);
        if (stopped) return;
        if (server.onClosed) server.onClosed(why);
        socket = asio::ip::tcp::socket(io);
        accept();
    }

    UsbDeviceServer& server;
    Hello hello;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
    asio::ip::tcp::acceptor acceptor;
    asio::ip::tcp::socket socket;
    std::uint16_t boundPort = 0;
    std::array<std::uint8_t, 1 << 16> buffer{};
    StreamFrameDecoder decoder;
    std::deque<Bytes> writes;
    bool linkOpen = false;
    bool stopped = false;
    std::uint64_t generation = 0; // of the current link; handlers of an older one do nothing
    std::thread thread;
};

UsbDeviceServer::UsbDeviceServer(Hello hello, std::uint16_t port, bool loopbackOnly)
    : impl_(std::make_shared<Impl>(*this, std::move(hello), port, loopbackOnly)) {}

UsbDeviceServer::~UsbDeviceServer() {
    stop();
}

void UsbDeviceServer::start() {
    if (impl_->thread.joinable()) return;
    asio::post(impl_->io, [impl = impl_] { impl->accept(); });
    impl_->thread = std::thread([impl = impl_] { impl->io.run(); });
}

void UsbDeviceServer::stop() {
    if (!impl_->thread.joinable()) return;
    asio::post(impl_->io, [impl = impl_] {
        impl->stopped = true; // on purpose: no onClosed
        std::error_code ignored;
        impl->acceptor.close(ignored);
        impl->closed("stopped");
        impl->guard.reset();
    });
    impl_->thread.join();
}

std::uint16_t UsbDeviceServer::port() const {
    return impl_->boundPort;
}

void UsbDeviceServer::setHello(Hello hello) {
    asio::post(impl_->io, [impl = impl_, hello = std::move(hello)]() mutable { impl->hello = std::move(hello); });
}

void UsbDeviceServer::closeLink() {
    asio::post(impl_->io, [impl = impl_] { impl->closed("closed by this device"); });
}

std::uint64_t UsbDeviceServer::threadCPUMicros() const {
    return receiver::threadCPUMicros(impl_->thread);
}

void UsbDeviceServer::send(const ControlMessage& message) {
    asio::post(impl_->io, [impl = impl_, message] {
        if (auto frame = ControlFraming::encode(message)) impl->write(std::move(*frame));
    });
}

void UsbDeviceServer::sendRaw(Bytes bytes) {
    asio::post(impl_->io, [impl = impl_, bytes = std::move(bytes)]() mutable { impl->write(std::move(bytes)); });
}

} // namespace kiv::receiver
