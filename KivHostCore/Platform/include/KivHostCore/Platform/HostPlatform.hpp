#pragma once
// Everything the host service and its sessions need from the machine, as ports. The composition
// root fills it with the Linux implementations (makeLinuxPlatform); tests fill it with fakes and
// virtual time. It must outlive the service and every session.
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KivHostCore/Platform/AudioDevices.hpp"
#include "KivHostCore/Platform/AudioRecorder.hpp"
#include "KivHostCore/Platform/EncoderBackend.hpp"
#include "KivHostCore/Platform/EventPoster.hpp"
#include "KivHostCore/Platform/KeyValueStore.hpp"
#include "KivHostCore/Platform/MachineInfo.hpp"
#include "KivHostCore/Platform/Network.hpp"
#include "KivHostCore/Platform/ScreenGrabber.hpp"
#include "KivHostCore/Platform/ServiceRegistrar.hpp"
#include "KivHostCore/Runtime/Executor.hpp"
#include "VirtualDisplay/VirtualDisplayAdapter.hpp"

namespace kiv {

class UsbmuxService;

// Sleep and wake of the displays and of the whole system. Handlers run on the main executor.
class PowerEvents {
public:
    struct Handlers {
        std::function<void()> displaysDidSleep;
        std::function<void()> displaysDidWake;
        std::function<void()> systemWillSleep;
        std::function<void()> systemDidWake;
    };
    virtual ~PowerEvents() = default;
    // Delivery stops when the returned token is released.
    virtual std::shared_ptr<void> observe(Handlers handlers) = 0;
};

struct HostPlatform {
    // A serial queue labelled `label`; `ownThread` for work that blocks or runs long.
    std::function<std::unique_ptr<Executor>(const std::string& label, bool ownThread)> makeQueue;

    NetworkFactory* network = nullptr;
    // The web link's listener (HTTPS serving the page, `/link` a WebSocket whose messages are the
    // connection's bytes); absent: this host has no web link.
    std::function<std::expected<std::shared_ptr<StreamListener>, std::string>(const ListenerOptions&)> makeWebListener;
    UsbmuxService* usbmux = nullptr;
    std::function<std::unique_ptr<ServiceRegistrar>()> makeRegistrar;
    MachineInfo* machine = nullptr;

    // One display system for every session; its clock is made per session on that session's
    // "kiv.display" queue.
    std::shared_ptr<VirtualDisplayAdapter> displays;
    std::function<std::shared_ptr<VirtualDisplayClock>(Executor& displayQueue)> makeDisplayClock;
    // Where the main display is on the desktop, in pixels: what the mirroring fallback captures.
    std::function<std::optional<ScreenRect>()> mainDisplayBounds;

    std::function<std::unique_ptr<ScreenGrabber>()> makeGrabber;
    EncoderFactory* encoders = nullptr;
    std::shared_ptr<EventPoster> poster;
    DisplayBoundsProvider displayBounds;
    std::function<double()> wallSeconds;
    std::shared_ptr<KeyValueStore> defaults;
    // Audio outputs, answering on `queue` (the muter's own).
    std::function<std::shared_ptr<AudioDevices>(Executor& queue)> makeAudioDevices;
    // A recorder of the system's sound (what the default output plays); absent: no sound server.
    std::function<std::shared_ptr<AudioRecorder>()> makeAudioRecorder;

    // Whether the desktop can be captured (the display opens and a grab of it works).
    std::function<bool()> screenRecordingGranted;
    std::shared_ptr<PowerEvents> power; // may be null: sleep and wake are not watched
};

} // namespace kiv
