// Receiver throughput over a realistic mixed stream, and frame building rate.
#include <benchmark/benchmark.h>

#include <random>

#include "protocol/frame.h"
#include "protocol/frame_stream.h"
#include "protocol/receiver.h"

namespace {

// Mostly intact messages and responses of typical lengths, some faults, a little junk.
const frame_stream::Bytes& MixedStream() {
    static const frame_stream::Bytes stream = [] {
        std::mt19937 rng(12345);
        frame_stream::Bytes bytes;
        frame_stream::Generate(rng, 3000, {false, true, 200}, bytes, nullptr);
        frame_stream::Generate(rng, 300, {true, true, 600}, bytes, nullptr);
        frame_stream::Generate(rng, 3000, {false, false, 60}, bytes, nullptr);
        return bytes;
    }();
    return stream;
}

void Consume(Receiver& rx, std::size_t& frames) {
    ++frames;
    benchmark::DoNotOptimize(rx.text[0]);
    rx.messageReady = rx.responseReady = false;
    rx.accepted = true;
}

void BM_ReceiverFeed(benchmark::State& state) {
    const auto& stream = MixedStream();
    Receiver rx;
    std::size_t frames = 0;
    for (auto _ : state) {
        std::size_t pos = 0;
        while (pos < stream.size()) {
            pos += rx.Feed(stream.data() + pos, stream.size() - pos);
            if (rx.FrameReady()) Consume(rx, frames);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReceiverFeed);

void BM_ReceiverByteByByte(benchmark::State& state) {
    const auto& stream = MixedStream();
    Receiver rx;
    std::size_t frames = 0;
    for (auto _ : state) {
        for (std::uint8_t b : stream) {
            rx.ReceiveByte(b);
            if (rx.FrameReady()) Consume(rx, frames);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReceiverByteByByte);

void BM_BuildFrame(benchmark::State& state) {
    const std::string text = "TEMP=21.5;SERIAL=000123;DATE=2026-12-07 10:30:00";
    CharBuffer buffer;
    buffer.Reserve(MaxFrameSize(text.size()));
    for (auto _ : state) {
        buffer.Clear();
        BuildFrame(buffer, 'A', 0, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        benchmark::DoNotOptimize(buffer.Data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildFrame);

}  // namespace
