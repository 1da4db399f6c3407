#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace scenario {

struct LuaJob;
class LuaWorker;

// A scenario's script, in a sandbox: the base, string, table, math, utf8 and coroutine
// libraries, `os` with only `time` and `clock`, `load` of text only; no `io`, no `require`, no
// files, no `debug`, no finalizers (`__gc`). Every call has an instruction budget and a time
// limit, and the script a memory cap, so a script can neither hang nor exhaust the program;
// what goes wrong comes back as an error text with the script's line.
//
// The script runs on a thread of its own and each call waits for it at most kCallDeadline.
// A call stopped by its budget or its time disables the script for good: every further call
// fails at once without running it. A call that runs out of time is abandoned: its thread goes
// on at the lowest priority until its Lua gives way, never reaching the host again.
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
    // How long a caller waits for one call of the script (its top level included).
    static constexpr std::chrono::milliseconds kCallDeadline{100};

    // What the script asks of the scenario; set before the first call. Called on the script's
    // thread while the caller waits for the call.
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
    // message when it does not load, fails or is stopped.
    LuaHook(const std::string& name, std::string_view source, Host host);
    // Never waits for an abandoned call.
    ~LuaHook();

    LuaHook(const LuaHook&) = delete;
    LuaHook& operator=(const LuaHook&) = delete;

    // Each returns an error text ("device.lua:12: attempt to index a nil value"), empty when
    // the call went well or the function is not defined.
    std::string OnMessage(std::uint8_t type, std::string_view text, std::int32_t status, Answer& answer);
    std::string OnTimer(const std::string& name);
    std::string OnState(const std::string& name);

    // A call was stopped (budget or time): the script runs no more.
    bool Disabled() const { return !stopped_.empty(); }

private:
    // Runs `job` on the worker and waits for it; a call from the worker itself (a host
    // callback's) runs there and then.
    void Run(LuaJob& job);
    // Gives the running call up: the host is cut off and the worker left to itself.
    void Abandon();
    void Stop();

    std::string name_;
    std::shared_ptr<LuaWorker> worker_;
    std::thread thread_;
    std::string stopped_;  // why the script was stopped; empty while it runs
};

}  // namespace scenario
