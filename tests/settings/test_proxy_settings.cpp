// The proxy's settings as people write them: sides on the command line, in the settings file
// and the API; frame fault rules as one line each.
#include <gtest/gtest.h>

#include "settings/prefs_ini.h"
#include "settings/proxy_side.h"

namespace {

struct SideCase {
    const char* text;
    int type;  // -1: refused
    const char* where;  // port/path, or host, or listen address
    int port;
    int baud;  // index into the baud table; -1: the base's
    const char* why = "";  // refused: part of the error
};

TEST(ProxySide, EachKindParsedOrRefusedSayingWhy) {
    CommPrefs base;
    base.Baud = 4;
    const SideCase cases[] = {
        {"tcp-client:127.0.0.1:5000", 1, "127.0.0.1", 5000, -1},
        {"tcp-client:[::1]:5000", 1, "::1", 5000, -1},
        {"tcp-client:device.local:1", 1, "device.local", 1, -1},
        {"tcp-client:127.0.0.1", -1, "", 0, 0},
        {"tcp-client:127.0.0.1:0", -1, "", 0, 0},
        {"tcp-client:127.0.0.1:65536", -1, "", 0, 0},
        {"tcp-client::5000", -1, "", 0, 0},
        {"tcp-server:5100", 2, "", 5100, -1},
        {"tcp-server:0", 2, "", 0, -1},  // the system picks the port
        {"tcp-server:127.0.0.1:5100", 2, "127.0.0.1", 5100, -1},
        {"tcp-server:[::1]:5100", 2, "::1", 5100, -1},
        {"tcp-server:x", -1, "", 0, 0},
        {"tcp-server:-1", -1, "", 0, 0},
        {"udp:5000", -1, "", 0, 0},
        {"", -1, "", 0, 0},
    };
    for (const SideCase& c : cases) {
        std::string error;
        const ProxySideLink side = ParseProxySide(c.text, base, error);
        if (c.type < 0) {
            EXPECT_NE(error, "") << c.text;
            EXPECT_NE(error.find(std::string("\"") + c.text + "\""), std::string::npos) << error;
            continue;
        }
        ASSERT_EQ(error, "") << c.text;
        EXPECT_EQ(side.comm.Type, c.type) << c.text;
        if (c.type == 1) {
            EXPECT_EQ(side.comm.RemoteIp, c.where) << c.text;
            EXPECT_EQ(side.comm.RemotePort, c.port) << c.text;
            EXPECT_EQ(side.comm.AutoReconnect, 1) << "a client side connects again by itself: " << c.text;
        } else {
            EXPECT_EQ(side.listenAddress, c.where) << c.text;
            EXPECT_EQ(side.comm.LocalPort, c.port) << c.text;
        }
    }
    CommPrefs comm;
    comm.ProxyB = "tcp-client:nowhere";
    EXPECT_EQ(ProxySidesError(comm).rfind("side B: ", 0), 0u) << ProxySidesError(comm);
}

// A serial side and a virtual one read alike: PATH, then a baud rate offered after the last
// colon, or nothing; any other suffix is refused naming it, never taken into the path.
TEST(ProxySide, SerialAndVirtualPortsReadThePathAndBaudAlike) {
    CommPrefs base;
    base.Baud = 4;
    for (const std::string kind : {"serial", "pty"}) {
        const int type = kind == "serial" ? 0 : 3;
        const SideCase cases[] = {
            {"/dev/ttyUSB0", type, "/dev/ttyUSB0", 0, -1},
            {"/dev/ttyUSB0:115200", type, "/dev/ttyUSB0", 0, 0},
            {"/tmp/ttyVSIM0:9600", type, "/tmp/ttyVSIM0", 0, 4},
            {"/dev/ttyUSB0:1200", type, "/dev/ttyUSB0", 0, 7},
            // A path with colons of its own: what follows the last is part of it unless a number.
            {"/dev/serial/by-path/pci-0:1.0:57600", type, "/dev/serial/by-path/pci-0:1.0", 0, 1},
            {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", type,
             "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", 0, -1},
            {"/tmp/ttyVSIM0:abc", type, "/tmp/ttyVSIM0:abc", 0, -1},
            {"/dev/ttyUSB0:12345", -1, "", 0, 0, "\"12345\" is not a baud rate offered"},
            {"/dev/ttyUSB0:-9600", -1, "", 0, 0, "\"-9600\" is not a baud rate offered"},
            {"/dev/ttyUSB0:", -1, "", 0, 0, "\"\" is not a baud rate offered"},
            {":9600", -1, "", 0, 0, "the port's path is missing"},
            {"", -1, "", 0, 0, "the port's path is missing"},
        };
        for (const SideCase& c : cases) {
            const std::string text = kind + ":" + c.text;
            SCOPED_TRACE(text);
            std::string error;
            const ProxySideLink side = ParseProxySide(text, base, error);
            if (c.type < 0) {
                EXPECT_NE(error.find("\"" + text + "\""), std::string::npos) << error;
                EXPECT_NE(error.find(c.why), std::string::npos) << error;
                continue;
            }
            ASSERT_EQ(error, "");
            EXPECT_EQ(side.comm.Type, c.type);
            EXPECT_EQ(side.comm.Port, c.where);
            EXPECT_EQ(side.comm.Baud, c.baud < 0 ? base.Baud : c.baud);
        }
    }
}

TEST(ProxyFaultRules, ReadBackAsWrittenAndRefusedSayingWhere) {
    ProxyFaultRule rule;
    rule.Way = 0;
    rule.Type = ",";
    rule.Frames = 1;
    rule.DelayMin = 100;
    rule.DelayMax = 250;
    rule.Hold = 1;
    rule.When = 1;
    rule.EveryN = 3;
    const std::string text = ProxyFaultRuleText(rule);
    EXPECT_EQ(text, "way=0,type=,,frames=1,delayMin=100,delayMax=250,hold=1,when=1,everyN=3");
    std::string error;
    EXPECT_EQ(ParseProxyFaultRule(text, error), rule);
    EXPECT_EQ(error, "");
    EXPECT_EQ(ProxyFaultRuleText(ProxyFaultRule{}), "");

    const std::pair<const char*, const char*> refused[] = {
        {"drop", "has no value"},
        {"drop=yes", "not a whole number"},
        {"drop=", "not a whole number"},
        {"loud=1", "not a rule's value"},
        {"type=AB", "one character"},
        {"chance=101", "chance must be 0 to 100"},
        {"everyN=0", "everyN must be 1 to"},
        {"delayMin=50,delayMax=10", "delayMax must be 0 or at least delayMin"},
    };
    for (const auto& [line, why] : refused) {
        ParseProxyFaultRule(line, error);
        EXPECT_NE(error.find(why), std::string::npos) << line << ": " << error;
    }
    // A hand-edited file: rules that cannot be read are left out, the others kept in order.
    const Prefs prefs = ReadPrefs("[ProxyFaults]\nSeed=9\nRules=3\nRule1=`drop=1`\nRule2=`chance=500`\nRule3=`twice=1`\n");
    ASSERT_EQ(prefs.Proxy.Rules.size(), 2u);
    EXPECT_EQ(prefs.Proxy.Rules[0].Drop, 1);
    EXPECT_EQ(prefs.Proxy.Rules[1].Twice, 1);
    EXPECT_EQ(prefs.Proxy.Seed, 9);
    // Fewer rules written over more: the ones beyond the count are emptied.
    Prefs fewer = prefs;
    fewer.Proxy.Rules.resize(1);
    const std::string written = WritePrefs("[ProxyFaults]\nRules=3\nRule3=`twice=1`\n", fewer);
    EXPECT_EQ(ReadPrefs(written).Proxy, fewer.Proxy);
    EXPECT_EQ(written.find("twice=1"), std::string::npos) << written;
}

}  // namespace
