#pragma once
// What this build is: the project's version (set once, in the top CMakeLists.txt) and the commit
// it was built from, for every program's --version and the diagnostics.
#include <string>
#include <string_view>

namespace kiv::build {

std::string_view version(); // "0.1.0"
// The short commit id, with "+changes" when the tree had uncommitted changes; "unknown" outside git.
std::string_view commit();
// "kivdisplay-host 0.1.0 (commit d2d577a1b2c3, protocol 5)"
std::string versionLine(std::string_view program, int protocol);

} // namespace kiv::build
