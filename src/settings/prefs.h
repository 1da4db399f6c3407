#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "settings/line_fault_prefs.h"
#include "settings/link_kind.h"
#include "settings/proxy_fault_prefs.h"

// The settings records. Member initialisers hold the defaults, so a default-constructed
// record is what a missing configuration file gives. Fields marked reserved are only read
// from the file and written back.

// The main window's placement.
struct DisplayPrefs {
    std::int32_t Left = 0;
    std::int32_t Top = 0;
    std::int32_t Height = 560;
    std::int32_t Width = 800;
    std::int32_t State = 0;  // 0 normal, 1 minimised, 2 maximised
    std::int32_t Flags = 0;  // reserved
    std::int32_t RxHeight = 0;  // the received list's height (the splitter); 0 the default

    bool operator==(const DisplayPrefs&) const = default;
};

// Reserved: read and written back, used by nothing else.
struct FileRestorePrefs {
    std::string Fpath1;
    std::string Fpath2;
    std::string Fpath3;
    std::string Fpath4;
    std::string InitialDir = "c:\\labels\\";
    std::int32_t Flags = 0;

    bool operator==(const FileRestorePrefs&) const = default;
};

// The link. Type, Baud, Bits, Stop and Parity are indexes into the choices the dialog offers;
// CommRanges() bounds them.
struct CommPrefs {
    // The LinkKind's settings value: 0 serial port, 1 TCP/IP client, 2 TCP/IP server, 3 virtual
    // serial port (Port: the path of its link; the serial settings pace it), 4 proxy between
    // side A and side B
    std::int32_t Type = SettingsValue(LinkKind::Serial);
    std::string Port = "COM1";
    std::int32_t Baud = 3;    // 115200, 57600, 38400, 19200, 9600, 4800, 2400, 1200
    std::int32_t Bits = 1;    // 7, 8
    std::int32_t Stop = 0;    // 1, 2
    std::int32_t Parity = 2;  // Even, Odd, None
    std::string RemoteIp = "192.168.1.100";
    std::int32_t RemotePort = 5000;
    std::int32_t LocalPort = 5100;
    std::int32_t Flags = 0;  // reserved
    // TCP client: 1 connects again by itself after a failed or lost connection, waiting
    // longer after each failed try.
    std::int32_t AutoReconnect = 0;
    // Proxy: each side written as on the command line ("serial:/dev/ttyUSB0:115200",
    // "tcp-client:HOST:PORT", "tcp-server:[ADDRESS:]PORT", "pty:PATH[:BAUD]"); a serial or
    // virtual side takes the data bits, stop bits and parity above, and their baud rate when
    // it names none.
    std::string ProxyA = "tcp-server:5100";
    std::string ProxyB = "tcp-client:127.0.0.1:5000";
    // Proxy: which side the send rows' messages go to (0 side A, 1 side B).
    std::int32_t ProxyInject = 1;

    bool operator==(const CommPrefs&) const = default;
};

// The link's indexed fields with their bounds (0 to `last`): the settings file, the core's
// check and the API read them here.
struct CommRange {
    const char* key;    // in the settings file
    const char* field;  // in the API
    std::int32_t CommPrefs::*member;
    std::int32_t last;
};
inline constexpr CommRange kCommRanges[] = {{"Type", "type", &CommPrefs::Type, kLinkKindCount - 1},
                                            {"Baud", "baud", &CommPrefs::Baud, 7},
                                            {"Bits", "bits", &CommPrefs::Bits, 1},
                                            {"Stop", "stop", &CommPrefs::Stop, 1},
                                            {"Parity", "parity", &CommPrefs::Parity, 2}};

// Reserved: read and written back, used by nothing else.
struct PasswordPrefs {
    std::string Password1;
    std::string Password2;
    std::string Password3;
    std::string Password4;
    std::int32_t Flags = 0;

    bool operator==(const PasswordPrefs&) const = default;
};

// One send row. Count and Delay stay the texts of their edit fields; the row checks them
// when it sends.
struct SendPrefs {
    std::string Type;  // the message type character as typed
    std::string Msg;   // the message text, flags unexpanded
    std::string Count = "1";
    std::string Delay = "0";  // milliseconds
    std::int32_t Flags = 0;   // reserved

    bool operator==(const SendPrefs&) const = default;
};

// Faults a reply actions row injects into its answers, besides its action. All zero (the
// default, and what files of older versions give) injects nothing.
struct ReplyFaults {
    std::int32_t DelayMin = 0;  // the answer waits this many milliseconds...
    std::int32_t DelayMax = 0;  // ...or a time drawn from DelayMin to DelayMax
    std::int32_t NoAnswer = 0;  // 1: the message is listed, nothing is sent
    std::int32_t Twice = 0;     // 1: the answer is sent twice
    std::int32_t SplitAt = 0;   // above 0: the answer leaves in two writes, cut after this byte
    std::int32_t SplitGap = 0;  // milliseconds between the two writes
    std::int32_t Noise = 0;     // random bytes (never SOH) sent before the answer
    std::int32_t Drop = 0;      // 1: drop the link instead of answering
    std::int32_t DropMs = 0;    // serial: how long DTR stays down
    std::int32_t When = 0;      // 0 every message, 1 every Nth, 2 with a probability
    std::int32_t EveryN = 1;    // N for When 1
    std::int32_t Chance = 100;  // percent for When 2

    // Whether anything is injected at all.
    bool Any() const {
        return DelayMin > 0 || DelayMax > 0 || NoAnswer != 0 || Twice != 0 || SplitAt > 0 ||
               Noise > 0 || Drop != 0;
    }
    bool operator==(const ReplyFaults&) const = default;
};

// The range of each fault value, wherever one is read (the settings file, the control API,
// the dialog, the engine): times 0 to an hour, as the dialog offers them.
namespace FaultLimit {
inline constexpr std::int32_t kMaxMs = 3'600'000;
inline constexpr std::int32_t kMaxSplitAt = 1100;  // past the longest frame
inline constexpr std::int32_t kMaxNoise = 10000;
inline constexpr std::int32_t kMaxEveryN = 1'000'000;
}  // namespace FaultLimit

// What a row's faults did to an answer (the engine's report, bit by bit); the proxy's frame
// faults add their bits after these.
namespace Injected {
inline constexpr std::int32_t Delay = 1;
inline constexpr std::int32_t NoAnswer = 2;
inline constexpr std::int32_t Twice = 4;
inline constexpr std::int32_t Split = 8;
inline constexpr std::int32_t Noise = 16;
inline constexpr std::int32_t Drop = 32;
// The last of these bits: a new fault's bit follows it and takes its place here, and the
// proxy's bits and every count by kind move along by themselves.
inline constexpr std::int32_t kLastReplyBit = Drop;
inline constexpr int kReplyBits = std::countr_zero(static_cast<std::uint32_t>(kLastReplyBit)) + 1;
}  // namespace Injected

// One value of ReplyFaults as everything that reads, writes, checks or shows it knows it: the
// control API, scenarios and scripts, the settings file, the dialog and the metrics iterate
// ReplyFaultFields() rather than list the values themselves, so that a new fault is one more
// row.
struct ReplyFaultField {
    enum Kind {
        Flag,     // 0 or 1; true or false in JSON
        Ms,       // milliseconds
        Bytes,    // a number of bytes
        Count,    // a plain number
        Percent,  // 0 to 100
        Choice,   // an index into `choices`; by its name in JSON
    };
    const char* name;  // in the API, scenarios and scripts
    const char* key;   // in the settings file (the row's digit follows); the dialog's control is
                       // named after it
    // In the dialog: a check box's text; the caption of the line the value starts; or, on the
    // line of the field before it, the words between the two ("to").
    const char* label;
    Kind kind;
    std::int32_t low, high;
    std::int32_t ReplyFaults::*member;
    bool sameLine = false;  // the dialog shows it on the line of the field before it
    std::span<const char* const> choices = {};       // Choice: the names of its values...
    std::span<const char* const> choiceLabels = {};  // ...and the dialog's texts for them
    // Giving this field alone (in a scenario or a script) sets When to this value, and the
    // dialog shows it only for that When; -1: it belongs to no When.
    std::int32_t picksWhen = -1;
    std::int32_t injected = 0;  // the Injected bit of the fault it sets off; 0: it only tunes one
    const char* metric = "";    // that fault's kind in the metrics
};

// The fields in the order the struct declares them.
std::span<const ReplyFaultField> ReplyFaultFields();
// The field of that API name; nullptr for none.
const ReplyFaultField* FindReplyFaultField(std::string_view name);

// `faults` with every value brought into its range (flags to 0 or 1).
ReplyFaults BoundedFaults(ReplyFaults faults);
// Values in range that still do not hold together: "" when they do, else why not, with the
// field at fault (its API name) in `field`.
std::string ReplyFaultsConflict(const ReplyFaults& faults, std::string& field);

// One row of the reply actions table.
struct ReplyPrefs {
    std::string Type;         // the message type the row answers (one character to match)
    std::string Msg;          // the reply text
    std::int32_t Action = 0;  // 0 Normal, 1 NAK Error, 2 Type Error, 3 BCC Error
    std::int32_t Flags = 0;   // reserved
    ReplyFaults Faults;

    bool operator==(const ReplyPrefs&) const = default;
};

// The traffic view, the continuous log and the received list's bounds.
struct TrafficPrefs {
    std::int32_t MaxEntries = 1000000;  // traffic view: entries kept, the oldest dropped beyond
    std::int32_t LogOn = 0;             // 1: every entry is logged to LogPath
    std::string LogPath;
    std::int32_t LogFormat = 0;     // 0 tab-separated, 1 JSON Lines
    std::int32_t RotateKb = 10240;  // rotate the log at this size in KiB; 0 never
    std::int32_t RotateKeep = 5;    // rotated files kept
    std::int32_t ListMax = 0;       // received list: messages kept, 0 no limit
    std::int32_t FollowNewest = 1;  // received list: select each new arrival

    bool operator==(const TrafficPrefs&) const = default;
};

inline constexpr int kSendSlots = 9;
inline constexpr int kReplySlots = 10;

// Everything the configuration file holds, in file order.
struct Prefs {
    std::int32_t PrinterFlags = 0;  // reserved
    std::int32_t ConfigFlags = 0;   // reserved
    DisplayPrefs Display;
    FileRestorePrefs FileRestore;
    CommPrefs Comm;
    PasswordPrefs Password;
    std::array<SendPrefs, kSendSlots> Send;
    std::array<ReplyPrefs, kReplySlots> Reply;
    // Seeds the draws of the reply faults (delays, probabilities, noise), so that a run can be
    // repeated exactly.
    std::int32_t FaultSeed = 1;
    TrafficPrefs Traffic;
    // The faults of the link's line, applied whenever it opens (in proxy mode, side A's).
    LineFaults Line;
    // Proxy mode: the faults of side B's line, and those the proxy injects into frames.
    LineFaults LineB;
    ProxyFaults Proxy;

    bool operator==(const Prefs&) const = default;
};
