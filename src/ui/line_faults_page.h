#pragma once

#include <QWidget>

#include <vector>

#include "settings/line_fault_prefs.h"

class QDoubleSpinBox;
class QLineEdit;
class QSpinBox;

// The Preferences dialog's "Line faults" page: what the line does to the link's bytes (a
// bandwidth cap, gaps, slices, corruption, a break, DTR or RTS dropped, a TCP reset). One
// spin box per value, each within the range the link accepts.
class LineFaultsPage : public QWidget {
    Q_OBJECT
public:
    // `suffix` ends the names of its fields, so that two pages in one dialog are told apart.
    explicit LineFaultsPage(QWidget* parent = nullptr, const QString& suffix = {});
    void Load(const LineFaults& faults);
    // The page's values; false (and the reason) when the seed is not a whole number.
    bool Store(LineFaults& faults, QString& problem) const;

    // In the order of LineFaultLimit::Fields().
    std::vector<QSpinBox*> Spins;
    QDoubleSpinBox* CorruptRateSpin;
    QLineEdit* CorruptSeedEdit;
};
