#include "drivers/pty_driver.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "base/event_manager.h"
#include "drivers/pty_rig.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

struct PtyTest : ::testing::Test {
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    EventManager sink;
    TempDir dir;

    bool Passes(SerialDriver& driver, const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
        return RunPasses(io, driver, done, limit);
    }
};

TEST_F(PtyTest, AHostOpeningTheLinkTradesEveryByteValueBothWays) {
    PtyDriver port(io);
    port.eventSink = &sink;
    const std::string link = dir.path + "/ttyVSIM0";
    ASSERT_EQ(port.Open(link.c_str()), 1) << port.OpenError();
    port.Configure(0, 1, 0, 2);  // 115200 8N1
    EXPECT_EQ(fs::read_symlink(link).string(), port.TerminalPath());

    HostPort host(link, B115200, false);
    ASSERT_GE(host.fd, 0);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);

    host.Write(all);
    Bytes got;
    ASSERT_TRUE(Passes(port, [&] {
        std::uint8_t block[64];
        const std::size_t n = port.ReadBlock(block, sizeof block);
        got.insert(got.end(), block, block + n);
        return got.size() >= all.size();
    }));
    EXPECT_EQ(got, all);

    port.WriteTo(0, all.data(), all.size());
    port.Push();
    Bytes heard;
    ASSERT_TRUE(Passes(port, [&] {
        host.ReadInto(heard);
        return heard.size() >= all.size();
    }));
    EXPECT_EQ(heard, all);
    EXPECT_EQ(port.HostSettings().baud, 115200);
    EXPECT_FALSE(port.Mismatch());
    EXPECT_EQ(sink.Size(), 0) << "no error on a clean exchange";
}

// The host can never have a byte before the line could have carried it: at every read, the
// bytes it holds took at least their line time since the write.
TEST_F(PtyTest, OutputArrivesNoFasterThanTheLineCarriesIt) {
    struct Case {
        int baud, bits, stop, parity;
        int bitsPerByte;
        std::size_t count;
    };
    const Case cases[] = {
        {0, 1, 0, 2, 10, 600},  // 115200 8N1: 86.8 us a byte
        {0, 0, 1, 0, 11, 600},  // 115200 7E2
        {4, 1, 0, 2, 10, 40},   // 9600 8N1: 1.04 ms a byte
    };
    const std::string link = dir.path + "/ttyPaced";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bitsPerByte);
        PtyDriver port(io);
        ASSERT_EQ(port.Open(link.c_str()), 1) << port.OpenError();
        port.Configure(c.baud, c.bits, c.stop, c.parity);
        HostPort host(link, B115200, false);
        const std::int64_t ns = NsPerByte(port.OwnSettings().baud, c.bitsPerByte);
        EXPECT_EQ(port.OwnSettings().BitsPerByte(), c.bitsPerByte);

        Bytes sent(c.count);
        for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7);
        const auto start = std::chrono::steady_clock::now();
        port.WriteTo(0, sent.data(), sent.size());
        port.Push();
        Bytes heard;
        std::size_t tooEarly = 0;
        ASSERT_TRUE(Passes(port, [&] {
            host.ReadInto(heard);
            const auto since = std::chrono::steady_clock::now() - start;
            if (static_cast<std::int64_t>(heard.size()) * ns > std::chrono::nanoseconds(since).count()) ++tooEarly;
            return heard.size() >= sent.size();
        }));
        EXPECT_EQ(heard, sent);
        EXPECT_EQ(tooEarly, 0U);
        port.Close();
    }
}

TEST_F(PtyTest, TheHostsLineIsReadAndAMismatchReported) {
    PtyDriver port(io);
    port.eventSink = &sink;
    port.SetReportMismatch(true);
    std::vector<std::pair<LineSettings, bool>> seen;
    port.SetHostListener([&](const LineSettings& host, bool mismatch) { seen.emplace_back(host, mismatch); });
    const std::string link = dir.path + "/ttyHost";
    ASSERT_EQ(port.Open(link.c_str()), 1) << port.OpenError();
    port.Configure(0, 1, 0, 2);

    HostPort host(link, B9600, true);  // 9600, two stop bits
    ASSERT_TRUE(Passes(port, [&] { return port.Mismatch(); }));
    EXPECT_EQ(port.HostSettings().baud, 9600);
    EXPECT_EQ(port.HostSettings().stopBits, 2);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen.back().second);
    Event event;
    ASSERT_TRUE(sink.GetEvent(event));
    EXPECT_EQ(event.id, EventId::Error);
    EXPECT_NE(event.text.find("9600 baud, 2 stop bits"), std::string::npos) << event.text;
    EXPECT_NE(event.text.find("115200 baud, 1 stop bit"), std::string::npos) << event.text;

    host.Set(B115200, false);
    ASSERT_TRUE(Passes(port, [&] { return !port.Mismatch(); }));
    EXPECT_FALSE(seen.back().second);
    EXPECT_FALSE(sink.GetEvent(event)) << "a match is not an error";
}

// A pseudo-terminal pair of another program's; its terminal's name.
struct OtherPty {
    OtherPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) ::ptsname_r(master, name, sizeof name);
        terminal = name;
    }
    ~OtherPty() { Release(); }
    // The program ends: its terminal goes with the master side.
    void Release() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    int master = -1;
    std::string terminal;
};

// What is at the path decides: nothing or a stale link is taken (and removed at close);
// anything else is left exactly as it was: a link to a terminal another program holds too.
TEST_F(PtyTest, ThePathIsTakenOnlyWhenItIsFreeOrAStaleLink) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> prepare;
        const char* refusal;  // null: opens
    };
    const std::string elsewhere = dir.path + "/data.bin";
    std::ofstream(elsewhere) << "keep";
    OtherPty held, gone;
    ASSERT_EQ(held.terminal.rfind("/dev/pts/", 0), 0u);
    ASSERT_EQ(gone.terminal.rfind("/dev/pts/", 0), 0u);
    gone.Release();
    ASSERT_FALSE(fs::exists(gone.terminal)) << "the terminal outlived its master";
    const Case cases[] = {
        {"free", [](const std::string&) {}, nullptr},
        {"stale link", [](const std::string& p) { fs::create_symlink("/dev/pts/987654", p); }, nullptr},
        {"link to a terminal whose program ended", [&](const std::string& p) { fs::create_symlink(gone.terminal, p); },
         nullptr},
        {"regular file", [](const std::string& p) { std::ofstream(p) << "keep"; }, "not a symbolic link"},
        {"directory", [](const std::string& p) { fs::create_directory(p); }, "is a directory"},
        {"link elsewhere", [&](const std::string& p) { fs::create_symlink(elsewhere, p); }, "not a pseudo-terminal"},
        {"link to a terminal another program holds", [&](const std::string& p) { fs::create_symlink(held.terminal, p); },
         "in use by another program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string link = dir.path + "/port-" + std::to_string(&c - cases);
        c.prepare(link);
        const auto before = fs::symlink_status(link).type();
        const fs::path target = before == fs::file_type::symlink ? fs::read_symlink(link) : fs::path();
        PtyDriver port(io);
        const bool opened = port.Open(link.c_str()) == 1;
        if (c.refusal == nullptr) {
            ASSERT_TRUE(opened) << port.OpenError();
            EXPECT_EQ(fs::read_symlink(link).string(), port.TerminalPath());
            // A second simulator on the same path is refused while the first serves it.
            PtyDriver second(io);
            EXPECT_EQ(second.Open(link.c_str()), 0);
            EXPECT_NE(second.OpenError().find("another running simulator"), std::string::npos);
            port.Close();
            EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link goes at close";
            // Nobody else was hurt: the other program's terminal is still there.
            EXPECT_TRUE(fs::exists(held.terminal));
        } else {
            EXPECT_FALSE(opened);
            EXPECT_FALSE(port.IsOpen());
            EXPECT_NE(port.OpenError().find(c.refusal), std::string::npos) << port.OpenError();
            EXPECT_NE(port.OpenError().find(link), std::string::npos) << "the error names the path";
            EXPECT_EQ(fs::symlink_status(link).type(), before);
            if (before == fs::file_type::symlink) {
                EXPECT_EQ(fs::read_symlink(link), target);
            }
            if (before == fs::file_type::regular) {
                std::ifstream in(link);
                std::string text;
                in >> text;
                EXPECT_EQ(text, "keep");
            }
        }
    }
}

}  // namespace
