#include "KivHostCore/Linux/PulseAudioRecorder.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <mutex>
#include <pulse/pulseaudio.h>
#include <thread>

#include "KivBase/KivLog.hpp"
#include "KivProtocol/HostClock.hpp"
#include "PulseConnection.hpp"

namespace kiv {

namespace {

const KivLogger& logger() {
    static const KivLogger log = KivLog::logger("Audio");
    return log;
}

// A source that keeps failing right after it was chosen is given up after this many tries.
constexpr int kMaxConsecutiveFailures = 3;
// The default output is looked at again this often: PipeWire's server sometimes leaves out the
// event for a new default, and names none ("@DEFAULT_SINK@") for a moment while it changes.
constexpr pa_usec_t kRecheckMicros = 1'000'000;
// With no default output to record for this long, the capture ends (its owner starts it again).
constexpr pa_usec_t kUnavailableLimitMicros = 5'000'000;

void release(pa_stream*& stream) {
    if (!stream) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
    pa_stream_unref(stream); // libpulse holds its own reference while it calls back
    stream = nullptr;
}

} // namespace

struct PulseAudioRecorder::Impl {
    std::int64_t sampleRate = 48'000;
    std::int64_t channels = 2;
    PulseAudioRecorder::Options options;
    AudioRecorderHandlers handlers;

    std::unique_ptr<PulseConnection> connection;
    // Loop-lock guarded.
    bool running = false;
    bool reported = false;
    int failures = 0;
    pa_stream* stream = nullptr;  // the one delivering
    pa_stream* pending = nullptr; // connecting to a newly chosen source
    pa_time_event* recheck = nullptr;
    pa_usec_t unavailableSince = 0; // when following the default found nothing to record; 0 while it does
    std::string pendingSource;
    AudioBufferFormat format;
    AudioBufferFormat pendingFormat;

    mutable std::mutex sourceMutex;
    std::string source; // recorded now

    void report(std::expected<std::string, AudioCaptureError> outcome) {
        reported = true;
        if (!outcome) running = false;
        if (handlers.started) handlers.started(std::move(outcome));
    }
    void stoppedByItself(const PulseError& error) {
        running = false;
        stopRechecking();
        release(pending);
        release(stream);
        if (handlers.stopped) handlers.stopped({error.text, "pulseaudio", error.code});
    }
    void setSource(std::string name) {
        const std::lock_guard lock(sourceMutex);
        source = std::move(name);
    }

    void stopRechecking() {
        if (!recheck) return;
        connection->api()->time_free(recheck);
        recheck = nullptr;
    }
    void startRechecking();

    void stateChanged(pa_context_state_t state);
    void chooseSource();
    void sourceUnavailable(const PulseError& error);
    void connectTo(const std::string& name, pa_sample_format_t native);
    void streamStateChanged(pa_stream* changed);
    void readable(pa_stream* from);
};

void PulseAudioRecorder::Impl::stateChanged(pa_context_state_t state) {
    if (!running) return;
    if (state == PA_CONTEXT_READY) {
        if (!options.source) {
            pa_context_set_subscribe_callback(
                connection->context(),
                [](pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* user) {
                    auto* self = static_cast<Impl*>(user);
                    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER && self->running)
                        self->chooseSource();
                },
                this);
            if (auto* op = pa_context_subscribe(connection->context(), PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr))
                pa_operation_unref(op);
            startRechecking();
        }
        chooseSource();
        return;
    }
    if (PA_CONTEXT_IS_GOOD(state)) return;
    const auto error = connection->lastError();
    if (!reported) {
        report(std::unexpected(error.code == PA_ERR_ACCESS ? AudioCaptureError::permissionDenied()
                                                           : AudioCaptureError::startFailed(error.text)));
        return;
    }
    stoppedByItself(error);
}

void PulseAudioRecorder::Impl::startRechecking() {
    stopRechecking();
    recheck = pa_context_rttime_new(
        connection->context(), pa_rtclock_now() + kRecheckMicros,
        [](pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* user) {
            auto* self = static_cast<Impl*>(user);
            if (!self->running) return;
            pa_context_rttime_restart(self->connection->context(), event, pa_rtclock_now() + kRecheckMicros);
            self->chooseSource();
        },
        this);
}

void PulseAudioRecorder::Impl::chooseSource() {
    auto* context = connection->context();
    pa_operation* op = nullptr;
    if (options.source) {
        op = pa_context_get_source_info_by_name(
            context, options.source->c_str(),
            [](pa_context* ctx, const pa_source_info* info, int eol, void* user) {
                auto* self = static_cast<Impl*>(user);
                if (eol < 0) self->sourceUnavailable(pulseError(pa_context_errno(ctx)));
                if (eol != 0 || !info || !self->running) return;
                self->connectTo(info->name, info->sample_spec.format);
            },
            this);
    } else {
        // The default sink's monitor: whatever the host's sound plays into.
        op = pa_context_get_server_info(
            context,
            [](pa_context* ctx, const pa_server_info* info, void* user) {
                auto* self = static_cast<Impl*>(user);
                if (!self->running) return;
                if (!info || !info->default_sink_name) {
                    self->sourceUnavailable({PA_ERR_NOENTITY, "No default sound output"});
                    return;
                }
                auto* next = pa_context_get_sink_info_by_name(
                    ctx, info->default_sink_name,
                    [](pa_context* c, const pa_sink_info* sink, int eol, void* u) {
                        auto* me = static_cast<Impl*>(u);
                        if (eol < 0) me->sourceUnavailable(pulseError(pa_context_errno(c)));
                        if (eol != 0 || !sink || !me->running || !sink->monitor_source_name) return;
                        me->connectTo(sink->monitor_source_name, sink->sample_spec.format);
                    },
                    self);
                if (next) pa_operation_unref(next);
            },
            this);
    }
    if (op) pa_operation_unref(op);
}

void PulseAudioRecorder::Impl::sourceUnavailable(const PulseError& error) {
    if (!running) return;
    if (!reported) {
        report(std::unexpected(AudioCaptureError::startFailed(error.text)));
        return;
    }
    if (stream || pending) return; // the current stream keeps recording
    if (options.source) {
        stoppedByItself(error);
        return;
    }
    // Following the default: a moment without one is waited out, a lasting one ends the capture.
    const auto now = pa_rtclock_now();
    if (unavailableSince == 0) unavailableSince = now;
    if (now - unavailableSince >= kUnavailableLimitMicros) stoppedByItself(error);
}

void PulseAudioRecorder::Impl::connectTo(const std::string& name, pa_sample_format_t native) {
    if (stream && !pending && name == source) return;
    if (pending && name == pendingSource) return;
    release(pending);
    const bool isFloat = native == PA_SAMPLE_FLOAT32LE;
    const pa_sample_spec spec{isFloat ? PA_SAMPLE_FLOAT32LE : PA_SAMPLE_S16LE, static_cast<std::uint32_t>(sampleRate),
                              static_cast<std::uint8_t>(channels)};
    pending = pa_stream_new(connection->context(), "KivDisplay system sound", &spec, nullptr);
    if (!pending) {
        sourceUnavailable(connection->lastError());
        return;
    }
    pendingSource = name;
    pendingFormat = {static_cast<double>(sampleRate), isFloat, false, channels, isFloat ? 32 : 16};
    pa_stream_set_state_callback(
        pending, [](pa_stream* s, void* user) { static_cast<Impl*>(user)->streamStateChanged(s); }, this);
    pa_stream_set_read_callback(
        pending, [](pa_stream* s, std::size_t, void* user) { static_cast<Impl*>(user)->readable(s); }, this);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(10 * PA_USEC_PER_MSEC, &spec)); // about 10 ms
    // DONT_MOVE: a stream on a monitor would otherwise wander to the new default's monitor by
    // itself; following the default is done here, on purpose.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(pending, name.c_str(), &attributes, flags) < 0) {
        const auto error = connection->lastError();
        release(pending);
        sourceUnavailable(error);
    }
}

void PulseAudioRecorder::Impl::streamStateChanged(pa_stream* changed) {
    const auto state = pa_stream_get_state(changed);
    if (state == PA_STREAM_READY && changed == pending) {
        release(stream);
        stream = pending;
        pending = nullptr;
        format = pendingFormat;
        failures = 0;
        unavailableSince = 0;
        setSource(pendingSource);
        if (!reported) {
            report(pendingSource);
        } else {
            logger().info(fmt::format("System audio capture now records {}", pendingSource));
        }
        return;
    }
    if (PA_STREAM_IS_GOOD(state)) return;
    if (changed != pending && changed != stream) return;
    const auto error = connection->lastError();
    logger().warning(fmt::format("System audio capture could not record {}: {}",
                                 changed == pending ? pendingSource : source, error.text));
    if (changed == pending) {
        release(pending);
    } else {
        release(stream); // its sink went away
        setSource({});
    }
    if (!running || !PA_CONTEXT_IS_GOOD(pa_context_get_state(connection->context()))) return; // the context reports it
    if (!reported) {
        report(std::unexpected(AudioCaptureError::startFailed(error.text)));
    } else if (++failures > kMaxConsecutiveFailures) {
        if (!stream) stoppedByItself(error);
    } else if (!stream && !pending) {
        chooseSource();
    }
}

void PulseAudioRecorder::Impl::readable(pa_stream* from) {
    const void* data = nullptr;
    std::size_t size = 0;
    while (pa_stream_peek(from, &data, &size) == 0 && size > 0) {
        if (data && from == stream && running && handlers.buffer) {
            const auto bytesPerFrame = static_cast<std::size_t>(format.channelsPerFrame * format.bitsPerChannel / 8);
            const auto frames = static_cast<std::int64_t>(size / bytesPerFrame);
            const auto now = HostClock::nowMicros();
            const auto span = static_cast<std::uint64_t>(frames * 1'000'000 / sampleRate);
            const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data), size);
            const std::span<const std::uint8_t> buffers[1] = {bytes};
            handlers.buffer(format, buffers, frames, now > span ? now - span : 0); // stamped with its first frame
        }
        pa_stream_drop(from);
    }
}

std::shared_ptr<PulseAudioRecorder> PulseAudioRecorder::create(Options options) {
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    return std::make_shared<PulseAudioRecorder>(std::move(impl));
}

PulseAudioRecorder::PulseAudioRecorder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PulseAudioRecorder::~PulseAudioRecorder() {
    stop();
}

void PulseAudioRecorder::start(std::int64_t sampleRate, std::int64_t channels, AudioRecorderHandlers handlers) {
    stop();
    auto connection = PulseConnection::make("kiv.audio.capture", kPulseClientName);
    if (!connection) {
        if (handlers.started)
            handlers.started(std::unexpected(AudioCaptureError::startFailed("Could not set up a PulseAudio client")));
        return;
    }
    auto& impl = *impl_;
    impl.connection = std::move(connection);
    {
        const std::lock_guard lock(*impl.connection);
        impl.sampleRate = std::clamp<std::int64_t>(sampleRate, 8'000, 192'000);
        impl.channels = std::clamp<std::int64_t>(channels, 1, 2);
        impl.running = true;
        impl.reported = false;
        impl.failures = 0;
        impl.unavailableSince = 0;
        impl.handlers = std::move(handlers);
    }
    // The recorder may go inside one of its own callbacks while the loop still has state changes to
    // deliver (its connection is taken down on another thread): those find nothing to call.
    const auto error =
        impl.connection->connect(impl.options.server, [weak = std::weak_ptr<Impl>(impl_)](pa_context_state_t state) {
            if (const auto alive = weak.lock()) alive->stateChanged(state);
        });
    if (!error) return;
    const std::lock_guard lock(*impl.connection);
    if (!impl.reported) impl.report(std::unexpected(AudioCaptureError::startFailed(error->text)));
}

void PulseAudioRecorder::stop() {
    auto& impl = *impl_;
    if (!impl.connection) return;
    {
        // The last owner may let go inside one of our own callbacks, which run on the loop thread
        // with the loop lock already held: locking again there aborts.
        std::unique_lock lock(*impl.connection, std::defer_lock);
        if (!impl.connection->inLoopThread()) lock.lock();
        impl.running = false;
        impl.handlers = {};
        release(impl.pending);
        release(impl.stream);
        impl.stopRechecking();
        pa_context_set_subscribe_callback(impl.connection->context(), nullptr, nullptr);
    }
    impl.setSource({});
    auto connection = std::move(impl.connection);
    if (connection->inLoopThread()) {
        // The loop cannot join itself: let another thread take it down.
        std::thread([doomed = std::move(connection)]() mutable { doomed.reset(); }).detach();
    } else {
        connection.reset();
    }
}

std::string PulseAudioRecorder::currentSource() const {
    const std::lock_guard lock(impl_->sourceMutex);
    return impl_->source;
}

} // namespace kiv
