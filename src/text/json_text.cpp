#include "text/json_text.h"

#include <charconv>

std::string BytesToJsonText(std::string_view bytes) {
    std::string utf8;
    utf8.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

std::optional<std::string> JsonTextToBytes(std::string_view utf8) {
    std::string bytes;
    bytes.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            bytes += static_cast<char>(lead);
            continue;
        }
        // Only U+0080..U+00FF have a byte: lead 0xC2 or 0xC3 and one continuation byte.
        if ((lead != 0xC2 && lead != 0xC3) || i + 1 >= utf8.size()) return std::nullopt;
        const auto next = static_cast<unsigned char>(utf8[++i]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        bytes += static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F));
    }
    return bytes;
}

namespace {

// Bytes that a JSON string holds as they are: printable ASCII but the quote and the backslash.
constexpr bool Plain(unsigned char byte) {
    return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\';
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view bytes) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Runs of plain bytes, nearly all of a message text, go in one piece.
        std::size_t run = i;
        while (run < bytes.size() && Plain(static_cast<unsigned char>(bytes[run]))) ++run;
        out.append(bytes.data() + i, run - i);
        if (run == bytes.size()) break;
        const auto byte = static_cast<unsigned char>(bytes[run]);
        i = run + 1;
        if (byte >= 0x80) {
            const char utf8[2] = {static_cast<char>(0xC0 | (byte >> 6)),
                                  static_cast<char>(0x80 | (byte & 0x3F))};
            out.append(utf8, 2);
            continue;
        }
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                const char escape[6] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 15]};
                out.append(escape, 6);
            }
        }
    }
    out += '"';
}

void JsonObjectWriter::Key(std::string_view key) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += key;
    out_ += "\":";
}

JsonObjectWriter& JsonObjectWriter::Text(std::string_view key, std::string_view bytes) {
    Key(key);
    AppendJsonString(out_, bytes);
    return *this;
}

template <class Number>
JsonObjectWriter& JsonObjectWriter::Digits(std::string_view key, Number value) {
    Key(key);
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.append(digits, end);
    return *this;
}

JsonObjectWriter& JsonObjectWriter::Int(std::string_view key, std::int64_t value) {
    return Digits(key, value);
}

JsonObjectWriter& JsonObjectWriter::Unsigned(std::string_view key, std::uint64_t value) {
    return Digits(key, value);
}

JsonObjectWriter& JsonObjectWriter::Bool(std::string_view key, bool value) {
    Key(key);
    out_ += value ? "true" : "false";
    return *this;
}

JsonObjectWriter& JsonObjectWriter::Null(std::string_view key) {
    Key(key);
    out_ += "null";
    return *this;
}

JsonObjectWriter& JsonObjectWriter::Json(std::string_view key, std::string_view json) {
    Key(key);
    out_ += json;
    return *this;
}

std::string JsonErrorText(std::string_view what) {
    if (what.rfind("[json.exception.", 0) == 0) {
        const std::size_t end = what.find("] ");
        if (end != std::string_view::npos) what.remove_prefix(end + 2);
    }
    return std::string(what);
}
