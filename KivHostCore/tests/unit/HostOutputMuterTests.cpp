// The output muter's rules against devices in memory: mute versus volume, the user's own mute,
// default-output changes, crash recovery and two sessions sharing the muter.
#include <gtest/gtest.h>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Testing/FakeAudioDevices.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {
namespace {

using test::FakeAudioDevices;

int logged(std::string_view text) {
    return test::countLogged(text, test::Match::exactly);
}

class MuterTest : public ::testing::Test {
protected:
    void SetUp() override {
        KivLogStore::shared().clear();
        devices->devices_[10] = {.uid = "speakers"};
        devices->devices_[20] = {.uid = "headphones"};
        devices->defaultDevice = 10;
    }
    std::shared_ptr<FakeAudioDevices> devices = std::make_shared<FakeAudioDevices>();
    std::shared_ptr<InMemoryKeyValueStore> store = std::make_shared<InMemoryKeyValueStore>();
    HostOutputMuter muter{devices, store};
};

TEST_F(MuterTest, MutesTheDefaultOutputPersistsItAndRestores) {
    ASSERT_TRUE(muter.mute());
    EXPECT_TRUE((*devices)[10].muted);
    EXPECT_TRUE(muter.isMuted());
    EXPECT_FALSE(muter.lastNote());
    EXPECT_EQ(store->dictionary(std::string(kMutedDeviceKey)), (StoredDictionary{{"uid", {std::string("speakers")}}}));
    EXPECT_EQ(logged("Mac output muted (speakers) while sound plays on the device"), 1);
    EXPECT_TRUE(muter.mute()); // already held: no second write
    EXPECT_EQ(devices->muteWrites, 1);

    muter.restore();
    EXPECT_FALSE((*devices)[10].muted);
    EXPECT_FALSE(muter.isMuted());
    EXPECT_FALSE(store->value(std::string(kMutedDeviceKey)));
    EXPECT_FALSE(devices->listener);
    EXPECT_EQ(logged("Mac output restored (speakers)"), 1);
}

TEST_F(MuterTest, OutputTheUserMutedIsLeftAloneAndNotRestored) {
    (*devices)[10].muted = true;
    ASSERT_TRUE(muter.mute());
    EXPECT_TRUE(muter.isMuted());
    EXPECT_EQ(logged("Mac output already muted by user (speakers), leaving as is"), 1);
    EXPECT_FALSE(store->value(std::string(kMutedDeviceKey)));
    muter.restore();
    EXPECT_TRUE((*devices)[10].muted);
    EXPECT_EQ(devices->muteWrites, 0);
    EXPECT_FALSE(muter.isMuted());
}

TEST_F(MuterTest, DeviceWithoutMuteIsTurnedDownAndGetsItsExactVolumeBack) {
    (*devices)[10].muteSettable = false;
    (*devices)[10].volume = 0.37F;
    ASSERT_TRUE(muter.mute());
    EXPECT_EQ((*devices)[10].volume, 0.0F);
    const auto entry = store->dictionary(std::string(kMutedDeviceKey));
    ASSERT_TRUE(entry);
    ASSERT_TRUE(entry->contains("volume"));
    EXPECT_EQ(std::get<double>(entry->at("volume").value), static_cast<double>(0.37F)); // stored as a double
    EXPECT_EQ(logged("Mac output muted (speakers, via volume) while sound plays on the device"), 1);
    muter.restore();
    EXPECT_EQ((*devices)[10].volume, 0.37F);
}

TEST_F(MuterTest, FailuresLeaveANoteAndNothingPersisted) {
    // No default output: a note, no log line.
    devices->defaultDevice = std::nullopt;
    EXPECT_FALSE(muter.mute());
    EXPECT_EQ(muter.lastNote(), RemoteText::make(RemoteText::audioNoOutput));
    EXPECT_TRUE(KivLogStore::shared().entries(LogLevel::debug).empty());
    devices->defaultDevice = 0;
    EXPECT_FALSE(muter.mute());

    // Neither mute nor volume works.
    devices->defaultDevice = 10;
    (*devices)[10].failWrites = true;
    EXPECT_FALSE(muter.mute());
    EXPECT_EQ(muter.lastNote(), RemoteText::make(RemoteText::audioCannotMute));
    EXPECT_EQ(logged("Mac output speakers cannot be muted"), 1);
    EXPECT_FALSE(muter.isMuted());
    EXPECT_FALSE(store->value(std::string(kMutedDeviceKey)));

    // A later success clears the note; a device without a UID is named by its number.
    (*devices)[10].failWrites = false;
    (*devices)[10].uid.clear();
    EXPECT_TRUE(muter.mute());
    EXPECT_FALSE(muter.lastNote());
    EXPECT_EQ(store->dictionary(std::string(kMutedDeviceKey))->at("uid"), StoredValue{std::string("10")});
}

TEST_F(MuterTest, MuteMovesAlongWhenTheDefaultOutputChanges) {
    (*devices)[20].muteSettable = false;
    (*devices)[20].volume = 0.5F;
    ASSERT_TRUE(muter.mute());
    devices->changeDefault(10); // the same device: nothing happens
    EXPECT_EQ(logged("Mac default output changed, moving mute to the new device"), 0);

    devices->changeDefault(20);
    EXPECT_EQ(logged("Mac default output changed, moving mute to the new device"), 1);
    EXPECT_FALSE((*devices)[10].muted);
    EXPECT_EQ((*devices)[20].volume, 0.0F);
    EXPECT_EQ(store->dictionary(std::string(kMutedDeviceKey))->at("uid"), StoredValue{std::string("headphones")});

    // The new default disappears: the old one is put back and the note says why nothing is muted.
    devices->changeDefault(std::nullopt);
    EXPECT_EQ((*devices)[20].volume, 0.5F);
    EXPECT_EQ(muter.lastNote(), RemoteText::make(RemoteText::audioNoOutput));
    EXPECT_FALSE(store->value(std::string(kMutedDeviceKey)));

    muter.restore();
    const auto writes = devices->muteWrites + devices->volumeWrites;
    devices->defaultDevice = 10;
    if (devices->listener) devices->listener();
    EXPECT_EQ(devices->muteWrites + devices->volumeWrites, writes); // not listening any more
}

TEST_F(MuterTest, ARestartedSoundServerHasTheOutputSilencedAgainAndRestoredAfter) {
    ASSERT_TRUE(muter.mute());
    devices->restartServer({10}); // a server that forgot the mute
    EXPECT_EQ(logged("Sound server restarted, silencing the output again"), 1);
    EXPECT_TRUE((*devices)[10].muted);
    EXPECT_TRUE(muter.isMuted());
    EXPECT_EQ(store->dictionary(std::string(kMutedDeviceKey))->at("uid"), StoredValue{std::string("speakers")});

    devices->restartServer({}); // one that kept it: still ours, not taken for the user's mute
    EXPECT_TRUE((*devices)[10].muted);
    EXPECT_EQ(logged("Mac output already muted by user (speakers), leaving as is"), 0);
    muter.restore();
    EXPECT_FALSE((*devices)[10].muted);

    // Turned down by volume, and the server brought it back at zero: the user's volume survives.
    (*devices)[10].muteSettable = false;
    (*devices)[10].volume = 0.6F;
    ASSERT_TRUE(muter.mute());
    devices->restartServer({});
    EXPECT_EQ((*devices)[10].volume, 0.0F);
    muter.restore();
    EXPECT_EQ((*devices)[10].volume, 0.6F);
}

TEST_F(MuterTest, RestoreAfterCrashPutsBackWhatWasPersisted) {
    FakeAudioDevices& fake = *devices;
    fake[10].muted = true;
    store->setDictionary(std::string(kMutedDeviceKey), {{"uid", {std::string("speakers")}}});
    HostOutputMuter::restoreAfterCrash(fake, *store);
    EXPECT_FALSE(fake[10].muted);
    EXPECT_FALSE(store->value(std::string(kMutedDeviceKey)));
    EXPECT_EQ(logged("Restored Mac output left muted by a previous run (speakers)"), 1);
    EXPECT_EQ(fake.leftoverSweeps, 1);

    // By volume.
    fake[20].muteSettable = false;
    fake[20].volume = 0;
    store->setDictionary(std::string(kMutedDeviceKey), {{"uid", {std::string("headphones")}}, {"volume", {0.8}}});
    HostOutputMuter::restoreAfterCrash(fake, *store);
    EXPECT_EQ(fake[20].volume, 0.8F);

    // A device that is gone: the key goes silently.
    KivLogStore::shared().clear();
    store->setDictionary(std::string(kMutedDeviceKey), {{"uid", {std::string("usb-dac")}}});
    HostOutputMuter::restoreAfterCrash(fake, *store);
    EXPECT_FALSE(store->value(std::string(kMutedDeviceKey)));
    EXPECT_TRUE(KivLogStore::shared().entries(LogLevel::debug).empty());

    // Not a dictionary with a text UID: left as found.
    store->setString(std::string(kMutedDeviceKey), "speakers");
    HostOutputMuter::restoreAfterCrash(fake, *store);
    EXPECT_TRUE(store->value(std::string(kMutedDeviceKey)));
    EXPECT_FALSE(fake[10].muted);
}

TEST(MuteCoordinatorTest, OutputStaysSilentWhileAnySessionWantsIt) {
    auto devices = std::make_shared<FakeAudioDevices>();
    devices->devices_[10] = {.uid = "speakers"};
    devices->defaultDevice = 10;
    ManualExecutor queue("kiv.audio.mute");
    ManualExecutor main("main");
    MuteCoordinator coordinator(std::make_unique<HostOutputMuter>(devices, std::make_shared<InMemoryKeyValueStore>()),
                                queue, main);
    const int first = 0;
    const int second = 0;
    std::vector<MuteCoordinator::State> outcomes;
    const auto record = [&](const MuteCoordinator::State& state) { outcomes.push_back(state); };

    coordinator.set(&first, true, record);
    coordinator.set(&second, true);
    EXPECT_EQ(devices->muteWrites, 0) << "nothing happens on the caller's thread";
    queue.runUntilIdle();
    EXPECT_TRUE(coordinator.isMuted());
    EXPECT_EQ(devices->muteWrites, 1);
    EXPECT_TRUE(outcomes.empty()) << "the outcome is reported on the main executor";
    main.runUntilIdle();
    EXPECT_EQ(outcomes, (std::vector<MuteCoordinator::State>{{true, std::nullopt}}));

    coordinator.set(&first, false);
    coordinator.set(&first, false); // withdrawing twice changes nothing
    queue.runUntilIdle();
    EXPECT_TRUE((*devices)[10].muted);

    coordinator.set(&second, false, record);
    queue.runUntilIdle();
    main.runUntilIdle();
    EXPECT_FALSE((*devices)[10].muted);
    EXPECT_FALSE(coordinator.isMuted());
    EXPECT_EQ(devices->muteWrites, 2); // restored once
    EXPECT_FALSE(outcomes.back().muted);

    coordinator.set(&first, true);
    coordinator.restoreAll();
    queue.runUntilIdle();
    EXPECT_FALSE((*devices)[10].muted);
    EXPECT_FALSE(devices->listener);
}

} // namespace
} // namespace kiv
