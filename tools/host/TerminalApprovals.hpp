#pragma once
// Asks the terminal's user to approve devices, one question at a time, with a single thread
// reading standard input for the whole run. A question no one answers within its time is a no;
// questions asked meanwhile wait their turn instead of racing for the same line.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv::host {

class TerminalApprovals {
public:
    using Reply = std::function<void(bool approved)>;
    using Print = std::function<void(const std::string& text)>;

    // Reads lines from `input` (standard input in the program); everything else runs on `main`.
    TerminalApprovals(Executor& main, int input, Duration timeout, Print print);
    ~TerminalApprovals(); // stops the reader; questions still open are refused
    TerminalApprovals(const TerminalApprovals&) = delete;
    TerminalApprovals& operator=(const TerminalApprovals&) = delete;

    // Main executor. `reply` runs there once, with the answer.
    void ask(std::string question, Reply reply);

private:
    struct Question {
        std::string text;
        Reply reply;
    };
    void showNext();
    void answer(bool approved, const char* note);
    void lineRead(const std::string& line);
    void readLines(int input);

    Executor& main_;
    const Duration timeout_;
    Print print_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0); // main: lines read after we are gone go nowhere
    std::deque<Question> waiting_;                          // the front one is on the terminal
    ScopedTimer deadline_;
    int stopPipe_[2] = {-1, -1};
    std::thread reader_;
};

} // namespace kiv::host
