#pragma once

#include <QWidget>

#include "settings/proxy_fault_prefs.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

// The Preferences dialog's "Proxy faults" page: the rules by which the proxy breaks frames on
// their way between its sides. The list shows each rule in a line; the form beside it edits
// the rule chosen there, each value within the range the proxy accepts.
class ProxyFaultsPage : public QWidget {
    Q_OBJECT
public:
    explicit ProxyFaultsPage(QWidget* parent = nullptr);
    void Load(const ProxyFaults& faults);
    ProxyFaults Store() const { return faults_; }

    // One line for a rule: which frames it picks, what it does, how often.
    static QString RuleSummary(const ProxyFaultRule& rule);

    QListWidget* RuleList;
    QPushButton* AddButton;
    QPushButton* RemoveButton;
    QComboBox* WayCombo;
    QLineEdit* TypeEdit;
    QComboBox* FramesCombo;
    QSpinBox* DelayMinSpin;
    QSpinBox* DelayMaxSpin;
    QSpinBox* JitterSpin;
    QCheckBox* DropCheck;
    QCheckBox* TwiceCheck;
    QCheckBox* BadBccCheck;
    QCheckBox* FlipBitCheck;
    QCheckBox* SwapAckCheck;
    QCheckBox* HoldCheck;
    QSpinBox* StraySpin;
    QComboBox* WhenCombo;
    QSpinBox* EveryNSpin;
    QSpinBox* ChanceSpin;
    QSpinBox* SeedSpin;

private:
    void ShowRule(int row);
    void TakeForm();
    void Refill();

    ProxyFaults faults_;
    QWidget* form_ = nullptr;
    bool showing_ = false;  // the form is being filled: its signals change nothing
};
