// Writes the seed corpus of every fuzz target from the golden control vectors:
//   fuzz_make_seeds <golden dir> <corpus dir>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "KivProtocol/ControlFraming.hpp"
#include "KivProtocol/StreamFraming.hpp"
#include "KivProtocol/VideoPacket.hpp"

namespace fs = std::filesystem;
using namespace kiv;

namespace {
void write(const fs::path& dir, const std::string& name, ByteView bytes) {
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: fuzz_make_seeds <golden dir> <corpus dir>\n";
        return 2;
    }
    const fs::path golden = argv[1];
    const fs::path corpus = argv[2];
    Bytes allFrames;
    for (const auto& entry : fs::directory_iterator(golden)) {
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        const auto message = decodeControlMessage(text.str());
        if (!message) {
            std::cerr << entry.path() << ": " << message.error().message << "\n";
            return 1;
        }
        const auto name = entry.path().stem().string();
        const auto json = *encodeControlMessage(*message);
        write(corpus / "control_message_json", name, asBytes(json));
        const auto frame = *ControlFraming::encode(*message);
        Bytes seeded{7}; // first byte: chunk size
        seeded.insert(seeded.end(), frame.begin(), frame.end());
        write(corpus / "control_frame_decoder", name, seeded);
        allFrames.insert(allFrames.end(), frame.begin(), frame.end());
    }
    Bytes stream{13};
    stream.insert(stream.end(), allFrames.begin(), allFrames.end());
    const Bytes nals{0, 0, 0, 2, 0x67, 0x42, 0, 0, 0, 2, 0x68, 0xCE, 0, 0, 0, 3, 0x65, 0x88, 0x80};
    const auto video = StreamFraming::encodeVideo(7, true, 123456, nals).value();
    stream.insert(stream.end(), video.begin(), video.end());
    StreamAudioPacket audio;
    audio.pcm.assign(1920, 0x10);
    const auto audioItem = StreamFraming::encodeAudio(audio).value();
    stream.insert(stream.end(), audioItem.begin(), audioItem.end());
    write(corpus / "stream_frame_decoder", "mixed", stream);

    FramePacketizer packetizer(0x01020304);
    Bytes sequence{4};
    for (const std::size_t size : {std::size_t{0}, std::size_t{500}, std::size_t{3000}}) {
        Bytes data(size, 0x5A);
        for (const auto& datagram : packetizer.packetize(EncodedFrame{data, size == 3000, 1000})) {
            write(corpus / "video_datagram", "frame" + std::to_string(size) + "-" + std::to_string(datagram.size()),
                  datagram);
            sequence.push_back(static_cast<std::uint8_t>(datagram.size() >> 8));
            sequence.push_back(static_cast<std::uint8_t>(datagram.size()));
            sequence.push_back(0);
            sequence.push_back(100);
            sequence.insert(sequence.end(), datagram.begin(), datagram.end());
        }
    }
    write(corpus / "video_datagram", "keepalive", VideoKeepalive{0x01020304, 99}.encode());
    write(corpus / "frame_reassembler", "three-frames", sequence);
    std::cout << "seeds written to " << corpus << "\n";
    return 0;
}
