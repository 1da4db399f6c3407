// The traffic view's store at 10^6 entries: appending per entry (in the batches the window
// takes every 50 ms), memory per entry, and a new filter over the whole store; and the
// monitor that turns the tap's bytes into entries.
//
//   build/release/bench/bench_traffic
#include <benchmark/benchmark.h>

#include <string>

#include "support/loopback.h"
#include "traffic/traffic_monitor.h"
#include "traffic/traffic_store.h"

namespace {

constexpr std::size_t kEntries = 1000000;

// An exchange of `n` messages (24-byte texts) and their answers, as the tap gives them; `cut`:
// each read comes with the engine's word on where its frame ended, as the engine's reads do.
TapBatch Exchanges(int n, std::int64_t start, bool cut = false) {
    TapBatch tap;
    const std::string text = "Temperature 21.5 C #";
    for (int i = 0; i < n; ++i) {
        const std::string message =
            WireFrame(static_cast<char>('A' + i % 5), 0, text + std::to_string(i % 10000));
        const std::string answer = WireFrame(static_cast<char>('A' + i % 5), 0x06, "ACK");
        for (const auto& [bytes, direction, t] :
             {std::tuple{message, Direction::Rx, start + i * 50},
              std::tuple{answer, Direction::Tx, start + i * 50 + 20}}) {
            tap.chunks.push_back({t, static_cast<std::uint32_t>(tap.bytes.size()),
                                  static_cast<std::uint32_t>(bytes.size()), direction});
            tap.bytes.insert(tap.bytes.end(), bytes.begin(), bytes.end());
            if (!cut || direction != Direction::Rx) continue;
            tap.chunks.back().cut = true;
            TapChunk end{t, static_cast<std::uint32_t>(tap.bytes.size()), 0, Direction::Rx};
            end.mark = TapMark::FrameEnd;
            end.type = static_cast<std::uint8_t>(bytes[1]);
            tap.chunks.push_back(end);
        }
    }
    return tap;
}

// 500 exchanges: 1,000 entries, what 50 ms bring at 10,000 messages a second.
const TrafficBatch& Batch() {
    static const TrafficBatch batch = [] {
        TrafficMonitor monitor;
        TrafficBatch out;
        monitor.Process(Exchanges(500, 0), out);
        return out;
    }();
    return batch;
}

// Appending into a full store (every entry added drops the oldest), per entry.
void BM_StoreAppendAtBound(benchmark::State& state) {
    TrafficStore store(kEntries);
    while (store.Size() < kEntries) store.Append(Batch());
    for (auto _ : state) store.Append(Batch());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * Batch().entries.size()));
    state.counters["bytes/entry"] =
        static_cast<double>(store.MemoryBytes()) / static_cast<double>(store.Size());
}
BENCHMARK(BM_StoreAppendAtBound);

// A new filter over 10^6 entries: by direction (record only) and a text search (bytes too).
void BM_StoreFilter(benchmark::State& state) {
    TrafficStore store(kEntries);
    while (store.Size() < kEntries) store.Append(Batch());
    TrafficFilter filter;
    if (state.range(0) == 0) {
        filter.direction = 1;
    } else {
        filter.patterns = TrafficSearchPatterns("C #499");  // two entries in a thousand
    }
    for (auto _ : state) {
        store.SetFilter(filter);
        store.SetFilter(TrafficFilter{});
    }
    store.SetFilter(filter);
    state.counters["rows"] = static_cast<double>(store.Rows());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kEntries));
}
BENCHMARK(BM_StoreFilter)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The monitor: the tap's bytes cut into entries, paired and counted (no log). Arg 0: every
// frame decoded (what the engine writes, what the proxy passes on); 1: the reads cut where the
// engine said.
void BM_MonitorProcess(benchmark::State& state) {
    const TapBatch tap = Exchanges(500, 0, state.range(0) == 1);
    TrafficMonitor monitor;
    TrafficBatch out;
    for (auto _ : state) monitor.Process(tap, out);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * out.entries.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * tap.bytes.size()));
}
BENCHMARK(BM_MonitorProcess)->Arg(0)->Arg(1);

}  // namespace
