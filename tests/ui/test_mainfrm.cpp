#include "ui/mainfrm.h"

#include <QFile>
#include <QtTest>
#include <QSignalSpy>

#include <QCheckBox>
#include <QDockWidget>
#include <QGuiApplication>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QHeaderView>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableView>
#include <QTableWidget>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QToolButton>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/app_core.h"
#include "settings/value_checks.h"
#include "settings/preferences.h"
#include "support/loopback.h"
#include "support/recording_boxes.h"
#include "ui/application.h"
#include "ui/elided_label.h"
#include "ui/latin1.h"
#include "ui/link_indicator.h"
#include "ui/main_status_bar.h"
#include "ui/scenario_panel.h"
#include "ui/traffic_hub.h"
#include "ui/main_status_bar.h"
#include "ui/message_boxes.h"
#include "ui/qt_scheduler.h"
#include "ui/received_list_habits.h"
#include "ui/received_model.h"
#include "ui/sendfram.h"
#include "ui/stats_panel.h"
#include "ui/traffic_model.h"
#include "ui/traffic_panel.h"

namespace {

// OK hands over the stored settings as `change` leaves them; a refusal keeps it open, and then
// it is cancelled.
class FakePreferences : public PreferencesDialog {
public:
    void ShowCommunicationsPage() override { pages << "comm"; }
    void ShowReplyActionsPage() override { pages << "reply"; }
    bool Execute(const Apply& apply) override {
        if (!ok) return false;
        Prefs chosen = settings->Get_prefs();
        if (change) change(chosen);
        refused = apply(chosen);
        return refused.empty();
    }
    QStringList pages;
    Preferences* settings = nullptr;
    std::function<void(Prefs&)> change;
    std::vector<SettingRefusal> refused;
    bool ok = true;
};

class FakeFlagHelp : public FlagHelpDialog {
public:
    bool Execute() override { return ok; }
    QString ChosenText() const override { return code; }
    bool ok = true;
    QString code;
};

class FakeBcc : public BccCalculatorDialog {
public:
    void ShowModeless() override { ++shown; }
    int shown = 0;
};

class FakeAbout : public AboutDialog {
public:
    void Execute() override { ++shown; }
    int shown = 0;
};

std::string Frame(char type, const std::string& text) { return WireFrame(type, 0, text); }

std::string Bcc(char type, const std::string& text) {
    const std::string frame = Frame(type, text);
    return frame.substr(frame.size() - 4, 3);
}

// A received message as the engine reports it: status OK, type A, both checks 123.
ReceivedFrame Record(const std::string& text, std::int32_t status = StatusOk, char type = 'A',
                     const std::string& bcc = "123") {
    ReceivedFrame frame;
    frame.status = status;
    frame.type = static_cast<std::uint8_t>(type);
    frame.rxBcc = frame.calcBcc = bcc;
    frame.text = text;
    return frame;
}

std::vector<std::string> Column(const ReceivedListModel& model, int column) {
    std::vector<std::string> cells;
    for (int r = 0; r < model.rowCount(); ++r) cells.push_back(model.Cell(r, column));
    return cells;
}

}  // namespace

class MainFormTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Preferences> prefs;
    std::unique_ptr<QtScheduler> scheduler;
    std::unique_ptr<AppCore> core;
    std::unique_ptr<TMainForm> form;
    RecordingBoxes boxes;
    int port = 0;

    QString ConfigPath() const { return dir->filePath("ZentrelConfig.ini"); }

    // A window on a fresh configuration whose link is a TCP server on a free port. Without
    // `link` no control thread runs: what the window asks for stays in the core's request
    // broker, and the test plays the engine.
    void Open(const std::function<void(Preferences&)>& setUp = {}, bool link = true) {
        prefs = std::make_unique<Preferences>(ConfigPath().toStdString());
        CommPrefs comm = prefs->Get_comm_prefs();
        comm.Type = 2;
        comm.LocalPort = port = FreeTcpPort();
        prefs->Set_comm_prefs(comm);
        if (setUp) setUp(*prefs);
        scheduler = std::make_unique<QtScheduler>(qApp);
        AppCore::Options options;
        options.runLink = link;
        core = std::make_unique<AppCore>(*prefs, *scheduler, options);
        form = std::make_unique<TMainForm>(*prefs, *core);
        core->Start();
    }
    void OpenWithoutLink(const std::function<void(Preferences&)>& setUp = {}) { Open(setUp, false); }
    // Without a link, shown at the default size; whether it showed.
    bool OpenShownWithoutLink() {
        OpenWithoutLink();
        form->resize(800, 560);
        form->show();
        return QTest::qWaitForWindowExposed(form.get());
    }

    std::vector<Event> TakeRequests() {
        std::vector<Event> events;
        Event e;
        while (core->ToThread().GetEvent(e)) events.push_back(e);
        return events;
    }

    // What the control thread reports, taken in by the core at once.
    void Report(Event event) {
        core->ToWindow().PostEvent(std::move(event));
        core->TakeEvents();
    }
    void Arrive(const ReceivedFrame& frame) {
        Event e{EventId::MessageReceived, static_cast<std::int8_t>(frame.type), 1};
        e.payload = frame;
        Report(std::move(e));
    }

    // One arrival, listed at once (arrivals in a burst are otherwise listed every 50 ms).
    void Add(const ReceivedFrame& frame) {
        Arrive(frame);
        form->FlushReceivedMessages();
    }

    void AddNumbered(int count) {
        for (int i = 1; i <= count; ++i) Add(Record("m" + std::to_string(i)));
    }

    void SelectRows(int top, int bottom) {
        auto* model = form->ReceivedMessages;
        form->ReceivedMsgsGrid->selectionModel()->select(
            QItemSelection(model->index(top, 0), model->index(bottom, ReceivedListModel::ColumnCount - 1)),
            QItemSelectionModel::ClearAndSelect);
    }

    // What the engine reports of a session: its event, and its bytes through the tap.
    void Session(std::uint32_t session, bool open) {
        core->Traffic().Tap().RecordSession(session, open, "127.0.0.1:400" + std::to_string(session));
        Event e{EventId::Session, static_cast<std::int32_t>(session), 0};
        e.payload = SessionInfo{session, "127.0.0.1:400" + std::to_string(session), 0, open};
        Report(std::move(e));
    }
    // A message of `session` listed, and its frame and our ACK on the wire.
    void Exchange(std::uint32_t session, char type, const std::string& text) {
        ReceivedFrame frame = Record(text, StatusOk, type);
        frame.session = session;
        Add(frame);
        for (const auto& [direction, bytes] : {std::pair{Direction::Rx, Frame(type, text)},
                                               std::pair{Direction::Tx, WireFrame(type, 0x06, "ok")}}) {
            core->Traffic().Tap().Record(direction, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                         bytes.size(), session);
        }
        form->Traffic->Drain();
    }

    // With VANTOR_SHOTS naming a folder, the window as it is now goes there as `name`.png.
    void Shoot(const char* name) {
        const QByteArray folder = qgetenv("VANTOR_SHOTS");
        if (folder.isEmpty()) return;
        QApplication::processEvents();
        form->grab().save(QStringLiteral("%1/%2.png").arg(QString::fromLocal8Bit(folder), name));
    }

    std::unique_ptr<QTcpSocket> ConnectPeer() {
        auto peer = std::make_unique<QTcpSocket>();
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {  // the thread may not listen yet
            peer->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
            if (peer->waitForConnected(500)) return peer;
            peer->abort();
            QTest::qWait(20);
        }
        return nullptr;
    }

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        boxes.Reset();
        MessageBoxes::Install(&boxes);
    }

    void cleanup() {
        form.reset();
        core.reset();
        scheduler.reset();
        prefs.reset();
        MessageBoxes::Install(nullptr);
        dir.reset();
    }

    // A settings file with a link value out of range: the window says which keys it replaced,
    // all of the text in the tooltip.
    void settingsReplacedByTheirDefaultsAreSaidWhenShown() {
        {
            QFile file(ConfigPath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[Comm]\nType=2\nBaud=9600\nParity=7\n");
        }
        OpenWithoutLink([](Preferences& p) { p.Load(); });
        form->show();
        QTRY_COMPARE(form->StatusPanels[0]->text(), QString("Default used for Baud=9600, Parity=7"));
        QVERIFY(form->StatusPanels[0]->toolTip().contains("[Comm] Parity=7 is out of its range 0 to 2"));
    }

    // The Scenario dock over a real link: loaded from a file, it follows what the peer does
    // (state, variables, hits, verdicts with their evidence, near misses in the list's
    // tooltips, script errors in the status bar); a refused file changes nothing; Stop gives
    // the link back to the reply actions.
    void scenarioDockFollowsTheLinkAndCommandsTheCore() {
        Open([](Preferences& p) {
            ReplyPrefs table = p.Get_reply_prefs(0);
            table.Type = "L";
            table.Msg = "TABLE";
            p.Set_reply_prefs(0, table);
        });
        const QString scenario = dir->filePath("gate.json");
        {
            QFile file(dir->filePath("hook.lua"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("function on_message(msg)\n  if msg.type == 'E' then error('bad ' .. msg.text) end\nend\n");
        }
        {
            QFile file(scenario);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(R"json({"name": "gate", "start": "locked", "states": ["locked", "open"], "script": "hook.lua",
              "rules": [{"name": "login", "state": "locked", "type": "L", "text": {"regex": "PASS (\\w+)"},
                         "set": {"who": "$1"}, "reply": "HI $1", "goto": "open"}],
              "expect": [{"name": "logs in", "message": {"type": "L"}, "atLeast": 1},
                         {"name": "logs out", "message": {"type": "Q"}, "atLeast": 1},
                         {"name": "clean", "never": "badBcc"}]})json");
        }
        form->show();
        ScenarioPanel* panel = form->Scenario;
        QVERIFY(!panel->Dock->isVisible());
        QVERIFY(panel->LoadFrom(scenario, false));
        QVERIFY(panel->Dock->isVisible());
        QVERIFY(panel->NameLabel->text().contains("gate"));
        QCOMPARE(panel->Expectations->rowCount(), 3);
        QVERIFY(panel->Expectations->item(0, 0)->text().contains("pending"));

        auto peer = ConnectPeer();
        QVERIFY(peer);
        const auto exchange = [&](char type, const std::string& text) {
            const std::string bytes = Frame(type, text);
            peer->write(bytes.data(), static_cast<qint64>(bytes.size()));
            QByteArray answer;
            QDeadlineTimer deadline(5000);
            while (!answer.endsWith('\r') && !deadline.hasExpired()) {
                if (peer->bytesAvailable() == 0) peer->waitForReadyRead(100);
                answer += peer->readAll();
            }
            return answer.toStdString();
        };
        QCOMPARE(exchange('L', "PASS ann"), WireFrame('L', 0x06, "HI ann"));
        QTRY_VERIFY_WITH_TIMEOUT(panel->StateLabel->text().contains("open"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(panel->Expectations->item(0, 0)->text().contains("passed"), 5000);
        QVERIFY(panel->Expectations->item(2, 0)->text().contains("holding"));
        // Holding is not passed yet: it could still fail.
        QCOMPARE(panel->VerdictLabel->text(), QString("1 passed · 1 holding · 0 failed · 1 pending"));
        QCOMPARE(panel->Variables->item(0, 0)->text(), QString("who"));
        QCOMPARE(panel->Variables->item(0, 1)->text(), QString("ann"));
        QCOMPARE(panel->Rules->item(0, 1)->text(), QString("1"));
        panel->Expectations->selectRow(0);
        QVERIFY(panel->Evidence->toPlainText().contains("PASS ann"));

        // No rule for it: the table answers, and the list's tooltip names the closest rule.
        QCOMPARE(exchange('L', "PASS bob"), WireFrame('L', 0x06, "TABLE"));
        QTRY_COMPARE_WITH_TIMEOUT(form->ReceivedMessages->MessageCount(), 2, 5000);
        const QString tip = form->ReceivedMessages->data(form->ReceivedMessages->index(1, 0), Qt::ToolTipRole).toString();
        QVERIFY2(tip.contains("login") && tip.contains("state"), qPrintable(tip));
        QVERIFY(form->ReceivedMessages->data(form->ReceivedMessages->index(0, 0), Qt::ToolTipRole).toString().contains("rule 1"));
        // The script fails: the table answers and the status bar says where.
        exchange('E', "x");
        QTRY_VERIFY_WITH_TIMEOUT(form->StatusPanels[0]->text().contains("hook.lua:2"), 5000);

        // A broken file is refused with its reason; the scenario in force stays.
        const QString broken = dir->filePath("broken.json");
        {
            QFile file(broken);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(R"({"states": ["a"], "rules": [{"type": "AB"}]})");
        }
        QVERIFY(!panel->LoadFrom(broken, false));
        QCOMPARE(boxes.errors.size(), 1);
        QVERIFY(boxes.errors.front().contains("broken.json"));
        QVERIFY(core->Scenarios().Running());
        QCOMPARE(core->Scenarios().Name(), std::string("gate"));

        QVERIFY(panel->StopButton->isEnabled());
        panel->StopButton->click();
        QVERIFY(!core->Scenarios().Running());
        QVERIFY(!panel->StopButton->isEnabled());
        // Stop ends the run's judging: what waited failed, what held passed, and a message
        // after it changes no verdict.
        QCOMPARE(panel->VerdictLabel->text(), QString("2 passed · 0 holding · 1 failed · 0 pending"));
        QCOMPARE(exchange('Q', "BYE"), WireFrame('Q', 0x06, ""));
        QTRY_COMPARE_WITH_TIMEOUT(form->ReceivedMessages->MessageCount(), 4, 5000);
        panel->Refresh();
        QCOMPARE(panel->VerdictLabel->text(), QString("2 passed · 0 holding · 1 failed · 0 pending"));
        QVERIFY(panel->Expectations->item(1, 0)->text().contains("failed"));
    }

    void layoutTextsAndTables() {
        Open();
        QCOMPARE(form->windowTitle(), QString("Halvorn Vantor Protocol Simulator"));
        QCOMPARE(form->Status->StatusTexts.size(), 12);
        QCOMPARE(form->Status->StatusTexts.front(), QString(""));
        QCOMPARE(form->Status->StatusTexts.back(), QString("DISABLED ERROR"));
        QStringList menus;
        for (QAction* a : form->menuBar()->actions()) {
            // The captions as shown, without the "&" of their accelerator letters.
            menus << a->text().remove('&');
            for (QAction* item : a->menu()->actions())
                menus << (item->isSeparator() ? "-" : item->text().remove('&'));
        }
        QCOMPARE(menus, QStringList({"File", "Batch Send", "-", "Load Scenario...", "Load Expectations...", "Capture...",
                                     "Replay...", "-",
                                     "Exit", "Setup", "Preferences...",
                                     "Link", "Drop TCP Connections", "Send Break",
                                     "Hold the Peer with XOFF...", "Send Raw Bytes...", "-", "Reconnect",
                                     "View", "Traffic",
                                     "Statistics", "Scenario", "Help", "BCC Calculator...", "Flags...", "-", "About..."}));
        QStringList popup;
        for (QAction* item : form->GridPopupMenu->actions()) popup << (item->isSeparator() ? "-" : item->text());
        QCOMPARE(popup, QStringList({"Copy", "Select All", "Delete", "-", "Clear"}));
        QCOMPARE(form->ReceiveConfigureButton->toolTip(),
                 QString("Configure how received messages are handled."));
        QCOMPARE(form->SendRows.size(), 9);
        for (int i = 0; i < 9; ++i) {
            QCOMPARE(form->SendRows[i]->objectName(), QString("SendFrame%1").arg(i));
            QCOMPARE(form->SendRows[i]->RowIndex, i);
        }
        QStringList headers;
        for (int c = 0; c < ReceivedListModel::ColumnCount; ++c)
            headers << form->ReceivedMessages->headerData(c, Qt::Horizontal).toString();
        QCOMPARE(headers, QStringList({"", "TimeStamp", "Status", "Type", "Message Text", "Rx BCC", "Calc BCC",
                                       "Injection", "Way", "Session"}));
        // The way a message went is for the proxy only; the session for more than one.
        QVERIFY(form->ReceivedMsgsGrid->isColumnHidden(ReceivedListModel::WayColumn));
        QVERIFY(form->ReceivedMsgsGrid->isColumnHidden(ReceivedListModel::SessionColumn));
        QCOMPARE(form->ReceivedMessages->rowCount(), 1);  // the input row
        QVERIFY(!form->ShowNonPrintablesCheckBox->isChecked());
    }

    // The reply table and the link summary go out when the window is first shown.
    void firstShowPostsTheReplyTableAndShowsTheLink() {
        OpenWithoutLink([](Preferences& p) {
            ReplyPrefs r;
            r.Type = "A";
            r.Msg = "OK\\r";
            r.Action = 3;
            r.Faults.DelayMin = 250;
            p.Set_reply_prefs(0, r);
            p.Set_fault_seed(77);
        });
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QVERIFY(!form->ClearReceivedButton->isEnabled());
        const auto requests = TakeRequests();
        QCOMPARE(requests.size(), std::size_t{1});
        QCOMPARE(requests[0].id, 10010);
        QCOMPARE(requests[0].value, 10);
        // The rows with their faults, and the seed, as one record.
        const auto& table = std::get<ReplyTable>(requests[0].payload);
        QCOMPARE(table.rows.size(), std::size_t{10});
        QCOMPARE(table.rows[0].Msg, std::string("OK\\r"));
        QCOMPARE(table.rows[0].Action, 3);
        QCOMPARE(table.rows[0].Faults.DelayMin, 250);
        QCOMPARE(table.seed, 77);
        QCOMPARE(form->StatusPanels[2]->text(), QString("TCP/IP Server on Port %1").arg(port));
    }

    void linkSummaries() {
        OpenWithoutLink();
        CommPrefs comm;  // serial, COM1, 19200, 8, 1, N
        prefs->Set_comm_prefs(comm);
        form->ShowCommSettings();
        // The port by the name this machine gives it, as the preferences list it.
        QCOMPARE(form->StatusPanels[2]->text(), QString("ttyS0,19200,8,1,N"));
        comm.Baud = -1;  // a list left without a choice
        comm.Parity = 7;
        prefs->Set_comm_prefs(comm);
        form->ShowCommSettings();
        QCOMPARE(form->StatusPanels[2]->text(), QString("ttyS0,?,8,1,?"));
        comm.Type = 1;
        comm.RemoteIp = "10.1.2.3";
        comm.RemotePort = 5000;
        prefs->Set_comm_prefs(comm);
        form->ShowCommSettings();
        QCOMPARE(form->StatusPanels[2]->text(), QString("TCP/IP Client to 10.1.2.3:5000"));
        comm.Type = 5;
        prefs->Set_comm_prefs(comm);
        form->ShowCommSettings();
        QCOMPARE(form->StatusPanels[2]->text(), QString(""));
    }

    // Events reach the panels through the core, which takes them on the window's thread.
    void statusPanels() {
        OpenWithoutLink();
        core->ToWindow().PostEvent(Event{10003, 0, 0, "Socket error"});
        QTRY_COMPARE(form->StatusPanels[0]->text(), QString("Socket error"));
        core->ToWindow().PostEvent(Event{10006, 0, 0, "Error opening the comm port: busy"});
        QTRY_COMPARE(form->StatusPanels[0]->text(), QString("Error opening the comm port: busy"));
        // The panel cuts a long text; its tooltip holds the whole of it.
        const std::string longError =
            "Socket error: " + std::string(300, 'x') + " (104), on API 'recv' at the end";
        core->ToWindow().PostEvent(Event{10003, 0, 0, longError});
        QTRY_COMPARE(form->StatusPanels[0]->text(), QString::fromStdString(longError));
        QCOMPARE(form->StatusPanels[0]->toolTip(), QString::fromStdString(longError));
        core->ToWindow().PostEvent(Event{10017, 8, 0, ""});
        QTRY_COMPARE(form->StatusPanels[1]->text(), QString("TIMEOUT"));
        core->ToWindow().PostEvent(Event{10017, 0, 0, ""});
        QTRY_COMPARE(form->StatusPanels[1]->text(), QString(""));
        core->ToWindow().PostEvent(Event{10014, 'A', 0, "x"});
        QTRY_COMPARE(form->StatusPanels[1]->text(), QString("Sending..."));
        core->ToWindow().PostEvent(Event{10017, 12, 0, ""});
        QTRY_COMPARE(form->StatusPanels[1]->text(), QString("UNKNOWN STATUS 12"));
        // A response for row 3's message lands there, and nowhere else.
        TakeRequests();
        form->SendRows[2]->MsgTypeEdit->setText("R");
        form->SendRows[2]->SendButtonClick(nullptr);
        const auto sent = TakeRequests();
        QCOMPARE(sent.size(), std::size_t{1});
        Report(sent[0]);  // the engine took it
        Event accepted{10011, 'R', 2, "ACKED"};
        accepted.request = sent[0].request;
        core->ToWindow().PostEvent(accepted);
        QTRY_COMPARE(form->SendRows[2]->ReplyTextEdit->text(), QString("ACKED"));
        QCOMPARE(form->SendRows[1]->ReplyTextEdit->text(), QString(""));
    }

    // What the engine did to an answer is listed with the message it answered, and only there;
    // the saved file keeps its columns.
    void injectionsAreListedWithTheirMessage() {
        OpenWithoutLink();
        form->show();
        ReceivedFrame late = Record("", StatusOk, 'A', "065");
        late.injected = Injected::Delay;
        late.faults = "delay 200 ms";
        Arrive(late);
        Arrive(Record("", StatusOk, 'B', "066"));
        QTRY_COMPARE(form->ReceivedMessages->MessageCount(), 2);
        form->FlushReceivedMessages();
        QCOMPARE(form->ReceivedMessages->Cell(0, ReceivedListModel::InjectionColumn), std::string("delay 200 ms"));
        QCOMPARE(form->ReceivedMessages->Cell(1, ReceivedListModel::InjectionColumn), std::string());
        QCOMPARE(form->ReceivedMessages->headerData(ReceivedListModel::InjectionColumn, Qt::Horizontal).toString(),
                 QString("Injection"));
        QVERIFY(form->ReceivedMessages->TabSeparatedText().find("delay") == std::string::npos);
    }

    // The Link menu asks the engine to act on the link now, offering only what the link can do
    // (the last kind tried, a TCP client, is the one acted on below);
    // its dialogs refuse what will not do and stay open, marking it.
    void linkMenuPostsItsActions() {
        OpenWithoutLink();
        form->show();
        TakeRequests();
        RecordingBoxes boxes;
        QStringList answers;
        QStringList problems;
        // The real dialog's check, as OK would run it; "cancel" cancels.
        form->Links->AskLinkArgument = [&](const LinkArgumentRequest& request) -> std::optional<QString> {
            while (!answers.isEmpty()) {
                const QString answer = answers.takeFirst();
                if (answer == "cancel") return std::nullopt;
                int at = 0, length = 0;
                const QString problem = request.check(answer, at, length);
                if (problem.isEmpty()) return answer;
                problems << QStringLiteral("%1 @%2+%3").arg(problem).arg(at).arg(length);
            }
            return std::nullopt;
        };
        // Each kind enables exactly what it can do; a Type of no kind (a file from a later
        // version) offers nothing.
        const std::pair<QAction*, bool LinkAbilities::*> items[] = {
            {form->DropLinkMenuItem, &LinkAbilities::dropConnections},
            {form->BreakMenuItem, &LinkAbilities::sendBreak},
            {form->XoffMenuItem, &LinkAbilities::xoff},
            {form->RawBytesMenuItem, &LinkAbilities::rawBytes},
            {form->ReconnectMenuItem, &LinkAbilities::reconnect}};
        std::vector<std::int32_t> types;
        for (const LinkKindInfo& kind : LinkKinds()) types.push_back(SettingsValue(kind.kind));
        types.push_back(kLinkKindCount);
        types.push_back(SettingsValue(LinkKind::TcpClient));
        for (std::int32_t type : types) {
            CommPrefs comm = prefs->Get_comm_prefs();
            comm.Type = type;
            core->ApplyLink(comm);
            const LinkAbilities can = LinkCan(comm);
            for (const auto& [item, ability] : items)
                QVERIFY2(item->isEnabled() == can.*ability,
                         qPrintable(QStringLiteral("type %1, %2").arg(type).arg(item->text())));
        }
        QVERIFY(!form->BreakMenuItem->isEnabled() && form->DropLinkMenuItem->isEnabled());
        TakeRequests();
        // Nobody connected: refused and said, nothing posted.
        form->DropLinkMenuItem->trigger();
        QVERIFY(TakeRequests().empty());
        QCOMPARE(form->StatusPanels[0]->text(), QString("Nobody is connected: not done."));
        LinkState connected;
        connected.kind = LinkKind::TcpClient;
        connected.phase = LinkState::Up;
        connected.peers = {"127.0.0.1:5000"};
        Event up{EventId::LinkState, 0, 0, {}};
        up.payload = connected;
        Report(std::move(up));
        form->DropLinkMenuItem->trigger();
        form->BreakMenuItem->trigger();  // disabled on a TCP client: nothing
        form->ReconnectMenuItem->trigger();
        answers = {"", "soon", "250"};
        form->XoffMenuItem->trigger();
        answers = {"\\x01A\\x4", "%D\\x01A\\<ETX>"};
        form->RawBytesMenuItem->trigger();
        answers = {"cancel"};
        form->RawBytesMenuItem->trigger();
        QCOMPARE(problems, QStringList({"'' is not a valid integer value @0+0",
                                        "'soon' is not a valid integer value @0+0",
                                        "\\x needs two hexadecimal digits, as in \\x04. @5+3"}));
        const auto requests = TakeRequests();
        QCOMPARE(requests.size(), std::size_t{4});
        for (const Event& e : requests) QCOMPARE(e.id, EventId::LinkAction);
        QCOMPARE(requests[0].value, LinkActionCode::DropConnections);
        QCOMPARE(requests[1].value, LinkActionCode::Reconnect);
        QCOMPARE(requests[2].value, LinkActionCode::HoldWithXoff);
        QCOMPARE(std::get<LinkActionArgs>(requests[2].payload).ms, 250);
        QCOMPARE(requests[3].value, LinkActionCode::SendRaw);
        // No flags: "%D" goes as it is.
        QCOMPARE(std::get<LinkActionArgs>(requests[3].payload).bytes, std::string("%D\x01" "A\x03"));
        QVERIFY(boxes.errors.isEmpty());
    }

    // The dialog itself: an empty hold time keeps it open with the field marked and the reason
    // under it; a good one closes it.
    void linkArgumentDialogStaysOpenOnARefusal() {
        LinkArgumentRequest request;
        request.title = "Hold the Peer with XOFF";
        request.check = [](const QString& text, int&, int&) { return ToQString(HoldTimeProblem(ToBytes(text))); };
        TLinkArgumentForm dialog(request);
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QString("Hold the Peer with XOFF"));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());  // a fixed frame
        dialog.OkButton->click();
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(dialog.ProblemLabel->text(), QString("'' is not a valid integer value"));
        QVERIFY(dialog.ArgumentEdit->property("refused").toBool());
        QTest::keyClicks(dialog.ArgumentEdit, "300");
        QVERIFY(!dialog.ArgumentEdit->property("refused").toBool());
        dialog.OkButton->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.Text(), QString("300"));
    }

    // Frames from a peer on 127.0.0.1 become rows with every column filled as received.
    void receivedFramesBecomeRows() {
        Open();
        form->show();
        auto peer = ConnectPeer();
        QVERIFY(peer);
        const std::string good = "HELLO \"world\"";
        const std::string nul("A\0B", 3);
        std::string badBcc = Frame('B', "X");
        badBcc[badBcc.size() - 2] = static_cast<char>(badBcc[badBcc.size() - 2] + 1);
        const std::string overlong(600, 'x');
        const std::string delim = "left{DELIM]right";
        for (const std::string& bytes :
             {Frame('A', good), badBcc, Frame('C', overlong), Frame('D', nul), Frame('E', delim)}) {
            peer->write(bytes.data(), static_cast<qint64>(bytes.size()));
            peer->flush();
        }
        auto* model = form->ReceivedMessages;
        QTRY_COMPARE_WITH_TIMEOUT(model->MessageCount(), 5, 10000);
        QCOMPARE(model->rowCount(), 6);
        QCOMPARE(Column(*model, 0), std::vector<std::string>({"1", "2", "3", "4", "5", ""}));
        QCOMPARE(Column(*model, 2), std::vector<std::string>({"OK           ", "Bad BCC      ",
                                                              "Bad Size     ", "OK           ",
                                                              "OK           ", ""}));
        QCOMPARE(Column(*model, 3), std::vector<std::string>({"A", "B", "C", "D", "E", ""}));
        QCOMPARE(Column(*model, 4), std::vector<std::string>({good, "X", std::string(512, 'x'), nul,
                                                              delim, ""}));
        std::string wrong = Bcc('B', "X");
        wrong[2] = static_cast<char>(wrong[2] + 1);
        QCOMPARE(Column(*model, 5),
                 std::vector<std::string>({Bcc('A', good), wrong, "", Bcc('D', nul), Bcc('E', delim), ""}));
        QCOMPARE(Column(*model, 6),
                 std::vector<std::string>({Bcc('A', good), Bcc('B', "X"), "", Bcc('D', nul), Bcc('E', delim), ""}));
        // Shown as the traffic view shows times; saved in the list's own form (below).
        const QRegularExpression stamp("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$");
        for (int r = 0; r < 5; ++r) QVERIFY(stamp.match(QString::fromStdString(model->Cell(r, 1))).hasMatch());
        // The newest message is the current row, and the list can be cleared now.
        QCOMPARE(form->ReceivedMsgsGrid->currentIndex().row(), 4);
        QVERIFY(form->ReceivedMsgsGrid->selectionModel()->isRowSelected(4, QModelIndex()));
        QVERIFY(form->ClearReceivedButton->isEnabled());
        // The NUL is shown as a character of its own.
        QCOMPARE(model->data(model->index(3, 4)).toString(), QString(QChar(u'A')) + QChar(0) + QChar(u'B'));

        // Saved byte for byte: the header, every field followed by a TAB, CR LF.
        const QString path = dir->filePath("saved.tsv");
        form->RxPanel->ChooseSaveFile = [&] { return path; };
        form->SaveButtonClick();
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        std::string expected = "TimeStamp\tStatus\tType\tMessage Text\tRx BCC\tCalc BCC\t\r\n";
        const std::string quoted[] = {"\"HELLO \"\"world\"\"\"", "\"X\"", "\"" + overlong.substr(0, 512) + "\"",
                                      "\"" + nul + "\"", "\"left{DELIM]right\""};
        for (int r = 0; r < 5; ++r) {
            std::string savedTime = model->Cell(r, 1);
            savedTime[8] = ':';
            expected += savedTime + "\t" + model->Cell(r, 2) + "\t" + model->Cell(r, 3) + "\t" +
                        quoted[r] + "\t" + model->Cell(r, 5) + "\t" + model->Cell(r, 6) + "\t\r\n";
        }
        QCOMPARE(saved.readAll().toStdString(), expected);
        QVERIFY(boxes.appErrors.isEmpty());
    }

    // Numbers of six digits and more are shown whole: the number column grows to them.
    void numbersPastFiveDigitsAreShownWhole() {
        OpenWithoutLink();
        form->show();
        auto* model = form->ReceivedMessages;
        const int narrow = form->ReceivedMsgsGrid->columnWidth(ReceivedListModel::NumberColumn);
        Add(Record("first"));
        QCOMPARE(form->ReceivedMsgsGrid->columnWidth(ReceivedListModel::NumberColumn), narrow);
        for (int i = 0; i < 123456; ++i) core->Messages().Add(Record("m"), 0, false);
        form->FlushReceivedMessages();
        QCOMPARE(model->Cell(model->MessageCount() - 1, ReceivedListModel::NumberColumn), std::string("123457"));
        const QFontMetrics metrics = form->ReceivedMsgsGrid->fontMetrics();
        QVERIFY(form->ReceivedMsgsGrid->columnWidth(ReceivedListModel::NumberColumn) >
                metrics.horizontalAdvance(QStringLiteral("123457")));
    }

    // A list past its warning size says so once in the status bar and offers to keep the
    // newest messages; the choice bounds the list at once and is kept in the settings.
    void aLargeListIsToldOnceAndCanKeepItsNewest() {
        prefs = std::make_unique<Preferences>(ConfigPath().toStdString());
        scheduler = std::make_unique<QtScheduler>(qApp);
        AppCore::Options options;
        options.runLink = false;
        options.listWarnBytes = 256 * 1024;
        core = std::make_unique<AppCore>(*prefs, *scheduler, options);
        form = std::make_unique<TMainForm>(*prefs, *core);
        core->Start();
        form->show();
        QVERIFY(!form->Status->KeepNewestButton->isVisible());
        for (int i = 0; i < 5000; ++i) Arrive(Record(std::string(100, 'x')));
        QVERIFY(form->StatusPanels[0]->text().startsWith("Received list:"));
        QVERIFY(form->Status->KeepNewestButton->isVisible());
        boxes.numberAnswer.reset();  // cancelled: nothing changes
        form->Status->KeepNewestButton->click();
        QCOMPARE(boxes.numberQuestions.size(), 1);
        QCOMPARE(core->Messages().Size(), std::size_t{5000});
        boxes.numberAnswer = 1000;
        form->Status->KeepNewestButton->click();
        QCOMPARE(core->Messages().Size(), std::size_t{1000});
        QCOMPARE(prefs->Get_traffic_prefs().ListMax, 1000);
        QVERIFY(!form->Status->KeepNewestButton->isVisible());
        QVERIFY(form->StatusPanels[0]->text().contains("1000"));
        form->FlushReceivedMessages();
        QCOMPARE(form->ReceivedMessages->MessageCount(), 1000);
    }

    void recordsThatAreShortOrShownReadably() {
        OpenWithoutLink();
        Add(Record("", StatusBadStx, 'Q', ""));  // a frame broken at its start: the rest stays empty
        form->ShowNonPrintablesCheckBox->setChecked(true);
        Add(Record(std::string("a\x03z\xff", 4)));
        form->ShowNonPrintablesCheckBox->setChecked(false);  // rows already listed stay
        auto* model = form->ReceivedMessages;
        QCOMPARE(model->Cell(0, 2), std::string("Bad STX      "));
        QCOMPARE(model->Cell(0, 3), std::string("Q"));
        QCOMPARE(model->Cell(0, 4), std::string(""));
        QCOMPARE(model->Cell(0, 5), std::string(""));
        QCOMPARE(model->Cell(1, 4), std::string("a<ETX>z<xFF>"));
        const QString path = dir->filePath("two.tsv");
        QVERIFY(form->SaveReceivedMessages(path));
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = saved.readAll().split('\n');
        QCOMPARE(lines.size(), 4);
        QVERIFY(lines[1].endsWith("\tBad STX      \tQ\t\"\"\t\t\t\r"));
        QVERIFY(lines[2].endsWith("\t\"a<ETX>z<xFF>\"\t123\t123\t\r"));
    }

    void saveFailuresLeaveTheListAlone() {
        OpenWithoutLink();
        form->RxPanel->ChooseSaveFile = [] { return QString(); };  // cancelled
        form->SaveButtonClick();
        QVERIFY(form->SaveReceivedMessages(dir->filePath("empty.tsv")));
        QFile empty(dir->filePath("empty.tsv"));
        QVERIFY(empty.open(QIODevice::ReadOnly));
        QCOMPARE(empty.readAll(), QByteArray("TimeStamp\tStatus\tType\tMessage Text\tRx BCC\tCalc BCC\t\r\n"));
        AddNumbered(2);
        const QString missing = dir->filePath("no/such/dir/x.tsv");
        QVERIFY(!form->SaveReceivedMessages(missing));
        QVERIFY(!form->SaveReceivedMessages("/dev/full"));
        QCOMPARE(boxes.appErrors, QStringList({"Cannot create file " + missing + ".", "Stream write error."}));
        QCOMPARE(form->ReceivedMessages->MessageCount(), 2);
    }

    void deleteAndSelectAll() {
        OpenWithoutLink();
        auto* model = form->ReceivedMessages;
        form->SelectAllPopupMenuItemClick();  // empty list: nothing
        QVERIFY(!form->ReceivedMsgsGrid->selectionModel()->hasSelection());

        AddNumbered(5);
        SelectRows(1, 2);  // grid rows 2 to 3
        form->DeletePopupMenuItemClick();
        QCOMPARE(Column(*model, 0), std::vector<std::string>({"1", "4", "5", ""}));
        QCOMPARE(Column(*model, 4), std::vector<std::string>({"m1", "m4", "m5", ""}));
        Add(Record("next"));
        QCOMPARE(Column(*model, 0), std::vector<std::string>({"1", "4", "5", "4", ""}));

        // A range that runs into the input row: its top becomes the input row.
        SelectRows(2, 4);
        form->DeletePopupMenuItemClick();
        QCOMPARE(Column(*model, 0), std::vector<std::string>({"1", "4", ""}));
        Add(Record("again"));
        QCOMPARE(Column(*model, 0), std::vector<std::string>({"1", "4", "3", ""}));

        // The input row alone: nothing.
        SelectRows(3, 3);
        form->DeletePopupMenuItemClick();
        QCOMPARE(model->rowCount(), 4);

        // Select All takes every message row, not the input row; Del removes them.
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->ReceivedMsgsGrid->setFocus();
        QTest::keyClick(form->ReceivedMsgsGrid, Qt::Key_A, Qt::ControlModifier);
        auto* selection = form->ReceivedMsgsGrid->selectionModel();
        QCOMPARE(selection->selectedRows().size(), 3);
        QVERIFY(!selection->isRowSelected(3, QModelIndex()));
        QTest::keyClick(form->ReceivedMsgsGrid, Qt::Key_Delete);
        QCOMPARE(model->rowCount(), 1);
        Add(Record("first again"));
        QCOMPARE(Column(*model, 0), std::vector<std::string>({"1", ""}));
    }

    void aBurstIsListedInOneGoAndCommandsSeeIt() {
        OpenWithoutLink();
        auto* model = form->ReceivedMessages;
        QSignalSpy inserts(model, &QAbstractItemModel::rowsInserted);
        auto arrive = [this](const std::string& text) { Arrive(Record(text)); };
        // The first after a quiet spell is listed at once, the rest of the burst together.
        arrive("b1");
        QCOMPARE(model->MessageCount(), 1);
        arrive("b2");
        arrive("b3");
        arrive("b4");
        QCOMPARE(model->MessageCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(model->MessageCount(), 4, 2000);
        QCOMPARE(inserts.size(), 2);
        QCOMPARE(Column(*model, 0), std::vector<std::string>({"1", "2", "3", "4", ""}));
        QCOMPARE(Column(*model, 4), std::vector<std::string>({"b1", "b2", "b3", "b4", ""}));
        QCOMPARE(form->ReceivedMsgsGrid->currentIndex().row(), 3);

        // A command right after an arrival works on the list with that message in it.
        arrive("b5");
        form->SelectAllPopupMenuItemClick();
        QCOMPARE(model->MessageCount(), 5);
        QCOMPARE(form->ReceivedMsgsGrid->selectionModel()->selectedRows().size(), 5);
        arrive("b6");
        QVERIFY(form->SaveReceivedMessages(dir->filePath("burst.tsv")));
        QFile saved(dir->filePath("burst.tsv"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll().count("\r\n"), 7);  // the header and six messages
        // Clear drops a message still waiting too.
        arrive("b7");
        boxes.answer = true;
        form->ClearReceivedButtonClick();
        QTest::qWait(120);
        QCOMPARE(model->MessageCount(), 0);
    }

    // With "Messages kept" set, rows go on numbering past it: the list never starts again at
    // the bound, nor repeats a number.
    void rowNumbersKeepIncreasingPastTheBound() {
        OpenWithoutLink([](Preferences& p) {
            TrafficPrefs traffic = p.Get_traffic_prefs();
            traffic.ListMax = 50;
            p.Set_traffic_prefs(traffic);
        });
        form->show();
        auto* model = form->ReceivedMessages;
        for (int i = 1; i <= 150; ++i) {
            Arrive(Record("m" + std::to_string(i)));
            if (i % 7 == 0) form->FlushReceivedMessages();  // listed in bursts, as a flood is
        }
        form->FlushReceivedMessages();
        QCOMPARE(model->MessageCount(), 50);
        for (int r = 0; r < 50; ++r) QCOMPARE(model->Cell(r, 0), std::to_string(101 + r));
        AddNumbered(3);
        QCOMPARE(model->Cell(model->MessageCount() - 1, 0), std::string("153"));
        QCOMPARE(model->Cell(0, 0), std::string("104"));
    }

    // Tab goes through a row's fields to its Send button, then on to the next row.
    void tabReachesSendAndTheNextRow() {
        OpenWithoutLink();
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        TSendFrame* first = form->SendRows[0];
        first->MsgTypeEdit->setFocus();
        const std::vector<QWidget*> expected = {first->MsgTextEdit, first->SendCountEdit, first->DelayEdit,
                                                first->SendButton,
                                                form->SendRows[1]->MsgTypeEdit};
        for (QWidget* next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
    }

    // The status bar fits the window at its default size and never widens it: long texts
    // end in "…" with the whole in the tooltip. A message about the link goes when a new
    // connection comes or the link changes.
    void statusBarFitsAndForgetsOldLinkNews() {
        OpenWithoutLink();
        form->resize(800, 560);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        Event state{EventId::LinkState, 0, 0};
        state.payload = LinkState{LinkKind::TcpServer, LinkState::Up, "port 5100", {"127.0.0.1:40001", "127.0.0.1:40002"}};
        Report(state);
        Report(Event{EventId::Error, 0, 0, "Connection closed by 127.0.0.1:40001"});
        Report(Event{EventId::Status, StatusBadBcc, 0});
        QApplication::processEvents();
        QCOMPARE(form->width(), 800);
        QVERIFY(form->statusBar()->minimumSizeHint().width() <= 750);
        auto* indicator = static_cast<ElidedLabel*>(form->Traffic->Indicator);
        QCOMPARE(indicator->ShownText(), indicator->text());  // whole at the default size
        for (QLabel* panel : form->StatusPanels)
            QCOMPARE(static_cast<ElidedLabel*>(panel)->ShownText(), panel->text());
        for (int i = 0; i < 2; ++i) {  // neighbours never overlap
            const QRect left = form->StatusPanels[i]->geometry(), right = form->StatusPanels[i + 1]->geometry();
            QVERIFY(left.right() < right.left());
        }
        form->resize(750, 560);
        Report(Event{EventId::Error, 0, 0, "Socket error: " + std::string(200, 'x')});
        QApplication::processEvents();
        QCOMPARE(form->width(), 750);
        QVERIFY(static_cast<ElidedLabel*>(form->StatusPanels[0])->ShownText().endsWith(QChar(0x2026)));

        // A new client makes the old message old news; so does another link.
        state.payload = LinkState{LinkKind::TcpServer, LinkState::Up, "port 5100", {"127.0.0.1:40002", "127.0.0.1:40003"}};
        Report(state);
        QCOMPARE(form->StatusPanels[0]->text(), QString());
        QCOMPARE(core->GetStatus().linkError, std::string());
        Report(Event{EventId::Error, 0, 0, "Connection closed by 127.0.0.1:40002"});
        CommPrefs serial = prefs->Get_comm_prefs();
        serial.Type = 0;
        core->ApplyLink(serial);
        QCOMPARE(form->StatusPanels[0]->text(), QString());
    }

    // Opened below, the traffic view leaves two whole send rows in sight at the default size.
    void theTrafficViewLeavesTheRowsInSight() {
        QVERIFY(OpenShownWithoutLink());
        form->Traffic->TrafficDock->show();
        QTRY_VERIFY(form->Traffic->TrafficDock->isVisible());
        QApplication::processEvents();
        QVERIFY2(form->SendScrollBox->viewport()->height() >= 2 * form->SendRows[0]->height(),
                 qPrintable(QString::number(form->SendScrollBox->viewport()->height())));
        QVERIFY(form->Traffic->TrafficDock->height() >= 120);
        QCOMPARE(form->size(), QSize(800, 560));  // the window did not grow to make room
    }

    // At the default size every panel leaves the rows their controls: a panel beside them
    // that has no room opens as a window of its own; the window never widens for one.
    void panelsBesideTheRowsLeaveThemTheirControls() {
        QVERIFY(OpenShownWithoutLink());
        const auto rowsWhole = [&] {
            return form->SendScrollBox->viewport()->width() >= form->SendRows[0]->minimumSizeHint().width();
        };
        QVERIFY(rowsWhole());
        form->Traffic->TrafficDock->show();
        for (QDockWidget* dock : {form->Traffic->StatisticsDock, form->Scenario->Dock}) {
            dock->show();
            QTRY_VERIFY(dock->isFloating());
            QApplication::processEvents();
            QVERIFY(rowsWhole());
            QCOMPARE(form->size(), QSize(800, 560));
        }
    }

    // With one peer the window is as it always was; once a second session begins, both lists
    // show each line's session and can show one session alone, and the statistics follow the
    // traffic view's choice.
    void sessionsShowOnceASecondBegins() {
        QVERIFY(OpenShownWithoutLink());
        form->Traffic->TrafficDock->show();
        form->Traffic->StatisticsDock->show();
        TrafficPanel* traffic = form->Traffic->Traffic;
        QSpinBox* rxChoice = form->ListHabits->SessionBox;
        const auto sessionsShown = [&] {
            const bool rx = !form->ReceivedMsgsGrid->isColumnHidden(ReceivedListModel::SessionColumn);
            const bool tx = !traffic->Table()->isColumnHidden(TrafficModel::SessionColumn);
            // The column and the choice come together, in both views.
            if (rx != tx || rx != rxChoice->isVisible() || rx != traffic->SessionBox->isVisible()) return -1;
            return rx ? 1 : 0;
        };

        Session(1, true);
        Exchange(1, 'A', "one");
        Exchange(1, 'A', "two");
        QCOMPARE(sessionsShown(), 0);
        Shoot("one-session");
        const QSize before = form->size();
        Session(1, false);
        Session(2, true);
        QCOMPARE(sessionsShown(), 1);
        QCOMPARE(form->size(), before);  // a second peer does not widen the window
        QCOMPARE(rxChoice->maximum(), 2);
        QCOMPARE(rxChoice->text(), QString("All sessions"));
        Exchange(2, 'B', "three");
        Session(3, true);
        Exchange(3, 'C', "four");
        QCOMPARE(traffic->SessionBox->maximum(), 3);
        QCOMPARE(Column(*form->ReceivedMessages, ReceivedListModel::SessionColumn),
                 std::vector<std::string>({"1", "1", "2", "3", ""}));
        QCOMPARE(traffic->Model()->index(0, TrafficModel::SessionColumn).data().toString(), QString("1"));
        QCOMPARE(form->ReceivedMsgsGrid->horizontalHeader()->visualIndex(ReceivedListModel::SessionColumn),
                 form->ReceivedMsgsGrid->horizontalHeader()->visualIndex(ReceivedListModel::TimeColumn) + 1);

        // The received list by keyboard: two steps up from "All sessions" is session 2.
        const auto shownTexts = [&] {
            std::vector<std::string> texts;
            for (int row = 0; row < form->ReceivedMessages->MessageCount(); ++row)
                if (!form->ReceivedMsgsGrid->isRowHidden(row))
                    texts.push_back(form->ReceivedMessages->Cell(row, ReceivedListModel::TextColumn));
            return texts;
        };
        rxChoice->setFocus();
        QTest::keyClick(rxChoice, Qt::Key_Up);
        QCOMPARE(shownTexts(), std::vector<std::string>({"one", "two"}));
        QTest::keyClick(rxChoice, Qt::Key_Up);
        QCOMPARE(rxChoice->text(), QString("Session 2"));
        QCOMPARE(shownTexts(), std::vector<std::string>({"three"}));
        Exchange(3, 'C', "late");  // a newcomer meets the choice in force
        QCOMPARE(shownTexts(), std::vector<std::string>({"three"}));
        form->ListHabits->SearchEdit->setText("nothing like it");  // with the text filter too
        QCOMPARE(shownTexts(), std::vector<std::string>{});
        form->ListHabits->SearchEdit->clear();
        QCOMPARE(shownTexts(), std::vector<std::string>({"three"}));

        // The traffic view by typing the number; the statistics then are the session's.
        StatsPanel* stats = form->Traffic->Statistics;
        QTRY_COMPARE(stats->Figure("Received frames"), QString("5"));
        traffic->SessionBox->setFocus();
        traffic->SessionBox->selectAll();
        QTest::keyClicks(traffic->SessionBox, "3");
        QCOMPARE(traffic->Session(), 3u);
        QStringList texts;
        for (int row = 0; row < traffic->Model()->rowCount(); ++row)
            texts << traffic->Model()->index(row, TrafficModel::TextColumn).data().toString();
        QCOMPARE(texts, QStringList({"four", "ok", "late", "ok"}));
        QCOMPARE(stats->Figure("Received frames"), QString("2"));
        QCOMPARE(stats->Figure("Type C"), QString("2"));
        QCOMPARE(stats->Figure("Type A"), QString());
        QCOMPARE(stats->Figure("Answer latency count"), QString("2"));
        QCOMPARE(form->Traffic->StatisticsDock->windowTitle(), QString("Statistics: Session 3"));
        QCOMPARE(form->Traffic->StatisticsDock->toggleViewAction()->text(), QString("&Statistics"));
        Event accepted{EventId::ResponseAccepted, 'Q', 0, "ok"};
        accepted.payload = SendOutcome{'Q', 0, -1, 1, 0, 0, 3};
        Report(accepted);
        QTRY_COMPARE(stats->Figure("Accepted"), QString("1"));
        Shoot("sessions");
        // Without the statistics beside it, the window keeps its default size.
        form->Traffic->StatisticsDock->hide();
        QApplication::processEvents();
        form->resize(800, 560);
        QTRY_COMPARE(form->size(), QSize(800, 560));
        Shoot("sessions-800x560");
        form->Traffic->StatisticsDock->show();

        // Session 3's figures go with its end: the aggregate again, and the title says why.
        Session(3, false);
        form->Traffic->Drain();
        QTRY_COMPARE(form->Traffic->StatisticsDock->windowTitle(),
                     QString("Statistics: all sessions (Session 3 has ended)"));
        QCOMPARE(stats->Figure("Received frames"), QString("5"));
        traffic->SessionBox->setValue(0);
        QCOMPARE(form->Traffic->StatisticsDock->windowTitle(), QString("Statistics"));
        QCOMPARE(traffic->Model()->rowCount(), 10);
    }

    void clearAsksFirst() {
        OpenWithoutLink();
        AddNumbered(3);
        QVERIFY(form->ClearReceivedButton->isEnabled());
        boxes.answer = false;
        form->ClearReceivedButtonClick();
        QCOMPARE(form->ReceivedMessages->MessageCount(), 3);
        boxes.answer = true;
        form->ClearPopupMenuItem->trigger();
        QCOMPARE(boxes.questions,
                 QStringList(2, "Are you sure you want to clear the list of received messages?"));
        QCOMPARE(form->ReceivedMessages->rowCount(), 1);
        QVERIFY(!form->ClearReceivedButton->isEnabled());
        Add(Record("after"));
        QCOMPARE(form->ReceivedMessages->Cell(0, 0), std::string("1"));
    }

    void preferencesSequence() {
        OpenWithoutLink();
        form->show();
        TakeRequests();
        FakePreferences dialog;
        dialog.settings = prefs.get();
        MainFormDialogs dialogs;
        dialogs.preferences = &dialog;
        form->SetDialogs(dialogs);

        dialog.ok = false;  // Cancel: nothing
        form->PreferencesMenuItem->trigger();
        QVERIFY(TakeRequests().empty());

        dialog.ok = true;  // OK, nothing changed: the table (and its faults) again, no new link
        form->ReceiveConfigureButton->click();
        auto requests = TakeRequests();
        QCOMPARE(requests.size(), std::size_t{1});
        QCOMPARE(requests[0].id, 10010);

        // Refused: nothing stored, nothing posted, the refusal named.
        dialog.change = [](Prefs& chosen) {
            chosen.Comm.Baud = 4;
            chosen.Line.breakMs = -1;
        };
        form->PreferencesMenuItem->trigger();
        QVERIFY(TakeRequests().empty());
        QCOMPARE(dialog.refused.size(), std::size_t{1});
        QCOMPARE(dialog.refused[0].field, std::string("LineFaults.breakMs"));
        QVERIFY(prefs->Get_comm_prefs().Baud != 4);

        dialog.change = [](Prefs& chosen) {  // serial COM1 from 19200 to 9600 baud
            chosen.Comm = CommPrefs{};
            chosen.Comm.Baud = 4;
        };
        form->PreferencesMenuItem->trigger();
        requests = TakeRequests();
        QCOMPARE(requests.size(), std::size_t{2});
        QCOMPARE(requests[0].id, 10008);
        QCOMPARE(std::get<CommPrefs>(requests[0].payload).Baud, 4);
        QCOMPARE(requests[1].id, 10010);
        QCOMPARE(form->StatusPanels[2]->text(), QString("ttyS0,9600,8,1,N"));
        QCOMPARE(dialog.pages, QStringList({"comm", "reply", "comm", "comm"}));
    }

    void flagInsertionAndTheOtherDialogs() {
        OpenWithoutLink();
        FakeFlagHelp flags;
        FakeBcc bcc;
        FakeAbout about;
        form->SetDialogs(MainFormDialogs{nullptr, &flags, &bcc, &about});
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QLineEdit* edit = form->SendRows[1]->MsgTextEdit;
        edit->setFocus();
        edit->setText("ABCDEF");
        edit->setSelection(2, 2);
        flags.code = "%D";
        form->FlagsHelpMenuItem->trigger();
        QCOMPARE(edit->text(), QString("AB%DEF"));
        QCOMPARE(edit->cursorPosition(), 4);
        QVERIFY(!edit->hasSelectedText());
        form->FlagsHelpMenuItemClick();  // no selection: at the caret
        QCOMPARE(edit->text(), QString("AB%D%DEF"));

        form->SendRows[1]->MsgTypeEdit->setFocus();  // focus elsewhere: nothing
        form->FlagsHelpMenuItemClick();
        flags.ok = false;
        edit->setFocus();
        form->FlagsHelpMenuItemClick();
        QCOMPARE(edit->text(), QString("AB%D%DEF"));

        form->BCCCalcMenuItem->trigger();
        form->AboutMenuItem->trigger();
        QCOMPARE(bcc.shown, 1);
        QCOMPARE(about.shown, 1);
    }

    void batchSendStartsRowsInOrder() {
        OpenWithoutLink([](Preferences& p) {
            for (int slot : {0, 3, 8}) {
                SendPrefs s;
                s.Type = std::string(1, static_cast<char>('A' + slot));
                s.Msg = "row " + std::to_string(slot + 1);
                p.Set_send_prefs(slot, s);
            }
        });
        TakeRequests();  // the reply table the core hands the engine at its start
        form->BatchSendMenuItemClick();
        auto requests = TakeRequests();
        QCOMPARE(requests.size(), std::size_t{3});
        for (int i = 0; i < 3; ++i) {
            const int slot = std::vector<int>{0, 3, 8}[static_cast<std::size_t>(i)];
            QCOMPARE(requests[static_cast<std::size_t>(i)].id, 10015);
            QCOMPARE(requests[static_cast<std::size_t>(i)].source, slot);
            QCOMPARE(requests[static_cast<std::size_t>(i)].value, 'A' + slot);
            QCOMPARE(requests[static_cast<std::size_t>(i)].text, "row " + std::to_string(slot + 1));
        }

        // A count that is no number ends the batch there, in the application's error box.
        form->SendRows[3]->SendCountEdit->setText("x3");
        form->BatchSendMenuItem->trigger();
        QCOMPARE(TakeRequests().size(), std::size_t{1});
        QCOMPARE(boxes.appErrors, QStringList({"'x3' is not a valid integer value."}));
    }

    // Closing ends the thread; the window stores its placement and the rows their texts.
    void closingStoresPlacementAndRows() {
        Open([](Preferences& p) {
            p.Set_display_prefs({.Left = 40, .Top = 30, .Height = 600, .Width = 820, .Flags = 7});
        });
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QCOMPARE(form->size(), QSize(820, 600));
        form->resize(900, 640);
        form->SendRows[4]->MsgTypeEdit->setText("Z");
        form->SendRows[4]->MsgTextEdit->setText("typed %D\\r");
        form->SendRows[4]->SendCountEdit->setText("not a number");
        form->TxRxSplitter->setSizes({form->TxRxSplitter->height() - 230, 230});
        QVERIFY(form->close());
        QVERIFY(core->ShutDown());
        QCOMPARE(form->StatusPanels[0]->text(), QString(""));
        QCOMPARE(form->StatusPanels[0]->toolTip(), QString(""));
        form.reset();
        prefs->Save();

        Preferences reread(ConfigPath().toStdString());
        const DisplayPrefs d = reread.Get_display_prefs();
        QCOMPARE(d.Width, 900);
        QCOMPARE(d.Height, 640);
        QCOMPARE(d.State, 0);
        QCOMPARE(d.Flags, 7);
        QCOMPARE(d.RxHeight, 230);  // the list's height, as the splitter was left
        const SendPrefs row = reread.Get_send_prefs(4);
        QCOMPARE(row.Type, std::string("Z"));
        QCOMPARE(row.Msg, std::string("typed %D\\r"));
        QCOMPARE(row.Count, std::string("not a number"));
    }

    // A placement whose title bar shows on no screen opens in the middle of the primary
    // screen, at the stored size when that fits; any other opens as stored.
    void placementOffEveryScreenMovesOntoThePrimaryScreen_data() {
        QTest::addColumn<QRect>("stored");
        QTest::addColumn<bool>("moved");
        QTest::newRow("on the screen") << QRect(40, 30, 600, 400) << false;
        QTest::newRow("partly left of it") << QRect(-300, 30, 600, 400) << false;
        QTest::newRow("far right and below") << QRect(3000, 2000, 600, 400) << true;
        QTest::newRow("off and too big") << QRect(3000, 2000, 5000, 4000) << true;
        QTest::newRow("title bar above") << QRect(40, -300, 600, 400) << true;
        QTest::newRow("a sliver on the left") << QRect(-590, 30, 600, 400) << true;
    }
    void placementOffEveryScreenMovesOntoThePrimaryScreen() {
        QFETCH(QRect, stored);
        QFETCH(bool, moved);
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        if (area.width() < 640 || area.height() < 440 || QGuiApplication::screens().size() != 1)
            QSKIP("the rows are laid out for one screen of at least 640 by 440");
        Open([&](Preferences& p) {
            p.Set_display_prefs({.Left = stored.left(),
                                 .Top = stored.top(),
                                 .Height = stored.height(),
                                 .Width = stored.width()});
        });
        QRect expected = stored;
        if (moved) {
            expected.setSize(stored.size().boundedTo(area.size()));
            expected.moveTopLeft({area.left() + (area.width() - expected.width()) / 2,
                                  area.top() + (area.height() - expected.height()) / 2});
        }
        QCOMPARE(QRect(form->pos(), form->size()), expected);
    }

    // Alt and a menu's letter opens that menu, also from a send row's text, which gets no
    // letter; a letter in the open menu chooses its entry.
    void menusOpenWithTheirAcceleratorLetters_data() {
        QTest::addColumn<int>("menuKey");
        QTest::addColumn<QString>("menu");
        QTest::addColumn<int>("entryKey");
        QTest::addColumn<QString>("entry");
        QTest::newRow("File") << int(Qt::Key_F) << "File" << int(Qt::Key_B) << "Batch Send";
        QTest::newRow("Setup") << int(Qt::Key_S) << "Setup" << int(Qt::Key_P) << "Preferences...";
        QTest::newRow("Help") << int(Qt::Key_H) << "Help" << int(Qt::Key_A) << "About...";
    }
    void menusOpenWithTheirAcceleratorLetters() {
        QFETCH(int, menuKey);
        QFETCH(QString, menu);
        QFETCH(int, entryKey);
        QFETCH(QString, entry);
        OpenWithoutLink();
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QLineEdit* edit = form->SendRows[0]->MsgTextEdit;
        edit->setFocus();
        edit->setText("text");
        QAction* chosen = nullptr;
        for (QAction* a : form->menuBar()->actions())
            for (QAction* item : a->menu()->actions())
                if (item->text().remove('&') == entry) chosen = item;
        QVERIFY(chosen);
        QSignalSpy triggered(chosen, &QAction::triggered);

        QTest::keyClick(edit, Qt::Key(menuKey), Qt::AltModifier);
        QCOMPARE(edit->text(), QString("text"));
        auto* open = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY2(open, "no menu opened");
        QCOMPARE(open->title().remove('&'), menu);
        QTest::keyClick(open, Qt::Key(entryKey));
        QTRY_COMPARE(triggered.size(), 1);
        QVERIFY(!QApplication::activePopupWidget());
        QCOMPARE(edit->text(), QString("text"));
    }

    void maximisedStartKeepsTheNormalBounds() {
        Open([](Preferences& p) {
            p.Set_display_prefs({.Left = 100, .Top = 50, .Height = 500, .Width = 700, .State = 2});
        });
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QVERIFY(form->isMaximized());
        form->close();
        form.reset();
        const DisplayPrefs d = prefs->Get_display_prefs();
        QCOMPARE(d.State, 2);
        QCOMPARE(QRect(d.Left, d.Top, d.Width, d.Height), QRect(100, 50, 700, 500));
    }
};

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    MainFormTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_mainfrm.moc"
