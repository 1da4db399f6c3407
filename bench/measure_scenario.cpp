// The headless program answering over TCP on 127.0.0.1 with the reply table alone, with a
// 50-rule scenario (the message matches rule 48: 47 tried before it), and with the same
// scenario and a Lua hook that sees every message. For each: the answer latency of single
// messages (one at a time, median and p99) and the rate of a burst (up to 256 messages in
// flight).
//
//   build/release/bench/measure_scenario [--program PATH] [--seconds S] [--latency N]
//
// Wall-clock figures: a program to run by hand (docs/PERFORMANCE.md), not a test.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fifty_rules.h"
#include "loopback_connect.h"
#include "spawn_program.h"
#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void Usage(const char* why) {
    std::fprintf(stderr, "usage: measure_scenario [--program PATH] [--seconds S] [--latency N]\n%s\n", why);
    std::exit(2);
}

int Connect(int port) {
    const int fd = ConnectLoopback(port);
    const int one = 1;
    if (fd >= 0) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Reads until `answers` more carriage returns came (each answer ends with one); false on EOF.
bool ReadAnswers(int fd, long answers, std::string* last = nullptr) {
    char chunk[65536];
    while (answers > 0) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        answers -= std::count(chunk, chunk + n, '\r');
        if (last != nullptr) last->assign(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

struct Figures {
    double medianUs = 0, p99Us = 0, rate = 0;
    std::string sample;
};

Figures Measure(const std::string& program, const std::filesystem::path& dir, const std::string& scenario,
                double seconds, int latencyCount) {
    const int port = FreeTcpPort();
    const std::string config = (dir / "ZentrelConfig.ini").string();
    std::ofstream(config) << "[Comm]\nType=2\nLocalPort=" << port << "\n[Reply]\nType1=V\nMsg1=table\n";
    std::vector<std::string> args = {program, "--headless", "--config", config};
    if (!scenario.empty()) args.insert(args.end(), {"--scenario", scenario});
    const pid_t pid = SpawnWithoutDisplay(args);
    if (pid < 0) {
        std::fprintf(stderr, "cannot start %s\n", program.c_str());
        std::exit(1);
    }
    Figures f;
    const int fd = Connect(port);
    if (fd < 0) {
        std::fprintf(stderr, "the simulator does not listen on %d\n", port);
        ::kill(pid, SIGKILL);
        std::exit(1);
    }
    const std::string message = WireFrame('V', 0, "T47=21.5");
    // Warm up, then one at a time.
    std::vector<double> latencies;
    for (int i = 0; i < latencyCount + 200; ++i) {
        const auto start = Clock::now();
        if (::write(fd, message.data(), message.size()) < 0 || !ReadAnswers(fd, 1, &f.sample)) break;
        if (i >= 200) latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        f.medianUs = latencies[latencies.size() / 2];
        f.p99Us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }
    // A burst: 64 messages per write, up to 256 in flight.
    std::string block;
    for (int i = 0; i < 64; ++i) block += message;
    long sent = 0, answered = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (sent - answered <= 192) {
            if (::write(fd, block.data(), block.size()) < 0) break;
            sent += 64;
        }
        char chunk[65536];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, sent - answered > 192 ? 0 : MSG_DONTWAIT);
        if (n > 0) answered += std::count(chunk, chunk + n, '\r');
        else if (n == 0) break;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    f.rate = answered / elapsed;
    ::close(fd);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    std::string program = VANTOR_SIMULATOR;
    double seconds = 5;
    int latencyCount = 20000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(("missing value for " + arg).c_str());
            return argv[++i];
        };
        char* end = nullptr;
        if (arg == "--program") {
            program = value();
        } else if (arg == "--seconds") {
            const std::string text = value();
            seconds = std::strtod(text.c_str(), &end);
            if (*end != 0 || seconds <= 0) Usage("--seconds takes a positive number");
        } else if (arg == "--latency") {
            const std::string text = value();
            latencyCount = static_cast<int>(std::strtol(text.c_str(), &end, 10));
            if (*end != 0 || latencyCount < 1) Usage("--latency takes a count above 0");
        } else {
            Usage(("unknown argument " + arg).c_str());
        }
    }
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vantor-measure-scenario-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "rules.json") << FiftyRules();
    std::ofstream(dir / "hook.lua") << kEveryMessageHook;
    std::ofstream(dir / "lua.json") << FiftyRules(", \"script\": \"hook.lua\"");
    const struct {
        const char* name;
        std::string scenario;
    } runs[] = {{"reply table alone", ""},
                {"50 rules, rule 48 answers", (dir / "rules.json").string()},
                {"50 rules and a Lua hook on every message", (dir / "lua.json").string()}};
    for (const auto& run : runs) {
        const Figures f = Measure(program, dir, run.scenario, seconds, latencyCount);
        std::printf("%-42s latency median %.1f us, p99 %.1f us; burst %.0f messages/s\n", run.name, f.medianUs,
                    f.p99Us, f.rate);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
