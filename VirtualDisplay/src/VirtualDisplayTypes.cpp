#include "VirtualDisplay/VirtualDisplayTypes.hpp"

#include <cmath>
#include <fmt/format.h>

namespace kiv {

const VirtualDisplayMode VirtualDisplayMode::p720{1280, 720, 60};
const VirtualDisplayMode VirtualDisplayMode::p900{1600, 900, 60};
const VirtualDisplayMode VirtualDisplayMode::p1080{1920, 1080, 60};

std::string VirtualDisplayMode::text() const {
    // Truncation of a non-finite or huge rate would be undefined; such a mode is only ever shown as invalid.
    if (std::isfinite(refreshRate) && std::fabs(refreshRate) < 1e15)
        return fmt::format("{}×{}@{}", width, height, static_cast<long long>(refreshRate));
    return fmt::format("{}×{}@{}", width, height, refreshRate);
}

bool VirtualDisplayMode::isValid() const {
    return width > 0 && height > 0 && refreshRate > 0 && std::isfinite(refreshRate);
}

std::vector<VirtualDisplayMode> VirtualDisplayConfiguration::allModes() const {
    std::vector<VirtualDisplayMode> modes{mode};
    for (const auto& candidate : additionalModes) {
        bool listed = false;
        for (const auto& existing : modes)
            listed = listed || (existing.width == candidate.width && existing.height == candidate.height);
        if (!listed) modes.push_back(candidate);
    }
    return modes;
}

std::string VirtualDisplayError::text() const {
    switch (kind) {
    case Kind::invalidMode: return "Invalid display mode " + mode.text();
    case Kind::unsupported: return "This X server cannot add a monitor (it needs RandR 1.5)";
    case Kind::alreadyActive: return "The virtual monitor already exists";
    case Kind::notActive: return "No virtual monitor has been made";
    case Kind::creationFailed: return "The virtual monitor could not be made";
    case Kind::applySettingsFailed: return "The display mode could not be applied";
    }
    return {};
}

} // namespace kiv
