#pragma once

#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <deque>

#include "traffic/traffic_entry.h"
#include "traffic/traffic_store.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableView;
class TrafficModel;

// The traffic view: every frame and every run of stray bytes both ways, with filters, a text
// search, follow/pause, a hex view of the selected entry and Ctrl+C to copy rows.
class TrafficPanel : public QWidget {
    Q_OBJECT
public:
    // Through the proxy the ways are A to B and B to A rather than received and sent.
    void ShowProxyWays(bool proxy);
    explicit TrafficPanel(std::size_t bound, QWidget* parent = nullptr);

    // New entries; while paused they wait (bounded like the list) and the view stays put.
    void AddBatch(const TrafficBatch& batch);
    void SetBound(std::size_t bound);
    void SetPaused(bool paused);
    bool Paused() const { return paused_; }
    // The session column and filter show once there have been several sessions: sessions 1
    // to `count`; 0 shows neither.
    void ShowSessions(std::uint32_t count);
    // The session the filter names; 0 for all.
    std::uint32_t Session() const;
    // The selected rows as tab-separated lines, as Ctrl+C puts them on the clipboard.
    QString SelectedText() const;
    void CopySelection() const;

    TrafficModel* Model() const { return model_; }
    QTableView* Table() const { return table_; }
    QComboBox* DirectionBox;
    QComboBox* KindBox;
    QLineEdit* TypeEdit;
    QComboBox* StatusBox;
    QSpinBox* SessionBox;  // 0: all sessions
    QLineEdit* SearchEdit;
    QCheckBox* CaseBox;  // ticked: the search matches case
    QCheckBox* FollowBox;
    QPushButton* PauseButton;
    QCheckBox* HexBox;
    QPushButton* ClearButton;
    QPlainTextEdit* BytesView;
    QLabel* CountLabel;

signals:
    // The filter's session changed (0: all).
    void SessionChosen(std::uint32_t session);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ApplyFilter();
    void ShowCurrent();
    void UpdateCount();

    TrafficModel* model_;
    QTableView* table_;
    bool paused_ = false;
    std::deque<TrafficBatch> held_;  // arrived while paused, oldest first
    std::size_t heldEntries_ = 0;
};
