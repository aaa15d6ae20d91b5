#pragma once
// Keeps the host's own output silent while the device plays the sound, follows default-output
// changes, and puts the output back afterwards — also after a crash, from what it persisted.
// Confined to one queue, the one its AudioDevices calls the default-output listener on. Output
// calls can take seconds (a busy sound server), so that queue is not the main thread: the host
// reaches the muter through MuteCoordinator.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "KivHostCore/Platform/AudioDevices.hpp"
#include "KivHostCore/Platform/KeyValueStore.hpp"
#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

inline constexpr std::string_view kMutedDeviceKey = "kiv.audio.mutedDevice";

class HostOutputMuter {
public:
    HostOutputMuter(std::shared_ptr<AudioDevices> devices, std::shared_ptr<KeyValueStore> store);
    ~HostOutputMuter();
    HostOutputMuter(const HostOutputMuter&) = delete;
    HostOutputMuter& operator=(const HostOutputMuter&) = delete;

    // True when the output is silent now (also when the user had muted it already).
    bool mute();
    void restore();
    bool isMuted() const { return isMuted_; }
    // Why muting is not in effect (a remote text), cleared on success.
    const std::optional<std::string>& lastNote() const { return lastNote_; }

    // At start: puts back a device an earlier run left silenced, and what else it left behind.
    static void restoreAfterCrash(AudioDevices& devices, KeyValueStore& store);
    // The same with this muter's devices and store.
    void restoreAfterCrash() { restoreAfterCrash(*devices_, *store_); }

    std::optional<AudioDeviceID> deviceID(const std::string& uid) const;
    std::string uid(AudioDeviceID device) const; // the device UID, or the number as text
    std::optional<bool> isMuted(AudioDeviceID device) const { return devices_->isMuted(device); }
    std::optional<float> volume(AudioDeviceID device) const { return devices_->volume(device); }

private:
    struct Muted {
        AudioDeviceID device = 0;
        std::string uid;
        std::optional<float> restoreVolume; // silenced by volume
        std::uint64_t generation = 0;       // the sound server it was done on
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

// The output a device holds silent comes back even when the program ends by exit() before its host
// stopped (a toolkit that exits as soon as its display goes): on the way out it does what the next
// start would. Arm once per program; disarm after a clean stop.
void restoreOutputAtExit(std::function<std::shared_ptr<AudioDevices>(Executor&)> makeDevices,
                         std::shared_ptr<KeyValueStore> store);
void disarmOutputRestoreAtExit();

// One per host service: the output stays silent while at least one session wants it so. Called
// from the main thread, never blocking it: the muter works on `queue` (a thread of its own, where
// the devices' listener also runs) and each outcome comes back to `main`.
class MuteCoordinator {
public:
    struct State {
        bool muted = false;
        std::optional<std::string> note; // why muting is not in effect, as a remote text
        bool operator==(const State&) const = default;
    };
    using Done = std::function<void(const State&)>;

    MuteCoordinator(std::unique_ptr<HostOutputMuter> muter, Executor& queue, Executor& main);
    ~MuteCoordinator(); // the muter goes on its queue, after the work already handed to it

    // `done` (optional) runs on `main` with the state once this request has been carried out.
    void set(const void* owner, bool wants, Done done = {});
    void restoreAll(Done done = {});
    // At start, before any request: gives back what a run that died left silenced.
    void restoreAfterCrash();
    // The state after the last request carried out; never waits.
    State state() const;
    bool isMuted() const { return state().muted; }

private:
    void run(std::function<void(HostOutputMuter&, std::set<const void*>&)> work, Done done);

    struct Shared {
        std::unique_ptr<HostOutputMuter> muter; // queue only
        std::set<const void*> wanting;          // queue only
        mutable std::mutex mutex;               // guards state
        State state;
    };
    std::shared_ptr<Shared> shared_;
    ExecutorHandle queue_; // may go first (the service's queue): work then is refused, not run on freed memory
    ExecutorHandle main_;
};

} // namespace kiv
