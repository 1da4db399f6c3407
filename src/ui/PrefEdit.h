#pragma once

#include <QDialog>
#include <QPointer>
#include <QStringList>

#include <array>
#include <functional>

#include "settings/prefs.h"
#include "ui/dialogs.h"
#include "ui/serial_ports.h"

class Preferences;
class QButtonGroup;
class QCheckBox;
class QAbstractItemView;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QWidget;
class TrafficPrefsPage;
class LineFaultsPage;
class ProxyFaultsPage;

// Edits the link settings and the reply actions table. Every showing starts from the stored
// settings, so Cancel discards all edits; OK hands every page's settings over at once, and
// stays open on what was refused.
class TPreferencesForm : public QDialog, public PreferencesDialog {
    Q_OBJECT
public:
    explicit TPreferencesForm(Preferences& prefs, QWidget* parent = nullptr);

    void ShowCommunicationsPage() override;
    void ShowReplyActionsPage() override;
    bool Execute(const Apply& apply) override;
    // What OK hands the settings to (Execute sets it; tests may too). Unset, OK applies nothing.
    Apply ApplySettings;

    // Where the port list is read from (tests use a prepared tree).
    void SetPortPlaces(const SerialPortPlaces& places) { portPlaces_ = places; }

    // The reply table's columns; the row number is the table's vertical header.
    static constexpr int kTypeColumn = 0;
    static constexpr int kTextColumn = 1;
    static constexpr int kActionColumn = 2;

    // The action names; a name's position is the stored Action value.
    static const QStringList& ActionNames();

    QTabWidget* PageControl;
    QWidget* CommPortTabSheet;
    QWidget* ReplyTabSheet;
    QGroupBox* TypeRadioGroup;
    QButtonGroup* TypeButtons;
    QGroupBox* SerialSettingsGroupBox;
    QComboBox* CommPortComboBox;
    QComboBox* CommBaudComboBox;
    QComboBox* CommBitsComboBox;
    QComboBox* CommStopComboBox;
    QComboBox* CommParityComboBox;
    QGroupBox* TCPIPClientGroupBox;
    QLineEdit* ClientAddressEdit;
    QLineEdit* ClientPortEdit;
    QCheckBox* ClientReconnectCheck;
    QGroupBox* TCPIPServerGroupBox;
    QLineEdit* ServerPortEdit;
    // Proxy: the two sides as written on the command line, and where the send rows go.
    QGroupBox* ProxyGroupBox;
    QLineEdit* ProxyAEdit;
    QLineEdit* ProxyBEdit;
    QComboBox* ProxySendToCombo;
    QTableWidget* ReplyStringGrid;
    // Below the table: the faults of the current row, and the seed of their draws.
    QPushButton* FaultsButton;
    QLabel* FaultsSummaryLabel;
    QSpinBox* FaultSeedSpin;
    // Where FaultsButton edits a row's faults; tests replace it. True when OK was chosen.
    std::function<bool(int row, ReplyFaults& faults)> EditFaults;
    TrafficPrefsPage* TrafficPage;
    LineFaultsPage* LineFaultsTab;
    LineFaultsPage* LineFaultsBTab;  // the proxy's side B
    ProxyFaultsPage* ProxyFaultsTab;
    QPushButton* OkButton;
    QPushButton* CancelButton;

    // The action drop-down over the current Action cell, if one is open.
    QComboBox* ActionComboBox() const;

public slots:
    void OkButtonClick();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormShow();
    void FillPortList(const std::string& port);
    std::string ChosenPort() const;
    void TypeRadioGroupClick(int type);
    void ShowRefusals(const std::vector<SettingRefusal>& refused);
    void ReplyStringGridSelectCell(int column, int row);
    void OpenActionDropDown(int row);
    void DropActionDropDown();
    bool ActionListHasFocus() const;

    Preferences& prefs_;
    CommPrefs comm_;  // the working copy of this showing
    SerialPortPlaces portPlaces_;
    int shownPortIndex_ = -1;  // the port list's choice as this showing began
    QString shownPortText_;
    QPointer<QComboBox> actionCombo_;
    int actionRow_ = -1;
    QString actionBefore_;  // what Esc puts back: the cell's text when its drop-down opened,
                            // or the latest choice made in its list
    bool actionListChoosing_ = false;  // Enter or a click in the drop-down's list is under way
    QAbstractItemView* actionList_ = nullptr;  // the drop-down's list while it is open
    std::array<ReplyFaults, kReplySlots> faults_;  // the working copy of this showing

    void FaultsButtonClick();
    void ShowFaultsSummary();
};
