#include "ui/sendfram.h"

#include <QtTest>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <memory>
#include <stdexcept>
#include <vector>

#include "protocol/frame.h"
#include "settings/preferences.h"
#include "support/recording_boxes.h"
#include "text/parser.h"
#include "thread/ctrlthrd.h"
#include "ui/application.h"
#include "ui/latin1.h"
#include "ui/message_boxes.h"

namespace {

std::vector<Event> Drain(EventBroker& broker) {
    std::vector<Event> out;
    Event event;
    while (broker.GetEvent(event)) out.push_back(event);
    return out;
}

// What the main window does with an event from the control thread.
void Dispatch(TSendFrame& row, std::int32_t id, std::int32_t source, const std::string& text) {
    Event event{id, 'A', source, text};
    row.Handlers.CallHandler(id, &event);
}

QString ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& error) {
        return QString::fromLocal8Bit(error.what());
    }
    return QStringLiteral("(no error)");
}

}  // namespace

class SendFrameTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Preferences> prefs;
    std::unique_ptr<EventBroker> broker;
    std::unique_ptr<TSendFrame> row;
    RecordingBoxes boxes;

    // Row 2 with type A, the given text, count and delay, ready to send.
    void Prepare(const QString& count, const QString& delay, const QString& text = "hello") {
        row->MsgTypeEdit->setText("A");
        row->MsgTextEdit->setText(text);
        row->SendCountEdit->setText(count);
        row->DelayEdit->setText(delay);
    }

    std::vector<Event> Sent() { return Drain(*broker); }

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        prefs = std::make_unique<Preferences>(dir->filePath("ZentrelConfig.ini").toStdString());
        broker = std::make_unique<EventBroker>();
        row = std::make_unique<TSendFrame>(nullptr, *prefs);
        row->RowIndex = 2;
        row->broker = broker.get();
        row->InitFromSettings();
        boxes.Reset();
        MessageBoxes::Install(&boxes);
    }

    void cleanup() {
        row.reset();
        MessageBoxes::Install(nullptr);
    }

    void initFromSettingsFillsTheRowAsStored() {
        SendPrefs stored;
        stored.Type = "\xE9";
        stored.Msg = std::string("a\0b%S\xFF", 6);
        stored.Count = "x5";
        stored.Delay = "-3";
        prefs->Set_send_prefs(6, stored);
        TSendFrame other(nullptr, *prefs);
        other.RowIndex = 6;
        other.InitFromSettings();
        QCOMPARE(ToBytes(other.MsgTypeEdit->text()), stored.Type);
        QCOMPARE(ToBytes(other.MsgTextEdit->text()), stored.Msg);
        QCOMPARE(other.SendCountEdit->text(), QString("x5"));
        QCOMPARE(other.DelayEdit->text(), QString("-3"));
        QCOMPARE(other.SendButton->text(), QString("Send &7"));
        QVERIFY(other.ReplyTextEdit->text().isEmpty());
        QVERIFY(other.CounterLabel->text().isEmpty());
        QVERIFY(!other.StopButton->isEnabled());

        const std::vector<QWidget*> order = {other.SendButton,    other.MsgTypeEdit,
                                             other.MsgTextEdit,   other.ReplyTextEdit,
                                             other.SendCountEdit, other.DelayEdit};
        for (std::size_t i = 0; i + 1 < order.size(); ++i) {
            QWidget* next = order[i]->nextInFocusChain();
            while (next->focusPolicy() == Qt::NoFocus) next = next->nextInFocusChain();
            QCOMPARE(next, order[i + 1]);
        }
    }

    void countOneShowsTheCounterBeforeTheResponse() {
        Prepare("1", "0");
        row->SendButtonClick(nullptr);
        const auto sent = Sent();
        QCOMPARE(sent.size(), std::size_t{1});
        QCOMPARE(sent[0].id, EventId::SendBytes);
        QCOMPARE(sent[0].value, int('A'));
        QCOMPARE(sent[0].source, 2);
        QCOMPARE(sent[0].text, std::string("hello"));
        QCOMPARE(row->CounterLabel->text(), QString("1 / 1"));
        QVERIFY(!row->StopButton->isEnabled());
        Dispatch(*row, EventId::ResponseAccepted, 2, "OK");
        QCOMPARE(row->ReplyTextEdit->text(), QString("OK"));
        QVERIFY(Sent().empty());
    }

    void countThreeWithoutDelaySendsEachAfterTheResponse() {
        Prepare("3", "0");
        row->SendButtonClick(nullptr);
        QCOMPARE(Sent().size(), std::size_t{1});
        QVERIFY(row->StopButton->isEnabled());
        for (int n = 2; n <= 3; ++n) {
            QVERIFY(Sent().empty());  // nothing more until the response
            Dispatch(*row, EventId::ResponseAccepted, 2, "R");
            QCOMPARE(Sent().size(), std::size_t{1});
            QCOMPARE(row->CounterLabel->text(), QString("%1 / 3").arg(n));
            QVERIFY(row->ReplyTextEdit->text().isEmpty());  // emptied by the new send
        }
        QVERIFY(row->StopButton->isEnabled());
        Dispatch(*row, EventId::ResponseAccepted, 2, "last");
        QVERIFY(Sent().empty());
        QCOMPARE(row->CounterLabel->text(), QString("3 / 3"));
        QCOMPARE(row->ReplyTextEdit->text(), QString("last"));
        QVERIFY(!row->StopButton->isEnabled());
    }

    void countThreeWithDelayWaitsAfterEachResponse() {
        Prepare("3", "60");
        row->SendButtonClick(nullptr);
        QCOMPARE(Sent().size(), std::size_t{1});
        for (int n = 2; n <= 3; ++n) {
            Dispatch(*row, EventId::ResponseAccepted, 2, "R");
            QElapsedTimer waited;
            waited.start();
            QVERIFY(Sent().empty());
            QVERIFY(row->Tick->isActive());
            QCOMPARE(row->Tick->interval(), 60);
            QTRY_VERIFY_WITH_TIMEOUT(!row->Tick->isActive(), 5000);
            QVERIFY(waited.elapsed() >= 55);
            QCOMPARE(Sent().size(), std::size_t{1});
            QCOMPARE(row->CounterLabel->text(), QString("%1 / 3").arg(n));
        }
        Dispatch(*row, EventId::ResponseAccepted, 2, "R");
        QVERIFY(!row->Tick->isActive());
        QVERIFY(!row->StopButton->isEnabled());
    }

    void stopEndsTheRunWhetherWaitingOutTheDelayOrTheResponse() {
        Prepare("5", "2000");
        row->SendButtonClick(nullptr);
        Dispatch(*row, EventId::ResponseAccepted, 2, "R1");
        row->TickTimer(row->Tick);  // the first delay runs out
        Dispatch(*row, EventId::ResponseAccepted, 2, "R2");
        QCOMPARE(Sent().size(), std::size_t{2});
        QVERIFY(row->Tick->isActive());
        QTest::mouseClick(row->StopButton, Qt::LeftButton);
        QVERIFY(row->StopRequested);
        QVERIFY(!row->Tick->isActive());
        QVERIFY(!row->StopButton->isEnabled());
        QCOMPARE(row->CounterLabel->text(), QString("2 / 5"));

        // Stop while a response is awaited: the response is still shown, nothing follows.
        Prepare("5", "0");
        row->SendButtonClick(nullptr);
        QCOMPARE(Sent().size(), std::size_t{1});
        row->StopButtonClick(row->StopButton);
        Dispatch(*row, EventId::ResponseAccepted, 2, "late");
        QCOMPARE(row->ReplyTextEdit->text(), QString("late"));
        QVERIFY(Sent().empty());
        QCOMPARE(row->CounterLabel->text(), QString("1 / 5"));
    }

    void aFailedSendTurnsTheResponseRedAndEndsTheRun() {
        const QPalette normal = row->ReplyTextEdit->palette();
        QCOMPARE(normal.color(QPalette::Base), QApplication::palette().color(QPalette::ToolTipBase));
        Prepare("5", "0");
        row->SendButtonClick(nullptr);
        Dispatch(*row, EventId::ResponseAccepted, 2, "R1");
        Dispatch(*row, EventId::TransactionFailed, 2, "NAK text");
        QCOMPARE(Sent().size(), std::size_t{2});
        QCOMPARE(row->ReplyTextEdit->text(), QString("NAK text"));
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Base), QColor(Qt::red));
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Text), QColor(Qt::white));
        QCOMPARE(row->CounterLabel->text(), QString("2 / 5"));
        QVERIFY(!row->StopButton->isEnabled());
        QVERIFY(!row->Tick->isActive());

        // The next send empties the response but keeps it red until the next response.
        Prepare("1", "0");
        row->SendButtonClick(nullptr);
        QVERIFY(row->ReplyTextEdit->text().isEmpty());
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Base), QColor(Qt::red));
        Dispatch(*row, EventId::ResponseAccepted, 2, "fine");
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Base),
                 QApplication::palette().color(QPalette::ToolTipBase));
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Text),
                 QApplication::palette().color(QPalette::WindowText));
    }

    void aFailureDuringTheDelayStopsTheTimer() {
        Prepare("3", "2000");
        row->SendButtonClick(nullptr);
        Dispatch(*row, EventId::ResponseAccepted, 2, "R");
        QVERIFY(row->Tick->isActive());
        Dispatch(*row, EventId::TransactionFailed, 2, "bad");
        QVERIFY(!row->Tick->isActive());
        QCOMPARE(Sent().size(), std::size_t{1});
    }

    void eventsForOtherRowsChangeNothing() {
        Prepare("3", "0");
        row->SendButtonClick(nullptr);
        Sent();
        Dispatch(*row, EventId::ResponseAccepted, 1, "other");
        Dispatch(*row, EventId::TransactionFailed, 3, "other");
        Dispatch(*row, EventId::MessageReceived, 2, "received");
        QVERIFY(Sent().empty());
        QVERIFY(row->ReplyTextEdit->text().isEmpty());
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Base),
                 QApplication::palette().color(QPalette::ToolTipBase));
        QVERIFY(row->StopButton->isEnabled());
        QCOMPARE(row->CounterLabel->text(), QString("1 / 3"));
        Event event{EventId::ResponseAccepted, 'A', 2, "mine"};
        QCOMPARE(row->Handlers.CallHandler(event.id, &event), EventId::ResponseAccepted);
        QCOMPARE(Sent().size(), std::size_t{1});
    }

    void validationMessagesPostNothing() {
        // Each returns normally after its box, so Batch Send goes on to the next row.
        Prepare("0", "0");
        row->SendButtonClick(nullptr);
        QCOMPARE(row->TargetCount, 0);  // stored before it is checked
        Prepare("2", "-1");
        row->SendButtonClick(nullptr);
        QCOMPARE(row->DelayMs, -1);
        Prepare("3", "0");
        row->MsgTypeEdit->clear();
        row->SendButtonClick(nullptr);
        QCOMPARE(boxes.errors,
                 QStringList({"The count must be greater than zero.",
                              "The delay time must be greater than or equal to zero.",
                              "You must specify a message type."}));
        QVERIFY(Sent().empty());
        QCOMPARE(row->SentCount, 0);
        QVERIFY(row->CounterLabel->text().isEmpty());
        QVERIFY(!row->StopButton->isEnabled());  // no run is left waiting
    }

    void typeClearedDuringARunEndsTheRun() {
        Prepare("3", "0");
        row->SendButtonClick(nullptr);
        row->MsgTypeEdit->clear();
        Dispatch(*row, EventId::ResponseAccepted, 2, "R");
        QCOMPARE(boxes.errors, QStringList({"You must specify a message type."}));
        QCOMPARE(Sent().size(), std::size_t{1});
        QCOMPARE(row->CounterLabel->text(), QString("1 / 3"));
        QVERIFY(!row->StopButton->isEnabled());
    }

    void numbersThatAreNotWholeRaiseTheConversionError() {
        const auto click = [this] { row->SendButtonClick(nullptr); };
        Prepare("abc", "0");
        QCOMPARE(ErrorOf(click), QString("'abc' is not a valid integer value"));
        Prepare("", "0");
        QCOMPARE(ErrorOf(click), QString("'' is not a valid integer value"));
        Prepare("2147483648", "0");
        QCOMPARE(ErrorOf(click), QString("'2147483648' is not a valid integer value"));
        Prepare("1", "1.5");
        QCOMPARE(ErrorOf(click), QString("'1.5' is not a valid integer value"));
        Prepare("1", QString::fromLatin1("7\xE9"));
        QCOMPARE(ErrorOf(click), QString::fromLatin1("'7\xE9' is not a valid integer value"));
        Prepare("1", "- 5");
        QCOMPARE(ErrorOf(click), QString("'- 5' is not a valid integer value"));
        QVERIFY(Sent().empty());
        QVERIFY(boxes.errors.isEmpty());

        // Signs, surrounding spaces and the 32-bit limits convert.
        Prepare(" +2 ", "-0");
        row->SendButtonClick(nullptr);
        QCOMPARE(row->TargetCount, 2);
        Prepare("2147483647", "-2147483648");
        row->SendButtonClick(nullptr);
        QCOMPARE(row->TargetCount, 2147483647);
        QCOMPARE(row->DelayMs, -2147483647 - 1);
        QCOMPARE(Sent().size(), std::size_t{1});

        // Pressed with the mouse, the error reaches the application's error box.
        Prepare("x", "0");
        QTest::mouseClick(row->SendButton, Qt::LeftButton);
        QCOMPARE(boxes.appErrors, QStringList({"'x' is not a valid integer value."}));
    }

    void aRowWithoutBrokerRaisesAndCountsNothing() {
        row->broker = nullptr;
        Prepare("3", "0");
        QCOMPARE(ErrorOf([this] { row->SendButtonClick(nullptr); }),
                 QString("TSendFrame::SendButtonClick: Unassigned event broker."));
        QCOMPARE(row->SentCount, 0);
        QVERIFY(row->CounterLabel->text().isEmpty());
        QVERIFY(!row->StopButton->isEnabled());
    }

    void eachSendReadsTheTextAnewAndExpandsItsFlags() {
        Parser::Set_serial_number(41);
        Prepare("3", "0", "N%S");
        row->SendButtonClick(nullptr);
        Dispatch(*row, EventId::ResponseAccepted, 2, "R");
        row->MsgTypeEdit->setText(QString(QChar(0xE9)));
        row->MsgTextEdit->setText(QString::fromLatin1("\\x01\xFF%S"));
        Dispatch(*row, EventId::ResponseAccepted, 2, "R");
        const auto sent = Sent();
        QCOMPARE(sent.size(), std::size_t{3});
        QCOMPARE(sent[0].text, std::string("N000041"));
        QCOMPARE(sent[1].text, std::string("N000042"));
        QCOMPARE(sent[2].value, 0xE9);
        QCOMPARE(sent[2].text, std::string("\x01\xFF" "000043"));
    }

    void sendDuringTheDelayRestartsWithoutTheOldRunsSend() {
        Prepare("3", "2000");
        row->SendButtonClick(nullptr);
        Dispatch(*row, EventId::ResponseAccepted, 2, "R");
        QVERIFY(row->Tick->isActive());
        Prepare("2", "0");
        row->SendButtonClick(nullptr);
        QVERIFY(!row->Tick->isActive());
        QCOMPARE(Sent().size(), std::size_t{2});
        QCOMPARE(row->CounterLabel->text(), QString("1 / 2"));
    }

    void settingsAreStoredAsTypedWhenTheRowGoes() {
        SendPrefs stored;
        stored.Flags = 7;
        prefs->Set_send_prefs(2, stored);
        row->MsgTypeEdit->setText(QString(QChar(0x01)));
        row->MsgTextEdit->setText(QString::fromLatin1("t\xE9xt %D\\r"));
        row->SendCountEdit->setText("many");
        row->DelayEdit->setText(" 12 ");
        row.reset();
        const SendPrefs saved = prefs->Get_send_prefs(2);
        QCOMPARE(saved.Type, std::string("\x01"));
        QCOMPARE(saved.Msg, std::string("t\xE9xt %D\\r"));
        QCOMPARE(saved.Count, std::string("many"));
        QCOMPARE(saved.Delay, std::string(" 12 "));
        QCOMPARE(saved.Flags, 7);
        QCOMPARE(prefs->Get_send_prefs(1), SendPrefs());
    }

    void altDigitPressesThatRowsSendButton() {
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        std::vector<TSendFrame*> rows;
        for (int i = 0; i < 9; ++i) {
            rows.push_back(new TSendFrame(&window, *prefs));
            rows.back()->RowIndex = i;
            rows.back()->broker = broker.get();
            rows.back()->InitFromSettings();
            rows.back()->MsgTypeEdit->setText("Z");
            layout->addWidget(rows.back());
        }
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        rows[0]->MsgTextEdit->setFocus();
        QTest::keyClick(&window, Qt::Key_5, Qt::AltModifier);
        QTest::keyClick(&window, Qt::Key_9, Qt::AltModifier);
        QTRY_COMPARE(rows[8]->SentCount, 1);
        const auto sent = Sent();
        QCOMPARE(sent.size(), std::size_t{2});
        QCOMPARE(sent[0].source, 4);
        QCOMPARE(sent[1].source, 8);
        QCOMPARE(rows[0]->MsgTextEdit->text(), QString());  // no digit typed into the edit
    }

    // The whole road: the row's request through a real control thread and a TCP link to a
    // peer that answers each message, the responses back to the row as the main window
    // would hand them over.
    void aRunThroughTheControlThreadAndATcpPeer() {
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
        EventBroker toThread;
        EventBroker* toWindowPtr = nullptr;
        EventBroker toWindow(
            [this, &toWindowPtr](std::uint32_t) {
                QMetaObject::invokeMethod(
                    this,
                    [this, &toWindowPtr] {
                        Event event;
                        if (toWindowPtr->GetEvent(event)) row->Handlers.CallHandler(event.id, &event);
                    },
                    Qt::QueuedConnection);
            },
            2026);
        toWindowPtr = &toWindow;
        CommPrefs comm;
        comm.Type = 1;
        comm.RemoteIp = "127.0.0.1";
        comm.RemotePort = peer.serverPort();
        TControlThread thread(&toThread, &toWindow, comm, 0);
        thread.Resume();
        QVERIFY(peer.waitForNewConnection(10000));
        QTcpSocket* link = peer.nextPendingConnection();
        int answered = 0;
        QByteArray pending;
        connect(link, &QTcpSocket::readyRead, link, [&] {
            pending += link->readAll();
            qsizetype end;
            while ((end = pending.indexOf('\r')) >= 0) {
                const auto type = static_cast<std::uint8_t>(pending.at(1));
                pending.remove(0, end + 1);
                const std::string answer = "OK" + std::to_string(++answered);
                CharBuffer frame;
                BuildFrame(frame, type, ctrl::ACK,
                           reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size());
                link->write(reinterpret_cast<const char*>(frame.Data()),
                            static_cast<qint64>(frame.Size()));
            }
        });

        row->broker = &toThread;
        Prepare("3", "0", "ping");
        row->SendButtonClick(nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(row->ReplyTextEdit->text(), QString("OK3"), 15000);
        QCOMPARE(row->CounterLabel->text(), QString("3 / 3"));
        QVERIFY(!row->StopButton->isEnabled());
        QCOMPARE(answered, 3);
        thread.Terminate();
        thread.WaitFor();
        QCoreApplication::sendPostedEvents(this);
    }
};

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    SendFrameTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_sendfram.moc"
