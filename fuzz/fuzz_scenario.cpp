// Arbitrary text through the scenario and expectations readers: each either reads it or refuses
// it with a ScenarioError that says where, never anything else. A scenario that reads is then
// run against a few messages and a day of its timers: rules, captures, variables and timers
// may not crash, and what it sends stays bounded.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "scenario/runner.h"
#include "scenario/scenario.h"
#include "scenario/verifier.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void RunScenario(const std::shared_ptr<const scenario::Scenario>& s, std::string_view messages) {
    scenario::Runner runner(s, 0);
    scenario::Verifier verifier(s->expect, 0);
    std::int64_t now = 0;
    std::size_t sent = 0;
    // The messages: lines, the first byte of each its type.
    while (!messages.empty()) {
        const std::size_t end = messages.find('\n');
        const std::string_view line = messages.substr(0, end);
        messages = end == std::string_view::npos ? std::string_view{} : messages.substr(end + 1);
        if (line.empty()) continue;
        now += 37;
        const Response r =
            runner.OnMessage({static_cast<std::uint8_t>(line[0]), line.substr(1), 0}, now);
        // Answered by a rule, matched by one that leaves the answer to the table, refused by
        // the script, or unmatched with its near miss: never nothing.
        Check(r.decided || !r.rule.empty() || !r.nearMiss.empty() || !r.error.empty());
        Check(r.nearMiss.size() < 4096);
        scenario::Observation o;
        o.kind = scenario::Observation::Received;
        o.ms = now;
        o.type = static_cast<std::uint8_t>(line[0]);
        o.text = std::string(line.substr(1));
        o.rule = r.rule;
        verifier.Observe(o);
        for (const OwnSend& send : runner.RunDue(now)) sent += send.text.size() + 1;
    }
    // A day of timers, at most a few thousand turns of them.
    for (int turn = 0; turn < 2000; ++turn) {
        const auto due = runner.NextDueMs();
        if (!due || *due > 86'400'000) break;
        Check(*due >= now);
        now = *due;
        for (const OwnSend& send : runner.RunDue(now)) sent += send.text.size() + 1;
        verifier.Tick(now);
    }
    verifier.Finish(now);
    Check(!verifier.Report("fuzz", now).JUnitXml().empty());
    (void)sent;
}

}  // namespace

// Input: a first byte that picks the reader (even: scenario, odd: expectations), the document,
// then after a NUL the messages for a scenario that reads.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view all(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t split = all.find('\0');
    const std::string_view document = all.substr(0, split);
    const std::string_view messages = split == std::string_view::npos ? std::string_view{} : all.substr(split + 1);
    try {
        if (data[0] % 2 == 0) {
            // No script is read from the disk: the base folder does not exist.
            RunScenario(scenario::ParseScenario(document, "/nonexistent/fuzz"), messages);
        } else {
            scenario::Verifier verifier(scenario::ParseExpectations(document), 0);
            verifier.Finish(1000);
        }
    } catch (const scenario::ScenarioError& error) {
        Check(error.what()[0] != '\0');
    }
    return 0;
}
