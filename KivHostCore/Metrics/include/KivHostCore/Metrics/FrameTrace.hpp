#pragma once
// Where a frame's time goes, stage by stage, for the latency harness: off (one relaxed atomic
// load per mark) unless a file is opened, as `kivdisplay-host --frame-trace FILE` does. One line
// per stage: the frame's capture stamp (its identity through the pipeline), the stage, and the
// time, both in µs on the steady clock (CLOCK_MONOTONIC: the receiver's clock on the same machine).
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace kiv::FrameTrace {

enum class Stage {
    damaged,       // the first redraw since the previous grab was reported
    grabStarted,   // the grab began (after the frame interval's wait)
    converting,    // pixels read; conversion to NV12 began
    captured,      // the frame's capture stamp
    encodeStarted, // the encoder's queue reached it
    encoded,       // the encoder gave it back
    sent,          // the link took all of it
};

std::string_view name(Stage stage);
std::expected<void, std::string> open(const std::filesystem::path& file);
bool enabled();
void mark(std::uint64_t captureTimeUs, Stage stage, std::uint64_t atUs);

} // namespace kiv::FrameTrace
