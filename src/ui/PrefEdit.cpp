#include "ui/PrefEdit.h"

#include "settings/link_kind.h"
#include "settings/names.h"
#include "settings/proxy_side.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>
#include <limits>

#include "settings/preferences.h"
#include "ui/dialog_parts.h"
#include "ui/latin1.h"
#include "ui/line_faults_page.h"
#include "ui/proxy_faults_page.h"
#include "ui/message_boxes.h"
#include "ui/reply_faults_dialog.h"
#include "ui/traffic_prefs_page.h"
#include "text/integer.h"

namespace {

QComboBox* FixedList(QWidget* parent, const char* name, const QStringList& entries) {
    auto* combo = Named(new QComboBox(parent), name);
    combo->addItems(entries);
    return combo;
}

// The texts of one of the settings' tables.
template <class T, std::size_t N>
QStringList Texts(const T (&table)[N]) {
    QStringList texts;
    for (const T& entry : table) {
        if constexpr (std::is_same_v<T, int>) {
            texts << QString::number(entry);
        } else {
            texts << QString::fromLatin1(entry);
        }
    }
    return texts;
}

QLineEdit* Edit(QWidget* parent, const char* name) { return Named(new QLineEdit(parent), name); }

QGroupBox* Group(QWidget* parent, const char* name, const char* caption) {
    return Named(new QGroupBox(QString::fromLatin1(caption), parent), name);
}

// An index outside the list selects nothing.
void SelectIndex(QComboBox* combo, std::int32_t index) {
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
}

// A signed decimal integer of 32 bits; false for anything else, an empty text included.
bool ToInteger(const QString& text, std::int32_t& value) {
    const std::optional<std::int32_t> parsed = ParseInteger(text.toStdString());
    if (parsed) value = *parsed;
    return parsed.has_value();
}

QTableWidgetItem* Cell(const QString& text, bool editable) {
    auto* item = new QTableWidgetItem(text);
    if (!editable) item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

}  // namespace

const QStringList& TPreferencesForm::ActionNames() {
    static const QStringList names = Texts(kReplyActionNames);
    return names;
}

TPreferencesForm::TPreferencesForm(Preferences& prefs, QWidget* parent)
    : QDialog(parent), prefs_(prefs) {
    setObjectName("PreferencesForm");
    setWindowTitle("Preferences");
    FixedFrame(this, {709, 452});

    PageControl = Named(new QTabWidget(this), "PageControl");

    // Communications
    CommPortTabSheet = Named(new QWidget, "CommPortTabSheet");
    PageControl->addTab(CommPortTabSheet, "Communications");

    TypeRadioGroup = Group(CommPortTabSheet, "TypeRadioGroup", "Communications Interface Type");
    TypeButtons = new QButtonGroup(TypeRadioGroup);
    auto* typeLayout = new QVBoxLayout(TypeRadioGroup);
    for (const LinkKindInfo& kind : LinkKinds()) {
        auto* button = new QRadioButton(QString::fromLatin1(kind.displayName), TypeRadioGroup);
        TypeButtons->addButton(button, SettingsValue(kind.kind));
        typeLayout->addWidget(button);
    }
    connect(TypeButtons, &QButtonGroup::idToggled, this, [this](int type, bool checked) {
        if (checked) TypeRadioGroupClick(type);
    });

    SerialSettingsGroupBox = Group(CommPortTabSheet, "SerialSettingsGroupBox", "Serial Port Settings");
    CommPortComboBox = Named(new QComboBox(SerialSettingsGroupBox), "CommPortComboBox");
    // Pseudo-terminals and other virtual ports are listed nowhere, so a path can be typed.
    CommPortComboBox->setEditable(true);
    CommPortComboBox->setInsertPolicy(QComboBox::NoInsert);
    CommPortComboBox->setMinimumContentsLength(16);
    CommPortComboBox->setToolTip("A serial port, or for a virtual serial port the path host software opens "
                                 "(say ~/ttyVSIM0); the line settings below pace it.");
    CommBaudComboBox = FixedList(SerialSettingsGroupBox, "CommBaudComboBox", Texts(kBaudRates));
    CommBitsComboBox = FixedList(SerialSettingsGroupBox, "CommBitsComboBox", Texts(kDataBits));
    CommStopComboBox = FixedList(SerialSettingsGroupBox, "CommStopComboBox", Texts(kStopBits));
    CommParityComboBox =
        FixedList(SerialSettingsGroupBox, "CommParityComboBox", Texts(kParityNames));
    auto* serialLayout = new QFormLayout(SerialSettingsGroupBox);
    serialLayout->addRow("Port", CommPortComboBox);
    serialLayout->addRow("Baud Rate", CommBaudComboBox);
    serialLayout->addRow("Data Bits", CommBitsComboBox);
    serialLayout->addRow("Stop Bits", CommStopComboBox);
    serialLayout->addRow("Parity", CommParityComboBox);

    TCPIPClientGroupBox = Group(CommPortTabSheet, "TCPIPClientGroupBox", "TCP/IP Client Settings");
    ClientAddressEdit = Edit(TCPIPClientGroupBox, "ClientAddressEdit");
    ClientPortEdit = Edit(TCPIPClientGroupBox, "ClientPortEdit");
    ClientReconnectCheck = Named(new QCheckBox("Reconnect automatically", TCPIPClientGroupBox),
                                 "ClientReconnectCheck");
    ClientReconnectCheck->setToolTip("After a failed or lost connection, try again after 1 s, then 2 s, "
                                     "4 s and so on, at most every 30 s.");
    auto* clientLayout = new QFormLayout(TCPIPClientGroupBox);
    clientLayout->addRow(new QLabel("Connect to...", TCPIPClientGroupBox));
    clientLayout->addRow("Address", ClientAddressEdit);
    clientLayout->addRow("Port", ClientPortEdit);
    clientLayout->addRow(ClientReconnectCheck);

    TCPIPServerGroupBox = Group(CommPortTabSheet, "TCPIPServerGroupBox", "TCP/IP Server Settings");
    ServerPortEdit = Edit(TCPIPServerGroupBox, "ServerPortEdit");
    auto* serverLayout = new QFormLayout(TCPIPServerGroupBox);
    serverLayout->addRow(new QLabel("Accept connections on...", TCPIPServerGroupBox));
    serverLayout->addRow("Port", ServerPortEdit);

    ProxyGroupBox = Group(CommPortTabSheet, "ProxyGroupBox", "Proxy Settings");
    ProxyAEdit = Edit(ProxyGroupBox, "ProxyAEdit");
    ProxyBEdit = Edit(ProxyGroupBox, "ProxyBEdit");
    const QString sideTip =
        "serial:PATH[:BAUD], tcp-client:HOST:PORT, tcp-server:[ADDRESS:]PORT or pty:PATH[:BAUD]. A serial or "
        "virtual side takes the data bits, stop bits and parity above; a TCP client side connects again by "
        "itself.";
    ProxyAEdit->setToolTip("Side A (the host, say): " + sideTip);
    ProxyBEdit->setToolTip("Side B (the device, say): " + sideTip);
    ProxySendToCombo = FixedList(ProxyGroupBox, "ProxySendToCombo", {"Side A", "Side B"});
    ProxySendToCombo->setToolTip("Where the send rows' messages go; that side's next ACK or NAK of their type answers them.");
    auto* proxyLayout = new QFormLayout(ProxyGroupBox);
    proxyLayout->addRow("Side &A", ProxyAEdit);
    proxyLayout->addRow("Side &B", ProxyBEdit);
    proxyLayout->addRow("Send rows to", ProxySendToCombo);

    auto* leftColumn = new QVBoxLayout;
    leftColumn->addWidget(TypeRadioGroup);
    leftColumn->addWidget(SerialSettingsGroupBox);
    leftColumn->addStretch();
    auto* rightColumn = new QVBoxLayout;
    rightColumn->addWidget(TCPIPClientGroupBox);
    rightColumn->addWidget(TCPIPServerGroupBox);
    rightColumn->addWidget(ProxyGroupBox);
    rightColumn->addStretch();
    auto* commLayout = new QHBoxLayout(CommPortTabSheet);
    commLayout->addLayout(leftColumn);
    commLayout->addLayout(rightColumn);

    // Reply Actions
    ReplyTabSheet = Named(new QWidget, "ReplyTabSheet");
    PageControl->addTab(ReplyTabSheet, "Reply Actions");
    TrafficPage = Named(new TrafficPrefsPage, "TrafficPage");
    PageControl->addTab(TrafficPage, "Traffic && Logging");
    LineFaultsTab = Named(new LineFaultsPage, "LineFaultsPage");
    PageControl->addTab(LineFaultsTab, "Line faults");
    LineFaultsBTab = Named(new LineFaultsPage(nullptr, "B"), "LineFaultsBPage");
    PageControl->addTab(LineFaultsBTab, "Line faults B");
    ProxyFaultsTab = Named(new ProxyFaultsPage, "ProxyFaultsPage");
    PageControl->addTab(ProxyFaultsTab, "Proxy faults");
    ReplyStringGrid = Named(new QTableWidget(kReplySlots, 3, ReplyTabSheet), "ReplyStringGrid");
    ReplyStringGrid->setHorizontalHeaderLabels({"Type", "Reply Text", "Action"});
    ReplyStringGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    // The cell editor opens as soon as a cell becomes current.
    ReplyStringGrid->setEditTriggers(QAbstractItemView::AllEditTriggers);
    ReplyStringGrid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ReplyStringGrid->verticalHeader()->setFixedWidth(50);
    ReplyStringGrid->verticalHeader()->setDefaultAlignment(Qt::AlignCenter);
    auto* columns = ReplyStringGrid->horizontalHeader();
    columns->setSectionResizeMode(kTypeColumn, QHeaderView::Fixed);
    columns->setSectionResizeMode(kTextColumn, QHeaderView::Stretch);
    columns->setSectionResizeMode(kActionColumn, QHeaderView::Fixed);
    ReplyStringGrid->setColumnWidth(kTypeColumn, 45);
    ReplyStringGrid->setColumnWidth(kActionColumn, 100);
    ReplyStringGrid->installEventFilter(this);
    connect(ReplyStringGrid, &QTableWidget::currentCellChanged, this,
            [this](int row, int column) { ReplyStringGridSelectCell(column, row); });
    // A click on the current Action cell, after its drop-down went, opens it again.
    connect(ReplyStringGrid, &QTableWidget::cellClicked, this, [this](int row, int column) {
        if (column == kActionColumn && !actionCombo_) OpenActionDropDown(row);
    });
    connect(ReplyStringGrid, &QTableWidget::currentCellChanged, this, [this] { ShowFaultsSummary(); });
    FaultsButton = Named(new QPushButton("&Faults...", ReplyTabSheet), "FaultsButton");
    FaultsButton->setToolTip("Delays, silence, split and repeated answers, noise and dropped links for the current row.");
    connect(FaultsButton, &QPushButton::clicked, this, [this] { FaultsButtonClick(); });
    FaultsSummaryLabel = Named(new QLabel(ReplyTabSheet), "FaultsSummaryLabel");
    FaultSeedSpin = Named(new QSpinBox(ReplyTabSheet), "FaultSeedSpin");
    FaultSeedSpin->setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    FaultSeedSpin->setToolTip("The same seed repeats the same faults in the same order.");
    auto* seedLabel = new QLabel("S&eed", ReplyTabSheet);
    seedLabel->setBuddy(FaultSeedSpin);
    auto* faultsLine = new QHBoxLayout;
    faultsLine->addWidget(FaultsButton);
    faultsLine->addWidget(FaultsSummaryLabel, 1);
    faultsLine->addWidget(seedLabel);
    faultsLine->addWidget(FaultSeedSpin);
    auto* replyLayout = new QVBoxLayout(ReplyTabSheet);
    replyLayout->addWidget(ReplyStringGrid);
    replyLayout->addLayout(faultsLine);
    EditFaults = [this](int row, ReplyFaults& faults) {
        TReplyFaultsForm form(this);
        form.SetFaults(row, faults);
        if (form.exec() != QDialog::Accepted) return false;
        faults = form.Faults();
        return true;
    };

    OkButton = Named(new QPushButton("OK", this), "OkButton");
    OkButton->setDefault(true);
    CancelButton = Named(new QPushButton("Cancel", this), "CancelButton");
    connect(OkButton, &QPushButton::clicked, this, &TPreferencesForm::OkButtonClick);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl);
    layout->addLayout(ButtonRow({OkButton, CancelButton}));

    PageControl->setCurrentWidget(CommPortTabSheet);
}

QComboBox* TPreferencesForm::ActionComboBox() const { return actionCombo_; }

void TPreferencesForm::ShowCommunicationsPage() { PageControl->setCurrentWidget(CommPortTabSheet); }

void TPreferencesForm::ShowReplyActionsPage() { PageControl->setCurrentWidget(ReplyTabSheet); }

bool TPreferencesForm::Execute(const Apply& apply) {
    ApplySettings = apply;
    return exec() == QDialog::Accepted;
}

void TPreferencesForm::showEvent(QShowEvent* event) {
    // A window coming back from the task bar is not a new showing.
    if (!event->spontaneous()) FormShow();
    QDialog::showEvent(event);
}

void TPreferencesForm::FormShow() {
    DropActionDropDown();
    comm_ = prefs_.Get_comm_prefs();
    TrafficPage->Load(prefs_.Get_traffic_prefs());
    LineFaultsTab->Load(prefs_.Get_line_faults());
    LineFaultsBTab->Load(prefs_.Get_line_faults(1));
    ProxyFaultsTab->Load(prefs_.Get_proxy_faults());

    if (QAbstractButton* button = TypeButtons->button(comm_.Type)) {
        button->setChecked(true);
    } else if (QAbstractButton* checked = TypeButtons->checkedButton()) {
        TypeButtons->setExclusive(false);  // the only way to clear an exclusive group
        checked->setChecked(false);
        TypeButtons->setExclusive(true);
    }
    FillPortList(comm_.Port);
    SelectIndex(CommBaudComboBox, comm_.Baud);
    SelectIndex(CommBitsComboBox, comm_.Bits);
    SelectIndex(CommStopComboBox, comm_.Stop);
    SelectIndex(CommParityComboBox, comm_.Parity);
    ClientAddressEdit->setText(ToQString(comm_.RemoteIp));
    ClientPortEdit->setText(QString::number(comm_.RemotePort));
    ClientReconnectCheck->setChecked(comm_.AutoReconnect != 0);
    ServerPortEdit->setText(QString::number(comm_.LocalPort));
    ProxyAEdit->setText(ToQString(comm_.ProxyA));
    ProxyBEdit->setText(ToQString(comm_.ProxyB));
    SelectIndex(ProxySendToCombo, comm_.ProxyInject);
    TypeRadioGroupClick(comm_.Type);

    FaultSeedSpin->setValue(prefs_.Get_fault_seed());
    for (int slot = 0; slot < kReplySlots; ++slot) {
        const ReplyPrefs reply = prefs_.Get_reply_prefs(slot);
        faults_[static_cast<std::size_t>(slot)] = reply.Faults;
        ReplyStringGrid->setItem(slot, kTypeColumn, Cell(ToQString(reply.Type), true));
        ReplyStringGrid->setItem(slot, kTextColumn, Cell(ToQString(reply.Msg), true));
        // An Action outside the list (a hand-edited file) shows as no action.
        const QString action = reply.Action >= 0 && reply.Action < ActionNames().size()
                                   ? ActionNames().at(reply.Action)
                                   : QString();
        ReplyStringGrid->setItem(slot, kActionColumn, Cell(action, false));
    }
    ShowFaultsSummary();
    // Start on the page in front, not on the button the last showing ended with (Enter
    // there would repeat it).
    if (PageControl->currentWidget() == ReplyTabSheet)
        ReplyStringGrid->setFocus();
    else if (QAbstractButton* type = TypeButtons->checkedButton())
        type->setFocus();
    else
        TypeButtons->button(0)->setFocus();
}

void TPreferencesForm::FillPortList(const std::string& port) {
    QStringList entries;
    for (const std::string& name : ListSerialPorts(portPlaces_)) entries << ToQString(name);
    const QString wanted = ToQString(port);

    int selected = -1;
    for (int i = 0; i < entries.size() && selected < 0; ++i)
        if (entries[i].compare(wanted, Qt::CaseInsensitive) == 0) selected = i;
    // "COM1" and "ttyS0", or a by-id link and its ttyUSB device, name the same port.
    const std::string device = ResolvePortDevice(port, portPlaces_);
    for (int i = 0; i < entries.size() && selected < 0 && !device.empty(); ++i)
        if (ResolvePortDevice(ToBytes(entries[i]), portPlaces_) == device) selected = i;
    // A typed pseudo-terminal is listed nowhere; while it exists it stays on offer. The path of
    // a virtual serial port exists only while the simulator serves it.
    if (selected < 0 && (IsUnlistedTerminal(port, portPlaces_) || (LinkCan(comm_).makesPort && !port.empty()))) {
        entries << wanted;
        selected = static_cast<int>(entries.size()) - 1;
    }
    entries << QString();

    CommPortComboBox->clear();
    CommPortComboBox->addItems(entries);
    CommPortComboBox->setCurrentIndex(selected);
    shownPortIndex_ = selected;
    shownPortText_ = CommPortComboBox->currentText();
}

// The stored spelling stays unless another port was chosen: "COM1" shown as its device
// ttyS0, a port that is not there now, or another name of the same device is still the
// stored text after OK, so that an OK without changes changes no setting and leaves the
// link open.
std::string TPreferencesForm::ChosenPort() const {
    const QString chosen = CommPortComboBox->currentText();
    if (CommPortComboBox->currentIndex() == shownPortIndex_ && chosen == shownPortText_)
        return comm_.Port;
    const std::string device = ResolvePortDevice(ToBytes(chosen), portPlaces_);
    if (!device.empty() && device == ResolvePortDevice(comm_.Port, portPlaces_)) return comm_.Port;
    return ToBytes(chosen);
}

void TPreferencesForm::TypeRadioGroupClick(int type) {
    // Each box holds settings of its own; it is there for the kinds that read them (a proxy's
    // serial sides take their line settings from the serial box).
    const auto kind = LinkKindFromSettings(type);
    const auto reads = [&kind](const char* key) { return kind && LinkKindOf(*kind).Reads(key); };
    SerialSettingsGroupBox->setEnabled(reads("Baud"));
    TCPIPClientGroupBox->setEnabled(reads("RemoteIp"));
    TCPIPServerGroupBox->setEnabled(reads("LocalPort"));
    ProxyGroupBox->setEnabled(reads("ProxyA"));
    const bool proxy = kind && LinkKindOf(*kind).can.proxy;
    PageControl->setTabText(PageControl->indexOf(LineFaultsTab), proxy ? "Line faults A" : "Line faults");
    PageControl->setTabVisible(PageControl->indexOf(LineFaultsBTab), proxy);
    PageControl->setTabVisible(PageControl->indexOf(ProxyFaultsTab), proxy);
}

void TPreferencesForm::ReplyStringGridSelectCell(int column, int row) {
    DropActionDropDown();
    if (column == kActionColumn && row >= 0) OpenActionDropDown(row);
}

void TPreferencesForm::OpenActionDropDown(int row) {
    DropActionDropDown();
    auto* combo = Named(new QComboBox, "ActionComboBox");
    combo->addItems(ActionNames());
    const QTableWidgetItem* cell = ReplyStringGrid->item(row, kActionColumn);
    combo->setCurrentIndex(cell ? ActionNames().indexOf(cell->text()) : -1);
    actionBefore_ = cell ? cell->text() : QString();
    actionCombo_ = combo;
    actionRow_ = row;
    // The cell follows every choice at once, so no way of leaving the drop-down (a click
    // elsewhere, Tab, OK by keyboard) can lose it.
    connect(combo, &QComboBox::currentIndexChanged, this, [this, combo, row](int index) {
        if (index < 0) return;
        if (QTableWidgetItem* item = ReplyStringGrid->item(row, kActionColumn))
            item->setText(combo->itemText(index));
    });
    // A choice made in the list (Enter, a click) is the user's answer: Esc afterwards closes
    // the drop-down and keeps it. Stepping through with the list closed is not, until Enter.
    connect(combo, &QComboBox::activated, this, [this, combo](int index) {
        if (actionListChoosing_ && index >= 0) actionBefore_ = combo->itemText(index);
    });
    // The list first: making it sends the drop-down events this filter must not see yet.
    actionList_ = combo->view();
    actionList_->installEventFilter(this);
    actionList_->viewport()->installEventFilter(this);
    combo->installEventFilter(this);
    ReplyStringGrid->setCellWidget(row, kActionColumn, combo);
    combo->setFocus(Qt::OtherFocusReason);
}

// Opening the drop-down's own list takes the focus too; that is not leaving it. The reason
// the focus moves with differs between Qt versions (the popup reason, or another one when
// the list window is activated), so the list itself is asked: it is open, or the focus went
// into it.
bool TPreferencesForm::ActionListHasFocus() const {
    if (!actionCombo_) return false;
    QWidget* list = actionCombo_->view()->window();
    if (list == window()) return false;  // no list window yet
    const QWidget* focus = QApplication::focusWidget();
    return list->isVisible() || (focus && (focus == list || list->isAncestorOf(focus)));
}

void TPreferencesForm::DropActionDropDown() {
    if (!actionCombo_) return;
    QComboBox* combo = actionCombo_;
    actionCombo_ = nullptr;
    combo->removeEventFilter(this);
    actionList_->removeEventFilter(this);
    actionList_->viewport()->removeEventFilter(this);
    actionList_ = nullptr;
    // Hiding the focused drop-down would pass the focus on to the next control.
    if (combo->hasFocus()) ReplyStringGrid->setFocus(Qt::OtherFocusReason);
    combo->hide();
    // The view deletes it later, so this is safe from inside the drop-down's own events.
    ReplyStringGrid->removeCellWidget(actionRow_, kActionColumn);
    actionRow_ = -1;
}

bool TPreferencesForm::eventFilter(QObject* watched, QEvent* event) {
    if (actionList_ != nullptr && (watched == actionList_ || watched == actionList_->viewport())) {
        // The list picks its entry while it handles this event, after this filter; the mark
        // lasts just that long (a release that only ends the opening click picks nothing).
        // The list takes Enter when it is offered as a shortcut, before the key press.
        const bool enter = (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) &&
                           (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Return ||
                            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Enter);
        if (enter || event->type() == QEvent::MouseButtonRelease) {
            actionListChoosing_ = true;
            QTimer::singleShot(0, this, [this] { actionListChoosing_ = false; });
        }
        return QDialog::eventFilter(watched, event);
    }
    if (watched == actionCombo_ && event->type() == QEvent::FocusOut) {
        if (!ActionListHasFocus()) DropActionDropDown();
    } else if (watched == actionCombo_ && event->type() == QEvent::KeyPress) {
        // With its list closed, Esc and Enter are the drop-down's, not the dialog's: Esc puts
        // the cell back as it was, Enter keeps the choice; either closes only the drop-down.
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (key == Qt::Key_Escape) {
                if (QTableWidgetItem* item = ReplyStringGrid->item(actionRow_, kActionColumn))
                    item->setText(actionBefore_);
            }
            DropActionDropDown();
            return true;
        }
    } else if (watched == ReplyStringGrid && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            // Enter finishes a cell (or opens the Action drop-down); it must not end the
            // dialog through the default button.
            if (ReplyStringGrid->currentColumn() == kActionColumn && !actionCombo_)
                OpenActionDropDown(ReplyStringGrid->currentRow());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TPreferencesForm::OkButtonClick() {
    // A cell still being edited hands its text to the table first.
    if (QWidget* focus = QApplication::focusWidget();
        focus && ReplyStringGrid->viewport()->isAncestorOf(focus))
        focus->clearFocus();

    Prefs chosen = prefs_.Get_prefs();
    if (QString problem; !TrafficPage->Store(chosen.Traffic, problem)) {
        MessageBoxes::Instance().Error(this, problem);
        PageControl->setCurrentWidget(TrafficPage);
        return;
    }
    for (auto [page, faults] : {std::pair{LineFaultsTab, &chosen.Line}, std::pair{LineFaultsBTab, &chosen.LineB}}) {
        if (QString problem; !page->Store(*faults, problem)) {
            MessageBoxes::Instance().Error(this, problem);
            PageControl->setCurrentWidget(page);
            return;
        }
    }

    CommPrefs& comm = chosen.Comm;
    comm = comm_;
    comm.Type = TypeButtons->checkedId();
    comm.Port = ChosenPort();
    comm.Baud = CommBaudComboBox->currentIndex();
    comm.Bits = CommBitsComboBox->currentIndex();
    comm.Stop = CommStopComboBox->currentIndex();
    comm.Parity = CommParityComboBox->currentIndex();
    comm.RemoteIp = ToBytes(ClientAddressEdit->text());
    comm.AutoReconnect = ClientReconnectCheck->isChecked() ? 1 : 0;
    comm.ProxyA = ToBytes(ProxyAEdit->text().trimmed());
    comm.ProxyB = ToBytes(ProxyBEdit->text().trimmed());
    comm.ProxyInject = ProxySendToCombo->currentIndex();
    for (auto [edit, field] : {std::pair{ClientPortEdit, &comm.RemotePort},
                               std::pair{ServerPortEdit, &comm.LocalPort}}) {
        if (!ToInteger(edit->text(), *field)) {
            MessageBoxes::Instance().Error(
                this, QString("'%1' is not a valid integer value").arg(edit->text()));
            edit->setFocus();
            return;
        }
    }

    for (int slot = 0; slot < kReplySlots; ++slot) {
        ReplyPrefs& reply = chosen.Reply[static_cast<std::size_t>(slot)];
        auto text = [this, slot](int column) {
            const QTableWidgetItem* item = ReplyStringGrid->item(slot, column);
            return item ? item->text() : QString();
        };
        reply.Type = ToBytes(text(kTypeColumn));
        reply.Msg = ToBytes(text(kTextColumn));
        reply.Action = -1;
        for (int action = 0; action < ActionNames().size(); ++action)
            if (ActionNames().at(action).compare(text(kActionColumn), Qt::CaseInsensitive) == 0)
                reply.Action = action;
        reply.Faults = faults_[static_cast<std::size_t>(slot)];
    }
    chosen.FaultSeed = FaultSeedSpin->value();
    chosen.Proxy = ProxyFaultsTab->Store();

    const std::vector<SettingRefusal> refused = ApplySettings ? ApplySettings(chosen) : std::vector<SettingRefusal>{};
    if (!refused.empty()) {
        ShowRefusals(refused);
        return;
    }
    comm_ = chosen.Comm;
    accept();
}

void TPreferencesForm::ShowRefusals(const std::vector<SettingRefusal>& refused) {
    QStringList messages;
    for (const SettingRefusal& refusal : refused) messages << ToQString(refusal.message);
    MessageBoxes::Instance().Error(this, messages.join('\n'));
    // The first refused setting is put in front, its field focused where it has one.
    const std::string& field = refused.front().field;
    const auto is = [&field](const char* prefix) { return field.rfind(prefix, 0) == 0; };
    if (is("Comm.")) {
        PageControl->setCurrentWidget(CommPortTabSheet);
        if (field == "Comm.ProxyA") ProxyAEdit->setFocus();
        if (field == "Comm.ProxyB") ProxyBEdit->setFocus();
        if (field == "Comm.Port") CommPortComboBox->setFocus();
    } else if (is("Reply.")) {
        PageControl->setCurrentWidget(ReplyTabSheet);
    } else if (is("Traffic.")) {
        PageControl->setCurrentWidget(TrafficPage);
    } else if (is("LineFaultsB.")) {
        PageControl->setCurrentWidget(LineFaultsBTab);
    } else if (is("LineFaults.")) {
        PageControl->setCurrentWidget(LineFaultsTab);
    } else if (is("ProxyFaults")) {
        PageControl->setCurrentWidget(ProxyFaultsTab);
    }
}

void TPreferencesForm::FaultsButtonClick() {
    const int row = std::max(0, ReplyStringGrid->currentRow());
    ReplyFaults faults = faults_[static_cast<std::size_t>(row)];
    if (EditFaults && EditFaults(row, faults)) faults_[static_cast<std::size_t>(row)] = faults;
    ShowFaultsSummary();
}

void TPreferencesForm::ShowFaultsSummary() {
    const int row = std::max(0, ReplyStringGrid->currentRow());
    const QString summary = FaultsSummary(faults_[static_cast<std::size_t>(row)]);
    FaultsSummaryLabel->setText(QStringLiteral("Row %1: %2").arg(row + 1).arg(summary.isEmpty() ? "no faults" : summary));
}
