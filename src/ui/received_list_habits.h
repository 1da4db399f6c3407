#pragma once

#include <QObject>
#include <QString>

#include <cstdint>

#include "settings/prefs.h"

class QCheckBox;
class QLineEdit;
class QSpinBox;
class QTableView;
class ReceivedListModel;

// What the received messages list does beyond the list itself: the "follow newest" toggle,
// Ctrl+C copying the selected rows as tab-separated lines, a filter box over type, status,
// text and injection, and a choice of one session (rows that do not match are hidden). The
// list's bound is the core's.
class ReceivedListHabits : public QObject {
    Q_OBJECT
public:
    // Works on the grid's model, a ReceivedListModel, whenever it is set.
    ReceivedListHabits(QTableView* grid, QObject* parent);

    void ApplySettings(const TrafficPrefs& prefs);
    bool Following() const;
    // After rows were added from `firstNew` on: hides the new rows the filter does not pass.
    void AfterAdd(int firstNew);
    // The selected message rows as tab-separated lines (the save file's fields, unpadded).
    QString SelectedText() const;
    void CopySelection() const;

    // The sessions to choose from (1 to `count`); 0 hides the choice, which then takes all.
    void ShowSessions(std::uint32_t count);

    QCheckBox* FollowBox;
    QLineEdit* SearchEdit;
    QSpinBox* SessionBox;  // 0: all sessions

signals:
    // The user ticked or unticked "Follow newest" (not sent for ApplySettings).
    void FollowChanged(bool on);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    ReceivedListModel* Model() const;
    bool Filtering() const;
    bool Passes(int row) const;
    void ApplySearch(int from);

    QTableView* grid_;
};
