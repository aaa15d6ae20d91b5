#pragma once
// Owns the UDP video port: matches each device flow to the Wi-Fi link whose video identity its
// keepalives carry, drops flows that never identify themselves (3 s), and detaches links whose
// keepalives stop (watchdog every 1 s, 5 s timeout). Everything runs on its queue ("kiv.udp").
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Platform/Network.hpp"

namespace kiv {

class WiFiTransport;

class UDPVideoListener : public std::enable_shared_from_this<UDPVideoListener> {
public:
    static constexpr Duration kAdoptTimeout = std::chrono::seconds(3);
    static constexpr Duration kWatchdogInterval = std::chrono::seconds(1);
    static constexpr Duration kKeepaliveTimeout = std::chrono::seconds(5);

    static std::shared_ptr<UDPVideoListener> create(NetworkFactory& network, Executor& queue, ListenerOptions options);

    std::expected<void, std::string> start();
    void stop();
    std::uint16_t port() const; // bound port once started, else the configured one

    // Written by the links: beginVideo enters (or replaces) the link's identity, endVideo removes it.
    void registerLink(const std::shared_ptr<WiFiTransport>& link, std::uint32_t sessionID, std::uint64_t key);
    void unregisterLink(const std::string& linkID);
    std::size_t registrationCount() const;

    UDPVideoListener(NetworkFactory& network, Executor& queue, ListenerOptions options); // use create()

private:
    struct Registration {
        std::shared_ptr<WiFiTransport> link;
        std::uint32_t sessionID;
        std::uint64_t key;
    };

    void accept(const std::shared_ptr<DatagramFlow>& flow);
    void receive(const std::shared_ptr<DatagramFlow>& flow);
    void checkAdopted(const std::shared_ptr<DatagramFlow>& flow);
    void watchdog();

    NetworkFactory& network_;
    Executor& queue_;
    const ListenerOptions options_;
    KivLogger log_ = KivLog::logger("Transport");
    std::shared_ptr<DatagramListener> listener_;
    ScopedTimer watchdogTimer_;
    mutable std::mutex mutex_;
    std::map<std::string, Registration> registrations_;
};

} // namespace kiv
