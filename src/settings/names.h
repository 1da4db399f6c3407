#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

struct CommPrefs;

// The choices the settings keep as indexes, and the names of their values: one table each.
inline constexpr int kBaudRates[] = {115200, 57600, 38400, 19200, 9600, 4800, 2400, 1200};
inline constexpr int kDataBits[] = {7, 8};
inline constexpr int kStopBits[] = {1, 2};
inline constexpr const char* kParityLetters[] = {"E", "O", "N"};
inline constexpr const char* kParityNames[] = {"Even", "Odd", "None"};
// The reply actions by their number: 0 Normal, 1 NAK Error, 2 Type Error, 3 BCC Error.
inline constexpr const char* kReplyActionNames[] = {"Normal", "NAK Error", "Type Error",
                                                    "BCC Error"};

// The entry of a table by its index, as text; "?" for an index outside it.
template <class T, std::size_t N>
std::string TableEntry(const T (&table)[N], std::int32_t index) {
    if (index < 0 || static_cast<std::size_t>(index) >= N) return "?";
    if constexpr (std::is_same_v<T, int>) {
        return std::to_string(table[index]);
    } else {
        return table[index];
    }
}

// A port as this machine names it, the one name the preferences and the status bar show:
// "COMn" (from a settings file made elsewhere) is the device ttyS(n-1), anything else stays.
std::string PortDisplayName(std::string_view port);

// The link summary the status bar shows: "ttyS0,9600,8,1,N", "TCP/IP Client to 10.0.0.2:5000",
// "TCP/IP Server on Port 5100", "Virtual serial port ~/ttyVSIM0,115200,8,1,N" (each kind's
// own, LinkKindInfo::summary), or "" for an unknown type. An index outside its table shows
// as "?".
std::string LinkSummaryText(const CommPrefs& comm);

// The nine link settings in one line, as the log has always written them: "2,,3,1,0,2,
// 192.168.1.100,5000,5100" (type, port, baud, bits, stop, parity, remote address and port,
// local port); a text holding a comma or starting with a double quote is written in double
// quotes, inner quotes doubled.
std::string LinkSettingsText(const CommPrefs& comm);

// The reply actions an answer carried (AnswerAction bits): "Normal", or the names of those
// used joined by "+" ("NAK Error+BCC Error").
std::string ActionsText(std::int32_t bits);
