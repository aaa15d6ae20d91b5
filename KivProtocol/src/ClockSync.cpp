#include "KivProtocol/ClockSync.hpp"

#include <algorithm>

namespace kiv {

__extension__ using Int128 = __int128;

ClockSync::ClockSync(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

void ClockSync::add(std::uint64_t t0, std::uint64_t t1, std::uint64_t t2, std::uint64_t t3) {
    if (t3 < t0) return;
    const std::uint64_t roundTrip = t3 - t0;
    std::uint64_t rtt = roundTrip;
    if (t2 >= t1) {
        const std::uint64_t hostTime = t2 - t1;
        rtt = hostTime > roundTrip ? 0 : roundTrip - hostTime;
    }
    // Wrapping unsigned differences reinterpret as the signed differences the formula wants.
    const auto a = static_cast<std::int64_t>(t1 - t0);
    const auto b = static_cast<std::int64_t>(t2 - t3);
    const std::int64_t offset = static_cast<std::int64_t>((static_cast<Int128>(a) + b) / 2);
    samples_.push_back(Sample{offset, rtt});
    while (samples_.size() > capacity_)
        samples_.pop_front();
}

const ClockSync::Sample* ClockSync::best() const {
    const Sample* found = nullptr;
    for (const auto& sample : samples_) {
        if (found == nullptr || sample.rtt < found->rtt) found = &sample;
    }
    return found;
}

std::optional<std::int64_t> ClockSync::offsetUs() const {
    if (const auto* sample = best()) return sample->offset;
    return std::nullopt;
}

std::optional<std::uint64_t> ClockSync::rttUs() const {
    if (samples_.empty()) return std::nullopt;
    return samples_.back().rtt;
}

std::optional<std::uint64_t> ClockSync::minRttUs() const {
    if (const auto* sample = best()) return sample->rtt;
    return std::nullopt;
}

std::optional<std::uint64_t> ClockSync::toClient(std::uint64_t serverUs) const {
    const auto offset = offsetUs();
    if (!offset) return std::nullopt;
    const Int128 client = static_cast<Int128>(serverUs) - *offset;
    if (client < 0) return 0;
    if (client > static_cast<Int128>(UINT64_MAX)) return UINT64_MAX;
    return static_cast<std::uint64_t>(client);
}

} // namespace kiv
