#include "ui/serial_ports.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "drivers/serial_win_comm.h"

namespace fs = std::filesystem;

namespace {

// "ttyS2" before "ttyS10".
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            const std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            const auto za = na.find_first_not_of('0'), zb = nb.find_first_not_of('0');
            const std::string sa = za == std::string::npos ? "" : na.substr(za);
            const std::string sb = zb == std::string::npos ? "" : nb.substr(zb);
            if (sa.size() != sb.size()) return sa.size() < sb.size();
            if (sa != sb) return sa < sb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::string> SortedEntries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

// The kernel keeps an entry for every UART slot it reserved (ttyS0 to ttyS31 and so on);
// a slot without hardware reports UART type 0. Consoles and pseudo-terminals have no
// device behind them at all.
bool BackedByHardware(const fs::path& entry) {
    std::error_code ec;
    if (!fs::exists(entry / "device", ec)) return false;
    std::ifstream type(entry / "type");
    int uartType = -1;
    if (type >> uartType) return uartType != 0;
    return true;
}

}  // namespace

std::vector<std::string> ListSerialPorts(const SerialPortPlaces& places) {
    std::vector<std::string> ports;
    std::error_code ec;
    for (const std::string& name : SortedEntries(places.sysClassTty)) {
        if (BackedByHardware(fs::path(places.sysClassTty) / name) &&
            fs::exists(fs::path(places.devDir) / name, ec))
            ports.push_back(name);
    }
    for (const std::string& name : SortedEntries(places.byIdDir))
        ports.push_back((fs::path(places.byIdDir) / name).string());
    return ports;
}

std::string ResolvePortDevice(std::string_view name, const SerialPortPlaces& places) {
    if (name.empty()) return {};
    std::string path = SerialWinComm::DevicePathFor(name);
    // A bare name lives in the device directory, which tests move.
    if (name.find('/') == std::string_view::npos) path = places.devDir + path.substr(4);
    std::error_code ec;
    const fs::path resolved = fs::canonical(path, ec);
    return ec ? std::string() : resolved.string();
}

bool IsUnlistedTerminal(std::string_view name, const SerialPortPlaces& places) {
    if (name.find('/') == std::string_view::npos) return false;
    const std::string device = ResolvePortDevice(name, places);
    std::error_code ec;
    if (device.empty() || !fs::is_character_file(device, ec)) return false;
    // The kernel's own ttys (listed or placeholders) are judged by the list alone.
    return !fs::exists(fs::path(places.sysClassTty) / fs::path(device).filename(), ec);
}
