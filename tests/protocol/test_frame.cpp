#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Build(std::uint8_t type, std::uint8_t code, const Bytes& text) {
    CharBuffer buffer;
    BuildFrame(buffer, type, code, text.data(), text.size());
    return buffer.Bytes();
}

struct WorkedExample {
    std::uint8_t type;
    std::uint8_t code;
    Bytes text;
    Bytes wire;
};

TEST(BuildFrame, WorkedExamplesByteForByte) {
    const WorkedExample examples[] = {
        {'A', 0, {'H', 'I'}, {0x01, 0x41, 0x02, 0x48, 0x49, 0x03, 0x32, 0x31, 0x30, 0x0D}},
        {'A', ctrl::ACK, {'H', 'I'},
         {0x01, 0x41, 0x06, 0x02, 0x48, 0x49, 0x03, 0x32, 0x31, 0x30, 0x0D}},
        {'B', 0, {0x03, 'x'}, {0x01, 0x42, 0x02, 0x10, 0x03, 0x78, 0x03, 0x32, 0x30, 0x35, 0x0D}},
        {'Z', 0, {}, {0x01, 0x5A, 0x02, 0x03, 0x30, 0x39, 0x30, 0x0D}},
        {'z', 0, {0xFF, 0xFF}, {0x01, 0x7A, 0x02, 0xFF, 0xFF, 0x03, 0x31, 0x32, 0x30, 0x0D}},
    };
    for (const auto& example : examples) {
        EXPECT_EQ(Build(example.type, example.code, example.text), example.wire)
            << "type " << example.type;
    }
}

TEST(BuildFrame, EscapesAndSums) {
    // A lone DLE: the escape DLE counts too, 0x41 + 0x10 + 0x10 = 97.
    EXPECT_EQ(Build('A', 0, {0x10}), (Bytes{0x01, 'A', 0x02, 0x10, 0x10, 0x03, '0', '9', '7', 0x0D}));
    // Small sums keep two leading zeros: 0x05 + 0x02 = 7 (SOH/STX/CR in the text are not escaped).
    EXPECT_EQ(Build(0x05, 0, {0x02}), (Bytes{0x01, 0x05, 0x02, 0x02, 0x03, '0', '0', '7', 0x0D}));
    // Wrap-around: 0xFF + 0x01 = 0 -> "000"; and 255 is the largest value.
    EXPECT_EQ(Build(0xFF, 0, {0x01}), (Bytes{0x01, 0xFF, 0x02, 0x01, 0x03, '0', '0', '0', 0x0D}));
    EXPECT_EQ(Build(0xFF, 0, {0x00}), (Bytes{0x01, 0xFF, 0x02, 0x00, 0x03, '2', '5', '5', 0x0D}));
    // CR, SOH and NUL inside the text travel unescaped.
    EXPECT_EQ(Build('A', 0, {0x0D, 0x01, 0x00}),
              (Bytes{0x01, 'A', 0x02, 0x0D, 0x01, 0x00, 0x03, '0', '7', '9', 0x0D}));
}

TEST(BuildFrame, ResponseCodeIsNotSummedAndBufferIsAppended) {
    const Bytes ack = Build('Q', ctrl::ACK, {'o', 'k'});
    const Bytes nak = Build('Q', ctrl::NAK, {'o', 'k'});
    ASSERT_EQ(ack.size(), nak.size());
    EXPECT_EQ(Bytes(ack.end() - 4, ack.end()), Bytes(nak.end() - 4, nak.end()));
    EXPECT_EQ(nak[2], ctrl::NAK);
    EXPECT_EQ(Build('Z', ctrl::ACK, {}).size(), 9u);

    CharBuffer buffer;
    BuildFrame(buffer, 'A', 0, nullptr, 0);
    BuildFrame(buffer, 'B', 0, nullptr, 0);
    ASSERT_EQ(buffer.Size(), 16u);
    EXPECT_EQ(buffer.Bytes()[9], 'B');
}

TEST(BuildFrame, EveryByteValueRoundTripsThroughTheEscapes) {
    Bytes text;
    for (int i = 0; i < 256; ++i) text.push_back(static_cast<std::uint8_t>(i));
    const Bytes wire = Build('T', 0, text);
    EXPECT_EQ(wire.size(), 8u + 256u + 2u);  // two escaped bytes: ETX and DLE
    EXPECT_LE(wire.size(), MaxFrameSize(text.size()));
    Bytes unescaped;
    unsigned sum = 'T';
    for (std::size_t i = 3; i < wire.size() - 5; ++i) {
        sum += wire[i];
        if (wire[i] == ctrl::DLE) sum += wire[++i];
        unescaped.push_back(wire[i]);
    }
    EXPECT_EQ(unescaped, text);
    const std::string digits(wire.end() - 4, wire.end() - 1);
    EXPECT_EQ(std::stoi(digits), static_cast<int>(sum % 256));
}

TEST(StatusTexts, BothTablesCompleteAndBounded) {
    const char* list[] = {"OK           ", "NAK          ", "Bad SOH      ", "Bad TYPE     ",
                          "Bad ID       ", "Bad STX      ", "Bad ETX      ", "Bad BCC      ",
                          "Timeout      ", "Bad Size     ", "Unknown Error", "Comm Disabled"};
    const char* status[] = {"",         "NAK ERROR",    "SOH ERROR",
                            "TYPE ERROR", "ID ERROR",   "STX ERROR",
                            "ETX ERROR",  "BCC ERROR",  "TIMEOUT",
                            "LENGTH ERROR", "UNSPECIFIED COMM ERROR", "DISABLED ERROR"};
    for (int code = 0; code < kStatusCodeCount; ++code) {
        EXPECT_STREQ(StatusListText(code), list[code]);
        EXPECT_EQ(std::string(StatusListText(code)).size(), 13u);
        EXPECT_STREQ(StatusText(code), status[code]);
    }
    EXPECT_STREQ(StatusListText(12), "");
    EXPECT_STREQ(StatusText(-1), "");
}

TEST(ReceivedRecord, FiveFieldsFourSeparatorsAlways) {
    const std::uint8_t text[] = {'a', 0, 'b'};
    EXPECT_EQ(MakeReceivedRecord(0, 'A', "210", "210", text, 3),
              std::string("OK           {DELIM]A{DELIM]210{DELIM]210{DELIM]a\0b", 51));
    EXPECT_EQ(MakeReceivedRecord(5, 'x', "", "", nullptr, 0),
              "Bad STX      {DELIM]x{DELIM]{DELIM]{DELIM]");
    // A NUL type byte is one character of the record, not its end.
    EXPECT_EQ(MakeReceivedRecord(7, 0, "1", "090", nullptr, 0),
              std::string("Bad BCC      {DELIM]\0{DELIM]1{DELIM]090{DELIM]", 46));
}

}  // namespace
