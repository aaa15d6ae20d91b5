#include <gtest/gtest.h>
#include <regex>

#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Platform/KeyValueStore.hpp"
#include "KivHostCore/Service/DeviceText.hpp"
#include "KivHostCore/Service/HostSettings.hpp"
#include "KivHostCore/Service/PairingStore.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"

using namespace kiv;

namespace {
template <class Store>
void exercisePairing(Store& store) {
    const std::regex token("[0-9a-f]{64}");
    const auto first = store.pair("dev-1", "Anna's iPad");
    EXPECT_TRUE(std::regex_match(first, token));
    EXPECT_FALSE(store.isPaired("dev-1", std::nullopt)) << "no token, not paired";
    EXPECT_TRUE(store.isPaired("dev-1", first));
    EXPECT_FALSE(store.isPaired("dev-1", std::string(64, '0')));
    EXPECT_FALSE(store.isPaired("dev-1", first.substr(0, 63) + (first.back() == 'a' ? 'b' : 'a')))
        << "last digit differs";
    EXPECT_FALSE(store.isPaired("dev-1", first + "0")) << "longer";
    EXPECT_FALSE(store.isPaired("dev-1", std::string())) << "empty";
    EXPECT_FALSE(store.isPaired("dev-2", first));
    EXPECT_EQ(store.pair("dev-1", "Renamed"), first) << "pairing again keeps the token";
    EXPECT_EQ(store.pairedDevices(), (std::vector<PairedDevice>{{"dev-1", "Renamed"}}));
    store.unpair("dev-1");
    EXPECT_FALSE(store.isPaired("dev-1", first));
    const auto second = store.pair("dev-1", "Again");
    EXPECT_NE(second, first);
    EXPECT_TRUE(std::regex_match(second, token));
}
} // namespace

TEST(PairingStore, InMemoryAndUserDefaultsBehaveAlike) {
    InMemoryPairingStore memory;
    exercisePairing(memory);
    KeyValuePairingStore defaults(std::make_shared<InMemoryKeyValueStore>());
    exercisePairing(defaults);
}

TEST(PairingStore, PersistsAcrossStoreInstancesAndToleratesOtherShapes) {
    test::TempDir dir;
    const auto file = dir.path() / "kivdisplay.json";
    std::string token;
    {
        KeyValuePairingStore store(std::make_shared<JsonFileKeyValueStore>(file));
        token = store.pair("dev-9", "Phone");
    }
    auto defaults = std::make_shared<JsonFileKeyValueStore>(file);
    KeyValuePairingStore reopened(defaults);
    EXPECT_TRUE(reopened.isPaired("dev-9", token));

    // A record without a name is listed under its identifier; a wrong shape reads as empty.
    StoredDictionary records{{"dev-a", StoredValue{StoredDictionary{{"token", StoredValue{std::string("t")}}}}}};
    defaults->setDictionary(KeyValuePairingStore::key, records);
    EXPECT_EQ(reopened.pairedDevices(), (std::vector<PairedDevice>{{"dev-a", "dev-a"}}));
    defaults->setString(KeyValuePairingStore::key, "garbage");
    EXPECT_TRUE(reopened.pairedDevices().empty());
    records["dev-b"] = StoredValue{std::int64_t{5}};
    defaults->setDictionary(KeyValuePairingStore::key, records);
    EXPECT_TRUE(reopened.pairedDevices().empty());
}

TEST(HostSettings, FreshDefaults) {
    const auto settings = HostSettings::makeDefault();
    EXPECT_EQ(settings.controlPort, 52010);
    EXPECT_EQ(settings.videoPort, 52011);
    EXPECT_DOUBLE_EQ(settings.graceSeconds, 60);
    EXPECT_DOUBLE_EQ(settings.linkHoldSeconds, 10);
    EXPECT_TRUE(settings.wifiEnabled && settings.usbEnabled && settings.useVirtualDisplay && settings.touchControl);
    EXPECT_FALSE(settings.loopbackOnly);
    EXPECT_FALSE(settings.usbDirect.has_value());
    EXPECT_EQ(settings.displayName, "KivDisplay");
    EXPECT_FALSE(settings.serviceName.empty());
    EXPECT_TRUE(std::regex_match(settings.hostID,
                                 std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    EXPECT_NE(HostSettings::makeDefault().hostID, settings.hostID);
}

TEST(DeviceText, ControlsBecomeSpacesLongTextIsCutOnACharacterAndGoodTextIsKept) {
    EXPECT_EQ(tidyDeviceText("Anna's Tablet", 64), "Anna's Tablet");
    EXPECT_EQ(tidyDeviceText("  a\nb\r\tc\x1b[2J  ", 64), "a b  c [2J");
    EXPECT_EQ(tidyDeviceText("x\xC2\x85y\xE2\x80\xAEz\xE2\x80\xA8", 64), "x y z") << "C1, a direction override, LS";
    EXPECT_EQ(tidyDeviceText("ok\xff\xC3", 64), "ok\xEF\xBF\xBD\xEF\xBF\xBD") << "invalid UTF-8 is replaced";
    EXPECT_EQ(tidyDeviceText("\xED\xA0\x80", 64), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD") << "a surrogate";
    // Six three-byte characters cut to four: three of them and the ellipsis, never half of one.
    EXPECT_EQ(tidyDeviceText("日本語の名前だ", 4), "日本語…");
    EXPECT_EQ(tidyDeviceText(std::string(100'000, 'x'), 64), std::string(63, 'x') + "…");
    EXPECT_EQ(tidyDeviceText("\n\n", 64), "");
    const Hello fine = [] {
        Hello h;
        h.deviceID = "5F1E2D3C-0000-4000-8000-00000000ABCD";
        h.deviceName = "Küchen-Tablet";
        h.model = "iPad13,4";
        h.systemVersion = "17.4";
        return h;
    }();
    EXPECT_EQ(tidyHello(fine), fine) << "a well-behaved device's hello, identifier included, is its own";
    const auto once = tidyDeviceText(std::string(90, 'y') + "\n", 64);
    EXPECT_EQ(tidyDeviceText(once, 64), once) << "tidying twice changes nothing";
}
