#include "api/api_fields.h"

#include "text/integer.h"
#include "text/json_text.h"

namespace api {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A query part with %XX and '+' undone: UTF-8, as a browser or curl sends it. Nothing when a
// '%' is not followed by two hexadecimal digits.
std::optional<std::string> Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) return std::nullopt;
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::string Dump(const json& body) {
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

ApiResponse Json(int status, const json& body) {
    ApiResponse response;
    response.status = status;
    response.body = Dump(body);
    return response;
}

ApiResponse Error(int status, const std::string& code, const std::string& text, const std::string& field) {
    ApiResponse response;
    response.status = status;
    response.body = ApiErrorBody(code, text, field);
    return response;
}

ApiResponse NoContent() {
    ApiResponse response;
    response.status = 204;
    return response;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

QueryFields Query(std::string_view query) {
    QueryFields fields;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (!pair.empty()) {
            const std::string_view rawKey = pair.substr(0, eq);
            const std::optional<std::string> key = Unescape(rawKey);
            const std::optional<std::string> value =
                eq == std::string_view::npos ? std::optional<std::string>("") : Unescape(pair.substr(eq + 1));
            const std::string field = key ? *key : std::string(rawKey);
            if (!key || !value)
                throw ApiError(400, "invalid_value",
                               "The parameter '" + field + "' holds a '%' that is not followed by two hexadecimal digits.",
                               field);
            fields[*key] = *value;
        }
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    }
    return fields;
}

void OnlyParameters(const QueryFields& query, std::initializer_list<const char*> names) {
    for (const auto& [key, value] : query) {
        bool known = false;
        for (const char* name : names) known = known || key == name;
        if (!known)
            throw ApiError(400, "unknown_field", "Unknown parameter '" + key + "'.", key);
    }
}

std::uint64_t QueryNumber(const QueryFields& query, const std::string& name, std::uint64_t fallback,
                          std::uint64_t low, std::uint64_t high) {
    const auto it = query.find(name);
    if (it == query.end()) return fallback;
    const auto value = ParseUnsigned(it->second);
    if (!value)
        throw ApiError(400, "invalid_value", "'" + it->second + "' is not a valid integer value",
                       name);
    if (*value < low || *value > high)
        throw ApiError(400, "out_of_range",
                       name + " must be " + std::to_string(low) + " to " + std::to_string(high) + ".",
                       name);
    return *value;
}

std::string QueryBytes(const QueryFields& query, const std::string& name) {
    const auto it = query.find(name);
    if (it == query.end()) return "";
    const auto bytes = JsonTextToBytes(it->second);
    if (!bytes)
        throw ApiError(400, "invalid_value", name + " holds a character above U+00FF.", name);
    return *bytes;
}

json Body(const ApiRequest& request) {
    if (request.body.empty()) return json::object();
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) throw ApiError(400, "invalid_json", "The body is not valid JSON.");
    if (!body.is_object()) throw ApiError(400, "invalid_json", "The body must be a JSON object.");
    return body;
}

// Refuses a field it does not know; `prefix` names the object in error fields ("replies[2].").
void OnlyFields(const json& body, std::initializer_list<const char*> names, const std::string& prefix) {
    for (const auto& [key, value] : body.items()) {
        bool known = false;
        for (const char* name : names) known = known || key == name;
        // The key is UTF-8 from the request: told back as it came.
        if (!known)
            throw ApiError(400, "unknown_field", "Unknown field '" + key + "'.", prefix + key);
    }
}

std::string Bytes(const json& value, const std::string& field) {
    if (!value.is_string())
        throw ApiError(400, "invalid_type", field + " must be a string.", field);
    auto bytes = JsonTextToBytes(value.get_ref<const std::string&>());
    if (!bytes) throw ApiError(400, "invalid_value", field + " holds a character above U+00FF.", field);
    return *bytes;
}

// A whole number: a JSON number within 32 bits. A text is refused, even one that holds a
// number: a client that sends "5100" has a fault of its own that it should hear of. (The
// rows' count and delay are texts, as the window keeps them: RowFieldText.)
std::int32_t Integer(const json& value, const std::string& field) {
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number >= INT32_MIN && number <= INT32_MAX) return static_cast<std::int32_t>(number);
        throw ApiError(400, "out_of_range", field + " is too large.", field);
    }
    if (value.is_number())
        throw ApiError(400, "invalid_value", "'" + value.dump() + "' is not a valid integer value",
                       field);
    throw ApiError(400, "invalid_type", field + " must be a number.", field);
}

std::int32_t Ranged(const json& value, const std::string& field, std::int32_t low, std::int32_t high) {
    const std::int32_t number = Integer(value, field);
    if (number < low || number > high)
        throw ApiError(400, "out_of_range",
                       field + " must be " + std::to_string(low) + " to " + std::to_string(high) + ".",
                       field);
    return number;
}

std::int32_t Ranged(const json& value, const std::string& field, const ValueRange& range) {
    return Ranged(value, field, static_cast<std::int32_t>(range.low), static_cast<std::int32_t>(range.high));
}

bool Flag(const json& value, const std::string& field) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number_integer() && (value == 0 || value == 1)) return value == 1;
    throw ApiError(400, "invalid_type", field + " must be true or false.", field);
}

// A message type: one character, or none.
std::string TypeField(const json& value, const std::string& field) {
    std::string type = Bytes(value, field);
    if (type.size() > 1)
        throw ApiError(400, "invalid_value", "The message type is one character.", field);
    return type;
}

// Count and delay of a row: a number, or a text as typed (the window keeps the text).
std::string RowFieldText(const json& value, const std::string& field) {
    if (value.is_number_integer()) return std::to_string(Integer(value, field));
    if (value.is_string()) return Bytes(value, field);
    throw ApiError(400, "invalid_type", field + " must be a number (or the text of one).", field);
}

// The text as a number when it is one, else the text as it is.
json NumberOrText(const std::string& text) {
    if (const auto number = ParseInteger(text)) return *number;
    return BytesToJsonText(text);
}

}  // namespace api
