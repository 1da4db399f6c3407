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
    : QObject(window), clock_(clock ? clock : TrafficTap::WallMicros), tap_(std::move(clock)), prefs_(prefs) {
    Traffic = new TrafficPanel(static_cast<std::size_t>(std::max(1, prefs.MaxEntries)));
    Statistics = new StatsPanel;
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
    connect(drainTimer_, &QTimer::timeout, this, [this] { Drain(); });
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
        monitor_.stats.Reset(clock_());
        ShowStatistics();
    });

    monitor_.stats.LinkChanged(false, clock_());
    prefs_.LogOn = 0;  // so that ApplySettings starts it
    ApplySettings(prefs);
}

TrafficHub::~TrafficHub() = default;

void TrafficHub::AddViewItems(QMenu* menu) {
    QAction* traffic = TrafficDock->toggleViewAction();
    traffic->setText("Traffic");
    traffic->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    menu->addAction(traffic);
    QAction* statistics = StatisticsDock->toggleViewAction();
    statistics->setText("Statistics");
    menu->addAction(statistics);
}

void TrafficHub::Drain() {
    monitor_.Drain(tap_, batch_);
    Traffic->AddBatch(batch_);
    if (prefs_.LogOn != 0 && !monitor_.Logging()) ShowLogState();
}

void TrafficHub::ShowStatistics() { Statistics->Show(monitor_.stats, clock_()); }

void TrafficHub::OnEvent(const Event& event) {
    switch (event.id) {
        case EventId::LinkState: {
            const LinkState state = LinkState::Decode(event.text);
            if (state.kind != linkKind_ || state.where != linkWhere_) {
                // Another link: what the old one left half done does not continue here.
                Drain();
                monitor_.LinkReset();
                linkKind_ = state.kind;
                linkWhere_ = state.where;
            }
            Indicator->SetState(state);
            monitor_.stats.LinkChanged(state.Connected(), clock_());
            break;
        }
        case EventId::ResponseAccepted:
            monitor_.stats.TransactionAccepted();
            break;
        case EventId::TransactionFailed:
            monitor_.stats.TransactionRejected();
            break;
        case EventId::Status:
            if (event.value == StatusTimeout) monitor_.stats.TransactionTimedOut();
            break;
        default:
            break;
    }
}

void TrafficHub::ApplySettings(const TrafficPrefs& prefs) {
    Traffic->SetBound(static_cast<std::size_t>(std::max(1, prefs.MaxEntries)));
    const bool logChanged = prefs.LogOn != prefs_.LogOn || prefs.LogPath != prefs_.LogPath ||
                            prefs.LogFormat != prefs_.LogFormat || prefs.RotateKb != prefs_.RotateKb ||
                            prefs.RotateKeep != prefs_.RotateKeep;
    prefs_ = prefs;
    if (!logChanged) return;
    Drain();  // what came before the change goes to the old log
    monitor_.StopLog();
    if (prefs.LogOn != 0 && !prefs.LogPath.empty()) {
        TrafficLogWriter::Options options;
        options.path = prefs.LogPath;
        options.format = prefs.LogFormat == 1 ? LogFormat::JsonLines : LogFormat::Tsv;
        options.rotateBytes = static_cast<std::uint64_t>(std::max(0, prefs.RotateKb)) * 1024;
        options.keep = std::max(0, prefs.RotateKeep);
        monitor_.StartLog(options);
    }
    ShowLogState();
}

void TrafficHub::ShowLogState() {
    const std::string error = monitor_.LogError();
    if (!error.empty()) {
        LogLabel->setStyleSheet("color: #c01010");
        LogLabel->setText(QString::fromStdString(error));
        LogLabel->setToolTip(QString::fromStdString(error));
    } else if (monitor_.Logging()) {
        LogLabel->setStyleSheet({});
        LogLabel->setText("Logging");
        LogLabel->setToolTip(QString::fromStdString("Logging every entry to " + prefs_.LogPath));
    } else {
        LogLabel->clear();
        LogLabel->setToolTip({});
    }
}
