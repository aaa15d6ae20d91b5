#pragma once
// The soak's browser device: headless Chromium showing the host's page over the web link. A script
// put in every document the tab loads notes when each frame was decoded; the soak collects those
// notes as frame-log lines and, as its fault, reloads the page, which must come back into the same
// session with the token it stored.
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "KivHostCore/Testing/Chromium.hpp"
#include "SoakFigures.hpp"

namespace kiv::soak {

class BrowserDevice {
public:
    static std::expected<std::unique_ptr<BrowserDevice>, std::string>
    open(const std::filesystem::path& profile, const std::string& url, const std::string& spki, int width, int height) {
        test::Chromium::Options options;
        options.profile = profile;
        options.trustedSpki = spki;
        options.width = 400;
        options.height = 300;
        auto browser = test::Chromium::launch(options);
        if (!browser) return std::unexpected(browser.error());
        std::unique_ptr<BrowserDevice> device(new BrowserDevice(std::move(*browser)));
        auto tab = device->browser_->openTab("about:blank", kNotes);
        if (!tab) return std::unexpected(tab.error());
        device->tab_ = *tab;
        if (auto sized = device->browser_->call(
                "Emulation.setDeviceMetricsOverride",
                {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}}, device->tab_);
            !sized)
            return std::unexpected(sized.error());
        if (auto navigated = device->browser_->call("Page.navigate", {{"url", url}}, device->tab_); !navigated)
            return std::unexpected(navigated.error());
        return device;
    }

    // The page's notes since the last call, as frames shown (the page logs no frame it could not show).
    // False when the browser no longer answers.
    bool read(std::vector<LoggedFrame>& into) {
        const auto notes = browser_->evaluate(tab_, "window.kivSoak ? window.kivSoak.splice(0) : []");
        if (!notes) return false;
        const auto offset = micros(CLOCK_MONOTONIC) - micros(CLOCK_REALTIME);
        for (const auto& note : *notes) {
            if (!note.is_array() || note.size() != 2) continue;
            const auto at = static_cast<std::uint64_t>(note[0].get<double>() + static_cast<double>(offset));
            into.push_back({note[1].get<int>() != 0, at, at});
        }
        return true;
    }

    bool reload() { return browser_->call("Page.reload", {}, tab_).has_value(); }

    // Leaves as the page would when the person ends it: a goodbye, so the host need not wait out its grace.
    void leave() { (void)browser_->evaluate(tab_, R"(window.kiv?.link.send({disconnect: {reason: "soak over"}}))"); }

    std::string console() const { return browser_->consoleText(); }

private:
    explicit BrowserDevice(std::unique_ptr<test::Chromium> browser) : browser_(std::move(browser)) {}

    static std::int64_t micros(clockid_t clock) {
        timespec t{};
        ::clock_gettime(clock, &t);
        return static_cast<std::int64_t>(t.tv_sec) * 1'000'000 + t.tv_nsec / 1000;
    }

    // Wall-clock microseconds of each decoded frame, and whether it was a keyframe; bounded, in case
    // the soak stops reading.
    static constexpr const char* kNotes = R"JS(
      window.kivSoak = [];
      (function hook() {
        if (!window.kiv) return setTimeout(hook, 5);
        window.kiv.onFrame = (frame, info) => {
          if (window.kivSoak.length > 200000) window.kivSoak.splice(0, 100000);
          window.kivSoak.push([(performance.timeOrigin + info.decodedAt) * 1000, info.key ? 1 : 0]);
        };
      })();
    )JS";

    std::unique_ptr<test::Chromium> browser_;
    std::string tab_;
};

} // namespace kiv::soak
