// The scenario engine alone: a received message through 50 rules (exact texts, wildcards and
// expressions with captures, some by state) to the one that answers, to none (the near miss
// worked out), and through a Lua on_message hook.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "scenario/runner.h"
#include "scenario/scenario.h"

#include "fifty_rules.h"

namespace {

void Offer(benchmark::State& state, const std::shared_ptr<const scenario::Scenario>& s, char type,
           const std::string& text) {
    scenario::Runner runner(s, 0);
    std::int64_t now = 0;
    for (auto _ : state) {
        Response r = runner.OnMessage({static_cast<std::uint8_t>(type), text, 0}, ++now);
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations());
}

// Rule 48 (an expression with captures, near the end): 47 rules tried before it.
void BM_FiftyRules_LastMatches(benchmark::State& state) {
    Offer(state, scenario::ParseScenario(FiftyRules()), static_cast<char>('A' + 47 % 26), "T47=21.5");
}
BENCHMARK(BM_FiftyRules_LastMatches);

void BM_FiftyRules_FirstMatches(benchmark::State& state) {
    Offer(state, scenario::ParseScenario(FiftyRules()), 'A', "READ 0");
}
BENCHMARK(BM_FiftyRules_FirstMatches);

// No rule matches: the table answers and the near miss is worked out.
void BM_FiftyRules_NoneMatches(benchmark::State& state) {
    Offer(state, scenario::ParseScenario(FiftyRules()), 'V', "T47=21.x");
}
BENCHMARK(BM_FiftyRules_NoneMatches);

// A script sees every message first and lets the rules answer most of them.
void BM_LuaHook_EveryMessage(benchmark::State& state) {
    const auto dir = std::filesystem::temp_directory_path() / ("vantor-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "hook.lua") << kEveryMessageHook;
    const auto s = scenario::ParseScenario(FiftyRules(", \"script\": \"hook.lua\""), dir.string());
    Offer(state, s, static_cast<char>('A' + 47 % 26), "T47=21.5");
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LuaHook_EveryMessage);

}  // namespace
