#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct lua_State;
struct lua_Debug;

namespace scenario {

// A scenario's script, in a sandbox: the base, string, table, math and utf8 libraries, `os`
// with only `time` and `clock`, `load` of text only; no `io`, no `require`, no files, no
// `debug`. Every call has an instruction budget and the script a memory cap, so a script can
// neither hang nor exhaust the program; what goes wrong comes back as an error text with the
// script's line.
//
// The script may define on_message(msg), on_timer(name) and on_state(name). It reaches the
// scenario through the table `sim`: sim.state(), sim.go(name), sim.get(name), sim.set(name,
// value), sim.send(type, text [, delay_ms]), sim.start_timer(name, every_ms [, repeat]),
// sim.stop_timer(name). on_message returns nil (the rules and the table answer), a text (the
// answer, Normal), or a table {text=..., action="NAK Error", faults={...}}.
class LuaHook {
public:
    static constexpr std::int64_t kInstructionBudget = 2'000'000;
    static constexpr std::size_t kMemoryCap = 32u << 20;

    // What the script asks of the scenario; set before the first call.
    struct Host {
        std::function<std::string()> state;
        std::function<void(const std::string&)> go;
        std::function<std::optional<std::string>(const std::string&)> get;
        std::function<void(const std::string&, const std::string&)> set;
        std::function<void(std::uint8_t type, const std::string& text, std::int32_t delayMs)> send;
        std::function<void(const std::string&, std::int32_t everyMs, bool repeat)> startTimer;
        std::function<void(const std::string&)> stopTimer;
    };

    // What on_message decided.
    struct Answer {
        bool decided = false;
        std::string text;
        std::string action = "Normal";
        std::map<std::string, std::int64_t> faults;
    };

    // Loads and runs the script's top level; throws std::runtime_error with the script's
    // message when it does not load or fails.
    LuaHook(const std::string& name, std::string_view source, Host host);
    ~LuaHook();

    LuaHook(const LuaHook&) = delete;
    LuaHook& operator=(const LuaHook&) = delete;

    // Each returns an error text ("device.lua:12: attempt to index a nil value"), empty when
    // the call went well or the function is not defined.
    std::string OnMessage(std::uint8_t type, std::string_view text, std::int32_t status, Answer& answer);
    std::string OnTimer(const std::string& name);
    std::string OnState(const std::string& name);

    bool Defines(const char* function) const;

private:
    struct Allocator {
        std::size_t used = 0;
        std::size_t cap = kMemoryCap;
    };
    static void* Allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize);
    static void CountInstructions(lua_State* L, ::lua_Debug*);
    std::string Call(const char* function, int arguments, int results);
    void Sandbox();
    void Bind();

    Allocator memory_;
    lua_State* L_ = nullptr;
    Host host_;
    std::int64_t spent_ = 0;
};

}  // namespace scenario
