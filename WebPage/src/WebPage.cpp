#include "WebPage/WebPage.hpp"

#include "WebPageTable.hpp"

namespace kiv::WebPage {

namespace {
std::string_view typeOf(std::string_view path) {
    if (path.ends_with(".html")) return "text/html; charset=utf-8";
    if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
    if (path.ends_with(".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}
} // namespace

std::optional<File> find(std::string_view path) {
    if (path == "/") path = "/index.html";
    for (std::size_t i = 0; i < detail::fileCount; ++i) {
        const auto& file = detail::files[i];
        if (path == file.path) return File{file.path, typeOf(path), file.bytes};
    }
    return std::nullopt;
}

std::vector<File> all() {
    std::vector<File> files;
    for (std::size_t i = 0; i < detail::fileCount; ++i)
        files.push_back(File{detail::files[i].path, typeOf(detail::files[i].path), detail::files[i].bytes});
    return files;
}

} // namespace kiv::WebPage
