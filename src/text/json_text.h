#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Message texts are bytes; in JSON each byte n is the character U+00nn (what the window
// shows for it), so every byte value survives the trip both ways.
std::string BytesToJsonText(std::string_view bytes);
// The bytes of a UTF-8 text whose characters are all U+0000 to U+00FF; nothing otherwise.
std::optional<std::string> JsonTextToBytes(std::string_view utf8);

// What a JSON library's error says, without the library's own tag ("[json.exception.
// parse_error.101] "): the place and the fault, for a user to read.
std::string JsonErrorText(std::string_view what);

// Appends `bytes` as a JSON string literal, quotes included, each byte as its character:
// the same text a JSON library writes for BytesToJsonText(bytes), without building it first.
void AppendJsonString(std::string& out, std::string_view bytes);

// One JSON object written straight into a string, for the events that are written by the
// hundred thousand a second (the general JSON library builds a tree first). Keys are plain
// ASCII given by the program; values are escaped.
class JsonObjectWriter {
public:
    explicit JsonObjectWriter(std::string& out) : out_(out) { out_ += '{'; }
    JsonObjectWriter& Text(std::string_view key, std::string_view bytes);
    JsonObjectWriter& Int(std::string_view key, std::int64_t value);
    JsonObjectWriter& Unsigned(std::string_view key, std::uint64_t value);
    JsonObjectWriter& Bool(std::string_view key, bool value);
    JsonObjectWriter& Null(std::string_view key);
    // A value that is JSON already (an object or array written elsewhere).
    JsonObjectWriter& Json(std::string_view key, std::string_view json);
    // Closes the object; nothing may be added after it.
    void End() { out_ += '}'; }

private:
    void Key(std::string_view key);
    template <class Number>
    JsonObjectWriter& Digits(std::string_view key, Number value);
    std::string& out_;
    bool first_ = true;
};
