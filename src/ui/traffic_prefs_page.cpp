#include "ui/traffic_prefs_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include "settings/value_checks.h"
#include "traffic/traffic_log.h"

TrafficPrefsPage::TrafficPrefsPage(QWidget* parent) : QWidget(parent) {
    MaxEntriesSpin = new QSpinBox;
    MaxEntriesSpin->setRange(kTrafficEntriesRange.low, kTrafficEntriesRange.high);
    MaxEntriesSpin->setSingleStep(100000);
    MaxEntriesSpin->setToolTip("The oldest entries go beyond this many.");

    LogOnBox = new QCheckBox("Log every entry to a file");
    LogPathEdit = new QLineEdit;
    BrowseButton = new QToolButton;
    BrowseButton->setText("...");
    LogFormatBox = new QComboBox;
    LogFormatBox->addItems({"Tab-separated (.tsv)", "JSON Lines (.jsonl)"});
    RotateSpin = new QSpinBox;
    RotateSpin->setRange(kRotateKbRange.low, kRotateKbRange.high);
    RotateSpin->setSuffix(" KiB");
    RotateSpin->setSpecialValueText("never");
    KeepSpin = new QSpinBox;
    KeepSpin->setRange(kRotateKeepRange.low, kRotateKeepRange.high);

    ListMaxSpin = new QSpinBox;
    ListMaxSpin->setRange(kListMaxRange.low, kListMaxRange.high);
    ListMaxSpin->setSingleStep(10000);
    ListMaxSpin->setSpecialValueText("no limit");
    FollowNewestBox = new QCheckBox("Select each new message as it arrives");

    auto* view = new QGroupBox("Traffic view");
    auto* viewForm = new QFormLayout(view);
    viewForm->addRow("Entries kept:", MaxEntriesSpin);

    auto* log = new QGroupBox("Continuous log");
    auto* logForm = new QFormLayout(log);
    logForm->addRow(LogOnBox);
    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(LogPathEdit, 1);
    pathRow->addWidget(BrowseButton);
    logForm->addRow("File:", pathRow);
    logForm->addRow("Format:", LogFormatBox);
    logForm->addRow("Start a new file at:", RotateSpin);
    logForm->addRow("Older files kept:", KeepSpin);

    auto* list = new QGroupBox("Received messages list");
    auto* listForm = new QFormLayout(list);
    listForm->addRow("Messages kept:", ListMaxSpin);
    listForm->addRow(FollowNewestBox);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view);
    layout->addWidget(log);
    layout->addWidget(list);
    layout->addStretch(1);

    connect(BrowseButton, &QToolButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, "Log file", LogPathEdit->text(),
                                                          "Logs (*.tsv *.jsonl);;All files (*)");
        if (!path.isEmpty()) LogPathEdit->setText(path);
    });
    const auto enable = [this](bool on) {
        for (QWidget* w : std::initializer_list<QWidget*>{LogPathEdit, BrowseButton, LogFormatBox,
                                                          RotateSpin, KeepSpin}) {
            w->setEnabled(on);
        }
    };
    connect(LogOnBox, &QCheckBox::toggled, this, enable);
    // A log file holds one format: another format goes to a file named for it, and a name
    // typed with another format's ending shows the file the log really goes to.
    connect(LogFormatBox, &QComboBox::activated, this, [this] { ShowRealLogPath(); });
    connect(LogPathEdit, &QLineEdit::editingFinished, this, [this] { ShowRealLogPath(); });
    Load(TrafficPrefs{});
}

std::string TrafficPrefsPage::RealLogPath() const {
    const std::string path = LogPathEdit->text().trimmed().toStdString();
    if (path.empty()) return path;
    return LogPathFor(path, LogFormatBox->currentIndex() == 1 ? LogFormat::JsonLines : LogFormat::Tsv);
}

void TrafficPrefsPage::ShowRealLogPath() {
    const std::string path = RealLogPath();
    if (!path.empty()) LogPathEdit->setText(QString::fromStdString(path));
}

void TrafficPrefsPage::Load(const TrafficPrefs& prefs) {
    MaxEntriesSpin->setValue(prefs.MaxEntries);
    LogOnBox->setChecked(prefs.LogOn != 0);
    LogPathEdit->setText(QString::fromStdString(prefs.LogPath));  // a file name: UTF-8
    LogFormatBox->setCurrentIndex(prefs.LogFormat == 1 ? 1 : 0);
    RotateSpin->setValue(prefs.RotateKb);
    KeepSpin->setValue(prefs.RotateKeep);
    ListMaxSpin->setValue(prefs.ListMax);
    FollowNewestBox->setChecked(prefs.FollowNewest != 0);
    for (QWidget* w : std::initializer_list<QWidget*>{LogPathEdit, BrowseButton, LogFormatBox,
                                                      RotateSpin, KeepSpin}) {
        w->setEnabled(LogOnBox->isChecked());
    }
}

bool TrafficPrefsPage::Store(TrafficPrefs& prefs, QString& problem) const {
    if (LogOnBox->isChecked() && LogPathEdit->text().trimmed().isEmpty()) {
        problem = "Choose a file for the continuous log, or turn it off.";
        return false;
    }
    prefs.MaxEntries = MaxEntriesSpin->value();
    prefs.LogOn = LogOnBox->isChecked() ? 1 : 0;
    prefs.LogPath = RealLogPath();
    prefs.LogFormat = LogFormatBox->currentIndex();
    prefs.RotateKb = RotateSpin->value();
    prefs.RotateKeep = KeepSpin->value();
    prefs.ListMax = ListMaxSpin->value();
    prefs.FollowNewest = FollowNewestBox->isChecked() ? 1 : 0;
    return true;
}
