#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "api/request_handler.h"
#include "settings/value_checks.h"

// What every resource of the control API checks a request by, in one place: its errors, its
// query parameters, the fields of its JSON body and the answers it gives.
namespace api {

using nlohmann::json;

// A request's fault: its status, a stable code a program can test, a text for people and the
// field it is about ("" for none).
struct ApiError : std::runtime_error {
    ApiError(int status, std::string code, const std::string& text, std::string field = "")
        : std::runtime_error(text), status(status), code(std::move(code)), field(std::move(field)) {}
    int status;
    std::string code;
    std::string field;
    std::string allow;  // a 405's Allow header
};


// The body of a response, as JSON (bytes a text could not hold replaced, never thrown on).
std::string Dump(const json& body);
ApiResponse Json(int status, const json& body);
ApiResponse Error(int status, const std::string& code, const std::string& text, const std::string& field = "");
ApiResponse NoContent();

std::string Lower(std::string text);

// ---- query parameters -------------------------------------------------------------------

using QueryFields = std::map<std::string, std::string>;
// The parameters of a query, %XX and '+' undone; ApiError for a broken escape.
QueryFields Query(std::string_view query);
// Refuses a parameter not named.
void OnlyParameters(const QueryFields& query, std::initializer_list<const char*> names);
// A number parameter, or `fallback` when it is not given.
std::uint64_t QueryNumber(const QueryFields& query, const std::string& name, std::uint64_t fallback,
                          std::uint64_t low = 0, std::uint64_t high = UINT64_MAX);
// A query text as bytes (characters up to U+00FF, as message texts travel in JSON).
std::string QueryBytes(const QueryFields& query, const std::string& name);

// ---- JSON fields ------------------------------------------------------------------------

// The request's body: an object (an empty body is an empty one).
json Body(const ApiRequest& request);
// Refuses a field it does not know; `prefix` names the object in error fields ("replies[2].").
void OnlyFields(const json& body, std::initializer_list<const char*> names, const std::string& prefix = "");
// A text as bytes.
std::string Bytes(const json& value, const std::string& field);
// A whole number: a JSON number within 32 bits.
std::int32_t Integer(const json& value, const std::string& field);
std::int32_t Ranged(const json& value, const std::string& field, std::int32_t low, std::int32_t high);
std::int32_t Ranged(const json& value, const std::string& field, const ValueRange& range);
bool Flag(const json& value, const std::string& field);
// A message type: one character, or none.
std::string TypeField(const json& value, const std::string& field);
// Count and delay of a row: a number, or a text as typed (the window keeps the text).
std::string RowFieldText(const json& value, const std::string& field);
// The text as a number when it is one, else the text as it is.
json NumberOrText(const std::string& text);

// The proxy's sides by name.
inline constexpr const char* kSideNames[] = {"A", "B"};

// table[index], or null for an index outside it.
template <class T, std::size_t N>
json Indexed(const T (&table)[N], std::int32_t index) {
    return index >= 0 && index < static_cast<std::int32_t>(N) ? json(table[index]) : json(nullptr);
}

// The index of a value in its table, by the value itself (a number or a name in any case).
template <class T, std::size_t N>
std::optional<std::int32_t> IndexOf(const T (&table)[N], const json& value) {
    for (std::size_t i = 0; i < N; ++i) {
        if constexpr (std::is_integral_v<T>) {
            if (value.is_number_integer() && value.get<std::int64_t>() == table[i])
                return static_cast<std::int32_t>(i);
        } else {
            if (value.is_string() && Lower(value.get<std::string>()) == Lower(table[i]))
                return static_cast<std::int32_t>(i);
        }
    }
    return std::nullopt;
}

}  // namespace api
