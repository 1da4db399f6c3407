// The capture file: how fast the writer takes the tap's batches to disk and what a message
// costs in the file, and how fast a capture reads back.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "capture/capture_writer.h"
#include "capture/pcapng.h"
#include "capture/recording.h"
#include "protocol/frame.h"

namespace {

// Batches as the tap hands them out under a flood: a message read, its answer written.
TapBatch Flood(std::size_t pairs, std::int64_t& micros) {
    TapBatch batch;
    CharBuffer message, answer;
    const std::string text = "READING 0012345 T=21.5";
    BuildFrame(message, 'D', 0, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    BuildFrame(answer, 'D', ctrl::ACK, nullptr, 0);
    for (std::size_t i = 0; i < pairs; ++i) {
        for (const CharBuffer* frame : {&message, &answer}) {
            batch.chunks.push_back(TapChunk{micros += 2, static_cast<std::uint32_t>(batch.bytes.size()),
                                            static_cast<std::uint32_t>(frame->Size()),
                                            frame == &message ? Direction::Rx : Direction::Tx, false});
            batch.bytes.insert(batch.bytes.end(), frame->Bytes().begin(), frame->Bytes().end());
        }
    }
    return batch;
}

std::string TempPath() {
    return (std::filesystem::temp_directory_path() / ("bench-capture-" + std::to_string(::getpid()) + ".pcapng"))
        .string();
}

void BM_CaptureWrite(benchmark::State& state) {
    std::int64_t micros = 1'700'000'000'000'000;
    const TapBatch batch = Flood(1000, micros);
    const std::string path = TempPath();
    std::uint64_t messages = 0, bytes = 0;
    for (auto _ : state) {
        CaptureWriter::Options options;
        options.path = path;
        options.holdMs = 0;  // nothing waits for the engine's word in a benchmark
        CaptureWriter writer(options);
        writer.Start();
        for (int i = 0; i < 100; ++i) writer.Take(batch);
        writer.Finish();
        messages += 100 * 1000;
        bytes = writer.GetStatus().bytes;
    }
    std::filesystem::remove(path);
    state.counters["messages/s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
    // A message and its answer: two packets.
    state.counters["bytes/message"] = static_cast<double>(bytes) / (100.0 * 1000.0);
}
BENCHMARK(BM_CaptureWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CaptureRead(benchmark::State& state) {
    std::string file;
    pcapng::AppendSectionHeader(file, "bench");
    pcapng::AppendInterface(file, "tcp-server:port 5100", "TCP/IP server on port 5100");
    std::int64_t micros = 1'700'000'000'000'000;
    const TapBatch batch = Flood(100'000, micros);
    for (const TapChunk& chunk : batch.chunks)
        pcapng::AppendPacket(file, 0, chunk.micros, batch.bytes.data() + chunk.offset, chunk.length,
                             chunk.direction == Direction::Rx ? pcapng::kInbound : pcapng::kOutbound);
    for (auto _ : state) {
        const Recording recording = RecordingFromCapture(pcapng::Parse(file));
        benchmark::DoNotOptimize(recording.frames.size());
    }
    state.counters["messages/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 100'000, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CaptureRead)->Unit(benchmark::kMillisecond);

}  // namespace
