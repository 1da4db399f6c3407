// The protocol engine on a fake driver: messages answered per second through Poll, and bytes
// per second through the byte pump, with the operator new calls counted per message and per
// received byte.
#include <benchmark/benchmark.h>

#include <string>

#include "drivers/fake_driver.h"
#include "protocol/frame_stream.h"
#include "protocol/vantor_protocol.h"
#include "support/alloc_counter.h"
#include "base/event_manager.h"
#include "traffic/traffic_tap.h"

namespace {

// The table the main window sends: ten rows, a few of them for types the stream uses.
const char kReplyTable[] =
    "A\tACK-A\t0\r\nB\tNAKKED\t1\r\nC\tWRONG TYPE\t2\r\nD\tBAD BCC\t3\r\nA\tSECOND A\t0\r\n"
    "\t\t0\r\n\t\t0\r\n\t\t0\r\n\t\t0\r\n\t\t0\r\n";

// `frames` copies of a message frame with a text of `textLength` bytes, cycling through the
// types A to E, as one chunk: the engine handles one frame per poll.
FakeDriver::Bytes Stream(std::size_t textLength, int frames) {
    std::string text;
    for (std::size_t i = 0; i < textLength; ++i) text.push_back(static_cast<char>('0' + i % 43));
    FakeDriver::Bytes stream;
    for (int i = 0; i < frames; ++i) {
        const auto frame = frame_stream::Frame(static_cast<std::uint8_t>('A' + i % 5), 0, text);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

// Polls the engine over an endless stream of messages; each poll receives and answers one.
// With `tapped`, a traffic tap copies every block read and written, and is emptied every 64
// polls (as the window takes it every 50 ms), so the figure includes the taking.
void RunAnswering(benchmark::State& state, std::size_t textLength, bool tapped = false) {
    const int kFrames = 64;
    const FakeDriver::Bytes stream = Stream(textLength, kFrames);
    FakeDriver driver;
    driver.captureWrites = false;
    driver.Repeat(stream);
    EventManager events;
    VantorProtocol engine(&driver, 1, [] { return std::int64_t{1000}; });
    engine.eventSink = &events;
    engine.SetReplyActions(10, kReplyTable);
    TrafficTap tap;
    TapBatch taken;
    if (tapped) engine.tap = &tap;

    std::size_t messages = 0;
    const std::size_t allocationsBefore = AllocationCount();
    Event event;
    unsigned polls = 0;
    for (auto _ : state) {
        engine.Poll();
        while (events.GetEvent(event)) ++messages;
        if (tapped && ++polls % 64 == 0) tap.Take(taken);
    }
    const std::size_t allocations = AllocationCount() - allocationsBefore;
    const double bytes = static_cast<double>(messages) * static_cast<double>(stream.size()) / kFrames;
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["messages/s"] =
        benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
    state.counters["allocs/message"] =
        messages ? static_cast<double>(allocations) / static_cast<double>(messages) : 0.0;
    state.counters["allocs/byte"] = bytes > 0 ? static_cast<double>(allocations) / bytes : 0.0;
}

// Short texts: the cost per message dominates.
void BM_EngineAnswersMessages(benchmark::State& state) { RunAnswering(state, 24); }
BENCHMARK(BM_EngineAnswersMessages);

// Long texts: the cost per received byte dominates.
void BM_EngineBytePump(benchmark::State& state) {
    RunAnswering(state, static_cast<std::size_t>(state.range(0)));
}
BENCHMARK(BM_EngineBytePump)->Arg(128)->Arg(500);

// The same two with the traffic tap on: its cost is the difference.
void BM_EngineAnswersMessagesTapped(benchmark::State& state) { RunAnswering(state, 24, true); }
BENCHMARK(BM_EngineAnswersMessagesTapped);
void BM_EngineBytePumpTapped(benchmark::State& state) {
    RunAnswering(state, static_cast<std::size_t>(state.range(0)), true);
}
BENCHMARK(BM_EngineBytePumpTapped)->Arg(128)->Arg(500);

// Pure pump: bytes outside any frame, as line noise or a peer talking to someone else would
// send them. Nothing completes, so this is ReadChar and ReceiveByte alone.
void BM_EnginePumpsNoise(benchmark::State& state) {
    FakeDriver::Bytes noise(4096);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<std::uint8_t>(0x20 + i % 90);
    }
    FakeDriver driver;
    driver.Repeat(noise);
    VantorProtocol engine(&driver, 1, [] { return std::int64_t{1000}; });
    const std::size_t allocationsBefore = AllocationCount();
    for (auto _ : state) engine.Poll();  // the whole 4096-byte chunk in every poll
    const std::size_t allocations = AllocationCount() - allocationsBefore;
    const double bytes = static_cast<double>(state.iterations()) * noise.size();
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["allocs/byte"] = static_cast<double>(allocations) / bytes;
}
BENCHMARK(BM_EnginePumpsNoise);

}  // namespace
