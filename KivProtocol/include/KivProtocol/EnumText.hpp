#pragma once
// Text enumerations: each enum lists its text values in case order through EnumTraits,
// which gives toText, fromText and allCases without per-enum boilerplate.
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace kiv {

template <class E>
struct EnumTraits; // specialise with: static constexpr std::array<std::string_view, N> names;

template <class E>
constexpr std::string_view toText(E value) {
    const auto index = static_cast<std::size_t>(value);
    const auto& names = EnumTraits<E>::names;
    return index < names.size() ? names[index] : std::string_view{};
}

template <class E>
constexpr std::optional<E> fromText(std::string_view text) {
    const auto& names = EnumTraits<E>::names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == text) return static_cast<E>(i);
    }
    return std::nullopt;
}

template <class E>
constexpr auto allCases() {
    constexpr auto count = EnumTraits<E>::names.size();
    std::array<E, count> cases{};
    for (std::size_t i = 0; i < count; ++i)
        cases[i] = static_cast<E>(i);
    return cases;
}

} // namespace kiv
