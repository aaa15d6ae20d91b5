#include <gtest/gtest.h>

#include "KivProtocol/LocalNetwork.hpp"

using namespace kiv;

namespace {
bool local(const char* text) {
    return LocalNetwork::isLocal(LocalNetwork::parseHost(text));
}
} // namespace

TEST(LocalNetwork, IPv4Ranges) {
    for (const char* yes : {"10.0.0.1", "127.0.0.1", "169.254.1.1", "192.168.1.10", "172.16.0.1", "172.31.255.255"}) {
        EXPECT_TRUE(local(yes)) << yes;
    }
    for (const char* no :
         {"172.15.0.1", "172.32.0.1", "169.253.1.1", "100.64.0.1", "8.8.8.8", "192.169.0.1", "11.0.0.1"}) {
        EXPECT_FALSE(local(no)) << no;
    }
}

TEST(LocalNetwork, IPv6RangesAndMappedAddresses) {
    for (const char* yes : {"::1", "fe80::1", "febf::1", "fd12::1", "fc00::1", "::ffff:192.168.1.10"}) {
        EXPECT_TRUE(local(yes)) << yes;
    }
    for (const char* no : {"fec0::1", "2001:db8::1", "::ffff:8.8.8.8", "::", "::2", "ff02::fb"}) {
        EXPECT_FALSE(local(no)) << no;
    }
}

TEST(LocalNetwork, OnlyHostAndPortEndpointsWithAddressesAreLocal) {
    EXPECT_FALSE(local("ipad.local")) << "names are never resolved";
    const auto endpoint = NetworkEndpoint::hostPort(LocalNetwork::parseHost("192.168.1.10"), 52010);
    EXPECT_TRUE(LocalNetwork::isLocal(endpoint));
    EXPECT_FALSE(LocalNetwork::isLocal(NetworkEndpoint::other(NetworkEndpoint::Kind::unixPath, "/var/run/usbmuxd")));
    EXPECT_FALSE(LocalNetwork::isLocal(NetworkEndpoint::other(NetworkEndpoint::Kind::service, "x._kivdisplay._tcp")));
}

TEST(LocalNetwork, DescribeGivesTheHostWithoutPort) {
    EXPECT_EQ(LocalNetwork::describe(std::nullopt), "-");
    EXPECT_EQ(LocalNetwork::describe(NetworkEndpoint::hostPort(LocalNetwork::parseHost("192.168.1.10"), 52010)),
              "192.168.1.10");
    EXPECT_EQ(LocalNetwork::describe(NetworkEndpoint::hostPort(LocalNetwork::parseHost("FE80:0:0:0:0:0:0:1"), 1)),
              "fe80::1");
    EXPECT_EQ(LocalNetwork::describe(NetworkEndpoint::hostPort(HostName{"ipad.local"}, 1)), "ipad.local");
    EXPECT_EQ(LocalNetwork::describe(NetworkEndpoint::other(NetworkEndpoint::Kind::url, "https://x/")), "https://x/");
}
