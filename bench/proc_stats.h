#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// A process's resident memory in KiB (VmRSS), or -1 when it cannot be read.
inline long RssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// A process's CPU time so far (utime + stime), in clock ticks; -1 when it cannot be read.
inline long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');  // the name may hold spaces and parentheses
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = close + 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    // After the name: the state is field 0, utime and stime fields 11 and 12.
    return fields.size() > 12 ? std::atol(fields[11].c_str()) + std::atol(fields[12].c_str()) : -1;
}
