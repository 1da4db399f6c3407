#include "settings/prefs_ini.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/reply_fault_values.h"

using namespace std::string_literals;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(PrefsIni, NoFileGivesTheDefaults) {
    const Prefs prefs = ReadPrefs("");
    EXPECT_EQ(prefs.PrinterFlags, 0);
    EXPECT_EQ(prefs.ConfigFlags, 0);
    EXPECT_EQ(prefs.Comm.Type, 0);
    EXPECT_EQ(prefs.Comm.Port, "COM1");
    EXPECT_EQ(prefs.Comm.Baud, 3);
    EXPECT_EQ(prefs.Comm.Bits, 1);
    EXPECT_EQ(prefs.Comm.Stop, 0);
    EXPECT_EQ(prefs.Comm.Parity, 2);
    EXPECT_EQ(prefs.Comm.RemoteIp, "192.168.1.100");
    EXPECT_EQ(prefs.Comm.RemotePort, 5000);
    EXPECT_EQ(prefs.Comm.LocalPort, 5100);
    EXPECT_EQ(prefs.Display, (DisplayPrefs{0, 0, 560, 800, 0, 0}));
    EXPECT_EQ(prefs.FileRestore.InitialDir, "c:\\labels\\");
    EXPECT_EQ(prefs.FileRestore.Fpath1 + prefs.FileRestore.Fpath4, "");
    EXPECT_EQ(prefs.Password, PasswordPrefs{});
    for (const SendPrefs& send : prefs.Send) {
        EXPECT_EQ(send, (SendPrefs{"", "", "1", "0", 0}));
    }
    for (const ReplyPrefs& reply : prefs.Reply) {
        EXPECT_EQ(reply, (ReplyPrefs{"", "", 0, 0, {}}));
    }
    // Garbage of every kind loads the same way.
    EXPECT_EQ(ReadPrefs("\0\xff\n[\n=\n[]=\n;[Comm]\nPort=x\n"s), prefs);
}

TEST(PrefsIni, DecodesIntegers) {
    EXPECT_EQ(DecodeIntValue("5000"), 5000);
    EXPECT_EQ(DecodeIntValue("-40"), -40);  // a window left of the main screen
    EXPECT_EQ(DecodeIntValue("+7"), 7);
    EXPECT_EQ(DecodeIntValue("0x1388"), 5000);
    EXPECT_EQ(DecodeIntValue("0X1388"), 5000);
    EXPECT_EQ(DecodeIntValue("$1388"), 5000);
    EXPECT_EQ(DecodeIntValue("$abCD"), 0xABCD);
    EXPECT_EQ(DecodeIntValue("0xFFFFFFFF"), -1);
    EXPECT_EQ(DecodeIntValue("0x00000000010"), 16);
    EXPECT_EQ(DecodeIntValue("2147483647"), INT32_MAX);
    EXPECT_EQ(DecodeIntValue("-2147483648"), INT32_MIN);
    EXPECT_EQ(DecodeIntValue("\"12\""), 12);
    EXPECT_EQ(DecodeIntValue("'0x10'"), 16);
    for (const char* bad : {"", "abc", "12abc", "1 2", "-", "+", "0x", "$", "0x1G", "--1",
                            "2147483648", "-2147483649", "0x100000000", "99999999999999999999",
                            "`12`", "1.5"}) {
        EXPECT_FALSE(DecodeIntValue(bad).has_value()) << bad;
    }
}

TEST(PrefsIni, DecodesAndEncodesTexts) {
    EXPECT_EQ(DecodeTextValue("`COM1`"), "COM1");
    EXPECT_EQ(DecodeTextValue("``"), "");
    EXPECT_EQ(DecodeTextValue("`"), "`");
    EXPECT_EQ(DecodeTextValue("```"), "`");
    EXPECT_EQ(DecodeTextValue("`a"), "`a");
    EXPECT_EQ(DecodeTextValue("COM1"), "COM1");
    EXPECT_EQ(DecodeTextValue("\"` x `\""), " x ");  // quotes first, then backquotes
    EXPECT_EQ(DecodeTextValue("'abc'"), "abc");
    EXPECT_EQ(DecodeTextValue("\"abc'"), "\"abc'");
    EXPECT_EQ(DecodeTextValue("`\"abc\"`"), "\"abc\"");
    const std::string longText(3000, 'x');
    EXPECT_EQ(DecodeTextValue("`" + longText + "`"), longText.substr(0, kMaxValueText));
    EXPECT_EQ(DecodeTextValue(longText).size(), kMaxValueText);

    EXPECT_EQ(EncodeTextValue(""), "``");
    EXPECT_EQ(EncodeTextValue(" a`b "), "` a`b `");
    EXPECT_EQ(EncodeTextValue("one\ntwo\r"), "`onetwo\r`");
}

TEST(PrefsIni, ReadsAHandWrittenFileWithEveryOddCase) {
    const std::string file =
        "garbage before any section\n"
        "[display]\r\n"
        "LEFT = -20\r\n"
        "Top=$10\n"
        "Height=abc\n"
        "Width=\n"
        "State=0x2\n"
        "[Comm]\n"
        "Port=  COM3  \n"      // blanks around a bare value are dropped
        "RemoteIp=`  10.0.0.1 `\n"  // kept inside backquotes
        "Baud=12\n"            // out of range: the default
        "RemotePort=0x1388\n"
        "LocalPort=\n"
        "Parity=2147483648\n"  // not a 32-bit integer: default
        "Type=1\n"
        "Type=2\n"             // duplicate key: the first counts
        "Bits=\"0\"\n"
        + "\x80\xff\x00 binary line\n"s +
        "[Send]\n"
        "type0=`\n"            // a single backquote is the text
        "Msg0=``\n"
        "Count0=5\n"
        "Msg1='%S ok'\n"
        "Msg2=" + std::string(5000, 'm') + "\n" +
        "[Reply]\n"
        "Action9=3\n"
        "[Send]\n"
        "Delay8=`250`\n"       // a repeated section still counts
        "[Unknown]\nX=1\n";
    const Prefs prefs = ReadPrefs(file);
    EXPECT_EQ(prefs.Display, (DisplayPrefs{-20, 16, 560, 800, 2, 0}));
    EXPECT_EQ(prefs.Comm.Port, "COM3");
    EXPECT_EQ(prefs.Comm.RemoteIp, "  10.0.0.1 ");
    EXPECT_EQ(prefs.Comm.Baud, 3);
    EXPECT_EQ(prefs.Comm.RemotePort, 5000);
    EXPECT_EQ(prefs.Comm.LocalPort, 5100);
    EXPECT_EQ(prefs.Comm.Parity, 2);
    EXPECT_EQ(prefs.Comm.Type, 1);
    EXPECT_EQ(prefs.Comm.Bits, 0);
    EXPECT_EQ(prefs.Send[0], (SendPrefs{"`", "", "5", "0", 0}));
    EXPECT_EQ(prefs.Send[1].Msg, "%S ok");
    EXPECT_EQ(prefs.Send[2].Msg, std::string(kMaxValueText, 'm'));
    EXPECT_EQ(prefs.Send[8].Delay, "250");
    EXPECT_EQ(prefs.Reply[9].Action, 3);
    EXPECT_EQ(prefs.Reply[8].Action, 0);
}

// Editors on some systems begin a file with a UTF-8 byte order mark. It is not part of the
// first section's header, and a file that had one keeps it.
TEST(PrefsIni, AByteOrderMarkIsSkippedAndKept) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string file = bom + "[Comm]\r\nPort=COM4\r\nBaud=4\r\n[Send]\r\nMsg0=`x`\r\n";
    Prefs prefs = ReadPrefs(file);
    EXPECT_EQ(prefs.Comm.Port, "COM4");
    EXPECT_EQ(prefs.Comm.Baud, 4);
    EXPECT_EQ(prefs.Send[0].Msg, "x");
    prefs.Comm.Port = "COM5";
    const std::string written = WritePrefs(file, prefs);
    EXPECT_EQ(written.rfind(bom + "[Comm]\r\nPort=`COM5`\r\nBaud=4\r\n", 0), 0u) << written;
    EXPECT_EQ(written.find("[Comm]", bom.size() + 1), std::string::npos) << "a second [Comm]";
    EXPECT_EQ(written.find(bom, 1), std::string::npos);
    EXPECT_EQ(ReadPrefs(written), prefs);
    // A file without one gets none.
    EXPECT_EQ(WritePrefs("[Comm]\nPort=COM4\n", prefs).rfind("[Comm]\nPort=`COM5`\n", 0), 0u);
}

// The expected file of defaults, spelled out key by key.
std::string DefaultFile() {
    std::string text =
        "[Printer]\nFlags=0\n[Config]\nFlags=0\n"
        "[Display]\nLeft=0\nTop=0\nHeight=560\nWidth=800\nState=0\nFlags=0\n"
        "[Restore]\nFpath1=``\nFpath2=``\nFpath3=``\nFpath4=``\nInitialDir=`c:\\labels\\`\n"
        "Flags=0\n"
        "[Comm]\nType=0\nPort=`COM1`\nBaud=3\nBits=1\nStop=0\nParity=2\n"
        "RemoteIp=`192.168.1.100`\nRemotePort=5000\nLocalPort=5100\nFlags=0\n"
        "[Password]\nPassword1=``\nPassword2=``\nPassword3=``\nPassword4=``\nFlags=0\n"
        "[Send]\n";
    for (char n = '0'; n <= '8'; ++n) {
        text += std::string("Type") + n + "=``\nMsg" + n + "=``\nCount" + n + "=`1`\nDelay" + n +
                "=`0`\nFlags" + n + "=0\n";
    }
    text += "[Reply]\n";
    for (char n = '0'; n <= '9'; ++n) {
        text += std::string("Type") + n + "=``\nMsg" + n + "=``\nAction" + n + "=0\nFlags" + n +
                "=0\n";
    }
    return text;
}

TEST(PrefsIni, WritesAll114KeysInTableOrder) {
    const std::string written = WritePrefs("", Prefs{});
    EXPECT_EQ(written, DefaultFile());
    std::size_t keys = 0;
    for (const std::string& line : Lines(written)) keys += line.find('=') != std::string::npos;
    EXPECT_EQ(keys, 114u);
    // Writing again changes nothing.
    EXPECT_EQ(WritePrefs(written, Prefs{}), written);
}

TEST(PrefsIni, KeepsUnknownLinesByteForByteAndReplacesKnownKeysInPlace) {
    const std::string unknown1 = "; written by hand \t";
    const std::string unknown2 = "Custom = ` odd\x00\xfe value `  "s;
    const std::string unknown3 = "[Vendor]";
    const std::string unknown4 = "key with spaces=1=2";
    const std::string original = unknown1 + "\n[comm]\n  PORT = COM9\n" + unknown2 + "\n" +
                                 unknown3 + "\n" + unknown4 + "\n[Send]\nMsg3=`keep me`\n";
    Prefs prefs = ReadPrefs(original);
    ASSERT_EQ(prefs.Comm.Port, "COM9");
    ASSERT_EQ(prefs.Send[3].Msg, "keep me");
    prefs.Comm.Port = "/dev/ttyUSB0";

    const std::vector<std::string> lines = Lines(WritePrefs(original, prefs));
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], unknown1);
    EXPECT_EQ(lines[1], "[comm]");
    EXPECT_EQ(lines[2], "Port=`/dev/ttyUSB0`");  // replaced where it stood
    // The other Comm keys follow the last key line of the section, before [Vendor].
    const auto vendor = std::find(lines.begin(), lines.end(), unknown3);
    ASSERT_NE(vendor, lines.end());
    EXPECT_EQ(*(vendor - 1), "Flags=0");
    EXPECT_NE(std::find(lines.begin(), vendor, unknown2), vendor);
    EXPECT_EQ(*(vendor + 1), unknown4);
    EXPECT_EQ(*(vendor + 2), "[Send]");
    EXPECT_EQ(*(vendor + 3), "Msg3=`keep me`");
    EXPECT_EQ(lines.back(), "Flags9=0");
}

// The traffic keys appear only once they differ from their defaults, and stay once written.
TEST(PrefsIni, TrafficKeysOnlyWhereSetAndOlderFilesLoadTheDefaults) {
    EXPECT_EQ(WritePrefs("", Prefs{}).find("[Traffic]"), std::string::npos);
    EXPECT_EQ(ReadPrefs("[Comm]\nPort=`COM2`\n").Traffic, TrafficPrefs{});
    Prefs prefs;
    prefs.Traffic.LogPath = "/var/log/x y.tsv";
    prefs.Traffic.MaxEntries = 5000;
    const std::string written = WritePrefs("", prefs);
    EXPECT_NE(written.find("[Traffic]\nMaxEntries=5000\nLogPath=`/var/log/x y.tsv`\n"), std::string::npos) << written;
    EXPECT_EQ(written.find("RotateKb"), std::string::npos);
    EXPECT_EQ(ReadPrefs(written), prefs);
    prefs.Traffic = TrafficPrefs{};  // back to the defaults: the keys stay, with default values
    const std::string again = WritePrefs(written, prefs);
    EXPECT_NE(again.find("MaxEntries=1000000"), std::string::npos);
    EXPECT_EQ(ReadPrefs(again), prefs);
}

// Keys added to the older sections (the list's height, automatic reconnection) are written
// only once set, and a file without them loads their defaults.
TEST(PrefsIni, AddedKeysOnlyWhereSetAndOlderFilesLoadTheDefaults) {
    const std::string plain = WritePrefs("", Prefs{});
    EXPECT_EQ(plain.find("RxHeight"), std::string::npos);
    EXPECT_EQ(plain.find("AutoReconnect"), std::string::npos);
    const Prefs old = ReadPrefs("[Display]\nHeight=600\n[Comm]\nType=1\n");
    EXPECT_EQ(old.Display.RxHeight, 0);
    EXPECT_EQ(old.Comm.AutoReconnect, 0);
    Prefs prefs;
    prefs.Display.RxHeight = 240;
    prefs.Comm.AutoReconnect = 1;
    const std::string written = WritePrefs("", prefs);
    EXPECT_NE(written.find("RxHeight=240"), std::string::npos) << written;
    EXPECT_NE(written.find("AutoReconnect=1"), std::string::npos) << written;
    EXPECT_EQ(ReadPrefs(written), prefs);
}

// Texts made of the characters that could break a line of the file.
std::string RandomText(std::mt19937& rng) {
    static const std::string awkward = " `\"'=;[]\t\\%$x";
    std::string text;
    const int length = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int i = 0; i < length; ++i) {
        if (rng() % 3 == 0) {
            text.push_back(static_cast<char>(0x80 + rng() % 0x80));
        } else {
            text.push_back(awkward[rng() % awkward.size()]);
        }
    }
    if (rng() % 2) text = " " + text + " ";
    return text;
}

TEST(PrefsIni, RandomRecordsSurviveASaveAndLoad) {
    std::mt19937 rng(20261207);
    auto number = [&rng] { return static_cast<std::int32_t>(rng()); };
    for (int round = 0; round < 200; ++round) {
        Prefs prefs;
        prefs.PrinterFlags = number();
        prefs.ConfigFlags = number();
        prefs.FaultSeed = number();
        prefs.Display = {number(), number(), number(), number(), number(), number(), number()};
        prefs.FileRestore = {RandomText(rng), RandomText(rng), RandomText(rng), RandomText(rng),
                             RandomText(rng), number()};
        prefs.Comm = {number(), RandomText(rng), number(), number(), number(), number(),
                      RandomText(rng), number(), number(), number(), number()};
        // The link's indexes round-trip within their ranges (outside, they read as the default).
        for (const CommRange& range : kCommRanges)
            prefs.Comm.*range.member = std::uniform_int_distribution<std::int32_t>(0, range.last)(rng);
        prefs.Password = {RandomText(rng), RandomText(rng), RandomText(rng), RandomText(rng),
                          number()};
        for (SendPrefs& send : prefs.Send) {
            send = {RandomText(rng), RandomText(rng), RandomText(rng), RandomText(rng), number()};
        }
        for (ReplyPrefs& reply : prefs.Reply) {
            // The faults too: their keys round-trip like the others, within their ranges.
            reply = {RandomText(rng), RandomText(rng), number(), number(),
                     BoundedFaults(ReplyFaults{number(), number(), number(), number(), number(),
                                               number(), number(), number(), number(), number(),
                                               number(), number()})};
        }
        prefs.Traffic = {number(), number(), RandomText(rng), number(), number(), number(), number(), number()};
        // The line faults: every integer within its range, a rate of any precision, a seed of
        // 64 bits.
        for (const LineFaultLimit::Field& field : LineFaultLimit::Fields())
            prefs.Line.*field.member = std::uniform_int_distribution<std::int32_t>(field.low, field.high)(rng);
        prefs.Line.corruptRate = std::uniform_real_distribution<double>(0, 1)(rng);
        prefs.Line.corruptSeed = (static_cast<std::uint64_t>(rng()) << 32) | rng();
        // The proxy: both sides' texts, side B's line faults, frame fault rules of every value
        // in range and a type that may be a comma or an equals sign.
        prefs.Comm.ProxyA = RandomText(rng);
        prefs.Comm.ProxyB = RandomText(rng);
        prefs.Comm.ProxyInject = number();
        for (const LineFaultLimit::Field& field : LineFaultLimit::Fields())
            prefs.LineB.*field.member = std::uniform_int_distribution<std::int32_t>(field.low, field.high)(rng);
        prefs.Proxy.Seed = number();
        prefs.Proxy.Rules.resize(rng() % 4);
        for (ProxyFaultRule& rule : prefs.Proxy.Rules) {
            for (const ProxyFaultLimit::Field& field : ProxyFaultLimit::Fields())
                rule.*field.member = std::uniform_int_distribution<std::int32_t>(field.low, field.high)(rng);
            if (rule.DelayMax < rule.DelayMin) rule.DelayMax = 0;
            rule.Type = rng() % 4 == 0 ? "" : std::string(1, ",=`A;"[rng() % 5]);
        }
        const std::string fresh = WritePrefs("", prefs);
        ASSERT_EQ(ReadPrefs(fresh), prefs) << fresh;
        // Over an older file with other values and foreign lines.
        const std::string over = WritePrefs("[send]\nmsg0=old\n[X]\ny=`z`\n", prefs);
        ASSERT_EQ(ReadPrefs(over), prefs) << over;
    }
}

// A file cannot ask for more than the dialog offers: each fault value is brought into its
// range when the file is read.
// A link index out of range (a baud rate written where its index belongs) would reach the
// driver, the API and the dialog as a choice none of them has: the default is used and the
// key named, while the file keeps what its user wrote until the setting is changed.
TEST(PrefsIni, LinkIndexesOutOfRangeGiveTheDefaultAWarningAndStayInTheFile) {
    const std::string file = "[Comm]\nType=9\nBaud=9600\nBits=3\nStop=-1\nParity=7\nLocalPort=6000\n";
    std::vector<SettingWarning> warnings;
    const Prefs prefs = ReadPrefs(file, &warnings);
    const CommPrefs defaults;
    EXPECT_EQ(prefs.Comm.Type, defaults.Type);
    EXPECT_EQ(prefs.Comm.Baud, defaults.Baud);
    EXPECT_EQ(prefs.Comm.Bits, defaults.Bits);
    EXPECT_EQ(prefs.Comm.Stop, defaults.Stop);
    EXPECT_EQ(prefs.Comm.Parity, defaults.Parity);
    EXPECT_EQ(prefs.Comm.LocalPort, 6000);
    ASSERT_EQ(warnings.size(), 5u);
    EXPECT_EQ(warnings[1].text, "[Comm] Baud=9600 is out of its range 0 to 7; the default 3 is used");
    EXPECT_EQ(warnings[1].setting, "Baud=9600");
    for (const char* key : {"Type=9", "Bits=3", "Stop=-1", "Parity=7"})
        EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(),
                                [key](const SettingWarning& w) { return w.setting == key; }))
            << key;
    // Saved unchanged: the user's values stay; a setting changed meanwhile is written.
    Prefs changed = prefs;
    changed.Comm.Parity = 0;
    changed.Comm.LocalPort = 6001;
    const std::vector<std::string> lines = Lines(WritePrefs(file, changed));
    for (const char* kept : {"Type=9", "Baud=9600", "Bits=3", "Stop=-1", "Parity=0", "LocalPort=6001"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), kept), lines.end()) << kept;
    // In range, nothing is said.
    warnings.clear();
    ReadPrefs("[Comm]\nBaud=7\nType=4\n", &warnings);
    EXPECT_TRUE(warnings.empty());
}

TEST(PrefsIni, FaultValuesOutOfRangeAreBroughtIntoIt) {
    const Prefs prefs = ReadPrefs(
        "[Reply]\nDelayMin0=7200000\nDelayMax0=-3\nSplitGap0=99999999\nDropMs0=2147483647\n"
        "Twice0=5\nWhen0=9\nEveryN0=0\nChance0=250\nNoise0=999999\n");
    const ReplyFaults& f = prefs.Reply[0].Faults;
    EXPECT_EQ(f.DelayMin, FaultLimit::kMaxMs);
    EXPECT_EQ(f.DelayMax, 0);
    EXPECT_EQ(f.SplitGap, FaultLimit::kMaxMs);
    EXPECT_EQ(f.DropMs, FaultLimit::kMaxMs);
    EXPECT_EQ(f.Twice, 1);
    EXPECT_EQ(f.When, 2);
    EXPECT_EQ(f.EveryN, 1);
    EXPECT_EQ(f.Chance, 100);
    EXPECT_EQ(f.Noise, FaultLimit::kMaxNoise);
}

// The line faults have a section of their own only once set; a hand-edited file's values are
// brought into their ranges, and what cannot be read keeps its default.
TEST(PrefsIni, LineFaultsOnlyWhereSetAndBroughtIntoRange) {
    EXPECT_EQ(WritePrefs("", Prefs{}).find("[LineFaults]"), std::string::npos);
    const Prefs read = ReadPrefs(
        "[LineFaults]\nbytesPerSecond=-5\nsliceBytes=99999999\nbreakAtMs=-7\ncorruptRate=3.5\n"
        "corruptSeed=18446744073709551615\nbyteGapUs=12x\nresetAtMs=250\n");
    LineFaults expected;
    expected.bytesPerSecond = 0;
    expected.sliceBytes = LineFaultLimit::kMaxSliceBytes;
    expected.breakAtMs = -1;
    expected.corruptRate = 1;
    expected.corruptSeed = UINT64_MAX;
    expected.resetAtMs = 250;
    EXPECT_EQ(read.Line, expected);
    EXPECT_EQ(LineFaultsError(read.Line), "");
    EXPECT_EQ(ReadPrefs("[LineFaults]\ncorruptRate=nan\n").Line.corruptRate, 0);
}

// Reply faults are written where they are set; a fault cleared later is written back as
// cleared rather than left in the file to come back at the next start.
TEST(PrefsIni, ReplyFaultKeysAppearWhenSetAndStayWhenCleared) {
    Prefs prefs;
    prefs.Reply[3].Faults.DelayMin = 250;
    prefs.Reply[3].Faults.When = 2;
    prefs.Reply[3].Faults.Chance = 40;
    const std::string written = WritePrefs("", prefs);
    EXPECT_NE(written.find("DelayMin3=250"), std::string::npos);
    EXPECT_NE(written.find("Chance3=40"), std::string::npos);
    EXPECT_EQ(written.find("DelayMin2="), std::string::npos) << "unset rows add no keys";
    EXPECT_EQ(ReadPrefs(written), prefs);

    prefs.Reply[3].Faults = ReplyFaults{};
    const std::string cleared = WritePrefs(written, prefs);
    EXPECT_NE(cleared.find("DelayMin3=0"), std::string::npos);
    EXPECT_EQ(ReadPrefs(cleared), prefs);
    EXPECT_EQ(ReadPrefs("[Reply]\nType0=`A`\n"), ReadPrefs("[Reply]\nType0=`A`\nSeed=x\n"))
        << "an older file loads with no faults";
}

// The reply faults' table is the whole struct: every value has one row, with its own names,
// and its default within its range.
TEST(ReplyFaultFields, EveryValueHasOneRowWithItsOwnNames) {
    const auto fields = ReplyFaultFields();
    EXPECT_EQ(sizeof(ReplyFaults), fields.size() * sizeof(std::int32_t)) << "a value without a row";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const ReplyFaultField& field = fields[i];
        SCOPED_TRACE(field.name);
        const std::int32_t byDefault = ReplyFaults{}.*field.member;
        EXPECT_TRUE(byDefault >= field.low && byDefault <= field.high);
        EXPECT_EQ(FindReplyFaultField(field.name), &field);
        if (field.kind == ReplyFaultField::Choice) {
            EXPECT_EQ(field.choices.size(), static_cast<std::size_t>(field.high) + 1);
            EXPECT_EQ(field.choiceLabels.size(), field.choices.size());
        }
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_NE(fields[j].member, field.member);
            EXPECT_STRNE(fields[j].name, field.name);
            EXPECT_STRNE(fields[j].key, field.key);
            if (field.injected != 0) {
                EXPECT_NE(fields[j].injected, field.injected);
            }
        }
    }
    EXPECT_EQ(FindReplyFaultField("DelayMin"), nullptr) << "the file's key is not the API's name";
}

// Each value on its own survives a save and a load, in any row: a value the file leaves out
// would come back as its default.
TEST(ReplyFaultFields, EachValueSurvivesTheSettingsFile) {
    for (const ReplyFaultField& field : ReplyFaultFields()) {
        SCOPED_TRACE(field.name);
        for (const std::size_t row : {std::size_t{0}, std::size_t{kReplySlots - 1}}) {
            Prefs prefs;
            prefs.Reply[row].Faults =
                reply_fault_values::With(field, reply_fault_values::OtherValue(field));
            const std::string written = WritePrefs("", prefs);
            EXPECT_NE(written.find(std::string(field.key) + std::to_string(row) + "="),
                      std::string::npos)
                << written;
            EXPECT_EQ(ReadPrefs(written), prefs) << written;
        }
    }
}

// Just outside its range, each value is brought to the nearest end (a flag: anything but 0 is
// on), by itself and from a hand-edited file; the other values stay.
TEST(ReplyFaultFields, EachValueOutsideItsRangeIsBroughtIntoIt) {
    using reply_fault_values::With;
    for (const ReplyFaultField& field : ReplyFaultFields()) {
        SCOPED_TRACE(field.name);
        const bool flag = field.kind == ReplyFaultField::Flag;
        const std::pair<std::int32_t, std::int32_t> cases[] = {
            {field.low - 1, flag ? 1 : field.low},
            {field.high + 1, field.high},
            {field.low, field.low},
            {field.high, field.high},
            {INT32_MIN, flag ? 1 : field.low},
            {INT32_MAX, field.high}};
        for (const auto& [given, kept] : cases) {
            SCOPED_TRACE(given);
            EXPECT_EQ(BoundedFaults(With(field, given)), With(field, kept));
            const std::string file =
                "[Reply]\n" + std::string(field.key) + "4=" + std::to_string(given) + "\n";
            EXPECT_EQ(ReadPrefs(file).Reply[4].Faults, With(field, kept)) << file;
        }
    }
}

}  // namespace
