#include "scenario/lua_hook.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <lua5.4/lauxlib.h>
#include <lua5.4/lua.h>
#include <lua5.4/lualib.h>

namespace scenario {

namespace {

LuaHook*& Self(lua_State* L) {
    return *static_cast<LuaHook**>(lua_getextraspace(L));
}

std::string ToBytes(lua_State* L, int index) {
    std::size_t length = 0;
    const char* text = lua_tolstring(L, index, &length);
    return text != nullptr ? std::string(text, length) : std::string();
}

// `load` of text chunks only: a binary chunk is not checked by Lua and could break it.
int TextLoad(lua_State* L) {
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
    return lua_gettop(L) - arguments;
}

int Nothing(lua_State*) { return 0; }

}  // namespace

void* LuaHook::Allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize) {
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

void LuaHook::CountInstructions(lua_State* L, lua_Debug* where) {
    LuaHook* self = Self(L);
    self->spent_ += 1000;
    if (self->spent_ <= kInstructionBudget) return;
    // Named by the line it was on, as any other error of the script is.
    if (lua_getinfo(L, "Sl", where) != 0 && where->currentline > 0)
        luaL_error(L, "%s:%d: the script ran over its budget of %d instructions", where->short_src,
                   where->currentline, static_cast<int>(kInstructionBudget));
    luaL_error(L, "the script ran over its budget of %d instructions", static_cast<int>(kInstructionBudget));
}

LuaHook::LuaHook(const std::string& name, std::string_view source, Host host) : host_(std::move(host)) {
    L_ = lua_newstate(&LuaHook::Allocate, &memory_);
    if (L_ == nullptr) throw std::runtime_error(name + ": the script's state cannot be made");
    Self(L_) = this;
    Sandbox();
    Bind();
    lua_sethook(L_, &LuaHook::CountInstructions, LUA_MASKCOUNT, 1000);
    spent_ = 0;
    const std::string chunk = "=" + name;
    if (luaL_loadbufferx(L_, source.data(), source.size(), chunk.c_str(), "t") != LUA_OK) {
        const std::string error = ToBytes(L_, -1);
        lua_close(L_);
        L_ = nullptr;
        throw std::runtime_error(error);
    }
    if (lua_pcall(L_, 0, 0, 0) != LUA_OK) {
        const std::string error = ToBytes(L_, -1);
        lua_close(L_);
        L_ = nullptr;
        throw std::runtime_error(error);
    }
}

LuaHook::~LuaHook() {
    if (L_ != nullptr) lua_close(L_);
}

void LuaHook::Sandbox() {
    const luaL_Reg libraries[] = {{LUA_GNAME, luaopen_base},        {LUA_STRLIBNAME, luaopen_string},
                                  {LUA_TABLIBNAME, luaopen_table},  {LUA_MATHLIBNAME, luaopen_math},
                                  {LUA_UTF8LIBNAME, luaopen_utf8}, {LUA_OSLIBNAME, luaopen_os}};
    for (const luaL_Reg& library : libraries) {
        luaL_requiref(L_, library.name, library.func, 1);
        lua_pop(L_, 1);
    }
    // os: only its clocks.
    lua_getglobal(L_, "os");
    lua_newtable(L_);
    for (const char* kept : {"time", "clock"}) {
        lua_getfield(L_, -2, kept);
        lua_setfield(L_, -2, kept);
    }
    lua_setglobal(L_, "os");
    lua_pop(L_, 1);
    // No files; a script's output has nowhere to go (stdout may be the log).
    for (const char* removed : {"dofile", "loadfile", "require"}) {
        lua_pushnil(L_);
        lua_setglobal(L_, removed);
    }
    lua_pushcfunction(L_, Nothing);
    lua_setglobal(L_, "print");
    lua_getglobal(L_, "load");
    lua_pushcclosure(L_, TextLoad, 1);
    lua_setglobal(L_, "load");
    // The libraries the program did not open are gone from the registry's loaded list too.
    lua_getfield(L_, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
    lua_pushnil(L_);
    lua_setfield(L_, -2, LUA_OSLIBNAME);
    lua_pop(L_, 1);
}

void LuaHook::Bind() {
    lua_newtable(L_);
    const auto fn = [this](const char* name, lua_CFunction function) {
        lua_pushcfunction(L_, function);
        lua_setfield(L_, -2, name);
    };
    fn("state", [](lua_State* L) -> int {
        LuaHook* self = Self(L);
        const std::string state = self->host_.state ? self->host_.state() : std::string();
        lua_pushlstring(L, state.data(), state.size());
        return 1;
    });
    fn("go", [](lua_State* L) -> int {
        LuaHook* self = Self(L);
        luaL_checkstring(L, 1);
        if (self->host_.go) self->host_.go(ToBytes(L, 1));
        return 0;
    });
    fn("get", [](lua_State* L) -> int {
        LuaHook* self = Self(L);
        luaL_checkstring(L, 1);
        const auto value = self->host_.get ? self->host_.get(ToBytes(L, 1)) : std::nullopt;
        if (value) {
            lua_pushlstring(L, value->data(), value->size());
        } else {
            lua_pushnil(L);
        }
        return 1;
    });
    fn("set", [](lua_State* L) -> int {
        LuaHook* self = Self(L);
        luaL_checkstring(L, 1);
        luaL_checkany(L, 2);
        if (self->host_.set) self->host_.set(ToBytes(L, 1), ToBytes(L, 2));
        return 0;
    });
    fn("send", [](lua_State* L) -> int {
        LuaHook* self = Self(L);
        const std::string type = ToBytes(L, 1);
        if (type.size() != 1) return luaL_error(L, "sim.send: the type is one character");
        const std::string text = lua_isnoneornil(L, 2) ? std::string() : ToBytes(L, 2);
        const lua_Integer delay = luaL_optinteger(L, 3, 0);
        if (delay < 0 || delay > 3'600'000) return luaL_error(L, "sim.send: the delay is 0 to 3600000 ms");
        if (self->host_.send)
            self->host_.send(static_cast<std::uint8_t>(type[0]), text, static_cast<std::int32_t>(delay));
        return 0;
    });
    fn("start_timer", [](lua_State* L) -> int {
        LuaHook* self = Self(L);
        luaL_checkstring(L, 1);
        const lua_Integer every = luaL_checkinteger(L, 2);
        if (every < 1 || every > 3'600'000) return luaL_error(L, "sim.start_timer: every 1 to 3600000 ms");
        const bool repeat = lua_isnoneornil(L, 3) ? true : lua_toboolean(L, 3) != 0;
        if (self->host_.startTimer) self->host_.startTimer(ToBytes(L, 1), static_cast<std::int32_t>(every), repeat);
        return 0;
    });
    fn("stop_timer", [](lua_State* L) -> int {
        LuaHook* self = Self(L);
        luaL_checkstring(L, 1);
        if (self->host_.stopTimer) self->host_.stopTimer(ToBytes(L, 1));
        return 0;
    });
    lua_setglobal(L_, "sim");
}

bool LuaHook::Defines(const char* function) const {
    lua_getglobal(L_, function);
    const bool defined = lua_isfunction(L_, -1);
    lua_pop(L_, 1);
    return defined;
}

std::string LuaHook::Call(const char* function, int arguments, int results) {
    spent_ = 0;
    // The function sits below its arguments.
    lua_getglobal(L_, function);
    lua_insert(L_, -(arguments + 1));
    if (lua_pcall(L_, arguments, results, 0) == LUA_OK) return "";
    std::string error = ToBytes(L_, -1);
    if (error.empty()) error = "the script failed (error object of type " + std::string(luaL_typename(L_, -1)) + ")";
    if (error == "not enough memory")
        error = "the script ran out of memory (its cap is " + std::to_string(kMemoryCap >> 20) + " MiB)";
    lua_pop(L_, 1);
    // A call stopped midway leaves garbage; its memory is taken back before the next one.
    lua_gc(L_, LUA_GCCOLLECT);
    return error;
}

std::string LuaHook::OnMessage(std::uint8_t type, std::string_view text, std::int32_t status, Answer& answer) {
    answer = Answer{};
    if (!Defines("on_message")) return "";
    lua_createtable(L_, 0, 3);
    const char typeText = static_cast<char>(type);
    lua_pushlstring(L_, &typeText, 1);
    lua_setfield(L_, -2, "type");
    lua_pushlstring(L_, text.data(), text.size());
    lua_setfield(L_, -2, "text");
    lua_pushinteger(L_, status);
    lua_setfield(L_, -2, "status");
    std::string error = Call("on_message", 1, 1);
    if (!error.empty()) return error;
    if (lua_isstring(L_, -1) && !lua_isnumber(L_, -1)) {
        answer.decided = true;
        answer.text = ToBytes(L_, -1);
    } else if (lua_istable(L_, -1)) {
        answer.decided = true;
        lua_getfield(L_, -1, "text");
        if (!lua_isnil(L_, -1)) answer.text = ToBytes(L_, -1);
        lua_pop(L_, 1);
        lua_getfield(L_, -1, "action");
        if (!lua_isnil(L_, -1)) answer.action = ToBytes(L_, -1);
        lua_pop(L_, 1);
        lua_getfield(L_, -1, "faults");
        if (lua_istable(L_, -1)) {
            lua_pushnil(L_);
            while (lua_next(L_, -2) != 0) {
                if (lua_type(L_, -2) == LUA_TSTRING) {
                    const std::string key = ToBytes(L_, -2);
                    const std::int64_t value = lua_isboolean(L_, -1) ? lua_toboolean(L_, -1)
                                                                     : static_cast<std::int64_t>(lua_tointeger(L_, -1));
                    answer.faults[key] = value;
                }
                lua_pop(L_, 1);
            }
        }
        lua_pop(L_, 1);
    } else if (!lua_isnil(L_, -1)) {
        error = "on_message returned a " + std::string(luaL_typename(L_, -1)) + ": a text, a table or nil";
    }
    lua_pop(L_, 1);
    return error;
}

std::string LuaHook::OnTimer(const std::string& name) {
    if (!Defines("on_timer")) return "";
    lua_pushlstring(L_, name.data(), name.size());
    return Call("on_timer", 1, 0);
}

std::string LuaHook::OnState(const std::string& name) {
    if (!Defines("on_state")) return "";
    lua_pushlstring(L_, name.data(), name.size());
    return Call("on_state", 1, 0);
}

}  // namespace scenario
