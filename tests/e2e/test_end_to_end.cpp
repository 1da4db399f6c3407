// The built program under a private Xvfb server: started beside a prepared
// ZentrelConfig.ini in a temporary folder, talked to over TCP by a peer on 127.0.0.1, closed
// through its window (the window manager's close request, WM_DELETE_WINDOW), and the
// configuration it wrote checked. Prints the start-up time, the memory at rest and the idle
// CPU use (VANTOR_IDLE_SECONDS, default 2) for docs/PERFORMANCE.md; asserts no times.
// Between, Alt+1 on the keyboard sends the first row's message to the peer.

#include <QtTest>

#include <QProcess>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "settings/preferences.h"
#include "support/loopback.h"

namespace {

const char* const kTitle = "Halvorn Vantor Protocol Simulator";

// User plus system CPU time of a process, in clock ticks, and its resident set in KiB.
struct ProcessUse {
    long long ticks = 0;
    long long rssKiB = 0;
};

ProcessUse Use(qint64 pid) {
    ProcessUse use;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) return use;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14 || i == 15) use.ticks += std::stoll(field);  // utime, stime
        if (i == 15) break;
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) use.rssKiB = std::stoll(line.substr(6));
    }
    return use;
}

// The viewable top-level window with the program's title, or 0.
Window FindWindow(Display* display, Window window) {
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name != nullptr) {
        const bool match = std::string(name) == kTitle;
        XFree(name);
        XWindowAttributes attributes;
        if (match && XGetWindowAttributes(display, window, &attributes) &&
            attributes.map_state == IsViewable)
            return window;
    }
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count && found == 0; ++i) found = FindWindow(display, children[i]);
        if (children) XFree(children);
    }
    return found;
}

// Every window, shown or not, named with the program's title.
void WindowsNamed(Display* display, Window window, std::vector<Window>& found) {
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name != nullptr) {
        if (std::string(name) == kTitle) found.push_back(window);
        XFree(name);
    }
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i) WindowsNamed(display, children[i], found);
        if (children) XFree(children);
    }
}

// Alt+digit from the keyboard, into the window (there is no window manager to give it the
// focus).
void PressAlt(Display* display, Window window, KeySym digit) {
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);
    const KeyCode alt = XKeysymToKeycode(display, XK_Alt_L);
    const KeyCode key = XKeysymToKeycode(display, digit);
    XTestFakeKeyEvent(display, alt, True, CurrentTime);
    XTestFakeKeyEvent(display, key, True, CurrentTime);
    XTestFakeKeyEvent(display, key, False, CurrentTime);
    XTestFakeKeyEvent(display, alt, False, CurrentTime);
    XFlush(display);
}

// What a window manager sends when the user clicks the close box.
void RequestClose(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

}  // namespace

class EndToEnd : public QObject {
    Q_OBJECT

    QProcess xvfb;
    QString displayName;
    Display* display = nullptr;

    // The program on the test's own X server, its output passed through.
    void PrepareForDisplay(QProcess& simulator) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", displayName);
        env.remove("QT_QPA_PLATFORM");
        simulator.setProcessEnvironment(env);
        simulator.setProcessChannelMode(QProcess::ForwardedChannels);
    }

private slots:
    void initTestCase() {
        // -displayfd: the server picks a free display and writes its number to us.
        xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        QVERIFY2(xvfb.waitForStarted(5000), "Xvfb is missing: bash scripts/deps.sh installs it");
        QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine(), 10000);
        displayName = ":" + QString::fromLatin1(xvfb.readLine()).trimmed();
        display = XOpenDisplay(displayName.toLatin1().constData());
        QVERIFY(display != nullptr);
    }

    void cleanupTestCase() {
        if (display) XCloseDisplay(display);
        xvfb.terminate();
        xvfb.waitForFinished(5000);
    }

    void answersAPeerAndWritesItsConfigurationOnClose() {
        QTemporaryDir dir;
        const QString program = dir.filePath("vantor-simulator");
        QVERIFY(QFile::copy(VANTOR_SIMULATOR, program));
        const int port = FreeTcpPort();
        {
            std::ofstream ini(dir.filePath("ZentrelConfig.ini").toStdString(), std::ios::binary);
            ini << "; prepared by the end-to-end test\r\n"
                << "[Display]\r\nLeft=30\r\nTop=20\r\nHeight=600\r\nWidth=900\r\nState=0\r\n"
                << "[Comm]\r\nType=2\r\nLocalPort=" << port << "\r\n"
                << "[Send]\r\nType0=Q\r\nMsg0=status %D\\r\r\nCount0=1\r\nDelay0=250\r\nCount1=not a number\r\n"
                << "[Reply]\r\nType0=A\r\nMsg0=PONG\r\nAction0=0\r\n";
        }

        QProcess simulator;
        PrepareForDisplay(simulator);
        QElapsedTimer clock;
        clock.start();
        simulator.start(program, {});
        QVERIFY(simulator.waitForStarted(5000));

        Window window = 0;
        QTRY_VERIFY_WITH_TIMEOUT((window = FindWindow(display, DefaultRootWindow(display))) != 0, 20000);
        const qint64 startup = clock.elapsed();

        // The peer: the program listens as a TCP server and answers per its reply table.
        QTcpSocket peer;
        QDeadlineTimer deadline(10000);
        do {
            peer.abort();
            peer.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        } while (!peer.waitForConnected(500) && !deadline.hasExpired());
        QCOMPARE(peer.state(), QAbstractSocket::ConnectedState);
        const std::string expected = WireFrame('A', ctrl::ACK, "PONG");
        std::string received;
        for (const char* text : {"ping 1", "ping 2", "ping 3"}) {
            const std::string frame = WireFrame('A', 0, text);
            peer.write(frame.data(), static_cast<qint64>(frame.size()));
            QVERIFY(peer.waitForBytesWritten(2000));
        }
        QTRY_COMPARE_WITH_TIMEOUT(received += peer.readAll().toStdString(), expected + expected + expected,
                                  10000);

        // Alt+1 presses the first row's Send: its text goes out with the flags expanded
        // ("%D" the day of the month, "\r" a CR), and the peer's answer ends the run.
        QTest::qWait(300);  // the window takes the focus once it is shown
        PressAlt(display, window, XK_1);
        char day[3];
        const std::time_t now = std::time(nullptr);
        std::strftime(day, sizeof day, "%d", std::localtime(&now));
        const std::string sent = WireFrame('Q', 0, std::string("status ") + day + "\r");
        received.clear();
        QTRY_COMPARE_WITH_TIMEOUT(received += peer.readAll().toStdString(), sent, 10000);
        const std::string answer = WireFrame('Q', ctrl::ACK, "done");
        peer.write(answer.data(), static_cast<qint64>(answer.size()));
        QVERIFY(peer.waitForBytesWritten(2000));

        // At rest: connected, nothing arriving.
        const int idleSeconds = qEnvironmentVariableIsSet("VANTOR_IDLE_SECONDS")
                                    ? qEnvironmentVariableIntValue("VANTOR_IDLE_SECONDS")
                                    : 2;
        const ProcessUse before = Use(simulator.processId());
        QTest::qWait(idleSeconds * 1000);
        const ProcessUse after = Use(simulator.processId());
        const double idlePercent = 100.0 * static_cast<double>(after.ticks - before.ticks) /
                                   static_cast<double>(sysconf(_SC_CLK_TCK)) / idleSeconds;
        qInfo("start-up to shown window: %lld ms; resident memory at rest: %.1f MiB; idle CPU over %d s: %.2f %% of one core",
              startup, after.rssKiB / 1024.0, idleSeconds, idlePercent);

        RequestClose(display, window);
        QVERIFY(simulator.waitForFinished(15000));
        QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
        QCOMPARE(simulator.exitCode(), 0);

        Preferences written(dir.filePath("ZentrelConfig.ini").toStdString());
        const DisplayPrefs placement = written.Get_display_prefs();
        QCOMPARE(placement.State, 0);
        QCOMPARE(placement.Width, 900);
        QCOMPARE(placement.Height, 600);
        const SendPrefs row = written.Get_send_prefs(0);
        QCOMPARE(row.Type, std::string("Q"));
        QCOMPARE(row.Msg, std::string("status %D\\r"));
        QCOMPARE(row.Count, std::string("1"));
        QCOMPARE(row.Delay, std::string("250"));
        QCOMPARE(written.Get_send_prefs(1).Count, std::string("not a number"));
        QCOMPARE(written.Get_comm_prefs().LocalPort, port);
        QCOMPARE(written.Get_reply_prefs(0).Msg, std::string("PONG"));
        // Every key is written, also those the prepared file left out.
        std::ifstream file(dir.filePath("ZentrelConfig.ini").toStdString(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        QVERIFY(content.find("Flags8=") != std::string::npos);
        QVERIFY(content.find("; prepared by the end-to-end test") != std::string::npos);
    }

    // A close request right after the start closes the program, every time: the window the
    // title names is the main window and no other (a tool that finds the window by its title
    // must not find a hidden one that ignores the request).
    void aCloseRequestRightAfterTheStartCloses() {
        QTemporaryDir dir;
        const QString program = dir.filePath("vantor-simulator");
        QVERIFY(QFile::copy(VANTOR_SIMULATOR, program));
        for (int run = 0; run < 6; ++run) {
            {
                std::ofstream ini(dir.filePath("ZentrelConfig.ini").toStdString(), std::ios::binary);
                ini << "[Comm]\r\nType=0\r\nPort=`/nonexistent/tty`\r\n"
                    << "[Send]\r\nType1=B\r\nCount1=x7\r\nDelay1=-3\r\n"
                    << "[Reply]\r\nType0=A\r\nMsg0=`r`q'\"=;[`\r\nAction0=3\r\n[Other]\r\nUnknown=1\r\n";
            }
            QProcess simulator;
            PrepareForDisplay(simulator);
            simulator.start(program, {});
            QVERIFY(simulator.waitForStarted(5000));
            Window window = 0;
            QTRY_VERIFY_WITH_TIMEOUT((window = FindWindow(display, DefaultRootWindow(display))) != 0, 20000);
            QTest::qWait(run * 250);
            std::vector<Window> named;
            WindowsNamed(display, DefaultRootWindow(display), named);
            QCOMPARE(named, std::vector<Window>{window});
            RequestClose(display, named.front());
            QVERIFY2(simulator.waitForFinished(10000), qPrintable(QString("run %1").arg(run)));
            QCOMPARE(simulator.exitCode(), 0);
        }
    }

    // A kill (or Ctrl+C in its terminal) ends the program as its close box does: the
    // settings are saved, nothing typed is lost.
    void aTerminationSignalClosesAndSaves() {
        QTemporaryDir dir;
        const QString program = dir.filePath("vantor-simulator");
        QVERIFY(QFile::copy(VANTOR_SIMULATOR, program));
        {
            std::ofstream ini(dir.filePath("ZentrelConfig.ini").toStdString(), std::ios::binary);
            ini << "[Comm]\r\nType=2\r\nLocalPort=" << FreeTcpPort() << "\r\n"
                << "[Send]\r\nType4=K\r\nMsg4=kept\r\n";
        }
        QProcess simulator;
        PrepareForDisplay(simulator);
        simulator.start(program, {});
        QVERIFY(simulator.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(FindWindow(display, DefaultRootWindow(display)) != 0, 20000);
        simulator.terminate();  // SIGTERM
        QVERIFY(simulator.waitForFinished(15000));
        QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
        QCOMPARE(simulator.exitCode(), 0);
        Preferences written(dir.filePath("ZentrelConfig.ini").toStdString());
        QCOMPARE(written.Get_send_prefs(4).Type, std::string("K"));
        QCOMPARE(written.Get_send_prefs(4).Msg, std::string("kept"));
        std::ifstream file(dir.filePath("ZentrelConfig.ini").toStdString(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        QVERIFY(content.find("Flags8=") != std::string::npos);  // a full save, not the prepared file
    }
};

QTEST_GUILESS_MAIN(EndToEnd)
#include "test_end_to_end.moc"
