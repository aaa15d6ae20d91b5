#include "KivHostCore/Testing/Chromium.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fmt/format.h>

#include "KivHostCore/Linux/ChildProcess.hpp"

namespace kiv::test {

bool Chromium::available() {
    return kiv::findProgram("chromium").has_value();
}

std::expected<std::unique_ptr<Chromium>, std::string> Chromium::launch(const Options& options) {
    const auto found = kiv::findProgram("chromium");
    if (!found) return std::unexpected(std::string("chromium is not installed"));
    const auto program = *found;
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return std::unexpected(std::string("pipe"));
    // Above the two numbers the browser expects, so that moving them there cannot overwrite one.
    for (int* fd : {&in[0], &in[1], &out[0], &out[1]}) {
        const int high = ::fcntl(*fd, F_DUPFD_CLOEXEC, 10);
        ::close(*fd);
        *fd = high;
    }
    std::vector<std::string> args = {
        program,
        "--headless=new",
        "--no-sandbox",
        "--remote-debugging-pipe",
        "--user-data-dir=" + options.profile.string(),
        fmt::format("--window-size={},{}", options.width, options.height),
        "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE localhost, EXCLUDE 127.0.0.1",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-default-apps",
        "--disable-extensions",
        "--disable-sync",
        "--no-first-run",
        "--no-default-browser-check",
        "--mute-audio",
        "--autoplay-policy=no-user-gesture-required",
        "--disable-renderer-backgrounding",
        "--disable-background-timer-throttling",
        "--disable-backgrounding-occluded-windows",
        "--use-fake-ui-for-media-stream",
        "--disable-dev-shm-usage",
    };
    if (!options.trustedSpki.empty()) args.push_back("--ignore-certificate-errors-spki-list=" + options.trustedSpki);
    for (const auto& extra : options.extraArguments)
        args.push_back(extra);
    args.push_back("about:blank");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return std::unexpected(std::string("fork"));
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(in[0], 3);
        ::dup2(out[1], 4);
        const char* log = std::getenv("KIV_CHROMIUM_LOG"); // where the browser's own messages go, when asked
        const int null = ::open(log ? log : "/dev/null", O_RDWR | O_CREAT | O_APPEND, 0644);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::close_range(5, ~0U, 0); // nothing of the test's own sockets lives on in the browser
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    std::unique_ptr<Chromium> browser(new Chromium());
    browser->pid_ = pid;
    browser->toBrowser_ = in[1];
    browser->fromBrowser_ = out[0];
    if (auto version = browser->call("Browser.getVersion", {}, {}, std::chrono::seconds(30)); !version)
        return std::unexpected("chromium did not answer: " + version.error());
    return browser;
}

Chromium::~Chromium() {
    if (pid_ > 0) {
        ::kill(-pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            ::usleep(20000);
        }
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    if (toBrowser_ >= 0) ::close(toBrowser_);
    if (fromBrowser_ >= 0) ::close(fromBrowser_);
}

std::optional<nlohmann::json> Chromium::readMessage(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (const auto end = buffer_.find('\0'); end != std::string::npos) {
            auto text = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return nlohmann::json::parse(text, nullptr, false);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{fromBrowser_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[65536];
        const auto n = ::read(fromBrowser_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

void Chromium::note(const nlohmann::json& event) {
    const auto method = event.value("method", "");
    if (method == "Runtime.consoleAPICalled") {
        std::string line = event["params"].value("type", "log") + ":";
        for (const auto& arg : event["params"]["args"])
            line += " " + (arg.contains("value") ? arg["value"].dump() : arg.value("description", ""));
        console_.push_back(line);
    } else if (method == "Runtime.exceptionThrown") {
        console_.push_back("exception: " + event["params"]["exceptionDetails"].dump());
    }
}

std::string Chromium::consoleText() const {
    std::string text;
    for (const auto& line : console_)
        text += line + "\n";
    return text;
}

std::expected<nlohmann::json, std::string> Chromium::call(const std::string& method, nlohmann::json params,
                                                          const std::string& session,
                                                          std::chrono::milliseconds timeout) {
    const int id = nextId_++;
    nlohmann::json command{
        {"id", id}, {"method", method}, {"params", params.is_null() ? nlohmann::json::object() : params}};
    if (!session.empty()) command["sessionId"] = session;
    auto text = command.dump();
    text.push_back('\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const auto n = ::write(toBrowser_, text.data() + done, text.size() - done);
        if (n <= 0) return std::unexpected(std::string("the browser's pipe closed"));
        done += static_cast<std::size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto reply = readMessage(deadline);
        if (!reply) return std::unexpected(fmt::format("no answer to {} in {} ms", method, timeout.count()));
        if (reply->is_discarded()) continue;
        if (reply->contains("id") && (*reply)["id"] == id) {
            if (reply->contains("error")) return std::unexpected((*reply)["error"].dump());
            return (*reply)["result"];
        }
        note(*reply);
    }
}

std::expected<std::string, std::string> Chromium::openTab(const std::string& url, const std::string& beforeScripts) {
    auto target = call("Target.createTarget", {{"url", "about:blank"}});
    if (!target) return std::unexpected(target.error());
    const std::string targetId = (*target)["targetId"];
    auto attached = call("Target.attachToTarget", {{"targetId", targetId}, {"flatten", true}});
    if (!attached) return std::unexpected(attached.error());
    const std::string session = (*attached)["sessionId"];
    targetOfSession_[session] = targetId;
    for (const auto* method : {"Runtime.enable", "Page.enable"}) {
        if (auto enabled = call(method, {}, session); !enabled) return std::unexpected(enabled.error());
    }
    if (!beforeScripts.empty()) {
        if (auto added = call("Page.addScriptToEvaluateOnNewDocument", {{"source", beforeScripts}}, session); !added)
            return std::unexpected(added.error());
    }
    if (auto navigated = call("Page.navigate", {{"url", url}}, session); !navigated)
        return std::unexpected(navigated.error());
    else if (navigated->contains("errorText"))
        return std::unexpected("navigation failed: " + (*navigated)["errorText"].get<std::string>());
    return session;
}

std::expected<void, std::string> Chromium::closeTab(const std::string& session) {
    const auto target = targetOfSession_.find(session);
    if (target == targetOfSession_.end()) return std::unexpected(std::string("no such tab"));
    auto closed = call("Target.closeTarget", {{"targetId", target->second}});
    targetOfSession_.erase(target);
    if (!closed) return std::unexpected(closed.error());
    return {};
}

std::expected<nlohmann::json, std::string> Chromium::evaluate(const std::string& session,
                                                              const std::string& expression) {
    auto result = call("Runtime.evaluate",
                       {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}}, session);
    if (!result) return std::unexpected(result.error());
    if (result->contains("exceptionDetails")) return std::unexpected((*result)["exceptionDetails"].dump());
    return (*result)["result"].value("value", nlohmann::json());
}

bool Chromium::waitFor(const std::string& session, const std::string& expression, std::chrono::milliseconds timeout,
                       nlohmann::json* last) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto value = evaluate(session, expression);
        if (last) *last = value ? *value : nlohmann::json(value.error());
        if (value && !value->is_null() && *value != false && *value != 0 && *value != "") return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        ::usleep(50000);
    }
}

} // namespace kiv::test
