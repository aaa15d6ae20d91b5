#pragma once
// Limits that protect the host from a peer that opens links faster than any device would, and the
// log from a flood of refusals: each cause is logged once per address and minute, the next line
// saying how many were not. Both are used on one queue (the listener's, or the main one).
#include <chrono>
#include <cstddef>
#include <deque>
#include <fmt/format.h>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

// New links from one address within any one second.
class NewLinkRate {
public:
    static constexpr std::size_t kPerSecond = 10;
    static constexpr std::size_t kAddressesKept = 1024;

    // Counts a new link from `address`; false when it is one too many this second.
    bool allow(const std::string& address, MonotonicTime now) {
        if (recent_.size() >= kAddressesKept) forgetQuiet(now);
        auto& times = recent_[address];
        while (!times.empty() && now - times.front() >= std::chrono::seconds(1))
            times.pop_front();
        if (times.size() >= kPerSecond) return false;
        times.push_back(now);
        return true;
    }

private:
    void forgetQuiet(MonotonicTime now) {
        std::erase_if(recent_, [&](const auto& entry) {
            return entry.second.empty() || now - entry.second.back() >= std::chrono::seconds(1);
        });
        // Every address busy this very second: keep the map bounded all the same.
        while (recent_.size() >= kAddressesKept)
            recent_.erase(recent_.begin());
    }

    std::map<std::string, std::deque<MonotonicTime>> recent_;
};

class RefusalNotes {
public:
    static constexpr std::size_t kKept = 1024;

    // The line to log for this refusal, or nothing when the same cause from the same address was
    // logged less than a minute ago.
    std::optional<std::string> note(const std::string& cause, const std::string& address, MonotonicTime now,
                                    std::string line) {
        const auto key = std::make_pair(cause, address);
        auto it = notes_.find(key);
        if (it != notes_.end() && now - it->second.loggedAt < std::chrono::minutes(1)) {
            ++it->second.unlogged;
            return std::nullopt;
        }
        if (it == notes_.end()) {
            if (notes_.size() >= kKept) notes_.erase(notes_.begin());
            it = notes_.emplace(key, Note{}).first;
        }
        if (const auto unlogged = std::exchange(it->second.unlogged, 0); unlogged > 0)
            line += fmt::format(" ({} more since the last such line)", unlogged);
        it->second.loggedAt = now;
        return line;
    }

private:
    struct Note {
        MonotonicTime loggedAt{};
        std::size_t unlogged = 0;
    };
    std::map<std::pair<std::string, std::string>, Note> notes_;
};

} // namespace kiv
