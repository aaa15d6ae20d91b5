#include "KivHostCore/Audio/HostOutputMuter.hpp"

#include <cstdlib>
#include <fmt/format.h>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {

namespace {

const KivLogger& logger() {
    static const KivLogger log = KivLog::logger("Audio");
    return log;
}

const std::string kKey{kMutedDeviceKey};

// Puts a device back: its volume when it was turned down, else its mute switch. Write failures
// are ignored; there is nothing better to do with the device.
void unsilence(AudioDevices& devices, AudioDeviceID device, std::optional<float> volume) {
    if (volume && devices.hasVolume(device)) {
        devices.setVolume(device, *volume);
    } else if (devices.canMute(device)) {
        devices.setMuted(device, false);
    }
}

} // namespace

HostOutputMuter::HostOutputMuter(std::shared_ptr<AudioDevices> devices, std::shared_ptr<KeyValueStore> store)
    : devices_(std::move(devices)), store_(std::move(store)) {}

HostOutputMuter::~HostOutputMuter() {
    if (listening_) devices_->setDefaultOutputListener({});
}

std::string HostOutputMuter::uid(AudioDeviceID device) const {
    if (auto text = devices_->uid(device); text && !text->empty()) return *text;
    return std::to_string(device);
}

std::optional<AudioDeviceID> HostOutputMuter::deviceID(const std::string& uid) const {
    for (const auto device : devices_->devices()) {
        if (devices_->uid(device) == uid) return device;
    }
    return std::nullopt;
}

bool HostOutputMuter::mute() {
    if (muted_) return true;
    installListener();
    return muteDefault();
}

void HostOutputMuter::installListener() {
    if (listening_) return;
    listening_ = true;
    devices_->setDefaultOutputListener([this] { defaultChanged(); });
}

bool HostOutputMuter::muteDefault() {
    const auto device = devices_->defaultOutputDevice();
    if (!device || *device == 0) {
        lastNote_ = RemoteText::make(RemoteText::audioNoOutput);
        return false;
    }
    const auto name = uid(*device);
    if (devices_->isMuted(*device) == true) {
        logger().info(fmt::format("Mac output already muted by user ({}), leaving as is", name));
        isMuted_ = true;
        lastNote_.reset();
        return true;
    }
    std::optional<float> restoreVolume;
    bool silenced = devices_->canMute(*device) && devices_->setMuted(*device, true);
    if (!silenced && devices_->hasVolume(*device)) {
        if (const auto old = devices_->volume(*device); old && devices_->setVolume(*device, 0.0F)) {
            silenced = true;
            restoreVolume = *old;
        }
    }
    if (!silenced) {
        lastNote_ = RemoteText::make(RemoteText::audioCannotMute);
        logger().notice(fmt::format("Mac output {} cannot be muted", name));
        return false;
    }
    muted_ = Muted{*device, name, restoreVolume, devices_->serverGeneration()};
    isMuted_ = true;
    lastNote_.reset();
    StoredDictionary entry{{"uid", StoredValue{name}}};
    if (restoreVolume) entry.emplace("volume", StoredValue{static_cast<double>(*restoreVolume)});
    store_->setDictionary(kKey, std::move(entry));
    logger().info(fmt::format("Mac output muted ({}{}) while sound plays on the device", name,
                              restoreVolume ? ", via volume" : ""));
    return true;
}

void HostOutputMuter::defaultChanged() {
    if (!listening_) return;
    const auto current = devices_->defaultOutputDevice();
    if (muted_ && muted_->generation != devices_->serverGeneration()) {
        // A new sound server: what silenced the output went with the old one, or the server kept
        // it and it would now pass for the user's own mute. Undo by name and silence afresh.
        logger().notice("Sound server restarted, silencing the output again");
        const auto old = std::move(*muted_);
        muted_.reset();
        store_->remove(kKey);
        if (const auto device = deviceID(old.uid)) unsilence(*devices_, *device, old.restoreVolume);
        if (!muteDefault()) isMuted_ = false;
        return;
    }
    if (muted_ && current && *current == muted_->device) return;
    if (!muted_ && (!current || *current == 0)) return;
    logger().info("Mac default output changed, moving mute to the new device");
    if (muted_) {
        const auto old = std::move(*muted_);
        muted_.reset();
        store_->remove(kKey);
        unsilence(*devices_, old.device, old.restoreVolume);
    }
    muteDefault();
}

void HostOutputMuter::restore() {
    if (listening_) {
        devices_->setDefaultOutputListener({});
        listening_ = false;
    }
    isMuted_ = false;
    if (!muted_) return;
    const auto old = std::move(*muted_);
    muted_.reset();
    store_->remove(kKey);
    unsilence(*devices_, old.device, old.restoreVolume);
    logger().info(fmt::format("Mac output restored ({})", old.uid));
}

void HostOutputMuter::restoreAfterCrash(AudioDevices& devices, KeyValueStore& store) {
    if (const auto entry = store.dictionary(kKey)) {
        const auto uidValue = entry->find("uid");
        const std::string* uid = uidValue == entry->end() ? nullptr : uidValue->second.text();
        if (uid) {
            store.remove(kKey);
            std::optional<float> volume;
            if (const auto found = entry->find("volume"); found != entry->end()) {
                if (const auto* real = std::get_if<double>(&found->second.value)) volume = static_cast<float>(*real);
                if (const auto* whole = std::get_if<std::int64_t>(&found->second.value))
                    volume = static_cast<float>(*whole);
            }
            for (const auto device : devices.devices()) {
                if (devices.uid(device) != *uid) continue;
                unsilence(devices, device, volume);
                logger().notice(fmt::format("Restored Mac output left muted by a previous run ({})", *uid));
                break;
            }
        }
    }
    devices.removeLeftovers();
}

namespace {
struct AtExit {
    std::mutex mutex;
    std::function<std::shared_ptr<AudioDevices>(Executor&)> makeDevices;
    std::shared_ptr<KeyValueStore> store;
};
AtExit& atExit() {
    static auto* state = new AtExit; // never destroyed: read by the exit handler
    return *state;
}
} // namespace

void restoreOutputAtExit(std::function<std::shared_ptr<AudioDevices>(Executor&)> makeDevices,
                         std::shared_ptr<KeyValueStore> store) {
    auto& state = atExit();
    const std::lock_guard lock(state.mutex);
    const bool first = !state.makeDevices;
    state.makeDevices = std::move(makeDevices);
    state.store = std::move(store);
    if (!first) return;
    std::atexit([] {
        auto& s = atExit();
        const std::lock_guard held(s.mutex);
        if (!s.makeDevices || !s.store || !s.store->dictionary(kKey)) return;
        SerialQueue queue("kiv.exit.audio");
        if (const auto devices = s.makeDevices(queue)) HostOutputMuter::restoreAfterCrash(*devices, *s.store);
    });
}

void disarmOutputRestoreAtExit() {
    auto& state = atExit();
    const std::lock_guard lock(state.mutex);
    state.makeDevices = nullptr;
    state.store.reset();
}

MuteCoordinator::MuteCoordinator(std::unique_ptr<HostOutputMuter> muter, Executor& queue, Executor& main)
    : shared_(std::make_shared<Shared>()), queue_(queue.handle()), main_(main.handle()) {
    shared_->muter = std::move(muter);
}

MuteCoordinator::~MuteCoordinator() {
    // Whatever is queued still runs with the muter; the muter itself is released there too, or
    // here when the queue is gone.
    queue_.post([shared = shared_]() mutable { shared->muter.reset(); });
}

void MuteCoordinator::set(const void* owner, bool wants, Done done) {
    run(
        [owner, wants](HostOutputMuter& muter, std::set<const void*>& wanting) {
            if (wants) {
                wanting.insert(owner);
            } else {
                wanting.erase(owner);
            }
            if (wanting.empty()) {
                muter.restore();
            } else if (!muter.isMuted()) {
                muter.mute();
            }
        },
        std::move(done));
}

void MuteCoordinator::restoreAll(Done done) {
    run(
        [](HostOutputMuter& muter, std::set<const void*>& wanting) {
            wanting.clear();
            muter.restore();
        },
        std::move(done));
}

void MuteCoordinator::restoreAfterCrash() {
    run([](HostOutputMuter& muter, std::set<const void*>&) { muter.restoreAfterCrash(); }, {});
}

MuteCoordinator::State MuteCoordinator::state() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->state;
}

void MuteCoordinator::run(std::function<void(HostOutputMuter&, std::set<const void*>&)> work, Done done) {
    queue_.post([shared = shared_, main = main_, work = std::move(work), done = std::move(done)]() mutable {
        if (!shared->muter) return;
        work(*shared->muter, shared->wanting);
        const State state{shared->muter->isMuted(), shared->muter->lastNote()};
        {
            const std::lock_guard lock(shared->mutex);
            shared->state = state;
        }
        if (done) main.post([done = std::move(done), state] { done(state); });
    });
}

} // namespace kiv
