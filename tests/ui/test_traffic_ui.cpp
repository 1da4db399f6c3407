#include "ui/traffic_hub.h"

#include <QSignalSpy>
#include <QtTest>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDockWidget>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTableView>
#include <QWindow>
#include <QTcpSocket>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <cmath>

#include <memory>
#include <string>
#include <vector>

#include <QTemporaryDir>

#include <ctime>

#include "app/app_core.h"
#include "app/received_store.h"
#include "base/event.h"
#include "base/link_state.h"
#include "settings/preferences.h"
#include "support/loopback.h"
#include "traffic/traffic_monitor.h"
#include "ui/qt_scheduler.h"
#include "ui/link_indicator.h"
#include "ui/received_list_habits.h"
#include "ui/received_model.h"
#include "ui/stats_panel.h"
#include "ui/traffic_model.h"
#include "ui/traffic_panel.h"
#include "ui/traffic_prefs_page.h"

namespace {

struct Step {
    std::int64_t micros;
    Direction direction;
    std::string bytes;
};

// The entries a scripted exchange gives, through the same monitor the hub uses.
TrafficBatch Entries(TrafficMonitor& monitor, const std::vector<Step>& steps) {
    TapBatch tap;
    for (const Step& step : steps) {
        tap.chunks.push_back({step.micros, static_cast<std::uint32_t>(tap.bytes.size()),
                              static_cast<std::uint32_t>(step.bytes.size()), step.direction});
        tap.bytes.insert(tap.bytes.end(), step.bytes.begin(), step.bytes.end());
    }
    TrafficBatch out;
    monitor.Process(tap, out);
    return out;
}

// n exchanges: Rx message "m<i>" of type A or B, then the Tx ACK, 1 ms apart.
TrafficBatch Exchanges(TrafficMonitor& monitor, int from, int n) {
    std::vector<Step> steps;
    for (int i = from; i < from + n; ++i) {
        steps.push_back(
            {i * 1000, Direction::Rx, WireFrame(i % 2 ? 'B' : 'A', 0, "m" + std::to_string(i))});
        steps.push_back({i * 1000 + 200, Direction::Tx, WireFrame(i % 2 ? 'B' : 'A', 0x06, "ok")});
    }
    return Entries(monitor, steps);
}

QStringList Column(const TrafficPanel& panel, int column) {
    QStringList out;
    for (int row = 0; row < panel.Model()->rowCount(); ++row) {
        out << panel.Model()->index(row, column).data().toString();
    }
    return out;
}

}  // namespace

class TrafficUiTest : public QObject {
    Q_OBJECT
private slots:
    // Both directions in time order, each row's cells, and the selected entry's bytes.
    void entriesInOrderBothWays() {
        TrafficMonitor monitor;
        TrafficPanel panel(100);
        panel.AddBatch(Exchanges(monitor, 1, 2));
        panel.AddBatch(Entries(monitor, {{5000, Direction::Rx, "\x11zz"}}));
        QCOMPARE(Column(panel, TrafficModel::DirectionColumn),
                 QStringList({"Rx", "Tx", "Rx", "Tx", "Rx"}));
        QCOMPARE(Column(panel, TrafficModel::KindColumn),
                 QStringList({"Message", "ACK", "Message", "ACK", "Stray"}));
        QCOMPARE(Column(panel, TrafficModel::TextColumn),
                 QStringList({"m1", "ok", "m2", "ok", "<DC1>zz"}));
        QCOMPARE(Column(panel, TrafficModel::LatencyColumn),
                 QStringList({"", "0.200 ms", "", "0.200 ms", ""}));
        QCOMPARE(Column(panel, TrafficModel::AttemptColumn), QStringList({"1", "", "1", "", ""}));
        QVERIFY(Column(panel, TrafficModel::TimeColumn)[1].endsWith(".001200"));
        panel.HexBox->setChecked(true);
        QCOMPARE(Column(panel, TrafficModel::TextColumn).last(), QString("11 7a 7a"));
        panel.Table()->selectRow(4);
        QVERIFY(panel.BytesView->toPlainText().contains("0000  11 7a 7a"));
        QVERIFY(panel.BytesView->toPlainText().startsWith("Rx Stray, 3 bytes"));
    }

    void filtersNarrowTheRows() {
        TrafficMonitor monitor;
        TrafficPanel panel(100);
        panel.AddBatch(Exchanges(monitor, 0, 4));
        panel.DirectionBox->setCurrentIndex(2);  // sent
        QCOMPARE(panel.Model()->rowCount(), 4);
        panel.DirectionBox->setCurrentIndex(0);
        panel.TypeEdit->setText("B");
        panel.KindBox->setCurrentIndex(1);  // messages
        QCOMPARE(Column(panel, TrafficModel::TextColumn), QStringList({"m1", "m3"}));
        panel.TypeEdit->clear();
        panel.SearchEdit->setText("m2");
        QCOMPARE(Column(panel, TrafficModel::TextColumn), QStringList({"m2"}));
        // New entries meet the filter in force.
        panel.AddBatch(Exchanges(monitor, 20, 1));
        QCOMPARE(Column(panel, TrafficModel::TextColumn), QStringList({"m2", "m20"}));
        panel.SearchEdit->clear();
        panel.KindBox->setCurrentIndex(0);
        panel.StatusBox->setCurrentIndex(1);  // errors only
        QCOMPARE(panel.Model()->rowCount(), 0);
    }

    // Paused, new entries wait and the rows stay as they were; on resume they come in order.
    void pauseHoldsTheView() {
        TrafficMonitor monitor;
        TrafficPanel panel(1000);
        panel.resize(600, 300);
        panel.show();
        panel.AddBatch(Exchanges(monitor, 0, 100));
        panel.FollowBox->setChecked(false);
        panel.Table()->scrollToTop();
        panel.Table()->selectRow(3);
        const QRect pause = panel.PauseButton->geometry(), hex = panel.HexBox->geometry();
        panel.PauseButton->click();
        QVERIFY(panel.Paused());
        panel.AddBatch(Exchanges(monitor, 100, 50));
        QCOMPARE(panel.Model()->rowCount(), 200);
        QCOMPARE(panel.Table()->verticalScrollBar()->value(), 0);
        QVERIFY(panel.CountLabel->text().contains("100 held"));
        QApplication::processEvents();
        // "Resume" and the count of held entries move no button from under the mouse.
        QCOMPARE(panel.PauseButton->geometry(), pause);
        QCOMPARE(panel.HexBox->geometry(), hex);
        panel.PauseButton->click();
        QCOMPARE(panel.Model()->rowCount(), 300);
        QCOMPARE(panel.Model()->index(299, TrafficModel::TextColumn).data().toString(),
                 QString("ok"));
        QCOMPARE(panel.Model()->index(298, TrafficModel::TextColumn).data().toString(),
                 QString("m149"));
        QCOMPARE(panel.Table()->currentIndex().row(), 3);  // the selection stayed on its entry
    }

    void copySelectedRowsAsTabSeparatedText() {
        TrafficMonitor monitor;
        TrafficPanel panel(100);
        panel.show();
        panel.AddBatch(Exchanges(monitor, 7, 2));
        panel.Table()->selectRow(1);
        panel.Table()->selectionModel()->select(
            panel.Model()->index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        panel.Table()->setFocus();
        QApplication::clipboard()->clear();
        QTest::keyClick(panel.Table(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), panel.SelectedText());
        // The log's fields, the status unpadded, lines without a TAB at the end.
        const QString text = panel.SelectedText();
        QVERIFY(!text.contains('\r'));
        const QStringList lines = text.split("\n", Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains("\tTx\tACK\tOK\tB\t\"ok\"\t028\t028\t"), qPrintable(lines[0]));
        QVERIFY2(lines[1].endsWith("\tRx\tMessage\tOK\tA\t\"m8\"\t230\t230\t\t1"), qPrintable(lines[1]));
        QVERIFY(lines[0].endsWith("\t200\t"));  // the answer's latency in microseconds, no try
    }

    // The bound keeps the newest entries, also when the list is filtered, paused or rebound.
    void boundDropsTheOldest() {
        TrafficMonitor monitor;
        TrafficPanel panel(7);
        panel.AddBatch(Exchanges(monitor, 0, 3));
        panel.AddBatch(Exchanges(monitor, 3, 2));
        QCOMPARE(panel.Model()->rowCount(), 7);
        QCOMPARE(Column(panel, TrafficModel::TextColumn).first(), QString("ok"));
        QCOMPARE(Column(panel, TrafficModel::TextColumn)[1], QString("m2"));
        panel.SetPaused(true);
        panel.AddBatch(Exchanges(monitor, 5, 20));
        panel.SetPaused(false);
        QCOMPARE(panel.Model()->rowCount(), 7);
        QCOMPARE(Column(panel, TrafficModel::TextColumn).last(2), QStringList({"m24", "ok"}));
        panel.SetBound(3);
        QCOMPARE(Column(panel, TrafficModel::TextColumn), QStringList({"ok", "m24", "ok"}));
    }

    // A scripted exchange with known latencies from a fake clock shows the right figures.
    void statisticsOfAScriptedExchange() {
        std::int64_t now = 0;
        QTemporaryDir dir;
        Preferences prefs(dir.filePath("ZentrelConfig.ini").toStdString());
        QtScheduler scheduler(qApp);
        AppCore::Options options;
        options.runLink = false;
        options.trafficClock = [&now] { return now; };
        AppCore core(prefs, scheduler, options);
        QMainWindow window;
        TrafficHub hub(&window, core, TrafficPrefs{});
        Event up{EventId::LinkState, 0, 0};
        up.payload = LinkState{LinkKind::TcpServer, LinkState::Up, "port 1", {"peer"}};
        core.Traffic().OnEvent(up);
        hub.OnEvent(up);
        const std::string msg = WireFrame('A', 0, "x");
        const auto at = [&](std::int64_t t, Direction d, const std::string& bytes) {
            now = t;
            core.Traffic().Tap().Record(d, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        };
        at(1000000, Direction::Rx, msg);
        at(1000300, Direction::Tx, WireFrame('A', 0x06, "r"));  // 0.3 ms
        at(1500000, Direction::Rx, msg);
        at(1501000, Direction::Tx, WireFrame('A', 0x15, ""));  // 1 ms, a NAK answer
        at(2000000, Direction::Rx, msg);
        at(2000500, Direction::Tx, WireFrame('B', 0x06, "r"));  // 0.5 ms, a type error
        at(3000000, Direction::Tx, WireFrame('Q', 0, "q"));
        at(3002000, Direction::Rx, WireFrame('Q', 0x06, ""));  // round trip 2 ms
        core.Traffic().OnEvent(Event{EventId::ResponseAccepted, 'Q', 0, ""});
        core.Traffic().OnEvent(Event{EventId::Status, StatusTimeout, 1, ""});
        hub.Drain();
        now = 62000000;
        window.show();
        hub.StatisticsDock->show();
        StatsPanel* stats = hub.Statistics;
        QTRY_COMPARE(stats->Figure("Answer latency count"), QString("3"));
        QCOMPARE(stats->Figure("Answer latency min"), QString("0.300 ms"));
        QCOMPARE(stats->Figure("Answer latency median"), QString("0.500 ms"));
        QCOMPARE(stats->Figure("Answer latency max"), QString("1.000 ms"));
        QCOMPARE(stats->Figure("Round trip median"), QString("2.000 ms"));
        QCOMPARE(stats->Figure("Answers: Normal"), QString("1"));
        QCOMPARE(stats->Figure("Answers: NAK Error"), QString("1"));
        QCOMPARE(stats->Figure("Answers: Type Error"), QString("1"));
        QCOMPARE(stats->Figure("Accepted"), QString("1"));
        QCOMPARE(stats->Figure("Timed out"), QString("1"));
        QCOMPARE(stats->Figure("Type A"), QString("3"));
        QCOMPARE(stats->Figure("Received frames"), QString("4"));
        QCOMPARE(stats->Figure("Link up-time"), QString("0:01:02"));
        // A point for every second from the first with traffic to now, the quiet ones zero:
        // 2, 1 and 0 messages received in seconds 1..3, then none up to second 62.
        QCOMPARE(stats->RxSeries->count(), 62);
        QCOMPARE(stats->RxSeries->at(0), QPointF(1 - 62, 2));
        QCOMPARE(stats->RxSeries->at(1), QPointF(2 - 62, 1));
        QCOMPARE(stats->RxSeries->at(30), QPointF(31 - 62, 0));
        QCOMPARE(stats->RxSeries->at(61), QPointF(0, 0));
        QCOMPARE(stats->LatencySeries->count(), 2);  // seconds without answers have no latency
        QCOMPARE(stats->LatencySeries->at(0), QPointF(1 - 62, 1.0));
        // Quiet seconds move the time axis on while the panel is shown: the burst slides away.
        now = 67000000;
        QTRY_COMPARE(stats->RxSeries->at(0), QPointF(1 - 67, 2));
        QCOMPARE(stats->Figure("Link up-time"), QString("0:01:07"));
        // Round ticks on the counts' axis.
        const auto* counts = qobject_cast<QValueAxis*>(stats->RxSeries->attachedAxes().at(1));
        QVERIFY(counts);
        QCOMPARE(counts->min(), 0.0);
        const double step = (counts->max() - counts->min()) / (counts->tickCount() - 1);
        const double scale = std::pow(10.0, std::floor(std::log10(step)));
        const double mantissa = step / scale;
        QVERIFY2(qFuzzyCompare(mantissa, 1.0) || qFuzzyCompare(mantissa, 2.0) ||
                     qFuzzyCompare(mantissa, 2.5) || qFuzzyCompare(mantissa, 5.0),
                 qPrintable(QString::number(step)));
        // Floated, the panel is a window of its own, above nothing; closed, it docks again.
        hub.StatisticsDock->setFloating(true);
        QTRY_COMPARE(hub.StatisticsDock->windowType(), Qt::Window);
        QVERIFY(hub.StatisticsDock->windowHandle() != nullptr);
        QCOMPARE(hub.StatisticsDock->windowHandle()->transientParent(), nullptr);
        hub.StatisticsDock->close();
        QTRY_VERIFY(!hub.StatisticsDock->isFloating());
        hub.StatisticsDock->show();
        stats->ResetButton->click();
        QCOMPARE(stats->Figure("Answer latency count"), QString("0"));
        QCOMPARE(stats->Figure("Type A"), QString());  // types before the reset are gone
        QCOMPARE(stats->Figure("Link up-time"), QString("0:00:00"));
        QCOMPARE(stats->RxSeries->count(), 0);
        // A single second of traffic shows as a point.
        at(62100000, Direction::Rx, msg);
        hub.Drain();
        stats->Show(core.Traffic().Stats(), now);
        QCOMPARE(stats->RxSeries->count(), 1);
        QVERIFY(stats->RxSeries->pointsVisible());
        QCOMPARE(stats->Figure("Type A"), QString("1"));
    }

    void linkIndicatorForEachKind() {
        struct Case {
            LinkState state;
            QString text, tooltipPart, colour;
        };
        const std::vector<Case> cases = {
            {{LinkKind::TcpServer, LinkState::Up, "port 5100", {}},
             "Listening on port 5100, no client",
             "Listening",
             "#d08000"},
            {{LinkKind::TcpServer, LinkState::Up, "port 5100", {"10.0.0.1:4000", "10.0.0.2:4001"}},
             "Listening on port 5100, 2 clients",
             "\n  10.0.0.2:4001",
             "#1a8f1a"},
            {{LinkKind::TcpClient, LinkState::Connecting, "h:1", {}},
             "Connecting to h:1",
             "Connecting",
             "#d08000"},
            {{LinkKind::TcpClient, LinkState::Up, "h:1", {"h:1"}},
             "Connected to h:1",
             "Connected",
             "#1a8f1a"},
            {{LinkKind::TcpClient, LinkState::Closed, "h:1", {}},
             "Not connected to h:1",
             "Link > Reconnect",
             "#c01010"},
            {[] {
                 LinkState waiting{LinkKind::TcpClient, LinkState::Closed, "h:1", {}};
                 waiting.retryIn = 4;
                 return waiting;
             }(),
             "Not connected to h:1, retry in 4 s",
             "tried again automatically",
             "#c01010"},
            {{LinkKind::Serial, LinkState::Up, "/dev/ttyS0", {}, true, false, true},
             "/dev/ttyS0 open  DSR on  CTS off  DCD on",
             "Clear To Send: off",
             "#1a8f1a"},
            {{LinkKind::Serial, LinkState::Closed, "/dev/ttyS0", {}},
             "/dev/ttyS0 closed",
             "closed",
             "#c01010"},
        };
        LinkIndicator indicator;
        for (const Case& c : cases) {
            indicator.SetState(c.state);
            QCOMPARE(indicator.text(), c.text);
            QCOMPARE(indicator.Mark().name(), c.colour);
            QVERIFY2(indicator.toolTip().contains(c.tooltipPart), qPrintable(indicator.toolTip()));
        }
    }

    void logSettingsPage() {
        TrafficPrefsPage page;
        TrafficPrefs prefs;
        prefs.MaxEntries = 5000;
        prefs.LogOn = 1;
        prefs.LogPath = "/tmp/t\xc3\xa9st.jsonl";
        prefs.LogFormat = 1;
        prefs.RotateKb = 64;
        prefs.RotateKeep = 3;
        prefs.ListMax = 200;
        prefs.FollowNewest = 0;
        page.Load(prefs);
        QCOMPARE(page.LogPathEdit->text(), QString::fromUtf8("/tmp/tést.jsonl"));
        TrafficPrefs stored;
        QString problem;
        QVERIFY(page.Store(stored, problem));
        QCOMPARE(stored, prefs);
        page.LogPathEdit->clear();
        QVERIFY(!page.Store(stored, problem));
        QVERIFY(problem.contains("file"));
        page.LogOnBox->setChecked(false);
        QVERIFY(page.LogPathEdit->isEnabled() == false);
        QVERIFY(page.Store(stored, problem));
        // Another format, another file: the path follows the choice.
        page.LogOnBox->setChecked(true);
        page.LogPathEdit->setText("/tmp/traffic.tsv");
        page.LogFormatBox->setCurrentIndex(1);
        emit page.LogFormatBox->activated(1);
        QCOMPARE(page.LogPathEdit->text(), QString("/tmp/traffic.jsonl"));
        page.LogFormatBox->setCurrentIndex(0);
        emit page.LogFormatBox->activated(0);
        QCOMPARE(page.LogPathEdit->text(), QString("/tmp/traffic.tsv"));
        // The format chosen first and a name typed after it with the other ending: the field
        // shows, and the settings keep, the file the log really goes to.
        page.LogFormatBox->setCurrentIndex(1);
        emit page.LogFormatBox->activated(1);
        page.LogPathEdit->setText("/tmp/typed.tsv");
        QVERIFY(page.Store(stored, problem));
        QCOMPARE(stored.LogPath, std::string("/tmp/typed.jsonl"));
        emit page.LogPathEdit->editingFinished();
        QCOMPARE(page.LogPathEdit->text(), QString("/tmp/typed.jsonl"));
    }

    // The received list: the store's bound, follow-newest, Ctrl+C of whole rows, and the
    // filter box.
    void receivedListHabits() {
        QWidget panel;
        auto* grid = new QTableView(&panel);
        ReceivedStore store(4);
        ReceivedListModel model(store);
        store.SetOnDrop([&model](std::size_t count) { model.Dropping(count); });
        grid->setModel(&model);
        grid->setSelectionBehavior(QAbstractItemView::SelectRows);
        ReceivedListHabits habits(grid, &panel);
        TrafficPrefs prefs;
        prefs.FollowNewest = 0;
        QSignalSpy followChanged(&habits, &ReceivedListHabits::FollowChanged);
        habits.ApplySettings(prefs);
        QVERIFY(!habits.Following());
        QCOMPARE(followChanged.count(), 0);  // settings are not the user's click
        // One in the morning, local time, of some day.
        std::tm oneAm{};
        oneAm.tm_year = 126;
        oneAm.tm_mday = 1;
        oneAm.tm_hour = 1;
        oneAm.tm_isdst = -1;
        const std::int64_t at = static_cast<std::int64_t>(std::mktime(&oneAm)) * 1000;
        const auto add = [&](int status, char type, const std::string& text) {
            ReceivedFrame frame;
            frame.status = status;
            frame.type = static_cast<std::uint8_t>(type);
            frame.rxBcc = frame.calcBcc = "123";
            frame.text = text;
            store.Add(frame, at, false);
            const int first = model.MessageCount();  // after what the bound dropped
            model.ShowNew();
            habits.AfterAdd(first);
        };
        for (int i = 0; i < 6; ++i) add(StatusOk, i % 2 ? 'B' : 'A', "text " + std::to_string(i));
        QCOMPARE(model.MessageCount(), 4);  // the two oldest went
        QCOMPARE(QString::fromStdString(model.Cell(0, ReceivedListModel::TextColumn)),
                 QString("text 2"));

        panel.show();
        grid->selectRow(1);
        grid->selectionModel()->select(model.index(2, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        grid->setFocus();
        QApplication::clipboard()->clear();
        QTest::keyClick(grid, Qt::Key_C, Qt::ControlModifier);
        // The saved file's fields, the status unpadded, no TAB at the ends of the lines.
        QCOMPARE(QApplication::clipboard()->text(),
                 QString("01:00:00:000\tOK\tB\t\"text 3\"\t123\t123\n"
                         "01:00:00:000\tOK\tA\t\"text 4\"\t123\t123\n"));

        habits.SearchEdit->setText("b");  // type B, case aside
        QCOMPARE(grid->isRowHidden(0), true);
        QCOMPARE(grid->isRowHidden(1), false);
        add(StatusBadBcc, 'A', "late");  // status matches: shown
        add(StatusOk, 'A', "other");
        QCOMPARE(model.MessageCount(), 4);
        QCOMPARE(grid->isRowHidden(2), false);
        QCOMPARE(grid->isRowHidden(3), true);
        habits.SearchEdit->clear();
        for (int row = 0; row < 4; ++row) QVERIFY(!grid->isRowHidden(row));
        // The injection column is searched too.
        ReceivedFrame late;
        late.type = 'C';
        late.faults = "delay 120 ms";
        store.Add(late, at, false);
        model.ShowNew();
        habits.SearchEdit->setText("DELAY");
        for (int row = 0; row < 3; ++row) QVERIFY(grid->isRowHidden(row));
        QVERIFY(!grid->isRowHidden(3));
        habits.SearchEdit->clear();
        habits.FollowBox->click();
        QCOMPARE(followChanged.count(), 1);
        QCOMPARE(followChanged.at(0).at(0).toBool(), true);
    }

    // The whole path: a control thread serving TCP on 127.0.0.1, its tap into the hub, a
    // peer that sends; the exchange shows in the view, the link in the indicator, and a log
    // that cannot be written stops with its reason while the link goes on answering.
    void liveLinkThroughTheHub() {
        QTemporaryDir dir;
        Preferences settings(dir.filePath("ZentrelConfig.ini").toStdString());
        CommPrefs comm;
        comm.Type = 2;
        comm.LocalPort = 0;  // any free port; the link state says which
        settings.Set_comm_prefs(comm);
        TrafficPrefs prefs;
        prefs.LogOn = 1;
        prefs.LogPath = "/nonexistent-dir/x.tsv";
        settings.Set_traffic_prefs(prefs);
        QtScheduler scheduler(qApp);
        AppCore core(settings, scheduler);
        QMainWindow window;
        TrafficHub hub(&window, core, prefs);
        // What the main window does: the hub hears the core's events and its ready entries.
        AppCore::Listener listener;
        listener.event = [&hub](const Event& event) { hub.OnEvent(event); };
        listener.trafficReady = [&hub] { hub.EntriesReady(); };
        core.SetListener(listener);
        QVERIFY(
            hub.LogLabel->text().contains("Logging stopped: cannot open /nonexistent-dir/x.tsv"));
        core.Start();
        const auto pump = [] { QCoreApplication::processEvents(); };
        QTRY_VERIFY(([&] {
            pump();
            return hub.Indicator->State().phase == LinkState::Up;
        })());
        const int port = hub.Indicator->State().where.substr(5).empty()
                             ? 0
                             : std::stoi(hub.Indicator->State().where.substr(5));
        QVERIFY(port > 0);
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        QVERIFY(peer.waitForConnected(2000));
        QTRY_VERIFY(([&] {
            pump();
            return hub.Indicator->State().peers.size() == 1;
        })());
        QVERIFY(hub.Indicator->text().contains("client 127.0.0.1:"));
        const std::string frame = WireFrame('A', 0, "live");
        peer.write(frame.data(), static_cast<qint64>(frame.size()));
        QTRY_COMPARE_WITH_TIMEOUT(([&] {
                                      pump();
                                      return hub.Traffic->Model()->rowCount();
                                  })(),
                                  2, 3000);
        QCOMPARE(Column(*hub.Traffic, TrafficModel::DirectionColumn), QStringList({"Rx", "Tx"}));
        QCOMPARE(Column(*hub.Traffic, TrafficModel::TextColumn)[0], QString("live"));
        QVERIFY(!Column(*hub.Traffic, TrafficModel::LatencyColumn)[1].isEmpty());
        QVERIFY(peer.bytesAvailable() > 0 ||
                peer.waitForReadyRead(2000));  // the answer reached the peer
        QCOMPARE(core.Traffic().Stats().frames[0], 1u);
        core.Shutdown();
        core.SetListener({});
    }
};

QTEST_MAIN(TrafficUiTest)
#include "test_traffic_ui.moc"
