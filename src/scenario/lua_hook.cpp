#include "scenario/lua_hook.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include <lua5.4/lauxlib.h>
#include <lua5.4/lua.h>
#include <lua5.4/lualib.h>

// Lua reports errors with longjmp, which skips C++ destructors: wherever Lua may raise, no C++
// object with a destructor (a string, a lock) is alive in the frames it jumps over.

namespace scenario {

// One call of the script, handed to the worker: what to run and, once run, how it went.
struct LuaJob {
    enum Kind { Load, Message, Timer, State } kind = Message;
    std::string name;  // the script's (Load), the timer's or the state's
    std::string text;  // the source (Load), the message's text
    std::uint8_t type = 0;
    std::int32_t status = 0;

    std::string error;
    bool stopped = false;  // over its budget or its time
    LuaHook::Answer answer;
};

// The script's thread and what it shares with its caller. The worker thread holds it too, so it
// outlives a LuaHook that gave the worker up.
class LuaWorker {
public:
    void Serve();
    void Execute(LuaJob& job, lua_State* on, bool outer);
    // A call from a host callback, on this thread: the host's lock is let go while the script
    // runs (so that the caller can give up), and a worker cut off meanwhile never goes back.
    void RunNested(LuaJob& job);
    // Marks the script stopped, with the place it was at (`where`, else its caller's).
    void Kill(lua_State* L, lua_Debug* where, bool overBudget);

    static void* Allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize);

    // The worker thread's alone.
    struct Allocator {
        std::size_t used = 0;
        std::size_t cap = LuaHook::kMemoryCap;
    } memory;
    lua_State* L = nullptr;
    std::string chunk;  // "=device.lua", the script's chunk name
    std::int64_t spent = 0;
    bool dead = false;
    std::string stop;     // why it was stopped
    std::string scratch;  // a host's answer on its way into Lua

    // The handoff of one call, under `mutex`.
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    LuaJob job;
    bool pending = false;
    bool done = false;
    // The same two, readable without the lock: each side looks at them for a moment before
    // it sleeps, since a call usually comes back (and the next one comes) within microseconds,
    // far sooner than a sleeping thread wakes.
    std::atomic<bool> pendingSeen{false};
    std::atomic<bool> doneSeen{false};
    bool quit = false;
    bool abandoned = false;

    // The caller gave up: the count hook stops the script.
    std::atomic<bool> abort{false};
    // The script's line the count hook last saw in this call, for a call given up while in C.
    std::atomic<int> line{0};

    // The host, reached only under `hostMutex` and only until the caller gives up.
    std::mutex hostMutex;
    bool cutOff = false;
    LuaHook::Host host;
    std::unique_lock<std::mutex>* holding = nullptr;  // the lock of the host callback running
    lua_State* running = nullptr;                     // the thread (coroutine) that called it

private:
    void Load(LuaJob& job);
    void Close();
};

namespace {

// Instructions between two looks of the count hook, until the script is stopped.
constexpr int kCountEvery = 1000;

thread_local LuaWorker* tRunning = nullptr;  // the worker this thread is, if any

LuaWorker& Of(lua_State* L) {
    return **static_cast<LuaWorker**>(lua_getextraspace(L));
}

std::string ToBytes(lua_State* L, int index) {
    std::size_t length = 0;
    const char* text = lua_tolstring(L, index, &length);
    return text != nullptr ? std::string(text, length) : std::string();
}

std::string TimeUp() {
    return "the script ran over its time of " + std::to_string(LuaHook::kCallDeadline.count()) + " ms";
}

std::string ErrorText(lua_State* L, int index) {
    std::string error = ToBytes(L, index);
    if (error.empty()) error = "the script failed (error object of type " + std::string(luaL_typename(L, index)) + ")";
    if (error == "not enough memory")
        error = "the script ran out of memory (its cap is " + std::to_string(LuaHook::kMemoryCap >> 20) + " MiB)";
    return error;
}

void CountInstructions(lua_State* L, lua_Debug* where);

// Raises the stop again: from here on every count of the hook does, so nothing in the script
// gets to run or to catch it.
int Halt(lua_State* L) {
    LuaWorker& w = Of(L);
    if (!w.dead) w.Kill(L, nullptr, false);
    lua_sethook(L, &CountInstructions, LUA_MASKCOUNT, 1);
    lua_pushlstring(L, w.stop.data(), w.stop.size());
    return lua_error(L);
}

void CountInstructions(lua_State* L, lua_Debug* where) {
    LuaWorker& w = Of(L);
    if (!w.dead) {
        w.spent += kCountEvery;
        if (lua_getinfo(L, "Sl", where) != 0 && where->currentline > 0 && w.chunk == where->source)
            w.line.store(where->currentline, std::memory_order_relaxed);
        const bool overBudget = w.spent > LuaHook::kInstructionBudget;
        if (!overBudget && !w.abort.load(std::memory_order_relaxed)) return;
        w.Kill(L, where, overBudget);
    }
    Halt(L);
}

// What ran under a protected call of the script comes back here; a stopped script's error is
// raised again so that the protection does not end the stop.
int AfterProtected(lua_State* L, int, lua_KContext) {
    if (Of(L).dead) return Halt(L);
    return lua_gettop(L);
}

// pcall, xpcall, coroutine.resume and coroutine.close as the script has them: the library's
// (the upvalue), yieldable as that one is, between two checks. None runs for a stopped script:
// closing a coroutine the stop ended would run its __close with hooks off.
int Guarded(lua_State* L) {
    if (Of(L).dead) return Halt(L);
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_callk(L, lua_gettop(L) - 1, LUA_MULTRET, 0, AfterProtected);
    return AfterProtected(L, LUA_OK, 0);
}

// xpcall's message handler, passed over once the script is stopped: the stop is raised from the
// count hook, and Lua would run the handler inside the hook, with hooks off.
int Handler(lua_State* L) {
    if (Of(L).dead) return 1;  // the message as it is
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, 1);
    return 1;
}

int GuardedXpcall(lua_State* L) {
    luaL_checktype(L, 2, LUA_TFUNCTION);
    lua_pushvalue(L, 2);
    lua_pushcclosure(L, Handler, 1);
    lua_replace(L, 2);
    return Guarded(L);
}

// coroutine.wrap through the guarded resume and close (the library's closes a coroutine that
// failed itself, out of the guards' reach). Its error carries the caller's place, as the
// library's does.
constexpr char kWrap[] = R"lua(
local create, resume, close, status, error = ...
local function pass(co, ok, ...)
  if ok then return ... end
  local message = ...
  if status(co) == "dead" then
    local closed, why = close(co)
    if not closed then message = why end
  end
  error(message, 2)
end
return function(f)
  local co = create(f)
  return function(...) return pass(co, resume(co, ...)) end
end
)lua";

// Lua runs finalizers with hooks off, out of any budget's reach: a metatable with __gc is
// refused. Any value counts, since Lua marks the object by the field's presence.
int NoFinalizers(lua_State* L) {
    if (Of(L).dead) return Halt(L);
    if (lua_type(L, 2) == LUA_TTABLE) {
        lua_pushliteral(L, "__gc");
        if (lua_rawget(L, 2) != LUA_TNIL)
            return luaL_error(L, "setmetatable: __gc is refused (a finalizer runs outside the script's budget)");
        lua_pop(L, 1);
    }
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

// `load` of text chunks only: a binary chunk is not checked by Lua and could break it. A reader
// function runs under load's protection, hence the check after.
int TextLoad(lua_State* L) {
    if (Of(L).dead) return Halt(L);
    const int arguments = lua_gettop(L);
    lua_pushvalue(L, lua_upvalueindex(1));  // the original load
    lua_pushvalue(L, 1);
    lua_pushvalue(L, arguments >= 2 ? 2 : 1);
    if (arguments < 2) {
        lua_pop(L, 1);
        lua_pushliteral(L, "=(load)");
    }
    lua_pushliteral(L, "t");
    if (arguments >= 4) {
        lua_pushvalue(L, 4);
        lua_call(L, 4, LUA_MULTRET);
    } else {
        lua_call(L, 3, LUA_MULTRET);
    }
    if (Of(L).dead) return Halt(L);
    return lua_gettop(L) - arguments;
}

int Nothing(lua_State*) { return 0; }

// Reaches the host for the script with the host's lock held, unless the caller has given up on
// this call: then the script stops where it is. `reach` raises no Lua error; a C++ exception
// from the host becomes the script's error.
template <class Reach>
void ReachHost(lua_State* L, Reach&& reach) {
    LuaWorker& w = Of(L);
    bool cut = false;
    bool failed = false;
    {
        std::unique_lock<std::mutex> lock(w.hostMutex);
        if (w.cutOff) {
            cut = true;
        } else {
            std::unique_lock<std::mutex>* const outerLock = w.holding;
            lua_State* const outerThread = w.running;
            w.holding = &lock;
            w.running = L;
            try {
                reach(w.host);
            } catch (const std::exception& error) {
                w.scratch = error.what();
                failed = true;
            }
            w.holding = outerLock;
            w.running = outerThread;
        }
    }
    if (cut) Halt(L);
    if (failed) {
        lua_pushlstring(L, w.scratch.data(), w.scratch.size());
        lua_error(L);
    }
}

// The arguments are taken from Lua (which may raise) before the host is reached.
int SimState(lua_State* L) {
    LuaWorker& w = Of(L);
    ReachHost(L, [&w](LuaHook::Host& host) { w.scratch = host.state ? host.state() : std::string(); });
    lua_pushlstring(L, w.scratch.data(), w.scratch.size());
    return 1;
}

int SimGo(lua_State* L) {
    std::size_t length = 0;
    const char* name = luaL_checklstring(L, 1, &length);
    ReachHost(L, [&](LuaHook::Host& host) {
        if (host.go) host.go(std::string(name, length));
    });
    return 0;
}

int SimGet(lua_State* L) {
    std::size_t length = 0;
    const char* name = luaL_checklstring(L, 1, &length);
    LuaWorker& w = Of(L);
    bool found = false;
    ReachHost(L, [&](LuaHook::Host& host) {
        if (!host.get) return;
        std::optional<std::string> value = host.get(std::string(name, length));
        found = value.has_value();
        if (found) w.scratch = std::move(*value);
    });
    if (found) {
        lua_pushlstring(L, w.scratch.data(), w.scratch.size());
    } else {
        lua_pushnil(L);
    }
    return 1;
}

int SimSet(lua_State* L) {
    std::size_t nameLength = 0;
    const char* name = luaL_checklstring(L, 1, &nameLength);
    luaL_checkany(L, 2);
    std::size_t valueLength = 0;
    const char* value = lua_tolstring(L, 2, &valueLength);  // a table or a boolean is ""
    ReachHost(L, [&](LuaHook::Host& host) {
        if (host.set)
            host.set(std::string(name, nameLength), value != nullptr ? std::string(value, valueLength) : std::string());
    });
    return 0;
}

int SimSend(lua_State* L) {
    std::size_t typeLength = 0;
    const char* type = lua_tolstring(L, 1, &typeLength);
    if (type == nullptr || typeLength != 1) return luaL_error(L, "sim.send: the type is one character");
    std::size_t textLength = 0;
    const char* text = lua_isnoneornil(L, 2) ? "" : lua_tolstring(L, 2, &textLength);
    const lua_Integer delay = luaL_optinteger(L, 3, 0);
    if (delay < 0 || delay > 3'600'000) return luaL_error(L, "sim.send: the delay is 0 to 3600000 ms");
    ReachHost(L, [&](LuaHook::Host& host) {
        if (host.send)
            host.send(static_cast<std::uint8_t>(type[0]), text != nullptr ? std::string(text, textLength) : std::string(),
                      static_cast<std::int32_t>(delay));
    });
    return 0;
}

int SimStartTimer(lua_State* L) {
    std::size_t length = 0;
    const char* name = luaL_checklstring(L, 1, &length);
    const lua_Integer every = luaL_checkinteger(L, 2);
    if (every < 1 || every > 3'600'000) return luaL_error(L, "sim.start_timer: every 1 to 3600000 ms");
    const bool repeat = lua_isnoneornil(L, 3) ? true : lua_toboolean(L, 3) != 0;
    ReachHost(L, [&](LuaHook::Host& host) {
        if (host.startTimer) host.startTimer(std::string(name, length), static_cast<std::int32_t>(every), repeat);
    });
    return 0;
}

int SimStopTimer(lua_State* L) {
    std::size_t length = 0;
    const char* name = luaL_checklstring(L, 1, &length);
    ReachHost(L, [&](LuaHook::Host& host) {
        if (host.stopTimer) host.stopTimer(std::string(name, length));
    });
    return 0;
}

// Replaces the field `name` of the table on top with `wrapper`, the old value its upvalue.
void WrapField(lua_State* L, const char* name, lua_CFunction wrapper) {
    lua_getfield(L, -1, name);
    lua_pushcclosure(L, wrapper, 1);
    lua_setfield(L, -2, name);
}

// The sandbox and `sim`, under a protected call (opening the libraries may run out of memory).
int Prepare(lua_State* L) {
    const luaL_Reg libraries[] = {{LUA_GNAME, luaopen_base},        {LUA_STRLIBNAME, luaopen_string},
                                  {LUA_TABLIBNAME, luaopen_table},  {LUA_MATHLIBNAME, luaopen_math},
                                  {LUA_UTF8LIBNAME, luaopen_utf8}, {LUA_OSLIBNAME, luaopen_os},
                                  {LUA_COLIBNAME, luaopen_coroutine}};
    for (const luaL_Reg& library : libraries) {
        luaL_requiref(L, library.name, library.func, 1);
        lua_pop(L, 1);
    }
    // os: only its clocks.
    lua_getglobal(L, "os");
    lua_newtable(L);
    for (const char* kept : {"time", "clock"}) {
        lua_getfield(L, -2, kept);
        lua_setfield(L, -2, kept);
    }
    lua_setglobal(L, "os");
    lua_pop(L, 1);
    // No files; a script's output has nowhere to go (stdout may be the log).
    for (const char* removed : {"dofile", "loadfile", "require"}) {
        lua_pushnil(L);
        lua_setglobal(L, removed);
    }
    lua_pushcfunction(L, Nothing);
    lua_setglobal(L, "print");
    // What could catch a stopped script's error, or run outside its budget.
    lua_pushglobaltable(L);
    WrapField(L, "load", TextLoad);
    WrapField(L, "pcall", Guarded);
    WrapField(L, "xpcall", GuardedXpcall);
    WrapField(L, "setmetatable", NoFinalizers);
    lua_pop(L, 1);
    lua_getglobal(L, "coroutine");
    WrapField(L, "resume", Guarded);
    WrapField(L, "close", Guarded);
    const int coroutines = lua_gettop(L);
    if (luaL_loadbufferx(L, kWrap, sizeof kWrap - 1, "=(coroutine.wrap)", "t") != LUA_OK) return lua_error(L);
    for (const char* used : {"create", "resume", "close", "status"}) lua_getfield(L, coroutines, used);
    lua_getglobal(L, "error");
    lua_call(L, 5, 1);
    lua_setfield(L, coroutines, "wrap");
    lua_pop(L, 1);
    // Strings' methods come from a copy of the library the script cannot reach, and their
    // metatable is hidden: what a script does to `string` stays in that table.
    lua_pushliteral(L, "");
    lua_getmetatable(L, -1);
    lua_newtable(L);
    lua_getglobal(L, "string");
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
        lua_pushvalue(L, -2);
        lua_insert(L, -2);
        lua_rawset(L, -5);
    }
    lua_pop(L, 1);
    lua_setfield(L, -2, "__index");
    lua_pushboolean(L, 0);
    lua_setfield(L, -2, "__metatable");
    lua_pop(L, 2);
    // The libraries the program did not open are gone from the registry's loaded list too.
    lua_getfield(L, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
    lua_pushnil(L);
    lua_setfield(L, -2, LUA_OSLIBNAME);
    lua_pop(L, 1);

    const luaL_Reg sim[] = {{"state", SimState},
                            {"go", SimGo},
                            {"get", SimGet},
                            {"set", SimSet},
                            {"send", SimSend},
                            {"start_timer", SimStartTimer},
                            {"stop_timer", SimStopTimer},
                            {nullptr, nullptr}};
    luaL_newlib(L, sim);
    lua_setglobal(L, "sim");
    return 0;
}

void ReadAnswer(lua_State* L, LuaJob& job) {
    LuaHook::Answer& answer = job.answer;
    if (lua_isstring(L, -1) && !lua_isnumber(L, -1)) {
        answer.decided = true;
        answer.text = ToBytes(L, -1);
    } else if (lua_istable(L, -1)) {
        answer.decided = true;
        lua_getfield(L, -1, "text");
        if (!lua_isnil(L, -1)) answer.text = ToBytes(L, -1);
        lua_pop(L, 1);
        lua_getfield(L, -1, "action");
        if (!lua_isnil(L, -1)) answer.action = ToBytes(L, -1);
        lua_pop(L, 1);
        lua_getfield(L, -1, "faults");
        if (lua_istable(L, -1)) {
            lua_pushnil(L);
            while (lua_next(L, -2) != 0) {
                if (lua_type(L, -2) == LUA_TSTRING) {
                    std::size_t length = 0;
                    const char* key = lua_tolstring(L, -2, &length);
                    const std::int64_t value = lua_isboolean(L, -1) ? lua_toboolean(L, -1)
                                                                    : static_cast<std::int64_t>(lua_tointeger(L, -1));
                    answer.faults[std::string(key, length)] = value;
                }
                lua_pop(L, 1);
            }
        }
        lua_pop(L, 1);
    } else if (!lua_isnil(L, -1)) {
        job.error = "on_message returned a " + std::string(luaL_typename(L, -1)) + ": a text, a table or nil";
    }
    lua_pop(L, 1);
}

// One call, its answer read too, under a protected call: reading it may run the script's
// metamethods.
int Protected(lua_State* L) {
    LuaJob& job = *static_cast<LuaJob*>(lua_touserdata(L, 1));
    const char* function = job.kind == LuaJob::Message ? "on_message"
                           : job.kind == LuaJob::Timer ? "on_timer"
                                                       : "on_state";
    if (lua_getglobal(L, function) != LUA_TFUNCTION) return 0;
    if (job.kind != LuaJob::Message) {
        lua_pushlstring(L, job.name.data(), job.name.size());
        lua_call(L, 1, 0);
        return 0;
    }
    lua_createtable(L, 0, 3);
    const char typeText = static_cast<char>(job.type);
    lua_pushlstring(L, &typeText, 1);
    lua_setfield(L, -2, "type");
    lua_pushlstring(L, job.text.data(), job.text.size());
    lua_setfield(L, -2, "text");
    lua_pushinteger(L, job.status);
    lua_setfield(L, -2, "status");
    lua_call(L, 1, 1);
    ReadAnswer(L, job);
    return 0;
}

// A worker cut off inside a host callback: going back would reach the host, and unwinding the
// host's frames is not Lua's to do. It waits here for good, its state with it.
[[noreturn]] void Park() {
    std::mutex never;
    std::condition_variable nobody;
    std::unique_lock<std::mutex> lock(never);
    for (;;) nobody.wait(lock);
}

}  // namespace

void* LuaWorker::Allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize) {
    auto* memory = static_cast<Allocator*>(self);
    const std::size_t old = block != nullptr ? oldSize : 0;
    if (newSize == 0) {
        std::free(block);
        memory->used -= old;
        return nullptr;
    }
    if (newSize > old && memory->used - old + newSize > memory->cap) return nullptr;
    void* grown = std::realloc(block, newSize);
    if (grown != nullptr) memory->used = memory->used - old + newSize;
    return grown;
}

void LuaWorker::Kill(lua_State* L, lua_Debug* where, bool overBudget) {
    dead = true;
    lua_Debug caller;
    if (where == nullptr && lua_getstack(L, 1, &caller) != 0) where = &caller;
    // Named by the line it was on, as any other error of the script is.
    std::string at;
    if (where != nullptr && lua_getinfo(L, "Sl", where) != 0 && where->currentline > 0)
        at = std::string(where->short_src) + ":" + std::to_string(where->currentline) + ": ";
    stop = at + (overBudget ? "the script ran over its budget of " + std::to_string(LuaHook::kInstructionBudget) +
                                  " instructions"
                            : TimeUp());
}

namespace {

// Looks at `flag` for up to 50 µs, giving way to other threads meanwhile.
void BrieflyAwait(const std::atomic<bool>& flag) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    while (!flag.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
}

}  // namespace

void LuaWorker::Serve() {
    tRunning = this;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (!pending && !quit) {
            lock.unlock();
            BrieflyAwait(pendingSeen);
            lock.lock();
        }
        wake.wait(lock, [this] { return pending || quit; });
        if (!pending) break;
        pending = false;
        pendingSeen.store(false, std::memory_order_relaxed);
        lock.unlock();
        Execute(job, L, true);
        lock.lock();
        done = true;
        doneSeen.store(true, std::memory_order_release);
        if (abandoned) break;
        finished.notify_one();
    }
    lock.unlock();
    if (L != nullptr) Close();
}

void LuaWorker::Close() {
    lua_sethook(L, nullptr, 0, 0);
    lua_close(L);
    L = nullptr;
}

void LuaWorker::Load(LuaJob& job) {
    chunk = "=" + job.name;
    L = lua_newstate(&LuaWorker::Allocate, &memory);
    if (L == nullptr) {
        job.error = job.name + ": the script's state cannot be made";
        return;
    }
    *static_cast<LuaWorker**>(lua_getextraspace(L)) = this;
    lua_pushcfunction(L, Prepare);
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) {
        job.error = ErrorText(L, -1);
        Close();
        return;
    }
    lua_sethook(L, &CountInstructions, LUA_MASKCOUNT, kCountEvery);
    spent = 0;
    line.store(0, std::memory_order_relaxed);
    if (luaL_loadbufferx(L, job.text.data(), job.text.size(), chunk.c_str(), "t") != LUA_OK ||
        lua_pcall(L, 0, 0, 0) != LUA_OK) {
        job.stopped = dead;
        job.error = dead ? stop : ErrorText(L, -1);
        Close();
    }
}

void LuaWorker::Execute(LuaJob& job, lua_State* on, bool outer) {
    if (job.kind == LuaJob::Load) {
        Load(job);
        return;
    }
    if (dead) {
        job.error = stop;
        job.stopped = true;
        return;
    }
    if (outer) {
        spent = 0;
        line.store(0, std::memory_order_relaxed);
    }
    lua_pushcfunction(on, Protected);
    lua_pushlightuserdata(on, &job);
    const int status = lua_pcall(on, 1, 0, 0);
    if (dead) {
        job.error = stop;
        job.stopped = true;
    } else if (status != LUA_OK) {
        job.error = ErrorText(on, -1);
    }
    if (status != LUA_OK) {
        lua_pop(on, 1);
        // A call stopped midway leaves garbage; its memory is taken back before the next one.
        if (outer && !dead) lua_gc(on, LUA_GCCOLLECT);
    }
}

void LuaWorker::RunNested(LuaJob& job) {
    std::unique_lock<std::mutex>* const held = holding;
    lua_State* const on = running != nullptr ? running : L;
    if (held != nullptr) held->unlock();
    Execute(job, on, false);
    if (held != nullptr) {
        held->lock();
        if (cutOff) {
            held->unlock();
            Park();
        }
    }
}

LuaHook::LuaHook(const std::string& name, std::string_view source, Host host)
    : name_(name), worker_(std::make_shared<LuaWorker>()) {
    worker_->host = std::move(host);
    thread_ = std::thread([worker = worker_] { worker->Serve(); });
    LuaJob job;
    job.kind = LuaJob::Load;
    job.name = name;
    job.text.assign(source.data(), source.size());
    Run(job);
    if (!job.error.empty()) {
        if (thread_.joinable()) Stop();
        throw std::runtime_error(job.error);
    }
}

LuaHook::~LuaHook() {
    if (thread_.joinable()) Stop();
}

void LuaHook::Stop() {
    {
        std::lock_guard<std::mutex> lock(worker_->mutex);
        worker_->quit = true;
    }
    worker_->wake.notify_one();
    thread_.join();
}

void LuaHook::Run(LuaJob& job) {
    if (Disabled()) {
        job.error = "the script is disabled: " + stopped_;
        return;
    }
    LuaWorker& w = *worker_;
    if (tRunning == &w) {
        w.RunNested(job);
        if (job.stopped) stopped_ = job.error;
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + kCallDeadline;
    std::unique_lock<std::mutex> lock(w.mutex);
    w.job = std::move(job);
    w.done = false;
    w.doneSeen.store(false, std::memory_order_relaxed);
    w.pending = true;
    w.pendingSeen.store(true, std::memory_order_release);
    w.wake.notify_one();
    lock.unlock();
    BrieflyAwait(w.doneSeen);
    lock.lock();
    if (w.finished.wait_until(lock, deadline, [&w] { return w.done; })) {
        job = std::move(w.job);
        if (job.stopped) stopped_ = job.error;
        return;
    }
    w.abandoned = true;
    w.abort.store(true, std::memory_order_relaxed);
    lock.unlock();
    Abandon();
    const int line = w.line.load(std::memory_order_relaxed);
    job = LuaJob{};
    job.error = name_ + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + TimeUp();
    job.stopped = true;
    stopped_ = job.error;
}

void LuaHook::Abandon() {
    {
        // Waits out a host callback in progress; none starts after this.
        std::lock_guard<std::mutex> lock(worker_->hostMutex);
        worker_->cutOff = true;
        worker_->host = Host{};
    }
    // A C function that does not give way keeps its thread busy: only when the link's have
    // nothing to do.
    sched_param idle{};
    pthread_setschedparam(thread_.native_handle(), SCHED_IDLE, &idle);
    thread_.detach();
}

std::string LuaHook::OnMessage(std::uint8_t type, std::string_view text, std::int32_t status, Answer& answer) {
    LuaJob job;
    job.kind = LuaJob::Message;
    job.type = type;
    job.text.assign(text.data(), text.size());
    job.status = status;
    Run(job);
    answer = job.error.empty() ? std::move(job.answer) : Answer{};
    return job.error;
}

std::string LuaHook::OnTimer(const std::string& name) {
    LuaJob job;
    job.kind = LuaJob::Timer;
    job.name = name;
    Run(job);
    return job.error;
}

std::string LuaHook::OnState(const std::string& name) {
    LuaJob job;
    job.kind = LuaJob::State;
    job.name = name;
    Run(job);
    return job.error;
}

}  // namespace scenario
