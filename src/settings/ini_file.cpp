#include "settings/ini_file.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// [begin, end) of `text` without blanks at either end.
std::pair<std::size_t, std::size_t> TrimRange(std::string_view text, std::size_t begin,
                                              std::size_t end) {
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return {begin, end};
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The line without the CR of a CRLF ending.
std::string_view Content(std::string_view raw) {
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    return raw;
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

IniFile::IniFile(std::string_view content) {
    // Some editors begin a file with a UTF-8 byte order mark; it does not belong to the first
    // line, and Text() writes it back.
    if (content.starts_with(kUtf8Bom)) {
        bom_ = true;
        content.remove_prefix(kUtf8Bom.size());
    }
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find('\n', pos);
        if (end == std::string_view::npos) end = content.size();
        std::string raw(content.substr(pos, end - pos));
        if (pos == 0) crlf_ = !raw.empty() && raw.back() == '\r';
        pos = end + 1;

        const std::string_view text = Content(raw);
        const auto [begin, stop] = TrimRange(text, 0, text.size());
        if (begin < stop && text[begin] == '[') {
            // A header without "]" names the rest of the line.
            std::size_t close = text.find(']', begin + 1);
            if (close == std::string_view::npos) close = stop;
            const auto [nameBegin, nameEnd] = TrimRange(text, begin + 1, close);
            Section section;
            section.name.assign(text.substr(nameBegin, nameEnd - nameBegin));
            section.header = true;
            section.headerRaw = std::move(raw);
            sections_.push_back(std::move(section));
        } else {
            sections_.back().lines.push_back(ParseLine(std::move(raw)));
        }
    }
}

IniFile::Line IniFile::ParseLine(std::string raw) {
    Line line;
    line.raw = std::move(raw);
    const std::string_view text = Content(line.raw);
    const std::size_t equals = text.find('=');
    if (equals != std::string_view::npos) {
        line.isKey = true;
        const auto [keyBegin, keyEnd] = TrimRange(text, 0, equals);
        const auto [valueBegin, valueEnd] = TrimRange(text, equals + 1, text.size());
        line.keyBegin = keyBegin;
        line.keyLength = keyEnd - keyBegin;
        line.valueBegin = valueBegin;
        line.valueLength = valueEnd - valueBegin;
    }
    return line;
}

std::optional<IniFile::Where> IniFile::Locate(std::string_view section,
                                              std::string_view key) const {
    for (std::size_t s = 0; s < sections_.size(); ++s) {
        if (!sections_[s].header || !EqualNoCase(sections_[s].name, section)) continue;
        const auto& lines = sections_[s].lines;
        for (std::size_t l = 0; l < lines.size(); ++l) {
            const Line& line = lines[l];
            if (line.isKey &&
                EqualNoCase(std::string_view(line.raw).substr(line.keyBegin, line.keyLength), key)) {
                return Where{s, l};
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> IniFile::Find(std::string_view section,
                                              std::string_view key) const {
    const auto where = Locate(section, key);
    if (!where) return std::nullopt;
    const Line& line = sections_[where->section].lines[where->line];
    return std::string_view(line.raw).substr(line.valueBegin, line.valueLength);
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    std::string raw;
    raw.reserve(key.size() + value.size() + 2);
    raw.append(key).append("=").append(value);
    if (crlf_) raw.push_back('\r');
    Line line = ParseLine(std::move(raw));

    if (const auto where = Locate(section, key)) {
        sections_[where->section].lines[where->line] = std::move(line);
        return;
    }
    for (Section& existing : sections_) {
        if (!existing.header || !EqualNoCase(existing.name, section)) continue;
        // After the last key line, so that comments closing the section stay below it.
        std::size_t at = existing.lines.size();
        while (at > 0 && !existing.lines[at - 1].isKey) --at;
        existing.lines.insert(existing.lines.begin() + static_cast<std::ptrdiff_t>(at),
                              std::move(line));
        return;
    }
    Section added;
    added.name.assign(section);
    added.header = true;
    added.headerRaw.append("[").append(section).append("]");
    if (crlf_) added.headerRaw.push_back('\r');
    added.lines.push_back(std::move(line));
    sections_.push_back(std::move(added));
}

std::string IniFile::Text() const {
    std::string text(bom_ ? kUtf8Bom : std::string_view());
    for (const Section& section : sections_) {
        if (section.header) text.append(section.headerRaw).push_back('\n');
        for (const Line& line : section.lines) text.append(line.raw).push_back('\n');
    }
    return text;
}
