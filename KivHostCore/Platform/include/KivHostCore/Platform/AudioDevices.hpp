#pragma once
// The host's sound outputs: which one plays by default, its mute and volume, and silencing it while
// the device plays the sound. Used from one queue (the output muter's), where the listener runs
// too; a call may take seconds when the sound server is slow, never longer than its deadline.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kiv {

using AudioDeviceID = std::uint32_t; // 0 is no device

class AudioDevices {
public:
    virtual ~AudioDevices() = default;

    // The output the host's sound plays on, as the user chose it; nothing when it cannot be read.
    virtual std::optional<AudioDeviceID> defaultOutputDevice() = 0;
    virtual std::vector<AudioDeviceID> devices() = 0;
    // The persistent identifier; nothing when the device has none.
    virtual std::optional<std::string> uid(AudioDeviceID device) = 0;

    // The device's mute switch as the user left it.
    virtual std::optional<bool> isMuted(AudioDeviceID device) = 0;
    // Silencing the device for the device's sake. An implementation whose plain mute would also
    // silence the captured sound keeps the sound away from the device another way.
    virtual bool canMute(AudioDeviceID device) = 0;
    virtual bool setMuted(AudioDeviceID device, bool muted) = 0;

    // Scalar volume 0…1. Absent where turning the device down would silence the capture too.
    virtual bool hasVolume(AudioDeviceID device) = 0;
    virtual std::optional<float> volume(AudioDeviceID device) = 0;
    virtual bool setVolume(AudioDeviceID device, float volume) = 0;

    // Called on the devices' queue when the default output may have changed, and when the sound
    // server came back after it went away; an empty handler removes it.
    virtual void setDefaultOutputListener(std::function<void()> listener) = 0;
    // Changes whenever a new sound server serves the outputs: whatever was done to them before is
    // gone or, where the server kept it, no longer known to be ours.
    virtual std::uint64_t serverGeneration() { return 0; }

    // Undoes what an earlier run that died left behind besides a silenced device.
    virtual void removeLeftovers() {}
};

} // namespace kiv
