#include "command_line.h"

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

}  // namespace

[[noreturn]] void Fail(const QString& text) {
    std::fprintf(stderr, "vantor-simulator: %s\n%s\n", text.toLocal8Bit().constData(), kUsage);
    std::exit(kExitBadStart);
}

[[noreturn]] void FailFile(const std::string& text) {
    std::fprintf(stderr, "vantor-simulator: %s\n", text.c_str());
    std::exit(kExitBadStart);
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
