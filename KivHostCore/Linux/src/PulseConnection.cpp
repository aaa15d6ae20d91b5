#include "PulseConnection.hpp"

namespace kiv {

PulseError pulseError(int code) {
    const char* text = pa_strerror(code);
    return {code, text ? text : "Unknown error"};
}

std::unique_ptr<PulseConnection> PulseConnection::make(const std::string& threadName, const std::string& clientName) {
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    if (!loop) return nullptr;
    pa_threaded_mainloop_set_name(loop, threadName.c_str());
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, clientName.c_str());
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "io.kivdisplay.host");
    pa_context* context =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), clientName.c_str(), properties);
    pa_proplist_free(properties);
    if (!context) {
        pa_threaded_mainloop_free(loop);
        return nullptr;
    }
    return std::make_unique<PulseConnection>(loop, context);
}

PulseConnection::PulseConnection(pa_threaded_mainloop* loop, pa_context* context) : loop_(loop), context_(context) {
    pa_context_set_state_callback(context_, &PulseConnection::stateChanged, this);
}

PulseConnection::~PulseConnection() {
    if (running_) {
        pa_threaded_mainloop_lock(loop_);
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
    } else {
        pa_context_set_state_callback(context_, nullptr, nullptr);
    }
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
}

std::optional<PulseError> PulseConnection::connect(const std::optional<std::string>& server, StateHandler onState) {
    onState_ = std::move(onState);
    if (pa_threaded_mainloop_start(loop_) < 0)
        return PulseError{PA_ERR_INTERNAL, "Could not start the PulseAudio client thread"};
    running_ = true;
    lock();
    const int result =
        pa_context_connect(context_, server ? server->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    std::optional<PulseError> error;
    if (result < 0) error = pulseError(pa_context_errno(context_));
    unlock();
    return error;
}

void PulseConnection::stateChanged(pa_context* context, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    connection->signal();
    if (connection->onState_) connection->onState_(pa_context_get_state(context));
}

void PulseConnection::lock() {
    pa_threaded_mainloop_lock(loop_);
}
void PulseConnection::unlock() {
    pa_threaded_mainloop_unlock(loop_);
}
void PulseConnection::signal() {
    pa_threaded_mainloop_signal(loop_, 0);
}
bool PulseConnection::inLoopThread() {
    return pa_threaded_mainloop_in_thread(loop_) != 0;
}

bool PulseConnection::isReady() {
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

namespace {
// A timer on the loop that wakes the waiter when its deadline passes.
struct Deadline {
    pa_threaded_mainloop* loop;
    bool passed = false;
    static void fired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
        auto* deadline = static_cast<Deadline*>(self);
        deadline->passed = true;
        pa_threaded_mainloop_signal(deadline->loop, 0);
    }
};
} // namespace

template <class Done>
bool PulseConnection::waitUntil(Done done) {
    Deadline deadline{loop_};
    pa_time_event* timer =
        pa_context_rttime_new(context_, pa_rtclock_now() + kDeadlineMicros, &Deadline::fired, &deadline);
    while (!done() && !deadline.passed)
        pa_threaded_mainloop_wait(loop_);
    if (timer) api()->time_free(timer);
    return !deadline.passed || done();
}

bool PulseConnection::waitReady() {
    bool ready = false;
    waitUntil([&] {
        const auto state = pa_context_get_state(context_);
        ready = state == PA_CONTEXT_READY;
        return ready || !PA_CONTEXT_IS_GOOD(state);
    });
    return ready;
}

bool PulseConnection::waitFor(pa_operation* op) {
    if (!op) return false;
    const bool settled = waitUntil([&] {
        return pa_operation_get_state(op) != PA_OPERATION_RUNNING ||
               !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
    });
    if (!settled || pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
}

PulseError PulseConnection::lastError() {
    return pulseError(pa_context_errno(context_));
}

} // namespace kiv
