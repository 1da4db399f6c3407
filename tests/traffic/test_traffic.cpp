#include "traffic/traffic_monitor.h"
#include "traffic/traffic_pipeline.h"
#include "traffic/traffic_store.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "protocol/engine_rig.h"
#include "support/alloc_counter.h"
#include "support/loopback.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A script of bytes on the wire: each step is one read or write at a given microsecond.
struct Step {
    std::int64_t micros;
    Direction direction;
    Bytes bytes;
    bool loose = false;  // written outside the engine's frames
};

TapBatch Script(const std::vector<Step>& steps) {
    TapBatch batch;
    for (const Step& step : steps) {
        batch.chunks.push_back(TapChunk{step.micros, static_cast<std::uint32_t>(batch.bytes.size()),
                                        static_cast<std::uint32_t>(step.bytes.size()),
                                        step.direction, step.loose});
        batch.bytes.insert(batch.bytes.end(), step.bytes.begin(), step.bytes.end());
    }
    return batch;
}

std::string Describe(const TrafficBatch& batch, const TrafficEntry& e) {
    std::ostringstream out;
    out << DirectionText(e.direction) << ' ' << KindText(e.kind) << ' ' << e.micros;
    if (e.kind != EntryKind::Stray) out << " type=" << char(e.type) << " status=" << int(e.status);
    if (e.latency >= 0) out << " latency=" << e.latency;
    if (e.attempt > 0) out << " attempt=" << int(e.attempt);
    out << " len=" << e.length;
    (void)batch;
    return out.str();
}

std::vector<std::string> DescribeAll(const TrafficBatch& batch) {
    std::vector<std::string> out;
    for (const TrafficEntry& e : batch.entries) out.push_back(Describe(batch, e));
    return out;
}

// Two lines around a frame, a bad frame, an answer: cut into reads of every size, the same
// entries come out, each dated by the read holding its first byte.
TEST(TrafficSegmenter, SameEntriesWhateverTheReadSize) {
    Bytes badBcc = Message('B', "xy");
    badBcc[badBcc.size() - 2] ^= 1;
    const Bytes stream = Cat({B("\x11noise"), Message('A', "hello\x03"), badBcc, Ack('A', "ok"),
                              Nak('C', ""), B("\x13")});
    std::vector<std::string> reference;
    for (std::size_t size = 1; size <= stream.size(); ++size) {
        TrafficSegmenter segmenter(Direction::Rx);
        TrafficBatch out;
        std::size_t firstByteRead[8] = {};  // the read index holding each entry's first byte
        int read = 0;
        for (std::size_t at = 0; at < stream.size(); at += size, ++read) {
            segmenter.Feed(read, stream.data() + at, std::min(size, stream.size() - at), out);
        }
        segmenter.FlushStray(out);
        ASSERT_EQ(out.entries.size(), 6u) << "read size " << size;
        std::size_t offset = 0;
        for (std::size_t i = 0; i < out.entries.size(); ++i) {
            firstByteRead[i] = offset / size;
            EXPECT_EQ(out.entries[i].micros, static_cast<std::int64_t>(firstByteRead[i]))
                << size << " entry " << i;
            offset += out.entries[i].length;
        }
        EXPECT_EQ(offset, stream.size());
        std::vector<std::string> got;
        for (const TrafficEntry& e : out.entries) {
            got.push_back(
                std::string(KindText(e.kind)) + " " + char(e.type ? e.type : '-') + " " +
                std::to_string(e.status) + " " +
                std::string(out.bytes.begin() + e.offset, out.bytes.begin() + e.offset + e.length));
        }
        if (reference.empty()) reference = got;
        EXPECT_EQ(got, reference) << "read size " << size;
    }
    ASSERT_EQ(reference.size(), 6u);
    EXPECT_EQ(reference[0], "Stray - 0 \x11noise");
    EXPECT_EQ(reference[1].substr(0, 12), "Message A 0 ");
    EXPECT_EQ(reference[2].substr(0, 12), "Message B 7 ");
    EXPECT_EQ(reference[3].substr(0, 8), "ACK A 0 ");
    EXPECT_EQ(reference[4].substr(0, 8), "NAK C 1 ");
    EXPECT_EQ(reference[5], "Stray - 0 \x13");
    const FrameParts parts =
        DecodeFrame(Message('A', "hello\x03").data(), Message('A', "hello\x03").size());
    EXPECT_EQ(parts.text, "hello\x03");
    EXPECT_EQ(parts.receivedBcc, parts.computedBcc);
    EXPECT_EQ(parts.receivedBcc.size(), 3u);
}

// Bytes the simulator writes outside its frames (raw bytes, XOFF, XON) are entries of their
// own, ended when written, and the frames around them are cut as if they were not there; a
// flush between batches ends only stray runs, never a frame in progress.
TEST(TrafficMonitor, BytesOutsideFramesEndTheirEntries) {
    TrafficMonitor monitor;
    TrafficBatch out, all;
    const auto take = [&] {
        for (const TrafficEntry& e : out.entries) {
            all.entries.push_back(e);
            all.entries.back().offset += static_cast<std::uint32_t>(all.bytes.size());
        }
        all.bytes.insert(all.bytes.end(), out.bytes.begin(), out.bytes.end());
    };
    const Bytes answer = Ack('A', "fine"), message = Message('A', "q");
    const Bytes head(answer.begin(), answer.begin() + 4), tail(answer.begin() + 4, answer.end());
    monitor.Process(Script({{10, Direction::Tx, B("RAW\x01Z\x02hi\x03"), true},
                            {20, Direction::Tx, B("\x13"), true},
                            {30, Direction::Rx, message},
                            {40, Direction::Tx, head}}),  // a split answer's first part
                    out);
    take();
    monitor.Process(Script({{50, Direction::Tx, B("\x11"), true}, {60, Direction::Tx, tail}}), out);
    take();
    std::vector<std::string> got;
    for (const TrafficEntry& e : all.entries)
        got.push_back(Describe(all, e) + " " + std::string(all.bytes.begin() + e.offset, all.bytes.begin() + e.offset + e.length));
    EXPECT_EQ(got, (std::vector<std::string>{
                       "Tx Stray 10 len=3 RAW",
                       "Tx Stray 10 len=6 \x01Z\x02hi\x03",
                       "Tx Stray 20 len=1 \x13",
                       "Rx Message 30 type=A status=0 attempt=1 len=9 " + std::string(message.begin(), message.end()),
                       "Tx Stray 50 len=1 \x11",
                       "Tx ACK 40 type=A status=0 latency=10 len=13 " + std::string(answer.begin(), answer.end()),
                   }));
    EXPECT_EQ(monitor.stats.answers[TrafficStats::AnswerNormal], 1u);

    // The engine marks what it writes outside its frames.
    EngineRig r;
    TrafficTap tap([] { return std::int64_t{7}; });
    r.engine.tap = &tap;
    Event raw{EventId::LinkAction, LinkActionCode::SendRaw, 0};
    raw.payload = LinkActionArgs{0, "\x01Z"};
    r.engine.HandleEvent(raw);
    r.engine.HandleEvent(Event{EventId::SendBytes, 'Q', 0, "own"});
    r.engine.Poll();
    TapBatch taken;
    tap.Take(taken);
    // The line's session began with the raw bytes, which went to it.
    ASSERT_EQ(taken.chunks.size(), 3u);
    EXPECT_EQ(taken.chunks[0].mark, TapMark::SessionOpened);
    EXPECT_TRUE(taken.chunks[1].loose);
    EXPECT_FALSE(taken.chunks[2].loose);
    EXPECT_EQ(taken.chunks[1].session, 1u);
    EXPECT_EQ(taken.chunks[2].session, 1u);
}

// An answer with a wrong block check counts as one in the statistics, whatever its text.
TEST(TrafficMonitor, AnswersCountByTheErrorTheyCarry) {
    Bytes badBcc = Ack('A', "r");
    badBcc[badBcc.size() - 2] = static_cast<std::uint8_t>(badBcc[badBcc.size() - 2] + 1);
    TrafficMonitor monitor;
    TrafficBatch out;
    monitor.Process(Script({{0, Direction::Rx, Message('A', "1")}, {5, Direction::Tx, badBcc},
                            {10, Direction::Rx, Message('A', "2")}, {15, Direction::Tx, Ack('A', "r")}}),
                    out);
    EXPECT_EQ(monitor.stats.answers[TrafficStats::AnswerWrongBcc], 1u);
    EXPECT_EQ(monitor.stats.answers[TrafficStats::AnswerNormal], 1u);
}

// The charts' seconds: every second from the first with traffic to now, quiet ones as zeros,
// nothing before the first; a lone second is one point.
TEST(TrafficMonitor, ChartSecondsAreFilledWithZeros) {
    TrafficStats stats;
    EXPECT_TRUE(stats.SecondsUpTo(100, 300).empty());
    TrafficEntry message;
    message.kind = EntryKind::Message;
    message.micros = 95'500'000;
    stats.Add(message);
    ASSERT_EQ(stats.SecondsUpTo(95, 300).size(), 1u);
    message.micros = 98'100'000;
    stats.Add(message);
    stats.Add(message);
    std::vector<std::uint32_t> counts;
    for (const auto& second : stats.SecondsUpTo(100, 300)) counts.push_back(second.messages[0]);
    EXPECT_EQ(counts, (std::vector<std::uint32_t>{1, 0, 0, 2, 0, 0}));
    EXPECT_EQ(stats.SecondsUpTo(100, 3).front().second, 97) << "no more than the span";
}

// A scripted exchange with known times: answers carry their latency, repeats their attempt
// number, and the statistics add up.
TEST(TrafficMonitor, LatenciesAttemptsAndStatistics) {
    TrafficMonitor monitor;
    monitor.stats.LinkChanged(true, 0);
    TrafficBatch out;
    const Bytes ours = Message('Q', "query");
    monitor.Process(Script({
                        {1000, Direction::Rx, Message('A', "one")},
                        {1250, Direction::Tx, Ack('A', "r")},  // answered in 250 us
                        {2000, Direction::Rx, Message('B', "two")},
                        {2100, Direction::Tx, Nak('B', "")},  // a NAK answer, 100 us
                        {3000, Direction::Rx, Message('A', "3")},
                        {3900, Direction::Tx, Ack('B', "r")},  // wrong type, 900 us
                        {5000, Direction::Tx, ours},
                        {5600, Direction::Rx, Nak('Q', "")},      // rejected after 600 us
                        {6000, Direction::Tx, ours},              // the second try
                        {6400, Direction::Rx, Ack('Q', "fine")},  // accepted after 400 us
                        {7000, Direction::Tx, ours},  // accepted before: a new first try
                        {7100, Direction::Rx, B("\xff\xfe")},
                    }),
                    out);
    EXPECT_EQ(DescribeAll(out), (std::vector<std::string>{
                                    "Rx Message 1000 type=A status=0 attempt=1 len=11",
                                    "Tx ACK 1250 type=A status=0 latency=250 len=10",
                                    "Rx Message 2000 type=B status=0 attempt=1 len=11",
                                    "Tx NAK 2100 type=B status=1 latency=100 len=9",
                                    "Rx Message 3000 type=A status=0 attempt=1 len=9",
                                    "Tx ACK 3900 type=B status=0 latency=900 len=10",
                                    "Tx Message 5000 type=Q status=0 attempt=1 len=13",
                                    "Rx NAK 5600 type=Q status=1 latency=600 len=9",
                                    "Tx Message 6000 type=Q status=0 attempt=2 len=13",
                                    "Rx ACK 6400 type=Q status=0 latency=400 len=13",
                                    "Tx Message 7000 type=Q status=0 attempt=1 len=13",
                                    "Rx Stray 7100 len=2",
                                }));
    const TrafficStats& s = monitor.stats;
    EXPECT_EQ(s.receivedByType.at('A'), 2u);
    EXPECT_EQ(s.receivedByType.at('B'), 1u);
    EXPECT_EQ(s.receivedByStatus[StatusOk], 3u);
    EXPECT_EQ(s.answers[TrafficStats::AnswerNormal], 1u);
    EXPECT_EQ(s.answers[TrafficStats::AnswerNak], 1u);
    EXPECT_EQ(s.answers[TrafficStats::AnswerWrongType], 1u);
    EXPECT_EQ(s.retransmissions, 1u);
    EXPECT_EQ(s.frames[0], 5u);
    EXPECT_EQ(s.frames[1], 6u);
    EXPECT_EQ(s.strayBytes[0], 2u);
    EXPECT_EQ(s.bytes[0], 11u + 11 + 9 + 9 + 13 + 2);
    const auto answer = s.answerLatency.Compute();
    EXPECT_EQ(answer.count, 3u);
    EXPECT_EQ(answer.min, 100);
    EXPECT_EQ(answer.median, 250);
    EXPECT_EQ(answer.p99, 900);
    EXPECT_EQ(answer.max, 900);
    const auto trip = s.roundTrip.Compute();
    EXPECT_EQ(trip.count, 2u);
    EXPECT_EQ(trip.min, 400);
    EXPECT_EQ(trip.max, 600);
    ASSERT_EQ(s.series.size(), 1u);
    EXPECT_EQ(s.series[0].messages[0], 3u);
    EXPECT_EQ(s.series[0].messages[1], 3u);
    EXPECT_EQ(s.series[0].latencyMax, 900);

    monitor.stats.LinkChanged(false, 10000);
    monitor.stats.LinkChanged(true, 15000);
    EXPECT_EQ(monitor.stats.reconnects, 1u);
    EXPECT_EQ(monitor.stats.UpMicros(16000), 11000);
    monitor.stats.Reset(20000);
    EXPECT_EQ(monitor.stats.frames[0], 0u);
    EXPECT_EQ(monitor.stats.answerLatency.Compute().count, 0u);
    EXPECT_EQ(monitor.stats.UpMicros(21000), 1000);  // the open link counts on from the reset
}

// Percentiles by nearest rank over many values.
TEST(TrafficMonitor, LatencyPercentiles) {
    LatencySummary summary;
    for (int i = 1000; i >= 1; --i) summary.Add(i);
    const auto f = summary.Compute();
    EXPECT_EQ(f.min, 1);
    EXPECT_EQ(f.median, 500);
    EXPECT_EQ(f.p99, 990);
    EXPECT_EQ(f.max, 1000);
    // A smaller window: the median of the latest values only, the extremes of them all.
    LatencySummary latest(4);
    for (int i = 1; i <= 10; ++i) latest.Add(i);
    const auto g = latest.Compute();
    EXPECT_EQ(g.median, 8);
    EXPECT_EQ(g.min, 1);
    EXPECT_EQ(g.max, 10);
    EXPECT_EQ(g.count, 10u);
}

// The engine copies what it reads and what it writes into the tap, in order, and recording
// does not allocate once the tap's buffers have grown.
TEST(TrafficTapOnEngine, BothDirectionsWithoutAllocating) {
    std::int64_t now = 100;
    TrafficTap tap([&now] { return now; });
    EngineRig rig;
    rig.engine.tap = &tap;
    const Bytes incoming = Message('A', "hi");
    rig.engine.Poll();  // the line's session begins: a mark, not bytes
    TapBatch batch;
    tap.Take(batch);
    ASSERT_EQ(batch.chunks.size(), 1u);
    EXPECT_EQ(batch.chunks[0].mark, TapMark::SessionOpened);
    rig.driver.Script(incoming);
    rig.PollTimes(2);
    tap.Take(batch);
    ASSERT_EQ(batch.chunks.size(), 3u);
    EXPECT_EQ(batch.chunks[0].direction, Direction::Rx);
    EXPECT_TRUE(batch.chunks[0].cut);
    EXPECT_EQ(Bytes(batch.bytes.begin(), batch.bytes.begin() + batch.chunks[0].length), incoming);
    // Where the engine's receiver ended the frame, and how it took it.
    EXPECT_EQ(batch.chunks[1].mark, TapMark::FrameEnd);
    EXPECT_EQ(batch.chunks[1].rest, 0u);
    EXPECT_EQ(batch.chunks[1].type, 'A');
    EXPECT_EQ(batch.chunks[2].direction, Direction::Tx);
    EXPECT_EQ(Bytes(batch.bytes.begin() + batch.chunks[2].offset, batch.bytes.end()),
              rig.driver.written);
    EXPECT_EQ(tap.TotalBytes(Direction::Rx), incoming.size());

    // Once both of the buffers it swaps have grown, recording and taking allocate nothing.
    const Bytes block(4096, 'x');
    for (int round = 0; round < 5; ++round) {
        const std::size_t before = AllocationCount();
        for (int i = 0; i < 20; ++i) {
            ++now;
            tap.Record(Direction::Rx, block.data(), block.size());
            tap.Record(Direction::Tx, incoming.data(), incoming.size());
        }
        tap.Take(batch);
        if (round >= 2) {
            EXPECT_EQ(AllocationCount() - before, 0u) << "round " << round;
        }
    }
    EXPECT_EQ(batch.chunks.size(), 40u);
    EXPECT_EQ(tap.TotalBytes(Direction::Rx), incoming.size() + 100 * block.size());
}

// Stamped by a counter, chunks come out in wall-clock microseconds: each stamp in proportion
// between the two readings of both clocks around its batch, exact at both ends.
TEST(TrafficTapOnEngine, CounterStampsBecomeWallClockTimes) {
    std::int64_t counter = 1000, wall = 5'000'000;
    TrafficTap tap(TrafficTap::CounterClocks{[&counter] { return counter; }, [&wall] { return wall; }});
    TapBatch batch;
    const std::uint8_t byte = 'x';
    // Three counts to a microsecond; a batch of stamps at known counts.
    for (const std::int64_t at : {1000 + 30, 1000 + 31, 1000 + 300, 1000 + 600}) {
        counter = at;
        tap.Record(Direction::Rx, &byte, 1);
    }
    counter = 1000 + 600;
    wall = 5'000'000 + 200;
    tap.Take(batch);
    ASSERT_EQ(batch.chunks.size(), 4u);
    EXPECT_EQ(batch.chunks[0].micros, 5'000'010);
    EXPECT_EQ(batch.chunks[1].micros, 5'000'010);  // a third of a microsecond later
    EXPECT_EQ(batch.chunks[2].micros, 5'000'100);
    EXPECT_EQ(batch.chunks[3].micros, 5'000'200);
    // The next batch counts from where this one ended, at its own rate.
    counter += 100;
    tap.Record(Direction::Tx, &byte, 1);
    counter += 100;
    wall += 100;
    tap.Take(batch);
    ASSERT_EQ(batch.chunks.size(), 1u);
    EXPECT_EQ(batch.chunks[0].micros, 5'000'250);

    // The processor's own counter: between the wall-clock readings around each recording,
    // with room for the clocks' steps and a descheduled moment.
    TrafficTap real;
    std::vector<std::int64_t> before, after;
    for (int i = 0; i < 5; ++i) {
        before.push_back(TrafficTap::WallMicros());
        real.Record(Direction::Rx, &byte, 1);
        after.push_back(TrafficTap::WallMicros());
    }
    real.Take(batch);
    ASSERT_EQ(batch.chunks.size(), 5u);
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_GE(batch.chunks[k].micros, before[k] - 1000) << k;
        EXPECT_LE(batch.chunks[k].micros, after[k] + 1000) << k;
    }
}

// A reader that falls behind loses the newest bytes, counted, instead of growing without end.
TEST(TrafficTapOnEngine, BoundedWhenNobodyReads) {
    TrafficTap tap([] { return 1; }, 100);
    const Bytes block(60, 'x');
    tap.Record(Direction::Rx, block.data(), block.size());
    tap.Record(Direction::Tx, block.data(), block.size());
    TapBatch batch;
    tap.Take(batch);
    EXPECT_EQ(batch.bytes.size(), 60u);
    EXPECT_EQ(batch.droppedBytes, 60u);
    tap.Record(Direction::Tx, block.data(), block.size());
    tap.Take(batch);
    EXPECT_EQ(batch.bytes.size(), 60u);
    EXPECT_EQ(batch.droppedBytes, 0u);
}

// A batch of `count` entries alternating Rx message 'A'/'B' and Tx ACK, text "m<i>".
TrafficBatch Numbered(int from, int count) {
    TrafficMonitor monitor;
    std::vector<Step> steps;
    for (int i = from; i < from + count; ++i) {
        steps.push_back(i % 2 == 0 ? Step{i, Direction::Rx,
                                          Message(i % 4 == 0 ? 'A' : 'B', "m" + std::to_string(i))}
                                   : Step{i, Direction::Tx, Ack('A', "m" + std::to_string(i))});
    }
    TrafficBatch out;
    monitor.Process(Script(steps), out);
    return out;
}

std::vector<std::int64_t> RowTimes(const TrafficStore& store) {
    std::vector<std::int64_t> times;
    for (std::size_t row = 0; row < store.Rows(); ++row)
        times.push_back(store.Entry(store.SequenceOfRow(row)).micros);
    return times;
}

std::vector<std::int64_t> Range(std::int64_t from, std::int64_t to, std::int64_t step = 1) {
    std::vector<std::int64_t> out;
    for (std::int64_t i = from; i < to; i += step) out.push_back(i);
    return out;
}

// The bound drops the oldest entries; the reported row changes replay to the same rows, with
// a filter or without, whether the batch is smaller or larger than the bound.
TEST(TrafficStoreBounds, DropsTheOldestAndReportsTheRowChanges) {
    struct Case {
        const char* name;
        TrafficFilter filter;
        std::size_t bound;
        std::vector<int> batches;
    };
    TrafficFilter rxOnly;
    rxOnly.direction = 0;
    const std::vector<Case> cases = {
        {"no filter, small batches", {}, 10, {3, 4, 5, 6}},
        {"no filter, one batch over the bound", {}, 10, {4, 25}},
        {"filter, small batches", rxOnly, 10, {3, 4, 5, 6}},
        {"filter, batch over the bound", rxOnly, 10, {4, 25}},
        {"block boundaries", {}, TrafficStore::kBlockEntries + 3, {4000, 200, 4000}},
    };
    for (const Case& c : cases) {
        TrafficStore store(c.bound);
        store.SetFilter(c.filter);
        std::size_t rows = 0;
        int next = 0;
        for (int count : c.batches) {
            const TrafficStore::Change change = store.Append(Numbered(next, count));
            next += count;
            ASSERT_LE(change.rowsRemoved, rows) << c.name;
            rows = rows - change.rowsRemoved + change.rowsAdded;
            ASSERT_EQ(rows, store.Rows()) << c.name;
        }
        // Full, it holds between 99 % of the bound and the bound.
        ASSERT_LE(store.Size(), std::min<std::size_t>(c.bound, next)) << c.name;
        ASSERT_GE(store.Size(), std::min<std::size_t>(c.bound - c.bound / 100, next)) << c.name;
        const std::int64_t oldest = next - static_cast<std::int64_t>(store.Size());
        EXPECT_EQ(RowTimes(store), Range(c.filter.direction == 0 ? oldest + oldest % 2 : oldest,
                                         next, c.filter.direction == 0 ? 2 : 1))
            << c.name;
    }
}

TEST(TrafficStoreFilter, EachPartNarrowsTheRows) {
    TrafficStore store;
    TrafficBatch batch = Numbered(0, 8);  // Rx A m0, Tx m1, Rx B m2, Tx m3, Rx A m4, ...
    Bytes bad = Message('C', "bad");
    bad[bad.size() - 2] ^= 1;
    TrafficMonitor monitor;
    TrafficBatch extra;
    monitor.Process(Script({{8, Direction::Rx, bad}, {9, Direction::Rx, B("junk m1")}}), extra);
    store.Append(batch);
    store.Append(extra);
    const auto filtered = [&store](auto change) {
        TrafficFilter filter;
        change(filter);
        store.SetFilter(filter);
        return RowTimes(store);
    };
    using V = std::vector<std::int64_t>;
    EXPECT_EQ(filtered([](TrafficFilter&) {}), Range(0, 10));
    EXPECT_EQ(filtered([](TrafficFilter& f) { f.direction = 1; }), (V{1, 3, 5, 7}));
    EXPECT_EQ(filtered([](TrafficFilter& f) { f.kinds = 1u << int(EntryKind::Stray); }), (V{9}));
    EXPECT_EQ(filtered([](TrafficFilter& f) {
                  f.type = 'A';
                  f.direction = 0;
              }),
              (V{0, 4}));
    EXPECT_EQ(filtered([](TrafficFilter& f) { f.status = TrafficFilter::kAnyError; }), (V{8}));
    EXPECT_EQ(filtered([](TrafficFilter& f) { f.status = StatusBadBcc; }), (V{8}));
    EXPECT_EQ(filtered([](TrafficFilter& f) { f.patterns = TrafficSearchPatterns("m1"); }), (V{1, 9}));
    // New entries pass the filter in force as they come.
    store.Append(Numbered(11, 1));  // Tx m11
    EXPECT_EQ(RowTimes(store), (V{1, 9, 11}));
    EXPECT_EQ(filtered([](TrafficFilter& f) { f.patterns = TrafficSearchPatterns("JUNK"); }), (V{}));
    EXPECT_EQ(filtered([](TrafficFilter& f) {
                  f.patterns = TrafficSearchPatterns("JUNK");
                  f.ignoreCase = true;
              }),
              (V{9}));
    // Control characters by the names the view shows, and hex byte pairs.
    EXPECT_EQ(TrafficSearchPatterns("<STX>bad<etx>"), (std::vector<std::string>{"\x02" "bad\x03"}));
    EXPECT_EQ(TrafficSearchPatterns("03 10"), (std::vector<std::string>{"03 10", "\x03\x10"}));
    EXPECT_EQ(TrafficSearchPatterns("<xFF>0"), (std::vector<std::string>{"\xff" "0"}));
    EXPECT_EQ(TrafficSearchPatterns("0 3"), (std::vector<std::string>{"0 3"}));
    EXPECT_EQ(filtered([](TrafficFilter& f) { f.patterns = TrafficSearchPatterns("<STX>bad<ETX>"); }), (V{8}));
    EXPECT_EQ(filtered([](TrafficFilter& f) { f.patterns = TrafficSearchPatterns("02 62 61 64"); }), (V{8}));
    EXPECT_EQ(HexDump(bad.data(), 3), "0000  01 43 02" + std::string(13 * 3, ' ') + "  .C.\n");
}

// On its own thread the pipeline turns what the engine's thread records into entries, in
// order; what nobody takes is bounded.
TEST(TrafficPipelineThread, EntriesFromAnotherThreadInOrderAndBounded) {
    TrafficTap tap;
    TrafficPipeline pipeline(tap, 1000000);
    std::atomic<int> notices{0};
    pipeline.SetView([&notices] { ++notices; });
    pipeline.Start();
    std::thread engine([&tap] {
        for (int i = 0; i < 2000; ++i) {
            const Bytes message = Message('A', "n" + std::to_string(i));
            const Bytes answer = Ack('A', "ok");
            tap.Record(Direction::Rx, message.data(), message.size());
            tap.Record(Direction::Tx, answer.data(), answer.size());
        }
    });
    engine.join();
    std::vector<std::string> texts;
    std::deque<TrafficBatch> ready;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (texts.size() < 4000 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pipeline.TakeReady(ready);
        for (const TrafficBatch& batch : ready) {
            for (const TrafficEntry& e : batch.entries) {
                texts.push_back(DecodeFrame(batch.bytes.data() + e.offset, e.length).text);
            }
        }
    }
    ASSERT_EQ(texts.size(), 4000u);
    EXPECT_GE(notices.load(), 1) << "the view heard that entries were ready";
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(texts[2 * i], "n" + std::to_string(i));
        ASSERT_EQ(texts[2 * i + 1], "ok");
    }
    EXPECT_EQ(pipeline.WithMonitor(
                  [](TrafficMonitor& m) { return m.stats.answerLatency.Compute().count; }),
              2000u);
    pipeline.Stop();

    // Nobody takes: at most the bound (plus the newest batch) waits; without a view, nothing.
    TrafficPipeline unread(tap, 10);
    unread.SetView([] {});
    for (int round = 0; round < 5; ++round) {
        const Bytes burst =
            Cat({Message('B', "x"), Message('B', "y"), Message('B', "z"), Message('B', "w")});
        tap.Record(Direction::Rx, burst.data(), burst.size());
        unread.ProcessNow();
    }
    unread.TakeReady(ready);
    std::size_t waiting = 0;
    for (const TrafficBatch& batch : ready) waiting += batch.entries.size();
    EXPECT_LE(waiting, 10u + 4);
    EXPECT_GE(waiting, 10u);
    unread.SetView({});
    const Bytes more = Message('C', "q");
    tap.Record(Direction::Rx, more.data(), more.size());
    unread.ProcessNow();
    unread.TakeReady(ready);
    EXPECT_TRUE(ready.empty());
}

class TrafficLog : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("vantor-log-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    static std::string Read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Logs `count` exchanges (a message and its answer) through a monitor.
    static void Exchange(TrafficMonitor& monitor, int count, std::int64_t start = 0) {
        TrafficBatch out;
        for (int i = 0; i < count; ++i) {
            const std::int64_t t = start + i * 1000;
            monitor.Process(Script({{t, Direction::Rx, Message('A', "n" + std::to_string(i))},
                                    {t + 10, Direction::Tx, Ack('A', "ok")}}),
                            out);
        }
    }

    std::filesystem::path dir;
};

TEST_F(TrafficLog, TabSeparatedAndJsonRecords) {
    for (const LogFormat format : {LogFormat::Tsv, LogFormat::JsonLines}) {
        TrafficMonitor monitor;
        const auto path = dir / (format == LogFormat::Tsv ? "log.tsv" : "log.jsonl");
        ASSERT_TRUE(monitor.StartLog({path.string(), format, 0, 0}));
        Exchange(monitor, 2);
        monitor.Log()->Flush();
        const std::string text = Read(path);
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        if (format == LogFormat::Tsv) {
            ASSERT_EQ(lines.size(), 5u);
            EXPECT_EQ(lines[0] + "\n", TsvHeader());
            // Unpadded, and no TAB at the ends of the lines.
            EXPECT_NE(lines[1].find("\tRx\tMessage\tOK\tA\t\"n0\"\t"), std::string::npos)
                << lines[1];
            EXPECT_NE(lines[2].find("\tTx\tACK\tOK\tA\t\"ok\"\t"), std::string::npos)
                << lines[2];
            EXPECT_EQ(lines[2].substr(lines[2].size() - 5), "\t10\t\r") << lines[2];
            EXPECT_EQ(lines[0].substr(lines[0].size() - 9), "\tAttempt\r");
        } else {
            ASSERT_EQ(lines.size(), 4u);
            const auto first = nlohmann::json::parse(lines[0]);
            EXPECT_EQ(first["direction"], "Rx");
            EXPECT_EQ(first["text"], "n0");
            EXPECT_EQ(first["attempt"], 1);
            const auto answer = nlohmann::json::parse(lines[3]);
            EXPECT_EQ(answer["kind"], "ACK");
            EXPECT_EQ(answer["latencyMicros"], 10);
        }
    }
}

// Rotation keeps the newest records: the current file and `keep` older ones, none cut apart,
// none past the size, each rotated file as full as whole records make it (records written in
// one large batch as much as one by one).
TEST_F(TrafficLog, RotatesBeforeTheSizeAndKeepsTheCount) {
    for (const bool oneBatch : {false, true}) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        TrafficMonitor monitor;
        const auto path = dir / "traffic.tsv";
        ASSERT_TRUE(monitor.StartLog({path.string(), LogFormat::Tsv, 600, 2}));
        if (oneBatch) {
            std::vector<Step> steps;
            for (int i = 0; i < 40; ++i) {
                steps.push_back({i * 1000, Direction::Rx, Message('A', "n" + std::to_string(i))});
                steps.push_back({i * 1000 + 10, Direction::Tx, Ack('A', "ok")});
            }
            TrafficBatch out;
            monitor.Process(Script(steps), out);
        } else {
            Exchange(monitor, 40);
        }
        monitor.Log()->Flush();
        EXPECT_FALSE(monitor.Log()->Failed());
        ASSERT_TRUE(std::filesystem::exists(path));
        ASSERT_TRUE(std::filesystem::exists(dir / "traffic.tsv.1"));
        ASSERT_TRUE(std::filesystem::exists(dir / "traffic.tsv.2"));
        EXPECT_FALSE(std::filesystem::exists(dir / "traffic.tsv.3"));
        std::string all;
        for (const char* name : {"traffic.tsv.2", "traffic.tsv.1", "traffic.tsv"}) {
            const std::string text = Read(dir / name);
            EXPECT_LE(text.size(), 600u) << name;
            if (std::string(name) != "traffic.tsv") {
                EXPECT_GT(text.size(), 600u - 90u) << name << " rotated early";
            }
            EXPECT_EQ(text.rfind(TsvHeader(), 0), 0u) << name;
            all += text.substr(TsvHeader().size());
        }
        // What is kept is the end of the run, in order and whole.
        EXPECT_NE(all.find("\"n39\""), std::string::npos);
        const std::size_t oldest = all.find("\"n");
        const int first = std::stoi(all.substr(oldest + 2));
        for (int i = first; i < 40; ++i)
            EXPECT_NE(all.find("\"n" + std::to_string(i) + "\""), std::string::npos) << i;
        EXPECT_EQ(all.back(), '\n');
    }
}

// A log switched to the other format never appends to a file of the first: its records go to
// a file named for their format, and back again.
TEST_F(TrafficLog, AnotherFormatGoesToAFileOfItsOwn) {
    const auto tsv = dir / "traffic.tsv";
    const auto jsonl = dir / "traffic.jsonl";
    for (const LogFormat format : {LogFormat::Tsv, LogFormat::JsonLines, LogFormat::Tsv}) {
        TrafficMonitor monitor;
        ASSERT_TRUE(monitor.StartLog({tsv.string(), format, 0, 0}));
        EXPECT_EQ(monitor.Log()->Path(), (format == LogFormat::Tsv ? tsv : jsonl).string());
        Exchange(monitor, 1);
        monitor.StopLog();
    }
    std::istringstream tsvLines(Read(tsv)), jsonLines(Read(jsonl));
    int count = 0;
    for (std::string line; std::getline(tsvLines, line); ++count) EXPECT_NE(line[0], '{') << line;
    EXPECT_EQ(count, 5) << "the header and two exchanges";
    count = 0;
    for (std::string line; std::getline(jsonLines, line); ++count) EXPECT_EQ(line[0], '{') << line;
    EXPECT_EQ(count, 2);
    EXPECT_EQ(LogPathFor("a/b.json", LogFormat::Tsv), "a/b.tsv");
    EXPECT_EQ(LogPathFor("log", LogFormat::JsonLines), "log.jsonl");
}

// A file size limit stands in for a full disk: logging stops with the reason, and the caller
// goes on processing traffic as before.
TEST_F(TrafficLog, FullDiskStopsLoggingNotTheTraffic) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    TrafficMonitor monitor;
    const auto path = dir / "full.tsv";
    ASSERT_TRUE(monitor.StartLog({path.string(), LogFormat::Tsv, 0, 0}));
    rlimit small = saved;
    small.rlim_cur = 2048;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    Exchange(monitor, 100);
    monitor.Log()->Flush();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(monitor.Log()->Failed());
    EXPECT_FALSE(monitor.Logging());
    EXPECT_NE(monitor.LogError().find("File too large"), std::string::npos) << monitor.LogError();
    EXPECT_NE(monitor.LogError().find(path.string()), std::string::npos);
    EXPECT_LE(std::filesystem::file_size(path), 2048u);
    // What is there is whole records.
    const std::string text = Read(path);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(monitor.stats.frames[0], 100u);  // every exchange was still seen
    Exchange(monitor, 1, 1000000);             // and later traffic is not held up
    EXPECT_EQ(monitor.stats.frames[0], 101u);
}

TEST_F(TrafficLog, UnwritablePathIsReportedAtStart) {
    TrafficMonitor monitor;
    const auto path = dir / "missing" / "x.tsv";
    EXPECT_FALSE(monitor.StartLog({path.string(), LogFormat::Tsv, 0, 0}));
    EXPECT_NE(monitor.LogError().find("cannot open"), std::string::npos) << monitor.LogError();
    EXPECT_FALSE(monitor.Logging());
    TrafficBatch out;
    monitor.Process(Script({{1, Direction::Rx, Message('A', "x")}}), out);
    EXPECT_EQ(out.entries.size(), 1u);
}

}  // namespace

// What a fault of the proxy did shows among the traffic, after the bytes before it and before
// the frame it is about, in the view and the log, and is never counted as bytes of the line.
TEST(TrafficMonitor, FaultNotesShowBeforeTheirFrameAndCountAsNothing) {
    TrafficTap tap([] { return std::int64_t{7}; });
    const Bytes stray = B("xx"), message = Message('A', "q");
    tap.Record(Direction::Rx, stray.data(), stray.size());
    tap.RecordNote(Direction::Rx, "bad BCC");
    tap.Record(Direction::Rx, message.data(), message.size());
    TapBatch batch;
    tap.Take(batch);
    TrafficMonitor monitor;
    TrafficBatch out;
    monitor.Process(batch, out);
    std::vector<std::string> got;
    for (const TrafficEntry& e : out.entries)
        got.push_back(std::string(KindText(e.kind)) + " " +
                      std::string(out.bytes.begin() + e.offset, out.bytes.begin() + e.offset + e.length));
    EXPECT_EQ(got, (std::vector<std::string>{"Stray xx", "Fault bad BCC",
                                             "Message " + std::string(message.begin(), message.end())}));
    EXPECT_EQ(monitor.stats.bytes[static_cast<int>(Direction::Rx)], stray.size() + message.size());
    const std::string record = FormatRecord(LogFormat::JsonLines, out.entries[1], out.bytes.data() + out.entries[1].offset);
    EXPECT_NE(record.find("\"kind\":\"Fault\""), std::string::npos) << record;
    EXPECT_EQ(record.find("\"status\""), std::string::npos) << "a note is no frame: " << record;
    TrafficFilter faults;
    faults.kinds = 1u << static_cast<unsigned>(EntryKind::Fault);
    EXPECT_TRUE(faults.Matches(out.entries[1], out.bytes.data() + out.entries[1].offset));
    EXPECT_FALSE(faults.Matches(out.entries[2], out.bytes.data() + out.entries[2].offset));
}

// Two sessions' bytes that interleave mid-frame are cut apart, each entry naming its session
// (in the log too); a session that ends mid-frame leaves its half as stray bytes of its own.
TEST(TrafficMonitor, EachSessionsBytesAreCutApart) {
    TrafficTap tap([] { return std::int64_t{7}; });
    const Bytes a = Message('A', "from one"), b = Message('B', "from two"), cut = Message('C', "cut");
    const auto record = [&tap](std::uint32_t session, const Bytes& bytes, std::size_t from, std::size_t to) {
        tap.Record(Direction::Rx, bytes.data() + from, to - from, session);
    };
    record(1, a, 0, 4);
    record(2, b, 0, 6);
    record(1, a, 4, a.size());
    record(3, cut, 0, 5);
    record(2, b, 6, b.size());
    tap.RecordSession(3, false, {});
    TapBatch batch;
    tap.Take(batch);
    TrafficMonitor monitor;
    TrafficBatch out;
    monitor.Process(batch, out);
    std::vector<std::string> got;
    for (const TrafficEntry& e : out.entries)
        got.push_back(std::to_string(e.session) + " " + KindText(e.kind) + " " +
                      std::string(out.bytes.begin() + e.offset, out.bytes.begin() + e.offset + e.length));
    EXPECT_EQ(got, (std::vector<std::string>{"1 Message " + std::string(a.begin(), a.end()),
                                             "2 Message " + std::string(b.begin(), b.end()),
                                             "3 Stray " + std::string(cut.begin(), cut.begin() + 5)}));
    EXPECT_EQ(monitor.OpenStreams(), 2u) << "the ended session's state goes with it";
    const std::string line = FormatRecord(LogFormat::JsonLines, out.entries[1], out.bytes.data() + out.entries[1].offset);
    EXPECT_NE(line.find("\"session\":2"), std::string::npos) << line;
}

// Two peers at once: each session's figures count only its own entries and outcomes, beside
// the aggregate; an outcome reported before the round saw its session's bytes still counts;
// a session's figures go with its end, and an outcome after that brings none back.
TEST(TrafficMonitor, EachSessionCountsApartAndItsFiguresGoWithIt) {
    std::int64_t now = 1000;
    TrafficTap tap([&now] { return now; });
    TrafficMonitor monitor;
    TrafficBatch out;
    const auto record = [&](std::int64_t at, std::uint32_t session, Direction direction, const Bytes& bytes) {
        now = at;
        tap.Record(direction, bytes.data(), bytes.size(), session);
    };
    const auto round = [&] {
        TapBatch batch;
        tap.Take(batch);
        monitor.Process(batch, out);
    };
    tap.RecordSession(1, true, "a");
    now = 2000;
    tap.RecordSession(2, true, "b");
    record(3000, 1, Direction::Rx, Message('A', "one"));
    record(3100, 2, Direction::Rx, Message('B', "two"));
    record(3300, 1, Direction::Tx, Ack('A', "r"));  // 300 us
    record(3600, 2, Direction::Tx, Nak('B', ""));   // 500 us
    record(4000, 2, Direction::Rx, Message('B', "2b"));
    round();
    // Session 3's outcome comes before the round that takes its bytes.
    monitor.CountOutcome(3, &TrafficStats::TransactionAccepted);
    monitor.CountOutcome(2, &TrafficStats::TransactionRejected);
    now = 4500;
    tap.RecordSession(3, true, "c");
    record(4600, 3, Direction::Rx, Message('C', "3"));
    round();

    const TrafficStats* one = monitor.SessionStats(1);
    const TrafficStats* two = monitor.SessionStats(2);
    const TrafficStats* three = monitor.SessionStats(3);
    ASSERT_TRUE(one && two && three);
    EXPECT_EQ(monitor.SessionStats(0), nullptr);
    struct Row {
        const char* name;
        const TrafficStats* stats;
        std::uint64_t rxFrames, txFrames, typeA, typeB, naks, rejected, accepted, latencies;
    };
    for (const Row& row : {Row{"aggregate", &monitor.stats, 4, 2, 1, 2, 1, 1, 1, 2},
                           Row{"session 1", one, 1, 1, 1, 0, 0, 0, 0, 1},
                           Row{"session 2", two, 2, 1, 0, 2, 1, 1, 0, 1},
                           Row{"session 3", three, 1, 0, 0, 0, 0, 0, 1, 0}}) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.stats->frames[0], row.rxFrames);
        EXPECT_EQ(row.stats->frames[1], row.txFrames);
        EXPECT_EQ(row.stats->receivedByType.count('A') ? row.stats->receivedByType.at('A') : 0, row.typeA);
        EXPECT_EQ(row.stats->receivedByType.count('B') ? row.stats->receivedByType.at('B') : 0, row.typeB);
        EXPECT_EQ(row.stats->answers[TrafficStats::AnswerNak], row.naks);
        EXPECT_EQ(row.stats->rejected, row.rejected);
        EXPECT_EQ(row.stats->accepted, row.accepted);
        EXPECT_EQ(row.stats->answerLatency.Compute().count, row.latencies);
    }
    EXPECT_EQ(two->answerLatency.Compute().max, 500);
    EXPECT_EQ(two->UpMicros(5000), 3000) << "up since the session began";
    EXPECT_EQ(two->answerLatency.Window(), TrafficMonitor::kSessionLatencyWindow);

    // The view's filter by session picks the same entries.
    TrafficStore store;
    store.Append(out);
    TrafficFilter onlyThree;
    onlyThree.session = 3;
    store.SetFilter(onlyThree);
    ASSERT_EQ(store.Rows(), 1u);
    EXPECT_EQ(store.Entry(store.SequenceOfRow(0)).type, 'C');

    now = 6000;
    tap.RecordSession(2, false, {});
    round();
    EXPECT_EQ(monitor.SessionStats(2), nullptr);
    EXPECT_NE(monitor.SessionStats(1), nullptr);
    EXPECT_EQ(monitor.OpenStreams(), 2u);
    monitor.CountOutcome(2, &TrafficStats::TransactionTimedOut);  // late: after its end
    EXPECT_EQ(monitor.SessionStats(2), nullptr);
    EXPECT_EQ(monitor.OpenStreams(), 2u);
    EXPECT_EQ(monitor.stats.timedOut, 1u);
    EXPECT_EQ(monitor.stats.frames[0], 4u) << "the aggregate keeps an ended session's counts";

    monitor.ResetStats(7000);
    EXPECT_EQ(monitor.SessionStats(1)->frames[0], 0u);
    EXPECT_EQ(monitor.SessionStats(1)->UpMicros(7500), 500);
    EXPECT_EQ(monitor.SessionStats(1)->answerLatency.Window(), TrafficMonitor::kSessionLatencyWindow);
    EXPECT_EQ(monitor.stats.frames[0], 0u);
}

namespace {

// "kind type status bytes" of each entry one way; runs of stray bytes that follow each other
// as one (how they were flushed between batches aside).
std::vector<std::string> EntriesOf(const TrafficBatch& batch, Direction direction) {
    std::vector<std::string> out;
    bool stray = false;
    for (const TrafficEntry& e : batch.entries) {
        if (e.direction != direction) continue;
        if (stray && e.kind == EntryKind::Stray) {
            out.back().append(batch.bytes.begin() + e.offset, batch.bytes.begin() + e.offset + e.length);
            continue;
        }
        stray = e.kind == EntryKind::Stray;
        out.push_back(std::string(KindText(e.kind)) + " " + char(e.type ? e.type : '-') + " " + std::to_string(e.status) +
                      " " + std::string(batch.bytes.begin() + e.offset, batch.bytes.begin() + e.offset + e.length));
    }
    return out;
}

}  // namespace

// What the engine reads is cut where its receiver ended each frame, not decoded again: read in
// pieces of any size and taken after every poll (so a block and the word on its frames come in
// different batches), the entries are those decoding the whole stream gives, a CR inside a
// text and a bad frame longer than an entry keeps included; and every answer follows the
// message it answers, so it is paired with its own type.
TEST(TrafficMonitor, TheEnginesReadsAreCutWhereItsReceiverEndedThem) {
    Bytes badBcc = Message('B', "xy");
    badBcc[badBcc.size() - 2] ^= 1;
    Bytes runaway = Message('D', "long");
    runaway[runaway.size() - 2] ^= 1;  // a bad check: everything up to the next CR is this frame
    runaway.pop_back();
    runaway.insert(runaway.end(), 5000, 'z');
    runaway.push_back('\r');
    const Bytes stream = Cat({B("\x11noise"), Message('A', "one\rtwo"), badBcc, Ack('Q', "ok"), Nak('R', ""),
                              Message('C', "three"), runaway, B("tail"), Message('E', "last")});
    TrafficSegmenter reference(Direction::Rx);
    TrafficBatch expected;
    reference.Feed(0, stream.data(), stream.size(), expected);
    reference.FlushStray(expected);
    const std::vector<std::string> want = EntriesOf(expected, Direction::Rx);
    ASSERT_EQ(want.size(), 9u);
    for (const std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{64}, std::size_t{4096},
                                   stream.size()}) {
        TrafficTap tap([] { return std::int64_t{7}; });
        EngineRig rig;
        rig.engine.tap = &tap;
        rig.driver.Script(stream, size);
        TrafficMonitor monitor;
        TrafficBatch all, out;
        for (int poll = 0; poll < 20000 && (rig.driver.InputLeft() || rig.engine.HasWork()); ++poll) {
            rig.engine.Poll();
            monitor.Drain(tap, out);
            for (TrafficEntry e : out.entries) {
                e.offset += static_cast<std::uint32_t>(all.bytes.size());
                all.entries.push_back(e);
            }
            all.bytes.insert(all.bytes.end(), out.bytes.begin(), out.bytes.end());
        }
        EXPECT_EQ(EntriesOf(all, Direction::Rx), want) << "read size " << size;
        char lastMessage = 0;
        int answers = 0;
        for (const TrafficEntry& e : all.entries) {
            if (e.direction == Direction::Rx && e.kind == EntryKind::Message) lastMessage = static_cast<char>(e.type);
            if (e.direction == Direction::Tx && IsFrame(e.kind)) {
                ++answers;
                EXPECT_EQ(e.answeredType, lastMessage) << "read size " << size;
            }
        }
        EXPECT_EQ(answers, 5) << "read size " << size;
    }
}

// The engine's word is what cuts its reads: frames end where it says, with the kind, type and
// status it gives, even where a receiver of the traffic view's own would see one frame going
// on; and a frame end whose beginning the tap dropped makes no frame of what came before.
TEST(TrafficMonitor, TheEnginesWordIsWhatCutsItsReads) {
    TrafficTap tap([] { return std::int64_t{7}; }, 16);
    const Bytes block = B("\x01" "A\x02one\x01" "B\x02two");
    tap.RecordRead(block.data(), block.size(), 1);
    tap.RecordFrameEnd(1, 6, FrameKind::Message, 'A', 7);
    tap.RecordFrameEnd(1, 0, FrameKind::Nak, 'B', 1);
    TapBatch batch;
    tap.Take(batch);
    TrafficMonitor monitor;
    TrafficBatch out;
    monitor.Process(batch, out);
    EXPECT_EQ(EntriesOf(out, Direction::Rx),
              (std::vector<std::string>{"Message A 7 \x01" "A\x02one", "NAK B 1 \x01" "B\x02two"}));

    const Bytes half = B("ab\x01" "C\x02"), lost = Bytes(40, 'x');
    tap.RecordRead(half.data(), half.size(), 1);
    tap.Take(batch);
    monitor.Process(batch, out);
    EXPECT_EQ(EntriesOf(out, Direction::Rx), (std::vector<std::string>{"Stray - 0 ab"}));
    tap.RecordRead(lost.data(), lost.size(), 1);  // past the tap's capacity: dropped
    tap.RecordFrameEnd(1, 0, FrameKind::Message, 'C', 0);  // at the end of the block lost
    tap.Take(batch);
    EXPECT_EQ(batch.droppedBytes, lost.size());
    monitor.Process(batch, out);
    EXPECT_TRUE(EntriesOf(out, Direction::Rx).empty()) << "the half frame waits for its end";
}

// Through the proxy each side is a session whose bytes go one way: a message from side A's
// session and the answer from side B's are still paired, each entry names the side's session
// and counts in its figures, and a side that ends mid-frame leaves its half as its own stray
// bytes without cutting into the other way.
TEST(TrafficMonitor, TheProxysSidesAreSessionsWhoseWaysStillPair) {
    std::int64_t now = 1000;
    TrafficTap tap([&now] { return now; });
    TrafficMonitor monitor;
    monitor.SetProxy(true);
    const Bytes ask = Message('Q', "ask"), answer = Ack('Q', "ok"), half = Message('H', "half");
    tap.RecordSession(1, true, "side A, 127.0.0.1:1", Direction::Rx);
    tap.RecordSession(2, true, "side B, 127.0.0.1:2", Direction::Tx);
    tap.Record(Direction::Rx, ask.data(), ask.size(), 1);
    now += 250;
    tap.Record(Direction::Tx, answer.data(), 3, 2);
    tap.Record(Direction::Rx, half.data(), 4, 1);
    tap.Record(Direction::Tx, answer.data() + 3, answer.size() - 3, 2);
    tap.RecordSession(1, false, {}, Direction::Rx);
    TapBatch batch;
    tap.Take(batch);
    TrafficBatch out;
    monitor.Process(batch, out);
    std::vector<std::string> got;
    for (const TrafficEntry& e : out.entries)
        got.push_back(std::to_string(e.session) + " " + DirectionText(e.direction, e.proxy) + " " + KindText(e.kind) +
                      " latency=" + std::to_string(e.latency) + " answers=" + char(e.answeredType ? e.answeredType : '-'));
    EXPECT_EQ(got, (std::vector<std::string>{"1 A\u2192B Message latency=-1 answers=-",
                                             "2 B\u2192A ACK latency=250 answers=Q",
                                             "1 A\u2192B Stray latency=-1 answers=-"}));
    ASSERT_NE(monitor.SessionStats(2), nullptr);
    EXPECT_EQ(monitor.SessionStats(2)->frames[static_cast<int>(Direction::Tx)], 1u);
    EXPECT_EQ(monitor.SessionStats(2)->frames[static_cast<int>(Direction::Rx)], 0u);
    EXPECT_EQ(monitor.SessionStats(1), nullptr) << "an ended side's figures go with it";
    EXPECT_EQ(monitor.stats.frames[static_cast<int>(Direction::Rx)], 1u);
    EXPECT_EQ(monitor.stats.strayBytes[static_cast<int>(Direction::Rx)], 4u);
}
