#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/prefs.h"

// The configuration file's contents, both ways. Pure text in and out; Preferences does the
// file handling around them.

// A value the file held that was replaced by its default.
struct SettingWarning {
    std::string setting;  // as the file has it: "Baud=9600"
    std::string text;     // "[Comm] Baud=9600 is out of its range 0 to 7; the default 3 is used"
};

// Every key in `content`; a missing key or a value that does not decode gives the default.
// A link setting out of its range gives the default too, and a warning naming the key is
// added to `warnings` when given. Never fails, whatever the content.
Prefs ReadPrefs(std::string_view content, std::vector<SettingWarning>* warnings = nullptr);

// `content` with all keys of `prefs` written into it, in file order: texts in backquotes,
// integers in decimal. Lines the program does not know stay as they are, and so does a link
// setting out of its range while it still holds the default it was read as: the file keeps
// what the user wrote until the setting is changed.
std::string WritePrefs(std::string_view content, const Prefs& prefs);

// The longest text a value reads back as.
inline constexpr std::size_t kMaxValueText = 2047;

// A value as it stands after the "=" (blanks removed) decoded as a text: enclosing quotation
// marks, then enclosing backquotes, are removed; the result is cut to kMaxValueText.
std::string DecodeTextValue(std::string_view value);

// A value decoded as an integer: decimal with an optional sign, or hexadecimal after "0x",
// "0X" or "$" (up to 32 bits, taken as two's complement). Nothing for anything else.
std::optional<std::int32_t> DecodeIntValue(std::string_view value);

// A text as it is written: in backquotes. An LF would end the line early and turn the rest
// of the text into lines of its own, so LF bytes are left out.
std::string EncodeTextValue(std::string_view text);
