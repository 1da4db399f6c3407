#include "fleet/fleet_file.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using fleet::FleetError;
using fleet::ParseFleet;

// A good template around `extra` (fields of the template) and `connect` (of its connect).
std::string Fleet(const std::string& extra = "", const std::string& connect = "", const std::string& root = "") {
    return R"({)" + root + R"("templates": [{"count": 10, "first": 100, "connect": {"mode": "tcp-client", "host": "127.0.0.1", "port": 5100)" +
           connect + "}" + extra + "}]}";
}

TEST(FleetFile, ReadsEveryFieldOfAGoodFile) {
    const auto file = ParseFleet(R"({
      "seed": 7,
      "templates": [{
        "name": "meter-{id}", "count": 3, "first": 40,
        "connect": {"mode": "tcp-client", "host": "localhost", "port": 6000, "sources": ["127.0.0.2", "127.0.0.3"],
                    "rate": 250.5, "retry": {"firstMs": 100, "longestMs": 800, "jitter": 0.5}},
        "replies": [{"type": "A", "text": "ok {id}", "action": "NAK Error", "faults": {"delayMin": 5, "delayMax": 9}}],
        "onConnect": [{"type": "L", "text": "LOGIN {id}"}],
        "every": {"ms": 500, "jitterMs": 50, "type": "H", "text": "hb"},
        "faults": [{"fraction": 0.5, "profile": {"dropAfterS": 3, "replyFaults": {"noAnswer": true}}},
                   {"range": [41, 41], "profile": {"neverConnect": true}}]
      }]})");
    EXPECT_EQ(file.seed, 7u);
    ASSERT_EQ(file.templates.size(), 1u);
    const fleet::Template& t = file.templates[0];
    EXPECT_EQ(t.count, 3u);
    EXPECT_EQ(t.first, 40u);
    EXPECT_EQ(t.connect.host, "localhost");
    EXPECT_EQ(t.connect.sources, (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
    EXPECT_DOUBLE_EQ(t.connect.rate, 250.5);
    EXPECT_EQ(t.connect.retryFirstMs, 100);
    EXPECT_EQ(t.connect.retryLongestMs, 800);
    ASSERT_EQ(t.replies.size(), 1u);
    EXPECT_EQ(t.replies[0].Msg, "ok {id}");
    EXPECT_EQ(t.replies[0].Action, 1);
    EXPECT_EQ(t.replies[0].Faults.DelayMax, 9);
    ASSERT_EQ(t.onConnect.size(), 1u);
    EXPECT_EQ(t.onConnect[0].type, 'L');
    ASSERT_TRUE(t.every.has_value());
    EXPECT_EQ(t.every->jitterMs, 50);
    ASSERT_EQ(t.faults.size(), 2u);
    EXPECT_EQ(t.faults[0].profile.dropAfterS, 3);
    ASSERT_TRUE(t.faults[0].profile.replyFaults.has_value());
    EXPECT_EQ(t.faults[0].profile.replyFaults->NoAnswer, 1);
    EXPECT_TRUE(t.faults[1].profile.neverConnect);

    const auto devices = fleet::ExpandDevices(file);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[1].number, 41u);
    EXPECT_EQ(fleet::DeviceName(file, devices[1]), "meter-41");
    // The range takes 41 unless the fraction took it first; either way it has a profile.
    EXPECT_NE(fleet::ProfileOf(file, devices[1]), nullptr);
}

TEST(FleetFile, RefusesABadFileNamingThePlace) {
    struct Case {
        std::string text;
        std::string place;  // a part of the message
    };
    const Case cases[] = {
        {"{\n  \"templates\": [\n    {\"count\": 1,,}\n  ]\n}", "line 3, column"},
        {"[]", "/: must be an object"},
        {R"({"templates": []})", "/templates: must be an array of at least one"},
        {R"({"bogus": 1, "templates": []})", "/: unknown field 'bogus'"},
        {Fleet("", "", R"("seed": -1, )"), "/seed: must be 0 to"},
        {R"({"templates": [{"count": 1}]})", "/templates/0: needs 'connect'"},
        {R"({"templates": [{"count": 0, "connect": {"mode": "tcp-client", "host": "h", "port": 1}}]})",
         "/templates/0/count: must be 1 to"},
        {R"({"templates": [{"count": 100001, "connect": {"mode": "tcp-client", "host": "h", "port": 1}}]})",
         "/templates/0/count: must be 1 to 100000"},
        {Fleet("", R"(, "mode2": 1)"), "/templates/0/connect: unknown field 'mode2'"},
        {R"({"templates": [{"count": 1, "connect": {"mode": "tcp-server", "host": "h", "port": 1}}]})",
         "/templates/0/connect/mode: only tcp-client"},
        {R"({"templates": [{"count": 1, "connect": {"mode": "tcp-client", "host": "h", "port": 70000}}]})",
         "/templates/0/connect/port: must be 1 to 65535"},
        {Fleet("", R"(, "sources": ["127.0.0.1", "10.0.0.300"])"), "/templates/0/connect/sources/1: '10.0.0.300' is not an IP address"},
        {Fleet("", R"(, "rate": 0)"), "/templates/0/connect/rate: must be"},
        {Fleet("", R"(, "retry": {"firstMs": 500, "longestMs": 100})"), "/templates/0/connect/retry: longestMs is shorter"},
        {Fleet(R"(, "replies": [{"type": "AB"}])"), "/templates/0/replies/0/type: a message type is one character"},
        {Fleet(R"(, "replies": [{"type": "A", "action": "Loud"}])"), "/templates/0/replies/0/action: must be Normal"},
        {Fleet(R"(, "replies": [{"type": "A", "faults": {"delayMin": -1}}])"), "/templates/0/replies/0/faults/delayMin"},
        {Fleet(R"(, "onConnect": [{"text": "x"}])"), "/templates/0/onConnect/0: a message needs its type"},
        {Fleet(R"(, "every": {"ms": 100, "jitterMs": 200, "type": "H"})"), "/templates/0/every/jitterMs: must be 0 to 100"},
        {Fleet(R"(, "faults": [{"fraction": 1.5, "profile": {}}])"), "/templates/0/faults/0/fraction: must be 0 to 1"},
        {Fleet(R"(, "faults": [{"fraction": 0.5, "range": [1, 2], "profile": {}}])"), "/templates/0/faults/0: one of fraction or range"},
        {Fleet(R"(, "faults": [{"range": [5, 1], "profile": {}}])"), "/templates/0/faults/0/range: the last number is below"},
        {Fleet(R"(, "faults": [{"range": [1, 5], "profile": {}}])"), "/templates/0/faults/0/range: takes no device"},
        {Fleet(R"(, "faults": [{"fraction": 0.1}])"), "/templates/0/faults/0: needs its profile"},
        {Fleet(R"(, "faults": [{"fraction": 0.1, "profile": {"dropAfterS": 0}}])"), "/templates/0/faults/0/profile/dropAfterS"},
        {R"({"templates": [{"count": 10, "first": 1, "connect": {"mode": "tcp-client", "host": "h", "port": 1}},
                           {"count": 10, "first": 5, "connect": {"mode": "tcp-client", "host": "h", "port": 1}}]})",
         "/templates/1/count: its numbers 5 to 14 overlap those of template 0"},
        {R"({"templates": [{"count": 60000, "connect": {"mode": "tcp-client", "host": "h", "port": 1}},
                           {"count": 60000, "first": 70000, "connect": {"mode": "tcp-client", "host": "h", "port": 1}}]})",
         "/templates/1/count: the fleet would have 120000 devices"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseFleet(c.text);
            ADD_FAILURE() << "taken";
        } catch (const FleetError& error) {
            EXPECT_NE(std::string(error.what()).find(c.place), std::string::npos) << error.what();
        }
    }
}

TEST(FleetFile, SubstitutesIdAndIndexOnly) {
    EXPECT_EQ(fleet::Substitute("dev{id}/{index}:{ID}{x}{id", 1234, 7), "dev1234/7:{ID}{x}{id");
    EXPECT_EQ(fleet::Substitute("{id}{id}", 5, 0), "55");
    EXPECT_EQ(fleet::Substitute("", 5, 0), "");
}

std::set<std::uint32_t> Faulted(std::uint32_t seed, double fraction, std::uint32_t count) {
    fleet::FleetFile file = ParseFleet(Fleet(R"(, "faults": [{"fraction": )" + std::to_string(fraction) +
                                             R"(, "profile": {"neverConnect": true}}])"));
    file.seed = seed;
    file.templates[0].count = count;
    std::set<std::uint32_t> numbers;
    for (const fleet::Device& device : fleet::ExpandDevices(file))
        if (device.share == 0) numbers.insert(device.number);
    return numbers;
}

TEST(FleetFile, TheSeedChoosesTheSameShareEveryRun) {
    const auto first = Faulted(11, 0.1, 1000);
    EXPECT_EQ(first, Faulted(11, 0.1, 1000));
    EXPECT_EQ(first.size(), 100u);  // the fraction asked, of this template
    EXPECT_NE(first, Faulted(12, 0.1, 1000));  // another seed, another choice
    // Spread over the template, not its first tenth.
    EXPECT_GT(*first.rbegin(), 100u + 500u);
    EXPECT_EQ(Faulted(11, 0.0, 50).size(), 0u);
    EXPECT_EQ(Faulted(11, 1.0, 50).size(), 50u);
}

TEST(FleetFile, LinkPlanGivesEachDeviceItsProfile) {
    const auto file = ParseFleet(Fleet(R"(, "faults": [{"range": [102, 103], "profile": {"dropAfterS": 4}}])"));
    const auto plan = fleet::LinkPlan(file, fleet::ExpandDevices(file));
    ASSERT_EQ(plan.groups.size(), 1u);
    ASSERT_EQ(plan.groups[0].members.size(), 10u);
    for (const auto& member : plan.groups[0].members)
        EXPECT_EQ(member.dropAfterS, member.device == 102 || member.device == 103 ? 4 : 0) << member.device;
}

TEST(FleetFile, LoadNamesTheFileAndFindsTheScenarioBesideIt) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("fleet-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "f.json").string();
    std::ofstream(path) << Fleet(R"(, "scenario": "s{id}.json")");
    const auto file = fleet::LoadFleet(path);
    EXPECT_EQ(file.templates[0].scenario, (dir / "s{id}.json").string());
    std::ofstream(path) << "{\"templates\": 3}";
    try {
        fleet::LoadFleet(path);
        ADD_FAILURE() << "taken";
    } catch (const FleetError& error) {
        EXPECT_NE(std::string(error.what()).find(path + ": /templates"), std::string::npos) << error.what();
    }
    EXPECT_THROW(fleet::LoadFleet((dir / "missing.json").string()), FleetError);
    EXPECT_THROW(fleet::LoadFleet("/dev/zero"), FleetError);
    std::filesystem::remove_all(dir);
}

}  // namespace
