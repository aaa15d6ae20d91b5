#pragma once
// The PulseAudio side of the output devices: what they are (queries that block on the loop lock)
// and the state the devices keep while the host's sound is routed to the KivDisplay sink.
// Internal to the Linux target.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <pulse/pulseaudio.h>
#include <string>
#include <vector>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Linux/PulseAudioDevices.hpp"
#include "PulseConnection.hpp"

namespace kiv::pulse_devices {

const KivLogger& logger();

extern const std::string kSinkName;
extern const std::string kMonitorName;
// A fresh null sink renders its first block for 2 s before the monitor delivers anything.
inline constexpr pa_usec_t kWarmUpLimit = 3 * PA_USEC_PER_SEC;

struct SinkInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    bool mute = false;
};
struct InputInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::uint32_t sink = PA_INVALID_INDEX;
};
struct ModuleInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string argument;
};

// Sink indices start at 0, device IDs at 1 (0 is no device).
inline AudioDeviceID toDevice(std::uint32_t sink) {
    return sink + 1;
}
inline std::uint32_t toSink(AudioDeviceID device) {
    return device == 0 ? PA_INVALID_INDEX : device - 1;
}

// Ours when its arguments name our sink (not a sink whose name merely starts the same way).
bool isOurModule(const ModuleInfo& module);

// Blocking queries: lock held, never on the loop thread. Nothing when the server did not answer.
std::optional<std::vector<SinkInfo>> listSinks(PulseConnection& c);
std::optional<std::vector<InputInfo>> listInputs(PulseConnection& c);
std::optional<std::vector<ModuleInfo>> listModules(PulseConnection& c);
std::optional<std::string> defaultSinkName(PulseConnection& c);
// Runs an operation that answers success or failure and waits for the answer.
template <class Launch>
bool succeeds(PulseConnection& c, Launch launch) {
    struct Result {
        PulseConnection* connection;
        bool ok = false;
    } result{&c};
    auto* op = launch(
        c.context(),
        +[](pa_context*, int success, void* user) {
            auto* r = static_cast<Result*>(user);
            r->ok = success != 0;
            r->connection->signal();
        },
        &result);
    return c.waitFor(op) && result.ok;
}
std::optional<std::uint32_t> loadSinkModule(PulseConnection& c);
void forget(pa_operation* op);
// Stream-restore entries that name our sink would pull an application's streams onto it whenever
// it exists again. Asynchronous; works from any context. Nothing happens without the module.
void cleanStreamRestore(pa_context* context);

} // namespace kiv::pulse_devices

namespace kiv {

struct PulseAudioDevices::Impl {
    Impl(Executor& queue, std::optional<std::string> address) : main(queue.handle()), server(std::move(address)) {}

    ExecutorHandle main; // the muter's queue: where the listener runs
    const std::optional<std::string> server;
    std::weak_ptr<PulseAudioDevices> owner;
    std::function<void()> listener; // the muter's queue
    std::atomic<bool> listening{false};

    std::unique_ptr<PulseConnection> connection;
    // Guarded by the loop lock.
    std::optional<std::string> diverted; // the sink the host's sound is kept from
    std::optional<std::uint32_t> ourSink;
    bool routed = false;
    pa_stream* warmUp = nullptr;
    pa_time_event* warmUpTimer = nullptr;
    std::map<std::uint32_t, std::uint32_t> movedFrom; // sink input → the sink it played on
    std::string lastDefault;
    // The devices' queue.
    std::uint64_t generation = 0; // connections made so far
    std::uint64_t told = 0;       // the one the listener last heard of
    bool retrying = false;
    bool outage = false; // said once per outage

    static constexpr auto kRetryPeriod = std::chrono::seconds(1);

    // Main thread: a ready connection, made again when the server went away.
    PulseConnection* connected();
    // The server went away while the listener wants to hear of outputs: connect again every
    // kRetryPeriod until it is back, then tell the listener.
    void serverLost();
    void retry();
    std::optional<std::string> logicalDefault(PulseConnection& c);
    void startWarmUp();
    void stopWarmUp();
    void switchOver();
    void moveIn(pa_context* context, std::uint32_t input, std::uint32_t sink);
    bool divert(PulseConnection& c, const std::string& sink);
    bool undivert(PulseConnection& c, const std::optional<std::string>& target);
    void event(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index);
};

} // namespace kiv
