// The script hook on its own thread: every way a script might keep a call going past its budget
// is stopped in time and disables the script; a call given up never reaches the host again; the
// sandbox keeps its guards and its holes closed while the language still works.

#include "scenario/lua_hook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using scenario::LuaHook;
using Clock = std::chrono::steady_clock;

// Long enough for a loaded machine, short of a hang.
constexpr auto kHang = std::chrono::seconds(2);

const char* const kBudget = "the script ran over its budget of 2000000 instructions";
const char* const kTime = "the script ran over its time of 100 ms";

// What the script asked of the host, from whichever thread asked.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> sets;
    std::chrono::milliseconds setTakes{0};

    LuaHook::Host Host() {
        LuaHook::Host host;
        host.set = [this](const std::string& name, const std::string& value) {
            if (setTakes.count() > 0) std::this_thread::sleep_for(setTakes);
            std::lock_guard<std::mutex> lock(mutex);
            sets.push_back(name + "=" + value);
        };
        return host;
    }
    std::vector<std::string> Sets() {
        std::lock_guard<std::mutex> lock(mutex);
        return sets;
    }
};

// on_message notes each call, then runs `body` for the text "go"; the body is line 4.
std::string Hooked(const std::string& body) {
    return "function on_message(msg)\n"
           "  sim.set('ran', msg.text)\n"
           "  if msg.text == 'go' then\n" +
           body +
           "\n"
           "  end\n"
           "end\n"
           "function on_timer(name) sim.set('timer', name) end\n"
           "function on_state(name) sim.set('state', name) end\n";
}

std::string Send(LuaHook& hook, const std::string& text, Clock::duration* took = nullptr) {
    LuaHook::Answer answer;
    const auto start = Clock::now();
    std::string error = hook.OnMessage('A', text, 0, answer);
    if (took != nullptr) *took = Clock::now() - start;
    if (!error.empty()) return "error|" + error;
    return answer.decided ? answer.text : "nil";
}

struct Escape {
    const char* what;
    const char* body;
    std::string stop;  // the error, whole
};

// Each way around the budget: the call comes back in time with the stop, and the script is
// done for: later calls fail at once and run none of it.
TEST(LuaHookStops, EveryWayPastTheBudget) {
    const std::string budget = std::string("device.lua:4: ") + kBudget;
    const std::string time = std::string("device.lua: ") + kTime;  // in C before the hook came: no line
    const Escape escapes[] = {
        {"a loop", "while true do end", budget},
        {"pcall in a loop", "while true do pcall(function() while true do end end) end", budget},
        {"xpcall, its handler looping",
         "while true do xpcall(function() while true do end end, function() while true do end end) end", budget},
        {"a coroutine resumed under pcall",
         "while true do pcall(coroutine.resume, coroutine.create(function() while true do end end)) end", budget},
        {"a wrapped coroutine under pcall", "while true do pcall(coroutine.wrap(function() while true do end end)) end",
         budget},
        {"a wrapped coroutine, its variable's __close looping",
         "while true do pcall(coroutine.wrap(function() local g <close> = setmetatable({}, {__close = function() "
         "while true do end end}) while true do end end)) end",
         budget},
        {"pcall inside a coroutine",
         "coroutine.wrap(function() while true do pcall(function() while true do end end) end end)()", budget},
        {"coroutine.close, its variable's __close looping",
         "while true do local co = coroutine.create(function() local g <close> = setmetatable({}, {__close = "
         "function() while true do end end}) coroutine.yield() end) coroutine.resume(co) pcall(coroutine.close, co) end",
         budget},
        {"a to-be-closed variable looping as the error passes",
         "while true do pcall(function() local g <close> = setmetatable({}, {__close = function() while true do end "
         "end}) while true do end end) end",
         budget},
        {"load's reader looping", "while true do pcall(load, function() while true do end end) end", budget},
        {"the error caught as a value", "local e repeat e = select(2, pcall(function() while true do end end)) until false",
         budget},
        {"a slow pattern", "for i = 1, 5000 do end string.find(string.rep('a', 40), '(.-)(.-)(.-)(.-)(.-)(.-)(.-)(.-)b')",
         std::string("device.lua:4: ") + kTime},
        {"string.rep, each within the memory cap", "while true do local s = string.rep('ab', 2 * 1024 * 1024) end", time},
    };
    for (const Escape& e : escapes) {
        SCOPED_TRACE(e.what);
        Recorder host;
        auto hook = std::make_unique<LuaHook>("device.lua", Hooked(e.body), host.Host());
        Clock::duration took{};
        EXPECT_EQ(Send(*hook, "go", &took), "error|" + e.stop);
        EXPECT_LT(took, kHang);
        EXPECT_TRUE(hook->Disabled());
        EXPECT_EQ(Send(*hook, "again", &took), "error|the script is disabled: " + e.stop);
        EXPECT_LT(took, kHang);
        EXPECT_EQ(hook->OnTimer("t"), "the script is disabled: " + e.stop);
        EXPECT_EQ(hook->OnState("s"), "the script is disabled: " + e.stop);
        EXPECT_EQ(host.Sets(), std::vector<std::string>{"ran=go"}) << "nothing of the script ran after the stop";
        // A worker still stuck in C is left behind, not waited for.
        const auto start = Clock::now();
        hook.reset();
        EXPECT_LT(Clock::now() - start, kHang);
    }
}

TEST(LuaHookStops, TheTopLevelToo) {
    const struct {
        const char* what;
        const char* source;
        std::string error;
    } cases[] = {
        {"a loop under pcall", "x = 1\nwhile true do pcall(function() while true do end end) end\n",
         std::string("device.lua:2: ") + kBudget},
        {"a slow pattern", "string.find(string.rep('a', 40), '(.-)(.-)(.-)(.-)(.-)(.-)(.-)(.-)b')\n",
         std::string("device.lua: ") + kTime},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = Clock::now();
        try {
            LuaHook hook("device.lua", c.source, {});
            ADD_FAILURE() << "it loaded";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), c.error);
        }
        EXPECT_LT(Clock::now() - start, kHang);
    }
}

// The host is slow and the script calls it without end: the call is given up at its deadline
// and the script, which runs on, never reaches the host again.
TEST(LuaHookStops, AGivenUpCallNeverReachesTheHost) {
    Recorder host;
    host.setTakes = std::chrono::milliseconds(10);
    // From C, with few instructions between two host calls: the count hook comes seldom.
    LuaHook hook("device.lua", Hooked("string.gsub(string.rep('x', 100000), '.', function(c) sim.set('n', c) end)"),
                 host.Host());
    Clock::duration took{};
    EXPECT_EQ(Send(hook, "go", &took), std::string("error|device.lua: ") + kTime);
    EXPECT_LT(took, kHang);
    const std::size_t reached = host.Sets().size();
    EXPECT_GE(reached, 2u) << "the script reached the host while the call ran";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(host.Sets().size(), reached);
}

// A finalizer would run with hooks off: setmetatable refuses __gc, whatever its value, as an
// error of the script's (which goes on).
TEST(LuaHookSandbox, FinalizersAreRefused) {
    const struct {
        const char* what;
        const char* body;
    } cases[] = {
        {"a looping finalizer", "setmetatable({}, {__gc = function() while true do end end}) collectgarbage()"},
        {"a placeholder filled in later",
         "local mt = {__gc = true} setmetatable({}, mt) mt.__gc = function() while true do end end collectgarbage()"},
        {"false as a placeholder", "setmetatable({}, {__gc = false})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Recorder host;
        LuaHook hook("device.lua", Hooked(c.body), host.Host());
        const std::string error = Send(hook, "go");
        EXPECT_EQ(error.rfind("error|device.lua:4: setmetatable: __gc is refused", 0), 0u) << error;
        EXPECT_FALSE(hook.Disabled());
        EXPECT_EQ(Send(hook, "after"), "nil");
        EXPECT_EQ(host.Sets(), (std::vector<std::string>{"ran=go", "ran=after"}));
    }
}

// What a script does to `string` or tries on the strings' metatable stays out of string
// methods in its later calls.
TEST(LuaHookSandbox, StringMethodsAreNotTheScripts) {
    LuaHook hook("device.lua", R"lua(
function on_message(msg)
  if msg.text == "break" then
    string.upper = nil
    string.rep = function() return "mine" end
    local ok = pcall(function() getmetatable("").__index = {} end)
    return tostring(getmetatable("")) .. " " .. tostring(ok)
  end
  return ("x"):upper() .. ("y"):rep(2) .. tostring(string.upper)
end
)lua",
                 {});
    EXPECT_EQ(Send(hook, "break"), "false false");
    EXPECT_EQ(Send(hook, "after"), "Xyynil") << "the methods are the library's, `string` is the script's";
}

TEST(LuaHookSandbox, NoFilesNoModulesNoDebug) {
    LuaHook hook("device.lua", "function on_message(msg) return type(_ENV[msg.text]) end", {});
    for (const char* name : {"loadfile", "dofile", "require", "io", "debug", "package"})
        EXPECT_EQ(Send(hook, name), "nil") << name;
    EXPECT_EQ(Send(hook, "string"), "table") << "the lookup itself works";
}

// The guards change nothing for a script that stays within its budget.
TEST(LuaHookSandbox, TheGuardedFunctionsStillWork) {
    const struct {
        const char* what;
        const char* body;
        const char* result;
    } cases[] = {
        {"pcall catches an error", "return tostring(select(2, pcall(error, 'x', 0)))", "x"},
        {"xpcall's handler", "return select(2, xpcall(error, function(m) return 'handled ' .. m end, 'x', 0))",
         "handled x"},
        {"a yield through pcall",
         "local co = coroutine.wrap(function() pcall(coroutine.yield, 1) return 2 end) return 'got ' .. co() .. co()",
         "got 12"},
        {"resume and close",
         "local co = coroutine.create(function() coroutine.yield(1) end) local _, v = coroutine.resume(co) "
         "return v .. tostring(coroutine.close(co))",
         "1true"},
        {"an error inside a wrapped coroutine",
         "return tostring(pcall(coroutine.wrap(function() error('no', 0) end)))", "false"},
        {"setmetatable without __gc", "return setmetatable({}, {__index = {a = 'in'}}).a", "in"},
        {"load of text", "return load('return \"loaded\"')()", "loaded"},
        {"load refuses a binary chunk", "return tostring(load(string.dump(function() end)))", "nil"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LuaHook hook("device.lua", std::string("function on_message(msg) ") + c.body + " end", {});
        EXPECT_EQ(Send(hook, "go"), c.result);
        EXPECT_FALSE(hook.Disabled());
    }
}

// The host's answers reach the script, its errors come back as the script's, and an answer
// table's metamethods run within the call's protection.
TEST(LuaHookCalls, HostAndAnswers) {
    LuaHook::Host host;
    host.state = [] { return std::string("ready"); };
    host.get = [](const std::string& name) -> std::optional<std::string> {
        if (name == "user") return std::string("bob");
        return std::nullopt;
    };
    host.go = [](const std::string& name) {
        if (name == "throw") throw std::runtime_error("no such state");
    };
    LuaHook hook("device.lua", R"lua(
function on_message(msg)
  if msg.text == "get" then return sim.state() .. " " .. sim.get("user") .. " " .. tostring(sim.get("none")) end
  if msg.text == "throw" then sim.go("throw") end
  if msg.text == "meta" then return setmetatable({}, {__index = function() error("in the answer", 0) end}) end
  if msg.text == "metaloop" then return setmetatable({}, {__index = function() while true do end end}) end
end
)lua",
                 host);
    EXPECT_EQ(Send(hook, "get"), "ready bob nil");
    EXPECT_EQ(Send(hook, "throw"), "error|no such state");
    EXPECT_EQ(Send(hook, "meta"), "error|in the answer");
    EXPECT_FALSE(hook.Disabled());
    EXPECT_EQ(Send(hook, "metaloop"), std::string("error|device.lua:6: ") + kBudget);
    EXPECT_TRUE(hook.Disabled());
}

}  // namespace
