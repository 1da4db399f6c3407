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

namespace {

// 50 rules: by turns an exact text, a wildcard and an expression with captures, each for its
// own type and reading; every fifth only in the state "other".
std::string FiftyRules(const std::string& extra = "") {
    std::string rules;
    for (int i = 0; i < 50; ++i) {
        const char type = static_cast<char>('A' + i % 26);
        std::string text;
        switch (i % 3) {
            case 0: text = "\"READ " + std::to_string(i) + "\""; break;
            case 1: text = "{\"wildcard\": \"SET " + std::to_string(i) + " * TO ?\"}"; break;
            default: text = "{\"regex\": \"T" + std::to_string(i) + "=(\\\\d+)\\\\.(\\\\d+)\"}"; break;
        }
        rules += std::string(i == 0 ? "" : ",\n") + "{\"name\": \"r" + std::to_string(i) + "\", \"type\": \"" + type +
                 "\", \"text\": " + text + (i % 5 == 4 ? ", \"state\": \"other\"" : "") +
                 ", \"add\": {\"n\": 1}, \"reply\": \"OK $1 $2 ${n}\"}";
    }
    return "{\"states\": [\"main\", \"other\"], \"variables\": {\"n\": 0}" + extra + ", \"rules\": [" + rules + "]}";
}

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
    std::ofstream(dir / "hook.lua") << "seen = 0\n"
                                       "function on_message(msg)\n"
                                       "  seen = seen + 1\n"
                                       "  if msg.type == 'Z' then return 'script ' .. seen end\n"
                                       "  if string.sub(msg.text, 1, 4) == 'SAVE' then sim.set('saved', msg.text) end\n"
                                       "  return nil\n"
                                       "end\n";
    const auto s = scenario::ParseScenario(FiftyRules(", \"script\": \"hook.lua\""), dir.string());
    Offer(state, s, static_cast<char>('A' + 47 % 26), "T47=21.5");
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LuaHook_EveryMessage);

}  // namespace
