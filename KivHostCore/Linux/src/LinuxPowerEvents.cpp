#include "KivHostCore/Linux/LinuxPowerEvents.hpp"

#include <dbus/dbus.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <xcb/dpms.h>
#include <xcb/xcb.h>

#include "KivBase/KivLog.hpp"

namespace kiv {
namespace {

constexpr int kDispatchMillis = 250;
constexpr auto kDpmsPoll = std::chrono::seconds(2);
constexpr const char* kLogin1 = "org.freedesktop.login1.Manager";

} // namespace

struct LinuxPowerEvents::Impl : std::enable_shared_from_this<Impl> {
    std::optional<std::string> display; // nothing: no X server to watch
    LinuxPowerEvents::SleepProbe compositorAsleep;
    ExecutorHandle main;
    KivLogger log = KivLog::logger("Power");
    std::mutex mutex;
    std::map<std::uint64_t, Handlers> observers;
    std::uint64_t nextID = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;

    enum class Event { displaysDidSleep, displaysDidWake, systemWillSleep, systemDidWake };

    void deliver(Event event) {
        main.post([weak = weak_from_this(), event] {
            auto self = weak.lock();
            if (!self) return;
            std::vector<Handlers> copies;
            {
                const std::lock_guard lock(self->mutex);
                for (const auto& [id, h] : self->observers)
                    copies.push_back(h);
            }
            for (const auto& h : copies) {
                const auto& fn = event == Event::displaysDidSleep  ? h.displaysDidSleep
                                 : event == Event::displaysDidWake ? h.displaysDidWake
                                 : event == Event::systemWillSleep ? h.systemWillSleep
                                                                   : h.systemDidWake;
                if (fn) fn();
            }
        });
    }

    DBusConnection* openBus() {
        DBusError error;
        dbus_error_init(&error);
        DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
        if (!bus) {
            log.info(std::string("System sleep is not watched: no D-Bus system bus (") +
                     (error.message ? error.message : "unknown") + ")");
            dbus_error_free(&error);
            return nullptr;
        }
        dbus_connection_set_exit_on_disconnect(bus, false);
        if (!dbus_bus_name_has_owner(bus, "org.freedesktop.login1", nullptr))
            log.info("System sleep is not watched until logind runs: org.freedesktop.login1 is not on the system bus");
        dbus_bus_add_match(bus, "type='signal',interface='org.freedesktop.login1.Manager',member='PrepareForSleep'",
                           &error);
        if (dbus_error_is_set(&error)) {
            log.info(std::string("System sleep is not watched: ") + (error.message ? error.message : "match refused"));
            dbus_error_free(&error);
            dbus_connection_close(bus);
            dbus_connection_unref(bus);
            return nullptr;
        }
        return bus;
    }

    void readBus(DBusConnection* bus) {
        if (!dbus_connection_read_write(bus, kDispatchMillis)) return;
        while (DBusMessage* message = dbus_connection_pop_message(bus)) {
            if (dbus_message_is_signal(message, kLogin1, "PrepareForSleep")) {
                dbus_bool_t starting = false;
                if (dbus_message_get_args(message, nullptr, DBUS_TYPE_BOOLEAN, &starting, DBUS_TYPE_INVALID))
                    deliver(starting ? Event::systemWillSleep : Event::systemDidWake);
            }
            dbus_message_unref(message);
        }
    }

    // Nothing when the server has no DPMS; otherwise whether the displays are powered down.
    static std::optional<bool> displaysAsleep(xcb_connection_t* x) {
        auto* reply = xcb_dpms_info_reply(x, xcb_dpms_info(x), nullptr);
        if (!reply) return std::nullopt;
        const bool asleep = reply->state && reply->power_level != XCB_DPMS_DPMS_MODE_ON;
        std::free(reply);
        return asleep;
    }

    void run() {
        DBusConnection* bus = openBus();
        xcb_connection_t* x = display ? xcb_connect(display->empty() ? nullptr : display->c_str(), nullptr) : nullptr;
        bool dpms = false;
        if (x && !xcb_connection_has_error(x)) {
            const auto* extension = xcb_get_extension_data(x, &xcb_dpms_id);
            dpms = extension && extension->present;
        }
        if (!display && !compositorAsleep)
            log.info("Display sleep is not watched: the compositor offers no power state to follow");
        else if (display && !dpms)
            log.info("Display sleep is not watched: the X server offers no DPMS");
        const LinuxPowerEvents::SleepProbe probe =
            dpms ? LinuxPowerEvents::SleepProbe([x] { return displaysAsleep(x); }) : compositorAsleep;
        bool asleep = false;
        auto nextPoll = std::chrono::steady_clock::now();
        while (!stopping.load()) {
            if (probe && std::chrono::steady_clock::now() >= nextPoll) {
                nextPoll = std::chrono::steady_clock::now() + kDpmsPoll;
                if (const auto now = probe(); now && *now != asleep) {
                    asleep = *now;
                    deliver(asleep ? Event::displaysDidSleep : Event::displaysDidWake);
                }
            }
            if (bus)
                readBus(bus);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(kDispatchMillis));
        }
        if (x) xcb_disconnect(x);
        if (bus) {
            dbus_connection_close(bus);
            dbus_connection_unref(bus);
        }
    }
};

std::shared_ptr<LinuxPowerEvents> LinuxPowerEvents::create(std::optional<std::string> display, Executor& main,
                                                           SleepProbe compositorAsleep) {
    auto impl = std::make_shared<Impl>();
    impl->display = std::move(display);
    impl->compositorAsleep = std::move(compositorAsleep);
    impl->main = main.handle();
    impl->thread = std::thread([raw = impl.get()] { raw->run(); });
    return std::make_shared<LinuxPowerEvents>(std::move(impl));
}

LinuxPowerEvents::LinuxPowerEvents(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

LinuxPowerEvents::~LinuxPowerEvents() {
    impl_->stopping.store(true);
    if (impl_->thread.joinable()) impl_->thread.join();
}

std::shared_ptr<void> LinuxPowerEvents::observe(Handlers handlers) {
    std::uint64_t id = 0;
    {
        const std::lock_guard lock(impl_->mutex);
        id = impl_->nextID++;
        impl_->observers[id] = std::move(handlers);
    }
    std::weak_ptr<Impl> weak = impl_;
    return std::shared_ptr<void>(nullptr, [weak, id](void*) {
        if (auto impl = weak.lock()) {
            const std::lock_guard lock(impl->mutex);
            impl->observers.erase(id);
        }
    });
}

} // namespace kiv
