#pragma once

#include <QWidget>

#include <string>

#include "settings/prefs.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;
class QToolButton;

// The Preferences dialog's "Traffic && Logging" page: the traffic view's bound, the continuous
// log, and the received list's bound and follow-newest habit.
class TrafficPrefsPage : public QWidget {
    Q_OBJECT
public:
    explicit TrafficPrefsPage(QWidget* parent = nullptr);
    void Load(const TrafficPrefs& prefs);
    // The page's values over `prefs`; false (and the reason) when logging is on without a path.
    bool Store(TrafficPrefs& prefs, QString& problem) const;

    QSpinBox* MaxEntriesSpin;
    QCheckBox* LogOnBox;
    QLineEdit* LogPathEdit;
    QToolButton* BrowseButton;
    QComboBox* LogFormatBox;
    QSpinBox* RotateSpin;
    QSpinBox* KeepSpin;
    QSpinBox* ListMaxSpin;
    QCheckBox* FollowNewestBox;

private:
    // The file the log goes to: the path typed, its ending that of the chosen format.
    std::string RealLogPath() const;
    void ShowRealLogPath();
};
