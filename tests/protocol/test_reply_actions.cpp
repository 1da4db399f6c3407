#include "protocol/reply_actions.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/engine_rig.h"

namespace {

using Bytes = frame_stream::Bytes;

// The answer the engine writes to one message of `type` carrying `text`.
Bytes AnswerTo(EngineRig& r, std::uint8_t type, const std::string& text = "HI") {
    r.driver.Script(Message(type, text));
    r.engine.Poll();
    return r.driver.TakeWritten();
}

// Loads the table from rows given as lines of the wire form.
void Load(EngineRig& r, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    r.engine.SetReplyActions(static_cast<std::int32_t>(lines.size()), text);
    ASSERT_EQ(r.engine.replyActions.size(), lines.size());
}

TEST(ReplyActions, EmptyTableAnswersAckWithAnEmptyText) {
    EngineRig r;
    EXPECT_EQ(AnswerTo(r, 'A'), (Bytes{0x01, 0x41, 0x06, 0x02, 0x03, 0x30, 0x36, 0x35, 0x0D}));
}

TEST(ReplyActions, EachActionGivesTheExactAnswerBytes) {
    struct Case {
        const char* row;
        std::uint8_t type;
        Bytes answer;
    };
    const Case cases[] = {
        {"A\tOK\t0", 'A', {0x01, 'A', 0x06, 0x02, 'O', 'K', 0x03, '2', '1', '9', 0x0D}},
        {"A\tOK\t1", 'A', {0x01, 'A', 0x15, 0x02, 'O', 'K', 0x03, '2', '1', '9', 0x0D}},
        {"A\tOK\t2", 'A', {0x01, 'B', 0x06, 0x02, 'O', 'K', 0x03, '2', '2', '0', 0x0D}},
        {"A\tOK\t3", 'A', {0x01, 'A', 0x06, 0x02, 'O', 'K', 0x03, '2', '1', ':', 0x0D}},
        // 'A' + "OK" + "\x01" = 220: the corrupted last digit of a 0 is a 1.
        {"A\tOK\x01\t3", 'A', {0x01, 'A', 0x06, 0x02, 'O', 'K', 0x01, 0x03, '2', '2', '1', 0x0D}},
        // Any other action number answers normally.
        {"A\tOK\t-1", 'A', {0x01, 'A', 0x06, 0x02, 'O', 'K', 0x03, '2', '1', '9', 0x0D}},
        {"A\tOK\t7", 'A', {0x01, 'A', 0x06, 0x02, 'O', 'K', 0x03, '2', '1', '9', 0x0D}},
        // The type wraps: 0xFF plus one is 0x00, and the sum is taken over the new type.
        {"\xFF\t\t2", 0xFF, {0x01, 0x00, 0x06, 0x02, 0x03, '0', '0', '0', 0x0D}},
        // A reply text is escaped like any other text.
        {"A\t\x03\t0", 'A', {0x01, 'A', 0x06, 0x02, 0x10, 0x03, 0x03, '0', '8', '4', 0x0D}},
    };
    for (const Case& c : cases) {
        EngineRig r;
        Load(r, {c.row});
        EXPECT_EQ(AnswerTo(r, c.type), c.answer) << "row " << c.row;
    }
}

TEST(ReplyActions, MatchingRowsAddUpAndTheLastTextWins) {
    EngineRig r;
    Load(r, {"A\tX\t1", "B\tnot this\t0", "A\tY\t0"});
    EXPECT_EQ(AnswerTo(r, 'A'), Nak('A', "Y"));

    EngineRig all;
    Load(all, {"A\t\t1", "A\t\t2", "A\tZ\t3"});
    Bytes expected = Nak('B', "Z");
    expected[expected.size() - 2] += 1;
    EXPECT_EQ(AnswerTo(all, 'A'), expected);
    // The report names every action used and the bytes as written.
    const std::vector<ReceivedFrame> frames = all.TakeFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().actions, AnswerAction::Nak | AnswerAction::WrongType | AnswerAction::WrongBcc);
    EXPECT_EQ(frames.back().answer, std::string(expected.begin(), expected.end()));
    EXPECT_EQ(frames.back().row, 2);
}

TEST(ReplyActions, OnlyAOneCharacterTypeMatchesAndCaseCounts) {
    EngineRig r;
    Load(r, {"a\tlower\t1", "AA\ttwo\t1", "\tempty\t1", "", "A\tupper\t0"});
    EXPECT_EQ(AnswerTo(r, 'A'), Ack('A', "upper"));
    EXPECT_EQ(AnswerTo(r, 'a'), Nak('a', "lower"));
    EXPECT_EQ(AnswerTo(r, 'Q'), Ack('Q', ""));
}

TEST(ReplyActions, EveryMessageIsAnsweredAndReportedWhateverItsStatus) {
    EngineRig r(7);
    Load(r, {"A\tOK\t0"});
    Bytes message = Message('A', "HI");
    message[message.size() - 3] = '9';  // 210 becomes 290
    r.engine.Poll();  // the line's session begins
    r.TakeEvents();
    r.driver.Script(message);
    r.driver.watchedQueue = &r.events;
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Ack('A', "OK"));
    EXPECT_EQ(r.driver.queueSizeAtWrite, std::vector<std::size_t>(11, 0))
        << "the answer goes out before the message is reported";
    Event e;
    ASSERT_TRUE(r.events.GetEvent(e));
    EXPECT_EQ(e.id, EventId::MessageReceived);
    EXPECT_EQ(e.value, 'A');
    EXPECT_EQ(e.source, 7);
    EXPECT_EQ(RecordOf(e), "Bad BCC      {DELIM]A{DELIM]29{DELIM]210{DELIM]HI");
    // The report says what went out, as it went out.
    const Bytes answer = Ack('A', "OK");
    EXPECT_EQ(std::get<ReceivedFrame>(e.payload).answer, std::string(answer.begin(), answer.end()));

    // A frame broken at its start byte is answered too, and reported with an empty text.
    r.driver.Script(Bytes{0x01, 'A', 'x', 'y', 0x0D});
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Ack('A', "OK"));
    ASSERT_TRUE(r.events.GetEvent(e));
    EXPECT_EQ(RecordOf(e), "Bad STX      {DELIM]A{DELIM]{DELIM]{DELIM]");
}

TEST(ReplyActions, RecordKeepsEveryTextByteAndTheTypeIsSigned) {
    EngineRig r;
    const std::string text("a\0b{DELIM]c", 11);
    r.driver.Script(Message(0xC8, text));
    r.engine.Poll();
    Event e;
    ASSERT_TRUE(NextEvent(r.events, e));
    EXPECT_EQ(e.value, -56);
    const Bytes frame = Message(0xC8, text);
    const std::string bcc(frame.end() - 4, frame.end() - 1);
    EXPECT_EQ(RecordOf(e), "OK           {DELIM]\xC8{DELIM]" + bcc + "{DELIM]" + bcc + "{DELIM]" + text);
}

TEST(ReplyActions, TableLoadsFromEveryKindOfLineBreak) {
    EngineRig r;
    r.engine.SetReplyActions(4, "A\ta\t1\rB\tb\t2\nC\tc\t3\r\nD\td\t0\n");
    ASSERT_EQ(r.engine.replyActions.size(), 4u);
    const char* types[] = {"A", "B", "C", "D"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(r.engine.replyActions[i].Type, types[i]);
        EXPECT_EQ(r.engine.replyActions[i].Action, i == 3 ? 0 : i + 1);
        EXPECT_EQ(r.engine.replyActions[i].Flags, 0);
    }
    EXPECT_EQ(SplitLines(""), std::vector<std::string>{});
    EXPECT_EQ(SplitLines("\n"), std::vector<std::string>{""});
    EXPECT_EQ(SplitLines("a\n\nb"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(SplitLines("a\n\r"), (std::vector<std::string>{"a", ""}));
}

TEST(ReplyActions, WrongLineCountKeepsTheOldTable) {
    EngineRig r;
    Load(r, {"A\tkept\t1"});
    r.engine.HandleEvent(Event{EventId::ReplyActions, 10, 0, "B\tnew\t0\r\nC\tnew\t0\r\n"});
    r.engine.SetReplyActions(-1, "");
    ASSERT_EQ(r.engine.replyActions.size(), 1u);
    EXPECT_EQ(r.engine.replyActions[0].Msg, "kept");
}

TEST(ReplyActions, LongerLinesAreReadAgainFromTheFourthField) {
    EngineRig r;
    Load(r, {"A\tfirst\t1\tB\tsecond\t2"});
    EXPECT_EQ(r.engine.replyActions[0].Type, "B");
    EXPECT_EQ(r.engine.replyActions[0].Msg, "second");
    EXPECT_EQ(r.engine.replyActions[0].Action, 2);
    // The fourth field starts a new group whose text and action are missing.
    EXPECT_THROW(r.engine.SetReplyActions(1, "A\tfirst\t3\tC"), std::runtime_error);
}

TEST(ReplyActions, BadActionNumberFailsOutOfHandleEventAndKeepsTheRowsBeforeIt) {
    EngineRig r;
    Load(r, {"Z\told\t0", "Y\told\t0", "X\told\t0"});
    try {
        r.engine.HandleEvent(
            Event{EventId::ReplyActions, 3, 0, "A\tok\t1\r\nB\tbad\t1x\r\nC\tlater\t0\r\n"});
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "'1x' is not a valid integer value");
    }
    ASSERT_EQ(r.engine.replyActions.size(), 1u);
    EXPECT_EQ(r.engine.replyActions[0].Msg, "ok");

    // A line with fewer than three fields has an empty action field.
    try {
        r.engine.SetReplyActions(1, "A\tOK");
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "'' is not a valid integer value");
    }
}

TEST(ReplyActions, ActionNumbersAreStrictDecimalIntegers) {
    EXPECT_EQ(ParseActionNumber("3"), 3);
    EXPECT_EQ(ParseActionNumber("+2"), 2);
    EXPECT_EQ(ParseActionNumber("-1"), -1);
    EXPECT_EQ(ParseActionNumber("  12"), 12);
    EXPECT_EQ(ParseActionNumber("007"), 7);
    EXPECT_EQ(ParseActionNumber("2147483647"), 2147483647);
    EXPECT_EQ(ParseActionNumber("-2147483648"), -2147483647 - 1);
    for (const char* bad : {"", " ", "+", "-", "1 ", "1.0", "0x1", "$1", "- 1", "+-1", "1e2",
                            "2147483648", "-2147483649", "99999999999999999999"}) {
        EXPECT_THROW(ParseActionNumber(bad), std::runtime_error) << "'" << bad << "'";
    }
}

}  // namespace
