// kivdisplay-wire as users run it: hand-built bytes from the byte tables in, JSON out.
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "KivHostCore/Testing/TestProcess.hpp"
#include "WireInspector.hpp"

using namespace kiv;
using nlohmann::json;

namespace {

struct Run {
    int exitCode;
    std::string out;
    std::string err;
};

// Runs the tool with stdout and stderr kept apart.
Run wireTool(const std::vector<std::string>& args) {
    kiv::test::TempDir dir;
    const auto errFile = (dir.path() / "err").string();
    std::string command = std::string(KIV_WIRE_BINARY);
    for (const auto& arg : args)
        command += " '" + arg + "'";
    const auto result = kiv::test::runProgram({"sh", "-c", command + " 2>" + errFile});
    std::ifstream in(errFile);
    return Run{result.exitCode, result.output, std::string(std::istreambuf_iterator<char>(in), {})};
}

std::vector<json> lines(const std::string& out) {
    std::vector<json> docs;
    std::stringstream stream(out);
    std::string line;
    while (std::getline(stream, line))
        docs.push_back(json::parse(line));
    return docs;
}

} // namespace

TEST(WireTool, DecodesHandBuiltControlFramesAndItems) {
    // {"pause":{}} is 12 bytes; {"resume":{}} 13.
    const auto control = wireTool({"decode", "--kind", "control", "--hex",
                                   "0000000c 7b227061757365223a7b7d7d 0000000d 7b22726573756d65223a7b7d7d"});
    EXPECT_EQ(control.exitCode, 0) << control.err;
    EXPECT_EQ(lines(control.out), (std::vector<json>{json::parse(R"({"pause":{}})"), json::parse(R"({"resume":{}})")}));

    const std::string items = "0000000c7b227061757365223a7b7d7d" // control item
                              "80000019"
                              "01"
                              "00000007"
                              "0000000000000064"            // video item: L = 13 + 12, keyframe, frame 7, t = 100
                              "00000002 6588 00000002 419a" // AVCC: IDR then slice
                              "40000016"
                              "01"
                              "02"
                              "0000bb80"
                              "00000009"
                              "00000000000000c8"
                              "01000200"; // audio: 4 PCM bytes
    const auto item = wireTool({"decode", "--kind", "item", "--hex", items});
    EXPECT_EQ(item.exitCode, 0) << item.err;
    const auto docs = lines(item.out);
    ASSERT_EQ(docs.size(), 3u);
    EXPECT_EQ(docs[0], json::parse(R"({"control":{"pause":{}}})"));
    EXPECT_EQ(docs[1],
              json::parse(
                  R"({"video":{"frameID":7,"isKeyframe":true,"captureTimeUs":100,"dataBytes":12,"nalTypes":[5,1]}})"));
    EXPECT_EQ(docs[2]["audio"],
              json::parse(R"({"format":1,"channels":2,"sampleRate":48000,"sequence":9,"captureTimeUs":200,
        "pcmBytes":4,"frameCount":1,"durationMs":0.020833333333333332})"));
}

TEST(WireTool, DecodesDatagramsAndRoundTripsEncoding) {
    const auto video = wireTool({"decode", "--kind", "video", "--hex",
                                 "4b56 01 01 0000002a 00000007 0000 0001 0000000000000064 00000005 aabbcc"});
    EXPECT_EQ(video.exitCode, 0) << video.err;
    EXPECT_EQ(lines(video.out).at(0), json::parse(R"({"isKeyframe":true,"sessionID":42,"frameID":7,"fragIndex":0,
        "fragCount":1,"captureTimeUs":100,"packetSeq":5,"payloadBytes":3})"));

    const auto keepalive = wireTool({"decode", "--kind", "keepalive", "--hex", "4b4b0100 0000002a ffffffffffffffff"});
    EXPECT_EQ(lines(keepalive.out).at(0), json::parse(R"({"sessionID":42,"videoKey":18446744073709551615})"));

    const auto encoded =
        wireTool({"encode", "--kind", "keepalive", R"({"sessionID":42,"videoKey":18446744073709551615})", "--hex"});
    EXPECT_EQ(encoded.out, "4b4b01000000002affffffffffffffff\n");
    const auto frame = wireTool({"encode", "--kind", "control", R"({"pause":{}})", "--hex"});
    EXPECT_EQ(frame.out, "0000000c7b227061757365223a7b7d7d\n");
    const auto datagram = wireTool({"encode", "--kind", "video", "--hex",
                                    R"({"isKeyframe":true,"sessionID":42,"frameID":7,"fragIndex":0,"fragCount":1,
                                        "captureTimeUs":100,"packetSeq":5,"payloadHex":"aabbcc"})"});
    EXPECT_EQ(datagram.out, "4b560101"
                            "0000002a"
                            "00000007"
                            "0000"
                            "0001"
                            "0000000000000064"
                            "00000005"
                            "aabbcc\n");
}

TEST(WireTool, RefusesBadInputWithTheErrorsName) {
    const auto tooLarge = wireTool({"decode", "--kind", "control", "--hex", "00040001"});
    EXPECT_EQ(tooLarge.exitCode, 1);
    EXPECT_EQ(tooLarge.out, "");
    EXPECT_EQ(tooLarge.err, "messageTooLarge(262145)\n");

    const auto malformed =
        wireTool({"decode", "--kind", "control", "--hex", "0000000c7b227061757365223a7b7d7d 00000002 7878"});
    EXPECT_EQ(malformed.exitCode, 1);
    EXPECT_EQ(lines(malformed.out).size(), 1u) << "the good frame before the bad one is still printed";
    EXPECT_EQ(malformed.err, "malformed\n");

    const auto notVideo = wireTool({"decode", "--kind", "video", "--hex", "4b57010100000000"});
    EXPECT_EQ(notVideo.exitCode, 1);
    EXPECT_EQ(notVideo.err, "not a video packet\n");
    EXPECT_EQ(wireTool({"decode", "--kind", "keepalive", "--hex", "4b4b0100"}).err, "not a keepalive\n");

    const auto incomplete = wireTool({"decode", "--kind", "item", "--hex", "0000000b7b2270"});
    EXPECT_EQ(incomplete.exitCode, 0);
    EXPECT_EQ(incomplete.err, "incomplete: 7 bytes buffered\n");

    EXPECT_EQ(wireTool({"encode", "--kind", "control", R"({"pause":{},"resume":{}})"}).exitCode, 1);
    EXPECT_EQ(wireTool({"decode", "--kind", "teleport"}).exitCode, 2);
    const auto help = wireTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("keepalive"), std::string::npos);
}

TEST(WireInspector, ArbitraryBytesNeverCrashAnyDecoder) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        Bytes bytes(rng() % 2000);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(rng());
        if (round % 3 == 0 && bytes.size() > 4) bytes[0] = bytes[1] = 0; // plausible lengths
        for (const auto kind : {wire::Kind::control, wire::Kind::item, wire::Kind::video, wire::Kind::keepalive}) {
            const auto result = wire::decode(kind, bytes);
            EXPECT_TRUE(result.documents.size() < 2000);
        }
    }
}

TEST(WireTool, DecodesUsbmuxPacketsAndRefusesBrokenOnes) {
    // A Result reply, built by hand: header (little-endian) then an XML property list.
    const std::string plist = R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                              R"(<key>MessageType</key><string>Result</string><key>Number</key><integer>0</integer>)"
                              R"(<key>PairRecordData</key><data>AQID</data></dict></plist>)";
    const auto length = static_cast<std::uint32_t>(plist.size() + 16);
    std::string hex;
    const auto le32 = [&](std::uint32_t v) {
        Bytes b{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                static_cast<std::uint8_t>(v >> 24)};
        hex += wire::toHex(b);
    };
    le32(length);
    le32(1);
    le32(8);
    le32(3);
    hex += wire::toHex(asBytes(plist));
    hex += "10000000010000000800000001000000"; // a bare 16-byte packet
    const auto ok = wireTool({"decode", "--kind", "usbmux", "--hex", hex});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    const auto docs = lines(ok.out);
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_EQ(
        docs[0],
        json::parse(
            R"({"length":)" + std::to_string(length) +
            R"(,"version":1,"message":8,"tag":3,"plist":{"MessageType":"Result","Number":0,"PairRecordData":{"$data":"010203"}}})"));
    EXPECT_EQ(docs[1]["plist"], json::object());

    const auto broken = wireTool({"decode", "--kind", "usbmux", "--hex", "0f000000010000000800000001000000"});
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_EQ(broken.err, "broken packet: length 15\n");
    const auto junk = wireTool({"decode", "--kind", "usbmux", "--hex", "14000000010000000800000001000000deadbeef"});
    EXPECT_EQ(junk.exitCode, 1);
    EXPECT_EQ(junk.err, "not a property list\n");
}
