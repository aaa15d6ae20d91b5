#pragma once
// The harness's browser device: headless Chromium opens the host's page, and a hook in the page
// reads the strip's counter from every decoded VideoFrame (two rows of its luma) and stamps it with
// the page's clock. The page's clock (performance.timeOrigin + now(), the wall clock) maps to
// CLOCK_MONOTONIC through the offset between the two clocks here, checked against a DevTools
// round trip when the device opens.
#include <time.h>

#include <atomic>
#include <fmt/format.h>
#include <mutex>
#include <thread>

#include "E2EMeasure.hpp"
#include "KivHostCore/Testing/Chromium.hpp"
#include "KivProtocol/ControlFraming.hpp"

namespace kiv::e2e {

inline std::int64_t clockMicros(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000 + t.tv_nsec / 1000;
}

// KIV_CHROMIUM_ARGS: more flags for the browser, separated by spaces (for trying its options).
inline std::vector<std::string> extraArguments() {
    std::vector<std::string> args;
    if (const char* text = std::getenv("KIV_CHROMIUM_ARGS")) {
        std::istringstream words(text);
        for (std::string word; words >> word;)
            args.push_back(word);
    }
    return args;
}

class WebDevice {
public:
    // The page at `url` in a viewport of width×height device pixels at `scale`.
    static std::expected<std::unique_ptr<WebDevice>, std::string> open(const std::filesystem::path& profile,
                                                                       const std::string& url, const std::string& spki,
                                                                       int width, int height, double scale,
                                                                       Measure& measure) {
        test::Chromium::Options options;
        options.profile = profile;
        options.trustedSpki = spki;
        options.width = 400;
        options.height = 300;
        options.extraArguments = extraArguments();
        auto browser = test::Chromium::launch(options);
        if (!browser) return std::unexpected(browser.error());
        std::unique_ptr<WebDevice> device(new WebDevice(std::move(*browser), measure));
        auto& chromium = *device->browser_;
        auto blank = chromium.openTab("about:blank");
        if (!blank) return std::unexpected(blank.error());
        device->tab_ = *blank;
        if (auto sized = chromium.call("Emulation.setDeviceMetricsOverride",
                                       {{"width", static_cast<int>(width / scale)},
                                        {"height", static_cast<int>(height / scale)},
                                        {"deviceScaleFactor", scale},
                                        {"mobile", false}},
                                       device->tab_);
            !sized)
            return std::unexpected(sized.error());
        if (auto navigated = chromium.call("Page.navigate", {{"url", url}}, device->tab_); !navigated)
            return std::unexpected(navigated.error());
        if (!chromium.waitFor(device->tab_, "window.kiv?.state.phase === 'streaming'", std::chrono::seconds(60)))
            return std::unexpected("the page did not connect: " + chromium.consoleText());
        // The page's clock against this one: the midpoint of a DevTools round trip.
        const auto before = clockMicros(CLOCK_REALTIME);
        const auto page = chromium.evaluate(device->tab_, "performance.timeOrigin + performance.now()");
        const auto after = clockMicros(CLOCK_REALTIME);
        if (!page) return std::unexpected(page.error());
        device->clockErrorMs = page->get<double>() - static_cast<double>(before + after) / 2000.0;
        device->clockBoundMs = static_cast<double>(after - before) / 2000.0;
        if (auto hooked = chromium.evaluate(device->tab_, kHook); !hooked) return std::unexpected(hooked.error());
        // KIV_WEB_SCRIPT: a script run in the page after the hook (for trying the page's options).
        if (const char* script = std::getenv("KIV_WEB_SCRIPT"))
            if (auto ran = chromium.evaluate(device->tab_, script); !ran) return std::unexpected(ran.error());
        device->pump_ = std::thread([raw = device.get()] { raw->pumpLoop(); });
        return device;
    }

    ~WebDevice() {
        running_ = false;
        if (pump_.joinable()) pump_.join();
    }

    // A control message for the page to send as its own.
    void send(const ControlMessage& message) {
        const auto frame = ControlFraming::encode(message);
        if (!frame) return;
        const std::string json(frame->begin() + 4, frame->end());
        const std::lock_guard lock(mutex_);
        outgoing_.push_back("window.kiv.link.send(" + json + ")");
    }
    bool streaming() const { return streaming_; }
    std::uint64_t bytes() const { return bytes_; }
    // Medians of the page's own per-second figures: decode (submit to output) and draw, ms per frame.
    std::pair<double, double> pageTimes() const {
        const std::lock_guard lock(mutex_);
        return {percentile(decodeMs_, 0.5), percentile(drawMs_, 0.5)};
    }

    double clockErrorMs = 0; // page clock minus this machine's wall clock, at opening
    double clockBoundMs = 0; // half the round trip that measured it

private:
    WebDevice(std::unique_ptr<test::Chromium> browser, Measure& measure)
        : browser_(std::move(browser)), measure_(measure),
          offsetMicros_(clockMicros(CLOCK_MONOTONIC) - clockMicros(CLOCK_REALTIME)) {}

    static constexpr const char* kHook = R"JS((() => {
      const bits = 10, cellY = 0.3, cellH = 0.12;
      window.kivBench = { results: [] };
      window.kiv.onFrame = (frame, info) => {
        const copy = frame.clone();
        const width = copy.codedWidth, height = copy.displayHeight;
        const y = Math.floor((cellY + cellH / 2) * height) & ~1;
        const buffer = new Uint8Array(width * 4);
        copy.copyTo(buffer, { rect: { x: 0, y, width, height: 2 } }).then(() => {
          let code = 0;
          for (let bit = 0; bit < bits; bit++) {
            const x = Math.floor((0.1 + 0.8 * (bit + 0.5) / bits) * copy.displayWidth);
            let sum = 0;
            for (let dx = -2; dx <= 2; dx++) sum += buffer[x + dx];
            if (sum / 5 > 128) code |= 1 << bit;
          }
          window.kivBench.results.push([code, performance.timeOrigin + info.decodedAt,
            performance.timeOrigin + (info.received ?? info.decodedAt), info.captureTimeUs ?? 0, info.key ? 1 : 0]);
        }).finally(() => copy.close());
      };
      return true;
    })())JS";

    void pumpLoop() {
        auto lastFigures = std::chrono::steady_clock::now();
        while (running_) {
            std::vector<std::string> outgoing;
            {
                const std::lock_guard lock(mutex_);
                outgoing.swap(outgoing_);
            }
            for (const auto& script : outgoing)
                (void)browser_->evaluate(tab_, script);
            auto taken = browser_->evaluate(
                tab_, "[window.kivBench.results.splice(0), window.kiv.link.bytesIn, window.kiv.state.phase]");
            if (taken && taken->is_array()) {
                const std::lock_guard lock(measure_.mutex);
                for (const auto& r : (*taken)[0]) {
                    const auto decoded =
                        static_cast<std::uint64_t>(r[1].get<double>() * 1000.0 + static_cast<double>(offsetMicros_));
                    const auto received =
                        static_cast<std::uint64_t>(r[2].get<double>() * 1000.0 + static_cast<double>(offsetMicros_));
                    ++measure_.pictures;
                    measure_.credit(r[0].get<std::uint32_t>(), decoded, r[3].get<std::uint64_t>(), received,
                                    r[4].get<int>() == 1);
                }
                bytes_ = (*taken)[1].get<std::uint64_t>();
                streaming_ = (*taken)[2] == "streaming";
            }
            if (std::chrono::steady_clock::now() - lastFigures > std::chrono::seconds(1)) {
                lastFigures = std::chrono::steady_clock::now();
                if (auto f = browser_->evaluate(tab_, "window.kiv.figures");
                    f && f->is_object() && (*f)["decodeFPS"] > 0) {
                    const std::lock_guard lock(mutex_);
                    decodeMs_.push_back((*f)["decodeTimeMs"].get<double>());
                    drawMs_.push_back((*f)["drawMs"].get<double>());
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::unique_ptr<test::Chromium> browser_;
    Measure& measure_;
    const std::int64_t offsetMicros_;
    std::string tab_;
    std::thread pump_;
    std::atomic<bool> running_{true};
    std::atomic<bool> streaming_{false};
    std::atomic<std::uint64_t> bytes_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> outgoing_;
    std::vector<double> decodeMs_;
    std::vector<double> drawMs_;
};

} // namespace kiv::e2e
