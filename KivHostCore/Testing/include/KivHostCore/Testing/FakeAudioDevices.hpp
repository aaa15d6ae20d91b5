#pragma once
// Audio outputs in memory: mute switches, volumes and a default that tests change by hand.
#include <map>
#include <string>
#include <vector>

#include "KivHostCore/Platform/AudioDevices.hpp"

namespace kiv::test {

class FakeAudioDevices final : public AudioDevices {
public:
    struct Device {
        std::string uid;
        bool muted = false;
        bool muteSettable = true;
        bool hasVolume = true;
        float volume = 1.0F;
        bool failWrites = false;
    };

    std::map<AudioDeviceID, Device> devices_;
    std::optional<AudioDeviceID> defaultDevice;
    std::function<void()> listener;
    int muteWrites = 0;
    int volumeWrites = 0;
    int leftoverSweeps = 0;
    std::uint64_t generation = 0;

    // The sound server restarted: `unmuted` lost what was done to them, and the listener hears of it.
    void restartServer(const std::vector<AudioDeviceID>& unmuted) {
        ++generation;
        for (const auto id : unmuted)
            devices_.at(id).muted = false;
        if (listener) listener();
    }

    // The user picks another default output; the listener hears of it.
    void changeDefault(std::optional<AudioDeviceID> device) {
        defaultDevice = device;
        if (listener) listener();
    }
    Device& operator[](AudioDeviceID id) { return devices_.at(id); }

    std::optional<AudioDeviceID> defaultOutputDevice() override { return defaultDevice; }
    std::vector<AudioDeviceID> devices() override {
        std::vector<AudioDeviceID> ids;
        for (const auto& [id, device] : devices_)
            ids.push_back(id);
        return ids;
    }
    std::optional<std::string> uid(AudioDeviceID id) override {
        const auto found = devices_.find(id);
        if (found == devices_.end() || found->second.uid.empty()) return std::nullopt;
        return found->second.uid;
    }
    std::optional<bool> isMuted(AudioDeviceID id) override {
        const auto found = devices_.find(id);
        if (found == devices_.end()) return std::nullopt;
        return found->second.muted;
    }
    bool canMute(AudioDeviceID id) override {
        const auto found = devices_.find(id);
        return found != devices_.end() && found->second.muteSettable;
    }
    bool setMuted(AudioDeviceID id, bool muted) override {
        const auto found = devices_.find(id);
        if (found == devices_.end() || !found->second.muteSettable || found->second.failWrites) return false;
        ++muteWrites;
        found->second.muted = muted;
        return true;
    }
    bool hasVolume(AudioDeviceID id) override {
        const auto found = devices_.find(id);
        return found != devices_.end() && found->second.hasVolume;
    }
    std::optional<float> volume(AudioDeviceID id) override {
        const auto found = devices_.find(id);
        if (found == devices_.end() || !found->second.hasVolume) return std::nullopt;
        return found->second.volume;
    }
    bool setVolume(AudioDeviceID id, float volume) override {
        const auto found = devices_.find(id);
        if (found == devices_.end() || !found->second.hasVolume || found->second.failWrites) return false;
        ++volumeWrites;
        found->second.volume = volume;
        return true;
    }
    void setDefaultOutputListener(std::function<void()> handler) override { listener = std::move(handler); }
    std::uint64_t serverGeneration() override { return generation; }
    void removeLeftovers() override { ++leftoverSweeps; }
};

} // namespace kiv::test
