#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <thread>

#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"

using namespace kiv;

namespace {
std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A store whose rename fails, as if the process died before the new file replaced the old one.
class FailingRenameStore : public JsonFileKeyValueStore {
public:
    using JsonFileKeyValueStore::JsonFileKeyValueStore;
    bool failRename = false;

protected:
    bool replaceFile(const std::filesystem::path& temp, const std::filesystem::path& target) override {
        if (failRename) return false;
        return JsonFileKeyValueStore::replaceFile(temp, target);
    }
};
} // namespace

TEST(JsonFileKeyValueStore, EveryValueTypeSurvivesAReopen) {
    test::TempDir dir;
    const auto file = dir.path() / "sub" / "app.json";
    {
        JsonFileKeyValueStore store(file);
        EXPECT_TRUE(store.setString("name", "Studio"));
        EXPECT_TRUE(store.setNumber("grace", 12.5));
        EXPECT_TRUE(store.setNumber("whole", 3.0));
        EXPECT_TRUE(store.setInteger("count", -7));
        EXPECT_TRUE(store.setBoolean("touch", false));
        EXPECT_TRUE(store.setData("blob", Bytes{0, 1, 2, 250, 251, 252, 253}));
        EXPECT_TRUE(store.setDictionary(
            "nested", {{"a", StoredValue{std::string("x")}},
                       {"b", StoredValue{StoredArray{StoredValue{true}, StoredValue{std::int64_t{2}}}}}}));
        EXPECT_TRUE(store.setString("gone", "soon"));
        EXPECT_TRUE(store.remove("gone"));
    }
    JsonFileKeyValueStore reopened(file);
    EXPECT_EQ(reopened.string("name"), "Studio");
    EXPECT_EQ(reopened.number("grace"), 12.5);
    EXPECT_EQ(std::get<double>(reopened.value("whole")->value), 3.0) << "a real stays a real";
    EXPECT_EQ(reopened.number("count"), -7.0);
    EXPECT_EQ(reopened.boolean("touch"), false);
    EXPECT_EQ(reopened.data("blob"), (Bytes{0, 1, 2, 250, 251, 252, 253}));
    EXPECT_EQ(reopened.dictionary("nested")->at("a"), StoredValue{std::string("x")});
    EXPECT_FALSE(reopened.value("gone").has_value());
    EXPECT_FALSE(reopened.boolean("name").has_value()) << "wrong type reads as absent";
    EXPECT_FALSE(reopened.string("blob").has_value()) << "data is not text";
}

TEST(JsonFileKeyValueStore, CorruptFileIsMovedAsideNotOverwritten) {
    test::TempDir dir;
    const auto file = dir.path() / "app.json";
    std::ofstream(file) << "{\"half\": ";
    JsonFileKeyValueStore store(file);
    EXPECT_FALSE(store.string("half").has_value());
    std::vector<std::filesystem::path> aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().filename().string().starts_with("app.json.corrupt-")) aside.push_back(entry.path());
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFile(aside[0]), "{\"half\": ") << "the unreadable text is kept for the user";
    EXPECT_TRUE(store.setString("fresh", "start"));
    EXPECT_EQ(JsonFileKeyValueStore(file).string("fresh"), "start");
}

// Nesting is bounded before anything recurses: a file of a million brackets is refused, not a
// stack overflow; brackets inside strings do not count.
TEST(JsonFileKeyValueStore, DeepNestingIsRefusedAndBracketsInStringsDoNotCount) {
    std::string deep = "{\"a\":" + std::string(1'000'000, '[') + std::string(1'000'000, ']') + "}";
    EXPECT_FALSE(JsonFileKeyValueStore::parse(deep));
    std::string fine = "{\"a\":" + std::string(60, '[') + std::string(60, ']') + ",\"b\":\"[[[[\\\"{{{{\"}";
    const auto parsed = JsonFileKeyValueStore::parse(fine);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed->at("b").text(), "[[[[\"{{{{");
    EXPECT_FALSE(JsonFileKeyValueStore::parse("{\"a\":" + std::string(70, '[') + std::string(70, ']') + "}"));
}

// A writer killed at any moment leaves the old or the new whole file, never a mix or an empty one.
TEST(JsonFileKeyValueStore, AWriterKilledAtAnyMomentLeavesAWholeFile) {
    test::TempDir dir;
    const auto file = dir.path() / "app.json";
    ASSERT_TRUE(JsonFileKeyValueStore(file).setString("k", "start"));
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            JsonFileKeyValueStore store(file);
            for (int i = 0;; ++i)
                store.setString(
                    "k", std::string(static_cast<std::size_t>(1000 + i % 5000), static_cast<char>('a' + i % 26)));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(200, 20'000)(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const auto parsed = JsonFileKeyValueStore::parse(readFile(file));
        ASSERT_TRUE(parsed) << "round " << round;
        const auto value = *parsed->at("k").text();
        EXPECT_TRUE(value == "start" || std::all_of(value.begin(), value.end(), [&](char c) { return c == value[0]; }))
            << "round " << round;
    }
    // The copies killed writers left go when the file is next opened; a live writer's stays.
    std::ofstream(dir.path() / "app.json.tmp-2147483647") << "{";
    std::ofstream(dir.path() / ("app.json.tmp-" + std::to_string(::getpid()))) << "{";
    std::ofstream(dir.path() / "app.json.tmp-notes") << "mine";
    JsonFileKeyValueStore reopened(file);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename().string().starts_with("app.json.tmp-")) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"app.json.tmp-" + std::to_string(::getpid()), "app.json.tmp-notes"}));
}

TEST(JsonFileKeyValueStore, AFailedReplaceLeavesTheOldFileAndValue) {
    test::TempDir dir;
    const auto file = dir.path() / "app.json";
    FailingRenameStore store(file);
    ASSERT_TRUE(store.setString("token", "old"));
    const auto before = readFile(file);
    store.failRename = true;
    EXPECT_FALSE(store.setString("token", "new"));
    EXPECT_EQ(store.string("token"), "old") << "nothing half-applied in memory";
    EXPECT_EQ(readFile(file), before) << "nothing torn on disk";
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << "temp file cleaned up";
    }
    store.failRename = false;
    EXPECT_TRUE(store.setString("token", "new"));
    EXPECT_EQ(JsonFileKeyValueStore(file).string("token"), "new");
}

TEST(JsonFileKeyValueStore, TwoProcessesWritingKeepEachOthersKeys) {
    test::TempDir dir;
    const auto file = dir.path() / "shared.json";
    constexpr int kKeys = 60;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        JsonFileKeyValueStore store(file);
        bool ok = true;
        for (int i = 0; i < kKeys; ++i)
            ok = store.setInteger("child-" + std::to_string(i), i) && ok;
        ::_exit(ok ? 0 : 1);
    }
    JsonFileKeyValueStore store(file);
    for (int i = 0; i < kKeys; ++i)
        EXPECT_TRUE(store.setInteger("parent-" + std::to_string(i), i));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    JsonFileKeyValueStore reopened(file);
    for (int i = 0; i < kKeys; ++i) {
        EXPECT_EQ(reopened.number("child-" + std::to_string(i)), i);
        EXPECT_EQ(reopened.number("parent-" + std::to_string(i)), i);
    }
}

TEST(JsonFileKeyValueStore, DefaultPathFollowsXdgConfigHome) {
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("XDG_CONFIG_HOME", "/tmp/kiv-xdg", 1);
    EXPECT_EQ(JsonFileKeyValueStore::defaultPath("host"), std::filesystem::path("/tmp/kiv-xdg/kivdisplay/host.json"));
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(JsonFileKeyValueStore::defaultPath("host"),
              std::filesystem::path("/home/someone/.config/kivdisplay/host.json"));
    ::setenv("HOME", home.c_str(), 1);
}
