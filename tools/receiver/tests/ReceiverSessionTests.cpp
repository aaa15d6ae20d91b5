// The receiver's session against a host played by the test over loopback: what its window says
// while the host's user is being asked.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <thread>

#include "KivProtocol/ControlFraming.hpp"
#include "ReceiverSession.hpp"

namespace {

using namespace kiv;
using namespace kiv::receiver;
using namespace std::chrono_literals;

bool waitFor(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

TEST(ReceiverSession, TheWindowSaysItWaitsForApprovalWhileTheHostAsks) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);

    const auto folder = std::filesystem::temp_directory_path() / ("kiv-receiver-session-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    DeviceIdentity identity(folder / "receiver.json");
    SessionOptions options;
    options.host = "127.0.0.1";
    options.port = ntohs(address.sin_port);
    options.playSound = false;
    options.hardwareDecoding = false;
    options.hello.deviceName = "Test";
    ReceiverSession session(options, identity);
    session.onLine = [](const std::string&) {};
    std::thread running([&] { session.run(120s); });

    const int link = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(link, 0);
    EXPECT_EQ(session.linkNotice(), "Connecting to 127.0.0.1:" + std::to_string(options.port) + "…");
    const auto pending = *ControlFraming::encode({PairingPending{}});
    ASSERT_EQ(::send(link, pending.data(), pending.size(), MSG_NOSIGNAL), static_cast<ssize_t>(pending.size()));
    EXPECT_TRUE(waitFor([&] { return session.linkNotice() == "Waiting for approval on 127.0.0.1…"; }))
        << session.linkNotice();

    session.stop();
    running.join();
    ::close(link);
    ::close(listener);
    std::filesystem::remove_all(folder);
}

} // namespace
