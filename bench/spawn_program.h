#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <cstring>
#include <string>
#include <vector>

extern char** environ;

// Starts args[0] with these arguments and this environment without DISPLAY, so that the
// program under measure never reaches a screen; its pid, or -1 when it cannot be started.
inline pid_t SpawnWithoutDisplay(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "DISPLAY=", 8) != 0) env.push_back(*e);
    env.push_back(nullptr);
    pid_t pid = 0;
    if (args.empty() || posix_spawn(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), env.data()) != 0) return -1;
    return pid;
}
