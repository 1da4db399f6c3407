#include "drivers/line_faults.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <boost/asio.hpp>

#include "base/event_manager.h"
#include "drivers/fake_driver.h"
#include "drivers/pty_driver.h"
#include "drivers/pty_rig.h"
#include "drivers/serial_tcpip_server.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

std::int64_t NsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

Bytes Counting(std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>('A' + i % 26);
    return bytes;
}

TEST(LineFaultsRanges, EachValueOutOfRangeIsNamedAndChangesNothing) {
    struct Case {
        std::function<void(LineFaults&)> spoil;
        const char* named;
    };
    const Case cases[] = {
        {[](LineFaults& f) { f.bytesPerSecond = -1; }, "bytesPerSecond must be 0 to"},
        {[](LineFaults& f) { f.byteGapUs = LineFaultLimit::kMaxGapUs + 1; }, "byteGapUs"},
        {[](LineFaults& f) { f.sliceBytes = -5; }, "sliceBytes"},
        {[](LineFaults& f) { f.sliceGapUs = -1; }, "sliceGapUs"},
        {[](LineFaults& f) { f.breakAtMs = -2; }, "breakAtMs must be -1 to"},
        {[](LineFaults& f) { f.dtrDropMs = LineFaultLimit::kMaxMs + 1; }, "dtrDropMs"},
        {[](LineFaults& f) { f.rtsDropAtMs = -7; }, "rtsDropAtMs"},
        {[](LineFaults& f) { f.resetAtMs = -3; }, "resetAtMs"},
        {[](LineFaults& f) { f.corruptRate = 1.5; }, "corruptRate must be 0 to 1"},
        {[](LineFaults& f) { f.corruptRate = std::numeric_limits<double>::quiet_NaN(); }, "corruptRate"},
    };
    asio::io_context io;
    FaultyLine line(io, std::make_unique<FakeDriver>());
    LineFaults good;
    good.bytesPerSecond = 1000;
    ASSERT_EQ(line.SetFaults(good), "");
    for (const Case& c : cases) {
        LineFaults bad = good;
        c.spoil(bad);
        const std::string error = line.SetFaults(bad);
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
        EXPECT_EQ(line.Faults(), good) << c.named;
    }
}

// A TCP server link with faults and a peer connected to it over 127.0.0.1: the peer is the
// receiving side that measures.
struct TcpFaults : ::testing::Test {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    EventManager sink;
    SerialTcpIpServer* server = nullptr;
    std::unique_ptr<FaultyLine> line;
    std::unique_ptr<tcp::socket> peer;

    void SetUp() override {
        auto inner = std::make_unique<SerialTcpIpServer>(io, 0, 1500, 1500);
        server = inner.get();
        line = std::make_unique<FaultyLine>(io, std::move(inner));
        line->eventSink = &sink;
        peer = std::make_unique<tcp::socket>(io);
        peer->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(server->LocalPort())));
        peer->non_blocking(true);
        ASSERT_TRUE(Passes([&] { return server->ConnectionCount() == 1; }));
    }

    bool Passes(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
        return RunPasses(io, *line, done, limit);
    }

    // Appends what the peer has; false once the connection failed (the error kept).
    bool PeerRead(Bytes& into, boost::system::error_code& failure) {
        std::uint8_t block[4096];
        for (;;) {
            boost::system::error_code error;
            const std::size_t n = peer->read_some(asio::buffer(block), error);
            if (error == asio::error::would_block) return true;
            if (error) {
                failure = error;
                return false;
            }
            into.insert(into.end(), block, block + n);
        }
    }

    // Sends `bytes` as one write of the engine and gathers them at the peer; at every read,
    // `earliestNs(count)` is the soonest the count may have arrived. Returns the bytes heard
    // and, through `reads`, how many the peer held after each read that brought some.
    Bytes SendAndMeasure(const Bytes& bytes, const std::function<std::int64_t(std::size_t)>& earliestNs,
                         std::vector<std::size_t>* reads = nullptr) {
        const auto start = Clock::now();
        line->WriteTo(0, bytes.data(), bytes.size());
        line->Push();
        Bytes heard;
        boost::system::error_code failure;
        EXPECT_TRUE(Passes([&] {
            const std::size_t before = heard.size();
            EXPECT_TRUE(PeerRead(heard, failure)) << failure.message();
            if (heard.size() > before) {
                EXPECT_GE(NsSince(start), earliestNs(heard.size())) << "byte " << heard.size() << " came too soon";
                if (reads != nullptr) reads->push_back(heard.size());
            }
            return heard.size() >= bytes.size() || failure;
        }));
        return heard;
    }
};

TEST_F(TcpFaults, ShapingFaultsHoldEveryByteToItsTimeAndChangeNone) {
    struct Case {
        const char* name;
        LineFaults faults;
        std::size_t count;
        std::function<std::int64_t(std::size_t)> earliestNs;  // for the n-th byte, 1-based
    };
    LineFaults cap, gap, slices;
    cap.bytesPerSecond = 2000;  // 0.5 ms a byte
    gap.byteGapUs = 3000;
    slices.sliceBytes = 8;
    slices.sliceGapUs = 25'000;
    const Case cases[] = {
        {"cap", cap, 120, [](std::size_t n) { return static_cast<std::int64_t>(n - 1) * 500'000; }},
        {"gap", gap, 20, [](std::size_t n) { return static_cast<std::int64_t>(n - 1) * 3'000'000; }},
        {"slices", slices, 40, [](std::size_t n) { return static_cast<std::int64_t>((n - 1) / 8) * 25'000'000; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(line->SetFaults(c.faults), "");
        const Bytes sent = Counting(c.count);
        std::vector<std::size_t> reads;
        EXPECT_EQ(SendAndMeasure(sent, c.earliestNs, &reads), sent);
        if (c.faults.sliceBytes > 0) {
            // Each piece is its own write, well apart: the peer never holds part of one.
            for (const std::size_t held : reads) EXPECT_EQ(held % 8, 0U) << held;
        }
    }
    EXPECT_EQ(line->CorruptedBytes(), 0U);
}

TEST_F(TcpFaults, CorruptionFlipsOneBitOfTheSameBytesForTheSameSeed) {
    const Bytes sent = Counting(3000);
    const auto run = [&](std::uint64_t seed) {
        LineFaults faults;
        faults.corruptRate = 0.03;
        faults.corruptSeed = seed;
        EXPECT_EQ(line->SetFaults(faults), "");
        return SendAndMeasure(sent, [](std::size_t) { return 0; });
    };
    const Bytes first = run(7);
    const std::uint64_t hit = line->CorruptedBytes();
    const Bytes again = run(7);
    const Bytes other = run(8);
    ASSERT_EQ(first.size(), sent.size());
    EXPECT_EQ(again, first) << "the same seed, the same corruption";
    EXPECT_NE(other, first);
    std::size_t differing = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const unsigned diff = first[i] ^ sent[i];
        if (diff == 0) continue;
        ++differing;
        EXPECT_EQ(diff & (diff - 1), 0U) << "one bit of byte " << i;
    }
    EXPECT_EQ(differing, hit);
    // 3 % of 3000 is 90; a fair generator lands well inside this.
    EXPECT_GT(differing, 45U);
    EXPECT_LT(differing, 150U);
}

TEST_F(TcpFaults, AResetAtItsMomentIsAResetNotAClose) {
    LineFaults faults;
    faults.resetAtMs = 40;
    const auto start = Clock::now();
    ASSERT_EQ(line->SetFaults(faults), "");
    Bytes heard;
    boost::system::error_code failure;
    ASSERT_TRUE(Passes([&] { return !PeerRead(heard, failure); }));
    EXPECT_GE(NsSince(start), 40'000'000);
    EXPECT_EQ(failure, asio::error::connection_reset) << failure.message();
    EXPECT_EQ(server->ConnectionCount(), 0U);
    Event event;
    ASSERT_TRUE(sink.GetEvent(event));
    EXPECT_NE(event.text.find("reset by the simulator"), std::string::npos) << event.text;
}

// The modem lines as the line's driver is told, with when.
struct LinesDriver : FakeDriver {
    Clock::time_point start = Clock::now();
    std::vector<std::pair<std::string, std::int64_t>> calls;
    void SetDtr(bool on) override { calls.emplace_back(on ? "DTR on" : "DTR off", NsSince(start)); }
    void SetRts(bool on) override { calls.emplace_back(on ? "RTS on" : "RTS off", NsSince(start)); }
};

TEST(SerialLineFaults, DtrAndRtsDropForTheirTimeAndTheLinksOwnWishWaits) {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    auto inner = std::make_unique<LinesDriver>();
    LinesDriver& lines = *inner;
    FaultyLine line(io, std::move(inner));
    LineFaults faults;
    faults.dtrDropAtMs = 10;
    faults.dtrDropMs = 40;
    faults.rtsDropAtMs = 0;
    faults.rtsDropMs = 20;
    lines.start = Clock::now();
    ASSERT_EQ(line.SetFaults(faults), "");
    ASSERT_TRUE(RunPasses(io, line, [&] {
        if (lines.calls.size() == 2) line.SetDtr(false);  // the link asks for DTR off during the drop
        return lines.calls.size() >= 4;
    }));
    ASSERT_EQ(lines.calls.size(), 4U);
    const std::vector<std::pair<std::string, std::int64_t>> floors = {
        {"RTS off", 0}, {"DTR off", 10'000'000}, {"RTS on", 20'000'000}, {"DTR off", 50'000'000}};
    for (std::size_t i = 0; i < floors.size(); ++i) {
        EXPECT_EQ(lines.calls[i].first, floors[i].first) << i;
        EXPECT_GE(lines.calls[i].second, floors[i].second) << floors[i].first;
    }
}

TEST(SerialLineFaults, ABreakHoldsTheOutputAndTheHostReadsItAsABreak) {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    TempDir dir;
    const std::string link = dir.path + "/ttyBreak";
    auto inner = std::make_unique<PtyDriver>(io);
    ASSERT_EQ(inner->Open(link.c_str()), 1) << inner->OpenError();
    inner->Configure(0, 1, 0, 2);
    FaultyLine line(io, std::move(inner));
    HostPort host(link, B115200, false);
    host.Set(B115200, false, PARMRK);  // marks a break as 0xFF 0x00 0x00

    line.WriteString("ab", 2);
    line.Push();
    Bytes heard;
    ASSERT_TRUE(RunPasses(io, line, [&] { host.ReadInto(heard); return heard.size() >= 2; }));
    LineFaults faults;
    faults.breakAtMs = 0;
    faults.breakMs = 30;
    const auto start = Clock::now();
    ASSERT_EQ(line.SetFaults(faults), "");
    line.WriteString("cd", 2);
    line.Push();
    ASSERT_TRUE(RunPasses(io, line, [&] {
        const std::size_t before = heard.size();
        host.ReadInto(heard);
        if (heard.size() > before) {
            EXPECT_GE(NsSince(start), 30'000'000) << "nothing passes during the break";
        }
        return heard.size() >= 7;
    }));
    EXPECT_EQ(heard, (Bytes{'a', 'b', 0xFF, 0x00, 0x00, 'c', 'd'}));
}

}  // namespace
