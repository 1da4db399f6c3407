#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An INI text kept line by line, so that writing keys leaves every other line (comments,
// unknown keys and sections, garbage) exactly as it was. Section and key names compare
// without regard to ASCII case and without the blanks around them. Lines end at LF; a CR
// before the LF belongs to the line ending, and the lines this class writes copy the file's
// ending (CRLF when its first line has one). A UTF-8 byte order mark at the start is not
// part of the first line and is kept.
class IniFile {
public:
    IniFile() = default;
    explicit IniFile(std::string_view content);

    // The value of the first `key` in the sections named `section`, in file order, without
    // the blanks around it; nothing when no such key exists. A name that occurs twice reads
    // as one section, so a key in a later duplicate is still found.
    std::optional<std::string_view> Find(std::string_view section, std::string_view key) const;

    // Writes `key`=`value`: over the line Find would read, else after the last key line of
    // the first section of that name, else in a new section at the end. `value` must not
    // hold an LF, which would split the line.
    void Set(std::string_view section, std::string_view key, std::string_view value);

    std::string Text() const;

private:
    struct Line {
        std::string raw;       // as in the file, without the LF
        bool isKey = false;    // holds "=" and is not a section header
        std::size_t keyBegin = 0, keyLength = 0;    // the key, blanks excluded
        std::size_t valueBegin = 0, valueLength = 0;  // the value, blanks excluded
    };
    struct Section {
        std::string name;    // blanks excluded; empty for the lines before the first header
        bool header = false;  // false only for the lines before the first header
        std::string headerRaw;
        std::vector<Line> lines;
    };

    struct Where {
        std::size_t section, line;
    };

    static Line ParseLine(std::string raw);
    std::optional<Where> Locate(std::string_view section, std::string_view key) const;

    std::vector<Section> sections_{Section{}};
    bool crlf_ = false;
    bool bom_ = false;  // the text began with a UTF-8 byte order mark
};

// True when both names are equal apart from ASCII case.
bool EqualNoCase(std::string_view a, std::string_view b);
