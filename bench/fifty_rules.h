#pragma once

#include <string>

// 50 rules: by turns an exact text, a wildcard and an expression with captures, each for its
// own type and reading; every fifth only in the state "other".
inline std::string FiftyRules(const std::string& extra = "") {
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

// A script that sees every message first and lets the rules answer most of them.
inline const char* kEveryMessageHook =
    "seen = 0\n"
    "function on_message(msg)\n"
    "  seen = seen + 1\n"
    "  if msg.type == 'Z' then return 'script ' .. seen end\n"
    "  if string.sub(msg.text, 1, 4) == 'SAVE' then sim.set('saved', msg.text) end\n"
    "  return nil\n"
    "end\n";
