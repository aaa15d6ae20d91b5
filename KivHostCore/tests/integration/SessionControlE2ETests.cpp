// What a connected device steers, end to end on a private Xvfb with x264 and (for sound) a private
// PulseAudio: settings changes resize the monitor and the stream, pause and resume, touches land
// on the device's own monitor, and the host's sound reaches the device.
#include <cmath>
#include <fstream>
#include <numbers>
#include <xcb/xcb.h>

#include "EventWindow.hpp"
#include "HostFixture.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivProtocol/ControlFraming.hpp"

namespace {

using test::EventWindow;

class SessionControlE2E : public HostServiceTest {
protected:
    std::unique_ptr<WiFiDevice> connect(const std::string& id, std::optional<ScreenInfo> screen = {}) {
        auto hello = helloFor(id, "Control iPad");
        if (screen) hello.screen = *screen;
        auto device = std::make_unique<WiFiDevice>(hello, controlPort_);
        EXPECT_TRUE(waitUntil([&] { return device->seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
        EXPECT_TRUE(
            waitUntil([&] { return monitorOf(id).has_value() && device->seen.pictureSize().has_value(); }, kDeadline));
        return device;
    }
    std::optional<ConfigApplied> applied(Seen& seen, std::uint32_t requestID) {
        for (const auto& a : seen.all<ConfigApplied>())
            if (a.requestID == requestID) return a;
        return std::nullopt;
    }
};

TEST_F(SessionControlE2E, SettingsResizeTheMonitorAndTheStreamQualityChangesInPlaceAndPauseResumes) {
    startHost();
    const std::string id = "control-0005";
    auto device = connect(id, ScreenInfo{2048, 1536, 2, Orientation::landscape});
    auto& seen = device->seen;
    const auto firstSize = *seen.pictureSize();
    const auto firstMonitor = *monitorOf(id);
    const auto displayID = this->device(id)->displayID;
    EXPECT_EQ(firstSize, (std::pair{static_cast<int>(firstMonitor.width), static_cast<int>(firstMonitor.height)}))
        << "the monitor as the 1× desktop draws it, not upscaled to the device's 2048×1536";

    // Larger text: a smaller desktop whose backing store is below the device's pixels, so both the
    // monitor's mode and the decoded pictures change.
    device->client.send({ConfigChange{11, DisplaySize::large, {}, {}, {}, {}}});
    ASSERT_TRUE(waitUntil([&] { return applied(seen, 11).has_value(); }, kDeadline));
    const auto resized = applied(seen, 11)->configuration;
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto r = monitorOf(id);
            return r && r->width != firstMonitor.width;
        },
        kDeadline))
        << "the X server shows the new mode";
    EXPECT_TRUE(showsLuma(seen, *monitorOf(id), 0xFFFFFF, 200, 255));
    const auto newSize = *seen.pictureSize();
    EXPECT_NE(newSize, firstSize);
    EXPECT_EQ(newSize, (std::pair{static_cast<int>(resized.streamWidth), static_cast<int>(resized.streamHeight)}));
    const auto drawn = *monitorOf(id);
    EXPECT_EQ(newSize, (std::pair{static_cast<int>(drawn.width), static_cast<int>(drawn.height)}))
        << "a smaller desktop is still streamed as drawn, not at its 2× backing";

    // Quality and an unoffered rate: the encoder changes in place; nothing else is remade.
    const auto displays = test::countLogged("Virtual display created");
    const auto captures = test::countLogged("Capture started");
    device->client.send({ConfigChange{12, {}, QualityMode::smooth, 45, {}, {}}});
    ASSERT_TRUE(waitUntil([&] { return applied(seen, 12).has_value(); }, kDeadline));
    EXPECT_EQ(applied(seen, 12)->settings.quality, QualityMode::smooth);
    EXPECT_EQ(applied(seen, 12)->settings.fps, 0) << "45 fps is not offered";
    EXPECT_EQ(test::countLogged("Virtual display created"), displays);
    EXPECT_EQ(test::countLogged("Capture started"), captures);

    // Pause: no more pictures. Resume: a keyframe on the same display.
    device->client.send({Pause{}});
    ASSERT_TRUE(
        waitUntil([&] { return this->device(id)->service.kind == HostStatus::Service::Kind::paused; }, kDeadline));
    const auto count = seen.pictureCount();
    paint(*monitorOf(id), 0x202020);
    EXPECT_FALSE(waitUntil([&] { return seen.pictureCount() > count + 1; }, 1500ms)) << "frames stop while paused";
    seen.forgetPictures();
    device->client.send({Resume{}});
    EXPECT_TRUE(waitUntil([&] { return seen.pictureSize().has_value(); }, kDeadline)) << "a keyframe after resume";
    EXPECT_EQ(this->device(id)->displayID, displayID);
    EXPECT_EQ(this->device(id)->service.kind, HostStatus::Service::Kind::streaming);

    // Turned to portrait: after the debounce the monitor is made again, taller than wide, with the
    // portrait serial number, and the pictures follow.
    const auto created = test::countLogged("Virtual display created");
    device->client.send({ScreenInfo{1536, 2048, 2, Orientation::portrait}});
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto r = monitorOf(id);
            return r && r->height > r->width;
        },
        kDeadline));
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto size = seen.pictureSize();
            return size && size->second > size->first;
        },
        kDeadline))
        << "portrait pictures";
    EXPECT_EQ(test::countLogged("Virtual display created"), created + 1);
    EXPECT_TRUE(test::logged("Recreating virtual display (orientation change)"));
}

TEST_F(SessionControlE2E, TouchesClickDragAndScrollOnTheDevicesOwnMonitorOnly) {
    startHost();
    const std::string id = "touch-0006";
    auto device = connect(id);
    ASSERT_TRUE(waitUntil(
        [&] { return !device->seen.all<InputStatus>().empty() && device->seen.all<InputStatus>().back().enabled; },
        kDeadline));
    const auto r = *monitorOf(id);
    EventWindow window(xvfb_->display(), r);
    const auto at = [&](double x, double y) {
        return std::pair{static_cast<int>(r.x + x * r.width), static_cast<int>(r.y + y * r.height)};
    };
    const auto near = [](const EventWindow::Event& e, std::pair<int, int> p) {
        return std::abs(e.rootX - p.first) <= 1 && std::abs(e.rootY - p.second) <= 1;
    };

    // Input on a link that is not the device's active one goes nowhere.
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(controlPort_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const auto bytes = *ControlFraming::encode({InputEvent{InputEvent::Kind::tap, 0.75, 0.75, 0, 0, 1, 0}});
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        device->client.send({InputEvent{InputEvent::Kind::tap, 0.25, 0.5, 0, 0, 1, 0}});
        ASSERT_TRUE(waitUntil(
            [&] {
                return window.has([&](const auto& e) { return e.type == XCB_BUTTON_PRESS && near(e, at(0.25, 0.5)); });
            },
            kDeadline))
            << "a tap presses the button at the mapped point";
        EXPECT_FALSE(window.has([&](const auto& e) { return e.type == XCB_BUTTON_PRESS && near(e, at(0.75, 0.75)); }));
        ::close(fd);
    }
    EXPECT_TRUE(window.has([&](const auto& e) { return e.type == XCB_BUTTON_RELEASE && e.button == 1; }));

    // A drag: the pointer moves with the button held, then lets go.
    std::uint32_t seq = 10;
    device->client.send({InputEvent{InputEvent::Kind::down, 0.1, 0.1, 0, 0, seq++, 0}});
    for (int step = 1; step <= 4; ++step)
        device->client.send({InputEvent{InputEvent::Kind::drag, 0.1 + 0.1 * step, 0.1 + 0.1 * step, 0, 0, seq++, 0}});
    device->client.send({InputEvent{InputEvent::Kind::up, 0.5, 0.5, 0, 0, seq++, 0}});
    EXPECT_TRUE(waitUntil(
        [&] {
            return window.has([&](const auto& e) { return e.type == XCB_BUTTON_RELEASE && near(e, at(0.5, 0.5)); });
        },
        kDeadline));
    EXPECT_TRUE(window.has([&](const auto& e) {
        return e.type == XCB_MOTION_NOTIFY && e.button1Held && near(e, at(0.3, 0.3));
    })) << "moved with the button held";

    // Two fingers: wheel events.
    device->client.send({InputEvent{InputEvent::Kind::scroll, 0.5, 0.5, 0, 0.2, seq++, 0}});
    EXPECT_TRUE(waitUntil(
        [&] {
            return window.has(
                [](const auto& e) { return e.type == XCB_BUTTON_PRESS && (e.button == 4 || e.button == 5); });
        },
        kDeadline))
        << "a wheel button";
}

// Zero crossings of the newest half second: the frequency of a clean tone.
double frequencyOf(const std::vector<std::int16_t>& samples) {
    if (samples.size() < 24'000) return 0;
    const std::span<const std::int16_t> half(samples.end() - 24'000, samples.end());
    int crossings = 0;
    for (std::size_t i = 1; i < half.size(); ++i)
        crossings += (half[i - 1] < 0) != (half[i] < 0);
    return crossings / 2.0 / 0.5;
}

TEST_F(SessionControlE2E, TheHostsSoundReachesTheDeviceAndLeavesTheSpeakersUntilTheRouteReturns) {
    if (!test::findProgram("pacat")) KIV_SKIP_OR_FAIL("pacat is not installed (scripts/install-deps installs it)");
    auto pulse = test::PulseAudioServer::start("speakers");
    KIV_REQUIRE_STARTED(pulse);
    ASSERT_TRUE(pulse) << pulse.error().message;
    pulseServer_ = (*pulse)->serverAddress();
    test::TempDir dir("kiv-tone");
    {
        std::ofstream out(dir.path() / "tone.raw", std::ios::binary);
        for (int f = 0; f < 48'000 * 10; ++f) {
            const auto v = static_cast<std::int16_t>(
                std::lround(16384.0 * std::sin(2.0 * std::numbers::pi * 440.0 * f / 48'000.0)));
            out.write(reinterpret_cast<const char*>(&v), 2);
            out.write(reinterpret_cast<const char*>(&v), 2);
        }
    }
    auto player =
        test::ChildProcess::start({{*test::findProgram("sh"), "-c",
                                    "while :; do pacat --playback --raw --format=s16le --rate=48000 --channels=2 " +
                                        (dir.path() / "tone.raw").string() + " || exit 1; done"},
                                   (*pulse)->environment(),
                                   dir.path() / "pacat.log",
                                   {}});
    ASSERT_TRUE(player) << player.error();
    const auto defaultSink = [&] {
        auto result = test::runProgram({"pactl", "get-default-sink"}, (*pulse)->environment());
        while (!result.output.empty() && std::isspace(static_cast<unsigned char>(result.output.back())))
            result.output.pop_back();
        return result.output;
    };
    startHost([](HostSettings& s) { s.session.audio = AudioRoute::device; });
    const std::string id = "sound-0007";
    auto device = connect(id);
    auto& seen = device->seen;
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::lock_guard lock(seen.mutex);
            return std::abs(frequencyOf(seen.leftChannel) - 440.0) <= 440.0 * 0.02;
        },
        kDeadline))
        << "the device hears 440 Hz";
    EXPECT_TRUE(waitUntil([&] { return !seen.all<AudioStatus>().empty() && seen.all<AudioStatus>().back().streaming; },
                          kDeadline));
    EXPECT_TRUE(waitUntil([&] { return defaultSink() != "speakers"; }, kDeadline)) << "the speakers no longer play it";
    EXPECT_TRUE(waitUntil([&] { return seen.all<AudioStatus>().back().hostMuted; }, kDeadline));
    {
        const std::lock_guard lock(seen.mutex);
        seen.leftChannel.clear();
    }
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::lock_guard lock(seen.mutex);
            return std::abs(frequencyOf(seen.leftChannel) - 440.0) <= 440.0 * 0.02;
        },
        kDeadline))
        << "and the device still hears it";

    device->client.send({ConfigChange{21, {}, {}, {}, {}, AudioRoute::host}});
    EXPECT_TRUE(waitUntil([&] { return !seen.all<AudioStatus>().back().streaming; }, kDeadline));
    EXPECT_TRUE(waitUntil([&] { return defaultSink() == "speakers"; }, kDeadline)) << "the speakers play again";
    EXPECT_TRUE(test::logged("Sound → device stopped"));

    // Both: the device hears it and the speakers keep playing it.
    {
        const std::lock_guard lock(seen.mutex);
        seen.leftChannel.clear();
    }
    device->client.send({ConfigChange{22, {}, {}, {}, {}, AudioRoute::both}});
    ASSERT_TRUE(waitUntil([&] { return seen.all<AudioStatus>().back().streaming; }, kDeadline));
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::lock_guard lock(seen.mutex);
            return std::abs(frequencyOf(seen.leftChannel) - 440.0) <= 440.0 * 0.02;
        },
        kDeadline));
    EXPECT_EQ(defaultSink(), "speakers");
    EXPECT_FALSE(seen.all<AudioStatus>().back().hostMuted);

    // The sound server dies mid-stream: the session retries and tells the device why.
    (*pulse)->process().stop();
    EXPECT_TRUE(waitUntil([&] { return test::logged("Sound capture interrupted ("); }, kDeadline))
        << KivLogStore::shared().text(LogLevel::debug);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto status = seen.all<AudioStatus>().back();
            return !status.streaming && status.note.has_value();
        },
        kDeadline))
        << "the device is told why there is no sound";
}

// The five-second statistics line against what the device counted while the picture kept changing.
TEST_F(SessionControlE2E, TheReportLineMatchesTheFrameRateTheDeviceSaw) {
    startHost();
    const std::string id = "report-0008";
    auto device = connect(id);
    const auto r = *monitorOf(id);
    device->seen.stopDecoding(); // counted as they arrive, not as fast as this build decodes
    const auto encodeRates = [] {
        std::vector<double> rates;
        for (const auto& e : KivLogStore::shared().entries(LogLevel::debug)) {
            double capture = 0;
            double encode = 0;
            if (std::sscanf(e.message.c_str(), "[5s] capture %lffps encode %lffps", &capture, &encode) == 2)
                rates.push_back(encode);
        }
        return rates;
    };
    // Keep the picture changing at about 20 per second; note, as each line appears, how many
    // frames the device had counted then, so the device's rate covers the line's own interval.
    struct Mark {
        std::chrono::steady_clock::time_point at;
        int frames = 0;
        double reported = 0;
    };
    std::vector<Mark> marks;
    test::Painter painter(xvfb_->display());
    const auto end = std::chrono::steady_clock::now() + 30s;
    for (int i = 0; marks.size() < 4 && std::chrono::steady_clock::now() < end; ++i) {
        painter.fill(i % 2 ? 0x3070B0 : 0xB07030, static_cast<int>(r.x), static_cast<int>(r.y),
                     static_cast<int>(r.width), static_cast<int>(r.height));
        std::this_thread::sleep_for(50ms);
        const auto rates = encodeRates();
        if (rates.size() > marks.size()) {
            // Frames that reached the device or that it knows it lost: what the host sent.
            const auto stats = device->client.stats();
            marks.push_back({std::chrono::steady_clock::now(),
                             static_cast<int>(stats.framesReceived) + static_cast<int>(stats.framesLost),
                             rates.back()});
        }
    }
    ASSERT_EQ(marks.size(), 4u) << "a line every five seconds while streaming";
    const double overall =
        (marks.back().frames - marks[1].frames) / std::chrono::duration<double>(marks.back().at - marks[1].at).count();
    if (overall < 10)
        GTEST_SKIP() << "the device counted " << overall << " frames a second: too slow a build to compare rates";
    for (std::size_t i = 2; i < marks.size(); ++i) { // the first interval began before the painting
        const double seconds = std::chrono::duration<double>(marks[i].at - marks[i - 1].at).count();
        const double deviceRate = (marks[i].frames - marks[i - 1].frames) / seconds;
        EXPECT_NEAR(marks[i].reported, deviceRate, deviceRate * 0.10) << "line " << i << "\n"
                                                                      << test::loggedLines("[5s] capture");
    }
}

} // namespace
