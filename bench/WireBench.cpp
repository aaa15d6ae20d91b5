// Wire-format throughput next to a plain memcpy of the same bytes in the same run.
// Prints figures; never gates CI.
#include <benchmark/benchmark.h>
#include <cstring>

#include "KivProtocol/FrameReassembler.hpp"
#include "KivProtocol/StreamFraming.hpp"
#include "KivProtocol/VideoPacket.hpp"

using namespace kiv;

namespace {
Bytes payload(std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return data;
}
} // namespace

static void BM_Memcpy(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto source = payload(size);
    Bytes target(size);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), size);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_Memcpy)->Arg(100'000)->Arg(1 << 20);

static void BM_PacketizeAndReassemble(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const EncodedFrame frame{payload(size), false, 1};
    FramePacketizer packetizer(9);
    FrameReassembler reassembler(9, 4, 1'000'000'000);
    std::uint64_t now = 1;
    DatagramBatch datagrams;
    // Steady state as sender and receiver run it: the batch and the frame buffers are reused.
    for (auto _ : state) {
        packetizer.packetize(frame, datagrams);
        std::optional<ReassembledFrame> done;
        for (const auto datagram : datagrams)
            done = reassembler.ingest(datagram, ++now);
        if (!done || done->data.size() != size) state.SkipWithError("frame did not reassemble");
        benchmark::DoNotOptimize(done);
        reassembler.recycle(std::move(done->data));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_PacketizeAndReassemble)->Arg(100'000)->Arg(1 << 20);

static void BM_StreamDecodeVideoItems(benchmark::State& state) {
    const std::size_t frameBytes = 100'000;
    const auto data = payload(frameBytes);
    Bytes stream;
    for (std::uint32_t i = 0; i < 64; ++i) {
        const auto item = StreamFraming::encodeVideo(i, i == 0, i, data).value();
        stream.insert(stream.end(), item.begin(), item.end());
    }
    for (auto _ : state) {
        StreamFrameDecoder decoder;
        std::size_t items = 0;
        // 64 KiB reads, as a socket would deliver them.
        for (std::size_t at = 0; at < stream.size(); at += 65536) {
            auto got = decoder.append(ByteView(stream).subspan(at, std::min<std::size_t>(65536, stream.size() - at)));
            items += got->size();
        }
        if (items != 64) state.SkipWithError("items lost");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(BM_StreamDecodeVideoItems);

static void BM_MemcpyStream(benchmark::State& state) {
    const auto source = payload(64 * 100'017);
    Bytes target(source.size());
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(source.size()));
}
BENCHMARK(BM_MemcpyStream);
