#pragma once
// The session bus as GNOME's compositor is reached through it: a GDBus connection of our own
// (calls from any thread), and one thread running the context its signal handlers are called on.
#include <gio/gio.h>

#include <atomic>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kiv {

// Owns a GVariant reference.
struct VariantUnref {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

class MutterBus {
public:
    // `address`: the bus's address ("" = the session bus of the environment).
    static std::expected<std::shared_ptr<MutterBus>, std::string> connect(const std::string& address);
    ~MutterBus();
    MutterBus(const MutterBus&) = delete;
    MutterBus& operator=(const MutterBus&) = delete;

    // Calls a method of the compositor's service and waits for it; `args` is consumed if floating.
    std::expected<Variant, std::string> call(const char* service, const char* path, const char* interface,
                                             const char* method, GVariant* args, const char* replyType,
                                             int timeoutMillis = 5000) const;
    // The same without waiting for the reply (input events, whose order the bus keeps).
    void send(const char* service, const char* path, const char* interface, const char* method, GVariant* args) const;
    // A property of an object, or nothing.
    std::expected<Variant, std::string> property(const char* service, const char* path, const char* interface,
                                                 const char* name) const;

    // Calls `handler` on the bus thread for each signal matching; the returned ID ends it.
    using SignalHandler = std::function<void(const std::string& member, GVariant* parameters)>;
    unsigned subscribe(const char* sender, const char* path, const char* interface, const char* member,
                       SignalHandler handler);
    void unsubscribe(unsigned id);
    // Calls `handler` (on the bus thread) whenever `name` gains or loses its owner.
    unsigned watchName(const char* name, std::function<void(bool owned)> handler);
    void unwatchName(unsigned id);

    bool closed() const { return g_dbus_connection_is_closed(connection_) != 0; }

private:
    MutterBus(GDBusConnection* connection);
    // Runs `task` on the bus thread and waits for it.
    void onThread(const std::function<void()>& task);

    GDBusConnection* connection_;
    GMainContext* context_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace kiv
