#pragma once
// The session's periodic statistics line: what the host, the link and the device measured over
// the last interval, in one line, and whether that interval showed a problem.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "KivHostCore/Audio/AudioSender.hpp"
#include "KivHostCore/Metrics/PerformanceMonitor.hpp"
#include "KivProtocol/ControlMessage.hpp"
#include "KivProtocol/Stats.hpp"

namespace kiv {

struct SessionReportInput {
    std::vector<HostMetrics> host; // one per second; the report needs at least one
    std::vector<TransportMetrics> links;
    std::vector<ClientStats> clients;
    std::int64_t targetBitrate = 0;
    QualityTier tier = QualityTier::clear;
    std::map<IDRReason, std::int64_t> idrCounts;
    std::optional<std::string> input;                                            // the input manager's line
    std::optional<std::tuple<std::int64_t, std::int64_t, std::int64_t>> refiner; // refinements, bytes, skipped
    std::optional<AudioSenderStats> audio; // present while sound is forwarded or was in the interval
};

// The totals seen at the previous report: the report shows what is new since then.
struct SessionReportCounters {
    std::array<std::int64_t, 3> host{};   // capture drops, send drops, skipped sends
    std::array<std::int64_t, 4> client{}; // frames dropped, skipped; audio underruns, lost packets
    double clientTrimmedMs = 0;
};

struct SessionReport {
    std::string line;
    bool problem = false;
};

SessionReport makeSessionReport(const SessionReportInput& input, SessionReportCounters& counters);

// What a session gathers between two statistics lines: a host sample a second while it streams,
// the link's and the device's figures, and the keyframes the device asked for. Main-executor
// confined.
class SessionStatistics {
public:
    static constexpr std::size_t kSamplesPerLine = 5;

    // True when a line is due.
    bool addHost(const HostMetrics& sample) {
        input_.host.push_back(sample);
        return input_.host.size() >= kSamplesPerLine;
    }
    void addLink(const TransportMetrics& sample) { input_.links.push_back(sample); }
    void addClient(const ClientStats& sample) { input_.clients.push_back(sample); }
    void countKeyframeRequest(IDRReason reason) { ++input_.idrCounts[reason]; }
    // The samples since the last line, for the caller to complete; nothing when no host sample
    // came (not streaming).
    std::optional<SessionReportInput> take();
    // The line for `input`, counting from the totals of the last line.
    SessionReport report(const SessionReportInput& input) { return makeSessionReport(input, counters_); }

private:
    SessionReportInput input_;
    SessionReportCounters counters_;
};

} // namespace kiv
