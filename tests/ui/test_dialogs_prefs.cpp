#include "ui/PrefEdit.h"

#include <QtTest>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>

#include <memory>
#include <pty.h>
#include <unistd.h>

#include "app/app_core.h"
#include "dialogs_support.h"
#include "settings/preferences.h"
#include "support/reply_fault_values.h"
#include "ui/application.h"
#include "ui/latin1.h"
#include "ui/line_faults_page.h"
#include "ui/proxy_faults_page.h"
#include "ui/reply_faults_dialog.h"
#include "ui/qt_scheduler.h"
#include "ui/serial_ports.h"

namespace {

struct Pty {
    int master = -1, slave = -1;
    char name[128] = {};
    Pty() { openpty(&master, &slave, name, nullptr, nullptr); }
    ~Pty() { Close(); }
    void Close() {
        if (slave >= 0) ::close(slave);
        if (master >= 0) ::close(master);
        slave = master = -1;
    }
};

QStringList Entries(const QComboBox* combo) {
    QStringList entries;
    for (int i = 0; i < combo->count(); ++i) entries << combo->itemText(i);
    return entries;
}

}  // namespace

class PreferencesDialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Preferences> prefs_;
    std::unique_ptr<QtScheduler> scheduler_;
    std::unique_ptr<AppCore> core_;  // what OK hands the settings to, as in the window
    std::unique_ptr<FakeMachine> machine_;
    std::unique_ptr<TPreferencesForm> form_;

    QString CellText(int row, int column) const {
        const QTableWidgetItem* item = form_->ReplyStringGrid->item(row, column);
        return item ? item->text() : QString("<none>");
    }
    void ClickCell(int row, int column) {
        QTableWidget* grid = form_->ReplyStringGrid;
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                          grid->visualItemRect(grid->item(row, column)).center());
    }
    void Show() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        prefs_ = std::make_unique<Preferences>((dir_->path() + "/ZentrelConfig.ini").toStdString());
        for (int slot = 0; slot < kReplySlots; ++slot)
            prefs_->Set_reply_prefs(slot, {std::string(1, char('a' + slot)), "re", slot % 4, 7, {}});
        scheduler_ = std::make_unique<QtScheduler>(QCoreApplication::instance());
        AppCore::Options options;
        options.runLink = false;
        core_ = std::make_unique<AppCore>(*prefs_, *scheduler_, options);
        machine_ = std::make_unique<FakeMachine>();
        form_ = std::make_unique<TPreferencesForm>(*prefs_);
        form_->SetPortPlaces(machine_->places);
        form_->ApplySettings = Apply();
    }
    void cleanup() {
        form_.reset();
        machine_.reset();
        core_.reset();
        scheduler_.reset();
        prefs_.reset();
    }
    PreferencesDialog::Apply Apply() {
        return [this](const Prefs& chosen) { return core_->ApplyPreferences(chosen); };
    }

    void portListHoldsRealPortsThenLinksThenTheEmptyEntry() {
        QStringList ports;
        for (const std::string& port : ListSerialPorts(machine_->places)) ports << ToQString(port);
        QCOMPARE(ports,
                 QStringList({"ttyS1", "ttyS10", "ttyUSB0", machine_->ById()}));

        Show();
        QCOMPARE(Entries(form_->CommPortComboBox),
                 QStringList({"ttyS1", "ttyS10", "ttyUSB0", machine_->ById(), ""}));
    }

    // The list shows the stored port by its name or by the device it names; OK keeps the
    // stored spelling unless another port was chosen, so an OK without changes changes no
    // setting (and does not reopen the link).
    void portIsShownByNameOrDeviceAndKeptUnlessAnotherIsChosen_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("choose");  // entry chosen before OK; -1 leaves the list alone
        QTest::addColumn<QString>("afterOk");
        // The entries: ttyS1, ttyS10, ttyUSB0, the by-id link of ttyUSB0, the empty one.
        QTest::newRow("case ignored") << "TTYUSB0"
                                      << "ttyUSB0" << -1 << "TTYUSB0";
        QTest::newRow("COM2 is ttyS1") << "COM2"
                                       << "ttyS1" << -1 << "COM2";
        QTest::newRow("ttyS1 chosen again") << "COM2"
                                            << "ttyS1" << 0 << "COM2";
        QTest::newRow("by-id link of the same device") << "ttyUSB0"
                                                       << "ttyUSB0" << 3 << "ttyUSB0";
        QTest::newRow("another port") << "COM2"
                                      << "ttyS1" << 1 << "ttyS10";
        QTest::newRow("empty slot COM1") << "COM1"
                                         << "" << -1 << "COM1";
        QTest::newRow("gone") << "ttyUSB7"
                              << "" << -1 << "ttyUSB7";
        QTest::newRow("gone, empty entry chosen") << "ttyUSB7"
                                                  << "" << 4 << "";
        QTest::newRow("by-id link, ttyUSB0 chosen") << "BYID"
                                                    << "BYID" << 2 << "BYID";
    }
    void portIsShownByNameOrDeviceAndKeptUnlessAnotherIsChosen() {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QFETCH(int, choose);
        QFETCH(QString, afterOk);
        for (QString* text : {&stored, &shown, &afterOk}) text->replace("BYID", machine_->ById());
        CommPrefs comm = prefs_->Get_comm_prefs();
        comm.Port = ToBytes(stored);
        prefs_->Set_comm_prefs(comm);
        Show();
        QCOMPARE(form_->CommPortComboBox->currentText(), shown);
        QCOMPARE(form_->CommPortComboBox->currentIndex() >= 0, !shown.isEmpty());
        if (choose >= 0) form_->CommPortComboBox->setCurrentIndex(choose);
        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        QCOMPARE(form_->result(), int(QDialog::Accepted));
        QCOMPARE(ToQString(prefs_->Get_comm_prefs().Port), afterOk);
    }

    void aMachineWithoutPortsOffersOnlyTheEmptyEntry() {
        form_->SetPortPlaces({"/nonexistent/sys", "/nonexistent/dev", "/nonexistent/by-id"});
        Show();
        QCOMPARE(Entries(form_->CommPortComboBox), QStringList({""}));
        QCOMPARE(form_->CommPortComboBox->currentIndex(), -1);
        form_->OkButton->click();
        QCOMPARE(prefs_->Get_comm_prefs().Port, std::string("COM1"));  // untouched
        Show();
        form_->CommPortComboBox->setCurrentIndex(0);
        form_->OkButton->click();
        QCOMPARE(prefs_->Get_comm_prefs().Port, std::string());
    }

    void aTypedPseudoTerminalStaysOnOfferWhileItExists() {
        auto pty = std::make_unique<Pty>();
        QVERIFY(pty->master >= 0);
        Show();
        form_->CommPortComboBox->setFocus();
        form_->CommPortComboBox->lineEdit()->selectAll();
        QTest::keyClicks(form_->CommPortComboBox, pty->name);
        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        QCOMPARE(prefs_->Get_comm_prefs().Port, std::string(pty->name));

        Show();
        QCOMPARE(form_->CommPortComboBox->currentText(), QString(pty->name));
        QCOMPARE(Entries(form_->CommPortComboBox).last(), QString());
        form_->reject();

        pty.reset();  // the terminal is gone
        Show();
        QCOMPARE(form_->CommPortComboBox->currentIndex(), -1);
        QCOMPARE(Entries(form_->CommPortComboBox).size(), 5);
    }

    void interfaceTypeEnablesOnlyItsGroupAndKeepsTheOthers() {
        CommPrefs comm = prefs_->Get_comm_prefs();
        comm.Type = 2;
        prefs_->Set_comm_prefs(comm);
        Show();
        QVERIFY(form_->TypeButtons->button(2)->isChecked());
        QVERIFY(!form_->SerialSettingsGroupBox->isEnabled());
        QVERIFY(!form_->TCPIPClientGroupBox->isEnabled());
        QVERIFY(form_->TCPIPServerGroupBox->isEnabled());
        QVERIFY(form_->SerialSettingsGroupBox->isVisible());

        ClickRadio(form_->TypeButtons->button(0));
        QVERIFY(form_->SerialSettingsGroupBox->isEnabled());
        QVERIFY(!form_->TCPIPServerGroupBox->isEnabled());
        form_->CommBaudComboBox->setCurrentIndex(4);
        form_->CommParityComboBox->setCurrentIndex(0);
        ClickRadio(form_->TypeButtons->button(1));
        QVERIFY(!form_->SerialSettingsGroupBox->isEnabled());
        QVERIFY(form_->TCPIPClientGroupBox->isEnabled());

        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        const CommPrefs stored = prefs_->Get_comm_prefs();
        QCOMPARE(stored.Type, 1);
        QCOMPARE(stored.Baud, 4);
        QCOMPARE(stored.Parity, 0);
        QCOMPARE(stored.Flags, comm.Flags);
    }

    // The virtual serial port takes the serial group (a typed path and the line that paces
    // it); the Line faults page stores its values with OK, and a seed that is not a number
    // keeps the dialog open with nothing stored.
    void virtualPortAndLineFaultsAreStoredWithOk() {
        RecordingBoxes boxes;
        Show();
        ClickRadio(form_->TypeButtons->button(3));
        QVERIFY(form_->SerialSettingsGroupBox->isEnabled());
        QVERIFY(!form_->TCPIPClientGroupBox->isEnabled() && !form_->TCPIPServerGroupBox->isEnabled());
        form_->CommPortComboBox->setEditText("/tmp/ttyVSIM0");
        form_->CommBaudComboBox->setCurrentIndex(0);
        auto* slices = form_->findChild<QSpinBox*>("sliceBytesSpin");
        auto* seed = form_->findChild<QLineEdit*>("corruptSeedEdit");
        QVERIFY(slices != nullptr && seed != nullptr);
        QCOMPARE(slices->maximum(), LineFaultLimit::kMaxSliceBytes);
        slices->setValue(3);
        seed->setText("");
        const Prefs before = prefs_->Get_prefs();
        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        QCOMPARE(boxes.errors.size(), 1);
        QVERIFY(form_->isVisible());
        QVERIFY(prefs_->Get_prefs() == before);
        seed->setText("18446744073709551615");
        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        QCOMPARE(form_->result(), int(QDialog::Accepted));
        QCOMPARE(prefs_->Get_comm_prefs().Type, 3);
        QCOMPARE(prefs_->Get_comm_prefs().Port, std::string("/tmp/ttyVSIM0"));
        QCOMPARE(prefs_->Get_line_faults().sliceBytes, 3);
        QCOMPARE(prefs_->Get_line_faults().corruptSeed, UINT64_MAX);
        // The next showing shows the stored path and faults.
        Show();
        QCOMPARE(form_->CommPortComboBox->currentText(), QString("/tmp/ttyVSIM0"));
        QCOMPARE(slices->value(), 3);
    }

    // The proxy: its sides and pages show only for it; a side that cannot be read keeps the
    // dialog open on that side's field with nothing stored; rules made on the Proxy faults
    // page with mouse and keyboard are stored with OK, side B's line faults apart from A's.
    void proxySidesRulesAndSideBLineFaultsAreStoredWithOk() {
        RecordingBoxes boxes;
        Show();
        const int proxyTab = form_->PageControl->indexOf(form_->ProxyFaultsTab);
        QVERIFY(!form_->PageControl->isTabVisible(proxyTab));
        QVERIFY(!form_->ProxyGroupBox->isEnabled());
        ClickRadio(form_->TypeButtons->button(4));
        QVERIFY(form_->ProxyGroupBox->isEnabled() && form_->SerialSettingsGroupBox->isEnabled());
        QVERIFY(form_->PageControl->isTabVisible(proxyTab));
        QVERIFY(form_->PageControl->isTabVisible(form_->PageControl->indexOf(form_->LineFaultsBTab)));
        form_->ProxyAEdit->setText("tcp-server:5190");
        form_->ProxyBEdit->setText("tcp-client:device");
        const Prefs before = prefs_->Get_prefs();
        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        QCOMPARE(boxes.errors.size(), 1);
        QVERIFY2(boxes.errors[0].startsWith("Proxy side B: "), qPrintable(boxes.errors[0]));
        QVERIFY(form_->isVisible() && form_->ProxyBEdit->hasFocus());
        QVERIFY(prefs_->Get_prefs() == before);
        form_->ProxyBEdit->setText("serial:/dev/ttyUSB0:9600");
        form_->ProxySendToCombo->setCurrentIndex(0);

        form_->PageControl->setCurrentWidget(form_->ProxyFaultsTab);
        ProxyFaultsPage* page = form_->ProxyFaultsTab;
        QVERIFY(!page->WayCombo->isEnabled());  // no rule chosen, nothing to edit
        QTest::mouseClick(page->AddButton, Qt::LeftButton);
        QVERIFY(page->WayCombo->hasFocus());
        // A new rule has no effect until one is chosen.
        QVERIFY(!page->DropCheck->isChecked());
        QCOMPARE(page->RuleList->item(0)->text(), QString::fromUtf8("Both ways, any frame: nothing"));
        QTest::keyClick(page->WayCombo, Qt::Key_Up);  // both ways -> B to A
        QTest::keyClicks(page->TypeEdit, "QX");  // one character only
        page->FramesCombo->setCurrentIndex(2);
        // On the box itself: a check box takes clicks on its box and text only.
        const QPoint box(6, page->DropCheck->height() / 2);
        QTest::mouseClick(page->SwapAckCheck, Qt::LeftButton, {}, box);
        page->WhenCombo->setCurrentIndex(1);
        QVERIFY(page->EveryNSpin->isEnabled() && !page->ChanceSpin->isEnabled());
        page->EveryNSpin->setValue(2);
        QCOMPARE(page->RuleList->item(0)->text(),
                 QString::fromUtf8("B \u2192 A, acks of type Q: swap ACK/NAK, every 2nd"));
        QTest::mouseClick(page->AddButton, Qt::LeftButton);
        page->DelayMinSpin->setValue(300);
        page->DelayMaxSpin->setValue(100);  // below the delay: the delay alone
        QTest::mouseClick(page->RemoveButton, Qt::LeftButton);
        QTest::mouseClick(page->AddButton, Qt::LeftButton);
        page->DelayMinSpin->setValue(30);
        QTest::mouseClick(page->DropCheck, Qt::LeftButton, {}, box);
        page->SeedSpin->setValue(-4);
        form_->LineFaultsBTab->findChild<QSpinBox*>("sliceBytesSpinB")->setValue(5);

        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        QCOMPARE(boxes.errors.size(), 1);
        QCOMPARE(form_->result(), int(QDialog::Accepted));
        const CommPrefs comm = prefs_->Get_comm_prefs();
        QCOMPARE(comm.Type, 4);
        QCOMPARE(comm.ProxyA, std::string("tcp-server:5190"));
        QCOMPARE(comm.ProxyB, std::string("serial:/dev/ttyUSB0:9600"));
        QCOMPARE(comm.ProxyInject, 0);
        const ProxyFaults faults = prefs_->Get_proxy_faults();
        QCOMPARE(faults.Seed, -4);
        QCOMPARE(int(faults.Rules.size()), 2);
        QCOMPARE(ProxyFaultRuleText(faults.Rules[0]), std::string("way=1,type=Q,frames=2,swapAck=1,when=1,everyN=2"));
        QCOMPARE(ProxyFaultRuleText(faults.Rules[1]), std::string("delayMin=30,drop=1"));
        QCOMPARE(ProxyFaultsError(faults), std::string());
        QCOMPARE(prefs_->Get_line_faults(1).sliceBytes, 5);
        QCOMPARE(prefs_->Get_line_faults(0).sliceBytes, 0);
        // The next showing starts from what was stored.
        Show();
        QCOMPARE(page->RuleList->count(), 2);
        QVERIFY(page->SwapAckCheck->isChecked());
    }

    void outOfRangeIndexesSelectNothingAndStoreMinusOne() {
        CommPrefs comm = prefs_->Get_comm_prefs();
        comm.Type = 5;
        comm.Baud = 8;
        comm.Stop = -3;
        prefs_->Set_comm_prefs(comm);
        Show();
        QCOMPARE(form_->TypeButtons->checkedId(), -1);
        QCOMPARE(form_->CommBaudComboBox->currentIndex(), -1);
        QCOMPARE(form_->CommStopComboBox->currentIndex(), -1);
        form_->OkButton->click();
        QCOMPARE(prefs_->Get_comm_prefs().Type, -1);
        QCOMPARE(prefs_->Get_comm_prefs().Baud, -1);
        QCOMPARE(prefs_->Get_comm_prefs().Stop, -1);
        QCOMPARE(prefs_->Get_comm_prefs().Bits, comm.Bits);
    }

    void portNumbersMustBeIntegersButNeedNoRange_data() {
        QTest::addColumn<QString>("client");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("error");
        QTest::newRow("empty client") << ""
                                      << "5100"
                                      << "'' is not a valid integer value";
        QTest::newRow("bad server") << "5000"
                                    << "51a"
                                    << "'51a' is not a valid integer value";
        QTest::newRow("both bad, client first") << "x"
                                                << "y"
                                                << "'x' is not a valid integer value";
        QTest::newRow("too big for 32 bits") << "4294967296"
                                             << "1"
                                             << "'4294967296' is not a valid integer value";
        QTest::newRow("negative and above 65535") << "-1"
                                                  << "70000"
                                                  << "";
    }
    void portNumbersMustBeIntegersButNeedNoRange() {
        QFETCH(QString, client);
        QFETCH(QString, server);
        QFETCH(QString, error);
        RecordingBoxes boxes;
        const Prefs before = prefs_->Get_prefs();
        Show();
        ClickRadio(form_->TypeButtons->button(1));
        form_->ReplyStringGrid->item(0, TPreferencesForm::kTextColumn)->setText("edited");
        form_->ClientPortEdit->setText(client);
        form_->ServerPortEdit->setText(server);
        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        if (error.isEmpty()) {
            QCOMPARE(boxes.errors, QStringList());
            QCOMPARE(form_->result(), int(QDialog::Accepted));
            QCOMPARE(prefs_->Get_comm_prefs().RemotePort, -1);
            QCOMPARE(prefs_->Get_comm_prefs().LocalPort, 70000);
            return;
        }
        QCOMPARE(boxes.errors, QStringList({error}));
        QVERIFY(form_->isVisible());
        QVERIFY(prefs_->Get_prefs() == before);  // neither page stored
    }

    void actionDropDownEditsTheActionCell() {
        Show();
        form_->ShowReplyActionsPage();
        ClickCell(4, TPreferencesForm::kActionColumn);
        QComboBox* combo = form_->ActionComboBox();
        QVERIFY(combo);
        QCOMPARE(form_->ReplyStringGrid->cellWidget(4, TPreferencesForm::kActionColumn), combo);
        QCOMPARE(combo->currentText(), QString("Normal"));  // slot 4 holds action 0
        QTRY_VERIFY(combo->hasFocus());
        QTest::keyClick(combo, Qt::Key_End);  // the last entry, "BCC Error"
        ClickCell(7, TPreferencesForm::kTypeColumn);
        QTRY_VERIFY(!form_->ActionComboBox());
        QCOMPARE(CellText(4, TPreferencesForm::kActionColumn), QString("BCC Error"));

        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        QCOMPARE(prefs_->Get_reply_prefs(4).Action, 3);
        QCOMPARE(prefs_->Get_reply_prefs(4).Flags, 7);
        QCOMPARE(prefs_->Get_reply_prefs(5).Action, 1);
    }

    // Opening the drop-down's list moves the focus into the list; that is not leaving the
    // drop-down, and a choice made in the list reaches the cell and is kept: a following Esc
    // closes the drop-down without taking the choice back.
    void actionListOpensByMouseAndAltDownAndItsChoiceIsKept_data() {
        QTest::addColumn<bool>("byMouse");
        QTest::newRow("mouse") << true;
        QTest::newRow("Alt+Down") << false;
    }
    void actionListOpensByMouseAndAltDownAndItsChoiceIsKept() {
        QFETCH(bool, byMouse);
        Show();
        form_->ShowReplyActionsPage();
        ClickCell(4, TPreferencesForm::kActionColumn);
        const QPointer<QComboBox> combo = form_->ActionComboBox();
        QVERIFY(combo);
        QTRY_VERIFY(combo->hasFocus());
        if (byMouse)
            QTest::mouseClick(combo, Qt::LeftButton);
        else
            QTest::keyClick(combo, Qt::Key_Down, Qt::AltModifier);
        QAbstractItemView* list = combo->view();
        QTRY_VERIFY(list->isVisible());
        // As a user would: the list takes a release sooner than a double click after it
        // opened for the end of the opening click. Any late focus change happens meanwhile.
        QTest::qWait(QApplication::doubleClickInterval() + 100);
        QVERIFY2(combo && form_->ActionComboBox() == combo,
                 "the drop-down went when its list opened");
        QVERIFY(list->isVisible());

        if (byMouse) {
            const QRect entry = list->visualRect(list->model()->index(3, 0));  // "BCC Error"
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, entry.center());
        } else {
            QTest::keyClick(list, Qt::Key_End);
            QTest::keyClick(list, Qt::Key_Return);
        }
        QTRY_VERIFY(!list->isVisible());
        QVERIFY(combo && form_->ActionComboBox() == combo);
        QCOMPARE(combo->currentText(), QString("BCC Error"));
        QTRY_VERIFY(combo->hasFocus());
        QTest::keyClick(combo, Qt::Key_Escape);
        QTRY_VERIFY(!form_->ActionComboBox());
        QVERIFY(form_->isVisible());
        QCOMPARE(CellText(4, TPreferencesForm::kActionColumn), QString("BCC Error"));
        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        QCOMPARE(prefs_->Get_reply_prefs(4).Action, 3);
    }

    // Esc in the Action drop-down closes only the drop-down, putting the cell back as it was;
    // Enter keeps the choice. The dialog, and every other edit of it, stays.
    void escAndEnterBelongToTheActionDropDown() {
        Show();
        form_->ShowReplyActionsPage();
        ClickCell(0, TPreferencesForm::kTextColumn);
        QWidget* editor = QApplication::focusWidget();
        QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(editor, "ANS-A2");
        ClickCell(4, TPreferencesForm::kActionColumn);
        QComboBox* combo = form_->ActionComboBox();
        QVERIFY(combo);
        QTRY_VERIFY(combo->hasFocus());
        QTest::keyClick(combo, Qt::Key_End);
        QCOMPARE(CellText(4, TPreferencesForm::kActionColumn), QString("BCC Error"));
        QTest::keyClick(combo, Qt::Key_Escape);
        QTRY_VERIFY(!form_->ActionComboBox());
        QVERIFY(form_->isVisible());
        QCOMPARE(CellText(4, TPreferencesForm::kActionColumn), QString("Normal"));
        QCOMPARE(CellText(0, TPreferencesForm::kTextColumn), QString("ANS-A2"));

        ClickCell(5, TPreferencesForm::kActionColumn);
        combo = form_->ActionComboBox();
        QVERIFY(combo);
        QTRY_VERIFY(combo->hasFocus());
        QTest::keyClick(combo, Qt::Key_Down);  // slot 5 holds NAK Error: now Type Error
        QTest::keyClick(combo, Qt::Key_Return);
        QTRY_VERIFY(!form_->ActionComboBox());
        QVERIFY(form_->isVisible());
        QCOMPARE(CellText(5, TPreferencesForm::kActionColumn), QString("Type Error"));
        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        QCOMPARE(prefs_->Get_reply_prefs(0).Msg, std::string("ANS-A2"));
        QCOMPARE(prefs_->Get_reply_prefs(4).Action, 0);
        QCOMPARE(prefs_->Get_reply_prefs(5).Action, 2);
    }

    // Its caption alone and a frame of fixed size; automatic reconnection is stored.
    void captionFixedFrameAndReconnection() {
        Show();
        QCOMPARE(form_->windowTitle(), QString("Preferences"));
        QCOMPARE(form_->size(), QSize(709, 452));
        QCOMPARE(form_->minimumSize(), form_->maximumSize());
        QVERIFY(!form_->ClientReconnectCheck->isChecked());
        form_->ClientReconnectCheck->setChecked(true);
        QTest::mouseClick(form_->OkButton, Qt::LeftButton);
        QCOMPARE(prefs_->Get_comm_prefs().AutoReconnect, 1);
    }

    void actionCellCanBeReachedAndChangedByKeyboard() {
        Show();
        form_->ShowReplyActionsPage();
        ClickCell(2, TPreferencesForm::kTextColumn);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);  // leave the editor
        QTest::keyClick(form_->ReplyStringGrid, Qt::Key_Right);
        QComboBox* combo = form_->ActionComboBox();
        QVERIFY(combo);
        QCOMPARE(combo->currentText(), QString("Type Error"));
        QTest::keyClick(combo, Qt::Key_Up);
        QCOMPARE(CellText(2, TPreferencesForm::kActionColumn), QString("NAK Error"));
        // Enter does not end the dialog from inside the table.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(form_->isVisible());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Left);
        QTRY_VERIFY(!form_->ActionComboBox());
        QCOMPARE(form_->ReplyStringGrid->currentColumn(), TPreferencesForm::kTextColumn);
        QVERIFY(form_->ReplyStringGrid->isAncestorOf(QApplication::focusWidget()));
    }

    void cellsAreEditedInPlaceAndStoredWhole() {
        Show();
        form_->ShowReplyActionsPage();
        ClickCell(1, TPreferencesForm::kTypeColumn);
        QWidget* editor = QApplication::focusWidget();
        QVERIFY(qobject_cast<QLineEdit*>(editor));
        QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(editor, "XYZ");
        QTest::keyClick(editor, Qt::Key_Return);
        QVERIFY(form_->isVisible());
        QTRY_COMPARE(CellText(1, TPreferencesForm::kTypeColumn), QString("XYZ"));

        // A cell still being edited when OK is pressed is not lost.
        ClickCell(3, TPreferencesForm::kTextColumn);
        editor = QApplication::focusWidget();
        QTest::keyClick(editor, Qt::Key_End);
        qobject_cast<QLineEdit*>(editor)->insert(QString("\u00e9!"));
        form_->OkButtonClick();
        QCOMPARE(prefs_->Get_reply_prefs(1).Type, std::string("XYZ"));
        QCOMPARE(prefs_->Get_reply_prefs(3).Msg, std::string("re\xe9!"));
    }

    void anUnknownStoredActionShowsEmptyAndStoresMinusOne() {
        ReplyPrefs reply = prefs_->Get_reply_prefs(9);
        reply.Action = 7;
        prefs_->Set_reply_prefs(9, reply);
        Show();
        QCOMPARE(CellText(9, TPreferencesForm::kActionColumn), QString());
        form_->OkButton->click();
        QCOMPARE(prefs_->Get_reply_prefs(9).Action, -1);
    }

    void cancelDiscardsEveryEditAndTheNextShowingStartsAfresh() {
        const Prefs before = prefs_->Get_prefs();
        Show();
        form_->ShowReplyActionsPage();
        ClickCell(0, TPreferencesForm::kActionColumn);
        QTest::keyClick(form_->ActionComboBox(), Qt::Key_End);
        form_->ReplyStringGrid->item(6, TPreferencesForm::kTextColumn)->setText("changed");
        form_->ClientAddressEdit->setText("10.0.0.1");
        form_->CommBitsComboBox->setCurrentIndex(0);
        QTest::mouseClick(form_->CancelButton, Qt::LeftButton);
        QCOMPARE(form_->result(), int(QDialog::Rejected));
        QVERIFY(prefs_->Get_prefs() == before);

        Show();
        QCOMPARE(CellText(0, TPreferencesForm::kActionColumn), QString("Normal"));
        QCOMPARE(CellText(6, TPreferencesForm::kTextColumn), QString("re"));
        QCOMPARE(form_->ClientAddressEdit->text(), QString("192.168.1.100"));
        QCOMPARE(form_->CommBitsComboBox->currentIndex(), 1);
        QVERIFY(!form_->ActionComboBox());
    }

    // A row's faults: shown for the current row, edited through the Faults button, stored with
    // the seed on OK, discarded by Cancel, and every other field of the row kept.
    void faultsOfTheCurrentRowAreEditedAndStoredOnOk() {
        ReplyPrefs stored = prefs_->Get_reply_prefs(2);
        stored.Faults.NoAnswer = 1;
        prefs_->Set_reply_prefs(2, stored);
        prefs_->Set_fault_seed(9);
        int editedRow = -1;
        form_->EditFaults = [&](int row, ReplyFaults& faults) {
            editedRow = row;
            faults.DelayMin = 300;
            faults.Twice = 1;
            return true;
        };
        for (const bool ok : {false, true}) {
            Show();
            form_->ShowReplyActionsPage();
            QCOMPARE(form_->FaultSeedSpin->value(), 9);
            ClickCell(2, TPreferencesForm::kTypeColumn);
            QCOMPARE(form_->FaultsSummaryLabel->text(), QString("Row 3: no answer"));
            ClickCell(4, TPreferencesForm::kTextColumn);
            QCOMPARE(form_->FaultsSummaryLabel->text(), QString("Row 5: no faults"));
            QTest::mouseClick(form_->FaultsButton, Qt::LeftButton);
            QCOMPARE(editedRow, 4);
            QCOMPARE(form_->FaultsSummaryLabel->text(), QString("Row 5: delay 300 ms, twice"));
            form_->FaultSeedSpin->setValue(-12);
            QTest::mouseClick(ok ? form_->OkButton : form_->CancelButton, Qt::LeftButton);
            const ReplyPrefs row = prefs_->Get_reply_prefs(4);
            QCOMPARE(row.Faults.DelayMin, ok ? 300 : 0);
            QCOMPARE(row.Faults.Twice, ok ? 1 : 0);
            QCOMPARE(row.Msg, std::string("re"));
            QCOMPARE(prefs_->Get_reply_prefs(2).Faults.NoAnswer, 1);
            QCOMPARE(prefs_->Get_fault_seed(), ok ? -12 : 9);
        }
    }

    // The faults editor itself: what it shows is what it gives back, and choices that make
    // others meaningless grey them out.
    void faultsEditorRoundTripsAndGreysOutWhatCannotApply() {
        TReplyFaultsForm editor;
        ReplyFaults f;
        f.DelayMin = 10;
        f.DelayMax = 20;
        f.SplitAt = 3;
        f.SplitGap = 40;
        f.Noise = 2;
        f.When = 1;
        f.EveryN = 4;
        editor.SetFaults(0, f);
        QCOMPARE(editor.Faults(), f);
        editor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&editor));
        QVERIFY(editor.EveryNSpin->isVisible());
        QVERIFY(!editor.ChanceSpin->isVisible());
        QVERIFY(!editor.DropMsSpin->isEnabled());
        QTest::mouseClick(editor.DropCheck, Qt::LeftButton, {}, QPoint(8, editor.DropCheck->height() / 2));
        QVERIFY(editor.DropCheck->isChecked());
        QVERIFY(editor.DropMsSpin->isEnabled());
        QVERIFY(!editor.DelayMinSpin->isEnabled());
        QVERIFY(!editor.NoAnswerCheck->isEnabled());
        QCOMPARE(editor.Faults().Drop, 1);
        QCOMPARE(editor.Faults().DelayMin, 10);  // kept, only greyed out
        // A caption's "&" marks its access key (shown underlined), never shows as itself:
        // each such caption names the control the key goes to.
        for (const QLabel* label : editor.findChildren<QLabel*>())
            if (label->text().contains('&')) QVERIFY2(label->buddy() != nullptr, qPrintable(label->text()));
        QCOMPARE(editor.minimumSize(), editor.maximumSize());
    }

    // Each fault value on its own comes back from the editor as it went in, at the edge of its
    // range; one outside its range comes back within it.
    void faultsEditorKeepsEveryValueWithinItsRange() {
        TReplyFaultsForm editor;
        for (const ReplyFaultField& field : ReplyFaultFields()) {
            const ReplyFaults edge =
                reply_fault_values::With(field, reply_fault_values::OtherValue(field));
            editor.SetFaults(0, edge);
            QVERIFY2(editor.Faults() == edge, field.name);
            for (const std::int32_t outside : {field.low - 1, field.high + 1}) {
                editor.SetFaults(0, reply_fault_values::With(field, outside));
                const std::int32_t back = editor.Faults().*field.member;
                QVERIFY2(back >= field.low && back <= field.high, field.name);
            }
        }
    }

    void executeOpensOnTheChosenPageAndReportsTheResult() {
        form_->ShowReplyActionsPage();
        WhenModal(form_.get(), [this] {
            QCOMPARE(form_->PageControl->currentWidget(), form_->ReplyTabSheet);
            QTest::mouseClick(form_->CancelButton, Qt::LeftButton);
        });
        QVERIFY(!form_->Execute(Apply()));

        // Enter means OK, whichever button ended the last showing.
        form_->ShowCommunicationsPage();
        WhenModal(form_.get(), [this] {
            QCOMPARE(form_->PageControl->currentWidget(), form_->CommPortTabSheet);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        });
        QVERIFY(form_->Execute(Apply()));

        WhenModal(form_.get(), [this] { QTest::keyClick(form_.get(), Qt::Key_Escape); });
        QVERIFY(!form_->Execute(Apply()));
    }
};

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    PreferencesDialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_dialogs_prefs.moc"
