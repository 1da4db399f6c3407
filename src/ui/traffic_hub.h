#pragma once

#include <QObject>
#include <QString>

#include <cstdint>

#include "settings/prefs.h"
#include "traffic/traffic_monitor.h"
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

// Everything the window shows of the wire: takes the tap's batches every 50 ms on the
// user-interface thread, feeds the traffic view, the statistics and the continuous log, and
// shows the link's state. The main window creates it, hands Tap() to the control thread
// before that runs, and passes every event from the thread to OnEvent.
class TrafficHub : public QObject {
    Q_OBJECT
public:
    static constexpr int kDrainMs = 50;

    // Without a clock, the wall clock (and the tap's own time stamps).
    TrafficHub(QMainWindow* window, const TrafficPrefs& prefs, TrafficTap::Clock clock = {});
    ~TrafficHub() override;

    TrafficTap& Tap() { return tap_; }
    TrafficMonitor& Monitor() { return monitor_; }
    // The "View" menu's items: the two panels, shown and hidden.
    void AddViewItems(QMenu* menu);
    void OnEvent(const Event& event);
    // New settings: the view's bound, and the log started, restarted or stopped as they say.
    void ApplySettings(const TrafficPrefs& prefs);
    // Takes what the tap holds now (the timer does this every kDrainMs).
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

    TrafficTap::Clock clock_;
    TrafficTap tap_;
    TrafficMonitor monitor_;
    TrafficBatch batch_;
    TrafficPrefs prefs_;
    QTimer* drainTimer_;
    QTimer* statsTimer_;
    std::string linkWhere_;
    int linkKind_ = -1;
};
