#include "VirtualDisplay/VirtualDisplayManager.hpp"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>
#include <limits>
#include <utility>

#include "KivBase/KivLog.hpp"

namespace kiv {
namespace {

const KivLogger& log() {
    static const KivLogger logger = KivLog::logger("VirtualDisplay");
    return logger;
}

std::string modeLabel(std::uint32_t pw, std::uint32_t ph, std::uint32_t pxw, std::uint32_t pxh) {
    return fmt::format("{}×{}/{}×{}", pw, ph, pxw, pxh);
}

double millimeters(double pixelsPerInch, std::uint32_t pixels) {
    const double value = 25.4 / pixelsPerInch * pixels;
    return std::isfinite(value) && value >= 0 ? value : 0;
}

} // namespace

std::shared_ptr<VirtualDisplayManager> VirtualDisplayManager::create(std::shared_ptr<VirtualDisplayAdapter> adapter,
                                                                     std::shared_ptr<VirtualDisplayClock> clock) {
    return std::shared_ptr<VirtualDisplayManager>(new VirtualDisplayManager(std::move(adapter), std::move(clock)));
}

VirtualDisplayManager::VirtualDisplayManager(std::shared_ptr<VirtualDisplayAdapter> adapter,
                                             std::shared_ptr<VirtualDisplayClock> clock)
    : adapter_(std::move(adapter)), clock_(std::move(clock)) {}

VirtualDisplayManager::~VirtualDisplayManager() {
    if (display_) display_->invalidate();
}

std::recursive_mutex& VirtualDisplayManager::globalLock() {
    static std::recursive_mutex lock;
    return lock;
}

bool VirtualDisplayManager::isSupported() const {
    return adapter_->isSupported();
}

std::uint32_t VirtualDisplayManager::displayIDLocked() const {
    return display_ ? display_->displayID() : 0;
}

bool VirtualDisplayManager::isActive() const {
    std::lock_guard guard(lock_);
    return displayIDLocked() != 0;
}

std::optional<std::uint32_t> VirtualDisplayManager::getDisplayID() const {
    std::lock_guard guard(lock_);
    const auto id = displayIDLocked();
    return id != 0 ? std::optional(id) : std::nullopt;
}

std::optional<VirtualDisplayConfiguration> VirtualDisplayManager::configuration() const {
    std::lock_guard guard(lock_);
    return configuration_;
}

void VirtualDisplayManager::setOnTerminated(std::function<void()> handler) {
    std::lock_guard guard(lock_);
    onTerminated_ = std::move(handler);
}

bool VirtualDisplayManager::isOnline(std::uint32_t displayID) const {
    return adapter_->isOnline(displayID);
}

std::optional<ScreenModeInfo> VirtualDisplayManager::currentMode() const {
    const auto id = getDisplayID();
    return id ? adapter_->currentMode(*id) : std::nullopt;
}

std::optional<std::pair<int, int>> VirtualDisplayManager::drawnSize() const {
    const auto id = getDisplayID();
    return id ? adapter_->drawnSize(*id) : std::nullopt;
}

bool VirtualDisplayManager::listsMode(const ScreenModeInfo& mode) const {
    const auto id = getDisplayID();
    return id && isModeListed(*id, mode);
}

std::expected<std::uint32_t, VirtualDisplayError>
VirtualDisplayManager::createDisplay(const VirtualDisplayConfiguration& configuration) {
    std::lock_guard global(globalLock());
    std::uint32_t id = 0;
    {
        std::lock_guard guard(lock_);
        auto created = createLocked(configuration);
        if (!created) return created;
        id = *created;
    }
    // Wait for the system to list the display; never fails, only bounds the wait.
    const auto start = clock_->now();
    while (!adapter_->isOnline(id) && clock_->now() - start < kOnlineWait)
        clock_->sleepFor(kPollInterval);
    clock_->sleepFor(kSettle);
    return id;
}

std::expected<std::uint32_t, VirtualDisplayError>
VirtualDisplayManager::createLocked(const VirtualDisplayConfiguration& configuration) {
    if (display_) return std::unexpected(VirtualDisplayError::of(VirtualDisplayError::Kind::alreadyActive));
    if (!adapter_->isSupported())
        return std::unexpected(VirtualDisplayError::of(VirtualDisplayError::Kind::unsupported));

    const auto modes = configuration.allModes();
    for (const auto& mode : modes)
        if (!mode.isValid()) return std::unexpected(VirtualDisplayError::invalidMode(mode));
    const bool portrait = configuration.mode.isPortrait();
    for (const auto& mode : modes) {
        if (mode.isPortrait() != portrait) {
            log().error("Refusing mixed-orientation mode list (" + mode.text() + " vs " + configuration.mode.text() +
                        "): would crash WindowServer");
            return std::unexpected(VirtualDisplayError::invalidMode(mode));
        }
    }

    // The maxima are 32-bit: a mode too large to double is refused rather than wrapped.
    const std::uint64_t scale = configuration.hiDPI ? 2 : 1;
    std::uint64_t wide = configuration.maxPixelsWide;
    std::uint64_t high = configuration.maxPixelsHigh;
    for (const auto& mode : modes) {
        if (scale * mode.width > std::numeric_limits<std::uint32_t>::max() ||
            scale * mode.height > std::numeric_limits<std::uint32_t>::max())
            return std::unexpected(VirtualDisplayError::invalidMode(mode));
        wide = std::max(wide, scale * mode.width);
        high = std::max(high, scale * mode.height);
    }

    VirtualDisplayDescriptor descriptor{
        .name = configuration.name,
        .maxPixelsWide = static_cast<std::uint32_t>(wide),
        .maxPixelsHigh = static_cast<std::uint32_t>(high),
        .widthMillimeters = millimeters(configuration.pixelsPerInch, configuration.mode.width),
        .heightMillimeters = millimeters(configuration.pixelsPerInch, configuration.mode.height),
        .vendorID = configuration.vendorID,
        .productID = configuration.productID,
        .serialNumber = configuration.serialNumber,
    };
    std::weak_ptr<VirtualDisplayManager> weak = weak_from_this();
    auto display = adapter_->create(descriptor, [weak] {
        if (auto self = weak.lock()) self->handleSystemTermination();
    });
    if (!display || display->displayID() == 0) {
        log().error("Virtual display creation failed");
        return std::unexpected(VirtualDisplayError::of(VirtualDisplayError::Kind::creationFailed));
    }
    if (!display->applyModes(modes, configuration.hiDPI)) {
        display->invalidate();
        log().error("Virtual display applySettings failed");
        return std::unexpected(VirtualDisplayError::of(VirtualDisplayError::Kind::applySettingsFailed));
    }
    const auto id = display->displayID();
    display_ = std::move(display);
    maxPixels_ = {descriptor.maxPixelsWide, descriptor.maxPixelsHigh};
    configuration_ = configuration;
    log().notice(fmt::format("Virtual display created id={} mode={} maxPixels={}×{}", id, configuration.mode.text(),
                             maxPixels_.wide, maxPixels_.high));
    return id;
}

std::expected<std::uint32_t, VirtualDisplayError> VirtualDisplayManager::setResolution(const VirtualDisplayMode& mode) {
    std::lock_guard global(globalLock());
    std::unique_lock guard(lock_);
    if (!display_ || !configuration_)
        return std::unexpected(VirtualDisplayError::of(VirtualDisplayError::Kind::notActive));
    if (!mode.isValid()) return std::unexpected(VirtualDisplayError::invalidMode(mode));

    const auto current = *configuration_;
    std::vector<VirtualDisplayMode> candidates;
    for (const auto& existing : current.allModes())
        if ((existing.width != mode.width || existing.height != mode.height) &&
            existing.isPortrait() == mode.isPortrait())
            candidates.push_back(existing);

    const std::uint64_t scale = current.hiDPI ? 2 : 1;
    const bool inPlace = mode.isPortrait() == current.mode.isPortrait() && scale * mode.width <= maxPixels_.wide &&
                         scale * mode.height <= maxPixels_.high;
    if (inPlace) {
        std::vector<VirtualDisplayMode> modes{mode};
        modes.insert(modes.end(), candidates.begin(), candidates.end());
        if (!display_->applyModes(modes, current.hiDPI))
            return std::unexpected(VirtualDisplayError::of(VirtualDisplayError::Kind::applySettingsFailed));
        configuration_->mode = mode;
        configuration_->additionalModes = candidates;
        const auto id = displayIDLocked();
        guard.unlock(); // the settle wait holds only the process-wide lock, so readers never wait on it
        log().notice(fmt::format("Resolution changed id={} mode={}", id, mode.text()));
        clock_->sleepFor(kSettle);
        return id;
    }

    std::erase_if(candidates,
                  [&](const VirtualDisplayMode& m) { return m.width > mode.width || m.height > mode.height; });
    auto next = current;
    next.mode = mode;
    next.additionalModes = candidates;
    guard.unlock();
    destroyDisplay();
    auto created = createDisplay(next);
    if (created) log().notice(fmt::format("Resolution changed by recreate id={} mode={}", *created, mode.text()));
    return created;
}

void VirtualDisplayManager::destroyDisplay() {
    std::lock_guard global(globalLock());
    std::uint32_t id = 0;
    {
        std::lock_guard guard(lock_);
        if (!display_) return;
        id = displayIDLocked();
        auto display = std::move(display_);
        configuration_.reset();
        display->invalidate();
    }
    const auto start = clock_->now();
    while (adapter_->isOnline(id) && clock_->now() - start < kOfflineWait)
        clock_->sleepFor(kPollInterval);
    const auto gone = clock_->now() - start;
    clock_->sleepFor(kSettle);
    log().notice(fmt::format("Virtual display destroyed id={} (gone after {}ms)", id,
                             std::chrono::duration_cast<std::chrono::milliseconds>(gone).count()));
}

bool VirtualDisplayManager::isModeListed(std::uint32_t displayID, const ScreenModeInfo& wanted) const {
    const auto modes = adapter_->modes(displayID);
    return std::find(modes.begin(), modes.end(), wanted) != modes.end();
}

bool VirtualDisplayManager::selectMode(std::uint32_t pointWidth, std::uint32_t pointHeight, std::uint32_t pixelWidth,
                                       std::uint32_t pixelHeight) {
    std::uint32_t id = 0;
    {
        std::lock_guard guard(lock_);
        id = displayIDLocked();
    }
    if (id == 0) return false;
    const ScreenModeInfo wanted{pointWidth, pointHeight, pixelWidth, pixelHeight};
    const auto label = modeLabel(pointWidth, pointHeight, pixelWidth, pixelHeight);
    if (!isModeListed(id, wanted)) {
        log().info("Mode " + label + " not listed yet");
        return false;
    }
    const bool ok = adapter_->configureMode(id, wanted);
    log().info("Select display mode " + label + ": " + (ok ? "ok" : "failed"));
    return ok;
}

void VirtualDisplayManager::waitForMode(std::uint32_t pointWidth, std::uint32_t pointHeight, std::uint32_t pixelWidth,
                                        std::uint32_t pixelHeight, double timeoutSeconds,
                                        std::function<void(bool)> completion) {
    std::uint32_t id = 0;
    {
        std::lock_guard guard(lock_);
        id = displayIDLocked();
    }
    if (id == 0) {
        clock_->after(VirtualDisplayClock::Duration::zero(),
                      [completion = std::move(completion)] { completion(false); });
        return;
    }
    const double seconds = std::isfinite(timeoutSeconds) ? std::clamp(timeoutSeconds, 0.0, 3600.0) : 0.0;
    const auto deadline = clock_->now() + std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6));
    // Even the first check runs on the clock's queue, so the completion never runs inside this call.
    clock_->after(VirtualDisplayClock::Duration::zero(),
                  [weak = weak_from_this(), id,
                   wanted = ScreenModeInfo{pointWidth, pointHeight, pixelWidth, pixelHeight}, deadline,
                   completion = std::move(completion)]() mutable {
                      if (auto self = weak.lock()) {
                          self->pollMode(id, wanted, deadline, std::move(completion));
                      } else {
                          completion(false);
                      }
                  });
}

void VirtualDisplayManager::pollMode(std::uint32_t displayID, ScreenModeInfo wanted,
                                     VirtualDisplayClock::Duration deadline, std::function<void(bool)> completion) {
    if (clock_->now() >= deadline) {
        completion(false);
        return;
    }
    if (isModeListed(displayID, wanted)) {
        completion(true);
        return;
    }
    std::weak_ptr<VirtualDisplayManager> weak = weak_from_this();
    clock_->after(kPollInterval, [weak, displayID, wanted, deadline, completion = std::move(completion)]() mutable {
        if (auto self = weak.lock())
            self->pollMode(displayID, wanted, deadline, std::move(completion));
        else
            completion(false);
    });
}

void VirtualDisplayManager::handleSystemTermination() {
    std::function<void()> handler;
    {
        std::lock_guard guard(lock_);
        if (!display_) return;
        display_.reset();
        configuration_.reset();
        handler = onTerminated_;
    }
    log().error("Virtual display terminated by system");
    if (handler) handler();
}

} // namespace kiv
