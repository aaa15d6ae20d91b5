#pragma once
// What the process log holds, for tests that check the system's own log lines.
#include <string>
#include <string_view>

#include "KivBase/KivLog.hpp"

namespace kiv::test {

enum class Match { contains, startsWith, exactly };

// How many log entries (any level) match `text`.
inline int countLogged(std::string_view text, Match match = Match::contains) {
    int n = 0;
    for (const auto& entry : KivLogStore::shared().entries(LogLevel::debug)) {
        const std::string_view message(entry.message);
        switch (match) {
        case Match::contains: n += message.find(text) != std::string_view::npos; break;
        case Match::startsWith: n += message.starts_with(text); break;
        case Match::exactly: n += message == text; break;
        }
    }
    return n;
}

inline bool logged(std::string_view text) {
    return countLogged(text) > 0;
}

// The entries that contain `text`, one a line: context for a failure message.
inline std::string loggedLines(std::string_view text) {
    std::string out;
    for (const auto& entry : KivLogStore::shared().entries(LogLevel::debug))
        if (entry.message.find(text) != std::string::npos) out += entry.message + "\n";
    return out;
}

} // namespace kiv::test
