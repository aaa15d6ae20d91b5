#pragma once
// Client-side estimate of the host clock from ping/pong exchanges.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace kiv {

class ClockSync {
public:
    struct Sample {
        std::int64_t offset = 0; // host minus client, microseconds
        std::uint64_t rtt = 0;
        bool operator==(const Sample&) const = default;
    };

    explicit ClockSync(std::size_t capacity);

    // t0/t3 on the client clock, t1/t2 on the host clock. Exchanges with t3 < t0 are ignored.
    void add(std::uint64_t t0, std::uint64_t t1, std::uint64_t t2, std::uint64_t t3);

    std::optional<std::int64_t> offsetUs() const; // of the lowest-rtt sample (older wins ties)
    std::optional<std::uint64_t> rttUs() const;   // of the newest sample
    std::optional<std::uint64_t> minRttUs() const;
    std::optional<std::uint64_t> toClient(std::uint64_t serverUs) const;

    const std::deque<Sample>& samples() const { return samples_; }
    std::size_t capacity() const { return capacity_; }

private:
    const Sample* best() const;

    std::deque<Sample> samples_;
    std::size_t capacity_;
};

} // namespace kiv
