// The traffic view itself at 10^6 entries, shown offscreen: a batch appended (what 50 ms
// bring at 10,000 messages a second) with the view following the newest, and a new text
// search typed into the filter.
//
//   QT_QPA_PLATFORM=offscreen build/release/bench/bench_traffic_view
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QTableView>

#include <string>

#include "support/loopback.h"
#include "traffic/traffic_monitor.h"
#include "ui/traffic_model.h"
#include "ui/traffic_panel.h"

namespace {

constexpr std::size_t kEntries = 1000000;

TrafficBatch Batch(TrafficMonitor& monitor, int n) {
    TapBatch tap;
    for (int i = 0; i < n; ++i) {
        const std::string message = WireFrame(static_cast<char>('A' + i % 5), 0,
                                              "Temperature 21.5 C #" + std::to_string(i));
        const std::string answer = WireFrame(static_cast<char>('A' + i % 5), 0x06, "ACK");
        for (const auto& [bytes, direction] :
             {std::pair{message, Direction::Rx}, std::pair{answer, Direction::Tx}}) {
            tap.chunks.push_back({i * 50, static_cast<std::uint32_t>(tap.bytes.size()),
                                  static_cast<std::uint32_t>(bytes.size()), direction});
            tap.bytes.insert(tap.bytes.end(), bytes.begin(), bytes.end());
        }
    }
    TrafficBatch out;
    monitor.Process(tap, out);
    return out;
}

struct ShownPanel {
    TrafficMonitor monitor;
    TrafficPanel panel{kEntries};
    TrafficBatch batch = Batch(monitor, 500);
    ShownPanel() {
        panel.resize(1000, 600);
        panel.show();
        while (panel.Model()->Store().Size() < kEntries) panel.Model()->Append(batch);
        QApplication::processEvents();
    }
};

void BM_ViewAppendFollowing(benchmark::State& state) {
    ShownPanel shown;
    for (auto _ : state) {
        shown.panel.AddBatch(shown.batch);
        QApplication::processEvents();  // the view repaints what changed
    }
    state.SetItemsProcessed(
        static_cast<std::int64_t>(state.iterations() * shown.batch.entries.size()));
}
BENCHMARK(BM_ViewAppendFollowing)->Unit(benchmark::kMicrosecond);

// The model alone (no repaint), to tell the view's share from the store's.
void BM_ModelAppend(benchmark::State& state) {
    ShownPanel shown;
    for (auto _ : state) shown.panel.Model()->Append(shown.batch);
    state.SetItemsProcessed(
        static_cast<std::int64_t>(state.iterations() * shown.batch.entries.size()));
}
BENCHMARK(BM_ModelAppend)->Unit(benchmark::kMicrosecond);

void BM_ViewTextSearch(benchmark::State& state) {
    ShownPanel shown;
    for (auto _ : state) {
        shown.panel.SearchEdit->setText("C #499");
        QApplication::processEvents();
        shown.panel.SearchEdit->clear();
        QApplication::processEvents();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kEntries));
}
BENCHMARK(BM_ViewTextSearch)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
