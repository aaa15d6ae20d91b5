#include "KivHostCore/Linux/PulseAudioDevices.hpp"

#include <algorithm>
#include <fmt/format.h>

#include "PulseDevicesImpl.hpp"

namespace kiv {

using namespace pulse_devices;

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
    auto fresh = PulseConnection::make("kiv.audio.devices", kPulseClientName);
    if (!fresh) return nullptr;
    const auto onState = [weak = owner, queue = main](pa_context_state_t state) {
        if (state != PA_CONTEXT_FAILED && state != PA_CONTEXT_TERMINATED) return;
        queue.post([weak] {
            if (auto devices = weak.lock()) devices->impl_->serverLost();
        });
    };
    if (fresh->connect(server, onState)) return nullptr;
    const std::lock_guard lock(*fresh);
    if (!fresh->waitReady()) return nullptr;
    ++generation;
    pa_context_set_subscribe_callback(
        fresh->context(),
        [](pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* user) {
            static_cast<Impl*>(user)->event(context, type, index);
        },
        this);
    forget(pa_context_subscribe(
        fresh->context(),
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK_INPUT), nullptr,
        nullptr));
    connection = std::move(fresh);
    return connection.get();
}

void PulseAudioDevices::Impl::serverLost() {
    if (!listening || retrying) return;
    retrying = true;
    if (!outage) {
        outage = true;
        logger().notice("Lost the sound server, connecting again every second");
    }
    main.postAfter(kRetryPeriod, [weak = owner] {
        if (auto devices = weak.lock()) devices->impl_->retry();
    });
}

void PulseAudioDevices::Impl::retry() {
    retrying = false;
    if (!listening) return;
    auto* c = connected();
    if (!c) {
        serverLost();
        return;
    }
    outage = false;
    if (generation == told) return;
    told = generation;
    {
        const std::lock_guard lock(*c);
        lastDefault = logicalDefault(*c).value_or("");
    }
    logger().notice("Sound server is back");
    if (listener) listener();
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
                if (eol == 0 && info && self->routed && self->ourSink && info->sink != *self->ourSink)
                    self->moveIn(ctx, info->index, info->sink);
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

std::uint64_t PulseAudioDevices::serverGeneration() {
    return impl_->generation;
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
    impl_->told = impl_->generation;
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
