#pragma once
// Splitting at a separator keeping empty pieces ("a||b" gives "a", "", "b"). Internal.
#include <string_view>
#include <vector>

namespace kiv {

inline std::vector<std::string_view> splitKeepingEmpty(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        const auto at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

} // namespace kiv
