#include "KivHostCore/Metrics/FrameTrace.hpp"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace kiv::FrameTrace {

namespace {
std::atomic<bool> on{false};
std::mutex mutex;
std::FILE* file = nullptr; // kept open for the life of the process
} // namespace

std::string_view name(Stage stage) {
    switch (stage) {
    case Stage::damaged: return "damaged";
    case Stage::grabStarted: return "grabStarted";
    case Stage::converting: return "converting";
    case Stage::captured: return "captured";
    case Stage::encodeStarted: return "encodeStarted";
    case Stage::encoded: return "encoded";
    case Stage::sent: return "sent";
    }
    return "?";
}

std::expected<void, std::string> open(const std::filesystem::path& path) {
    const std::lock_guard lock(mutex);
    std::FILE* opened = std::fopen(path.c_str(), "w");
    if (!opened) return std::unexpected("cannot write " + path.string());
    std::setvbuf(opened, nullptr, _IOLBF, 0); // whole lines for a reader that follows the file
    if (file) std::fclose(file);
    file = opened;
    std::fputs("# captureTimeUs stage atUs\n", file);
    on = true;
    return {};
}

bool enabled() {
    return on.load(std::memory_order_relaxed);
}

void mark(std::uint64_t captureTimeUs, Stage stage, std::uint64_t atUs) {
    if (!enabled()) return;
    const std::lock_guard lock(mutex);
    if (file)
        std::fprintf(file, "%llu %s %llu\n", static_cast<unsigned long long>(captureTimeUs), name(stage).data(),
                     static_cast<unsigned long long>(atUs));
}

} // namespace kiv::FrameTrace
