#include "capture/replay.h"

#include <gtest/gtest.h>

#include "settings/prefs_ini.h"

#include "capture/capture_session.h"
#include "capture/learn.h"
#include "traffic/traffic_log.h"
#include "scenario/runner.h"
#include "scenario/scenario.h"

using capture_test::Frame;

namespace {

RecordedFrame At(std::int64_t micros, Direction direction, EntryKind kind, char type, std::string text,
                 std::uint8_t status = StatusOk) {
    RecordedFrame f;
    f.micros = micros;
    f.direction = direction;
    f.kind = kind;
    f.type = static_cast<std::uint8_t>(type);
    f.status = status;
    f.text = text;
    f.bytes = kind == EntryKind::Stray ? text
                                       : Frame(type, text, kind == EntryKind::Ack   ? ctrl::ACK
                                                           : kind == EntryKind::Nak ? ctrl::NAK
                                                                                    : 0);
    return f;
}

RecordedFrame Ask(std::int64_t us, char type, std::string text) {
    return At(us, Direction::Tx, EntryKind::Message, type, std::move(text));
}
RecordedFrame Ack(std::int64_t us, char type, std::string text) {
    return At(us, Direction::Rx, EntryKind::Ack, type, std::move(text));
}

// A host (the simulator, Tx) asking a device (Rx): readings, a clock, a serial number.
Recording HostAndDevice() {
    Recording r;
    r.source = "device.pcapng";
    r.frames = {Ask(1'000'000, 'T', "T=21"),      Ack(1'005'000, 'T', "OK 21"),
                Ask(1'100'000, 'T', "T=35"),      Ack(1'104'000, 'T', "OK 35"),
                At(1'150'000, Direction::Rx, EntryKind::Stray, 0, "zz"),
                Ask(1'300'000, 'C', "CLOCK"),     Ack(1'306'000, 'C', "12:00:01 SN=1001"),
                Ask(1'500'000, 'X', "FORBIDDEN"), At(1'503'000, Direction::Rx, EntryKind::Nak, 'X', "NO"),
                Ask(1'600'000, 'G', "NEXT"),      Ack(1'601'000, 'G', "A"),
                Ask(1'700'000, 'G', "NEXT"),      Ack(1'701'000, 'G', "B"),
                Ask(1'800'000, 'Q', "QUIET")};
    return r;
}

TEST(ReplayPlan, TimesEachFrameFromTheFirstScaledOrPacedByAnswers) {
    const Recording r = HostAndDevice();
    struct Case {
        const char* name;
        Direction played;
        const char* speed;
        std::vector<std::int64_t> offsets;
        std::vector<std::size_t> awaits;
    };
    const Case cases[] = {
        {"as recorded", Direction::Tx, "1.0", {0, 100'000, 300'000, 500'000, 600'000, 700'000, 800'000}, {0, 1, 2, 3, 4, 5, 6}},
        {"twice as fast", Direction::Tx, "2", {0, 50'000, 150'000, 250'000, 300'000, 350'000, 400'000}, {0, 1, 2, 3, 4, 5, 6}},
        {"half speed", Direction::Tx, "0.5", {0, 200'000, 600'000, 1'000'000, 1'200'000, 1'400'000, 1'600'000}, {0, 1, 2, 3, 4, 5, 6}},
        {"the device's side, strays too", Direction::Rx, "1.0", {0, 99'000, 145'000, 301'000, 498'000, 596'000, 696'000},
         {1, 2, 2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReplayPlan plan = PlanReplay(r, c.played, ParseReplaySpeed(c.speed));
        std::vector<std::int64_t> offsets;
        std::vector<std::size_t> awaits;
        for (const ReplayStep& step : plan.steps) {
            offsets.push_back(step.offsetMicros);
            awaits.push_back(step.awaitFrames);
            EXPECT_EQ(step.bytes, r.frames[step.frame].bytes);
            EXPECT_EQ(r.frames[step.frame].direction, c.played);
        }
        EXPECT_EQ(offsets, c.offsets);
        EXPECT_EQ(awaits, c.awaits);
    }
    EXPECT_TRUE(ParseReplaySpeed("Paced").paced);
    EXPECT_EQ(PlanReplay(r, Direction::Tx, ParseReplaySpeed("paced")).answerTimeoutMicros, 1'000'000);
    for (const char* bad : {"0", "-1", "fast", "", "1.5x", "inf", "nan", "1e9"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(ParseReplaySpeed(bad), ReplayError);
    }
    EXPECT_EQ(ParseReplayDirection("RX"), Direction::Rx);
    EXPECT_THROW(ParseReplayDirection("both"), ReplayError);
    EXPECT_THROW(PlanReplay(Recording{}, Direction::Tx, {}), ReplayError);
}

// A replay against a device: what it sent back, frame by frame, against the recording.
TEST(ReplayValidation, PassesOrNamesTheExactFrameThatDiffers) {
    const Recording r = HostAndDevice();
    const ReplayMask mask = ReplayMask::Parse(R"({"ignore": [{"type": "C", "text": "[0-9]{2}:[0-9]{2}:[0-9]{2}"},
                                                             {"text": "SN=[0-9]+"}]})");
    const auto replayOf = [&r](auto change) {
        std::vector<RecordedFrame> got;
        for (const RecordedFrame& f : r.frames) {
            if (f.direction != Direction::Rx) continue;
            RecordedFrame copy = f;
            copy.micros += 7'000'000;
            got.push_back(copy);
        }
        change(got);
        return got;
    };
    struct Case {
        const char* name;
        std::vector<RecordedFrame> received;
        std::size_t failedFrame;  // 0: passes
        const char* verdict;
        const char* message;
    };
    const Case cases[] = {
        {"the same device", replayOf([](auto&) {}), 0, "", ""},
        {"a new clock and serial number, masked", replayOf([](auto& g) { g[3].text = "13:14:15 SN=2002"; }), 0, "", ""},
        {"stray bytes are not compared", replayOf([](auto& g) { g.erase(g.begin() + 2); }), 0, "", ""},
        {"a reading changed", replayOf([](auto& g) { g[1].text = "OK 36"; }), 2, "different", "the text differs"},
        {"outside the mask", replayOf([](auto& g) { g[3].text = "13:14:15 SN=2002 LOW"; }), 3, "different",
         "the text differs"},
        {"accepted what it refused", replayOf([](auto& g) { g[4].kind = EntryKind::Ack; }), 4, "different",
         "a ACK where the recording has a NAK"},
        {"bad block check", replayOf([](auto& g) { g[5].status = StatusBadBcc; }), 5, "different",
         "status Bad BCC where the recording has OK"},
        {"stopped answering", replayOf([](auto& g) { g.pop_back(); }), 6, "missing", "the frame never came"},
        {"answered once more", replayOf([](auto& g) { g.push_back(g.back()); }), 7, "unexpected",
         "a frame the recording does not have"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TestReport report = ValidateReplay(r, Direction::Tx, c.received, mask, 8'000'000);
        EXPECT_EQ(report.passed, c.failedFrame == 0);
        std::vector<std::size_t> failed;
        for (std::size_t i = 0; i < report.cases.size(); ++i)
            if (report.cases[i].failed) failed.push_back(i + 1);
        if (c.failedFrame == 0) {
            EXPECT_TRUE(failed.empty());
            continue;
        }
        ASSERT_EQ(failed, std::vector<std::size_t>{c.failedFrame});
        const TestReport::Case& bad = report.cases[c.failedFrame - 1];
        EXPECT_EQ(bad.verdict, c.verdict);
        EXPECT_EQ(bad.message, c.message);
        // Both frames with their times from the start of each run.
        const std::string evidence = ::testing::PrintToString(bad.evidence);
        const bool recorded = std::string(c.verdict) != "unexpected", received = std::string(c.verdict) != "missing";
        EXPECT_EQ(evidence.find("recorded at 0.") != std::string::npos, recorded) << evidence;
        EXPECT_EQ(evidence.find("received at 0.") != std::string::npos, received) << evidence;
        EXPECT_NE(report.JUnitXml().find("failures=\"1\""), std::string::npos);
    }
    const auto evidence = ValidateReplay(r, Direction::Tx, cases[3].received, mask, 8'000'000).cases[1].evidence;
    EXPECT_EQ(evidence, (std::vector<std::string>{"recorded at 0.104000 s: Rx ACK T 'OK 35'",
                                                  "received at 0.104000 s: Rx ACK T 'OK 36'",
                                                  "compared, masked: 'OK 35' and 'OK 36'"}));
}

TEST(ReplayValidation, RefusesMasksItCannotUseSayingWhere) {
    const struct {
        const char* json;
        const char* error;
    } cases[] = {
        {"[]", "not a JSON object"},
        {R"({"ignore": {}})", "/ignore is not a list"},
        {R"({"ignore": [{"text": "("}]})", "/ignore/0/text: missing )"},
        {R"({"ignore": [{}, {"type": "AB"}]})", "/ignore/0: gives neither type nor text"},
        {R"({"ignore": [{"type": "A"}, {"type": "AB"}]})", "/ignore/1/type: not one character"},
        {R"({"ignore": [{"typo": "A"}]})", "/ignore/0: unknown member 'typo'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        try {
            ReplayMask::Parse(c.json);
            ADD_FAILURE() << "taken";
        } catch (const ReplayError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
}

// Learned from a recording, the scenario answers as the recorded device did: captures for the
// digits that vary, answers in turn where they changed, NAKs, silence and the delays.
TEST(Learn, TheScenarioAnswersLikeTheRecordedDevice) {
    Recording r = HostAndDevice();
    r.frames.push_back(Ask(1'900'000, 'G', "NEXT"));
    r.frames.push_back(Ack(1'901'000, 'G', "C"));
    r.frames.push_back(Ask(2'000'000, 'P', "50% $5"));
    r.frames.push_back(Ack(2'002'000, 'P', "got 50% $5"));
    const Learned learned = LearnScenario(r);
    EXPECT_TRUE(learned.stateful);
    EXPECT_EQ(learned.messages, 9u);
    EXPECT_EQ(learned.unanswered, 1u);
    std::shared_ptr<const scenario::Scenario> parsed;
    ASSERT_NO_THROW(parsed = scenario::ParseScenario(learned.json)) << learned.json;
    scenario::Runner device(parsed, 0);

    struct Case {
        char type;
        const char* text;
        bool decided;
        const char* reply;
        std::int32_t actions;
        std::int32_t delayMs;
        bool noAnswer;
    };
    const Case cases[] = {
        {'T', "T=21", true, "OK 21", 0, 5, false},  // the median of 5 and 4 ms (the upper one)
        {'T', "T=99", true, "OK 99", 0, 5, false},  // a reading never recorded
        {'C', "CLOCK", true, "12:00:01 SN=1001", 0, 6, false},
        {'X', "FORBIDDEN", true, "NO", AnswerAction::Nak, 3, false},
        {'G', "NEXT", true, "A", 0, 1, false},
        {'G', "NEXT", true, "B", 0, 1, false},
        {'G', "NEXT", true, "C", 0, 1, false},
        {'G', "NEXT", true, "C", 0, 1, false},  // the last answer from then on
        {'Q', "QUIET", true, "", 0, 0, true},
        {'P', "50% $5", true, "got 50% $5", 0, 2, false},
        {'Z', "never seen", false, "", 0, 0, false},
    };
    std::int64_t now = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, c.type) + " " + c.text);
        const Response answer = device.OnMessage({static_cast<std::uint8_t>(c.type), c.text, StatusOk}, now += 1000);
        EXPECT_EQ(answer.decided, c.decided) << answer.nearMiss;
        EXPECT_EQ(answer.text, c.reply);
        EXPECT_EQ(answer.actions, c.actions);
        EXPECT_EQ(answer.faults.DelayMin, c.delayMs);
        EXPECT_EQ(answer.faults.DelayMax, c.delayMs);
        EXPECT_EQ(answer.faults.NoAnswer != 0, c.noAnswer);
    }
    Recording silent;
    silent.frames = {Ask(1, 'A', "x")};
    EXPECT_THROW(LearnScenario(silent), RecordingError);
    // Answers that repeat the message's digits or change over time need the scenario.
    EXPECT_EQ(learned.table, "");
    EXPECT_NE(learned.noTable, "");
}

// A device that answers every message of a type alike is a reply table: each type's row with
// its text, action, delay or silence, read back as the settings file reads it.
TEST(Learn, AStatelessDeviceIsAReplyTable) {
    Recording r;
    r.frames = {Ask(1'000'000, 'C', "CLOCK"), Ack(1'006'000, 'C', "12:00"),
                Ask(1'100'000, 'C', "CLOCK AGAIN"), Ack(1'106'000, 'C', "12:00"),
                Ask(1'200'000, 'X', "FORBIDDEN"), At(1'203'000, Direction::Rx, EntryKind::Nak, 'X', "NO"),
                Ask(1'300'000, 'Q', "QUIET"), Ask(1'400'000, 'P', "50% $5"), Ack(1'400'500, 'P', "got 50% $5")};
    const Learned learned = LearnScenario(r);
    ASSERT_EQ(learned.noTable, "");
    const Prefs prefs = ReadPrefs(learned.table);
    EXPECT_EQ(learned.table.rfind("[Reply]", 0), 0u) << learned.table;
    ReplyPrefs c{"C", "12:00", 0, 0, {}}, x{"X", "NO", 1, 0, {}}, q{"Q", "", 0, 0, {}}, p{"P", "got 50% $5", 0, 0, {}};
    c.Faults.DelayMin = c.Faults.DelayMax = 6;
    x.Faults.DelayMin = x.Faults.DelayMax = 3;
    q.Faults.NoAnswer = 1;
    // In the order of their types; the rest of the table empty.
    EXPECT_EQ(prefs.Reply[0], c);
    EXPECT_EQ(prefs.Reply[1], p);
    EXPECT_EQ(prefs.Reply[2], q);
    EXPECT_EQ(prefs.Reply[3], x);
    EXPECT_EQ(prefs.Reply[4], ReplyPrefs{});

    // Two texts of one type answered differently: the table, which goes by type, cannot.
    r.frames.push_back(Ask(1'500'000, 'C', "DATE"));
    r.frames.push_back(Ack(1'501'000, 'C', "2026-12-07"));
    EXPECT_NE(LearnScenario(r).noTable.find("type C"), std::string::npos) << LearnScenario(r).noTable;
}

}  // namespace

// A mask rule blanks what it names and nothing else: a type alone blanks that type's whole text,
// a pattern alone its parts in every type, both the parts in that type only.
TEST(ReplayMaskRules, EachRuleBlanksWhatItNamesOnly) {
    const ReplayMask mask = ReplayMask::Parse(R"({"ignore": [{"type": "V"}, {"text": "SN=[0-9]+"},
                                                             {"type": "T", "text": "[0-9]{2}:[0-9]{2}"}]})");
    const struct {
        char type;
        const char* text;
        const char* masked;
    } cases[] = {
        {'V', "version 1.2 SN=7", "*"},
        {'A', "SN=42 at 12:30", "* at 12:30"},
        {'T', "12:30 SN=9", "* *"},
        {'B', "nothing here", "nothing here"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mask.Apply(static_cast<std::uint8_t>(c.type), c.text), c.masked) << c.type << " " << c.text;
}

// The proxy's traffic log names its ways A→B and B→A: read back, they are the two directions,
// as the simulator's own Rx and Tx are.
TEST(ReplayRecording, AProxysLogIsReadWithItsWays) {
    std::string log;
    const std::string ask = Frame('Q', "ask", 0), answer = Frame('Q', "", ctrl::ACK);
    for (const auto& [bytes, direction, kind] : {std::tuple{ask, Direction::Rx, EntryKind::Message},
                                                 std::tuple{answer, Direction::Tx, EntryKind::Ack}}) {
        TrafficEntry entry;
        entry.micros = 1'000'000;
        entry.direction = direction;
        entry.kind = kind;
        entry.type = 'Q';
        entry.length = static_cast<std::uint32_t>(bytes.size());
        entry.proxy = true;
        log += FormatRecord(LogFormat::JsonLines, entry, reinterpret_cast<const std::uint8_t*>(bytes.data()));
    }
    ASSERT_NE(log.find("A\u2192B"), std::string::npos) << log;
    const Recording recording = RecordingFromLog(log);
    ASSERT_EQ(recording.frames.size(), 2u);
    EXPECT_EQ(recording.frames[0].direction, Direction::Rx);
    EXPECT_EQ(recording.frames[0].text, "ask");
    EXPECT_EQ(recording.frames[1].direction, Direction::Tx);
    EXPECT_EQ(recording.frames[1].kind, EntryKind::Ack);
}
