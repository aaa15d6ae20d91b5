// DNS-SD against a real avahi-daemon confined to a network namespace holding only loopback.
#include <algorithm>
#include <gtest/gtest.h>

#include "KivHostCore/Linux/DnsSdRegistrar.hpp"
#include "KivHostCore/Linux/LinuxMachineInfo.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivHostCore/Transport/DnsSdDiscovery.hpp"
#include "KivReceiver/HostBrowser.hpp"

using namespace kiv;
using namespace std::chrono_literals;

TEST(DnsSd, RegistrationIsFoundByBrowsingWithItsTxtKeys) {
    const test::SystemLock bus("dnssd");
    auto avahi = test::AvahiServer::start();
    KIV_REQUIRE_STARTED(avahi);
    ASSERT_TRUE(avahi.has_value()) << avahi.error().message;

    SerialQueue bonjour("kiv.bonjour");
    SerialQueue main("main");
    DnsSdRegistrar registrar;
    const std::string name = "KivTest " + std::to_string(::getpid());
    LinuxMachineInfo machine;
    EXPECT_FALSE(machine.modelIdentifier().empty());
    EXPECT_TRUE(std::ranges::any_of(machine.ipv4Addresses(), [](const auto& entry) { return entry.isLoopback; }))
        << "the namespace's loopback is listed";
    auto advertiser =
        DnsSdDiscovery::advertiser(name, 52010, std::string("0A1B2C3D-HOST"), machine, registrar, bonjour, main);
    std::mutex mutex;
    std::vector<std::optional<std::int32_t>> results;
    advertiser->onResult = [&](std::optional<std::int32_t> result) {
        const std::lock_guard lock(mutex);
        results.push_back(result);
    };
    advertiser->start();
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const std::lock_guard lock(mutex);
            return !results.empty();
        },
        20s));
    {
        const std::lock_guard lock(mutex);
        ASSERT_EQ(results.front(), std::nullopt) << "registered: error " << results.front().value_or(0);
    }

    std::string found;
    const bool browsed = test::waitUntil(
        [&] {
            found = test::runProgram({"avahi-browse", "-rtp", "_kivdisplay._tcp"}, {}, 10s).output;
            return found.find("=;lo;IPv4;KivTest") != std::string::npos;
        },
        30s, 200ms);
    ASSERT_TRUE(browsed) << found;
    EXPECT_NE(found.find(";52010;"), std::string::npos) << found;
    EXPECT_NE(found.find("\"v=5\""), std::string::npos) << found;
    EXPECT_NE(found.find("\"id=0A1B2C3D-HOST\""), std::string::npos) << found;
    EXPECT_NE(found.find("\"model="), std::string::npos) << found;

    // The receiver's browser finds the same record.
    const auto hosts = receiver::browseHosts(3s);
    ASSERT_TRUE(hosts.has_value()) << hosts.error();
    const auto ours = std::find_if(hosts->begin(), hosts->end(), [&](const auto& host) { return host.name == name; });
    ASSERT_NE(ours, hosts->end());
    EXPECT_EQ(ours->port, 52010);
    EXPECT_EQ(ours->txt.at("v"), "5");
    EXPECT_EQ(ours->txt.at("id"), "0A1B2C3D-HOST");

    // avahi-daemon restarted under the host (an update, say): the host is advertised again.
    ASSERT_TRUE(avahi.value()->restartDaemon().has_value());
    const bool again = test::waitUntil(
        [&] {
            found = test::runProgram({"avahi-browse", "-rtp", "_kivdisplay._tcp"}, {}, 10s).output;
            return found.find("=;lo;IPv4;KivTest") != std::string::npos;
        },
        60s, 500ms);
    EXPECT_TRUE(again) << found << test::loggedLines("Bonjour");

    advertiser->stop();
    EXPECT_FALSE(registrar.isRegistered());
}

TEST(DnsSd, WithoutTheDaemonRegistrationFailsWithACodeAndNothingElseBreaks) {
    const test::SystemLock bus("dnssd");
    if (!test::findProgram("avahi-daemon")) KIV_SKIP_OR_FAIL("avahi-daemon is not installed");
    if (test::runProgram({"avahi-browse", "-atp"}, {}, 5s).exitCode == 0) GTEST_SKIP() << "an avahi-daemon is running";
    SerialQueue bonjour("kiv.bonjour");
    SerialQueue main("main");
    DnsSdRegistrar registrar;
    auto advertiser = DnsSdAdvertiser::create("KivTest offline", 52010, {}, registrar, bonjour, main);
    std::atomic<bool> reported{false};
    std::atomic<std::int32_t> code{0};
    advertiser->onResult = [&](std::optional<std::int32_t> result) {
        code = result.value_or(0);
        reported = true;
    };
    advertiser->start();
    ASSERT_TRUE(test::waitUntil([&] { return reported.load(); }, 20s));
    EXPECT_NE(code.load(), 0) << "a DNS-SD error code";
    EXPECT_FALSE(registrar.isRegistered());

    // The receiver, looking for a host, says what is missing and how to start it.
    const auto hosts = receiver::browseHosts(1s);
    ASSERT_FALSE(hosts.has_value());
    EXPECT_NE(hosts.error().find("avahi-daemon is not running"), std::string::npos) << hosts.error();
}
