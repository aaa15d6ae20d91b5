#pragma once
// Sleep and wake on Linux: system sleep from logind's PrepareForSleep signal on the D-Bus system
// bus, display sleep from the X server's DPMS power level or a compositor's power state (polled
// every 2 s). Either source may be missing (no system bus, no logind, no DPMS): that is said once
// in the log and the rest works.
// Watches on a thread of its own; handlers run on the main executor.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Platform/HostPlatform.hpp"

namespace kiv {

class LinuxPowerEvents final : public PowerEvents {
public:
    // Whether the displays sleep now; nothing when it cannot tell.
    using SleepProbe = std::function<std::optional<bool>()>;
    // `display`: the X server whose DPMS level is followed ("" = $DISPLAY; nothing: none);
    // `compositorAsleep`: the compositor's power state, followed instead when there is no X server.
    static std::shared_ptr<LinuxPowerEvents> create(std::optional<std::string> display, Executor& main,
                                                    SleepProbe compositorAsleep = {});
    ~LinuxPowerEvents() override;

    std::shared_ptr<void> observe(Handlers handlers) override;

    struct Impl;
    explicit LinuxPowerEvents(std::shared_ptr<Impl> impl);

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
