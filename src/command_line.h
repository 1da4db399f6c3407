#pragma once

// The program's command line: its options, its usage and exit codes, and the parser, which
// ends the program (exit code 2, with the reason) for a command line it cannot use.

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "api/api_server.h"
#include "app/replay_service.h"
#include "fleet/fleet_responder.h"
#include "settings/prefs.h"

// The exit codes, as the manual page lists them.
inline constexpr int kExitCannotStart = 1;  // the window, the log, the API's address or the settings
inline constexpr int kExitFailed = 1;       // an expectation failed, or the time ran out before all were met
inline constexpr int kExitBadStart = 2;     // the command line, the settings file, the token file, a
                                     // scenario or expectations file, a report that cannot be written,
                                     // a link that cannot open at start (headless)
inline constexpr int kExitLogLost = 3;      // the JSON log lost lines (a write failed)

// Headless, where nobody looks at the list, it keeps the newest this many messages unless told.
inline constexpr std::int32_t kHeadlessListMax = 100000;

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

// Reads the command line; a command line that cannot be used ends the program (kExitBadStart).
Options ParseCommandLine(int argc, char** argv);
[[noreturn]] void Fail(const QString& text);
// A file the command line names cannot be used: the reason, without the usage.
[[noreturn]] void FailFile(const std::string& text);
