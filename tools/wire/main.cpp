// kivdisplay-wire: decodes and encodes the wire formats between bytes and JSON.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "KivBase/BuildInfo.hpp"
#include "KivProtocol/KivConstants.hpp"
#include "WireInspector.hpp"

using namespace kiv;

namespace {

constexpr const char* kDescription = R"(Decodes and encodes the wire formats of the system.

decode --kind K [--hex HEX | FILE | -]     bytes -> one JSON document per line
  control    control frames back to back (4-byte big-endian length + JSON)
             kivdisplay-wire decode --kind control --hex 0000000c7b227061757365223a7b7d7d
  item       stream items back to back (control, video, audio), as {"control":...},
             {"video":{...,"nalTypes":[...]}} or {"audio":{...}}
             kivdisplay-wire decode --kind item capture.bin
  video      one UDP video datagram: its header fields and payload size
             kivdisplay-wire decode --kind video --hex 4b5601010000002a...
  keepalive  one 16-byte keepalive datagram
             kivdisplay-wire decode --kind keepalive --hex 4b4b01000000002a0000000000000007
  usbmux     usbmuxd packets back to back: {"length","version","message","tag","plist":{...}}
             (data values appear as {"$data":"<hex>"})
             kivdisplay-wire decode --kind usbmux capture.bin
  A unit left incomplete at the end is reported on stderr ("incomplete: N bytes buffered").
  Bad input: exit status 1 and the error on stderr (messageTooLarge(N), malformed, ...).

encode --kind K [JSON | FILE | -] [--hex]  JSON -> bytes (raw on stdout, or hex with --hex)
  control    a control message: kivdisplay-wire encode --kind control '{"pause":{}}' --hex
  video      {"isKeyframe","sessionID","frameID","fragIndex","fragCount","captureTimeUs",
              "packetSeq","payloadHex"}
  keepalive  {"sessionID","videoKey"}
)";

std::string readInput(const std::string& source) {
    if (source.empty() || source == "-") {
        return std::string(std::istreambuf_iterator<char>(std::cin), {});
    }
    std::ifstream in(source, std::ios::binary);
    if (!in) throw CLI::ValidationError("cannot read " + source);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "kivdisplay-wire"};
    app.require_subcommand(1);
    app.set_version_flag("--version", build::versionLine("kivdisplay-wire", KivConstants::protocolVersion));
    const std::map<std::string, wire::Kind> decodeKinds{{"control", wire::Kind::control},
                                                        {"item", wire::Kind::item},
                                                        {"video", wire::Kind::video},
                                                        {"keepalive", wire::Kind::keepalive},
                                                        {"usbmux", wire::Kind::usbmux}};
    const std::map<std::string, wire::Kind> encodeKinds{
        {"control", wire::Kind::control}, {"video", wire::Kind::video}, {"keepalive", wire::Kind::keepalive}};

    wire::Kind kind = wire::Kind::control;
    std::string hex;
    std::string source;
    bool hexOut = false;

    auto* decode = app.add_subcommand("decode", "bytes to JSON");
    decode->add_option("--kind", kind, "control | item | video | keepalive | usbmux")
        ->required()
        ->transform(CLI::CheckedTransformer(decodeKinds));
    decode->add_option("--hex", hex, "the bytes as hex digits (spaces and colons allowed)");
    decode->add_option("input", source, "file to read, or - for standard input (the default)");

    auto* encode = app.add_subcommand("encode", "JSON to bytes");
    encode->add_option("--kind", kind, "control | video | keepalive")
        ->required()
        ->transform(CLI::CheckedTransformer(encodeKinds));
    encode->add_option("input", source, "the JSON itself, a file holding it, or - for standard input");
    encode->add_flag("--hex", hexOut, "print hex digits instead of raw bytes");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }

    try {
        if (decode->parsed()) {
            std::string bytes;
            if (!hex.empty()) {
                auto parsed = wire::parseHex(hex);
                if (!parsed) {
                    std::cerr << "kivdisplay-wire: " << parsed.error() << "\n";
                    return 2;
                }
                bytes.assign(parsed->begin(), parsed->end());
            } else {
                bytes = readInput(source);
            }
            const auto result = wire::decode(kind, asBytes(bytes));
            for (const auto& document : result.documents)
                std::cout << document << "\n";
            std::cout.flush();
            if (!result.error.empty()) {
                std::cerr << result.error << "\n";
                return 1;
            }
            if (result.incompleteBytes > 0)
                std::cerr << "incomplete: " << result.incompleteBytes << " bytes buffered\n";
            return 0;
        }
        // encode: the argument is JSON itself when it looks like JSON, else a file name.
        std::string json =
            (!source.empty() && (source.front() == '{' || source.front() == '[')) ? source : readInput(source);
        const auto bytes = wire::encode(kind, json);
        if (!bytes) {
            std::cerr << bytes.error() << "\n";
            return 1;
        }
        if (hexOut) {
            std::cout << wire::toHex(*bytes) << "\n";
        } else {
            std::cout.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
        }
        return 0;
    } catch (const CLI::ValidationError& error) {
        std::cerr << "kivdisplay-wire: " << error.what() << "\n";
        return 2;
    }
}
