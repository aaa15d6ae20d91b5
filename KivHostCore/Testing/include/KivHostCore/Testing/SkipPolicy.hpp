#pragma once
// When a test may skip. On a developer's machine a missing program (or privilege) skips the test
// with the reason; in CI (CI set in the environment, where scripts/install-deps installs
// everything) the same reason fails it, so a broken setup never passes as a row of skips.
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace kiv::test {

inline bool skipsAllowed() {
    const char* ci = std::getenv("CI");
    return ci == nullptr || *ci == '\0';
}

} // namespace kiv::test

// Skips (developer's machine) or fails (CI) the current test with `message`.
#define KIV_SKIP_OR_FAIL(message)                                                                                      \
    do {                                                                                                               \
        if (::kiv::test::skipsAllowed()) GTEST_SKIP() << (message);                                                    \
        FAIL() << (message) << " (nothing may be skipped in CI)";                                                      \
    } while (false)

// For a server's start result: a server this user may not run skips; a missing program skips or
// fails as above; any other error fails.
#define KIV_REQUIRE_STARTED(result)                                                                                    \
    do {                                                                                                               \
        if (!(result) && (result).error().needsPrivilege) GTEST_SKIP() << (result).error().message;                    \
        if (!(result) && (result).error().notInstalled) KIV_SKIP_OR_FAIL((result).error().message);                    \
        ASSERT_TRUE((result).has_value()) << (result).error().message;                                                 \
    } while (false)
