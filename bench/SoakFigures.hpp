#pragma once
// What the soak reads and works out: a process's figures from /proc, the frames a device logged
// (kivdisplay-receiver --frame-log), and from those the share of time a device showed a current
// picture and how long each recovery took.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Percentile.hpp"

namespace kiv::soak {

struct ProcessFigures {
    double rssMiB = 0;
    int descriptors = 0;
    int threads = 0;
    double cpuSeconds = 0; // user + system so far
    pid_t pid = 0;
};

inline std::optional<ProcessFigures> readProcess(pid_t pid) {
    const auto dir = "/proc/" + std::to_string(pid);
    std::ifstream status(dir + "/status");
    if (!status) return std::nullopt;
    ProcessFigures out;
    out.pid = pid;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) out.rssMiB = std::strtod(line.c_str() + 6, nullptr) / 1024.0;
        if (line.rfind("Threads:", 0) == 0) out.threads = std::atoi(line.c_str() + 8);
    }
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir + "/fd", ec); !ec && it != std::filesystem::end(it);
         it.increment(ec))
        ++out.descriptors;
    std::ifstream stat(dir + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command's closing parenthesis; utime and stime are the 12th and 13th of them.
    const auto close = text.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        double ticks = 0;
        for (int i = 1; i <= 13 && fields >> field; ++i)
            if (i >= 12) ticks += std::strtod(field.c_str(), nullptr);
        out.cpuSeconds = ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    return out;
}

// One line of a frame log: when the frame was shown (0: it arrived but could not be shown).
struct LoggedFrame {
    bool keyframe = false;
    std::uint64_t completedAtUs = 0;
    std::uint64_t decodedAtUs = 0;
};

// Reads the lines a frame log gained since the last call; a partly written last line waits.
class FrameLogTail {
public:
    explicit FrameLogTail(std::filesystem::path path) : path_(std::move(path)) {}
    void read(std::vector<LoggedFrame>& into) {
        std::ifstream in(path_);
        if (!in) return;
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string line;
        while (std::getline(in, line)) {
            if (in.eof()) break; // no newline yet
            offset_ += line.size() + 1;
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            std::uint64_t id = 0, key = 0, bytes = 0, capture = 0;
            LoggedFrame frame;
            if (fields >> id >> key >> bytes >> capture >> frame.completedAtUs >> frame.decodedAtUs) {
                frame.keyframe = key != 0;
                into.push_back(frame);
            }
        }
    }

private:
    std::filesystem::path path_;
    std::size_t offset_ = 0;
};

using bench::percentile;

inline nlohmann::json summary(const std::vector<double>& ms) {
    if (ms.empty()) return {{"n", 0}};
    return {{"n", ms.size()},
            {"p50Ms", std::round(percentile(ms, 0.5))},
            {"p95Ms", std::round(percentile(ms, 0.95))},
            {"maxMs", std::round(*std::max_element(ms.begin(), ms.end()))}};
}

// A deliberate interruption: from `atUs` until the first picture the device showed after it
// (for a pulled cable, the first keyframe: the new link's first picture). Its recovery is timed
// from `backAtUs`: the device started again, or the cable pulled.
struct Interruption {
    std::uint64_t atUs = 0;
    bool needsKeyframe = false;
    std::uint64_t backAtUs = 0;
    std::optional<std::uint64_t> recoveredAtUs;
};

struct DeviceVerdict {
    double currentShare = 0; // of the time outside deliberate interruptions
    double staleSeconds = 0;
    std::vector<double> recoveryMs;     // deliberate interruptions
    std::vector<double> lossRecoveryMs; // a frame that could not be shown → the next shown
    int unrecovered = 0;
    std::uint64_t shown = 0, keyframes = 0;
};

// `frames` in arrival order over the device's whole run, `from`/`to` the window observed. A picture
// is current while the newest shown frame is younger than `staleAfterUs` (the screen changes
// continuously, so an older one means the device is behind).
inline DeviceVerdict judge(const std::vector<LoggedFrame>& frames, std::vector<Interruption>& drops,
                           std::uint64_t fromUs, std::uint64_t toUs, std::uint64_t staleAfterUs) {
    DeviceVerdict v;
    std::vector<std::uint64_t> shown;
    std::optional<std::uint64_t> stalledSince;
    for (const auto& f : frames) {
        if (f.decodedAtUs == 0) {
            if (!stalledSince) stalledSince = f.completedAtUs;
            continue;
        }
        if (stalledSince) v.lossRecoveryMs.push_back(static_cast<double>(f.decodedAtUs - *stalledSince) / 1000.0);
        stalledSince.reset();
        shown.push_back(f.decodedAtUs);
        ++v.shown;
        if (f.keyframe) ++v.keyframes;
        for (auto& d : drops)
            if (!d.recoveredAtUs && f.decodedAtUs > std::max(d.atUs, d.backAtUs) && (!d.needsKeyframe || f.keyframe))
                d.recoveredAtUs = f.decodedAtUs;
    }
    std::sort(shown.begin(), shown.end());
    // Excluded spans: each deliberate interruption until its recovery (or the end).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> excluded;
    for (const auto& d : drops) {
        excluded.emplace_back(d.atUs, d.recoveredAtUs.value_or(toUs));
        if (d.recoveredAtUs)
            v.recoveryMs.push_back(static_cast<double>(*d.recoveredAtUs - std::max(d.atUs, d.backAtUs)) / 1000.0);
        else
            ++v.unrecovered;
    }
    const auto outside = [&](std::uint64_t a, std::uint64_t b) {
        // Length of [a, b) not covered by an excluded span (spans may overlap: clip piecewise).
        std::vector<std::pair<std::uint64_t, std::uint64_t>> cut{{a, b}};
        for (const auto& [ea, eb] : excluded) {
            std::vector<std::pair<std::uint64_t, std::uint64_t>> next;
            for (const auto& [ca, cb] : cut) {
                if (eb <= ca || ea >= cb) {
                    next.emplace_back(ca, cb);
                    continue;
                }
                if (ca < ea) next.emplace_back(ca, ea);
                if (eb < cb) next.emplace_back(eb, cb);
            }
            cut = std::move(next);
        }
        std::uint64_t total = 0;
        for (const auto& [ca, cb] : cut)
            total += cb - ca;
        return total;
    };
    std::uint64_t stale = 0;
    std::uint64_t last = fromUs;
    for (const auto at : shown) {
        if (at <= fromUs || at > toUs) continue;
        if (at > last + staleAfterUs) stale += outside(last + staleAfterUs, at);
        last = at;
    }
    if (toUs > last + staleAfterUs) stale += outside(last + staleAfterUs, toUs);
    const auto observed = toUs > fromUs ? outside(fromUs, toUs) : 0;
    v.staleSeconds = static_cast<double>(stale) / 1e6;
    v.currentShare = observed ? 1.0 - static_cast<double>(stale) / static_cast<double>(observed) : 0;
    return v;
}

} // namespace kiv::soak
