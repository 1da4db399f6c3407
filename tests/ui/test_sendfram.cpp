#include "ui/sendfram.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QToolButton>
#include <QVBoxLayout>

#include <deque>
#include <memory>
#include <stdexcept>
#include <vector>

#include "app/app_core.h"
#include "protocol/frame.h"
#include "settings/preferences.h"
#include "support/recording_boxes.h"
#include "text/parser.h"
#include "ui/application.h"
#include "ui/latin1.h"
#include "ui/message_boxes.h"
#include "ui/qt_scheduler.h"

#include <QElapsedTimer>

namespace {

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
    std::unique_ptr<QtScheduler> scheduler;
    std::unique_ptr<AppCore> core;
    std::vector<TSendFrame*> rows;  // every row the core's listener refreshes
    std::unique_ptr<TSendFrame> row;
    RecordingBoxes boxes;
    std::vector<Event> posted;  // requests the engine took that the test has not looked at
    std::deque<Event> wire;     // requests the engine took, in its order, not yet answered

    // Row 2 with type A, the given text, count and delay, ready to send.
    void Prepare(const QString& count, const QString& delay, const QString& text = "hello") {
        row->MsgTypeEdit->setText("A");
        row->MsgTextEdit->setText(text);
        row->SendCountEdit->setText(count);
        row->DelayEdit->setText(delay);
    }

    // The engine's part: takes what the rows posted and tells the core it has.
    void Pump() {
        Event e;
        while (core->ToThread().GetEvent(e)) {
            if (e.id != EventId::SendBytes) continue;
            posted.push_back(e);
            wire.push_back(e);
            core->ToWindow().PostEvent(e);
            core->TakeEvents();
        }
    }
    std::vector<Event> Sent() {
        Pump();
        std::vector<Event> out;
        out.swap(posted);
        return out;
    }
    // How the message of row `source` on the wire ended, as the engine reports it.
    void Outcome(std::int32_t id, std::int32_t source, const std::string& text) {
        Pump();
        Event event{id, 'A', source, text};
        for (auto it = wire.begin(); it != wire.end(); ++it) {
            if (it->source != source) continue;
            event.request = it->request;
            wire.erase(it);
            break;
        }
        core->ToWindow().PostEvent(event);
        core->TakeEvents();
    }
    void Accept(const std::string& text, std::int32_t source = 2) {
        Outcome(EventId::ResponseAccepted, source, text);
    }
    void Fail(const std::string& text, std::int32_t source = 2) {
        Outcome(EventId::TransactionFailed, source, text);
    }
    TSendFrame* NewRow(QWidget* parent, int index) {
        auto* made = new TSendFrame(parent, *prefs, *core);
        made->RowIndex = index;
        made->InitFromSettings();
        rows.push_back(made);
        return made;
    }

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        prefs = std::make_unique<Preferences>(dir->filePath("ZentrelConfig.ini").toStdString());
        scheduler = std::make_unique<QtScheduler>(qApp);
        AppCore::Options options;
        options.runLink = false;
        core = std::make_unique<AppCore>(*prefs, *scheduler, options);
        // What the main window does: the rows hear how their runs change.
        AppCore::Listener listener;
        listener.rowChanged = [this](int index) {
            for (TSendFrame* r : rows)
                if (r->RowIndex == index) r->Refresh();
        };
        listener.rowError = [this](int index, const std::string& error) {
            for (TSendFrame* r : rows)
                if (r->RowIndex == index) MessageBoxes::Instance().Error(r, ToQString(error));
        };
        core->SetListener(listener);
        row.reset(NewRow(nullptr, 2));
        posted.clear();
        wire.clear();
        boxes.Reset();
        MessageBoxes::Install(&boxes);
    }

    void cleanup() {
        row.reset();
        rows.clear();
        core.reset();
        scheduler.reset();
        MessageBoxes::Install(nullptr);
    }

    void initFromSettingsFillsTheRowAsStored() {
        SendPrefs stored;
        stored.Type = "\xE9";
        stored.Msg = std::string("a\0b%S\xFF", 6);
        stored.Count = "x5";
        stored.Delay = "-3";
        prefs->Set_send_prefs(6, stored);
        TSendFrame other(nullptr, *prefs, *core);
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

        // What is typed, then Send, then Stop; the read-only response is not a stop of Tab.
        const std::vector<QWidget*> order = {other.MsgTypeEdit,   other.MsgTextEdit,
                                             other.SendCountEdit, other.DelayEdit,
                                             other.SendButton,    other.StopButton};
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
        Accept("OK");
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
            Accept("R");
            QCOMPARE(Sent().size(), std::size_t{1});
            QCOMPARE(row->CounterLabel->text(), QString("%1 / 3").arg(n));
            QVERIFY(row->ReplyTextEdit->text().isEmpty());  // emptied by the new send
        }
        QVERIFY(row->StopButton->isEnabled());
        Accept("last");
        QVERIFY(Sent().empty());
        QCOMPARE(row->CounterLabel->text(), QString("3 / 3"));
        QCOMPARE(row->ReplyTextEdit->text(), QString("last"));
        QVERIFY(!row->StopButton->isEnabled());
    }

    // The next send of a run waits the delay after the response, never less.
    void countThreeWithDelayWaitsAfterEachResponse() {
        Prepare("3", "60");
        row->SendButtonClick(nullptr);
        QCOMPARE(Sent().size(), std::size_t{1});
        for (int n = 2; n <= 3; ++n) {
            Accept("R");
            QElapsedTimer waited;
            waited.start();
            QVERIFY(Sent().empty());
            QVERIFY(row->StopButton->isEnabled());
            std::size_t sent = 0;
            QTRY_VERIFY_WITH_TIMEOUT((sent += Sent().size()) == 1, 5000);
            QVERIFY2(waited.elapsed() >= 60, qPrintable(QString::number(waited.elapsed())));
            QCOMPARE(row->CounterLabel->text(), QString("%1 / 3").arg(n));
        }
        Accept("R");
        QVERIFY(!row->StopButton->isEnabled());
        QTest::qWait(100);
        QVERIFY(Sent().empty());
    }

    void stopEndsTheRunWhetherWaitingOutTheDelayOrTheResponse() {
        Prepare("5", "100");
        row->SendButtonClick(nullptr);
        Accept("R1");
        std::size_t sent = Sent().size();
        QTRY_VERIFY_WITH_TIMEOUT((sent += Sent().size()) == 2, 5000);  // the first delay ran out
        Accept("R2");  // now it waits out the second delay
        QTest::mouseClick(row->StopButton, Qt::LeftButton);
        QVERIFY(row->StopRequested);
        QVERIFY(!row->StopButton->isEnabled());
        QTest::qWait(200);
        QVERIFY(Sent().empty());
        QCOMPARE(row->CounterLabel->text(), QString("2 / 5"));

        // Stop while a response is awaited: the response is still shown, nothing follows.
        Prepare("5", "0");
        row->SendButtonClick(nullptr);
        QCOMPARE(Sent().size(), std::size_t{1});
        row->StopButtonClick(row->StopButton);
        Accept("late");
        QCOMPARE(row->ReplyTextEdit->text(), QString("late"));
        QVERIFY(Sent().empty());
        QCOMPARE(row->CounterLabel->text(), QString("1 / 5"));
    }

    // A message the engine gave up after its time-outs shows red in the row, as a failed send
    // does, but ends nothing (Stop stays on); a new Send runs again at once and shows its own
    // response.
    void aRowWhoseMessageTimedOutRunsAgain() {
        Prepare("2", "0");
        row->SendButtonClick(nullptr);
        const auto first = Sent();
        QCOMPARE(first.size(), std::size_t{1});
        Event timeout{EventId::Status, StatusTimeout, 1};
        timeout.request = first[0].request;
        wire.clear();
        core->ToWindow().PostEvent(timeout);
        core->TakeEvents();
        QVERIFY(row->StopButton->isEnabled());
        QVERIFY(Sent().empty());
        QCOMPARE(row->ReplyTextEdit->text(), QString("TIMEOUT"));
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Base), QColor(Qt::red));
        QCOMPARE(row->CounterLabel->text(), QString("1 / 2"));
        // Pressed by the user: nothing is in flight, so nothing asks to stop it first.
        Prepare("1", "0");
        row->SendButtonClick(row->SendButton);
        QVERIFY(boxes.questions.isEmpty());
        QCOMPARE(Sent().size(), std::size_t{1});
        Accept("pong");
        QCOMPARE(row->ReplyTextEdit->text(), QString("pong"));
        QCOMPARE(row->CounterLabel->text(), QString("1 / 1"));
        QVERIFY(!row->StopButton->isEnabled());
    }

    void aFailedSendTurnsTheResponseRedAndEndsTheRun() {
        const QPalette normal = row->ReplyTextEdit->palette();
        QCOMPARE(normal.color(QPalette::Base), QApplication::palette().color(QPalette::ToolTipBase));
        Prepare("5", "0");
        row->SendButtonClick(nullptr);
        Accept("R1");
        Fail("NAK text");
        QCOMPARE(Sent().size(), std::size_t{2});
        QCOMPARE(row->ReplyTextEdit->text(), QString("NAK text"));
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Base), QColor(Qt::red));
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Text), QColor(Qt::white));
        QCOMPARE(row->CounterLabel->text(), QString("2 / 5"));
        QVERIFY(!row->StopButton->isEnabled());

        // The next send empties the response but keeps it red until the next response.
        Prepare("1", "0");
        row->SendButtonClick(nullptr);
        QVERIFY(row->ReplyTextEdit->text().isEmpty());
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Base), QColor(Qt::red));
        Accept("fine");
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Base),
                 QApplication::palette().color(QPalette::ToolTipBase));
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Text),
                 QApplication::palette().color(QPalette::WindowText));
    }

    void eventsForOtherRowsChangeNothing() {
        Prepare("3", "0");
        row->SendButtonClick(nullptr);
        Sent();
        Accept("other", 1);
        Fail("other", 3);
        QVERIFY(Sent().empty());
        QVERIFY(row->ReplyTextEdit->text().isEmpty());
        QCOMPARE(row->ReplyTextEdit->palette().color(QPalette::Base),
                 QApplication::palette().color(QPalette::ToolTipBase));
        QVERIFY(row->StopButton->isEnabled());
        QCOMPARE(row->CounterLabel->text(), QString("1 / 3"));
        Event event{EventId::ResponseAccepted, 'A', 2, "mine"};
        QCOMPARE(row->Handlers.CallHandler(event.id, &event), EventId::ResponseAccepted);
        Accept("mine");
        QCOMPARE(Sent().size(), std::size_t{1});
    }

    void validationMessagesPostNothing() {
        // Each returns normally after its box, so Batch Send goes on to the next row.
        Prepare("0", "0");
        row->SendButtonClick(nullptr);
        Prepare("2", "-1");
        row->SendButtonClick(nullptr);
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
        Accept("R");
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
        QCOMPARE(Sent().size(), std::size_t{1});
        Prepare("2147483647", "-2147483648");
        row->SendButtonClick(nullptr);
        QCOMPARE(boxes.errors, QStringList({"The delay time must be greater than or equal to zero."}));
        Prepare("2147483647", "0");
        row->SendButtonClick(nullptr);
        QCOMPARE(row->TargetCount, 2147483647);
        QCOMPARE(Sent().size(), std::size_t{1});
        boxes.errors.clear();

        // Pressed with the mouse, the error reaches the application's error box.
        Prepare("x", "0");
        QTest::mouseClick(row->SendButton, Qt::LeftButton);
        QCOMPARE(boxes.appErrors, QStringList({"'x' is not a valid integer value."}));
    }

    void eachSendReadsTheTextAnewAndExpandsItsFlags() {
        Parser::Set_serial_number(41);
        Prepare("3", "0", "N%S");
        row->SendButtonClick(nullptr);
        Accept("R");
        row->MsgTypeEdit->setText(QString(QChar(0xE9)));
        row->MsgTextEdit->setText(QString::fromLatin1("\\x01\xFF%S"));
        Accept("R");
        const auto sent = Sent();
        QCOMPARE(sent.size(), std::size_t{3});
        QCOMPARE(sent[0].text, std::string("N000041"));
        QCOMPARE(sent[1].text, std::string("N000042"));
        QCOMPARE(sent[2].value, 0xE9);
        QCOMPARE(sent[2].text, std::string("\x01\xFF" "000043"));
    }

    // Send while the row's run goes on asks first; No leaves the run alone, Yes starts again.
    void sendDuringARunAsksBeforeStartingAgain() {
        Prepare("3", "0");
        row->SendButton->click();
        QCOMPARE(Sent().size(), std::size_t{1});
        boxes.answer = false;
        row->SendButton->click();
        QCOMPARE(boxes.questions, QStringList({"Row 3 is still sending (1 / 3). Stop it and start again?"}));
        QVERIFY(Sent().empty());
        QCOMPARE(row->CounterLabel->text(), QString("1 / 3"));
        boxes.answer = true;
        row->SendButton->click();
        QCOMPARE(Sent().size(), std::size_t{1});
        // The new run's first message waits behind the old one's, still on the wire.
        QCOMPARE(row->CounterLabel->text(), QString("0 / 3"));
        Accept("old");
        QCOMPARE(row->CounterLabel->text(), QString("1 / 3"));
        for (int n = 0; n < 3; ++n) Accept("R");
        QCOMPARE(row->CounterLabel->text(), QString("3 / 3"));
        QVERIFY(!core->Sends().RowRun(2)->running);
        row->SendButton->click();  // over: no question
        QCOMPARE(boxes.questions.size(), 2);
    }

    // The counter counts what has gone: a message queued behind another row's is not counted
    // until it goes.
    void theCounterCountsWhatHasGone() {
        TSendFrame* other = NewRow(nullptr, 5);
        std::unique_ptr<TSendFrame> owner(other);
        other->MsgTypeEdit->setText("B");
        Prepare("2", "0");
        row->SendButtonClick(nullptr);
        other->SendButtonClick(nullptr);
        Sent();  // the engine has both: row 3's on the wire, row 6's queued behind it
        QCOMPARE(row->CounterLabel->text(), QString("1 / 2"));
        QCOMPARE(other->CounterLabel->text(), QString("0 / 1"));
        Accept("R");  // row 3's first answered: its second queued behind row 6's
        Sent();
        QCOMPARE(other->CounterLabel->text(), QString("1 / 1"));
        QCOMPARE(row->CounterLabel->text(), QString("1 / 2"));
        Accept("B", 5);
        QCOMPARE(row->CounterLabel->text(), QString("2 / 2"));
        rows.pop_back();
    }

    // The core's timers never end early: every delay is at least what was asked.
    void delaysAreNeverShorterThanAsked() {
        std::vector<std::pair<int, qint64>> waited;
        for (int ms : {1, 2, 3, 5, 7, 10, 15, 16, 17, 20, 33, 50, 99, 100, 101}) {
            auto clock = std::make_shared<QElapsedTimer>();
            clock->start();
            scheduler->Post([&waited, ms, clock] { waited.emplace_back(ms, clock->nsecsElapsed()); }, ms);
        }
        QTRY_COMPARE_WITH_TIMEOUT(waited.size(), std::size_t{15}, 5000);
        for (const auto& [ms, ns] : waited) QVERIFY2(ns >= ms * 1000000LL, qPrintable(QString("%1 ms after %2 ns").arg(ms).arg(ns)));
    }

    void sendDuringTheDelayRestartsWithoutTheOldRunsSend() {
        Prepare("3", "300");
        row->SendButtonClick(nullptr);
        Accept("R");
        Prepare("2", "0");
        row->SendButtonClick(nullptr);
        QCOMPARE(Sent().size(), std::size_t{2});
        QCOMPARE(row->CounterLabel->text(), QString("1 / 2"));
        QTest::qWait(400);
        QVERIFY2(Sent().empty(), "the old run's delayed send does not come");
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
        std::vector<TSendFrame*> shown;
        for (int i = 0; i < 9; ++i) {
            shown.push_back(NewRow(&window, i));
            shown.back()->MsgTypeEdit->setText("Z");
            layout->addWidget(shown.back());
        }
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        shown[0]->MsgTextEdit->setFocus();
        QTest::keyClick(&window, Qt::Key_5, Qt::AltModifier);
        QTest::keyClick(&window, Qt::Key_9, Qt::AltModifier);
        QTRY_COMPARE(shown[8]->SentCount, 1);
        const auto sent = Sent();
        QCOMPARE(sent.size(), std::size_t{2});
        QCOMPARE(sent[0].source, 4);
        QCOMPARE(sent[1].source, 8);
        QCOMPARE(shown[0]->MsgTextEdit->text(), QString());  // no digit typed into the edit
        rows.resize(1);
    }

    // The whole road: the row's request through the core and a real control thread over a
    // TCP link to a peer that answers each message, the responses back to the row. The peer
    // sees each next message no sooner than the delay after its answer.
    void aRunThroughTheControlThreadAndATcpPeer() {
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
        CommPrefs comm;
        comm.Type = 1;
        comm.RemoteIp = "127.0.0.1";
        comm.RemotePort = peer.serverPort();
        prefs->Set_comm_prefs(comm);
        row.reset();
        rows.clear();
        core = std::make_unique<AppCore>(*prefs, *scheduler);
        AppCore::Listener listener;
        listener.rowChanged = [this](int) { row->Refresh(); };
        core->SetListener(listener);
        row.reset(NewRow(nullptr, 2));
        core->Start();
        QVERIFY(peer.waitForNewConnection(10000));
        QTcpSocket* link = peer.nextPendingConnection();
        int answered = 0;
        QByteArray pending;
        QElapsedTimer sinceAnswer;
        std::vector<qint64> gaps;  // from an answer to the next message, as the peer sees it
        connect(link, &QTcpSocket::readyRead, link, [&] {
            pending += link->readAll();
            qsizetype end;
            while ((end = pending.indexOf('\r')) >= 0) {
                if (sinceAnswer.isValid()) gaps.push_back(sinceAnswer.nsecsElapsed());
                const auto type = static_cast<std::uint8_t>(pending.at(1));
                pending.remove(0, end + 1);
                const std::string answer = "OK" + std::to_string(++answered);
                CharBuffer frame;
                BuildFrame(frame, type, ctrl::ACK,
                           reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size());
                link->write(reinterpret_cast<const char*>(frame.Data()),
                            static_cast<qint64>(frame.Size()));
                link->flush();
                sinceAnswer.start();
            }
        });

        Prepare("4", "100", "ping");
        row->SendButtonClick(nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(row->ReplyTextEdit->text(), QString("OK4"), 15000);
        QCOMPARE(row->CounterLabel->text(), QString("4 / 4"));
        QVERIFY(!row->StopButton->isEnabled());
        QCOMPARE(answered, 4);
        QCOMPARE(gaps.size(), std::size_t{3});
        for (const qint64 gap : gaps) QVERIFY2(gap >= 100'000'000, qPrintable(QString::number(gap)));
        core->Shutdown();
    }
};

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    SendFrameTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_sendfram.moc"
