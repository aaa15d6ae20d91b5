#pragma once
// Keeps the host's own output silent while the device plays the sound, follows default-output
// changes, and puts the output back afterwards — also after a crash, from what it persisted.
// Main-thread confined, like the device listener it installs.
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "KivHostCore/Platform/AudioDevices.hpp"
#include "KivHostCore/Platform/KeyValueStore.hpp"

namespace kiv {

inline constexpr std::string_view kMutedDeviceKey = "kiv.audio.mutedDevice";

class MacOutputMuter {
public:
    MacOutputMuter(std::shared_ptr<AudioDevices> devices, std::shared_ptr<KeyValueStore> store);
    ~MacOutputMuter();
    MacOutputMuter(const MacOutputMuter&) = delete;
    MacOutputMuter& operator=(const MacOutputMuter&) = delete;

    // True when the output is silent now (also when the user had muted it already).
    bool mute();
    void restore();
    bool isMuted() const { return isMuted_; }
    // Why muting is not in effect (a remote text), cleared on success.
    const std::optional<std::string>& lastNote() const { return lastNote_; }

    // At start: puts back a device an earlier run left silenced, and what else it left behind.
    static void restoreAfterCrash(AudioDevices& devices, KeyValueStore& store);

    std::optional<AudioDeviceID> deviceID(const std::string& uid) const;
    std::string uid(AudioDeviceID device) const; // the device UID, or the number as text
    std::optional<bool> isMuted(AudioDeviceID device) const { return devices_->isMuted(device); }
    std::optional<float> volume(AudioDeviceID device) const { return devices_->volume(device); }

private:
    struct Muted {
        AudioDeviceID device = 0;
        std::string uid;
        std::optional<float> restoreVolume; // silenced by volume
    };

    void installListener();
    void defaultChanged();
    bool muteDefault();
    void unmute(const Muted& muted);

    std::shared_ptr<AudioDevices> devices_;
    std::shared_ptr<KeyValueStore> store_;
    std::optional<Muted> muted_;
    bool listening_ = false;
    bool isMuted_ = false;
    std::optional<std::string> lastNote_;
};

// One per host service: the output stays silent while at least one session wants it so.
class MuteCoordinator {
public:
    explicit MuteCoordinator(std::unique_ptr<MacOutputMuter> muter) : muter_(std::move(muter)) {}

    void set(const void* owner, bool wants);
    void restoreAll();
    bool isMuted() const { return muter_->isMuted(); }
    const std::optional<std::string>& lastNote() const { return muter_->lastNote(); }

private:
    std::unique_ptr<MacOutputMuter> muter_;
    std::set<const void*> wanting_;
};

} // namespace kiv
