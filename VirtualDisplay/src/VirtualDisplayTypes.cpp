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
    case Kind::invalidMode: return "无效分辨率 " + mode.text();
    case Kind::unsupported: return "当前 macOS 不支持 CGVirtualDisplay";
    case Kind::alreadyActive: return "虚拟显示器已存在";
    case Kind::notActive: return "虚拟显示器未创建";
    case Kind::creationFailed: return "创建虚拟显示器失败";
    case Kind::applySettingsFailed: return "应用显示模式失败";
    }
    return {};
}

} // namespace kiv
