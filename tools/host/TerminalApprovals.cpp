#include "TerminalApprovals.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kiv::host {

TerminalApprovals::TerminalApprovals(Executor& main, int input, Duration timeout, Print print)
    : main_(main), timeout_(timeout), print_(std::move(print)) {
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return; // no reader: every question times out
    reader_ = std::thread([this, input] { readLines(input); });
}

TerminalApprovals::~TerminalApprovals() {
    if (reader_.joinable()) {
        const char stop = 0;
        [[maybe_unused]] const auto written = ::write(stopPipe_[1], &stop, 1);
        reader_.join();
    }
    for (const int fd : stopPipe_)
        if (fd >= 0) ::close(fd);
    deadline_.cancel();
    for (auto& question : waiting_)
        question.reply(false);
}

void TerminalApprovals::ask(std::string question, Reply reply) {
    waiting_.push_back({std::move(question), std::move(reply)});
    if (waiting_.size() == 1) showNext();
}

void TerminalApprovals::showNext() {
    if (waiting_.empty()) return;
    print_(waiting_.front().text + " [y/N] ");
    deadline_ = main_.postAfter(timeout_, [this] { answer(false, "(no answer: refused)\n"); });
}

void TerminalApprovals::answer(bool approved, const char* note) {
    if (waiting_.empty()) return;
    deadline_.cancel();
    auto reply = std::move(waiting_.front().reply);
    waiting_.pop_front();
    if (note) print_(note);
    reply(approved);
    showNext();
}

void TerminalApprovals::lineRead(const std::string& line) {
    if (waiting_.empty()) return; // typed with no question open
    const auto first = line.find_first_not_of(" \t\r");
    const bool yes = first != std::string::npos && (line[first] == 'y' || line[first] == 'Y');
    answer(yes, nullptr);
}

void TerminalApprovals::readLines(int input) {
    const auto main = main_.handle();
    std::string pending;
    while (true) {
        pollfd fds[2] = {{input, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        if (fds[0].revents == 0) continue;
        char buffer[256];
        const auto n = ::read(input, buffer, sizeof buffer);
        if (n <= 0) return; // end of input: open questions time out
        pending.append(buffer, static_cast<std::size_t>(n));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            main.post([this, alive = std::weak_ptr<int>(alive_), line = pending.substr(0, end)] {
                if (alive.lock()) lineRead(line);
            });
            pending.erase(0, end + 1);
        }
        if (pending.size() > 4096) pending.clear(); // a line nobody types: not an answer
    }
}

} // namespace kiv::host
