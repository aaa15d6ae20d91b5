#pragma once
// The files of the browser device's page, compiled in.
#include <optional>
#include <string_view>
#include <vector>

namespace kiv::WebPage {

struct File {
    std::string_view path; // "/main.js"
    std::string_view contentType;
    std::string_view body;
};

// "/" is the page itself; anything that is not one of the page's files is nothing.
std::optional<File> find(std::string_view path);
std::vector<File> all();

} // namespace kiv::WebPage
