#include "JsonCodec.hpp"

namespace kiv::json {

int nestingDepth(std::string_view text) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"': inString = true; break;
        case '{':
        case '[':
            deepest = std::max(deepest, ++depth);
            break;
        case '}':
        case ']': --depth; break;
        default: break;
        }
    }
    return deepest;
}

bool allNumbersFinite(const Json& j) {
    if (j.is_number_float()) return std::isfinite(j.get<double>());
    if (j.is_structured()) {
        for (const auto& element : j) {
            if (!allNumbersFinite(element)) return false;
        }
    }
    return true;
}

std::optional<Json> parseDocument(std::string_view text, int maxDepth) {
    // The depth scan runs first so hostile input never builds a deep tree.
    if (nestingDepth(text) > maxDepth) return std::nullopt;
    Json parsed = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

std::string dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace kiv::json
