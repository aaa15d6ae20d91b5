#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>

#include "KivBase/KivLog.hpp"

using namespace kiv;

namespace {
std::filesystem::path freshDir(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() / ("kiv-log-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    return dir;
}
std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
} // namespace

TEST(KivLogStore, LineFormatLevelsAndTrimmingSlack) {
    KivLogStore store(10);
    store.append(LogLevel::warn, "Session", "Link lost.");
    EXPECT_TRUE(std::regex_match(store.entries(LogLevel::debug).at(0).line,
                                 std::regex(R"(\[\d\d:\d\d:\d\d\.\d\d\d\]\[Session\]\[WARN\] Link lost\.)")));
    for (int i = 1; i < 11; ++i)
        store.append(i % 3 == 0 ? LogLevel::error : LogLevel::info, "M", std::to_string(i));
    EXPECT_EQ(store.entries(LogLevel::debug).size(), 11u) << "slack: not cut at 11";
    store.append(LogLevel::info, "M", "11");
    const auto all = store.entries(LogLevel::debug);
    ASSERT_EQ(all.size(), 10u);
    EXPECT_EQ(all.front().message, "2");
    EXPECT_EQ(all.back().message, "11");
    for (const auto& entry : store.entries(LogLevel::warn))
        EXPECT_GE(entry.level, LogLevel::warn);
    EXPECT_EQ(store.entries(LogLevel::warn).size(), 3u);
    const auto errors = store.text(LogLevel::error);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << "3 error lines joined by newlines";

    const auto version = store.version();
    store.clear();
    EXPECT_EQ(store.version(), version + 1);
    EXPECT_TRUE(store.entries(LogLevel::debug).empty());
    EXPECT_EQ(label(LogLevel::error), "ERROR");
    EXPECT_FALSE(logLevelFromValue(4));
    EXPECT_EQ(logLevelFromValue(2), LogLevel::warn);
}

TEST(KivLogStore, PersistenceRotatesFilesAndKeepsThePreviousRun) {
    const auto dir = freshDir("persist");
    {
        KivLogStore first(100);
        first.append(LogLevel::warn, "App", "before persistence"); // a start-up warning: written first
        first.enablePersistence(dir);
        EXPECT_FALSE(first.previousSessionTail(5)) << "no previous run yet";
        first.append(LogLevel::info, "App", "run one a");
        first.append(LogLevel::error, "App", "run one b");
        first.flush();
        const auto current = readAll(dir / "current.log");
        EXPECT_LT(current.find("[App][WARN] before persistence\n"), current.find("run one a"));
        EXPECT_NE(current.find("[App][ERROR] run one b\n"), std::string::npos);
    }
    KivLogStore second(100);
    second.enablePersistence(dir);
    const auto tail = second.previousSessionTail(2);
    ASSERT_TRUE(tail);
    EXPECT_NE(tail->find("run one b"), std::string::npos);
    EXPECT_EQ(tail->back(), '\n') << "the final newline leaves an empty last piece";
    second.append(LogLevel::info, "App", "run two");
    second.clear();
    second.append(LogLevel::info, "App", "after clear");
    second.flush();
    EXPECT_TRUE(second.previousSessionTail(1).has_value()) << "clear keeps the previous run";
    const auto current = readAll(dir / "current.log");
    EXPECT_EQ(current.find("run two"), std::string::npos) << "clear truncates the file";
    EXPECT_NE(current.find("after clear"), std::string::npos);

    std::filesystem::remove_all(dir);
}

// A crash loop must not lose the runs before the last: five are kept, the oldest going first, and
// a huge last run is read back by its end only.
TEST(KivLogStore, KeepsTheLastFiveRunsAndReadsOnlyTheEndOfAHugeOne) {
    const auto dir = freshDir("rotation");
    for (int run = 1; run <= 7; ++run) {
        KivLogStore store(10);
        store.enablePersistence(dir);
        store.append(LogLevel::info, "App", "run " + std::to_string(run));
        store.flush();
    }
    EXPECT_NE(readAll(dir / "current.log").find("run 7"), std::string::npos);
    EXPECT_NE(readAll(dir / "previous.log").find("run 6"), std::string::npos);
    EXPECT_NE(readAll(dir / "previous-5.log").find("run 2"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "previous-6.log"));

    {
        std::ofstream huge(dir / "current.log");
        const std::string line(99, 'x');
        for (int i = 0; i < 30'000; ++i) // about 3 MB
            huge << line << '\n';
        huge << "the last line\n";
    }
    KivLogStore store(10);
    store.enablePersistence(dir);
    const auto tail = store.previousSessionTail(100'000);
    ASSERT_TRUE(tail);
    EXPECT_LE(tail->size(), std::size_t{1} << 20);
    EXPECT_EQ(tail->substr(0, 99), std::string(99, 'x')) << "from a whole line";
    EXPECT_NE(tail->find("the last line"), std::string::npos);
    std::filesystem::remove_all(dir);
}

// A run of days keeps at most twice the cap of its own lines on disk: the newest in current.log,
// the part before in current-earlier.log, which the next start clears.
TEST(KivLogStore, ALongRunsFileStartsAgainPastItsCapKeepingThePartBefore) {
    const auto dir = freshDir("cap");
    {
        KivLogStore store(10);
        store.enablePersistence(dir, 64 * 1024);
        const std::string filler(200, 'y');
        for (int i = 0; i < 2000; ++i) // about 400 KB: the file starts again six times
            store.append(LogLevel::info, "App", "line " + std::to_string(i) + " " + filler);
        store.flush();
    }
    const auto current = readAll(dir / "current.log");
    const auto earlier = readAll(dir / "current-earlier.log");
    EXPECT_LE(current.size(), 64u * 1024 + 512);
    EXPECT_GE(earlier.size(), 64u * 1024);
    EXPECT_TRUE(current.starts_with("[log continues from current-earlier.log]"));
    EXPECT_NE(current.find("line 1999 "), std::string::npos) << "the newest lines are in current.log";
    const auto lastEarlier = earlier.rfind("line ");
    const auto firstCurrent = current.find("line ");
    ASSERT_NE(lastEarlier, std::string::npos);
    EXPECT_EQ(std::stoi(earlier.substr(lastEarlier + 5)) + 1, std::stoi(current.substr(firstCurrent + 5)))
        << "no line lost at the seam";

    KivLogStore next(10);
    next.enablePersistence(dir);
    EXPECT_FALSE(std::filesystem::exists(dir / "current-earlier.log"));
    EXPECT_NE(readAll(dir / "previous.log").find("line 1999 "), std::string::npos);
    std::filesystem::remove_all(dir);
}

// A second run while the first still writes (a second host refused for a port in use, a terminal
// run beside the service) leaves the first's files where they are and adds its lines to them.
TEST(KivLogStore, ASecondRunAtTheSameTimeAddsToTheFirstsFileInsteadOfMovingIt) {
    const auto dir = freshDir("concurrent");
    {
        KivLogStore first(10);
        first.enablePersistence(dir);
        first.append(LogLevel::info, "App", "first one");
        first.flush();
        for (int attempt = 0; attempt < 6; ++attempt) { // more than the runs kept
            KivLogStore second(10);
            second.enablePersistence(dir);
            second.append(LogLevel::error, "App", "second cannot start");
            second.clear(); // its own Clear Log empties its window, not the first's file
            second.flush();
        }
        first.append(LogLevel::info, "App", "first two");
        first.flush();
        const auto current = readAll(dir / "current.log");
        const auto one = current.find("first one");
        const auto second = current.find("second cannot start");
        const auto two = current.find("first two");
        ASSERT_NE(one, std::string::npos) << current;
        EXPECT_LT(one, second) << current;
        EXPECT_LT(second, two) << "appended, not written over\n" << current;
        EXPECT_NE(current.find("another run holds this folder"), std::string::npos) << current;
        EXPECT_FALSE(std::filesystem::exists(dir / "previous.log")) << "nothing turned over";
        first.clear();
        first.flush();
        EXPECT_EQ(readAll(dir / "current.log"), "") << "the holder's Clear Log still clears";
        first.append(LogLevel::info, "App", "first three");
        first.flush();
    }
    KivLogStore next(10);
    next.enablePersistence(dir);
    EXPECT_NE(readAll(dir / "previous.log").find("first three"), std::string::npos) << "the folder was let go";
    std::filesystem::remove_all(dir);
}

TEST(KivLogStore, PreviousTailSplitsKeepingEmptyPieces) {
    const auto dir = freshDir("tail");
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "current.log") << "a\nb\n";
    KivLogStore store(10);
    store.enablePersistence(dir);
    EXPECT_EQ(store.previousSessionTail(2), "b\n");
    EXPECT_EQ(store.previousSessionTail(10), "a\nb\n");
    std::filesystem::remove_all(dir);
}

TEST(KivLogger, LevelsReachTheSharedStoreAndDebugIsLazy) {
    auto& shared = KivLogStore::shared();
    const auto before = shared.version();
    const auto logger = KivLog::logger("Transport");
    logger.notice("notice text");
    logger.warning("warning text");
    EXPECT_EQ(shared.version(), before + 2);
    const auto entries = shared.entries(LogLevel::warn);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().module, "Transport");
    EXPECT_EQ(entries.back().message, "warning text");

    bool built = false;
    logger.debug([&] {
        built = true;
        return std::string("frame");
    });
    EXPECT_EQ(built, KivLog::frameLogEnabled());
    EXPECT_EQ(shared.version(), before + 2) << "debug lines never go to the store";
}

TEST(LogThrottle, LimitPerWindowAndSuppressedCount) {
    LogThrottle throttle(3, 1'000'000);
    const std::uint64_t t = 5'000'000;
    std::vector<bool> allowed;
    for (int i = 0; i < 5; ++i)
        allowed.push_back(throttle.allow(t + i).first);
    EXPECT_EQ(allowed, (std::vector<bool>{true, true, true, false, false}));
    EXPECT_EQ(throttle.allow(t + 1'000'000), (std::pair<bool, int>{true, 2}));
    EXPECT_EQ(throttle.allow(t + 1'000'001), (std::pair<bool, int>{true, 0}));
}
