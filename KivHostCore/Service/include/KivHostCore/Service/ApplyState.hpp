#pragma once
// Progress of a configuration change as the interface shows it.
#include <string>
#include <variant>

namespace kiv {

struct ApplyState {
    enum class Kind { idle, applying, succeeded, failed };
    Kind kind = Kind::idle;
    std::string message;

    static ApplyState idle() { return {}; }
    static ApplyState applying(std::string text) { return {Kind::applying, std::move(text)}; }
    static ApplyState succeeded(std::string text) { return {Kind::succeeded, std::move(text)}; }
    static ApplyState failed(std::string text) { return {Kind::failed, std::move(text)}; }
    bool operator==(const ApplyState&) const = default;
};

} // namespace kiv
