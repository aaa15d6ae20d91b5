#include "KivHostCore/Service/SessionReport.hpp"

#include <algorithm>
#include <fmt/format.h>

#include "KivProtocol/EnumText.hpp"

namespace kiv {

namespace {

template <class T, class F>
double average(const std::vector<T>& samples, F value) {
    double sum = 0;
    for (const auto& s : samples)
        sum += static_cast<double>(value(s));
    return samples.empty() ? 0.0 : sum / static_cast<double>(samples.size());
}

template <class T, class F>
double largest(const std::vector<T>& samples, F value) {
    double most = 0;
    for (const auto& s : samples)
        most = std::max(most, static_cast<double>(value(s)));
    return most;
}

// Counters are totals; the report shows what is new since the previous one, never less than 0
// (a device that reconnects starts its totals again).
std::int64_t since(std::int64_t now, std::int64_t& before) {
    const auto d = std::max<std::int64_t>(now - before, 0);
    before = now;
    return d;
}

std::int64_t kib(std::int64_t bytes) {
    return bytes / 1024;
}

std::string linkPart(const std::vector<TransportMetrics>& links) {
    const auto& link = links.back();
    const double throughput = average(links, [](const TransportMetrics& m) { return m.throughputMbps; });
    const auto queueKB =
        static_cast<std::int64_t>(largest(links, [](const TransportMetrics& m) { return kib(m.sendQueueBytes); }));
    const auto reconnects =
        static_cast<std::int64_t>(largest(links, [](const TransportMetrics& m) { return m.reconnects; }));
    if (link.kind == TransportKind::web)
        return fmt::format(" | link web {} throughput {:.1f}Mbps sendq max {}KB reconnects {}", link.device, throughput,
                           queueKB, reconnects);
    if (link.kind != TransportKind::usb)
        return fmt::format(" | link wifi {} throughput {:.1f}Mbps sendq max {}KB reconnects {}", link.device,
                           throughput, queueKB, reconnects);
    return fmt::format(
        " | link usb dev={} throughput {:.1f}Mbps sendq max {}KB/{}f rxq {}KB reconnects {}", link.device, throughput,
        queueKB, static_cast<std::int64_t>(largest(links, [](const TransportMetrics& m) { return m.sendQueueFrames; })),
        static_cast<std::int64_t>(largest(links, [](const TransportMetrics& m) { return kib(m.receiveQueueBytes); })),
        reconnects);
}

std::string clientPart(const std::vector<ClientStats>& c, SessionReportCounters& counters) {
    const auto& newest = c.back();
    return fmt::format(
        " || iPad dec {:.0f}fps {:.2f}ms latency {:.1f}ms (max {:.1f}ms) loss {:.1f}% (max {:.1f}%) rtt {:.1f}ms "
        "jitter {:.1f}ms dropped +{} skipped +{}",
        average(c, [](const ClientStats& s) { return s.decodeFPS; }),
        average(c, [](const ClientStats& s) { return s.decodeTimeMs; }),
        average(c, [](const ClientStats& s) { return s.latencyMs; }),
        largest(c, [](const ClientStats& s) { return s.latencyMaxMs.value_or(s.latencyMs); }),
        average(c, [](const ClientStats& s) { return s.packetLoss; }) * 100,
        largest(c, [](const ClientStats& s) { return s.packetLoss; }) * 100,
        average(c, [](const ClientStats& s) { return s.rttMs; }),
        average(c, [](const ClientStats& s) { return s.jitterMs.value_or(0); }),
        since(newest.droppedFrames, counters.client[0]), since(newest.skippedFrames.value_or(0), counters.client[1]));
}

} // namespace

SessionReport makeSessionReport(const SessionReportInput& in, SessionReportCounters& counters) {
    SessionReport report;
    if (in.host.empty()) return report;
    const auto& host = in.host;
    const auto n = static_cast<double>(host.size());
    const double captureFPS = average(host, [](const HostMetrics& s) { return s.captureFPS; });
    const auto& last = host.back();
    const auto captureDrops = since(last.droppedCaptureFrames, counters.host[0]);
    const auto sendDrops = since(last.droppedSendFrames, counters.host[1]);
    const auto skipped = since(last.skippedSendFrames, counters.host[2]);
    auto& line = report.line;
    line = fmt::format(
        "[{}s] capture {:.0f}fps encode {:.0f}fps {:.1f}ms | {:.2f}Mbps target {:.1f}Mbps tier={} | frame avg {:.1f}KB "
        "max {:.1f}KB | dropped capture +{} send(congestion) +{} skipped +{} | cpu {:.1f}%",
        host.size(), captureFPS, average(host, [](const HostMetrics& s) { return s.encodeFPS; }),
        average(host, [](const HostMetrics& s) { return s.encodeTimeMs; }),
        average(host, [](const HostMetrics& s) { return s.bitrateKbps; }) / 1000,
        static_cast<double>(in.targetBitrate) / 1e6, toText(in.tier),
        average(host, [](const HostMetrics& s) { return s.avgFrameKB; }),
        largest(host, [](const HostMetrics& s) { return s.maxFrameKB; }), captureDrops, sendDrops, skipped,
        average(host, [](const HostMetrics& s) { return s.cpuPercent; }));
    const auto tolerated = std::max<std::int64_t>(2, static_cast<std::int64_t>(captureFPS * n * 0.05));
    report.problem = captureDrops > tolerated || sendDrops >= 1;

    if (!in.links.empty()) line += linkPart(in.links);
    if (!in.clients.empty()) line += clientPart(in.clients, counters);

    if (!in.idrCounts.empty()) {
        std::vector<std::pair<std::string, std::int64_t>> counts;
        for (const auto& [reason, count] : in.idrCounts)
            counts.emplace_back(std::string(toText(reason)), count);
        std::sort(counts.begin(), counts.end());
        line += " | IDR requests:";
        for (const auto& [reason, count] : counts)
            line += fmt::format(" {}={}", reason, count);
    }

    if (in.input) line += " | " + *in.input;

    if (in.refiner) {
        const auto [refinements, bytes, tiny] = *in.refiner;
        if (refinements > 0 || tiny > 0) {
            line += fmt::format(" | static refine {}x {}KB", refinements, (bytes + 1023) / 1024);
            if (tiny > 0) line += fmt::format(" (skipped {} tiny changes)", tiny);
        }
    }

    if (in.audio) {
        const auto& audio = *in.audio;
        const auto format = audio.sampleRate && audio.channels
                                ? fmt::format("{}Hz/{}ch", *audio.sampleRate, *audio.channels)
                                : std::string("-");
        line += fmt::format(" | audio {} {:.0f}kbps pkts {}", format, audio.kbps, audio.packets);
        std::optional<AudioStats> heard;
        for (const auto& s : in.clients)
            if (s.audio) heard = s.audio;
        if (heard) {
            const auto underruns = since(heard->underruns, counters.client[2]);
            const auto lost = since(heard->lostPackets, counters.client[3]);
            const double trimmed = std::max(heard->trimmedMs - counters.clientTrimmedMs, 0.0);
            counters.clientTrimmedMs = heard->trimmedMs;
            line += fmt::format(" || iPad audio buf {:.0f}ms latency {:.0f}ms underruns +{} lost +{}", heard->bufferMs,
                                heard->latencyMs, underruns, lost);
            if (trimmed > 0) line += fmt::format(" trimmed {:.0f}ms", trimmed);
            report.problem = report.problem || lost >= 1 || underruns > 2;
        }
    }

    if (captureFPS < 0.5) line += " | no captured frames (normal while the screen is still)";
    return report;
}

std::optional<SessionReportInput> SessionStatistics::take() {
    if (input_.host.empty()) return std::nullopt;
    return std::exchange(input_, {});
}

} // namespace kiv
