#include "MutterMonitor.hpp"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace kiv {

namespace {

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kRemoteSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kCastStream = "org.gnome.Mutter.ScreenCast.Stream";
constexpr auto kStartWait = std::chrono::seconds(5);

std::string objectPath(const Variant& reply) {
    const gchar* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return path != nullptr ? path : "";
}

} // namespace

std::expected<std::unique_ptr<MutterMonitor>, std::string> MutterMonitor::start(std::shared_ptr<MutterBus> bus,
                                                                                std::shared_ptr<PipeWireVideo> video,
                                                                                int width, int height, double refresh,
                                                                                Events events) {
    std::unique_ptr<MutterMonitor> monitor(new MutterMonitor());
    monitor->bus_ = bus;
    monitor->width_ = width;
    monitor->height_ = height;

    auto remote = bus->call(kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, "CreateSession", nullptr, "(o)");
    if (!remote) return std::unexpected("the compositor made no remote-desktop session: " + remote.error());
    monitor->remoteSession_ = objectPath(*remote);
    const auto id = bus->property(kRemoteDesktop, monitor->remoteSession_.c_str(), kRemoteSession, "SessionId");
    if (!id || !g_variant_is_of_type(id->get(), G_VARIANT_TYPE_STRING))
        return std::unexpected(std::string("the remote-desktop session has no ID"));

    GVariantBuilder linked;
    g_variant_builder_init(&linked, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&linked, "{sv}", "remote-desktop-session-id",
                          g_variant_new_string(g_variant_get_string(id->get(), nullptr)));
    auto cast =
        bus->call(kScreenCast, kScreenCastPath, kScreenCast, "CreateSession", g_variant_new("(a{sv})", &linked), "(o)");
    if (!cast) return std::unexpected("the compositor made no screen-cast session: " + cast.error());
    monitor->castSession_ = objectPath(*cast);

    GVariantBuilder record;
    g_variant_builder_init(&record, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&record, "{sv}", "cursor-mode", g_variant_new_uint32(1)); // drawn into the pictures
    auto stream = bus->call(kScreenCast, monitor->castSession_.c_str(), kCastSession, "RecordVirtual",
                            g_variant_new("(a{sv})", &record), "(o)");
    if (!stream) return std::unexpected("the compositor records no virtual monitor: " + stream.error());
    monitor->stream_ = objectPath(*stream);

    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<std::uint32_t> node;
    const unsigned added = bus->subscribe(kScreenCast, monitor->stream_.c_str(), kCastStream, "PipeWireStreamAdded",
                                          [&](const std::string&, GVariant* parameters) {
                                              if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(u)"))) return;
                                              std::uint32_t value = 0;
                                              g_variant_get(parameters, "(u)", &value);
                                              const std::lock_guard lock(mutex);
                                              node = value;
                                              arrived.notify_all();
                                          });
    monitor->closedSignal_ = bus->subscribe(
        kRemoteDesktop, monitor->remoteSession_.c_str(), kRemoteSession, "Closed",
        [ended = events.ended](const std::string&, GVariant*) { ended("the compositor closed the session"); });
    auto started =
        bus->call(kRemoteDesktop, monitor->remoteSession_.c_str(), kRemoteSession, "Start", nullptr, nullptr);
    {
        std::unique_lock lock(mutex);
        if (started) arrived.wait_for(lock, kStartWait, [&] { return node.has_value(); });
    }
    bus->unsubscribe(added);
    if (!started) return std::unexpected("the compositor did not start the session: " + started.error());
    if (!node) return std::unexpected(std::string("the compositor gave the monitor no PipeWire stream"));

    PipeWireVideo::Events streamEvents;
    streamEvents.picture = std::move(events.picture);
    streamEvents.ended = std::move(events.ended);
    monitor->pictures_ = video->open(*node, width, height, refresh, std::move(streamEvents));
    if (!monitor->pictures_) return std::unexpected(std::string("PipeWire refused the monitor's stream"));
    // The monitor is made once the size is agreed; its place is known from then on.
    const auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (monitor->pictures_->size().first == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (monitor->pictures_->size().first == 0)
        return std::unexpected(std::string("the compositor agreed no picture format for the monitor"));
    const auto agreed = monitor->pictures_->size();
    monitor->width_ = agreed.first;
    monitor->height_ = agreed.second;
    return monitor;
}

MutterMonitor::~MutterMonitor() {
    pictures_.reset();
    bus_->unsubscribe(closedSignal_);
    if (!remoteSession_.empty() && !bus_->closed())
        static_cast<void>(
            bus_->call(kRemoteDesktop, remoteSession_.c_str(), kRemoteSession, "Stop", nullptr, nullptr, 2000));
}

std::optional<ScreenRect> MutterMonitor::layout() const {
    const std::lock_guard lock(layoutMutex_);
    return layout_;
}

void MutterMonitor::place(const std::string& connector, std::optional<ScreenRect> rect) {
    const std::lock_guard lock(layoutMutex_);
    connector_ = connector;
    layout_ = rect;
}

std::string MutterMonitor::connector() const {
    const std::lock_guard lock(layoutMutex_);
    return connector_;
}

void MutterMonitor::remote(const char* method, GVariant* args) const {
    bus_->send(kRemoteDesktop, remoteSession_.c_str(), kRemoteSession, method, args);
}

void MutterMonitor::pointerTo(double x, double y) const {
    remote("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", stream_.c_str(), x, y));
}

void MutterMonitor::button(std::uint32_t evdevButton, bool down) const {
    remote("NotifyPointerButton", g_variant_new("(ib)", static_cast<std::int32_t>(evdevButton), down));
}

void MutterMonitor::scroll(double dx, double dy) const {
    constexpr std::uint32_t kFinger = 1U << 2; // smooth, as a touchpad's
    remote("NotifyPointerAxis", g_variant_new("(ddu)", dx, dy, kFinger));
}

void MutterMonitor::key(std::uint32_t evdevKey, bool down) const {
    remote("NotifyKeyboardKeycode", g_variant_new("(ub)", evdevKey, down));
}

} // namespace kiv
