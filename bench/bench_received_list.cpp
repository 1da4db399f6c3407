// The received messages list with long runs: the main window's own add, select-all, delete
// and scroll paths over 10 to 1,000,000 listed messages, offscreen.
//
//   QT_QPA_PLATFORM=offscreen build/release/bench/bench_received_list

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <QApplication>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>

#include <memory>
#include <string>

#include "app/app_core.h"
#include "settings/preferences.h"
#include "ui/mainfrm.h"
#include "ui/qt_scheduler.h"
#include "ui/received_model.h"

namespace {

const std::string kText = "Temperature 21.5 C, humidity 40 %, door closed, battery 3.6 V";

ReceivedFrame Record(int i) {
    ReceivedFrame frame;
    frame.type = 'A';
    frame.rxBcc = frame.calcBcc = "123";
    frame.text = kText + " #" + std::to_string(i);
    return frame;
}

// One shown main window with `rows` messages listed; no control thread runs, so that
// nothing but the benchmark runs on it. Messages arrive through the core as the engine
// reports them.
struct Window {
    QTemporaryDir dir;
    std::unique_ptr<Preferences> prefs;
    QtScheduler scheduler{qApp};
    std::unique_ptr<AppCore> core;
    std::unique_ptr<TMainForm> form;

    explicit Window(int rows) {
        prefs = std::make_unique<Preferences>(dir.filePath("ZentrelConfig.ini").toStdString());
        AppCore::Options options;
        options.runLink = false;
        options.events = false;  // as the window without a log or an API
        core = std::make_unique<AppCore>(*prefs, scheduler, options);
        form = std::make_unique<TMainForm>(*prefs, *core);
        form->show();
        QApplication::processEvents();
        Fill(rows);
    }
    ~Window() {
        form.reset();
        core.reset();
    }

    void Fill(int rows) {
        for (int i = form->ReceivedMessages->MessageCount(); i < rows; ++i) Post(i);
        core->TakeEvents();
        form->FlushReceivedMessages();
        QApplication::processEvents();
    }

    void Post(int i) {
        Event e{EventId::MessageReceived, 'A', 1};
        e.payload = Record(i);
        core->ToWindow().PostEvent(std::move(e));
    }
    void Add(int i) {
        Post(i);
        core->TakeEvents();
    }
};

// Messages arriving at the engine's top rate, 100 a second: five arrivals are listed together
// every 50 ms, then the event loop lays out and paints. Time per message.
void BM_AddMessage(benchmark::State& state) {
    Window window(static_cast<int>(state.range(0)));
    int i = 0;
    for (auto _ : state) {
        for (int k = 0; k < 5; ++k) window.Add(i++);
        window.form->FlushReceivedMessages();
        QApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * 5);
    state.counters["rows"] = window.form->ReceivedMessages->MessageCount();
}
BENCHMARK(BM_AddMessage)->Arg(10)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond)->Iterations(400);

// The core's part alone: the message recorded and the list told.
void BM_AddMessageHandler(benchmark::State& state) {
    Window window(static_cast<int>(state.range(0)));
    int i = 0;
    for (auto _ : state) window.Add(i++);
}
BENCHMARK(BM_AddMessageHandler)->Arg(10)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond)->Iterations(2000);

// A single message after a quiet spell: listed, made current and scrolled to at once.
void BM_AddSingleMessage(benchmark::State& state) {
    Window window(static_cast<int>(state.range(0)));
    int i = 0;
    for (auto _ : state) {
        window.Add(i++);
        window.form->FlushReceivedMessages();
        QApplication::processEvents();
    }
}
BENCHMARK(BM_AddSingleMessage)->Arg(10)->Arg(1000000)->Unit(benchmark::kMicrosecond)->Iterations(400);

void BM_SelectAll(benchmark::State& state) {
    Window window(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        window.form->SelectAllPopupMenuItemClick();
        window.form->ReceivedMsgsGrid->viewport()->repaint();
        window.form->ReceivedMsgsGrid->clearSelection();
    }
}
BENCHMARK(BM_SelectAll)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(20);

// Deleting 10,000 rows from the middle of the list, with the repaint that follows.
void BM_DeleteRange(benchmark::State& state) {
    Window window(static_cast<int>(state.range(0)));
    auto* model = window.form->ReceivedMessages;
    auto* grid = window.form->ReceivedMsgsGrid;
    for (auto _ : state) {
        state.PauseTiming();
        window.Fill(static_cast<int>(state.range(0)));
        const int top = model->MessageCount() / 2;
        grid->selectionModel()->select(
            QItemSelection(model->index(top, 0), model->index(top + 9999, ReceivedListModel::ColumnCount - 1)),
            QItemSelectionModel::ClearAndSelect);
        state.ResumeTiming();
        window.form->DeletePopupMenuItemClick();
        grid->viewport()->repaint();
    }
}
BENCHMARK(BM_DeleteRange)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(10);

// Dragging the thumb: jump to a new place and paint the rows there.
void BM_Scroll(benchmark::State& state) {
    Window window(static_cast<int>(state.range(0)));
    QScrollBar* bar = window.form->ReceivedMsgsGrid->verticalScrollBar();
    int step = 0;
    for (auto _ : state) {
        step = (step + 7919) % 1000;
        bar->setValue(bar->maximum() / 1000 * step);
        window.form->ReceivedMsgsGrid->viewport()->repaint();
    }
}
BENCHMARK(BM_Scroll)->Arg(1000000)->Unit(benchmark::kMicrosecond)->Iterations(200);

// Heap bytes per listed message beyond its texts, model and view together.
void BM_MemoryPerRow(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Window window(0);
        const auto before = mallinfo2().uordblks;
        window.Fill(rows);
        const auto after = mallinfo2().uordblks;
        std::size_t texts = 0;
        for (int i = 0; i < rows; ++i) {
            texts += Record(i).text.size() + 3 + 3;
        }
        state.counters["bytes_per_row_beyond_texts"] =
            static_cast<double>(after - before - texts) / rows;
        state.counters["text_bytes_per_row"] = static_cast<double>(texts) / rows;
    }
}
BENCHMARK(BM_MemoryPerRow)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
