// The whole program under a flood: the main window (offscreen) with its real control thread
// as a TCP server on 127.0.0.1, and a peer that sends messages as fast as they are answered
// for a number of seconds. Meanwhile a key press is posted to a send row's text field every
// 100 ms and the time until the field has taken it is measured. At the end: messages sent,
// answered and listed, and the memory the list took per message.
//
//   QT_QPA_PLATFORM=offscreen build/release/bench/measure_window_flood [--seconds S] [--traffic]
//
// With --traffic the traffic view and the statistics are shown and every entry is logged.
#include <malloc.h>
#include <poll.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QDockWidget>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>  // before asio: its awaitable.hpp needs std::exchange
#include <vector>

#include <boost/asio.hpp>

#include "app/app_core.h"
#include "settings/preferences.h"
#include "ui/qt_scheduler.h"
#include "support/loopback.h"
#include "ui/mainfrm.h"
#include "ui/received_model.h"
#include "ui/sendfram.h"
#include "ui/traffic_hub.h"
#include "ui/traffic_model.h"
#include "ui/traffic_panel.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

long ResidentKb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
    }
    std::fclose(f);
    return kb;
}

// The peer: writes messages in chunks and reads the answers, keeping at most `window`
// messages unanswered so that neither side's buffers fill up.
struct Flooder {
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0}, answered{0};
    std::thread thread;

    void Run(int port) {
        thread = std::thread([this, port] {
            asio::io_context io;
            tcp::socket socket(io);
            for (int tries = 0; tries < 500; ++tries) {
                boost::system::error_code error;
                socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)), error);
                if (!error) break;
                socket.close();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            socket.non_blocking(true);
            std::string batch;
            for (int i = 0; i < 100; ++i) batch += WireFrame(static_cast<char>('A' + i % 26), 0, "Temperature 21.5 C, door closed");
            constexpr long kWindow = 2000;
            char buffer[65536];
            while (!stop) {
                if (sent - answered < kWindow) {
                    boost::system::error_code error;
                    asio::write(socket, asio::buffer(batch), error);
                    if (error && error != asio::error::would_block) break;
                    if (!error) sent += 100;
                }
                pollfd p{socket.native_handle(), POLLIN, 0};
                if (::poll(&p, 1, sent - answered < kWindow ? 0 : 5) > 0) {
                    boost::system::error_code error;
                    const std::size_t n = socket.read_some(asio::buffer(buffer), error);
                    answered += static_cast<long>(std::count(buffer, buffer + n, '\r'));
                }
            }
        });
    }
};

}  // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    bool traffic = false;  // the traffic view and statistics shown, every entry logged
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            seconds = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--traffic") == 0) {
            traffic = true;
        } else {
            std::fprintf(stderr, "usage: %s [--seconds S] [--traffic]\n", argv[0]);
            return 2;
        }
    }
    QApplication app(argc, argv);
    QTemporaryDir dir;
    Preferences prefs(dir.filePath("ZentrelConfig.ini").toStdString());
    const int port = FreeTcpPort();
    CommPrefs comm;
    comm.Type = 2;
    comm.LocalPort = port;
    prefs.Set_comm_prefs(comm);
    TrafficPrefs trafficPrefs;
    if (traffic) {
        trafficPrefs.LogOn = 1;
        trafficPrefs.LogPath = dir.filePath("traffic.tsv").toStdString();
        trafficPrefs.RotateKb = 65536;
        trafficPrefs.RotateKeep = 1;
    }
    prefs.Set_traffic_prefs(trafficPrefs);
    QtScheduler scheduler(qApp);
    AppCore core(prefs, scheduler);
    TMainForm form(prefs, core);
    core.Start();
    if (traffic) {
        form.Traffic->TrafficDock->show();
        form.Traffic->StatisticsDock->show();
    }
    form.show();
    QApplication::processEvents();
    malloc_trim(0);
    const long rssBefore = ResidentKb();

    Flooder flooder;
    flooder.Run(port);

    // Key presses into the first row's text field; each one's time until the field has it.
    QLineEdit* edit = form.SendRows.at(0)->MsgTextEdit;
    edit->setFocus();
    std::vector<double> keyMs;
    QElapsedTimer pressed;
    bool waiting = false;
    QObject::connect(edit, &QLineEdit::textEdited, [&] {
        if (!waiting) return;
        keyMs.push_back(pressed.nsecsElapsed() / 1e6);
        waiting = false;
        if (edit->text().size() > 50) edit->clear();
    });
    QTimer presses;
    QObject::connect(&presses, &QTimer::timeout, [&] {
        if (waiting) return;
        waiting = true;
        pressed.start();
        QCoreApplication::postEvent(edit, new QKeyEvent(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x"));
        QCoreApplication::postEvent(edit, new QKeyEvent(QEvent::KeyRelease, Qt::Key_X, Qt::NoModifier, "x"));
    });
    presses.start(100);

    const auto start = Clock::now();
    QTimer::singleShot(seconds * 1000, [&] { flooder.stop = true; });
    while (!flooder.stop) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    presses.stop();
    flooder.thread.join();
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    // Let the window take what is still on its way.
    const auto settle = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < settle && form.ReceivedMessages->MessageCount() < flooder.answered) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        form.FlushReceivedMessages();
    }
    form.FlushReceivedMessages();
    const long listed = form.ReceivedMessages->MessageCount();
    const long rssAfter = ResidentKb();

    std::sort(keyMs.begin(), keyMs.end());
    auto at = [&](double q) { return keyMs.empty() ? 0.0 : keyMs[static_cast<std::size_t>(q * (keyMs.size() - 1))]; };
    std::printf("flood of %.1f s: %ld sent, %ld answered (%.0f/s), %ld listed\n", took, flooder.sent.load(),
                flooder.answered.load(), flooder.answered / took, listed);
    std::printf("key press -> handled: n=%zu median %.1f  p99 %.1f  max %.1f ms\n", keyMs.size(), at(0.5), at(0.99),
                keyMs.empty() ? 0.0 : keyMs.back());
    std::printf("memory: %ld KiB more resident, %.0f bytes per listed message\n", rssAfter - rssBefore,
                listed > 0 ? 1024.0 * static_cast<double>(rssAfter - rssBefore) / static_cast<double>(listed) : 0.0);
    if (traffic) {
        form.Traffic->Drain();
        const TrafficStats stats = core.Traffic().Stats();
        const std::uint64_t received = stats.frames[0], sent = stats.frames[1];
        const std::uint64_t dropped = core.Traffic().DroppedBytes();
        const std::string logError = core.Traffic().Log().error;
        const TrafficStore& store = form.Traffic->Traffic->Model()->Store();
        std::printf("traffic: %zu entries kept (%.0f bytes each), %llu frames received, %llu sent, %llu bytes not taken in time, log %s\n",
                    store.Size(), static_cast<double>(store.MemoryBytes()) / static_cast<double>(std::max<std::size_t>(1, store.Size())),
                    static_cast<unsigned long long>(received), static_cast<unsigned long long>(sent),
                    static_cast<unsigned long long>(dropped), logError.empty() ? "written" : logError.c_str());
    }
    form.close();
    return listed >= flooder.answered ? 0 : 1;
}
