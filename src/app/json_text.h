#pragma once

#include <optional>
#include <string>
#include <string_view>

// Message texts are bytes; in JSON each byte n is the character U+00nn (what the window
// shows for it), so every byte value survives the trip both ways.
std::string BytesToJsonText(std::string_view bytes);
// The bytes of a UTF-8 text whose characters are all U+0000 to U+00FF; nothing otherwise.
std::optional<std::string> JsonTextToBytes(std::string_view utf8);
