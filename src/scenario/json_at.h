#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scenario/scenario.h"
#include "settings/prefs.h"
#include "text/json_text.h"

// Reading a JSON document field by field, every refusal naming its place as a JSON pointer
// ("/rules/2/text: must be a string"): the scenario reader and the other readers of this
// program's JSON files share it.
namespace scenario {

using nlohmann::json;

// A JSON value and where it stands in the file, for messages.
struct At {
    const json& value;
    std::string path;

    At operator[](const std::string& key) const { return {value.at(key), path + "/" + key}; }
    At operator[](std::size_t index) const { return {value.at(index), path + "/" + std::to_string(index)}; }
    bool Has(const char* key) const { return value.is_object() && value.contains(key); }
    [[noreturn]] void Fail(const std::string& what) const {
        throw ScenarioError((path.empty() ? "/" : path) + ": " + what);
    }
    // Refuses a key that `known` does not take.
    template <class Known>
    void KeysWhere(Known&& known) const {
        if (!value.is_object()) Fail("must be an object");
        for (const auto& [key, unused] : value.items())
            if (!known(key)) Fail("unknown field '" + key + "'");
    }
    void Keys(std::initializer_list<const char*> allowed) const {
        KeysWhere([allowed](const std::string& key) {
            return std::find(allowed.begin(), allowed.end(), key) != allowed.end();
        });
    }
    std::string Text() const {
        if (!value.is_string()) Fail("must be a string");
        const auto bytes = JsonTextToBytes(value.get_ref<const std::string&>());
        if (!bytes) Fail("holds a character above U+00FF");
        return *bytes;
    }
    std::int64_t Number(std::int64_t low, std::int64_t high) const {
        if (!value.is_number_integer()) Fail("must be a whole number");
        const auto n = value.get<std::int64_t>();
        if (n < low || n > high)
            Fail("must be " + std::to_string(low) + " to " + std::to_string(high));
        return n;
    }
    bool Bool() const {
        if (!value.is_boolean()) Fail("must be true or false");
        return value.get<bool>();
    }
    std::uint8_t Type() const {
        const std::string type = Text();
        if (type.size() != 1) Fail("a message type is one character");
        return static_cast<std::uint8_t>(type[0]);
    }
    // A string, or an array of strings.
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        if (value.is_array()) {
            for (std::size_t i = 0; i < value.size(); ++i) out.push_back((*this)[i].Text());
        } else {
            out.push_back(Text());
        }
        return out;
    }
};

// A reply action's name (Normal, NAK Error, ...) as its AnswerAction bits.
std::int32_t ReadActions(const At& at);
// A faults object: each field of ReplyFaultFields() within its range.
ReplyFaults ReadFaults(const At& at);

}  // namespace scenario
