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

constexpr const char* kUsage =
    "Usage: vantor-simulator [--headless] [--config FILE] [--log FILE|-] "
    "[--control [ADDRESS:]PORT] [--control-token-file FILE] [--control-port-file FILE] "
    "[--control-cert FILE --control-key FILE] [--scenario-dir DIR] [--save-settings] [--list-max N] [--pty PATH] [--fleet FILE] [--proxy A B [--proxy-fault RULE]... [--proxy-seed N]] [--scenario FILE] [--expect FILE] "
    "[--junit FILE] [--report FILE] [--until-verified] [--timeout SECONDS] "
    "[--capture FILE.pcapng [--capture-rotate-kb N]] "
    "[--replay FILE [--replay-direction rx|tx] [--replay-speed FACTOR|paced] [--validate] [--mask FILE]] "
    "[--learn FILE --scenario-out FILE [--learn-device rx|tx]]";

// The exit codes, as the manual page lists them.
constexpr int kExitCannotStart = 1;  // the window, the log, the API's address or the settings
constexpr int kExitFailed = 1;       // an expectation failed, or the time ran out before all were met
constexpr int kExitBadStart = 2;     // the command line, the settings file, the token file, a
                                     // scenario or expectations file, a report that cannot be written,
                                     // a link that cannot open at start (headless)
constexpr int kExitLogLost = 3;      // the JSON log lost lines (a write failed)

struct Options {
    bool headless = false;
    bool saveSettings = false;
    std::string config;
    std::string log;
    std::optional<ApiServer::Options> control;
    std::string portFile;
    std::string scenario;
    std::string expect;
    std::string junit;
    std::string report;
    bool untilVerified = false;
    std::optional<double> timeoutSeconds;
    std::string capture;
    std::uint64_t captureRotateBytes = 0;
    std::optional<ReplayService::Request> replay;
    std::string learn;
    std::string scenarioOut;
    std::string learnDevice = "rx";
    std::string pty;  // this run's link: a virtual serial port at this path
    // This run's link: a proxy between these two sides, with these frame faults.
    std::string proxyA, proxyB;
    std::optional<ProxyFaults> proxyFaults;
    // The received messages kept for this run (0 every one); none: the settings file's bound,
    // or headless, where nobody looks at the list, the newest kHeadlessListMax.
    std::optional<std::int32_t> listMax;
    // This run's link: the fleet of devices the file describes.
    std::string fleetFile;
    std::shared_ptr<const fleet::FleetShared> fleet;
};

constexpr std::int32_t kHeadlessListMax = 100000;

[[noreturn]] void Fail(const QString& text) {
    std::fprintf(stderr, "vantor-simulator: %s\n%s\n", text.toLocal8Bit().constData(), kUsage);
    std::exit(kExitBadStart);
}

// A file the command line names cannot be used: the reason, without the usage.
[[noreturn]] void FailFile(const std::string& text) {
    std::fprintf(stderr, "vantor-simulator: %s\n", text.c_str());
    std::exit(kExitBadStart);
}

// The token file must be the user's own secret: not readable by others, and long enough not
// to be guessed.
std::string ReadTokenFile(const QString& name) {
    const std::string path = name.toLocal8Bit().toStdString();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) FailFile("cannot read " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) FailFile(path + " is not a regular file");
    if ((st.st_mode & 077) != 0)
        FailFile(path + " can be read by others (mode " + QString::number(st.st_mode & 0777, 8).toStdString() +
                 "); make it private: chmod 600 " + path);
    std::string token;
    try {
        token = QByteArray::fromStdString(files::ReadRegular(path, files::kMaxSecretBytes)).trimmed().toStdString();
    } catch (const files::FileError& error) {
        FailFile(error.what());
    }
    if (token.size() < 16)
        FailFile(path + " holds a token of " + std::to_string(token.size()) +
                 " characters; at least 16 are needed");
    return token;
}

Options ParseCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QCoreApplication::setApplicationName("vantor-simulator");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Stands in for one side of a Vantor Protocol link. Without options it opens its window.");
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version({"v", "version"}, "Show the version and exit.");
    const QCommandLineOption headless("headless", "Run without a window (no display needed).");
    const QCommandLineOption config("config", "Use FILE as the settings file.", "FILE");
    const QCommandLineOption log("log", "Write one JSON line per event to FILE (- for stdout).",
                                 "FILE");
    const QCommandLineOption control(
        "control", "Serve the HTTP control API on [ADDRESS:]PORT (address 127.0.0.1 unless given).",
        "[ADDRESS:]PORT");
    const QCommandLineOption token("control-token-file",
                                   "The bearer token every API request must carry (required for "
                                   "an address other than loopback).",
                                   "FILE");
    const QCommandLineOption portFile(
        "control-port-file", "Write the URL the control API serves to FILE once it serves.", "FILE");
    const QCommandLineOption cert("control-cert",
                                  "Serve the control API over TLS with this certificate (PEM; use "
                                  "TLS whenever the address is not loopback).",
                                  "FILE");
    const QCommandLineOption key("control-key", "The private key of --control-cert (PEM).", "FILE");
    const QCommandLineOption listMax(
        "list-max",
        "Keep the newest N received messages, 0 every one (default: the settings file's bound; headless "
        "100000). For this run only; the JSON log holds them all.",
        "N");
    const QCommandLineOption save("save-settings", "Headless: write the settings file at exit.");
    const QCommandLineOption pty("pty",
                                 "Serve the link on a virtual serial port: PATH becomes a link to a "
                                 "pseudo-terminal that host software opens as a serial port (paced at the "
                                 "settings' line rate; removed at exit). For this run only.",
                                 "PATH");
    const QCommandLineOption scenario("scenario", "Answer as the scenario in FILE says (JSON).", "FILE");
    const QCommandLineOption expect("expect", "Judge the other side by the expectations in FILE (JSON).",
                                    "FILE");
    const QCommandLineOption junit("junit", "Write the verdict as a JUnit XML report to FILE at the end.",
                                   "FILE");
    const QCommandLineOption report("report", "Write the verdict as a JSON report to FILE at the end.",
                                    "FILE");
    const QCommandLineOption untilVerified(
        "until-verified", "Headless: end as soon as the verdict is known (every expectation met, or one failed).");
    const QCommandLineOption timeout("timeout", "Headless: end after SECONDS.", "SECONDS");
    const QCommandLineOption capture("capture", "Capture the link to FILE (pcapng) from the start.", "FILE");
    const QCommandLineOption captureRotate("capture-rotate-kb",
                                           "Start a new capture file before one passes N KiB (0 never).", "N");
    const QCommandLineOption replay("replay",
                                    "Play one side of a recording (a capture of this program, or its JSON Lines "
                                    "traffic log) on the link; headless, the program ends when it is done.",
                                    "FILE");
    const QCommandLineOption replayDirection(
        "replay-direction", "The side to play: tx, what the simulator wrote (the default), or rx, what it read.",
        "rx|tx");
    const QCommandLineOption replaySpeed("replay-speed",
                                         "A factor of the recorded timing (1.0, 2.0, ...), or paced: each step "
                                         "once the other side has answered.",
                                         "SPEED");
    const QCommandLineOption validate("validate",
                                      "Compare the frames that come back with the recording; the verdict is the "
                                      "exit code and --junit/--report.");
    const QCommandLineOption mask("mask", "What the comparison ignores (JSON).", "FILE");
    const QCommandLineOption learn("learn", "Learn the recorded device from FILE and write it with --scenario-out.",
                                   "FILE");
    const QCommandLineOption scenarioOut(
        "scenario-out",
        "Where --learn writes the scenario; a FILE ending in .ini gets the reply table instead (the [Reply] "
        "section of a settings file), when no state is needed.",
        "FILE");
    const QCommandLineOption learnDevice(
        "learn-device", "Which side of the recording was the device: rx, the other side (the default), or tx.",
        "rx|tx");
    const QCommandLineOption proxy(
        "proxy",
        "Stand between a host and a device: pass each side's bytes to the other, decoded and listed, "
        "with the proxy faults. Written --proxy A B, each side serial:PATH[:BAUD], tcp-client:HOST:PORT, "
        "tcp-server:[ADDRESS:]PORT or pty:PATH[:BAUD]. For this run only.",
        "A B");
    const QCommandLineOption proxyFault(
        "proxy-fault",
        "With --proxy: a frame fault, name=value pairs by comma (way=0|1|2, type=A, frames=0..4, "
        "delayMin, delayMax, jitter, drop, twice, badBcc, flipBit, swapAck, hold, stray, when, everyN, "
        "chance); repeat it for more rules. For this run only.",
        "RULE");
    const QCommandLineOption proxySeed("proxy-seed", "With --proxy-fault: the seed of the faults' draws.", "N");
    const QCommandLineOption fleetOption(
        "fleet", "Be the fleet of devices FILE describes (JSON): each its own connection to the host and its own behaviour.",
        "FILE");
    const QCommandLineOption scenarioDir(
        "scenario-dir",
        "With --control: scenario, script and expectations files that API requests name must lie in "
        "DIR (default: the working folder).",
        "DIR");
    parser.addOptions({help, version, headless, config, log, control, token, portFile, cert, key, save, listMax, pty,
                       proxy, proxyFault, proxySeed, scenarioDir, fleetOption,
                       scenario, expect, junit, report, untilVerified, timeout, capture, captureRotate, replay,
                       replayDirection, replaySpeed, validate, mask, learn, scenarioOut, learnDevice});
    if (!parser.parse(arguments)) Fail(parser.errorText());
    if (parser.isSet(help)) {
        // Parsed before any application object exists, so Qt knows no program name yet.
        QString text = parser.helpText();
        text.replace("<executable_name>", "vantor-simulator");
        std::fputs(text.toLocal8Bit().constData(), stdout);
        std::exit(0);
    }
    if (parser.isSet(version)) {
        std::printf("vantor-simulator %s\n", VANTOR_VERSION);
        std::exit(0);
    }
    QStringList positional = parser.positionalArguments();
    QStringList sides = parser.values(proxy);
    // "--proxy A B": side B is the argument after A's.
    if (sides.size() == 1 && !positional.isEmpty()) sides.append(positional.takeFirst());
    if (!positional.isEmpty()) Fail("unexpected argument '" + positional.first() + "'");

    Options options;
    options.headless = parser.isSet(headless);
    options.saveSettings = parser.isSet(save);
    options.config = parser.value(config).toLocal8Bit().toStdString();
    options.log = parser.value(log).toLocal8Bit().toStdString();
    if (parser.isSet(listMax)) {
        const std::string text = parser.value(listMax).toStdString();
        const std::optional<std::int32_t> count = ParseInteger(text);
        if (!count || *count < kListMaxRange.low || *count > kListMaxRange.high)
            Fail(QString::fromStdString("--list-max: '" + text + "' is not a number of messages (0 to " +
                                        std::to_string(kListMaxRange.high) + ")"));
        options.listMax = *count;
    }
    for (const QCommandLineOption* needs : {&token, &portFile, &cert, &key, &scenarioDir})
        if (parser.isSet(*needs) && !parser.isSet(control))
            Fail("--" + needs->names().first() + " needs --control");
    if (parser.isSet(cert) != parser.isSet(key))
        Fail("--control-cert and --control-key go together");
    if (parser.isSet(control)) {
        ApiServer::Options api;
        QString value = parser.value(control);
        const qsizetype colon = value.lastIndexOf(':');
        if (colon >= 0) {
            QString address = value.left(colon);
            if (address.startsWith('[') && address.endsWith(']')) address = address.mid(1, address.size() - 2);
            api.address = address == "localhost" ? "127.0.0.1" : address.toStdString();
            value = value.mid(colon + 1);
        }
        const std::optional<std::uint64_t> port = ParseUnsigned(value.toStdString(), 65535);
        if (!port) Fail("--control: '" + value + "' is not a port number");
        api.port = static_cast<std::uint16_t>(*port);
        if (!IsLoopbackAddress(api.address)) {
            if (!parser.isSet(token))
                Fail("--control on an address other than loopback needs --control-token-file");
            api.policy.hosts.push_back(api.address);
        }
        if (parser.isSet(token)) api.policy.token = ReadTokenFile(parser.value(token));
        api.certFile = parser.value(cert).toLocal8Bit().toStdString();
        api.keyFile = parser.value(key).toLocal8Bit().toStdString();
        if (parser.isSet(scenarioDir)) {
            const std::string folder = parser.value(scenarioDir).toLocal8Bit().toStdString();
            std::error_code error;
            if (!std::filesystem::is_directory(folder, error)) Fail("--scenario-dir: '" + parser.value(scenarioDir) + "' is not a folder");
            api.policy.filesFolder = folder;
        }
        options.control = api;
        options.portFile = parser.value(portFile).toLocal8Bit().toStdString();
    }
    const auto path = [&parser](const QCommandLineOption& option) {
        return parser.value(option).toLocal8Bit().toStdString();
    };
    options.scenario = path(scenario);
    options.expect = path(expect);
    options.junit = path(junit);
    options.report = path(report);
    options.untilVerified = parser.isSet(untilVerified);
    if (parser.isSet(timeout)) {
        bool ok = false;
        const double seconds = parser.value(timeout).toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > 7 * 24 * 3600)
            Fail("--timeout: '" + parser.value(timeout) + "' is not a number of seconds (above 0, at most a week)");
        options.timeoutSeconds = seconds;
    }
    options.capture = path(capture);
    if (parser.isSet(captureRotate)) {
        if (!parser.isSet(capture)) Fail("--capture-rotate-kb needs --capture");
        const std::optional<std::uint64_t> kb = ParseUnsigned(parser.value(captureRotate).toStdString(), 1ull << 30);
        if (!kb) Fail("--capture-rotate-kb: '" + parser.value(captureRotate) + "' is not a number of KiB");
        options.captureRotateBytes = *kb * 1024;
    }
    for (const QCommandLineOption* needs : {&replayDirection, &replaySpeed, &validate, &mask})
        if (parser.isSet(*needs) && !parser.isSet(replay)) Fail("--" + needs->names().first() + " needs --replay");
    if (parser.isSet(replay)) {
        ReplayService::Request request;
        request.file = path(replay);
        if (parser.isSet(replayDirection)) request.direction = parser.value(replayDirection).toStdString();
        if (parser.isSet(replaySpeed)) request.speed = parser.value(replaySpeed).toStdString();
        request.validate = parser.isSet(validate);
        request.mask = path(mask);
        try {
            ParseReplayDirection(request.direction);
            ParseReplaySpeed(request.speed);
        } catch (const ReplayError& error) {
            Fail(QString::fromStdString(error.what()));
        }
        if (request.validate && !options.expect.empty())
            Fail("--validate and --expect both give the verdict; give one of them");
        options.replay = request;
    }
    const bool validating = options.replay && options.replay->validate;
    for (const QCommandLineOption* needs : {&junit, &report})
        if (parser.isSet(*needs) && options.scenario.empty() && options.expect.empty() && !validating)
            Fail("--" + needs->names().first() + " needs --scenario, --expect or --replay with --validate");
    if (parser.isSet(untilVerified) && options.scenario.empty() && options.expect.empty())
        Fail("--until-verified needs --scenario or --expect");
    if (parser.isSet(learn) != parser.isSet(scenarioOut)) Fail("--learn and --scenario-out go together");
    if (parser.isSet(learnDevice) && !parser.isSet(learn)) Fail("--learn-device needs --learn");
    if (parser.isSet(learn)) {
        if (parser.isSet(replay) || parser.isSet(scenario) || parser.isSet(capture))
            Fail("--learn only learns: give it without --replay, --scenario or --capture");
        options.learn = path(learn);
        options.scenarioOut = path(scenarioOut);
        options.learnDevice = parser.value(learnDevice).toLower().toStdString();
        if (options.learnDevice.empty()) options.learnDevice = "rx";
        if (options.learnDevice != "rx" && options.learnDevice != "tx")
            Fail("--learn-device: '" + parser.value(learnDevice) + "' is neither rx nor tx");
    }
    if (parser.isSet(proxy)) {
        if (sides.size() != 2) Fail("--proxy needs two sides: --proxy A B");
        if (parser.isSet(pty)) Fail("--proxy and --pty are two different links: give one of them");
        if (parser.isSet(learn)) Fail("--learn only learns: give it without --proxy");
        options.proxyA = sides[0].toStdString();
        options.proxyB = sides[1].toStdString();
        for (const std::string& side : {options.proxyA, options.proxyB}) {
            std::string error;
            ParseProxySide(side, CommPrefs{}, error);
            if (!error.empty()) Fail("--proxy: " + QString::fromStdString(error));
        }
    }
    if (parser.isSet(proxyFault) || parser.isSet(proxySeed)) {
        if (!parser.isSet(proxy)) Fail("--proxy-fault and --proxy-seed need --proxy");
        ProxyFaults faults;
        for (const QString& text : parser.values(proxyFault)) {
            std::string error;
            faults.Rules.push_back(ParseProxyFaultRule(text.toStdString(), error));
            if (!error.empty()) Fail("--proxy-fault '" + text + "': " + QString::fromStdString(error));
        }
        if (parser.isSet(proxySeed)) {
            const std::optional<std::int32_t> seed = ParseInteger(parser.value(proxySeed).toStdString(), Blanks::None);
            if (!seed) Fail("--proxy-seed: '" + parser.value(proxySeed) + "' is not a whole number");
            faults.Seed = *seed;
        }
        if (const std::string error = ProxyFaultsError(faults); !error.empty())
            Fail("--proxy-fault: " + QString::fromStdString(error));
        options.proxyFaults = faults;
    }
    if (parser.isSet(pty)) {
        if (parser.isSet(learn)) Fail("--learn only learns: give it without --pty");
        options.pty = path(pty);
        if (options.pty.empty()) Fail("--pty needs the path of the port");
        // Found out now, as for the files above: the port is made and taken down once, so that
        // a path that cannot be used (a file there, a directory missing, another simulator
        // serving it) ends the start with the reason.
        boost::asio::io_context io;
        PtyDriver probe(io);
        if (probe.Open(options.pty.c_str()) == 0) FailFile("--pty: " + probe.OpenError());
        probe.Close();
    }
    if (parser.isSet(fleetOption)) {
        for (const QCommandLineOption* other : {&pty, &proxy, &learn, &replay, &scenario})
            if (parser.isSet(*other))
                Fail("--fleet is the link and the behaviour: give it without --" + other->names().first());
        options.fleetFile = path(fleetOption);
        try {
            const auto steadyMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count();
            options.fleet = fleet::PrepareFleet(options.fleetFile, steadyMs);
        } catch (const std::exception& error) {
            FailFile(std::string("--fleet: ") + error.what());
        }
    }
    for (const QCommandLineOption* needs : {&untilVerified, &timeout})
        if (parser.isSet(*needs) && !options.headless) Fail("--" + needs->names().first() + " needs --headless");
    for (const std::string& file : {options.junit, options.report, options.scenarioOut, options.capture}) {
        // Found out now, not after a run of an hour.
        if (file.empty()) continue;
        const std::filesystem::path parent = std::filesystem::absolute(file).parent_path();
        if (!std::filesystem::is_directory(parent) || ::access(parent.c_str(), W_OK) != 0)
            FailFile("cannot write " + file + ": " + parent.string() + " is not a folder this program may write in");
    }
    if (!options.config.empty()) {
        // A settings file named on the command line is used or refused, never silently
        // replaced by the defaults; only a missing one that this run will write is expected.
        const SettingsFileCheck check = CheckSettingsFile(options.config);
        if (!check.problem.empty()) FailFile(check.problem);
        const bool willWrite = options.saveSettings || !options.headless;
        if (check.missing && !willWrite)
            std::fprintf(stderr, "vantor-simulator: %s does not exist; starting with the default settings\n",
                         options.config.c_str());
    }
    return options;
}

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
