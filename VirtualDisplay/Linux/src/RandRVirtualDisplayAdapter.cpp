#include "RandRAdapterImpl.hpp"

namespace kiv {

using namespace randr;

class RandRVirtualDisplayObject : public VirtualDisplayObject {
public:
    RandRVirtualDisplayObject(std::weak_ptr<RandRVirtualDisplayAdapter::Impl> impl, std::uint32_t id)
        : impl_(std::move(impl)), id_(id) {}
    ~RandRVirtualDisplayObject() override { invalidate(); }

    std::uint32_t displayID() const override { return id_; }

    bool applyModes(const std::vector<VirtualDisplayMode>& modes, bool hiDPI) override {
        auto impl = impl_.lock();
        if (!impl || modes.empty()) return false;
        std::lock_guard lock(impl->mutex);
        auto* d = impl->find(id_);
        if (!d) return false;
        // The modes keep their 2× backing; on the X screen a HiDPI mode is drawn at the desktop's
        // own scale (`drawnSize`), and the stream is no larger than what is drawn.
        const std::uint64_t scale = hiDPI ? 2 : 1;
        std::vector<ScreenModeInfo> listed;
        for (const auto& mode : modes) {
            if (scale * mode.width > kMaxCoordinate || scale * mode.height > kMaxCoordinate || mode.width == 0 ||
                mode.height == 0)
                return false;
            listed.push_back({mode.width, mode.height, static_cast<std::uint32_t>(scale * mode.width),
                              static_cast<std::uint32_t>(scale * mode.height)});
        }
        const double drawScale = impl->desktopScale();
        const auto [width, height] = listed[0].drawnAt(drawScale);
        if (!impl->show(*d, width, height)) return false;
        d->modes = std::move(listed);
        d->drawScale = drawScale;
        return true;
    }

    void invalidate() override {
        auto impl = impl_.lock();
        if (!impl || std::exchange(invalidated_, true)) return;
        std::lock_guard lock(impl->mutex);
        impl->remove(id_, true);
    }

private:
    std::weak_ptr<RandRVirtualDisplayAdapter::Impl> impl_;
    std::uint32_t id_;
    bool invalidated_ = false;
};

RandRVirtualDisplayAdapter::RandRVirtualDisplayAdapter(std::string displayName,
                                                       std::function<void(std::function<void()>)> postToMain)
    : impl_(std::make_shared<Impl>()) {
    impl_->displayName = std::move(displayName);
    impl_->postToMain = std::move(postToMain);
    impl_->open();
    if (impl_->supported) {
        {
            std::lock_guard lock(impl_->mutex);
            impl_->reclaimLeftovers();
        }
        impl_->startWatcher();
    }
}

RandRVirtualDisplayAdapter::~RandRVirtualDisplayAdapter() {
    std::lock_guard lock(impl_->mutex);
    while (!impl_->displays.empty())
        impl_->remove(impl_->displays.back().id, true);
}

bool RandRVirtualDisplayAdapter::isSupported() const {
    return impl_->supported;
}

std::string RandRVirtualDisplayAdapter::roomProblem() const {
    if (!impl_->supported) return {};
    std::lock_guard lock(impl_->mutex);
    return impl_->roomProblem();
}

std::string RandRVirtualDisplayAdapter::limitAdvice() const {
    if (!impl_->supported) return {};
    std::lock_guard lock(impl_->mutex);
    return std::string(impl_->advice());
}

bool RandRVirtualDisplayAdapter::usesOutputs() const {
    std::lock_guard lock(impl_->mutex);
    std::string name;
    return impl_->supported && impl_->spareOutput(name).has_value();
}

std::unique_ptr<VirtualDisplayObject> RandRVirtualDisplayAdapter::create(const VirtualDisplayDescriptor& descriptor,
                                                                         std::function<void()> onTerminated) {
    if (!impl_->supported) return nullptr;
    std::lock_guard lock(impl_->mutex);
    Impl::Display d;
    // A name no monitor on this server uses yet, so IDs are never reused while a server runs.
    const auto listedNow = impl_->monitors(impl_->c);
    do {
        d.name = fmt::format("KIV-{}", ++nameCounter);
        d.id = impl_->atom(d.name);
    } while (d.id != 0 && std::any_of(listedNow.begin(), listedNow.end(),
                                      [&](const xcb_randr_monitor_info_t& m) { return m.name == d.id; }));
    if (d.id == 0) return nullptr;
    std::string outputName;
    if (auto spare = impl_->spareOutput(outputName)) {
        d.output = spare->first;
        d.crtc = spare->second;
        log().info("virtual display via output " + outputName);
    } else {
        log().info("virtual display via logical monitor (no spare output: the pointer stays on the main area)");
    }
    d.widthMillimeters = descriptor.widthMillimeters;
    d.heightMillimeters = descriptor.heightMillimeters;
    d.onTerminated = std::move(onTerminated);
    const auto id = d.id;
    impl_->displays.push_back(std::move(d));
    return std::make_unique<RandRVirtualDisplayObject>(impl_, id);
}

bool RandRVirtualDisplayAdapter::isOnline(std::uint32_t displayID) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->supported && impl_->listed(impl_->c, displayID);
}

std::vector<ScreenModeInfo> RandRVirtualDisplayAdapter::modes(std::uint32_t displayID) const {
    std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    return d ? d->modes : std::vector<ScreenModeInfo>{};
}

bool RandRVirtualDisplayAdapter::configureMode(std::uint32_t displayID, const ScreenModeInfo& mode) {
    std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    if (!d || std::find(d->modes.begin(), d->modes.end(), mode) == d->modes.end()) return false;
    const double drawScale = impl_->desktopScale();
    const auto [width, height] = mode.drawnAt(drawScale);
    if (!impl_->show(*d, width, height)) return false;
    d->drawScale = drawScale;
    return true;
}

std::optional<ScreenModeInfo> RandRVirtualDisplayAdapter::currentMode(std::uint32_t displayID) const {
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->monitors(impl_->c); // read back now, not what was last heard
    }
    const auto shown = bounds(displayID);
    if (!shown) return std::nullopt;
    const std::lock_guard lock(impl_->mutex);
    const auto* d = impl_->find(displayID);
    if (!d) return std::nullopt;
    for (const auto& mode : d->modes)
        if (mode.drawnAt(d->drawScale) == std::pair{shown->width, shown->height}) return mode;
    return std::nullopt;
}

std::optional<std::pair<int, int>> RandRVirtualDisplayAdapter::drawnSize(std::uint32_t displayID) const {
    if (!currentMode(displayID)) return std::nullopt; // reads the monitors back
    const auto shown = bounds(displayID);
    if (!shown) return std::nullopt;
    return std::pair{shown->width, shown->height};
}

std::optional<RandRVirtualDisplayAdapter::Bounds> RandRVirtualDisplayAdapter::bounds(std::uint32_t displayID) const {
    const std::lock_guard lock(impl_->boundsMutex);
    const auto it = impl_->boundsCache.find(displayID);
    if (it == impl_->boundsCache.end()) return std::nullopt;
    return it->second;
}

} // namespace kiv
