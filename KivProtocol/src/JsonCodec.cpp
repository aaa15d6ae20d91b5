#include "JsonCodec.hpp"

namespace kiv::json {

bool allNumbersFinite(const Json& j) {
    if (j.is_number_float()) return std::isfinite(j.get<double>());
    if (j.is_structured()) {
        for (const auto& element : j) {
            if (!allNumbersFinite(element)) return false;
        }
    }
    return true;
}

std::string dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace kiv::json
