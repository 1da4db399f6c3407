#include "settings/link_kind.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <sstream>
#include <string>

#include "settings/names.h"
#include "settings/prefs.h"
#include "settings/prefs_ini.h"

namespace {

// What settings files, API clients and the dialog already know: never to change.
TEST(LinkKind, ValuesNamesAndTextsStayAsTheyAre) {
    const struct {
        std::int32_t stored;
        const char* api;
        const char* display;
    } known[] = {{0, "serial", "Serial Port (RS232)"},
                 {1, "tcp-client", "TCP/IP Client"},
                 {2, "tcp-server", "TCP/IP Server"},
                 {3, "pty", "Virtual Serial Port"},
                 {4, "proxy", "Proxy"}};
    ASSERT_EQ(LinkKinds().size(), std::size(known));
    for (std::size_t i = 0; i < std::size(known); ++i) {
        const LinkKindInfo& kind = LinkKinds()[i];
        SCOPED_TRACE(kind.apiName);
        EXPECT_EQ(SettingsValue(kind.kind), known[i].stored);
        EXPECT_STREQ(kind.apiName, known[i].api);
        EXPECT_STREQ(kind.displayName, known[i].display);
    }
}

TEST(LinkKind, RoundTripsThroughTheSettingsFileAndTheApiName) {
    for (const LinkKindInfo& kind : LinkKinds()) {
        SCOPED_TRACE(kind.apiName);
        EXPECT_EQ(&LinkKindOf(kind.kind), &kind);
        EXPECT_EQ(LinkKindFromSettings(SettingsValue(kind.kind)), kind.kind);
        EXPECT_EQ(LinkKindFromApiName(kind.apiName), kind.kind);
        std::string upper = kind.apiName;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(LinkKindFromApiName(upper), kind.kind);
        // Through the file itself: written, read back, the same kind.
        Prefs prefs;
        prefs.Comm.Type = SettingsValue(kind.kind);
        std::vector<SettingWarning> warnings;
        const Prefs back = ReadPrefs(WritePrefs("", prefs), &warnings);
        EXPECT_TRUE(warnings.empty());
        ASSERT_NE(FindLinkKind(back.Comm), nullptr);
        EXPECT_EQ(FindLinkKind(back.Comm)->kind, kind.kind);
    }
}

TEST(LinkKind, NamesAndValuesOfNoKindFindNone) {
    for (std::int32_t value : {-1, kLinkKindCount, 99, INT_MAX, INT_MIN}) {
        EXPECT_FALSE(LinkKindFromSettings(value)) << value;
        CommPrefs comm;
        comm.Type = value;
        EXPECT_EQ(FindLinkKind(comm), nullptr) << value;
        EXPECT_EQ(LinkCan(comm), LinkAbilities{}) << "a link of no kind can do nothing";
        EXPECT_EQ(LinkSummaryText(comm), "") << value;
    }
    for (std::string_view name : std::initializer_list<std::string_view>{
             "", "seria", "serial ", " serial", "tcp", "tcp_client", "Serial Port (RS232)",
             std::string_view("pty\0x", 5), "proxyy"})
        EXPECT_FALSE(LinkKindFromApiName(name)) << name;
}

// Every key a kind says it reads is one the settings file has under [Comm]: the dialog
// enables its boxes by them.
TEST(LinkKind, ItsSettingsKeysAreKeysOfTheFile) {
    // Keys added later are written only where they differ from their defaults.
    Prefs prefs;
    prefs.Comm.AutoReconnect = 1;
    prefs.Comm.ProxyA = "pty:/tmp/a";
    prefs.Comm.ProxyB = "pty:/tmp/b";
    prefs.Comm.ProxyInject = 0;
    std::istringstream file(WritePrefs("", prefs));
    std::set<std::string> comm;
    bool inComm = false;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line[0] == '[') inComm = line.rfind("[Comm]", 0) == 0;
        if (inComm && line.find('=') != std::string::npos)
            comm.insert(line.substr(0, line.find('=')));
    }
    ASSERT_TRUE(comm.count("Type"));
    for (const LinkKindInfo& kind : LinkKinds()) {
        EXPECT_FALSE(kind.settingsKeys.empty()) << kind.apiName;
        for (const char* key : kind.settingsKeys) {
            EXPECT_TRUE(comm.count(key)) << kind.apiName << " reads " << key;
            EXPECT_TRUE(kind.Reads(key));
        }
        EXPECT_FALSE(kind.Reads("Type"));
        EXPECT_FALSE(kind.Reads("baud")) << "keys are matched exactly";
    }
}

// The status bar's line and a capture's interface, per kind; an index out of its table
// shows as "?", and where the open link really is wins over its settings.
TEST(LinkKind, DescribesEachKind) {
    CommPrefs comm;
    comm.Port = "COM2";
    comm.Baud = 4;
    comm.Bits = 1;
    comm.Stop = 0;
    comm.Parity = 2;
    comm.RemoteIp = "10.0.0.2";
    comm.RemotePort = 5000;
    comm.LocalPort = 5100;
    comm.ProxyA = "tcp-server:5100";
    comm.ProxyB = "serial:/dev/ttyUSB0";
    const struct {
        LinkKind kind;
        std::string where;
        const char* summary;
        const char* name;
        const char* description;
    } cases[] = {
        {LinkKind::Serial, "", "ttyS1,9600,8,1,N", "serial:ttyS1",
         "Serial port ttyS1, 9600 baud, 8 data bits, parity None, 1 stop bit (ttyS1,9600,8,1,N)"},
        {LinkKind::TcpClient, "", "TCP/IP Client to 10.0.0.2:5000", "tcp-client:10.0.0.2:5000",
         "TCP/IP client to 10.0.0.2:5000"},
        {LinkKind::TcpServer, "port 40123", "TCP/IP Server on Port 5100", "tcp-server:port 40123",
         "TCP/IP server on port 40123"},
        {LinkKind::Pty, "", "Virtual serial port COM2,9600,8,1,N", "pty:COM2",
         "Virtual serial port COM2, 9600 baud, 8 data bits, parity None, 1 stop bit (Virtual "
         "serial port "
         "COM2,9600,8,1,N)"},
        {LinkKind::Proxy, "", "Proxy between A tcp-server:5100 and B serial:/dev/ttyUSB0",
         "proxy:tcp-server:5100 <-> serial:/dev/ttyUSB0",
         "Proxy between side A (tcp-server:5100) and side B (serial:/dev/ttyUSB0): inbound packets "
         "went from A to "
         "B, outbound from B to A"},
    };
    for (const auto& c : cases) {
        comm.Type = SettingsValue(c.kind);
        const LinkKindInfo& kind = LinkKindOf(c.kind);
        SCOPED_TRACE(kind.apiName);
        EXPECT_EQ(LinkSummaryText(comm), c.summary);
        const LinkInterfaceText text = kind.interfaceText(comm, c.where);
        EXPECT_EQ(text.name, c.name);
        EXPECT_EQ(text.description, c.description);
    }
    comm.Type = SettingsValue(LinkKind::Serial);
    comm.Baud = 8;
    comm.Bits = -1;
    comm.Stop = 2;
    comm.Parity = 3;
    EXPECT_EQ(LinkSummaryText(comm), "ttyS1,?,?,?,?");
    EXPECT_EQ(LinkKindOf(LinkKind::Serial).interfaceText(comm, "").description,
              "Serial port ttyS1, ? baud, 0 data bits, parity ?, 0 stop bits (ttyS1,?,?,?,?)");
}

}  // namespace
