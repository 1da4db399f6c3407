// The Vantor Protocol Simulator: the command line, then start-up and shutdown order, with the
// window or headless.

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include <boost/asio/io_context.hpp>

#include "api/api_server.h"
#include "command_line.h"
#include "app/app_core.h"
#include "base/regular_file.h"
#include "capture/learn.h"
#include "drivers/pty_driver.h"
#include "fleet/fleet_responder.h"
#include "settings/proxy_side.h"
#include "app/scheduler.h"
#include "settings/preferences.h"
#include "settings/value_checks.h"
#include "text/integer.h"
#include "ui/Bcccalcfrm.h"
#include "ui/PrefEdit.h"
#include "ui/about.h"
#include "ui/application.h"
#include "ui/flaghelp.h"
#include "ui/mainfrm.h"
#include "ui/message_boxes.h"
#include "ui/qt_scheduler.h"

namespace {

// Writes the URL served to the --control-port-file, whole or not at all (a reader that polls
// for the file never sees part of it).
bool WritePortFile(const std::string& path, const std::string& url) {
    const std::string temp = path + ".tmp";
    std::FILE* file = std::fopen(temp.c_str(), "w");
    if (file == nullptr) return false;
    const bool written = std::fprintf(file, "%s\n", url.c_str()) > 0;
    if (std::fclose(file) != 0 || !written || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

// The API up: where it serves, on stderr and in the port file. False when the file cannot be
// written.
bool Announce(const ApiServer& api, const Options& options) {
    std::fprintf(stderr, "vantor-simulator: control API on %s\n", api.Url().c_str());
    if (options.portFile.empty() || WritePortFile(options.portFile, api.Url())) return true;
    std::fprintf(stderr, "vantor-simulator: cannot write %s: %s\n", options.portFile.c_str(),
                 std::strerror(errno));
    return false;
}

void ShowError(const std::exception& error) {
    MessageBoxes::Instance().ApplicationError(QString::fromLocal8Bit(error.what()));
}

int g_signalSockets[2] = {-1, -1};

void OnTerminationSignal(int) {
    // Only what is safe in a signal handler: wake the main thread.
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalSockets[1], &byte, 1);
}

// Ctrl+C in the terminal, a closed terminal or a plain kill end the program the way its
// close box does, so the link is shut down in order and the settings are saved.
void OnTerminationSignals(QObject* context, std::function<void()> end) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalSockets) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalSockets[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [end = std::move(end)] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(g_signalSockets[0], &byte, 1);
        end();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

// --pty, --proxy: the link settings of this run, and those of the settings file, which it
// keeps; the same for --proxy-fault's faults.
std::optional<std::pair<CommPrefs, CommPrefs>> g_runLink;
std::optional<std::pair<ProxyFaults, ProxyFaults>> g_runProxyFaults;
std::optional<std::pair<TrafficPrefs, TrafficPrefs>> g_runTraffic;

void LoadSettings(const Options& options) {
    if (options.config.empty()) {
        Preferences::Get_instance();
    } else {
        Preferences::Create_instance(options.config);
    }
    Preferences& prefs = Preferences::Get_instance();
    for (const SettingWarning& warning : prefs.LoadWarnings())
        std::fprintf(stderr, "vantor-simulator: %s\n", warning.text.c_str());
    const TrafficPrefs traffic = prefs.Get_traffic_prefs();
    std::optional<std::int32_t> bound = options.listMax;
    if (!bound && options.headless && traffic.ListMax == 0) bound = kHeadlessListMax;
    if (bound && *bound != traffic.ListMax) {
        TrafficPrefs run = traffic;
        run.ListMax = *bound;
        prefs.Set_traffic_prefs(run);
        g_runTraffic = std::pair{run, traffic};
    }
    if (options.proxyFaults) {
        g_runProxyFaults = std::pair{*options.proxyFaults, prefs.Get_proxy_faults()};
        prefs.Set_proxy_faults(*options.proxyFaults);
    }
    if (options.pty.empty() && options.proxyA.empty() && !options.fleet) return;
    const CommPrefs kept = prefs.Get_comm_prefs();
    CommPrefs run = kept;
    if (options.fleet) {
        // Shown as a TCP client to the first template's host; the fleet's driver is the link.
        run.Type = SettingsValue(LinkKind::TcpClient);
        run.RemoteIp = options.fleet->file.templates.front().connect.host;
        run.RemotePort = options.fleet->file.templates.front().connect.port;
    } else if (!options.proxyA.empty()) {
        run.Type = SettingsValue(LinkKind::Proxy);
        run.ProxyA = options.proxyA;
        run.ProxyB = options.proxyB;
    } else {
        run.Type = SettingsValue(LinkKind::Pty);
        run.Port = options.pty;
    }
    prefs.Set_comm_prefs(run);
    g_runLink = std::pair{run, kept};
}

// Before the settings are saved: the file keeps its own link, faults and list bound unless
// the user chose others during the run.
void KeepFileLink() {
    Preferences& prefs = Preferences::Get_instance();
    if (g_runProxyFaults && prefs.Get_proxy_faults() == g_runProxyFaults->first)
        prefs.Set_proxy_faults(g_runProxyFaults->second);
    // The file keeps its own bound unless the user chose another one during the run.
    if (g_runTraffic && prefs.Get_traffic_prefs().ListMax == g_runTraffic->first.ListMax) {
        TrafficPrefs traffic = prefs.Get_traffic_prefs();
        traffic.ListMax = g_runTraffic->second.ListMax;
        prefs.Set_traffic_prefs(traffic);
    }
    if (!g_runLink) return;
    if (prefs.Get_comm_prefs() == g_runLink->first) prefs.Set_comm_prefs(g_runLink->second);
}

AppCore::Options CoreOptions(const Options& options) {
    AppCore::Options core;
    core.log = options.log;
    core.onLogFailure = [](const std::string& reason) {
        std::fprintf(stderr, "vantor-simulator: %s\n", reason.c_str());
    };
    // Events are formatted only for someone who reads them.
    core.events = options.control.has_value() || !options.log.empty();
    core.fleet = options.fleet;
    return core;
}

// A report file, whole or not at all.
bool WriteReport(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::remove(temp.c_str());
            return false;
        }
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

// What the command line asks of the core before the link opens: the scenario and the
// expectations (so that no message is answered without them), the replay (which waits for the
// link to come up) and the capture (from the link's first byte). Why not, when a file is
// refused.
std::string LoadFromCommandLine(AppCore& core, const Options& options) {
    try {
        if (!options.scenario.empty()) core.Scenarios().LoadFile(options.scenario);
        if (!options.expect.empty()) core.Scenarios().SetExpectationsFile(options.expect);
        if (options.replay) {
            core.Replays().Start(*options.replay);
            if (const std::string warning = core.Replays().GetView().warning; !warning.empty())
                std::fprintf(stderr, "vantor-simulator: %s\n", warning.c_str());
        }
    } catch (const std::exception& error) {
        return error.what();
    }
    if (!options.capture.empty())
        if (std::string error = core.StartCapture(options.capture, options.captureRotateBytes); !error.empty())
            return error;
    return "";
}

// --learn: the recording turned into a scenario file; the link is not opened.
int Learn(const Options& options) {
    try {
        LearnOptions learn;
        learn.device = ParseReplayDirection(options.learnDevice);
        const Recording recording = ReadRecording(options.learn);
        if (!recording.warning.empty()) std::fprintf(stderr, "vantor-simulator: %s\n", recording.warning.c_str());
        const Learned learned = LearnScenario(recording, learn);
        // A settings file asked for: the reply table, when one can stand for the device.
        const bool table = options.scenarioOut.size() > 4 &&
                           options.scenarioOut.compare(options.scenarioOut.size() - 4, 4, ".ini") == 0;
        if (table && learned.table.empty()) {
            std::fprintf(stderr, "vantor-simulator: a reply table cannot stand for this device (%s); write a scenario "
                                 "(a .json file) instead\n", learned.noTable.c_str());
            return kExitBadStart;
        }
        if (!WriteReport(options.scenarioOut, table ? learned.table : learned.json)) {
            std::fprintf(stderr, "vantor-simulator: cannot write %s: %s\n", options.scenarioOut.c_str(),
                         std::strerror(errno));
            return kExitBadStart;
        }
        if (table) {
            std::fprintf(stderr, "vantor-simulator: a reply table learned from %zu messages (%zu unanswered); written to %s\n",
                         learned.messages, learned.unanswered, options.scenarioOut.c_str());
            return 0;
        }
        std::fprintf(stderr, "vantor-simulator: %zu rules learned from %zu messages (%zu unanswered)%s; written to %s\n",
                     learned.rules, learned.messages, learned.unanswered,
                     learned.stateful ? ", some answered in turn" : "", options.scenarioOut.c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantor-simulator: %s\n", error.what());
        return kExitBadStart;
    }
}

// The --junit and --report files of a verdict; false (told on stderr) when one cannot be
// written.
bool WriteReports(const TestReport& report, const Options& options) {
    bool written = true;
    const std::pair<const std::string&, std::string> files[] = {
        {options.junit, options.junit.empty() ? "" : report.JUnitXml()},
        {options.report, options.report.empty() ? "" : report.Json()}};
    for (const auto& [path, text] : files) {
        if (path.empty() || WriteReport(path, text)) continue;
        std::fprintf(stderr, "vantor-simulator: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        written = false;
    }
    return written;
}

// The replay's verdict: every frame as recorded, or not; a replay that did not come to its end
// fails. The exit code.
int JudgeReplay(AppCore& core, const Options& options) {
    const ReplayService::View view = core.Replays().GetView();
    TestReport report;
    if (view.report) {
        report = *view.report;
    } else {
        report.suite = "replay";
        report.kind = "frames";
        TestReport::Case c;
        c.name = "replay";
        c.what = "the replay of " + options.replay->file;
        c.verdict = "failed";
        c.failed = true;
        c.message = "the replay did not come to its end (" + std::string(ReplayService::PhaseName(view.phase)) +
                    (view.ended.empty() ? "" : ": " + view.ended) + ", " + std::to_string(view.written) + " of " +
                    std::to_string(view.steps) + " written)";
        report.cases.push_back(c);
    }
    const int result = WriteReports(report, options) ? (report.passed ? 0 : kExitFailed) : kExitBadStart;
    std::size_t failed = 0;
    for (const TestReport::Case& c : report.cases) failed += c.failed ? 1 : 0;
    std::fprintf(stderr, "vantor-simulator: replay %s: %zu of %zu frames as recorded\n",
                 report.passed ? "passed" : "failed", report.cases.size() - failed, report.cases.size());
    for (const TestReport::Case& c : report.cases) {
        if (!c.failed) continue;
        std::fprintf(stderr, "  %s: %s, %s\n", c.name.c_str(), c.verdict.c_str(), c.message.c_str());
        for (const std::string& line : c.evidence) std::fprintf(stderr, "    %s\n", line.c_str());
    }
    return result;
}

// The run is over: what still waits fails, the reports are written. The exit code of the
// verdict (0 when nothing was judged).
int Judge(AppCore& core, const Options& options) {
    if (options.replay && options.replay->validate) return JudgeReplay(core, options);
    ScenarioService& scenarios = core.Scenarios();
    if (!scenarios.HasExpectations() && options.junit.empty() && options.report.empty()) return 0;
    scenarios.Finish();
    const TestReport report = scenarios.Report();
    const int result = WriteReports(report, options) ? (scenarios.AnyFailed() ? kExitFailed : 0) : kExitBadStart;
    std::size_t passed = 0, failed = 0, pending = 0;
    scenarios.Tally(passed, failed, pending);
    if (!scenarios.HasExpectations()) return result;
    const bool reported = !options.junit.empty() || !options.report.empty();
    std::fprintf(stderr, "vantor-simulator: %zu of %zu expectations met%s\n", passed, passed + failed + pending,
                 failed > 0 && reported ? "; see the report" : "");
    // No report asked for: what failed is said here, or nowhere.
    if (!reported)
        for (const TestReport::Case& c : report.cases)
            if (c.failed) std::fprintf(stderr, "  %s: %s\n", c.name.c_str(), c.message.c_str());
    return result;
}

int RunHeadless(int argc, char** argv, const Options& options) {
    QCoreApplication app(argc, argv);
    Preferences& prefs = Preferences::Get_instance();
    QtScheduler scheduler(&app);
    int result = 0;
    {
        std::unique_ptr<AppCore> core;
        std::unique_ptr<ApiServer> api;
        // A link that cannot open at start ends the run: nobody is there to fix it. One that
        // retries says why, and goes on.
        std::function<void()> endRun;
        bool cannotOpen = false;
        AppCore::Options coreOptions = CoreOptions(options);
        coreOptions.onStartProblem = [&app, &endRun, &cannotOpen](const std::string& text, bool lasting) {
            std::fprintf(stderr, "vantor-simulator: %s\n", text.c_str());
            if (!lasting || cannotOpen) return;
            cannotOpen = true;
            QTimer::singleShot(0, &app, [&endRun] {
                if (endRun) endRun();
            });
        };
        try {
            core = std::make_unique<AppCore>(prefs, scheduler, coreOptions);
            if (options.control) api = std::make_unique<ApiServer>(*core, scheduler, *options.control);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "vantor-simulator: %s\n", error.what());
            return kExitCannotStart;
        }
        if (const std::string problem = LoadFromCommandLine(*core, options); !problem.empty()) {
            std::fprintf(stderr, "vantor-simulator: %s\n", problem.c_str());
            return kExitBadStart;
        }
        core->Start();
        // The end, however it comes: no more requests, the link is read no more, and
        // everything read before is recorded before the program goes.
        bool ending = false;
        const auto end = [&api, &core, &ending] {
            if (ending) return;
            ending = true;
            if (api) api->Stop();
            core->Shutdown();
            QCoreApplication::quit();
        };
        OnTerminationSignals(&app, end);
        endRun = end;
        if (options.untilVerified) {
            if (!core->Scenarios().HasExpectations()) {
                std::fprintf(stderr, "vantor-simulator: --until-verified: there are no expectations to meet\n");
                return kExitBadStart;
            }
            // Not from within the core's turn that decided it: a moment later.
            core->Scenarios().AddOnChange([&core, &app, &end] {
                if (core->Scenarios().Decided()) QTimer::singleShot(0, &app, end);
            });
        }
        if (options.replay) {
            // The run ends with the replay.
            core->Replays().AddOnChange([&core, &app, &end] {
                const ReplayService::Phase phase = core->Replays().GetView().phase;
                if (phase == ReplayService::Phase::Done || phase == ReplayService::Phase::Stopped)
                    QTimer::singleShot(0, &app, end);
            });
        }
        if (options.timeoutSeconds)
            QTimer::singleShot(static_cast<int>(*options.timeoutSeconds * 1000), &app, end);
        // Announced once everything is up, the end by a signal included: a program that waits
        // for the port file may signal at once.
        if (api && !Announce(*api, options)) {
            end();
            result = kExitCannotStart;
        } else {
            result = app.exec();
        }
        if (api) api->Stop();
        core->Shutdown();
        api.reset();
        if (cannotOpen && result == 0) result = kExitBadStart;
        if (const int verdict = Judge(*core, options); result == 0) result = verdict;
        if (result == 0 && core->LogLost()) result = kExitLogLost;
    }
    try {
        KeepFileLink();
        Preferences::Destroy_instance(options.saveSettings);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantor-simulator: %s\n", error.what());
        if (result == 0) result = kExitCannotStart;
    }
    return result;
}

int RunWindow(int argc, char** argv, const Options& options) {
    TApplication app(argc, argv);
    int result = 0;
    {
        std::unique_ptr<QtScheduler> scheduler;
        std::unique_ptr<AppCore> core;
        std::unique_ptr<ApiServer> api;
        std::unique_ptr<TMainForm> mainForm;
        // The dialogs: created after the main window, destroyed before it (it holds plain
        // pointers to them), each once for the whole run.
        std::unique_ptr<TAboutBox> aboutBox;
        std::unique_ptr<TPreferencesForm> preferencesForm;
        std::unique_ptr<TBccCalcForm> bccCalcForm;
        std::unique_ptr<TFlagHelpForm> flagHelpForm;
        bool serving = true;
        try {
            scheduler = std::make_unique<QtScheduler>(&app);
            core = std::make_unique<AppCore>(Preferences::Get_instance(), *scheduler,
                                             CoreOptions(options));
            mainForm = std::make_unique<TMainForm>(Preferences::Get_instance(), *core);
            aboutBox = std::make_unique<TAboutBox>(mainForm.get());
            preferencesForm =
                std::make_unique<TPreferencesForm>(Preferences::Get_instance(), mainForm.get());
            bccCalcForm = std::make_unique<TBccCalcForm>(mainForm.get());
            flagHelpForm = std::make_unique<TFlagHelpForm>(mainForm.get());
            mainForm->SetDialogs(
                {preferencesForm.get(), flagHelpForm.get(), bccCalcForm.get(), aboutBox.get()});
            if (options.control)
                api = std::make_unique<ApiServer>(*core, *scheduler, *options.control);
        } catch (const std::exception& error) {
            ShowError(error);
            result = kExitCannotStart;
            serving = false;
        }
        if (mainForm && serving) {
            if (const std::string problem = LoadFromCommandLine(*core, options); !problem.empty())
                ShowError(std::runtime_error(problem));
            core->Start();
            // The program ends with its main window, whatever else is open.
            QObject::connect(mainForm.get(), &TMainForm::Closed, &app, &QApplication::quit,
                             Qt::QueuedConnection);
            TMainForm* window = mainForm.get();
            OnTerminationSignals(window, [window] { window->close(); });
            mainForm->show();
            if (api && !Announce(*api, options)) {
                ShowError(std::runtime_error("Cannot write " + options.portFile));
                result = kExitCannotStart;
            } else {
                result = app.exec();
            }
        }
        if (api) api->Stop();
        if (core) core->Shutdown();
        if (core)
            if (const int verdict = Judge(*core, options); result == 0) result = verdict;
        if (result == 0 && core && core->LogLost()) result = kExitLogLost;
        // The windows go here: the main window stores its placement, each row its texts.
    }

    try {
        KeepFileLink();
        Preferences::Destroy_instance();  // writes the configuration file
    } catch (const std::exception& error) {
        ShowError(error);
        if (result == 0) result = kExitCannotStart;
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    // A peer that goes away mid-send must not end the program; the drivers see the error.
    std::signal(SIGPIPE, SIG_IGN);

    const Options options = ParseCommandLine(argc, argv);

    // The settings first: loaded now, kept until every window is gone, saved last.
    if (!options.learn.empty()) return Learn(options);
    LoadSettings(options);
    return options.headless ? RunHeadless(argc, argv, options) : RunWindow(argc, argv, options);
}
