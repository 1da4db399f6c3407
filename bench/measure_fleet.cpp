// A fleet (--fleet) against a host written here with Asio on 127.0.0.1, so that the host is
// not what is measured:
//  - the time until every device has connected and logged in (the login names the device's
//    number; each is answered), at the ramp asked for, from several 127.0.0.x sources;
//  - the program's resident memory with one device and with N, per device;
//  - its CPU time while the N devices are connected and quiet, as a share of one core.
//
//   build/release/bench/measure_fleet [--program PATH] [--devices N] [--rate R] [--idle S]
//
// Wall-clock figures: a program to run by hand (docs/PERFORMANCE.md), not a test.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio.hpp>

#include "proc_stats.h"
#include "spawn_program.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

[[noreturn]] void Usage(const char* why) {
    std::fprintf(stderr, "usage: measure_fleet [--program PATH] [--devices N] [--rate R] [--idle S]\n%s\n", why);
    std::exit(2);
}

// The host: accepts everyone, answers every message frame with an ACK, and counts the
// distinct device numbers of the logins ("LOGIN n").
struct Host {
    explicit Host(asio::io_context& io) : acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        acceptor.listen(4096);
        Accept();
    }
    void Accept() {
        acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
            if (error) return;
            ++accepted;
            if (accepted == 1) firstAccept = Clock::now();
            auto peer = std::make_shared<Peer>(std::move(socket));
            Read(peer);
            Accept();
        });
    }
    struct Peer {
        explicit Peer(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        std::string pending;
        char buffer[4096];
    };
    void Read(const std::shared_ptr<Peer>& peer) {
        peer->socket.async_read_some(asio::buffer(peer->buffer), [this, peer](const boost::system::error_code& error,
                                                                              std::size_t n) {
            if (error) return;
            peer->pending.append(peer->buffer, n);
            for (;;) {
                const auto end = peer->pending.find('\r');
                if (end == std::string::npos) break;
                const std::string frame = peer->pending.substr(0, end + 1);
                peer->pending.erase(0, end + 1);
                if (frame.size() < 4 || frame[0] != '\x01' || frame[2] != '\x02') continue;  // not a message
                const auto etx = frame.rfind('\x03');
                const std::string text = frame.substr(3, etx - 3);
                if (text.rfind("LOGIN ", 0) == 0 && logins.insert(std::atol(text.c_str() + 6)).second &&
                    logins.size() == wanted)
                    allIn = Clock::now();
                // ACK with no text: SOH type ACK STX ETX bcc CR.
                const unsigned sum = static_cast<unsigned char>(frame[1]) % 256;
                char ack[] = {'\x01', frame[1], '\x06', '\x02', '\x03', static_cast<char>('0' + sum / 100),
                              static_cast<char>('0' + sum / 10 % 10), static_cast<char>('0' + sum % 10), '\r'};
                boost::system::error_code ignored;
                asio::write(peer->socket, asio::buffer(ack, sizeof ack), ignored);
            }
            Read(peer);
        });
    }
    tcp::acceptor acceptor;
    std::size_t accepted = 0;
    std::size_t wanted = 0;
    std::set<long> logins;
    Clock::time_point firstAccept{}, allIn{};
};

std::string FleetFile(int port, int devices, double rate) {
    return R"({"seed": 1, "templates": [{"count": )" + std::to_string(devices) +
           R"(, "first": 1, "connect": {"mode": "tcp-client", "host": "127.0.0.1", "port": )" + std::to_string(port) +
           R"(, "sources": ["127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"], "rate": )" + std::to_string(rate) +
           R"(}, "onConnect": [{"type": "L", "text": "LOGIN {id}"}]}]})";
}

struct Run {
    double connectSeconds = -1;  // start of the program to the last login
    double rampSeconds = -1;     // first accept to the last login
    long rssKb = -1;
    double idleCorePercent = -1;
};

Run Measure(const std::string& program, int devices, double rate, int idleSeconds) {
    asio::io_context io;
    Host host(io);
    host.wanted = static_cast<std::size_t>(devices);
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("measure_fleet_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "fleet.json").string();
    std::ofstream(file) << FleetFile(host.acceptor.local_endpoint().port(), devices, rate);
    const std::string config = (dir / "c.ini").string();
    std::ofstream(config) << "[Comm]\nType=2\nLocalPort=1\n";
    const auto started = Clock::now();
    const pid_t pid = SpawnWithoutDisplay({program, "--headless", "--config", config, "--fleet", file});
    if (pid < 0) Usage("cannot start the program");
    Run run;
    const auto deadline = started + std::chrono::seconds(60 + devices / 100);
    while (host.logins.size() < host.wanted && Clock::now() < deadline) io.run_for(std::chrono::milliseconds(5));
    if (host.logins.size() == host.wanted) {
        run.connectSeconds = std::chrono::duration<double>(host.allIn - started).count();
        run.rampSeconds = std::chrono::duration<double>(host.allIn - host.firstAccept).count();
    } else {
        std::fprintf(stderr, "only %zu of %d devices logged in\n", host.logins.size(), devices);
    }
    io.run_for(std::chrono::milliseconds(500));  // settle: the last answers taken
    run.rssKb = RssKb(pid);
    if (idleSeconds > 0) {
        const long before = CpuTicks(pid);
        const auto from = Clock::now();
        io.run_for(std::chrono::seconds(idleSeconds));
        const double seconds = std::chrono::duration<double>(Clock::now() - from).count();
        const long after = CpuTicks(pid);
        run.idleCorePercent = 100.0 * static_cast<double>(after - before) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::filesystem::remove_all(dir);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    std::string program = "build/release/vantor-simulator";
    int devices = 1000;
    double rate = 5000;
    int idle = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) Usage(("missing the value of " + arg).c_str());
        if (arg == "--program") program = argv[++i];
        else if (arg == "--devices") devices = std::atoi(argv[++i]);
        else if (arg == "--rate") rate = std::atof(argv[++i]);
        else if (arg == "--idle") idle = std::atoi(argv[++i]);
        else Usage(("unknown option " + arg).c_str());
    }
    if (devices < 2 || rate <= 0) Usage("--devices at least 2, --rate above 0");
    // Each device is a descriptor here and one in the program.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    const Run one = Measure(program, 1, rate, 0);
    const Run many = Measure(program, devices, rate, idle);
    std::printf("devices %d, rate %.0f/s, sources 127.0.0.1-4\n", devices, rate);
    std::printf("start to all logged in: %.3f s (first accept to last login %.3f s, %.0f a second)\n",
                many.connectSeconds, many.rampSeconds, many.rampSeconds > 0 ? devices / many.rampSeconds : 0.0);
    std::printf("resident memory: %ld KiB with 1 device, %ld KiB with %d: %.1f KiB per device\n", one.rssKb,
                many.rssKb, devices, static_cast<double>(many.rssKb - one.rssKb) / (devices - 1));
    std::printf("idle CPU with %d connected, over %d s: %.3f %% of a core\n", devices, idle, many.idleCorePercent);
    return many.connectSeconds < 0 ? 1 : 0;
}
