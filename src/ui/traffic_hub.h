#pragma once

#include <QObject>
#include <QString>

#include <cstdint>

#include <deque>
#include "settings/prefs.h"

#include "traffic/traffic_pipeline.h"
#include "traffic/traffic_tap.h"

class LinkIndicator;
class QDockWidget;
class QLabel;
class QMainWindow;
class QMenu;
class QTimer;
class StatsPanel;
class TrafficPanel;
struct Event;

// Everything the window shows of the wire: the pipeline turns the tap's bytes into entries,
// statistics and log records on its own thread; every 50 ms the window takes the entries into
// the traffic view. It also shows the link's state and the log's. The main window creates it, hands
// Tap() to the control thread before that runs, and passes every event from the thread to OnEvent.
class TrafficHub : public QObject {
    Q_OBJECT
public:
    static constexpr int kDrainMs = 50;

    // Without a clock, the wall clock (and the tap's own time stamps).
    TrafficHub(QMainWindow* window, const TrafficPrefs& prefs, TrafficTap::Clock clock = {});
    ~TrafficHub() override;

    TrafficTap& Tap() { return tap_; }
    TrafficPipeline& Pipeline() { return pipeline_; }
    // The "View" menu's items: the two panels, shown and hidden.
    void AddViewItems(QMenu* menu);
    void OnEvent(const Event& event);
    // New settings: the view's bound, and the log started, restarted or stopped as they say.
    void ApplySettings(const TrafficPrefs& prefs);
    // Processes what the tap holds now and shows it (the timer shows what the pipeline made).
    void Drain();

    TrafficPanel* Traffic;
    StatsPanel* Statistics;
    QDockWidget* TrafficDock;
    QDockWidget* StatisticsDock;
    LinkIndicator* Indicator;
    QLabel* LogLabel;  // status bar: where the log goes, or why it stopped

private:
    void ShowLogState();
    void ShowStatistics();
    void ShowReady();

    TrafficTap::Clock clock_;
    TrafficTap tap_;
    TrafficPipeline pipeline_;  // after the tap: it stops before the tap goes
    std::deque<TrafficBatch> ready_;
    TrafficPrefs prefs_;
    QTimer* drainTimer_;
    QTimer* statsTimer_;
    std::string linkWhere_;
    int linkKind_ = -1;
};
