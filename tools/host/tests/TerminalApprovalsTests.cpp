// The terminal's approval questions: one at a time, the next after an answer or the timeout,
// answers taken in order by one reader.
#include <unistd.h>

#include <gtest/gtest.h>
#include <thread>

#include "KivHostCore/Runtime/MainLoop.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "TerminalApprovals.hpp"

namespace {

using namespace kiv;
using namespace std::chrono_literals;

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void type(const std::string& text) const {
        EXPECT_EQ(::write(fds[1], text.data(), text.size()), ssize_t(text.size()));
    }
};

TEST(TerminalApprovals, AsksOneQuestionAtATimeAndAnUnansweredOneIsANoAfterItsTime) {
    ManualExecutor main;
    Pipe input; // nothing is typed
    std::vector<std::string> printed;
    std::vector<std::pair<char, bool>> replies;
    {
        host::TerminalApprovals terminal(main, input.fds[0], 60s,
                                         [&](const std::string& text) { printed.push_back(text); });
        terminal.ask("Allow A?", [&](bool yes) { replies.emplace_back('A', yes); });
        terminal.ask("Allow B?", [&](bool yes) { replies.emplace_back('B', yes); });
        terminal.ask("Allow C?", [&](bool yes) { replies.emplace_back('C', yes); });
        EXPECT_EQ(printed, std::vector<std::string>{"Allow A? [y/N] "}) << "B waits its turn";

        main.advance(60s - 1us);
        EXPECT_TRUE(replies.empty());
        main.advance(1us);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0], std::make_pair('A', false));
        EXPECT_EQ(printed.back(), "Allow B? [y/N] ") << "B's own minute starts now";
        main.advance(60s - 1us);
        EXPECT_EQ(replies.size(), 1u);
    }
    // Gone with questions open: each is refused, once.
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[1], std::make_pair('B', false));
    EXPECT_EQ(replies[2], std::make_pair('C', false));
    main.advance(120s);
    EXPECT_EQ(replies.size(), 3u);
}

TEST(TerminalApprovals, LinesAnswerTheOpenQuestionsInOrder) {
    MainLoop main;
    std::thread loop([&] { main.run(); });
    Pipe input;
    std::mutex mutex;
    std::vector<std::pair<char, bool>> replies;
    auto terminal = std::make_unique<host::TerminalApprovals>(main, input.fds[0], 600s, [](const std::string&) {});
    main.post([&] {
        for (const char name : {'A', 'B', 'C'})
            terminal->ask(std::string("Allow ") + name + "?", [&, name](bool yes) {
                const std::lock_guard lock(mutex);
                replies.emplace_back(name, yes);
            });
    });
    input.type("  Yes\nno\n");
    input.type("y");
    input.type("\n");
    EXPECT_TRUE(test::waitUntil(
        [&] {
            const std::lock_guard lock(mutex);
            return replies.size() == 3;
        },
        30s));
    main.sync([&] { terminal.reset(); });
    main.stop();
    loop.join();
    const std::vector<std::pair<char, bool>> expected{{'A', true}, {'B', false}, {'C', true}};
    EXPECT_EQ(replies, expected);
}

} // namespace
