#pragma once

#include <QMap>
#include <QString>
#include <QWidget>

#include <cstdint>

class QChart;
class QGridLayout;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QPushButton;
class QValueAxis;
class TrafficStats;

// The statistics: counts, answers, transactions, latencies, bytes and frames, up-time, and two
// charts over the last minutes (messages per second each way, answer latency). It only shows
// figures; TrafficStats keeps them.
class StatsPanel : public QWidget {
    Q_OBJECT
public:
    explicit StatsPanel(QWidget* parent = nullptr);

    // Shows the figures as of `now` (wall clock microseconds).
    void Show(const TrafficStats& stats, std::int64_t now);
    // Only the up-time: for the seconds in which nothing else changed.
    void ShowUpTime(const TrafficStats& stats, std::int64_t now);
    // Only the charts, their time axis ending at `now`.
    void ShowCharts(const TrafficStats& stats, std::int64_t now);
    // The text shown for a figure ("Accepted", "Answer latency median", ...); empty if none.
    QString Figure(const QString& name) const;

    QPushButton* ResetButton;
    QLineSeries* RxSeries;
    QLineSeries* TxSeries;
    QScatterSeries* LatencySeries;

signals:
    void ResetClicked();

private:
    void Set(const QString& name, const QString& value);
    void Remove(const QString& name);

    QGridLayout* grid_;
    QMap<QString, QLabel*> figures_;
    QChart* rateChart_;
    QChart* latencyChart_;
    QValueAxis* rateAxis_;
    QValueAxis* latencyAxis_;
};
