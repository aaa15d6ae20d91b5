// The .deb packages as a user gets them: built by CPack from this build, unpacked into a
// temporary root, checked by Debian's and freedesktop's validators, and run from there.
#include <array>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "HostFixture.hpp"

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

class Package : public ::testing::Test {
protected:
    // Both packages, built once for the group and unpacked into one root.
    static void SetUpTestSuite() {
        work_ = std::make_unique<test::TempDir>("kiv-package");
        const auto built = test::runProgram({KIV_CPACK, "--config", KIV_CPACK_CONFIG, "-B", work_->path().string()}, {},
                                            std::chrono::minutes(10));
        log_ = built.output;
        for (const auto& file : fs::directory_iterator(work_->path()))
            if (file.path().extension() == ".deb") debs_.push_back(file.path());
        std::ranges::sort(debs_);
        for (const auto& deb : debs_) {
            const auto unpacked = test::runProgram({"dpkg-deb", "-x", deb.string(), root().string()});
            log_ += unpacked.output;
        }
    }
    static void TearDownTestSuite() {
        debs_.clear();
        work_.reset();
    }
    void SetUp() override { ASSERT_EQ(debs_.size(), 2u) << "cpack built:\n" << log_; }
    static fs::path root() { return work_->path() / "root"; }
    static fs::path bin(const std::string& program) { return root() / "usr/bin" / program; }

    static inline std::unique_ptr<test::TempDir> work_;
    static inline std::vector<fs::path> debs_;
    static inline std::string log_;
};

constexpr std::array kPrograms{"kivdisplay", "kivdisplay-host", "kivdisplay-receiver", "kivdisplay-wire"};

TEST_F(Package, HoldsEveryProgramWithItsManualPageMenuEntriesIconsMetainfoAndUnit) {
    EXPECT_EQ(debs_[0].filename().string(), "kivdisplay-receiver_" KIV_PROJECT_VERSION "_amd64.deb");
    EXPECT_EQ(debs_[1].filename().string(), "kivdisplay_" KIV_PROJECT_VERSION "_amd64.deb");
    std::vector<std::string> expected{
        "usr/share/applications/org.kivdisplay.KivDisplay.desktop",
        "usr/share/applications/kivdisplay-receiver.desktop",
        "usr/share/metainfo/org.kivdisplay.KivDisplay.metainfo.xml",
        "usr/lib/systemd/user/kivdisplay-host.service",
        "usr/share/icons/hicolor/scalable/apps/org.kivdisplay.KivDisplay.svg",
        "usr/share/icons/hicolor/scalable/apps/org.kivdisplay.KivDisplay.Receiver.svg",
        "usr/share/doc/kivdisplay/copyright",
        "usr/share/doc/kivdisplay/changelog.gz",
        "usr/share/doc/kivdisplay-receiver/copyright",
    };
    for (const auto* size : {"16x16", "24x24", "32x32", "48x48", "64x64", "128x128", "256x256"})
        expected.push_back(std::string("usr/share/icons/hicolor/") + size + "/apps/org.kivdisplay.KivDisplay.png");
    for (const auto* program : kPrograms) {
        expected.push_back(std::string("usr/bin/") + program);
        expected.push_back(std::string("usr/share/man/man1/") + program + ".1.gz");
    }
    for (const auto& file : expected)
        EXPECT_TRUE(fs::is_regular_file(root() / file)) << file;
    // Nothing else slips in: no libraries, headers, tests or benchmarks, nothing outside /usr.
    for (const auto& entry : fs::recursive_directory_iterator(root())) {
        if (!entry.is_regular_file()) continue;
        const auto relative = fs::relative(entry.path(), root()).string();
        const bool known = std::ranges::find(expected, relative) != expected.end() ||
                           relative.starts_with("usr/share/icons/hicolor/") ||
                           relative == "usr/share/doc/kivdisplay-receiver/changelog.gz";
        EXPECT_TRUE(known) << "unexpected file in the packages: " << relative;
    }

    // Each program runs from the unpacked root (no library path beyond the system's) and names its
    // version and the commit it was built from; --help needs no display.
    const std::regex versionLine(R"(^(\S+) )" KIV_PROJECT_VERSION
                                 R"( \(commit [0-9a-f]{12}(\+changes)?, protocol \d+\)\n$)");
    for (const auto* program : kPrograms) {
        const auto version = test::runProgram({bin(program).string(), "--version"}, {{"DISPLAY", ""}});
        EXPECT_EQ(version.exitCode, 0) << program << ": " << version.output;
        std::smatch match;
        EXPECT_TRUE(std::regex_match(version.output, match, versionLine)) << version.output;
        EXPECT_EQ(match.size() > 1 ? match[1].str() : "", program);
        const auto help = test::runProgram({bin(program).string(), "--help"}, {{"DISPLAY", ""}});
        EXPECT_EQ(help.exitCode, 0) << program << ": " << help.output;
        EXPECT_NE(help.output.find("--version"), std::string::npos) << program << ": " << help.output;
    }

    // `man kivdisplay-host` once installed: the page, its options from --help and the sections added.
    const auto page =
        test::runProgram({"man", "-P", "cat", "kivdisplay-host"},
                         {{"MANPATH", (root() / "usr/share/man").string()}, {"MANWIDTH", "100"}, {"LC_ALL", "C"}});
    EXPECT_EQ(page.exitCode, 0) << page.output;
    for (const auto* text : {"kivdisplay-host - the KivDisplay host without a window", "--approve-all", "FILES",
                             "systemctl --user enable --now kivdisplay-host"})
        EXPECT_NE(page.output.find(text), std::string::npos) << text << " in\n" << page.output;
}

TEST_F(Package, PassesLintianAndTheMenuEntryMetainfoAndUnitValidators) {
    for (const auto& deb : debs_) {
        const auto lintian =
            test::runProgram({"lintian", "--allow-root", "--tag-display-limit", "0", "--info", deb.string()}, {},
                             std::chrono::minutes(5));
        EXPECT_EQ(lintian.exitCode, 0) << lintian.output;
        std::istringstream lines(lintian.output);
        for (std::string line; std::getline(lines, line);)
            EXPECT_FALSE(line.starts_with("E: ")) << deb.filename() << ": " << line;
        std::cout << "lintian " << deb.filename().string() << ":\n" << lintian.output << std::endl;
    }
    for (const auto* entry : {"org.kivdisplay.KivDisplay.desktop", "kivdisplay-receiver.desktop"}) {
        const auto valid =
            test::runProgram({"desktop-file-validate", (root() / "usr/share/applications" / entry).string()});
        EXPECT_EQ(valid.exitCode, 0) << entry << ": " << valid.output;
        EXPECT_EQ(valid.output, "") << entry;
    }
    const auto metainfo =
        test::runProgram({"appstreamcli", "validate", "--no-net", "--pedantic",
                          (root() / "usr/share/metainfo/org.kivdisplay.KivDisplay.metainfo.xml").string()});
    EXPECT_EQ(metainfo.exitCode, 0) << metainfo.output;
    EXPECT_EQ(metainfo.output.find("W:"), std::string::npos) << metainfo.output;

    // systemd reads the unit (an unknown key or value is a line of output), finds the program it
    // runs and the manual page it names, here in the unpacked root.
    auto unit = readFile(root() / "usr/lib/systemd/user/kivdisplay-host.service");
    const std::string exec = "ExecStart=/usr/bin/";
    ASSERT_NE(unit.find(exec), std::string::npos) << unit;
    unit.replace(unit.find(exec), exec.size(), "ExecStart=" + (root() / "usr/bin").string() + "/");
    const auto rewritten = work_->path() / "kivdisplay-host.service";
    std::ofstream(rewritten) << unit;
    const auto verify = test::runProgram({"systemd-analyze", "verify", rewritten.string()},
                                         {{"MANPATH", (root() / "usr/share/man").string()}});
    EXPECT_EQ(verify.exitCode, 0) << verify.output;
    EXPECT_EQ(verify.output, "") << unit;
}

// Without a package: cmake --install to a prefix of one's own, the unit naming the programs there.
TEST_F(Package, CmakeInstallToAnotherPrefixPointsTheUnitAtItsPrograms) {
    const auto prefix = work_->path() / "prefix";
    const auto installed =
        test::runProgram({KIV_CMAKE, "--install", KIV_BUILD_ROOT, "--prefix", prefix.string(), "--component", "host"},
                         {}, std::chrono::minutes(2));
    ASSERT_EQ(installed.exitCode, 0) << installed.output;
    const auto unit = readFile(prefix / "lib/systemd/user/kivdisplay-host.service");
    EXPECT_NE(unit.find("\nExecStart=" + (prefix / "bin/kivdisplay-host").string() + " $KIVDISPLAY_HOST_ARGS\n"),
              std::string::npos)
        << unit;
    for (const auto* file : {"bin/kivdisplay", "bin/kivdisplay-host", "share/man/man1/kivdisplay-host.1.gz",
                             "share/applications/org.kivdisplay.KivDisplay.desktop"})
        EXPECT_TRUE(fs::is_regular_file(prefix / file)) << file;
    EXPECT_FALSE(fs::exists(prefix / "bin/kivdisplay-receiver")) << "the receiver is a component of its own";
}

// No user systemd can run in the test machines' containers, so the unit's own command line is run
// as systemd would: its ExecStart, with KIVDISPLAY_HOST_ARGS split into words.
TEST_F(Package, TheUnitsCommandLineRunsAHostThatAnswersAReceiver) {
    const auto unit = readFile(root() / "usr/lib/systemd/user/kivdisplay-host.service");
    for (const auto* line : {"Restart=on-failure", "After=graphical-session.target",
                             "WantedBy=graphical-session.target", "SyslogIdentifier=kivdisplay-host"})
        EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    std::smatch exec;
    ASSERT_TRUE(
        std::regex_search(unit, exec, std::regex(R"(\nExecStart=(/usr/bin/kivdisplay-host) \$KIVDISPLAY_HOST_ARGS\n)")))
        << unit;

    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::TempDir home("kiv-package-home");
    const auto controlPort = test::freeLoopbackPort(SOCK_STREAM);
    const std::vector<std::string> argv{(root() / exec[1].str().substr(1)).string(),
                                        "--approve-all",
                                        "--loopback-only",
                                        "--no-usb",
                                        "--web-port",
                                        "0",
                                        "--display",
                                        (*xvfb)->display(),
                                        "--control-port",
                                        std::to_string(controlPort),
                                        "--video-port",
                                        std::to_string(test::freeLoopbackPort(SOCK_DGRAM))};
    auto host = test::ChildProcess::start({.argv = argv,
                                           .environment = {{"XDG_CONFIG_HOME", (home.path() / "config").string()},
                                                           {"XDG_STATE_HOME", (home.path() / "state").string()},
                                                           {"PULSE_SERVER", "unix:/nonexistent/pulse"}},
                                           .logFile = home.path() / "host.log",
                                           .keepFds = {}});
    ASSERT_TRUE(host) << host.error();
    ASSERT_TRUE(waitUntil([&] { return host->log().find("Listening: control port") != std::string::npos; }, kDeadline))
        << host->log();

    const auto receiver = test::runProgram({bin("kivdisplay-receiver").string(), "--headless", "--host",
                                            "127.0.0.1:" + std::to_string(controlPort), "--identity",
                                            (home.path() / "receiver.json").string(), "--seconds", "10"},
                                           {}, std::chrono::seconds(60));
    EXPECT_EQ(receiver.exitCode, 0) << receiver.output << "\nhost:\n" << host->log();
    const auto summary = nlohmann::json::parse(receiver.output.substr(receiver.output.rfind('{')), nullptr, false);
    EXPECT_GE(summary.value("decoded", 0), 1) << receiver.output;
    EXPECT_NE(host->log().find("(--approve-all)"), std::string::npos) << host->log();
    // The log folder says which build wrote it.
    const auto logged = readFile(home.path() / "state/kivdisplay/logs/current.log");
    EXPECT_NE(logged.find("kivdisplay-host " KIV_PROJECT_VERSION " (commit "), std::string::npos) << logged;
}

} // namespace
