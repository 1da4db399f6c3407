#include "capture/pcapng.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "capture/capture_session.h"
#include "capture/recording.h"

namespace fs = std::filesystem;
using namespace capture_test;

namespace {

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vantor-capture-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const char* name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

std::vector<Shown> ShownOf(const Recording& recording) {
    std::vector<Shown> out;
    for (const RecordedFrame& f : recording.frames) out.push_back(Show(f.direction, f.kind, f.type, f.status, f.text));
    return out;
}

void ExpectSameEntries(const std::vector<Shown>& view, const std::vector<Shown>& other) {
    for (const char* direction : {"Rx", "Tx"}) {
        SCOPED_TRACE(direction);
        EXPECT_EQ(Normalise(view, direction), Normalise(other, direction));
    }
}

const pcapng::Packet* WithComment(const pcapng::Capture& capture, std::string_view text) {
    for (const pcapng::Packet& packet : capture.packets)
        for (const std::string& comment : packet.comments)
            if (comment.find(text) != std::string::npos) return &packet;
    return nullptr;
}

TEST_F(CaptureTest, KeepsEveryReadAndWriteWithTimeDirectionLinkAndFaults) {
    TrafficPrefs prefs;
    prefs.LogOn = 1;
    prefs.LogFormat = 1;
    prefs.LogPath = Path("traffic.jsonl");
    Rig rig(prefs);
    ASSERT_EQ(rig.Service().StartCapture({Path("trace.pcapng"), 0, 0, {}}), "");
    const Session session = Session::Standard();
    rig.Play(session);
    const std::vector<Shown> view = rig.View();
    rig.Service().StopCapture();
    rig.Service().Finish();

    const pcapng::Capture capture = pcapng::ReadFile(Path("trace.pcapng"));
    ASSERT_EQ(capture.sections.size(), 1u);
    EXPECT_EQ(capture.sections[0].application, "Vantor Protocol Simulator");
    ASSERT_EQ(capture.interfaces.size(), 1u);
    EXPECT_EQ(capture.interfaces[0].linkType, pcapng::kLinkType);
    EXPECT_EQ(capture.interfaces[0].tsresol, 6);
    EXPECT_EQ(capture.interfaces[0].name, "tcp-server:port 5100");
    EXPECT_EQ(capture.interfaces[0].description, "TCP/IP server on port 5100");

    // Every read and write is one packet, with its bytes, time and direction, in order.
    std::vector<const pcapng::Packet*> data;
    for (const pcapng::Packet& packet : capture.packets)
        if (!packet.data.empty()) data.push_back(&packet);
    ASSERT_EQ(data.size(), session.steps.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(data[i]->data, session.steps[i].bytes);
        EXPECT_EQ(data[i]->micros, rig.times[i]);
        EXPECT_EQ(data[i]->Inbound(), session.steps[i].direction == Direction::Rx);
        EXPECT_EQ(data[i]->Outbound(), session.steps[i].direction == Direction::Tx);
    }
    // The fault goes on the read that completed the message it was injected into.
    const pcapng::Packet* faulted = WithComment(capture, "injected faults");
    ASSERT_NE(faulted, nullptr);
    EXPECT_EQ(faulted->comments, std::vector<std::string>{"answer to B with injected faults: delay 120 ms"});
    EXPECT_EQ(faulted->data, session.steps[5].bytes);
    const pcapng::Packet* xoff = WithComment(capture, kLooseComment);
    ASSERT_NE(xoff, nullptr);
    EXPECT_EQ(xoff->data, "\x13");
    EXPECT_EQ(xoff->comments[0], std::string("XOFF, ") + kLooseComment);
    // Link events: packets of no bytes and no direction.
    const pcapng::Packet* started = WithComment(capture, "link: capture started; the link is ");
    ASSERT_NE(started, nullptr);
    EXPECT_TRUE(started->data.empty());
    EXPECT_FALSE(started->hasFlags);

    // What the capture and the log hold is what the view listed.
    ExpectSameEntries(view, ShownOf(RecordingFromCapture(capture)));
    ExpectSameEntries(view, ShownOf(ReadRecording(Path("traffic.jsonl"))));
    ASSERT_EQ(Normalise(view, "Rx").size(), 8u);  // the session is what it means to be
}

// What tshark prints for the capture with the dissector loaded and these arguments; fails the
// test (returning "") when tshark fails.
std::string Tshark(const std::string& file, const std::string& arguments, const std::string& stderrPath) {
    const std::string command = "tshark -r '" + file + "' -X lua_script:" VANTOR_SOURCE_DIR
                                "/data/wireshark/vantor.lua " + arguments + " 2>" + stderrPath;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return "";
    }
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (::pclose(pipe) != 0) {
        ADD_FAILURE() << std::ifstream(stderrPath).rdbuf();
        return "";
    }
    return out;
}

// The dissector, in tshark, lists for each frame what the traffic view lists.
TEST_F(CaptureTest, DissectorDecodesWhatTheViewShows) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    Rig rig;
    ASSERT_EQ(rig.Service().StartCapture({Path("trace.pcapng"), 0, 0, {}}), "");
    rig.Play(Session::Standard());
    const std::vector<Shown> view = rig.View();
    rig.Service().StopCapture();

    const std::string out = Tshark(Path("trace.pcapng"), "-T json --no-duplicate-keys -J vantor", Path("stderr"));
    ASSERT_FALSE(out.empty());
    const nlohmann::json packets = nlohmann::json::parse(out);

    std::vector<Shown> decoded;
    const auto field = [](const nlohmann::json& item, const char* name) {
        return item.contains(name) ? item[name].get<std::string>() : std::string();
    };
    for (const nlohmann::json& packet : packets) {
        const nlohmann::json& layer = packet["_source"]["layers"]["vantor"];
        for (const nlohmann::json& item : layer.is_array() ? layer : nlohmann::json::array({layer})) {
            if (!item.is_object() || !item.contains("vantor.kind")) continue;  // part of a frame, a link event
            decoded.push_back(Shown{field(item, "vantor.direction"), field(item, "vantor.kind"),
                                    field(item, "vantor.type"), field(item, "vantor.status"),
                                    field(item, "vantor.text")});
        }
    }
    ExpectSameEntries(view, decoded);
}

TEST_F(CaptureTest, RotatesBySizeIntoFilesEachReadableAlone) {
    Rig rig;
    TrafficService::CaptureOptions options{Path("trace.pcapng"), 0, 0, {}};
    options.rotateBytes = 500;
    ASSERT_EQ(rig.Service().StartCapture(options), "");
    const Session session = Session::Standard();
    rig.Play(session);
    rig.Service().StopCapture();

    const CaptureWriter::Status status = rig.Service().CaptureStatus();
    ASSERT_GE(status.files, 3u);
    std::string joined;
    for (std::uint32_t n = 1; n <= status.files; ++n) {
        const std::string path = CaptureWriter::RotatedPath(Path("trace.pcapng"), n);
        SCOPED_TRACE(path);
        EXPECT_LE(fs::file_size(path), options.rotateBytes);
        const pcapng::Capture part = pcapng::ReadFile(path);
        ASSERT_EQ(part.interfaces.size(), 1u);
        EXPECT_EQ(part.interfaces[0].linkType, pcapng::kLinkType);
        for (const pcapng::Packet& packet : part.packets) joined += packet.data;
    }
    std::string played;
    for (const Session::Step& step : session.steps) played += step.bytes;
    EXPECT_EQ(joined, played);
    EXPECT_FALSE(fs::exists(CaptureWriter::RotatedPath(Path("trace.pcapng"), status.files + 1)));
}

// A peer's coming and going stand in their place among its bytes, as the engine marked them,
// even when the link's state told of its going before its last bytes were read.
TEST_F(CaptureTest, APeersEndFollowsItsLastBytes) {
    Rig rig;
    ASSERT_EQ(rig.Service().StartCapture({Path("trace.pcapng"), 0, 0, {}}), "");
    const std::string last = Frame('L', "last words", 0);
    rig.Peers({"127.0.0.1:40007"});
    rig.Service().Sink().RecordSession(7, true, "127.0.0.1:40007");
    rig.Peers({});  // the connection is seen gone...
    rig.Play(Session{{{Direction::Rx, last}}});  // ...before its last frame is read
    rig.Service().Sink().RecordSession(7, false, {});
    rig.Service().StopCapture();
    const pcapng::Capture capture = pcapng::ReadFile(Path("trace.pcapng"));
    std::vector<std::string> order;
    for (const pcapng::Packet& packet : capture.packets) {
        if (!packet.data.empty()) order.push_back("data " + packet.data);
        for (const std::string& comment : packet.comments)
            if (comment.find("127.0.0.1:40007") != std::string::npos) order.push_back(comment);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"link: connected: 127.0.0.1:40007", "data " + last,
                                               "link: disconnected: 127.0.0.1:40007"}));
}

// The link's normal course (a peer closing its end) is labelled as the link's and a failure as
// an error; a capture whose first file cannot be made says that it never began.
TEST_F(CaptureTest, APeersCloseIsTheLinksNotAnErrorAndAFailedStartSaysSo) {
    Rig rig;
    ASSERT_EQ(rig.Service().StartCapture({Path("trace.pcapng"), 0, 0, {}}), "");
    Event closed(EventId::Error, EventId::kErrorIsNotice, 0);
    closed.text = "Connection closed by 127.0.0.1:40000";
    rig.Service().OnEvent(closed);
    Event failed(EventId::Error, 0, 0);
    failed.text = "Socket error: Connection refused";
    rig.Service().OnEvent(failed);
    rig.Service().StopCapture();
    const pcapng::Capture capture = pcapng::ReadFile(Path("trace.pcapng"));
    const pcapng::Packet* close = WithComment(capture, "Connection closed by");
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close->comments.at(0), "link: Connection closed by 127.0.0.1:40000");
    const pcapng::Packet* error = WithComment(capture, "Connection refused");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->comments.at(0), "link: error: Socket error: Connection refused");

    Rig other;
    const std::string refused = other.Service().StartCapture({Path("no such folder/trace.pcapng"), 0, 0, {}});
    EXPECT_EQ(refused.rfind("Capture not started: cannot create", 0), 0u) << refused;
}

// Rotating with a number of files to keep: exactly the newest that many stay, the file being
// written among them (with one kept, it is the one just opened).
TEST_F(CaptureTest, RotationKeepsTheNewestFilesAsked) {
    for (const std::int32_t keep : {1, 2, 3}) {
        SCOPED_TRACE(keep);
        const std::string base = Path(("kept" + std::to_string(keep) + ".pcapng").c_str());
        Rig rig;
        TrafficService::CaptureOptions options{base, 0, 0, {}};
        options.rotateBytes = 500;
        options.keepFiles = keep;
        ASSERT_EQ(rig.Service().StartCapture(options), "");
        rig.Play(Session::Standard());
        rig.Service().StopCapture();
        const std::uint32_t files = rig.Service().CaptureStatus().files;
        ASSERT_GT(files, static_cast<std::uint32_t>(keep));
        for (std::uint32_t n = 1; n <= files; ++n)
            EXPECT_EQ(fs::exists(CaptureWriter::RotatedPath(base, n)), n + keep > files) << "file " << n << " of " << files;
        EXPECT_GT(pcapng::ReadFile(CaptureWriter::RotatedPath(base, files)).interfaces.size(), 0u);
    }
}

// A disk that fills up stops the capture with a message; the traffic goes on being listed and
// the file keeps what was written as whole blocks.
TEST_F(CaptureTest, FullDiskStopsTheCaptureNotTheTraffic) {
    Rig rig;
    std::atomic<int> failures{0};
    std::string message;
    TrafficService::CaptureOptions options{Path("trace.pcapng"), 0, 0, {}};
    options.onFail = [&](const std::string& m) {
        message = m;
        ++failures;
    };
    ASSERT_EQ(rig.Service().StartCapture(options), "");
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 600;  // past the file's header and a few packets
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const Session session = Session::Standard();
    rig.Play(session);
    const std::vector<Shown> view = rig.View();
    rig.Service().StopCapture();
    ::setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_EQ(failures.load(), 1);
    EXPECT_NE(message.find("Capture stopped: cannot write"), std::string::npos) << message;
    const CaptureWriter::Status status = rig.Service().CaptureStatus();
    EXPECT_FALSE(status.running);
    EXPECT_EQ(status.error, message);
    EXPECT_EQ(Normalise(view, "Rx").size(), 8u);
    const pcapng::Capture capture = pcapng::ReadFile(Path("trace.pcapng"));
    EXPECT_LE(fs::file_size(Path("trace.pcapng")), small.rlim_cur);
    EXPECT_LT(capture.packets.size(), session.steps.size());
}

std::string Block(std::uint32_t type, std::string body, bool bigEndian = false) {
    while (body.size() % 4 != 0) body.push_back('\0');
    const auto put = [bigEndian](std::string& out, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (bigEndian ? 24 - 8 * i : 8 * i)));
    };
    std::string out;
    put(out, type);
    put(out, static_cast<std::uint32_t>(body.size() + 12));
    out += body;
    put(out, static_cast<std::uint32_t>(body.size() + 12));
    return out;
}

TEST(PcapngReader, RefusesDamagedInputSayingWhere) {
    std::string good;
    pcapng::AppendSectionHeader(good, "test");
    pcapng::AppendInterface(good, "if", "an interface");
    const std::size_t headers = good.size();
    const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
    pcapng::AppendPacket(good, 0, 42, bytes, sizeof bytes, pcapng::kInbound, {"a comment"});
    ASSERT_EQ(pcapng::Parse(good).packets.at(0).data, "\x01\x02\x03\x04\x05");

    const auto patched = [&](std::size_t at, std::string with) {
        std::string out = good;
        out.replace(at, with.size(), with);
        return out;
    };
    struct Case {
        const char* name;
        std::string input;
        const char* error;  // empty: read, as far as it goes, with `packets`
        std::size_t packets = 0;
    };
    const Case cases[] = {
        {"empty", "", "an empty file"},
        {"not pcapng", std::string("\xd4\xc3\xb2\xa1", 4) + std::string(20, '\0'), "no section header first"},
        {"no byte-order magic", patched(8, "XXXX"), "no byte-order magic"},
        {"version 2", patched(12, std::string("\x02\x00", 2)), "pcapng version 2"},
        {"length not a multiple of 4", patched(4, std::string("\x1d\x00\x00\x00", 4)), "a block length of 29"},
        {"two lengths differ", patched(headers - 4, std::string("\x10\x00\x00\x00", 4)), "two lengths differ"},
        {"cut in a block", good.substr(0, good.size() - 3), "runs past the end"},
        {"cut in a block header", good.substr(0, headers + 6), "cut short"},
        {"packet of an undescribed interface", patched(headers + 8, std::string("\x07", 1)),
         "interface 7, which was not described"},
        {"captured length past the block", patched(headers + 20, std::string("\xff\x00\x00\x00", 4)),
         "packet data runs past its block"},
        {"option past its block", patched(headers + 36, std::string("\x01\x00\x40\x00", 4)),
         "an option runs past its block"},
        {"interface block too short", good.substr(0, headers) + Block(pcapng::kInterfaceBlock, "ab"),
         "interface block too short"},
        {"big-endian section read", Block(pcapng::kSectionHeaderBlock, std::string("\x1a\x2b\x3c\x4d\x00\x01\x00\x00", 8) +
                                                                           std::string(8, '\xff'), true),
         "", 0},
        {"unknown blocks skipped", good + Block(0x0BAD, "whatever"), "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (*c.error == '\0') {
            EXPECT_EQ(pcapng::Parse(c.input).packets.size(), c.packets);
            continue;
        }
        try {
            pcapng::Parse(c.input);
            ADD_FAILURE() << "read without complaint";
        } catch (const pcapng::FormatError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
    // A file cut while it was written: what came before the cut, when asked for, and where
    // the cut is.
    const pcapng::Capture cutInPacket = pcapng::Parse(good.substr(0, good.size() - 3), true);
    EXPECT_EQ(cutInPacket.packets.size(), 0u);
    EXPECT_EQ(cutInPacket.cutAt, headers);
    const pcapng::Capture cutAfter = pcapng::Parse(good + good.substr(headers, 10), true);
    EXPECT_EQ(cutAfter.packets.size(), 1u);
    EXPECT_EQ(cutAfter.cutAt, good.size());
    EXPECT_EQ(pcapng::Parse(good, true).cutAt, std::nullopt);
    // A first block that claims more than the file holds is no cut: said as it is, not as
    // an empty file.
    for (const bool tolerateCut : {false, true}) {
        try {
            pcapng::Parse(patched(4, std::string("\x00\x00\x00\x70", 4)), tolerateCut);
            ADD_FAILURE() << "read without complaint";
        } catch (const pcapng::FormatError& error) {
            EXPECT_NE(std::string(error.what()).find("at byte 0: a block of 1879048192 bytes runs past the end"),
                      std::string::npos)
                << error.what();
        }
    }
}

// Interfaces say their time unit; every unit is read as the microseconds it stands for.
TEST(PcapngReader, ReadsEachTimeResolutionAsMicroseconds) {
    const auto option = [](std::uint16_t code, std::string value) {
        std::string out;
        out.push_back(static_cast<char>(code & 0xff));
        out.push_back(static_cast<char>(code >> 8));
        out.push_back(static_cast<char>(value.size() & 0xff));
        out.push_back(static_cast<char>(value.size() >> 8));
        out += value;
        while (out.size() % 4 != 0) out.push_back('\0');
        return out;
    };
    const auto u32 = [](std::uint32_t v) {
        std::string out;
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
        return out;
    };
    const struct {
        const char* name;
        std::uint8_t tsresol;
        std::uint64_t stamp;
        std::int64_t micros;
    } cases[] = {
        {"microseconds", 6, 1'700'000'000'123'456ull, 1'700'000'000'123'456},
        {"nanoseconds", 9, 1'700'000'000'123'456'789ull, 1'700'000'000'123'456},
        {"milliseconds", 3, 1'700'000'000'123ull, 1'700'000'000'123'000},
        {"seconds", 0, 1'700'000'000ull, 1'700'000'000'000'000},
        {"1/1024 s", 0x80 | 10, 1024ull * 1'700'000'000 + 512, 1'700'000'000'500'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file;
        pcapng::AppendSectionHeader(file, "test");
        file += Block(pcapng::kInterfaceBlock, std::string("\x98\x00\x00\x00", 4) + u32(0) +
                                                   option(pcapng::kIfTsresol, std::string(1, static_cast<char>(c.tsresol))) +
                                                   option(pcapng::kOptEnd, ""));
        file += Block(pcapng::kEnhancedPacketBlock, u32(0) + u32(static_cast<std::uint32_t>(c.stamp >> 32)) +
                                                        u32(static_cast<std::uint32_t>(c.stamp)) + u32(1) + u32(1) + "A");
        const pcapng::Capture capture = pcapng::Parse(file);
        ASSERT_EQ(capture.packets.size(), 1u);
        EXPECT_EQ(capture.interfaces.at(0).tsresol, c.tsresol);
        EXPECT_EQ(capture.packets[0].micros, c.micros);
    }
}

// A capture cut while it was written is read up to the cut, and the recording says where it
// ends, so that learning or replaying from it does not pass the loss over in silence.
TEST(RecordingReader, ACutCaptureIsReadUpToTheCutAndSaysWhere) {
    std::string file;
    pcapng::AppendSectionHeader(file, "test");
    pcapng::AppendInterface(file, "if", "an interface");
    const std::string frame = "\x01" "A\x02hi\x03" "171\r";
    pcapng::AppendPacket(file, 0, 42, reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size(),
                         pcapng::kInbound);
    const std::size_t whole = file.size();
    pcapng::AppendPacket(file, 0, 43, reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size(),
                         pcapng::kInbound);
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("vantor-cut-" + std::to_string(::getpid()) + ".pcapng");
    {
        std::ofstream out(path, std::ios::binary);
        out << file.substr(0, file.size() - 5);
    }
    const Recording cut = ReadRecording(path.string());
    std::filesystem::remove(path);
    EXPECT_EQ(cut.frames.size(), 1u);
    EXPECT_NE(cut.warning.find("cut short at byte " + std::to_string(whole) + " of " +
                               std::to_string(file.size() - 5)),
              std::string::npos)
        << cut.warning;
}

// Each link of a capture is an interface of its own: a frame the old link left half read is
// not continued by the next link's bytes, which are read afresh.
TEST(RecordingReader, ANewLinksBytesAreNotGluedToTheOldLinksPartialFrame) {
    std::string file;
    pcapng::AppendSectionHeader(file, "test");
    pcapng::AppendInterface(file, "first", "the link before");
    pcapng::AppendInterface(file, "second", "the link after");
    // The old link's last bytes end in an escape, which would take the next byte as text.
    const std::string partial = "\x01" "A\x02par\x10";
    const std::string whole = capture_test::Frame('B', "whole");
    const auto packet = [&file](std::uint32_t interface, std::int64_t micros, const std::string& bytes) {
        pcapng::AppendPacket(file, interface, micros, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                             pcapng::kInbound);
    };
    packet(0, 10, partial);
    packet(1, 20, whole);
    packet(1, 30, whole);
    const Recording recording = RecordingFromCapture(pcapng::Parse(file));
    std::vector<std::string> messages;
    for (const RecordedFrame& frame : recording.frames)
        if (frame.kind != EntryKind::Stray)
            messages.push_back(std::string(1, static_cast<char>(frame.type)) + ":" + frame.text + ":" +
                               std::to_string(frame.status));
    EXPECT_EQ(messages, (std::vector<std::string>{"B:whole:0", "B:whole:0"}));
}

TEST(RecordingReader, RefusesLogLinesItCannotUseSayingWhich) {
    const std::string good =
        R"({"micros":5,"direction":"Rx","kind":"Message","bytes":"0141026162033030340d","status":0,"type":"A"})";
    ASSERT_EQ(RecordingFromLog(good + "\n\n").frames.at(0).text, "ab");
    const struct {
        const char* name;
        std::string line;
        const char* error;
    } cases[] = {
        {"not JSON", "{oops", "line 2: not a JSON object"},
        {"no micros", R"({"direction":"Rx","kind":"Stray","bytes":""})", "line 2: not a traffic record"},
        {"micros out of range", R"({"micros":7.8e26,"direction":"Rx","kind":"Stray","bytes":""})",
         "line 2: micros is not a whole number"},
        {"direction", R"({"micros":1,"direction":"Up","kind":"Stray","bytes":""})", "line 2: direction 'Up'"},
        {"kind", R"({"micros":1,"direction":"Rx","kind":"Frame","bytes":""})", "line 2: kind 'Frame'"},
        {"odd hex", R"({"micros":1,"direction":"Rx","kind":"Stray","bytes":"012"})", "odd number of hex digits"},
        {"not hex", R"({"micros":1,"direction":"Rx","kind":"Stray","bytes":"0g"})", "'g' is not a hex digit"},
        {"status", R"({"micros":1,"direction":"Rx","kind":"ACK","bytes":"","status":12,"type":"A"})", "status 12"},
        {"type", R"({"micros":1,"direction":"Rx","kind":"ACK","bytes":"","type":"AB"})", "not one byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            RecordingFromLog(good + "\n" + c.line + "\n");
            ADD_FAILURE() << "read without complaint";
        } catch (const RecordingError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
}

}  // namespace

// Two sessions whose frames interleave: each on an interface of its own with its peer, the
// fault's comment on the read that completed its own session's message, and tshark decodes
// each session's frames whole.
TEST_F(CaptureTest, EachSessionIsAnInterfaceOfItsOwn) {
    Rig rig;
    ASSERT_EQ(rig.Service().StartCapture({Path("trace.pcapng"), 0, 0, {}}), "");
    TrafficSink& sink = rig.Service().Sink();
    const auto record = [&sink](Direction d, const std::string& bytes, std::uint32_t session) {
        sink.Record(d, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), session);
    };
    const std::string a = Frame('A', "FROM-ONE"), b = Frame('B', "FROM-TWO");
    sink.RecordSession(1, true, "127.0.0.1:40001");
    sink.RecordSession(2, true, "127.0.0.1:40002");
    record(Direction::Rx, a.substr(0, 5), 1);
    record(Direction::Rx, b, 2);
    record(Direction::Tx, Frame('B', "", ctrl::ACK), 2);
    record(Direction::Rx, a.substr(5), 1);
    sink.RecordFaults(1, 'A', "twice");
    record(Direction::Tx, Frame('A', "", ctrl::ACK) + Frame('A', "", ctrl::ACK), 1);
    sink.RecordSession(2, false, {});
    rig.Service().Drain();
    rig.Service().StopCapture();

    const pcapng::Capture capture = pcapng::ReadFile(Path("trace.pcapng"));
    ASSERT_EQ(capture.interfaces.size(), 3u);
    EXPECT_EQ(capture.interfaces[1].name, "tcp-server:port 5100 session 1");
    EXPECT_EQ(capture.interfaces[1].description, "TCP/IP server on port 5100; session 1 with 127.0.0.1:40001");
    EXPECT_EQ(capture.interfaces[2].name, "tcp-server:port 5100 session 2");
    std::vector<std::pair<std::uint32_t, std::string>> data;
    for (const pcapng::Packet& packet : capture.packets)
        if (!packet.data.empty()) data.emplace_back(packet.interface, packet.data);
    ASSERT_EQ(data.size(), 5u);
    EXPECT_EQ(data[0], std::make_pair(1u, a.substr(0, 5)));
    EXPECT_EQ(data[1], std::make_pair(2u, b));
    EXPECT_EQ(data[3], std::make_pair(1u, a.substr(5)));
    const pcapng::Packet* faulted = WithComment(capture, "injected faults");
    ASSERT_NE(faulted, nullptr);
    EXPECT_EQ(faulted->data, a.substr(5));
    EXPECT_EQ(faulted->comments, std::vector<std::string>{"answer to A with injected faults: twice"});

    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    const std::string out = Tshark(Path("trace.pcapng"),
                                   "-T fields -e frame.interface_id -e vantor.kind -e vantor.type -e vantor.status "
                                   "-e vantor.text",
                                   Path("stderr"));
    ASSERT_FALSE(out.empty());
    // Each message whole and OK on its own session's interface; no stray bytes anywhere.
    EXPECT_NE(out.find("2\tMessage\tB\tOK\tFROM-TWO"), std::string::npos) << out;
    EXPECT_NE(out.find("1\tMessage\tA\tOK\tFROM-ONE"), std::string::npos) << out;
    EXPECT_EQ(out.find("Stray"), std::string::npos) << out;
}
