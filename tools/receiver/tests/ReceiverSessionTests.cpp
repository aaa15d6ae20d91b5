// The receiver's session against a host played by the test over loopback: what its window says
// while the host's user is being asked.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <thread>

#include "KivProtocol/ControlFraming.hpp"
#include "KivProtocol/VideoPacket.hpp"
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

// TCP reaches the host but its video datagrams never come (UDP blocked by a firewall): the window
// says so instead of staying black without a word, and the notice goes with the first datagram.
TEST(ReceiverSession, AWiFiLinkWithoutVideoSaysUdpMayBeBlockedUntilADatagramComes) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int video = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::bind(video, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const auto controlPort = ntohs(address.sin_port);
    ASSERT_EQ(::getsockname(video, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const auto videoPort = ntohs(address.sin_port);
    ASSERT_EQ(::listen(listener, 1), 0);

    const auto folder = std::filesystem::temp_directory_path() / ("kiv-receiver-novideo-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    DeviceIdentity identity(folder / "receiver.json");
    SessionOptions options;
    options.port = controlPort;
    options.playSound = false;
    options.hardwareDecoding = false;
    options.noVideoAfter = 300ms;
    ReceiverSession session(options, identity);
    std::vector<std::string> said;
    std::mutex saying;
    session.onLine = [&](const std::string& line) {
        const std::lock_guard lock(saying);
        said.push_back(line);
    };
    std::thread running([&] { session.run(120s); });

    const int link = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(link, 0);
    ConnectInfo info;
    info.sessionID = 77;
    info.videoKey = 0x1234;
    info.videoPort = videoPort;
    info.mode = {1280, 800, 60};
    info.hostName = "Fake host";
    const auto connect = *ControlFraming::encode({info});
    ASSERT_EQ(::send(link, connect.data(), connect.size(), MSG_NOSIGNAL), static_cast<ssize_t>(connect.size()));
    const std::string notice = "No picture over Wi-Fi yet: the host's screen may be asleep, or UDP port " +
                               std::to_string(videoPort) + " of 127.0.0.1 blocked (its firewall, or this network)";
    EXPECT_TRUE(waitFor([&] { return session.linkNotice() == notice; })) << session.linkNotice();

    // The device's keepalives do arrive here; a datagram back is video getting through.
    std::array<std::uint8_t, 64> keepalive{};
    sockaddr_in device{};
    socklen_t deviceLength = sizeof device;
    ASSERT_GT(
        ::recvfrom(video, keepalive.data(), keepalive.size(), 0, reinterpret_cast<sockaddr*>(&device), &deviceLength),
        0);
    FramePacketizer packetizer(info.sessionID);
    const auto datagrams = packetizer.packetize(EncodedFrame{Bytes(100, 0), false, 0});
    for (const auto datagram : datagrams)
        ::sendto(video, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&device), deviceLength);
    EXPECT_TRUE(waitFor([&] { return session.linkNotice().empty(); })) << session.linkNotice();
    {
        const std::lock_guard lock(saying);
        EXPECT_EQ(std::count(said.begin(), said.end(), notice), 1) << "said once";
    }

    session.stop();
    running.join();
    ::close(link);
    ::close(video);
    ::close(listener);
    std::filesystem::remove_all(folder);
}

} // namespace

namespace {

TEST(ReceiverSession, AClientMadeForAReconnectCountsItsFiguresFromZeroNotFromTheLostOnes) {
    ReceiverStats before;
    before.framesReceived = 900;
    before.bytesReceived = 4'000'000;
    before.packetsExpected = 5000;
    before.packetsReceived = 4990;
    ReceiverStats now = before;
    now.framesReceived += 30;
    now.bytesReceived += 125'000;
    now.packetsExpected += 100;
    now.packetsReceived += 99;
    auto steady = ReceiverSession::wifiInterval(now, before);
    EXPECT_DOUBLE_EQ(steady.receiveFPS, 30);
    EXPECT_DOUBLE_EQ(steady.bitrateKbps, 1000);
    EXPECT_DOUBLE_EQ(steady.packetLoss, 0.01);

    // The link was lost: the new client has seen nothing yet, then its first second.
    const auto idle = ReceiverSession::wifiInterval(ReceiverStats{}, now);
    EXPECT_DOUBLE_EQ(idle.receiveFPS, 0);
    EXPECT_DOUBLE_EQ(idle.bitrateKbps, 0);
    EXPECT_DOUBLE_EQ(idle.packetLoss, 0);
    ReceiverStats fresh;
    fresh.framesReceived = 12;
    fresh.bytesReceived = 62'500;
    fresh.packetsExpected = 40;
    fresh.packetsReceived = 40;
    const auto first = ReceiverSession::wifiInterval(fresh, now);
    EXPECT_DOUBLE_EQ(first.receiveFPS, 12);
    EXPECT_DOUBLE_EQ(first.bitrateKbps, 500);
    EXPECT_DOUBLE_EQ(first.packetLoss, 0);
}

} // namespace
