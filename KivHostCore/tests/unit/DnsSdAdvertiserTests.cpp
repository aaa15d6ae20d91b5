#include <gtest/gtest.h>

#include "KivHostCore/Linux/LinuxMachineInfo.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Transport/DnsSdAdvertiser.hpp"
#include "KivHostCore/Transport/DnsSdDiscovery.hpp"
#include "KivProtocol/LocalNetwork.hpp"

using namespace kiv;

namespace {

class FakeRegistrar : public ServiceRegistrar {
public:
    std::int32_t registerService(const std::string& name, const std::string& type, std::uint16_t port, const Bytes& txt,
                                 Executor&, Reply reply) override {
        ++registrations;
        lastName = name;
        lastType = type;
        lastPort = port;
        lastTXT = txt;
        if (immediateError != 0) return immediateError;
        registered = true;
        pending = std::move(reply);
        return 0;
    }
    void unregister() override { registered = false; }
    bool isRegistered() const override { return registered; }

    int registrations = 0;
    bool registered = false;
    std::int32_t immediateError = 0;
    std::string lastName, lastType;
    std::uint16_t lastPort = 0;
    Bytes lastTXT;
    Reply pending;
};

} // namespace

TEST(DnsSdDiscovery, TxtRecordIsSortedAndEntriesAreCutNotSplit) {
    const auto txt = DnsSdDiscovery::encodeTXT({{"v", "5"}, {"model", "M"}, {"ip", "192.168.1.2"}, {"id", "X"}});
    const Bytes expected = [] {
        Bytes out;
        for (const std::string entry : {"id=X", "ip=192.168.1.2", "model=M", "v=5"}) {
            out.push_back(static_cast<std::uint8_t>(entry.size()));
            out.insert(out.end(), entry.begin(), entry.end());
        }
        return out;
    }();
    EXPECT_EQ(txt, expected);
    const auto longEntry = DnsSdDiscovery::encodeTXT({{"model", std::string(400, 'x')}});
    ASSERT_EQ(longEntry.size(), 256u) << "one entry of 255 bytes";
    EXPECT_EQ(longEntry[0], 255);
    EXPECT_TRUE(DnsSdDiscovery::encodeTXT({}).empty());
}

namespace {
class FakeMachine final : public MachineInfo {
public:
    std::vector<NetworkInterfaceAddress> ipv4Addresses() override { return interfaces; }
    std::string modelIdentifier() override { return "Standard PC (Q35 + ICH9, 2009)"; }
    std::vector<NetworkInterfaceAddress> interfaces;
};
} // namespace

TEST(DnsSdDiscovery, TheRecordNamesTheFirstLocalPhysicalAddress) {
    FakeMachine machine;
    machine.interfaces = {
        {"lo", "127.0.0.1", true, true},        // loopback
        {"docker0", "172.17.0.1", true, false}, // not a physical interface
        {"eth1", "192.168.7.2", false, false},  // down
        {"wlp2s0", "8.8.4.4", true, false},     // not on a local network
        {"enp3s0", "10.0.0.5", true, false},    {"wlan0", "192.168.1.20", true, false},
    };
    EXPECT_EQ(DnsSdDiscovery::localIPv4Addresses(machine.interfaces),
              (std::vector<std::string>{"10.0.0.5", "192.168.1.20"}));
    const auto record = DnsSdDiscovery::txtRecord("HOST-ID", machine);
    EXPECT_EQ(record,
              (std::map<std::string, std::string>{
                  {"v", "5"}, {"model", "Standard PC (Q35 + ICH9, 2009)"}, {"id", "HOST-ID"}, {"ip", "10.0.0.5"}}));
    machine.interfaces.clear();
    EXPECT_EQ(DnsSdDiscovery::txtRecord(std::nullopt, machine),
              (std::map<std::string, std::string>{{"v", "5"}, {"model", "Standard PC (Q35 + ICH9, 2009)"}}));
}

// A bridge or bond over a network card (how a machine that runs virtual machines is often on its
// network) counts whatever its name; a bridge of containers, a tunnel or a loop does not.
TEST(DnsSdDiscovery, AnInterfaceOnANetworkCardCountsWhateverItsName) {
    test::TempDir sys("kiv-sysnet");
    const auto net = sys.path();
    const auto device = [&](const std::string& name) { std::filesystem::create_directories(net / name / "device"); };
    const auto lower = [&](const std::string& upper, const std::string& below) {
        std::filesystem::create_directories(net / upper);
        std::filesystem::create_directory_symlink(net / below, net / upper / ("lower_" + below));
    };
    device("enp3s0");
    device("eno1");
    std::filesystem::create_directories(net / "veth12" / "lower_missing"); // not a link: nothing below
    lower("br0", "enp3s0");
    lower("bond0", "eno1");
    lower("vmbr0", "bond0"); // a bridge over a bond
    lower("docker0", "veth12");
    std::filesystem::create_directories(net / "virbr1" / "brif" / "eno1"); // an older kernel's bridge ports
    std::filesystem::create_directories(net / "tun0");
    std::filesystem::create_directories(net / "loop" / "brif");
    std::filesystem::create_directory_symlink(net / "loop", net / "loop" / "lower_loop");
    for (const auto* name : {"enp3s0", "br0", "bond0", "vmbr0", "virbr1"})
        EXPECT_TRUE(LinuxMachineInfo::physicalInterface(net, name)) << name;
    for (const auto* name : {"docker0", "veth12", "tun0", "loop", "absent", "", "../enp3s0"})
        EXPECT_FALSE(LinuxMachineInfo::physicalInterface(net, name)) << name;

    const std::vector<NetworkInterfaceAddress> interfaces{{"br0", "192.168.1.9", true, false, true},
                                                          {"docker0", "172.17.0.1", true, false, false}};
    EXPECT_EQ(DnsSdDiscovery::localIPv4Addresses(interfaces), std::vector<std::string>{"192.168.1.9"});
    EXPECT_FALSE(LinuxMachineInfo::physicalInterface("/sys/class/net", "lo"));
}

TEST(DnsSdAdvertiser, RegistersOnceAndReportsOutcomes) {
    ManualExecutor queue;
    FakeRegistrar registrar;
    KivLogStore::shared().clear();
    auto advertiser = DnsSdAdvertiser::create("Studio", 52010, {{"v", "5"}}, registrar, queue, queue);
    std::vector<std::optional<std::int32_t>> results;
    advertiser->onResult = [&](std::optional<std::int32_t> result) { results.push_back(result); };
    advertiser->start();
    advertiser->start();
    queue.runUntilIdle();
    EXPECT_EQ(registrar.registrations, 1) << "starting twice registers once";
    EXPECT_EQ(registrar.lastType, "_kivdisplay._tcp");
    EXPECT_EQ(registrar.lastPort, 52010);
    EXPECT_EQ(test::countLogged("Bonjour registering Studio _kivdisplay._tcp port=52010"), 1);
    registrar.pending(0, "Studio (2)");
    queue.runUntilIdle();
    EXPECT_EQ(test::countLogged("Bonjour registered: Studio (2)"), 1);
    EXPECT_EQ(results, (std::vector<std::optional<std::int32_t>>{std::nullopt}));
    advertiser->stop();
    EXPECT_FALSE(registrar.registered);
}

TEST(DnsSdAdvertiser, PolicyDeniedHasItsOwnMessage) {
    ManualExecutor queue;
    FakeRegistrar registrar;
    KivLogStore::shared().clear();
    auto advertiser = DnsSdAdvertiser::create("Studio", 52010, {}, registrar, queue, queue);
    std::vector<std::optional<std::int32_t>> results;
    advertiser->onResult = [&](std::optional<std::int32_t> result) { results.push_back(result); };
    advertiser->start();
    queue.runUntilIdle();
    registrar.pending(DnsSdAdvertiser::policyDenied, "");
    queue.runUntilIdle();
    EXPECT_EQ(
        test::countLogged(
            "Bonjour denied (PolicyDenied -65570): 本地网络权限未授权，iPad 无法自动发现本机；手动输入 IP 仍可连接"),
        1);
    EXPECT_EQ(test::countLogged("Bonjour registration failed"), 0);
    EXPECT_EQ(results, (std::vector<std::optional<std::int32_t>>{-65570}));
    EXPECT_FALSE(registrar.registered);

    FakeRegistrar broken;
    broken.immediateError = -65537;
    auto other = DnsSdAdvertiser::create("Studio", 52010, {}, broken, queue, queue);
    std::optional<std::int32_t> failure;
    other->onResult = [&](std::optional<std::int32_t> result) { failure = result; };
    other->start();
    queue.runUntilIdle();
    EXPECT_EQ(test::countLogged("Bonjour registration failed: DNS-SD error -65537"), 1);
    EXPECT_EQ(failure, -65537);
}

// A daemon that is not there yet, or that drops the registration when it restarts: tried again
// after 2, 4, 8 … (at most 30) s, the failure logged once until a registration succeeds.
TEST(DnsSdAdvertiser, AFailedOrDroppedRegistrationIsTriedAgainQuietlyUntilItHolds) {
    using namespace std::chrono_literals;
    ManualExecutor queue;
    FakeRegistrar registrar;
    KivLogStore::shared().clear();
    registrar.immediateError = -65563; // the daemon is not running
    auto advertiser = DnsSdAdvertiser::create("Studio", 52010, {}, registrar, queue, queue);
    std::vector<std::optional<std::int32_t>> results;
    advertiser->onResult = [&](std::optional<std::int32_t> result) { results.push_back(result); };
    advertiser->start();
    queue.runUntilIdle();
    EXPECT_EQ(registrar.registrations, 1);
    queue.advance(2s);
    EXPECT_EQ(registrar.registrations, 2);
    queue.advance(4s);
    EXPECT_EQ(registrar.registrations, 3);
    queue.advance(8s + 16s + 30s);
    EXPECT_EQ(registrar.registrations, 6) << "the wait stops doubling at 30 s";
    EXPECT_EQ(test::countLogged("Bonjour registration failed: DNS-SD error -65563"), 1);
    EXPECT_EQ(results.size(), 1u);

    registrar.immediateError = 0; // the daemon is back
    queue.advance(30s);
    ASSERT_TRUE(registrar.pending);
    registrar.pending(0, "Studio");
    queue.runUntilIdle();
    EXPECT_EQ(results.back(), std::nullopt);

    registrar.pending(-65537, ""); // it restarts and drops the registration
    queue.runUntilIdle();
    EXPECT_FALSE(registrar.registered);
    queue.advance(2s);
    EXPECT_TRUE(registrar.registered) << "registered again, after the shortest wait";
    EXPECT_EQ(test::countLogged("Bonjour registration failed"), 2);

    advertiser->stop();
    const int before = registrar.registrations;
    registrar.immediateError = -65563;
    queue.advance(60s);
    EXPECT_EQ(registrar.registrations, before) << "nothing after stop";
}
