#include "MutterBus.hpp"

#include <future>

namespace kiv {

namespace {

std::string take(GError* error) {
    if (error == nullptr) return "unknown error";
    if (g_dbus_error_is_remote_error(error)) g_dbus_error_strip_remote_error(error);
    std::string message = error->message != nullptr ? error->message : "unknown error";
    g_error_free(error);
    return message;
}

struct Subscription {
    MutterBus::SignalHandler handler;
};

} // namespace

std::expected<std::shared_ptr<MutterBus>, std::string> MutterBus::connect(const std::string& address) {
    GError* error = nullptr;
    GDBusConnection* connection = nullptr;
    if (address.empty()) {
        gchar* found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (found == nullptr) return std::unexpected("no session bus: " + take(error));
        const std::string session = found;
        g_free(found);
        return connect(session);
    }
    // A private connection: the sessions made on it end with it, never with another user of the bus.
    connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (connection == nullptr) return std::unexpected("the session bus does not answer: " + take(error));
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    return std::shared_ptr<MutterBus>(new MutterBus(connection));
}

MutterBus::MutterBus(GDBusConnection* connection) : connection_(connection), context_(g_main_context_new()) {
    thread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        while (!stopping_)
            g_main_context_iteration(context_, TRUE);
        g_main_context_pop_thread_default(context_);
    });
}

MutterBus::~MutterBus() {
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    stopping_ = true;
    g_main_context_wakeup(context_);
    thread_.join();
    // Handlers still queued on the context go with it.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_object_unref(connection_);
    g_main_context_unref(context_);
}

void MutterBus::onThread(const std::function<void()>& task) {
    if (std::this_thread::get_id() == thread_.get_id()) return task();
    std::promise<void> done;
    struct Call {
        const std::function<void()>* task;
        std::promise<void>* done;
    } call{&task, &done};
    g_main_context_invoke(
        context_,
        [](gpointer data) -> gboolean {
            auto* c = static_cast<Call*>(data);
            (*c->task)();
            c->done->set_value();
            return G_SOURCE_REMOVE;
        },
        &call);
    done.get_future().wait();
}

std::expected<Variant, std::string> MutterBus::call(const char* service, const char* path, const char* interface,
                                                    const char* method, GVariant* args, const char* replyType,
                                                    int timeoutMillis) const {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection_, service, path, interface, method, args,
                                                  replyType != nullptr ? G_VARIANT_TYPE(replyType) : nullptr,
                                                  G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMillis, nullptr, &error);
    if (reply == nullptr) return std::unexpected(take(error));
    return Variant(reply);
}

void MutterBus::send(const char* service, const char* path, const char* interface, const char* method,
                     GVariant* args) const {
    GDBusMessage* message = g_dbus_message_new_method_call(service, path, interface, method);
    g_dbus_message_set_body(message, args);
    g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    g_dbus_connection_send_message(connection_, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    g_object_unref(message);
}

std::expected<Variant, std::string> MutterBus::property(const char* service, const char* path, const char* interface,
                                                        const char* name) const {
    auto reply =
        call(service, path, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", interface, name), "(v)");
    if (!reply) return std::unexpected(reply.error());
    GVariant* value = nullptr;
    g_variant_get(reply->get(), "(v)", &value);
    return Variant(value);
}

unsigned MutterBus::subscribe(const char* sender, const char* path, const char* interface, const char* member,
                              SignalHandler handler) {
    unsigned id = 0;
    onThread([&] {
        id = g_dbus_connection_signal_subscribe(
            connection_, sender, interface, member, path, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal, GVariant* parameters,
               gpointer data) { static_cast<Subscription*>(data)->handler(signal, parameters); },
            new Subscription{std::move(handler)}, [](gpointer data) { delete static_cast<Subscription*>(data); });
    });
    return id;
}

void MutterBus::unsubscribe(unsigned id) {
    if (id != 0) onThread([&] { g_dbus_connection_signal_unsubscribe(connection_, id); });
}

unsigned MutterBus::watchName(const char* name, std::function<void(bool owned)> handler) {
    using Handler = std::function<void(bool)>;
    unsigned id = 0;
    onThread([&] {
        id = g_bus_watch_name_on_connection(
            connection_, name, G_BUS_NAME_WATCHER_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, gpointer data) { (*static_cast<Handler*>(data))(true); },
            [](GDBusConnection*, const gchar*, gpointer data) { (*static_cast<Handler*>(data))(false); },
            new Handler(std::move(handler)), [](gpointer data) { delete static_cast<Handler*>(data); });
    });
    return id;
}

void MutterBus::unwatchName(unsigned id) {
    if (id != 0) onThread([&] { g_bus_unwatch_name(id); });
}

} // namespace kiv
