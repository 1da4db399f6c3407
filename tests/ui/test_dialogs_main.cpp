// The dialogs as the main window uses them: the real window, the real dialogs, a real link.

#include <QtTest>

#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QToolButton>

#include <memory>

#include "dialogs_support.h"
#include "settings/preferences.h"
#include "app/app_core.h"
#include "ui/qt_scheduler.h"
#include "ui/Bcccalcfrm.h"
#include "ui/PrefEdit.h"
#include "ui/about.h"
#include "ui/application.h"
#include "ui/flaghelp.h"
#include "ui/mainfrm.h"
#include "ui/qt_scheduler.h"
#include "app/app_core.h"
#include "ui/sendfram.h"

class DialogsInMainWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Preferences> prefs_;
    std::unique_ptr<QtScheduler> scheduler_;
    std::unique_ptr<AppCore> core_;
    std::unique_ptr<TMainForm> main_;
    // Created after the main window and gone before it, as in the program.
    std::unique_ptr<TAboutBox> about_;
    std::unique_ptr<TPreferencesForm> preferences_;
    std::unique_ptr<TBccCalcForm> bcc_;
    std::unique_ptr<TFlagHelpForm> flags_;

    QLineEdit* RowText(int row) const { return main_->SendRows.at(row)->MsgTextEdit; }

    // Chooses `flag` in the flags help once it is open, then Insert.
    void InsertFlagWhenAsked(const QString& flag) {
        WhenModal(flags_.get(), [this, flag] {
            QListWidgetItem* entry =
                flags_->FlagListBox->findItems(flag + ' ', Qt::MatchStartsWith).first();
            QTest::mouseClick(flags_->FlagListBox->viewport(), Qt::LeftButton, {},
                              flags_->FlagListBox->visualItemRect(entry).center());
            QTest::mouseClick(flags_->InsertButton, Qt::LeftButton);
        });
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        prefs_ = std::make_unique<Preferences>(dir_->filePath("ZentrelConfig.ini").toStdString());
        QTcpServer probe;  // a free port for the program's own server
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        CommPrefs comm = prefs_->Get_comm_prefs();
        comm.Type = 2;
        comm.LocalPort = probe.serverPort();
        probe.close();
        prefs_->Set_comm_prefs(comm);

        scheduler_ = std::make_unique<QtScheduler>(qApp);
        AppCore::Options options;
        // The test of what OK posts plays the control thread itself.
        options.runLink = QTest::currentTestFunction() != QByteArray("okWithoutChangesKeepsThePortSpellingAndTheLink");
        core_ = std::make_unique<AppCore>(*prefs_, *scheduler_, options);
        main_ = std::make_unique<TMainForm>(*prefs_, *core_);
        core_->Start();
        about_ = std::make_unique<TAboutBox>(main_.get());
        preferences_ = std::make_unique<TPreferencesForm>(*prefs_, main_.get());
        bcc_ = std::make_unique<TBccCalcForm>(main_.get());
        flags_ = std::make_unique<TFlagHelpForm>(main_.get());
        main_->SetDialogs({preferences_.get(), flags_.get(), bcc_.get(), about_.get()});
        main_->show();
        QVERIFY(QTest::qWaitForWindowActive(main_.get()));
    }
    void cleanup() {
        main_->close();  // ends the control thread
        flags_.reset();
        bcc_.reset();
        preferences_.reset();
        about_.reset();
        main_.reset();
        core_.reset();
        scheduler_.reset();
        prefs_.reset();
    }

    void aFlagGoesIntoTheRowWithTheFocusReplacingTheSelection() {
        RowText(1)->setText("ABCDEF");
        RowText(1)->setFocus();
        RowText(1)->setSelection(2, 2);
        RowText(0)->setText("ABCDEF");
        InsertFlagWhenAsked("%D");
        main_->FlagsHelpMenuItem->trigger();
        QCOMPARE(RowText(1)->text(), QString("AB%DEF"));
        QCOMPARE(RowText(1)->cursorPosition(), 4);
        QVERIFY(!RowText(1)->hasSelectedText());
        QCOMPARE(RowText(0)->text(), QString("ABCDEF"));

        // A digit count flag, at the caret.
        WhenModal(flags_.get(), [this] {
            flags_->FlagListBox->findItems("%#Y ", Qt::MatchStartsWith).first()->setSelected(true);
            QTest::keyClick(flags_->ValueEdit, Qt::Key_Up);
            // Insert stays the default button after the last showing ended with a click on it.
            QTest::keyClick(flags_->ValueEdit, Qt::Key_Return);
        });
        main_->FlagsHelpMenuItem->trigger();
        QCOMPARE(RowText(1)->text(), QString("AB%D%4YEF"));
    }

    void nothingIsInsertedWithoutARowFocusedCancelOrAnEmptyChoice() {
        RowText(2)->setText("XY");
        main_->ReceivedMsgsGrid->setFocus();
        InsertFlagWhenAsked("%T");
        main_->FlagsHelpMenuItem->trigger();
        QCOMPARE(RowText(2)->text(), QString("XY"));

        RowText(2)->setFocus();
        WhenModal(flags_.get(), [this] { QTest::mouseClick(flags_->CancelButton, Qt::LeftButton); });
        main_->FlagsHelpMenuItem->trigger();
        QCOMPARE(RowText(2)->text(), QString("XY"));

        WhenModal(flags_.get(), [this] {
            flags_->FlagListBox->clearSelection();
            QTest::mouseClick(flags_->InsertButton, Qt::LeftButton);
        });
        main_->FlagsHelpMenuItem->trigger();
        QCOMPARE(RowText(2)->text(), QString("XY"));
    }

    void preferencesOpenOnThePageOfWhatOpenedThem() {
        WhenModal(preferences_.get(), [this] {
            QCOMPARE(preferences_->PageControl->currentWidget(), preferences_->ReplyTabSheet);
            QTest::mouseClick(preferences_->CancelButton, Qt::LeftButton);
        });
        QTest::mouseClick(main_->ReceiveConfigureButton, Qt::LeftButton);
        WhenModal(preferences_.get(), [this] {
            QCOMPARE(preferences_->PageControl->currentWidget(), preferences_->CommPortTabSheet);
            QTest::mouseClick(preferences_->CancelButton, Qt::LeftButton);
        });
        main_->PreferencesMenuItem->trigger();
        QVERIFY(!preferences_->isVisible());
    }

    // A serial port stored as "COM2" shows as the device it names; OK without a change
    // stores nothing new and does not reopen the link (a live TCP connection would drop).
    void okWithoutChangesKeepsThePortSpellingAndTheLink() {
        FakeMachine machine;
        preferences_->SetPortPlaces(machine.places);
        CommPrefs comm = prefs_->Get_comm_prefs();
        comm.Port = "COM2";
        prefs_->Set_comm_prefs(comm);
        // No control thread runs here: what the window posts stays in the core's broker.
        Event request;
        while (core_->ToThread().GetEvent(request)) {
        }

        WhenModal(preferences_.get(), [this] {
            QCOMPARE(preferences_->CommPortComboBox->currentText(), QString("ttyS1"));
            QTest::mouseClick(preferences_->OkButton, Qt::LeftButton);
        });
        main_->PreferencesMenuItem->trigger();

        std::vector<int> ids;
        while (core_->ToThread().GetEvent(request)) ids.push_back(request.id);
        QCOMPARE(ids, std::vector<int>({10010}));
        QCOMPARE(prefs_->Get_comm_prefs().Port, std::string("COM2"));
    }

    void switchingTheLinkToClientConnectsToTheNewPeer() {
        const QString serverSummary =
            QString("TCP/IP Server on Port %1").arg(prefs_->Get_comm_prefs().LocalPort);
        QTRY_COMPARE(main_->StatusPanels[2]->text(), serverSummary);

        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        QSignalSpy connected(&listener, &QTcpServer::newConnection);
        WhenModal(preferences_.get(), [this, &listener] {
            ClickRadio(preferences_->TypeButtons->button(1));
            preferences_->ClientAddressEdit->setText("127.0.0.1");
            preferences_->ClientPortEdit->setText(QString::number(listener.serverPort()));
            QTest::mouseClick(preferences_->OkButton, Qt::LeftButton);
        });
        main_->PreferencesMenuItem->trigger();

        QVERIFY(connected.wait(10000));
        QCOMPARE(main_->StatusPanels[2]->text(),
                 QString("TCP/IP Client to 127.0.0.1:%1").arg(listener.serverPort()));
        QCOMPARE(prefs_->Get_comm_prefs().Type, 1);
    }
};

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    DialogsInMainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_dialogs_main.moc"
