#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "settings/prefs.h"
#include "traffic/traffic_entry.h"

class AppCore;
class LinkIndicator;
class QDockWidget;
class QLabel;
class QMainWindow;
class QMenu;
class QTimer;
class StatsPanel;
class TrafficPanel;
struct Event;

// Everything the window shows of the wire, as a view over the core's traffic service: the
// traffic view (entries taken when the service says some are ready, at most every 50 ms), the
// statistics (redrawn once a second while shown, and only what changed), the link's state
// and the log's. Nothing here runs while nothing happens.
class TrafficHub : public QObject {
    Q_OBJECT
public:
    static constexpr int kDrainMs = 50;

    TrafficHub(QMainWindow* window, AppCore& core, const TrafficPrefs& prefs);
    ~TrafficHub() override;

    // The "View" menu's items: the two panels, shown and hidden.
    void AddViewItems(QMenu* menu);
    void OnEvent(const Event& event);
    // New settings: the view's bound, and the log's state as the core now has it.
    void ApplySettings(const TrafficPrefs& prefs);
    // Processes what the tap holds now and shows it.
    void Drain();
    // The service has entries ready (any thread).
    void EntriesReady();

    TrafficPanel* Traffic;
    StatsPanel* Statistics;
    QDockWidget* TrafficDock;
    QDockWidget* StatisticsDock;
    LinkIndicator* Indicator;
    QLabel* LogLabel;   // status bar: where the log goes, or why it stopped
    QLabel* HeldLabel;  // status bar: what holds the link back, while something does

private:
    void ShowLogState();
    // The aggregate figures, or those of the session the traffic view shows.
    void ShowStatistics(bool force);
    void ShowStatisticsTitle(const QString& title);
    void ShowReady();
    void ShowHeld(const std::string& held);

    AppCore& core_;
    std::deque<TrafficBatch> ready_;
    TrafficPrefs prefs_;
    QTimer* drainTimer_;
    QTimer* statsTimer_;
    QElapsedTimer lastDrain_;
    std::atomic<bool> readyPosted_{false};
    std::uint64_t statsShown_ = ~std::uint64_t{0};  // what the figures were drawn from
};
