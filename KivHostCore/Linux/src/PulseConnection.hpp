#pragma once
// One libpulse client: a threaded main loop on a named thread and its context. Callbacks run on
// that thread with the loop lock held; other threads take the lock (BasicLockable) before touching
// the context and may wait there for an operation.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <pulse/pulseaudio.h>
#include <string>

namespace kiv {

// The host's name as a client of the sound server. It must differ from the name of the host's
// null sink: PipeWire names a client's stream nodes after the client, and a recording that asks
// for the sink's monitor by name would otherwise be linked to one of those streams, never started.
inline constexpr const char* kPulseClientName = "KivDisplay Host";

struct PulseError {
    int code = 0;
    std::string text;
};

class PulseConnection {
public:
    using StateHandler = std::function<void(pa_context_state_t)>;

    // Nothing when libpulse cannot set up a client (out of memory).
    static std::unique_ptr<PulseConnection> make(const std::string& threadName, const std::string& clientName);
    PulseConnection(pa_threaded_mainloop* loop, pa_context* context); // use make()
    ~PulseConnection();                                               // not on the loop thread
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Starts the loop and connects (`server` as in PULSE_SERVER; the environment's choice when
    // empty). Never spawns a server. State changes reach `onState` on the loop thread.
    std::optional<PulseError> connect(const std::optional<std::string>& server, StateHandler onState);

    void lock();
    void unlock();
    // Wakes threads waiting in waitFor/waitReady; every callback a waiter depends on calls it.
    void signal();
    // A server that stops answering (hung, stopped) must not hold the caller for good.
    static constexpr std::int64_t kDeadlineMicros = 3'000'000;

    // Lock held, not on the loop thread: waits until `op` completes (or the context fails, or
    // kDeadlineMicros pass: the operation is then cancelled) and releases it. False when it did
    // not complete.
    bool waitFor(pa_operation* op);
    // Lock held: waits for the connection to be ready or to fail, at most kDeadlineMicros.
    bool waitReady();
    bool isReady();
    bool inLoopThread();

    pa_context* context() { return context_; }
    pa_mainloop_api* api() { return pa_threaded_mainloop_get_api(loop_); }
    PulseError lastError();

private:
    static void stateChanged(pa_context* context, void* self);
    // Lock held: waits on the loop until `done` holds or the deadline passes; false on the deadline.
    template <class Done>
    bool waitUntil(Done done);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    StateHandler onState_;
    bool running_ = false;
};

// The text PulseAudio gives for an error code.
PulseError pulseError(int code);

} // namespace kiv
