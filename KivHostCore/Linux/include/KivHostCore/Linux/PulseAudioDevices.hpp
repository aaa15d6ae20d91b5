#pragma once
// The host's outputs on PulseAudio: sinks, identified by name. A sink's monitor records after its
// mute and volume, so silencing a sink for the device's sake does not touch either: the host's
// sound is routed into a null sink named "KivDisplay" (made the default, every playing stream
// moved onto it), which the audio capture records; putting the sink back makes it the default
// again, moves the streams back and unloads the null sink. The null sink warms up for about 2 s
// before its monitor delivers anything, so the speakers keep playing until it does.
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Platform/AudioDevices.hpp"
#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

inline constexpr std::string_view kCaptureSinkName = "KivDisplay";

class PulseAudioDevices final : public AudioDevices, public std::enable_shared_from_this<PulseAudioDevices> {
public:
    // `queue` (the output muter's) receives the default-output listener's calls. `server` as in
    // PULSE_SERVER; the environment's choice when absent. Connects lazily and again after the
    // server went away.
    static std::shared_ptr<PulseAudioDevices> create(Executor& queue, std::optional<std::string> server = {});
    ~PulseAudioDevices() override;

    std::optional<AudioDeviceID> defaultOutputDevice() override;
    std::vector<AudioDeviceID> devices() override;
    std::optional<std::string> uid(AudioDeviceID device) override;
    std::optional<bool> isMuted(AudioDeviceID device) override;
    bool canMute(AudioDeviceID device) override;
    bool setMuted(AudioDeviceID device, bool muted) override;
    // Turning a sink down would silence its monitor too: no volume is offered.
    bool hasVolume(AudioDeviceID) override { return false; }
    std::optional<float> volume(AudioDeviceID) override { return std::nullopt; }
    bool setVolume(AudioDeviceID, float) override { return false; }
    void setDefaultOutputListener(std::function<void()> listener) override;
    std::uint64_t serverGeneration() override;
    // Unloads a "KivDisplay" null sink a run that died left loaded, streams and default put back.
    void removeLeftovers() override;

    // True once the host's streams play into the null sink (after its warm-up).
    bool isRouted();

    struct Impl;
    explicit PulseAudioDevices(std::unique_ptr<Impl> impl); // use create()

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kiv
