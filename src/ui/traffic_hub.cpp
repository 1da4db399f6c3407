#include "ui/traffic_hub.h"

#include <QDockWidget>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QTimer>

#include "protocol/frame.h"
#include "thread/event.h"
#include "traffic/link_state.h"
#include "ui/link_indicator.h"
#include "ui/stats_panel.h"
#include "ui/traffic_panel.h"

TrafficHub::TrafficHub(QMainWindow* window, const TrafficPrefs& prefs, TrafficTap::Clock clock)
    : QObject(window),
      clock_(clock ? clock : TrafficTap::WallMicros),
      tap_(std::move(clock)),
      pipeline_(tap_, static_cast<std::size_t>(std::max(1, prefs.MaxEntries))),
      prefs_(prefs) {
    Traffic = new TrafficPanel(static_cast<std::size_t>(std::max(1, prefs.MaxEntries)));
    Statistics = new StatsPanel;
    Statistics->setMinimumWidth(380);
    TrafficDock = new QDockWidget("Traffic", window);
    TrafficDock->setObjectName("TrafficDock");
    TrafficDock->setWidget(Traffic);
    StatisticsDock = new QDockWidget("Statistics", window);
    StatisticsDock->setObjectName("StatisticsDock");
    StatisticsDock->setWidget(Statistics);
    window->addDockWidget(Qt::BottomDockWidgetArea, TrafficDock);
    window->addDockWidget(Qt::RightDockWidgetArea, StatisticsDock);
    TrafficDock->hide();
    StatisticsDock->hide();
    Indicator = new LinkIndicator;
    Indicator->setObjectName("LinkIndicator");
    LogLabel = new QLabel;
    LogLabel->setObjectName("LogLabel");

    drainTimer_ = new QTimer(this);
    connect(drainTimer_, &QTimer::timeout, this, [this] { ShowReady(); });
    drainTimer_->start(kDrainMs);
    // The figures are redrawn once a second, and only while they are shown.
    statsTimer_ = new QTimer(this);
    connect(statsTimer_, &QTimer::timeout, this, [this] { ShowStatistics(); });
    connect(StatisticsDock, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (visible) {
            ShowStatistics();
            statsTimer_->start(1000);
        } else {
            statsTimer_->stop();
        }
    });
    connect(Statistics, &StatsPanel::ResetClicked, this, [this] {
        pipeline_.WithMonitor([this](TrafficMonitor& m) { m.stats.Reset(clock_()); });
        ShowStatistics();
    });

    pipeline_.WithMonitor([this](TrafficMonitor& m) { m.stats.LinkChanged(false, clock_()); });
    prefs_.LogOn = 0;  // so that ApplySettings starts it
    ApplySettings(prefs);
    pipeline_.Start();
}

TrafficHub::~TrafficHub() {
    pipeline_.Stop();
}

void TrafficHub::AddViewItems(QMenu* menu) {
    QAction* traffic = TrafficDock->toggleViewAction();
    traffic->setText("&Traffic");
    traffic->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    menu->addAction(traffic);
    QAction* statistics = StatisticsDock->toggleViewAction();
    statistics->setText("&Statistics");
    statistics->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T));
    menu->addAction(statistics);
}

void TrafficHub::Drain() {
    pipeline_.ProcessNow();
    ShowReady();
}

void TrafficHub::ShowReady() {
    pipeline_.TakeReady(ready_);
    for (const TrafficBatch& batch : ready_) Traffic->AddBatch(batch);
    ready_.clear();
    if (prefs_.LogOn != 0 && LogLabel->text() == "Logging" &&
        !pipeline_.WithMonitor([](TrafficMonitor& m) { return m.Logging(); })) {
        ShowLogState();
    }
}

void TrafficHub::ShowStatistics() {
    // A copy, so that the pipeline is not held up while the panel draws.
    const TrafficStats stats = pipeline_.WithMonitor([](TrafficMonitor& m) { return m.stats; });
    Statistics->Show(stats, clock_());
}

void TrafficHub::OnEvent(const Event& event) {
    switch (event.id) {
        case EventId::LinkState: {
            const LinkState state = LinkState::Decode(event.text);
            if (state.kind != linkKind_ || state.where != linkWhere_) {
                // Another link: what the old one left half done does not continue here.
                Drain();
                pipeline_.WithMonitor([](TrafficMonitor& m) { m.LinkReset(); });
                linkKind_ = state.kind;
                linkWhere_ = state.where;
            }
            Indicator->SetState(state);
            pipeline_.WithMonitor(
                [&](TrafficMonitor& m) { m.stats.LinkChanged(state.Connected(), clock_()); });
            break;
        }
        case EventId::ResponseAccepted:
            pipeline_.WithMonitor([](TrafficMonitor& m) { m.stats.TransactionAccepted(); });
            break;
        case EventId::TransactionFailed:
            pipeline_.WithMonitor([](TrafficMonitor& m) { m.stats.TransactionRejected(); });
            break;
        case EventId::Status:
            if (event.value == StatusTimeout)
                pipeline_.WithMonitor([](TrafficMonitor& m) { m.stats.TransactionTimedOut(); });
            break;
        default:
            break;
    }
}

void TrafficHub::ApplySettings(const TrafficPrefs& prefs) {
    Traffic->SetBound(static_cast<std::size_t>(std::max(1, prefs.MaxEntries)));
    pipeline_.SetBound(static_cast<std::size_t>(std::max(1, prefs.MaxEntries)));
    const bool logChanged = prefs.LogOn != prefs_.LogOn || prefs.LogPath != prefs_.LogPath ||
                            prefs.LogFormat != prefs_.LogFormat ||
                            prefs.RotateKb != prefs_.RotateKb ||
                            prefs.RotateKeep != prefs_.RotateKeep;
    prefs_ = prefs;
    if (!logChanged) return;
    Drain();  // what came before the change goes to the old log
    TrafficLogWriter::Options options;
    options.path = prefs.LogPath;
    options.format = prefs.LogFormat == 1 ? LogFormat::JsonLines : LogFormat::Tsv;
    options.rotateBytes = static_cast<std::uint64_t>(std::max(0, prefs.RotateKb)) * 1024;
    options.keep = std::max(0, prefs.RotateKeep);
    const bool start = prefs.LogOn != 0 && !prefs.LogPath.empty();
    pipeline_.WithMonitor([&](TrafficMonitor& m) {
        m.StopLog();
        if (start) m.StartLog(options);
    });
    ShowLogState();
}

void TrafficHub::ShowLogState() {
    const auto [error, logging] = pipeline_.WithMonitor([](TrafficMonitor& m) {
        return std::pair{m.LogError(), m.Logging()};
    });
    if (!error.empty()) {
        LogLabel->setStyleSheet("color: #c01010");
        LogLabel->setText(QString::fromStdString(error));
        LogLabel->setToolTip(QString::fromStdString(error));
    } else if (logging) {
        LogLabel->setStyleSheet({});
        LogLabel->setText("Logging");
        LogLabel->setToolTip(QString::fromStdString("Logging every entry to " + prefs_.LogPath));
    } else {
        LogLabel->clear();
        LogLabel->setToolTip({});
    }
}
