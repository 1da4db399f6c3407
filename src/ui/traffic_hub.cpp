#include "ui/traffic_hub.h"

#include <QDockWidget>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QScrollArea>
#include <QTimer>
#include <QWindow>

#include <optional>

#include "app/app_core.h"
#include "base/event.h"
#include "ui/elided_label.h"
#include "ui/link_indicator.h"
#include "ui/stats_panel.h"
#include "ui/traffic_panel.h"

namespace {

// The View menu's item for the statistics, whatever the panel's title says.
const QString kStatisticsItem = QStringLiteral("&Statistics");

// A fingerprint of what the figures show, so that a quiet second redraws nothing.
std::uint64_t Fingerprint(const TrafficStats& s, std::uint32_t session) {
    std::uint64_t f = (session * 1000003u + s.frames[0]) * 1000003u + s.frames[1];
    for (const std::uint64_t v : {s.bytes[0], s.bytes[1], s.accepted, s.rejected, s.timedOut,
                                  s.reconnects, s.retransmissions, s.answerLatency.Compute().count}) {
        f = f * 31 + v;
    }
    return f;
}

}  // namespace

TrafficHub::TrafficHub(QMainWindow* window, AppCore& core, const TrafficPrefs& prefs)
    : QObject(window), core_(core), prefs_(prefs) {
    Traffic = new TrafficPanel(static_cast<std::size_t>(std::max(1, prefs.MaxEntries)));
    Statistics = new StatsPanel;
    Statistics->setMinimumWidth(380);
    // Narrower than the figures and charts need, the panel scrolls: it never widens the window.
    auto* statisticsView = new QScrollArea;
    statisticsView->setObjectName("StatisticsScroll");
    statisticsView->setWidget(Statistics);
    statisticsView->setWidgetResizable(true);
    statisticsView->setFrameShape(QFrame::NoFrame);
    statisticsView->setMinimumWidth(60);
    TrafficDock = new QDockWidget("Traffic", window);
    TrafficDock->setObjectName("TrafficDock");
    TrafficDock->setWidget(Traffic);
    StatisticsDock = new QDockWidget("Statistics", window);
    StatisticsDock->setObjectName("StatisticsDock");
    StatisticsDock->setWidget(statisticsView);
    window->addDockWidget(Qt::BottomDockWidgetArea, TrafficDock);
    window->addDockWidget(Qt::RightDockWidgetArea, StatisticsDock);
    // The statistics take the window's whole height beside the traffic view, not what it
    // leaves: the figures and both charts need it.
    window->setCorner(Qt::BottomRightCorner, Qt::RightDockWidgetArea);
    TrafficDock->hide();
    StatisticsDock->hide();
    for (QDockWidget* dock : {TrafficDock, StatisticsDock}) {
        connect(dock, &QDockWidget::topLevelChanged, this, [dock](bool floating) {
            // Floated, a panel is a window of its own: it does not stay above the main window,
            // and minimising it minimises it alone.
            if (!floating || dock->windowType() == Qt::Window) return;
            dock->setWindowFlags(Qt::Window);
            dock->show();
            if (QWindow* window = dock->windowHandle()) window->setTransientParent(nullptr);
        });
        connect(dock, &QDockWidget::visibilityChanged, this, [dock](bool visible) {
            // Closed while floating, it is docked again for its next showing.
            if (!visible && dock->isFloating() && !dock->window()->isMinimized() && dock->isHidden())
                dock->setFloating(false);
        });
    }
    Indicator = new LinkIndicator;
    Indicator->setObjectName("LinkIndicator");
    LogLabel = new ElidedLabel;
    LogLabel->setObjectName("LogLabel");
    HeldLabel = new ElidedLabel;
    HeldLabel->setObjectName("HeldLabel");
    HeldLabel->setStyleSheet("color: #c01010");
    HeldLabel->hide();

    // Single-shot: armed only when entries wait and the last drain was less than 50 ms ago.
    drainTimer_ = new QTimer(this);
    drainTimer_->setSingleShot(true);
    connect(drainTimer_, &QTimer::timeout, this, [this] { ShowReady(); });
    // The figures are redrawn once a second, and only while they are shown.
    statsTimer_ = new QTimer(this);
    connect(statsTimer_, &QTimer::timeout, this, [this] { ShowStatistics(false); });
    connect(StatisticsDock, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (visible) {
            ShowStatistics(true);
            statsTimer_->start(1000);
        } else {
            statsTimer_->stop();
        }
    });
    // The statistics are those of the session the traffic view shows.
    connect(Traffic, &TrafficPanel::SessionChosen, this, [this] {
        if (StatisticsDock->isVisible()) ShowStatistics(true);
    });
    connect(Statistics, &StatsPanel::ResetClicked, this, [this] {
        core_.Traffic().ResetStats();
        ShowStatistics(true);
    });
    ShowLogState();
}

TrafficHub::~TrafficHub() = default;

void TrafficHub::AddViewItems(QMenu* menu) {
    QAction* traffic = TrafficDock->toggleViewAction();
    traffic->setText("&Traffic");
    traffic->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    menu->addAction(traffic);
    QAction* statistics = StatisticsDock->toggleViewAction();
    statistics->setText(kStatisticsItem);
    statistics->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T));
    menu->addAction(statistics);
}

void TrafficHub::EntriesReady() {
    // Called on the pipeline's thread: one queued call for any number of notices.
    if (readyPosted_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            readyPosted_ = false;
            const qint64 since = lastDrain_.isValid() ? lastDrain_.elapsed() : kDrainMs;
            if (since >= kDrainMs) {
                ShowReady();
            } else if (!drainTimer_->isActive()) {
                drainTimer_->start(static_cast<int>(kDrainMs - since));
            }
        },
        Qt::QueuedConnection);
}

void TrafficHub::Drain() {
    core_.Traffic().Drain();
    ShowReady();
}

void TrafficHub::ShowReady() {
    lastDrain_.start();
    core_.Traffic().TakeReady(ready_);
    for (const TrafficBatch& batch : ready_) Traffic->AddBatch(batch);
    ready_.clear();
    if (prefs_.LogOn != 0 && LogLabel->text() == "Logging" && !core_.Traffic().Log().logging)
        ShowLogState();
}

void TrafficHub::ShowHeld(const std::string& held) {
    const QString text = held.empty() ? QString() : QString::fromStdString("Held back: " + held);
    if (HeldLabel->text() == text) return;
    HeldLabel->setText(text);
    HeldLabel->setToolTip(held.empty() ? QString()
                                       : QStringLiteral("The link is not read until this has caught up."));
    HeldLabel->setVisible(!held.empty());
}

void TrafficHub::ShowStatistics(bool force) {
    // A copy, so that the pipeline is not held up while the panel draws. A session that has
    // ended took its figures with it: then the aggregate, and the title says so.
    const std::uint32_t chosen = Traffic->Session();
    std::optional<TrafficStats> ofSession;
    if (chosen != 0) ofSession = core_.Traffic().SessionStats(chosen);
    const TrafficStats stats = ofSession ? std::move(*ofSession) : core_.Traffic().Stats();
    const std::uint32_t session = ofSession ? chosen : 0;
    ShowStatisticsTitle(chosen == 0   ? QStringLiteral("Statistics")
                        : session != 0 ? QStringLiteral("Statistics: Session %1").arg(chosen)
                                       : QStringLiteral("Statistics: all sessions (Session %1 has ended)").arg(chosen));
    const std::int64_t now = core_.Traffic().Now();
    const std::uint64_t shown = Fingerprint(stats, session);
    if (!force && shown == statsShown_) {
        // Nothing new: the figures stay, the charts' time moves on (a burst slides away).
        Statistics->ShowUpTime(stats, now);
        Statistics->ShowCharts(stats, now);
        return;
    }
    statsShown_ = shown;
    Statistics->Show(stats, now);
}

void TrafficHub::ShowStatisticsTitle(const QString& title) {
    if (StatisticsDock->windowTitle() == title) return;
    StatisticsDock->setWindowTitle(title);
    // The dock names its View menu item after its title: the item keeps its own name.
    StatisticsDock->toggleViewAction()->setText(kStatisticsItem);
}

void TrafficHub::OnEvent(const Event& event) {
    if (event.id == EventId::HeldBack) ShowHeld(event.text);
    if (event.id != EventId::LinkState) return;
    if (const auto* state = std::get_if<LinkState>(&event.payload)) Indicator->SetState(*state);
}

void TrafficHub::ApplySettings(const TrafficPrefs& prefs) {
    Traffic->SetBound(static_cast<std::size_t>(std::max(1, prefs.MaxEntries)));
    prefs_ = prefs;
    ShowLogState();
}

void TrafficHub::ShowLogState() {
    const TrafficService::LogState log = core_.Traffic().Log();
    if (!log.error.empty()) {
        LogLabel->setStyleSheet("color: #c01010");
        LogLabel->setText(QString::fromStdString(log.error));
        LogLabel->setToolTip(QString::fromStdString(log.error));
    } else if (log.logging) {
        LogLabel->setStyleSheet({});
        LogLabel->setText("Logging");
        LogLabel->setToolTip(QString::fromStdString("Logging every entry to " + log.path));
    } else {
        LogLabel->clear();
        LogLabel->setToolTip({});
    }
    LogLabel->setVisible(!LogLabel->text().isEmpty());
}
