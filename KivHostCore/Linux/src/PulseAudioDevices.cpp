#include "KivHostCore/Linux/PulseAudioDevices.hpp"

#include <pulse/ext-stream-restore.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <fmt/format.h>
#include <map>

#include "KivProtocol/KivLog.hpp"
#include "PulseConnection.hpp"

namespace kiv {

namespace {

const KivLogger& logger() {
    static const KivLogger log = KivLog::logger("Audio");
    return log;
}

const std::string kSinkName{kCaptureSinkName};
const std::string kMonitorName = kSinkName + ".monitor";
// A fresh null sink renders its first block for 2 s before the monitor delivers anything.
constexpr pa_usec_t kWarmUpLimit = 3 * PA_USEC_PER_SEC;

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
AudioDeviceID toDevice(std::uint32_t sink) { return sink + 1; }
std::uint32_t toSink(AudioDeviceID device) { return device == 0 ? PA_INVALID_INDEX : device - 1; }

// Ours when its arguments name our sink (not a sink whose name merely starts the same way).
bool isOurModule(const ModuleInfo& module) {
    if (module.name != "module-null-sink") return false;
    const std::string key = "sink_name=" + kSinkName;
    for (auto at = module.argument.find(key); at != std::string::npos; at = module.argument.find(key, at + 1)) {
        const bool startsWord = at == 0 || module.argument[at - 1] == ' ';
        const auto end = at + key.size();
        const bool endsWord = end == module.argument.size() || module.argument[end] == ' ';
        if (startsWord && endsWord) return true;
    }
    return false;
}

// Blocking queries: lock held, never on the loop thread.
template <class Item, class Info, class Launch>
std::optional<std::vector<Item>> list(PulseConnection& connection, Launch launch, Item (*convert)(const Info&)) {
    struct Result {
        PulseConnection* connection;
        Item (*convert)(const Info&);
        std::vector<Item> items;
    } result{&connection, convert, {}};
    auto* op = launch(
        connection.context(),
        [](pa_context*, const Info* info, int eol, void* user) {
            auto* r = static_cast<Result*>(user);
            if (eol != 0 || !info) {
                r->connection->signal();
                return;
            }
            r->items.push_back(r->convert(*info));
        },
        &result);
    if (!connection.waitFor(op)) return std::nullopt;
    return result.items;
}

std::optional<std::vector<SinkInfo>> listSinks(PulseConnection& c) {
    return list<SinkInfo, pa_sink_info>(c, pa_context_get_sink_info_list, +[](const pa_sink_info& i) {
        return SinkInfo{i.index, i.name ? i.name : "", i.mute != 0};
    });
}
std::optional<std::vector<InputInfo>> listInputs(PulseConnection& c) {
    return list<InputInfo, pa_sink_input_info>(c, pa_context_get_sink_input_info_list,
                                               +[](const pa_sink_input_info& i) { return InputInfo{i.index, i.sink}; });
}
std::optional<std::vector<ModuleInfo>> listModules(PulseConnection& c) {
    return list<ModuleInfo, pa_module_info>(c, pa_context_get_module_info_list, +[](const pa_module_info& i) {
        return ModuleInfo{i.index, i.name ? i.name : "", i.argument ? i.argument : ""};
    });
}

std::optional<std::string> defaultSinkName(PulseConnection& c) {
    struct Result {
        PulseConnection* connection;
        std::optional<std::string> name;
    } result{&c, {}};
    auto* op = pa_context_get_server_info(
        c.context(),
        [](pa_context*, const pa_server_info* info, void* user) {
            auto* r = static_cast<Result*>(user);
            if (info && info->default_sink_name) r->name = info->default_sink_name;
            r->connection->signal();
        },
        &result);
    if (!c.waitFor(op)) return std::nullopt;
    return result.name;
}

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

std::optional<std::uint32_t> loadSinkModule(PulseConnection& c) {
    struct Result {
        PulseConnection* connection;
        std::uint32_t index = PA_INVALID_INDEX;
    } result{&c};
    const auto arguments = fmt::format("sink_name={0} rate=48000 channels=2 sink_properties=device.description={0}", kSinkName);
    auto* op = pa_context_load_module(
        c.context(), "module-null-sink", arguments.c_str(),
        [](pa_context*, std::uint32_t index, void* user) {
            auto* r = static_cast<Result*>(user);
            r->index = index;
            r->connection->signal();
        },
        &result);
    if (!c.waitFor(op) || result.index == PA_INVALID_INDEX) return std::nullopt;
    return result.index;
}

void forget(pa_operation* op) {
    if (op) pa_operation_unref(op);
}

// Stream-restore entries that name our sink would pull an application's streams onto it whenever
// it exists again. Asynchronous; works from any context. Nothing happens without the module.
void cleanStreamRestore(pa_context* context) {
    struct Pending {
        std::vector<std::string> names;
    };
    forget(pa_ext_stream_restore_read(
        context,
        [](pa_context* ctx, const pa_ext_stream_restore_info* info, int eol, void* user) {
            auto* pending = static_cast<Pending*>(user);
            if (eol == 0 && info) {
                if (info->device && kSinkName == info->device && info->name) pending->names.emplace_back(info->name);
                return;
            }
            if (eol > 0 && !pending->names.empty()) {
                std::vector<const char*> names;
                for (const auto& name : pending->names) names.push_back(name.c_str());
                names.push_back(nullptr);
                forget(pa_ext_stream_restore_delete(ctx, names.data(), nullptr, nullptr));
            }
            delete pending;
        },
        new Pending));
}

} // namespace

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

    // Main thread: a ready connection, made again when the server went away.
    PulseConnection* connected();
    std::optional<std::string> logicalDefault(PulseConnection& c);
    void startWarmUp();
    void stopWarmUp();
    void switchOver();
    void moveIn(pa_context* context, std::uint32_t input, std::uint32_t sink);
    bool divert(PulseConnection& c, const std::string& sink);
    bool undivert(PulseConnection& c, const std::optional<std::string>& target);
    void event(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index);
};

PulseConnection* PulseAudioDevices::Impl::connected() {
    if (connection) {
        const std::lock_guard lock(*connection);
        if (connection->isReady()) return connection.get();
        stopWarmUp();
    }
    connection.reset();
    // A new server holds none of what the old one did.
    diverted.reset();
    ourSink.reset();
    routed = false;
    movedFrom.clear();
    auto fresh = PulseConnection::make("kiv.audio.devices", "KivDisplay");
    if (!fresh || fresh->connect(server, {})) return nullptr;
    const std::lock_guard lock(*fresh);
    if (!fresh->waitReady()) return nullptr;
    pa_context_set_subscribe_callback(
        fresh->context(),
        [](pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* user) {
            static_cast<Impl*>(user)->event(context, type, index);
        },
        this);
    forget(pa_context_subscribe(fresh->context(),
                                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK_INPUT),
                                nullptr, nullptr));
    connection = std::move(fresh);
    return connection.get();
}

std::optional<std::string> PulseAudioDevices::Impl::logicalDefault(PulseConnection& c) {
    auto name = defaultSinkName(c);
    if (name && *name == kSinkName && diverted) return diverted;
    return name;
}

// Loop-thread callbacks use the context they are given: `connection` may already be on its way out.
void PulseAudioDevices::Impl::event(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index) {
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && kind == PA_SUBSCRIPTION_EVENT_NEW && routed) {
        // A stream opened on a named output while ours is in use: keep it off the speakers too.
        forget(pa_context_get_sink_input_info(
            context, index,
            [](pa_context* ctx, const pa_sink_input_info* info, int eol, void* user) {
                auto* self = static_cast<Impl*>(user);
                if (eol == 0 && info && self->routed && self->ourSink && info->sink != *self->ourSink) self->moveIn(ctx, info->index, info->sink);
            },
            this));
        return;
    }
    if (facility != PA_SUBSCRIPTION_EVENT_SERVER || !listening) return;
    forget(pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* user) {
            auto* self = static_cast<Impl*>(user);
            if (!info || !info->default_sink_name) return;
            std::string name = info->default_sink_name;
            if (name == kSinkName && self->diverted) name = *self->diverted;
            if (name == self->lastDefault) return;
            self->lastDefault = name;
            self->main.post([weak = self->owner] {
                auto devices = weak.lock();
                if (!devices) return;
                if (auto handler = devices->impl_->listener) handler();
            });
        },
        this));
}

void PulseAudioDevices::Impl::moveIn(pa_context* context, std::uint32_t input, std::uint32_t sink) {
    movedFrom.emplace(input, sink);
    forget(pa_context_move_sink_input_by_index(context, input, *ourSink, nullptr, nullptr));
}

void PulseAudioDevices::Impl::startWarmUp() {
    stopWarmUp();
    auto* context = connection->context();
    const pa_sample_spec spec{PA_SAMPLE_S16LE, 48'000, 2};
    warmUp = pa_stream_new(context, "KivDisplay warm-up", &spec, nullptr);
    if (!warmUp) {
        switchOver();
        return;
    }
    pa_stream_set_read_callback(
        warmUp,
        [](pa_stream* stream, std::size_t, void* user) {
            bool delivered = false;
            const void* data = nullptr;
            std::size_t size = 0;
            while (pa_stream_peek(stream, &data, &size) == 0 && size > 0) {
                delivered = delivered || data != nullptr;
                pa_stream_drop(stream);
            }
            auto* self = static_cast<Impl*>(user);
            if (delivered && !self->routed) self->switchOver();
        },
        this);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.fragsize = 1920;
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(warmUp, kMonitorName.c_str(), &attributes, flags) < 0) {
        switchOver();
        return;
    }
    warmUpTimer = pa_context_rttime_new(
        context, pa_rtclock_now() + kWarmUpLimit,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) { static_cast<Impl*>(user)->switchOver(); }, this);
}

void PulseAudioDevices::Impl::stopWarmUp() {
    if (warmUpTimer) {
        connection->api()->time_free(warmUpTimer);
        warmUpTimer = nullptr;
    }
    if (warmUp) {
        pa_stream_set_read_callback(warmUp, nullptr, nullptr);
        pa_stream_disconnect(warmUp);
        pa_stream_unref(warmUp);
        warmUp = nullptr;
    }
}

// Loop thread: the null sink delivers, so the sound can go there without a gap on the device.
// The warm-up stream stays: while nothing else records the monitor, the sink would fall back to
// rendering in long blocks and the capture would wait for one.
void PulseAudioDevices::Impl::switchOver() {
    if (warmUpTimer) {
        connection->api()->time_free(warmUpTimer);
        warmUpTimer = nullptr;
    }
    if (!diverted || routed || !ourSink) return;
    routed = true;
    auto* context = connection->context();
    // Default first: streams that follow it move by themselves and the moves below do not pin.
    forget(pa_context_set_default_sink(context, kSinkName.c_str(), nullptr, nullptr));
    forget(pa_context_get_sink_input_info_list(
        context,
        [](pa_context* ctx, const pa_sink_input_info* info, int eol, void* user) {
            auto* self = static_cast<Impl*>(user);
            if (eol != 0 || !info || !self->routed || !self->ourSink) return;
            if (info->sink != *self->ourSink) self->moveIn(ctx, info->index, info->sink);
        },
        this));
    cleanStreamRestore(context);
    logger().info(fmt::format("Host sound now plays into {} (taken from {})", kSinkName, *diverted));
}

bool PulseAudioDevices::Impl::divert(PulseConnection& c, const std::string& sink) {
    if (diverted == sink) return true;
    if (diverted) undivert(c, sink);
    auto sinks = listSinks(c);
    if (!sinks) return false;
    auto ours = std::ranges::find(*sinks, kSinkName, &SinkInfo::name);
    if (ours == sinks->end()) {
        if (!loadSinkModule(c) || !(sinks = listSinks(c))) return false;
        ours = std::ranges::find(*sinks, kSinkName, &SinkInfo::name);
        if (ours == sinks->end()) return false;
    }
    ourSink = ours->index;
    diverted = sink;
    routed = false;
    startWarmUp();
    return true;
}

bool PulseAudioDevices::Impl::undivert(PulseConnection& c, const std::optional<std::string>& target) {
    stopWarmUp();
    diverted.reset();
    routed = false;
    const auto sinks = listSinks(c);
    if (!sinks) return false;
    const auto find = [&](const std::string& name) { return std::ranges::find(*sinks, name, &SinkInfo::name); };
    const auto ours = find(kSinkName);
    const auto current = defaultSinkName(c);
    bool ok = true;
    std::optional<std::uint32_t> destination;
    if (!current || *current == kSinkName) {
        // Default back first: moving a stream to the default sink leaves it following the default.
        auto chosen = target ? find(*target) : sinks->end();
        if (chosen == sinks->end()) chosen = std::ranges::find_if(*sinks, [](const SinkInfo& s) { return s.name != kSinkName; });
        if (chosen != sinks->end()) {
            const auto name = chosen->name;
            ok = succeeds(c, [&](pa_context* ctx, pa_context_success_cb_t cb, void* user) {
                return pa_context_set_default_sink(ctx, name.c_str(), cb, user);
            });
            destination = chosen->index;
        }
    } else if (const auto now = find(*current); now != sinks->end()) {
        destination = now->index; // the user picked another output meanwhile
    }
    if (ours != sinks->end()) {
        if (const auto inputs = listInputs(c)) {
            for (const auto& input : *inputs) {
                if (input.sink != ours->index) continue;
                std::optional<std::uint32_t> back = destination;
                if (const auto from = movedFrom.find(input.index); from != movedFrom.end()) {
                    const bool stillThere = std::ranges::find(*sinks, from->second, &SinkInfo::index) != sinks->end();
                    if (stillThere && from->second != ours->index) back = from->second;
                }
                if (back) forget(pa_context_move_sink_input_by_index(c.context(), input.index, *back, nullptr, nullptr));
            }
        }
    }
    movedFrom.clear();
    ourSink.reset();
    cleanStreamRestore(c.context());
    if (const auto modules = listModules(c)) {
        for (const auto& module : *modules) {
            if (!isOurModule(module)) continue;
            const auto index = module.index;
            ok = succeeds(c, [&](pa_context* ctx, pa_context_success_cb_t cb, void* user) {
                     return pa_context_unload_module(ctx, index, cb, user);
                 }) && ok;
        }
    }
    return ok;
}

std::shared_ptr<PulseAudioDevices> PulseAudioDevices::create(Executor& queue, std::optional<std::string> server) {
    auto devices = std::make_shared<PulseAudioDevices>(std::make_unique<Impl>(queue, std::move(server)));
    devices->impl_->owner = devices;
    return devices;
}

PulseAudioDevices::PulseAudioDevices(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PulseAudioDevices::~PulseAudioDevices() {
    if (!impl_->connection) return;
    {
        const std::lock_guard lock(*impl_->connection);
        impl_->stopWarmUp();
        pa_context_set_subscribe_callback(impl_->connection->context(), nullptr, nullptr);
    }
    impl_->connection.reset();
}

std::optional<AudioDeviceID> PulseAudioDevices::defaultOutputDevice() {
    auto* c = impl_->connected();
    if (!c) return std::nullopt;
    const std::lock_guard lock(*c);
    const auto name = impl_->logicalDefault(*c);
    const auto sinks = listSinks(*c);
    if (!name || !sinks) return std::nullopt;
    const auto found = std::ranges::find(*sinks, *name, &SinkInfo::name);
    if (found == sinks->end()) return std::nullopt;
    return toDevice(found->index);
}

std::vector<AudioDeviceID> PulseAudioDevices::devices() {
    std::vector<AudioDeviceID> ids;
    auto* c = impl_->connected();
    if (!c) return ids;
    const std::lock_guard lock(*c);
    for (const auto& sink : listSinks(*c).value_or(std::vector<SinkInfo>{})) {
        if (sink.name != kSinkName) ids.push_back(toDevice(sink.index));
    }
    return ids;
}

namespace {
std::optional<SinkInfo> sinkOf(PulseConnection& c, AudioDeviceID device) {
    const auto sinks = listSinks(c);
    if (!sinks) return std::nullopt;
    const auto found = std::ranges::find(*sinks, toSink(device), &SinkInfo::index);
    if (found == sinks->end()) return std::nullopt;
    return *found;
}
} // namespace

std::optional<std::string> PulseAudioDevices::uid(AudioDeviceID device) {
    auto* c = impl_->connected();
    if (!c) return std::nullopt;
    const std::lock_guard lock(*c);
    const auto sink = sinkOf(*c, device);
    if (!sink) return std::nullopt;
    return sink->name;
}

std::optional<bool> PulseAudioDevices::isMuted(AudioDeviceID device) {
    auto* c = impl_->connected();
    if (!c) return std::nullopt;
    const std::lock_guard lock(*c);
    const auto sink = sinkOf(*c, device);
    if (!sink) return std::nullopt;
    return sink->mute;
}

bool PulseAudioDevices::canMute(AudioDeviceID device) {
    const auto name = uid(device);
    return name && *name != kSinkName;
}

bool PulseAudioDevices::setMuted(AudioDeviceID device, bool muted) {
    auto* c = impl_->connected();
    if (!c) return false;
    const std::lock_guard lock(*c);
    const auto sink = sinkOf(*c, device);
    if (muted) return sink && sink->name != kSinkName && impl_->divert(*c, sink->name);
    return impl_->undivert(*c, sink ? std::optional(sink->name) : std::nullopt);
}

void PulseAudioDevices::setDefaultOutputListener(std::function<void()> listener) {
    impl_->listener = std::move(listener);
    if (!impl_->listener) {
        impl_->listening = false;
        return;
    }
    auto* c = impl_->connected();
    if (!c) return;
    const std::lock_guard lock(*c);
    impl_->lastDefault = impl_->logicalDefault(*c).value_or("");
    impl_->listening = true;
}

void PulseAudioDevices::removeLeftovers() {
    auto* c = impl_->connected();
    if (!c) return;
    const std::lock_guard lock(*c);
    if (impl_->diverted) return; // ours, in use
    const auto modules = listModules(*c);
    const auto sinks = listSinks(*c);
    const bool leftover = (modules && std::ranges::any_of(*modules, isOurModule)) ||
                          (sinks && std::ranges::find(*sinks, kSinkName, &SinkInfo::name) != sinks->end());
    if (leftover) {
        logger().notice(fmt::format("Removing the {} sink left by a previous run", kSinkName));
        impl_->undivert(*c, std::nullopt);
    } else {
        cleanStreamRestore(c->context());
    }
}

bool PulseAudioDevices::isRouted() {
    auto* c = impl_->connected();
    if (!c) return false;
    const std::lock_guard lock(*c);
    return impl_->routed;
}

} // namespace kiv
