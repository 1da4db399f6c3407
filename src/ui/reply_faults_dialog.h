#pragma once

#include <QDialog>

#include <vector>

#include "settings/prefs.h"

class QCheckBox;
class QComboBox;
class QPushButton;
class QSpinBox;

// Edits the faults one reply actions row injects into its answers: a delay (fixed or a
// range), no answer, the answer twice, split in two writes, noise before it, a dropped link
// instead of it, and when they apply (every message, every Nth, or by chance).
class TReplyFaultsForm : public QDialog {
    Q_OBJECT
public:
    explicit TReplyFaultsForm(QWidget* parent = nullptr);

    void SetFaults(int row, const ReplyFaults& faults);
    ReplyFaults Faults() const;

    QSpinBox* DelayMinSpin;
    QSpinBox* DelayMaxSpin;
    QCheckBox* NoAnswerCheck;
    QCheckBox* TwiceCheck;
    QSpinBox* SplitAtSpin;
    QSpinBox* SplitGapSpin;
    QSpinBox* NoiseSpin;
    QCheckBox* DropCheck;
    QSpinBox* DropMsSpin;
    QComboBox* WhenCombo;
    QSpinBox* EveryNSpin;
    QSpinBox* ChanceSpin;
    QPushButton* OkButton;
    QPushButton* CancelButton;

private:
    void UpdateEnabled();
    // The control of the field of `member`.
    template <class Widget>
    Widget* Of(std::int32_t ReplyFaults::*member) const;

    std::vector<QWidget*> controls_;  // one per field, in the order of ReplyFaultFields()
};

// A short summary of a row's faults for the table ("" when there are none).
QString FaultsSummary(const ReplyFaults& faults);
