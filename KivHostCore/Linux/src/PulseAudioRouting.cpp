// Routing the host's sound to the KivDisplay sink and back: the warm-up stream that readies the
// sink, the switch of the default output and of every stream, and the way back.
#include <algorithm>
#include <chrono>
#include <fmt/format.h>
#include <thread>
#include <utility>

#include "PulseDevicesImpl.hpp"

namespace kiv {

using namespace pulse_devices;

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
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
            static_cast<Impl*>(user)->switchOver();
        },
        this);
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
    forget(pa_context_set_default_sink(
        context, kSinkName.c_str(),
        [](pa_context* ctx, int success, void* user) {
            auto* self = static_cast<Impl*>(user);
            if (success != 0) {
                logger().info(fmt::format("Host sound now plays into {} (taken from {})", kSinkName,
                                          self->diverted.value_or("?")));
            } else {
                // The streams playing now were moved in below; new ones go to the old default.
                logger().warning(fmt::format("The sound server kept {} as its default output ({}): only the sound "
                                             "playing now goes to the device",
                                             self->diverted.value_or("?"), pa_strerror(pa_context_errno(ctx))));
            }
        },
        this));
    forget(pa_context_get_sink_input_info_list(
        context,
        [](pa_context* ctx, const pa_sink_input_info* info, int eol, void* user) {
            auto* self = static_cast<Impl*>(user);
            if (eol != 0 || !info || !self->routed || !self->ourSink) return;
            if (info->sink != *self->ourSink) self->moveIn(ctx, info->index, info->sink);
        },
        this));
    cleanStreamRestore(context);
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
    const auto wasDefault = std::exchange(diverted, std::nullopt); // the output the sound was taken from
    routed = false;
    const auto sinks = listSinks(c);
    if (!sinks) return false;
    const auto find = [&](const std::string& name) { return std::ranges::find(*sinks, name, &SinkInfo::name); };
    const auto ours = find(kSinkName);
    const auto current = defaultSinkName(c);
    bool ok = true;
    std::optional<std::uint32_t> destination;
    bool picked = false; // the user chose another default output meanwhile
    if (!current || *current == kSinkName) {
        // Default back first: moving a stream to the default sink leaves it following the default.
        auto chosen = target ? find(*target) : sinks->end();
        if (chosen == sinks->end())
            chosen = std::ranges::find_if(*sinks, [](const SinkInfo& s) { return s.name != kSinkName; });
        if (chosen != sinks->end()) {
            const auto name = chosen->name;
            ok = succeeds(c, [&](pa_context* ctx, pa_context_success_cb_t cb, void* user) {
                return pa_context_set_default_sink(ctx, name.c_str(), cb, user);
            });
            destination = chosen->index;
        }
    } else if (const auto now = find(*current); now != sinks->end()) {
        destination = now->index; // the user picked another output meanwhile
        picked = true;
    }
    if (ours != sinks->end()) {
        if (const auto inputs = listInputs(c)) {
            for (const auto& input : *inputs) {
                if (input.sink != ours->index) continue;
                std::optional<std::uint32_t> back = destination;
                if (const auto from = movedFrom.find(input.index); from != movedFrom.end()) {
                    const auto was = std::ranges::find(*sinks, from->second, &SinkInfo::index);
                    // A stream that played on the default output follows the default the user picked
                    // since; one on another output goes back there.
                    const bool followsDefault = picked && was != sinks->end() && was->name == wasDefault;
                    if (was != sinks->end() && from->second != ours->index && !followsDefault) back = from->second;
                }
                if (back)
                    forget(pa_context_move_sink_input_by_index(c.context(), input.index, *back, nullptr, nullptr));
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
            ok = succeeds(c, [&](pa_context* ctx, pa_context_success_cb_t cb,
                                 void* user) { return pa_context_unload_module(ctx, index, cb, user); }) &&
                 ok;
        }
    }
    // The server acknowledges an unload before the sink is gone. A divert right after (the user
    // picked another output while muted) would take the dying sink for ours, and the sound would
    // fall back to the speakers with it: wait until it is gone (it takes a few milliseconds).
    for (int wait = 0; wait < 100; ++wait) {
        const auto left = listSinks(c);
        if (!left || std::ranges::find(*left, kSinkName, &SinkInfo::name) == left->end()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ok;
}

} // namespace kiv
