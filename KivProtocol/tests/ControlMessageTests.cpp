#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "KivProtocol/ControlMessage.hpp"

using namespace kiv;
using nlohmann::json;

namespace {

const std::string kToken = "3f7a9c1e5b2d4f6a8c0e1b3d5f7a9c2e4b6d8f0a1c3e5b7d9f2a4c6e8b0d1f3a";

SessionSettings goldenSettings() {
    return SessionSettings{DisplaySize::standard, QualityMode::automatic, 60, true, AudioRoute::device};
}

DisplayConfiguration goldenConfiguration() {
    DisplayConfiguration c{1366, 1024, 2, 2732, 2048, 60, 12'000'000, QualityTier::clear, 0.85, 2048, 1536, false, {}};
    c.compatibilityNote = "compat.retina|1920×1200|1680×1050";
    return c;
}

DisplayConfiguration minimalConfiguration() {
    return DisplayConfiguration{1920, 1080, 1, 1920, 1080, 30, 8'000'000, QualityTier::standard, 0.0, {}, {}, {}, {}};
}

HostInfo goldenHost() {
    return HostInfo{"9B2E4C61-7D3A-4F85-A1B0-C2D3E4F5A6B7", "Studio", {"192.168.1.20", "fe80::1"}, 52010, 5};
}

// Every golden file under data/control and the value it must decode to.
std::map<std::string, ControlMessage> goldenValues() {
    std::map<std::string, ControlMessage> v;
    v["hello"] = {Hello{5,
                        "6F1C2D3E-0000-4000-8000-00000000A1B2",
                        "Anna’s iPad",
                        "iPad13,4",
                        "17.5",
                        ScreenInfo{2732, 2048, 2.0, Orientation::landscape},
                        kToken,
                        {"h264", "hevc"},
                        60,
                        979200}};
    v["hello-minimal"] = {Hello{5,
                                "dev-1",
                                "Phone",
                                "iPhone15,2",
                                "17.0",
                                ScreenInfo{1179, 2556, 3.0, Orientation::portrait},
                                std::nullopt,
                                {"h264"},
                                std::nullopt,
                                std::nullopt}};
    v["pairingPending"] = {PairingPending{}};
    v["connect"] = {ConnectInfo{4294967295u,
                                12345678901234567890ull,
                                52011,
                                kToken,
                                {2732, 2048, 60},
                                12'000'000,
                                "h264",
                                "Studio",
                                goldenSettings(),
                                goldenConfiguration(),
                                TransportKind::usb,
                                goldenHost()}};
    v["connect-minimal"] = {
        ConnectInfo{1,
                    9007199254740993ull,
                    52011,
                    kToken,
                    {1920, 1080, 30},
                    8'000'000,
                    "h264",
                    "Studio",
                    SessionSettings{DisplaySize::larger, QualityMode::standard, 30, false, AudioRoute::host},
                    minimalConfiguration(),
                    std::nullopt,
                    std::nullopt}};
    v["reject"] = {RejectReason::versionMismatch};
    v["disconnect"] = {Disconnect{"user closed the app"}};
    v["configChange"] = {ConfigChange{7, DisplaySize::moreSpace, std::nullopt, 30, std::nullopt, std::nullopt}};
    v["configChange-full"] = {
        ConfigChange{4294967295u, DisplaySize::huge, QualityMode::ultra, 0, false, AudioRoute::both}};
    v["configApplying"] = {ConfigApplying{7}};
    v["configApplying-empty"] = {ConfigApplying{}};
    v["configApplied"] = {ConfigApplied{7, goldenSettings(), goldenConfiguration(), ConfigResult::ok()}};
    v["configApplied-failed"] = {
        ConfigApplied{std::nullopt, goldenSettings(), minimalConfiguration(), ConfigResult::failed("x")}};
    v["ping"] = {PingInfo{9007199254740993ull}};
    v["pong"] = {PongInfo{9007199254740993ull, 18446744073709551615ull, 18446744073709551614ull}};
    v["requestIDR"] = {RequestIDR{IDRReason::packetLoss}};
    v["orientation"] = {ScreenInfo{2048, 2732, 2.0, Orientation::portrait}};
    ClientStats stats{
        59.5,         59.25, 58.75, 2.5,   11850.25, 0.0125, 3,   1,
        std::nullopt, 1.75,  18.5,  42.25, 2732,     2048,   3.5, AudioStats{1000, 2, 1, 20.0, 40.0, 65.5, true}};
    TransportMetrics link(TransportKind::wifi, "192.168.1.20");
    link.throughputMbps = 48.5;
    link.receiveQueueBytes = 4096;
    link.reconnects = 2;
    stats.link = link;
    v["stats"] = {stats};
    v["stats-minimal"] = {ClientStats{30, 30, 30, 1, 4000, 0, 0, {}, {}, {}, 20, {}, {}, {}, 0, {}}};
    v["pause"] = {Pause{}};
    v["resume"] = {Resume{}};
    v["streamLimit"] = {StreamLimit{3840, 2160}};
    v["input"] = {InputEvent{InputEvent::Kind::tap, 0.5, 0.25, 0.0, -0.125, 42, 123456789012ull}};
    v["inputStatus"] = {InputStatus{false, "touch.noAccessibility"}};
    v["inputStatus-enabled"] = {InputStatus{true, std::nullopt}};
    v["hostInfo"] = {goldenHost()};
    v["audioStatus"] = {AudioStatus{true, false, 48000, 2, "audio.cannotMute"}};
    v["audioStatus-plain"] = {AudioStatus{false, false, 48000, 2, std::nullopt}};
    return v;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string errorOf(std::string_view text) {
    auto decoded = decodeControlMessage(text);
    return decoded ? std::string("(decoded)") : decoded.error().message;
}

} // namespace

TEST(ControlMessageGolden, EveryVectorDecodesToItsValueAndEncodesBackToTheSameObject) {
    const auto values = goldenValues();
    std::set<ControlMessage::Case> covered;
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KIV_PROTOCOL_TEST_DATA "/control")) {
        const auto name = entry.path().stem().string();
        SCOPED_TRACE(name);
        ++files;
        const auto it = values.find(name);
        ASSERT_NE(it, values.end()) << "golden file without an expected value";
        const std::string text = readFile(entry.path());

        auto decoded = decodeControlMessage(text);
        ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
        EXPECT_EQ(*decoded, it->second);

        auto encoded = encodeControlMessage(it->second);
        ASSERT_TRUE(encoded.has_value());
        EXPECT_EQ(json::parse(*encoded), json::parse(text)) << *encoded;
        covered.insert(it->second.kind());
    }
    EXPECT_EQ(files, values.size());
    EXPECT_EQ(covered.size(), 20u) << "every message case has a golden vector";
}

TEST(ControlMessageShape, PayloadlessAndLabelledCasesUseTheirOwnObject) {
    EXPECT_EQ(*encodeControlMessage({Pause{}}), R"({"pause":{}})");
    EXPECT_EQ(*encodeControlMessage({Resume{}}), R"({"resume":{}})");
    EXPECT_EQ(*encodeControlMessage({PairingPending{}}), R"({"pairingPending":{}})");
    EXPECT_EQ(*encodeControlMessage({ConfigApplying{}}), R"({"configApplying":{}})");
    EXPECT_EQ(*encodeControlMessage({ConfigApplying{7}}), R"({"configApplying":{"requestID":7}})");
    EXPECT_EQ(*encodeControlMessage({RequestIDR{IDRReason::packetLoss}}), R"({"requestIDR":{"reason":"packetLoss"}})");
    EXPECT_EQ(*encodeControlMessage({PingInfo{5000}}), R"({"ping":{"_0":{"t0":5000}}})");
    EXPECT_EQ(*encodeControlMessage({RejectReason::busy}), R"({"reject":{"_0":"busy"}})");
}

TEST(ControlMessageDecoding, RefusesDocumentsThatAreNotExactlyOneKnownCase) {
    EXPECT_EQ(errorOf(R"({"pause":{},"resume":{}})"), "Invalid number of keys found, expected one.");
    EXPECT_EQ(errorOf("{}"), "Invalid number of keys found, expected one.");
    EXPECT_NE(errorOf(R"({"teleport":{}})"), "(decoded)");
    EXPECT_NE(errorOf(R"({"pause":[]})"), "(decoded)");
    EXPECT_NE(errorOf(R"(["pause"])"), "(decoded)");
    EXPECT_NE(errorOf("not json"), "(decoded)");
    EXPECT_NE(errorOf(""), "(decoded)");
    EXPECT_NE(errorOf(R"({"pause":{}} trailing)"), "(decoded)");
}

TEST(ControlMessageDecoding, RequiredKeysTypesAndEnumerationTextsAreEnforced) {
    // Hello without codecs; SessionSettings without fps; ClientStats without rttMs or latencyMs.
    EXPECT_NE(errorOf(R"({"hello":{"_0":{"protocolVersion":5,"deviceID":"d","deviceName":"n","model":"m",
        "systemVersion":"1","screen":{"widthPixels":1,"heightPixels":1,"scale":1,"orientation":"portrait"}}}})"),
              "(decoded)");
    EXPECT_NE(errorOf(R"({"configApplied":{"_0":{"settings":{"displaySize":"huge","quality":"auto",
        "staticRefinement":true},"configuration":{},"result":{"ok":{}}}}})"),
              "(decoded)");
    const std::string statsBase = R"("receiveFPS":1,"decodeFPS":1,"renderFPS":1,"decodeTimeMs":1,"bitrateKbps":1,
        "packetLoss":0,"droppedFrames":0)";
    EXPECT_EQ(errorOf(R"({"stats":{"_0":{)" + statsBase + R"(,"latencyMs":1,"rttMs":1}}})"), "(decoded)");
    EXPECT_NE(errorOf(R"({"stats":{"_0":{)" + statsBase + R"(,"latencyMs":1}}})"), "(decoded)");
    EXPECT_NE(errorOf(R"({"stats":{"_0":{)" + statsBase + R"(,"rttMs":1}}})"), "(decoded)");

    // A newer peer's enumeration text makes the whole message undecodable.
    EXPECT_NE(errorOf(R"({"reject":{"_0":"tooTired"}})"), "(decoded)");
    EXPECT_NE(errorOf(R"({"input":{"_0":{"kind":"pinch","x":0,"y":0,"dx":0,"dy":0,"seq":1,"clientTimeUs":1}}})"),
              "(decoded)");
    // Wrong JSON types.
    EXPECT_NE(errorOf(R"({"ping":{"_0":{"t0":"5000"}}})"), "(decoded)");
    EXPECT_NE(errorOf(R"({"ping":{"_0":{"t0":-1}}})"), "(decoded)");
    EXPECT_NE(errorOf(R"({"ping":{"_0":{"t0":1.5}}})"), "(decoded)");
    EXPECT_NE(errorOf(R"({"configApplying":{"requestID":4294967296}})"), "(decoded)");
    EXPECT_NE(errorOf(R"({"inputStatus":{"_0":{"enabled":1}}})"), "(decoded)");
    EXPECT_NE(errorOf(R"({"streamLimit":{"maxLong":3840}})"), "(decoded)");
    EXPECT_NE(errorOf(R"({"reject":{"reason":"busy"}})"), "(decoded)");
}

TEST(ControlMessageDecoding, LenientWhereTheProtocolAllows) {
    // Unknown keys anywhere are ignored; SessionSettings.audio defaults to mac; integral doubles count as integers.
    auto decoded = decodeControlMessage(R"({"streamLimit":{"maxLong":3840,"maxShort":2160,"future":{"x":[1,2]}}})");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, (ControlMessage{StreamLimit{3840, 2160}}));

    auto applied = decodeControlMessage(R"({"configApplied":{"_0":{"settings":{"displaySize":"huge","quality":"auto",
        "fps":0,"staticRefinement":true},"configuration":{"logicalWidth":1,"logicalHeight":1,"scaleFactor":1,
        "streamWidth":1,"streamHeight":1,"fps":60.0,"bitrate":1,"tier":"ultra","refinementQuality":0},"result":{"ok":{}}}}})");
    ASSERT_TRUE(applied) << applied.error().message;
    const auto* payload = applied->get<ConfigApplied>();
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->settings.audio, AudioRoute::host);
    EXPECT_EQ(payload->configuration.fps, 60);
    EXPECT_FALSE(payload->requestID.has_value());
}

TEST(ControlMessageDecoding, HostileDocumentsFailWithoutCrashing) {
    std::string deep(100000, '[');
    EXPECT_NE(errorOf(deep), "(decoded)");
    std::string deepObject;
    for (int i = 0; i < 5000; ++i)
        deepObject += R"({"a":)";
    EXPECT_NE(errorOf(deepObject), "(decoded)");
    // Brackets inside strings do not count toward depth.
    auto quoted = decodeControlMessage(R"({"disconnect":{"reason":"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\"{{{{"}})");
    ASSERT_TRUE(quoted);
    EXPECT_EQ(quoted->get<Disconnect>()->reason, R"([[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["{{{{)");
    EXPECT_NE(errorOf(R"({"stats":{"_0":{"receiveFPS":1e999}}})"), "(decoded)");
    EXPECT_NE(errorOf("{\"disconnect\":{\"reason\":\"\xff\xfe\"}}"), "(decoded)"); // invalid UTF-8
}

TEST(ControlMessageEncoding, RefusesNonFiniteNumbers) {
    ClientStats stats;
    stats.latencyMs = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(encodeControlMessage({stats}).has_value());
    InputEvent event;
    event.x = std::nan("");
    EXPECT_FALSE(encodeControlMessage({event}).has_value());
}

TEST(ConfigResultCoding, OneKeyEnumeration) {
    EXPECT_EQ(*encodeConfigResult(ConfigResult::failed("x")), R"({"failed":{"message":"x"}})");
    EXPECT_EQ(*encodeConfigResult(ConfigResult::ok()), R"({"ok":{}})");
    EXPECT_EQ(*decodeConfigResult(R"({"failed":{"message":"x"}})"), ConfigResult::failed("x"));
    EXPECT_EQ(decodeConfigResult(R"({"ok":{},"failed":{"message":"x"}})").error().message,
              "Invalid number of keys found, expected one.");
    EXPECT_FALSE(decodeConfigResult(R"({"failed":{}})").has_value());
}

TEST(ControlVocabulary, EnumerationTextsAndDerivedValues) {
    EXPECT_EQ(fromText<RejectReason>("notLocalNetwork"), RejectReason::notLocalNetwork);
    EXPECT_FALSE(fromText<RejectReason>("NotLocalNetwork").has_value());
    EXPECT_EQ(toText(IDRReason::awaitingKeyframe), "awaitingKeyframe");
    EXPECT_EQ(allCases<IDRReason>().size(), 8u);
    EXPECT_EQ(bitrate(QualityPreset::low), 3'000'000);
    EXPECT_EQ(bitrate(QualityPreset::standard), 6'000'000);
    EXPECT_EQ(bitrate(QualityPreset::high), 10'000'000);
    EXPECT_EQ((DisplayModeInfo{1920, 1080, 60}.text()), "1920×1080@60");
    EXPECT_EQ(ControlMessage{Pause{}}.caseName(), "pause");
    EXPECT_EQ(ControlMessage{ScreenInfo{}}.caseName(), "orientation");
}
