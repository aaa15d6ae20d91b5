#pragma once
#include <cstddef>
#include <string_view>

namespace kiv::WebPage::detail {
struct EmbeddedFile {
    const char* path;
    std::string_view bytes;
};
extern const EmbeddedFile files[];
extern const std::size_t fileCount;
} // namespace kiv::WebPage::detail
