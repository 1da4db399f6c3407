#include "api/request_handler.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "api/devices_api.h"
#include "api/metrics_text.h"
#include "app/app_core.h"
#include "base/link_actions.h"
#include "base/regular_file.h"
#include "app/event_hub.h"
#include "app/scenario_service.h"
#include "protocol/frame.h"
#include "base/traffic_sink.h"
#include "settings/names.h"
#include "settings/proxy_side.h"
#include "settings/value_checks.h"
#include "text/integer.h"
#include "text/json_text.h"
#include "text/times.h"

#ifndef VANTOR_VERSION
#define VANTOR_VERSION "unknown"
#endif

using nlohmann::json;

namespace {

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

std::string Dump(const json& body) {
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

ApiResponse Json(int status, const json& body) {
    ApiResponse response;
    response.status = status;
    response.body = Dump(body);
    return response;
}

ApiResponse Error(int status, const std::string& code, const std::string& text,
                  const std::string& field = "") {
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

// The host name of a Host header or an origin's authority, without port or brackets.
std::string HostName(std::string authority) {
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        return Lower(
            authority.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    }
    const auto colon = authority.find(':');
    return Lower(authority.substr(0, colon));
}

// localhost, ::1 or a dotted 127.x.x.x address; not a name that merely starts with "127.".
bool IsLoopbackName(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    if (host.rfind("127.", 0) != 0) return false;
    int dots = 0;
    for (const char c : host) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 3;
}

bool SameToken(const std::string& given, const std::string& wanted) {
    // Compared in full whatever differs, so the time taken does not tell how much matched.
    unsigned char diff = given.size() == wanted.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i)
        diff |=
            static_cast<unsigned char>(given[i] ^ wanted[i % (wanted.empty() ? 1 : wanted.size())]);
    return diff == 0 && !wanted.empty();
}

// The credentials of an Authorization header of the Bearer scheme (its name in any case);
// nothing for another scheme.
std::optional<std::string> BearerToken(const std::string& header) {
    const auto space = header.find_first_of(" \t");
    if (space == std::string::npos || Lower(header.substr(0, space)) != "bearer") return std::nullopt;
    const auto begin = header.find_first_not_of(" \t", space);
    if (begin == std::string::npos) return std::string();
    const auto end = header.find_last_not_of(" \t");
    return header.substr(begin, end - begin + 1);
}

std::optional<std::uint64_t> ToUnsigned(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A query part with %XX and '+' undone: UTF-8, as a browser or curl sends it.
std::string Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

using QueryFields = std::map<std::string, std::string>;

QueryFields Query(std::string_view query) {
    QueryFields fields;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (!pair.empty())
            fields[Unescape(pair.substr(0, eq))] =
                eq == std::string_view::npos ? "" : Unescape(pair.substr(eq + 1));
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
                          std::uint64_t low = 0, std::uint64_t high = UINT64_MAX) {
    const auto it = query.find(name);
    if (it == query.end()) return fallback;
    const auto value = ToUnsigned(it->second);
    if (!value)
        throw ApiError(400, "invalid_value", "'" + it->second + "' is not a valid integer value",
                       name);
    if (*value < low || *value > high)
        throw ApiError(400, "out_of_range",
                       name + " must be " + std::to_string(low) + " to " + std::to_string(high) + ".",
                       name);
    return *value;
}

// A query text as bytes (characters up to U+00FF, as message texts travel in JSON).
std::string QueryBytes(const QueryFields& query, const std::string& name) {
    const auto it = query.find(name);
    if (it == query.end()) return "";
    const auto bytes = JsonTextToBytes(it->second);
    if (!bytes)
        throw ApiError(400, "invalid_value", name + " holds a character above U+00FF.", name);
    return *bytes;
}

// ---- JSON fields ------------------------------------------------------------------------

json Body(const ApiRequest& request) {
    if (request.body.empty()) return json::object();
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) throw ApiError(400, "invalid_json", "The body is not valid JSON.");
    if (!body.is_object()) throw ApiError(400, "invalid_json", "The body must be a JSON object.");
    return body;
}

// Refuses a field it does not know; `prefix` names the object in error fields ("replies[2].").
void OnlyFields(const json& body, std::initializer_list<const char*> names,
                const std::string& prefix = "") {
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

// A whole number: a JSON number, or a text that holds one (as typed into a field of the
// window); within 32 bits.
std::int32_t Integer(const json& value, const std::string& field) {
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number >= INT32_MIN && number <= INT32_MAX) return static_cast<std::int32_t>(number);
        throw ApiError(400, "out_of_range", field + " is too large.", field);
    }
    if (value.is_number())
        throw ApiError(400, "invalid_value", "'" + value.dump() + "' is not a valid integer value",
                       field);
    if (!value.is_string()) throw ApiError(400, "invalid_type", field + " must be a number.", field);
    const std::string& text = value.get_ref<const std::string&>();
    const auto number = ParseInteger(text);
    if (!number) throw ApiError(400, "invalid_value", NotAnIntegerText(text), field);
    return *number;
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

// ---- link -------------------------------------------------------------------------------

const char* const kSideNames[] = {"A", "B"};

template <class T, std::size_t N>
json Indexed(const T (&table)[N], std::int32_t index) {
    return index >= 0 && index < static_cast<std::int32_t>(N) ? json(table[index]) : json(nullptr);
}

// "serial, tcp-client, tcp-server, pty or proxy"
std::string LinkKindNames() {
    std::string names;
    const auto kinds = LinkKinds();
    for (std::size_t i = 0; i < kinds.size(); ++i)
        names += (i == 0 ? "" : i + 1 == kinds.size() ? " or " : ", ") + std::string(kinds[i].apiName);
    return names;
}

json LinkJson(const CommPrefs& comm) {
    const LinkKindInfo* kind = FindLinkKind(comm);
    return {{"type", kind != nullptr ? json(kind->apiName) : json(nullptr)},
            {"port", BytesToJsonText(comm.Port)},
            {"baud", Indexed(kBaudRates, comm.Baud)},
            {"bits", Indexed(kDataBits, comm.Bits)},
            {"stop", Indexed(kStopBits, comm.Stop)},
            {"parity", Indexed(kParityLetters, comm.Parity)},
            {"remoteIp", BytesToJsonText(comm.RemoteIp)},
            {"remotePort", comm.RemotePort},
            {"localPort", comm.LocalPort},
            {"autoReconnect", comm.AutoReconnect != 0},
            {"a", BytesToJsonText(comm.ProxyA)},
            {"b", BytesToJsonText(comm.ProxyB)},
            {"sendTo", Indexed(kSideNames, comm.ProxyInject)},
            {"summary", BytesToJsonText(LinkSummaryText(comm))}};
}

// The index of a value in its table, by the value itself (a number or a name in any case).
template <class T, std::size_t N>
std::optional<std::int32_t> IndexOf(const T (&table)[N], const json& value) {
    for (std::size_t i = 0; i < N; ++i) {
        if constexpr (std::is_same_v<T, int>) {
            if (value.is_number_integer() && value.get<std::int64_t>() == table[i])
                return static_cast<std::int32_t>(i);
        } else {
            if (value.is_string() && Lower(value.get<std::string>()) == Lower(table[i]))
                return static_cast<std::int32_t>(i);
        }
    }
    return std::nullopt;
}

ApiResponse PutLink(AppCore& core, const json& body) {
    OnlyFields(body, {"type", "port", "baud", "bits", "stop", "parity", "remoteIp", "remotePort",
                      "localPort", "autoReconnect", "a", "b", "sendTo", "summary"});
    // Every field is checked before anything is applied: a refused request changes nothing.
    CommPrefs comm = core.Link();
    if (body.contains("type")) {
        const json& v = body["type"];
        const auto kind = v.is_string() ? LinkKindFromApiName(v.get<std::string>()) : std::nullopt;
        if (kind) {
            comm.Type = SettingsValue(*kind);
        } else if (v.is_number_integer()) {
            comm.Type = Ranged(v, "type", 0, kLinkKindCount - 1);
        } else {
            throw ApiError(400, "invalid_value", "type must be " + LinkKindNames() + ".", "type");
        }
    }
    // The serial port's name is no path for a virtual port: one that becomes a virtual port
    // names its path.
    if (body.contains("type") && LinkCan(comm).makesPort && !LinkCan(core.Link()).makesPort && !body.contains("port"))
        throw ApiError(400, "missing_field", "type pty needs port: the path of the virtual serial port.", "port");
    if (body.contains("port")) comm.Port = Bytes(body["port"], "port");
    if (body.contains("baud")) {
        const json& v = body["baud"];
        const auto rate = IndexOf(kBaudRates, v);
        // The index into the dialog's list is still taken, as the settings file holds it.
        if (rate) {
            comm.Baud = *rate;
        } else if (v.is_number_integer() && v.get<std::int64_t>() >= 0 && v.get<std::int64_t>() <= 7) {
            comm.Baud = v.get<std::int32_t>();
        } else {
            throw ApiError(400, "out_of_range",
                           "baud must be one of 115200, 57600, 38400, 19200, 9600, 4800, 2400, 1200.",
                           "baud");
        }
    }
    if (body.contains("bits")) {
        const auto bits = IndexOf(kDataBits, body["bits"]);
        if (!bits) throw ApiError(400, "out_of_range", "bits must be 7 or 8.", "bits");
        comm.Bits = *bits;
    }
    if (body.contains("stop")) {
        const auto stop = IndexOf(kStopBits, body["stop"]);
        if (!stop) throw ApiError(400, "out_of_range", "stop must be 1 or 2.", "stop");
        comm.Stop = *stop;
    }
    if (body.contains("parity")) {
        const json& v = body["parity"];
        auto parity = IndexOf(kParityLetters, v);
        if (!parity) parity = IndexOf(kParityNames, v);
        if (!parity)
            throw ApiError(400, "invalid_value", "parity must be E, O or N (even, odd, none).", "parity");
        comm.Parity = *parity;
    }
    if (body.contains("remoteIp")) comm.RemoteIp = Bytes(body["remoteIp"], "remoteIp");
    if (body.contains("remotePort")) comm.RemotePort = Ranged(body["remotePort"], "remotePort", kTcpPortRange);
    if (body.contains("localPort")) comm.LocalPort = Ranged(body["localPort"], "localPort", kTcpPortRange);
    if (body.contains("autoReconnect")) {
        if (!body["autoReconnect"].is_boolean())
            throw ApiError(400, "invalid_value", "autoReconnect must be true or false.", "autoReconnect");
        comm.AutoReconnect = body["autoReconnect"].get<bool>() ? 1 : 0;
    }
    if (body.contains("a")) comm.ProxyA = Bytes(body["a"], "a");
    if (body.contains("b")) comm.ProxyB = Bytes(body["b"], "b");
    if (body.contains("sendTo")) {
        const auto side = IndexOf(kSideNames, body["sendTo"]);
        if (!side) throw ApiError(400, "invalid_value", "sendTo must be A or B.", "sendTo");
        comm.ProxyInject = *side;
    }
    if (LinkCan(comm).proxy) {
        // Each side on its own, so that the error names the field.
        for (const char* field : {"a", "b"}) {
            std::string error;
            ParseProxySide(std::string(field) == "a" ? comm.ProxyA : comm.ProxyB, comm, error);
            if (!error.empty()) throw ApiError(400, "invalid_value", BytesToJsonText(error) + ".", field);
        }
    }
    if (const std::string problem = AppCore::CheckLink(comm); !problem.empty())
        throw ApiError(400, "out_of_range", problem);
    if (LinkCan(comm).makesPort && comm.Port.empty())
        throw ApiError(400, "invalid_value", "port must name the path of the virtual serial port.", "port");
    core.ApplyLink(comm);
    return Json(200, LinkJson(core.Link()));
}

json LineFaultsJson(const LineFaults& faults) {
    json body = json::object();
    for (const LineFaultLimit::Field& field : LineFaultLimit::Fields()) body[field.name] = faults.*field.member;
    body["corruptRate"] = faults.corruptRate;
    body["corruptSeed"] = faults.corruptSeed;
    return body;
}

// The side a line faults request is about: ?side=A (the simulator's own link, or the proxy's
// side A; the default) or ?side=B.
int LineSide(const QueryFields& query) {
    OnlyParameters(query, {"side"});
    const auto it = query.find("side");
    if (it == query.end()) return 0;
    const auto side = IndexOf(kSideNames, json(it->second));
    if (!side) throw ApiError(400, "invalid_value", "side must be A or B.", "side");
    return *side;
}

// The fields given change; every value is checked before anything is applied.
ApiResponse PutLineFaults(AppCore& core, const json& body, int side) {
    LineFaults faults = core.GetLineFaults(side);
    for (const auto& item : body.items()) {
        // Named, not bound: a lambda may not capture a structured binding in every compiler.
        const std::string& key = item.key();
        const json& value = item.value();
        const auto& fields = LineFaultLimit::Fields();
        const auto field = std::find_if(fields.begin(), fields.end(),
                                        [&key](const LineFaultLimit::Field& f) { return key == f.name; });
        if (field != fields.end()) {
            faults.*field->member = Integer(value, key);
        } else if (key == "corruptRate") {
            if (!value.is_number()) throw ApiError(400, "invalid_type", "corruptRate must be a number.", key);
            faults.corruptRate = value.get<double>();
        } else if (key == "corruptSeed") {
            if (!value.is_number_unsigned() && !(value.is_number_integer() && value.get<std::int64_t>() >= 0))
                throw ApiError(400, "invalid_type", "corruptSeed must be a whole number, 0 or more.", key);
            faults.corruptSeed = value.get<std::uint64_t>();
        } else {
            throw ApiError(400, "unknown_field", "Unknown field '" + key + "'.", key);
        }
    }
    // The sentence starts with the name of the field it is about.
    if (const std::string error = LineFaultsError(faults); !error.empty())
        throw ApiError(400, "out_of_range", error + ".", error.substr(0, error.find(' ')));
    if (const std::string error = core.ApplyLineFaults(faults, side); !error.empty())
        throw ApiError(400, "out_of_range", error + ".");
    return Json(200, LineFaultsJson(core.GetLineFaults(side)));
}

// ---- proxy faults -----------------------------------------------------------------------

const char* const kWayNames[] = {"AtoB", "BtoA", "both"};
const char* const kFrameNames[] = {"any", "messages", "acks", "naks", "answers"};
const char* const kRuleWhenNames[] = {"every", "nth", "chance"};
// The rule's values that are on or off, shown as true or false.
bool IsSwitch(const ProxyFaultLimit::Field& field) {
    return field.low == 0 && field.high == 1 && field.member != &ProxyFaultRule::Way;
}

json ProxyFaultsJson(const ProxyFaults& faults) {
    json rules = json::array();
    for (const ProxyFaultRule& rule : faults.Rules) {
        json out = {{"type", BytesToJsonText(rule.Type)}};
        for (const ProxyFaultLimit::Field& field : ProxyFaultLimit::Fields()) {
            const std::int32_t value = rule.*field.member;
            if (field.member == &ProxyFaultRule::Way) {
                out[field.name] = Indexed(kWayNames, value);
            } else if (field.member == &ProxyFaultRule::Frames) {
                out[field.name] = Indexed(kFrameNames, value);
            } else if (field.member == &ProxyFaultRule::When) {
                out[field.name] = Indexed(kRuleWhenNames, value);
            } else if (IsSwitch(field)) {
                out[field.name] = value != 0;
            } else {
                out[field.name] = value;
            }
        }
        rules.push_back(std::move(out));
    }
    return {{"seed", faults.Seed}, {"rules", rules}};
}

// Replaces the rules (and the seed, when given); every value is checked first.
ApiResponse PutProxyFaults(AppCore& core, const json& body) {
    OnlyFields(body, {"seed", "rules"});
    ProxyFaults faults = core.GetProxyFaults();
    if (body.contains("seed")) faults.Seed = Integer(body["seed"], "seed");
    if (body.contains("rules")) {
        const json& rules = body["rules"];
        if (!rules.is_array()) throw ApiError(400, "invalid_type", "rules must be an array.", "rules");
        if (rules.size() > ProxyFaultLimit::kMaxRules)
            throw ApiError(400, "out_of_range", "At most " + std::to_string(ProxyFaultLimit::kMaxRules) + " rules.",
                           "rules");
        faults.Rules.clear();
        for (std::size_t i = 0; i < rules.size(); ++i) {
            const json& item = rules[i];
            const std::string p = "rules[" + std::to_string(i) + "].";
            if (!item.is_object()) throw ApiError(400, "invalid_type", p + " must be an object.", "rules");
            ProxyFaultRule rule;
            for (const auto& entry : item.items()) {
                const std::string& key = entry.key();
                const json& value = entry.value();
                if (key == "type") {
                    rule.Type = TypeField(value, p + key);
                    continue;
                }
                const auto& fields = ProxyFaultLimit::Fields();
                const auto field = std::find_if(fields.begin(), fields.end(),
                                                [&key](const ProxyFaultLimit::Field& f) { return key == f.name; });
                if (field == fields.end()) throw ApiError(400, "unknown_field", "Unknown field '" + key + "'.", p + key);
                std::optional<std::int32_t> named;
                if (field->member == &ProxyFaultRule::Way) named = IndexOf(kWayNames, value);
                if (field->member == &ProxyFaultRule::Frames) named = IndexOf(kFrameNames, value);
                if (field->member == &ProxyFaultRule::When) named = IndexOf(kRuleWhenNames, value);
                if (named) {
                    rule.*field->member = *named;
                } else if (IsSwitch(*field)) {
                    rule.*field->member = Flag(value, p + key) ? 1 : 0;
                } else {
                    rule.*field->member = Ranged(value, p + key, field->low, field->high);
                }
            }
            faults.Rules.push_back(rule);
        }
    }
    if (const std::string error = ProxyFaultsError(faults); !error.empty())
        throw ApiError(400, "out_of_range", error + ".", "rules");
    if (const std::string error = core.ApplyProxyFaults(faults); !error.empty())
        throw ApiError(400, "out_of_range", error + ".");
    return Json(200, ProxyFaultsJson(core.GetProxyFaults()));
}

// ---- replies ----------------------------------------------------------------------------

json FaultsJson(const ReplyFaults& f) {
    json out = json::object();
    for (const ReplyFaultField& field : ReplyFaultFields()) {
        const std::int32_t value = f.*field.member;
        if (field.kind == ReplyFaultField::Flag) {
            out[field.name] = value != 0;
        } else if (field.kind == ReplyFaultField::Choice) {
            const bool named = value >= 0 && static_cast<std::size_t>(value) < field.choices.size();
            out[field.name] =
                named ? json(field.choices[static_cast<std::size_t>(value)]) : json(nullptr);
        } else {
            out[field.name] = value;
        }
    }
    return out;
}

json RepliesJson(const std::array<ReplyPrefs, kReplySlots>& replies, std::int32_t seed) {
    json rows = json::array();
    for (std::size_t slot = 0; slot < replies.size(); ++slot) {
        const ReplyPrefs& reply = replies[slot];
        rows.push_back({{"row", slot + 1},
                        {"type", BytesToJsonText(reply.Type)},
                        {"text", BytesToJsonText(reply.Msg)},
                        {"action", Indexed(kReplyActionNames, reply.Action)},
                        {"faults", FaultsJson(reply.Faults)}});
    }
    return {{"replies", rows}, {"seed", seed}};
}

// One fault value as the request gives it: a flag true or false, a choice by its name, any
// other a number within its range; refused naming `name`.
std::int32_t FaultValue(const ReplyFaultField& field, const json& value, const std::string& name) {
    if (field.kind == ReplyFaultField::Flag) return Flag(value, name) ? 1 : 0;
    if (field.kind != ReplyFaultField::Choice) return Ranged(value, name, field.low, field.high);
    std::string names;
    for (std::size_t i = 0; i < field.choices.size(); ++i) {
        if (value.is_string() && Lower(value.get<std::string>()) == Lower(field.choices[i]))
            return static_cast<std::int32_t>(i);
        names += i == 0 ? "" : i + 1 == field.choices.size() ? " or " : ", ";
        names += field.choices[i];
    }
    throw ApiError(400, "invalid_value", name + " must be " + names + ".", name);
}

// The fields given change; each value within the range the Faults dialog offers.
void PutFaults(ReplyFaults& f, const json& body, const std::string& prefix) {
    if (!body.is_object())
        throw ApiError(400, "invalid_type", prefix + " must be an object.", prefix);
    const std::string p = prefix + ".";
    for (const auto& item : body.items())
        if (FindReplyFaultField(item.key()) == nullptr)
            throw ApiError(400, "unknown_field", "Unknown field '" + item.key() + "'.",
                           p + item.key());
    for (const ReplyFaultField& field : ReplyFaultFields())
        if (body.contains(field.name))
            f.*field.member = FaultValue(field, body[field.name], p + field.name);
}

ApiResponse PutReplies(AppCore& core, const json& body) {
    OnlyFields(body, {"replies", "seed"});
    std::array<ReplyPrefs, kReplySlots> replies = core.Replies();
    std::int32_t seed = core.FaultSeed();
    if (body.contains("seed")) seed = Integer(body["seed"], "seed");
    if (body.contains("replies")) {
        const json& rows = body["replies"];
        if (!rows.is_array()) throw ApiError(400, "invalid_type", "replies must be an array.", "replies");
        if (rows.size() > kReplySlots)
            throw ApiError(400, "out_of_range", "At most 10 reply actions.", "replies");
        for (std::size_t index = 0; index < rows.size(); ++index) {
            const json& row = rows[index];
            const std::string p = "replies[" + std::to_string(index) + "]";
            if (!row.is_object())
                throw ApiError(400, "invalid_type", "A reply action must be an object.", p);
            OnlyFields(row, {"row", "type", "text", "action", "faults"}, p + ".");
            // A row names its place, or takes the one of its position.
            std::size_t slot = index;
            if (row.contains("row"))
                slot = static_cast<std::size_t>(Ranged(row["row"], p + ".row", 1, kReplySlots) - 1);
            ReplyPrefs& reply = replies[slot];
            if (row.contains("type")) reply.Type = TypeField(row["type"], p + ".type");
            if (row.contains("text")) reply.Msg = Bytes(row["text"], p + ".text");
            // The settings file keeps one line per value: a line break would not survive a save.
            if ((reply.Type + reply.Msg).find_first_of("\r\n") != std::string::npos)
                throw ApiError(400, "invalid_value", "A reply action cannot hold a line break.",
                               p + (row.contains("text") ? ".text" : ".type"));
            if (row.contains("action")) {
                const json& action = row["action"];
                auto named = IndexOf(kReplyActionNames, action);
                if (!named && action.is_number_integer() && action >= 0 && action <= 3)
                    named = action.get<std::int32_t>();
                if (!named)
                    throw ApiError(400, "invalid_value",
                                   "action must be Normal, NAK Error, Type Error or BCC Error.",
                                   p + ".action");
                reply.Action = *named;
            }
            if (row.contains("faults")) PutFaults(reply.Faults, row["faults"], p + ".faults");
        }
    }
    core.ApplyReplies(replies, seed);
    return Json(200, RepliesJson(core.Replies(), core.FaultSeed()));
}

// ---- rows and sends ---------------------------------------------------------------------

json OptionalTime(std::int64_t ms) {
    return ms == 0 ? json(nullptr) : json(IsoTime(ms));
}

json RunJson(const SendRun& run) {
    json out = {{"id", run.id},
                {"state", SendStateName(run.state)},
                {"running", run.running},
                {"sent", run.sent},
                {"count", run.target},
                {"delayMs", run.delayMs},
                {"text", BytesToJsonText(run.lastText)},
                {"response", BytesToJsonText(run.response)},
                {"status", run.status < 0 ? json(nullptr) : json(run.status)},
                {"statusText", StatusText(run.status)},
                {"attempts", run.attempts == 0 ? json(nullptr) : json(run.attempts)},
                {"createdAt", IsoTime(run.createdMs)},
                {"sentAt", OptionalTime(run.sentMs)},
                {"finishedAt", OptionalTime(run.finishedMs)}};
    if (run.row >= 0) {
        out["row"] = run.row + 1;
    } else {
        out["type"] = BytesToJsonText(run.type);
        out["expandFlags"] = run.expandFlags;
    }
    if (run.to > 0) out["to"] = kSideNames[(run.to - 1) & 1];
    // The session asked for, or else the one the latest message went to.
    const std::uint32_t session = run.session != 0 ? run.session : run.sentSession;
    out["session"] = session == 0 ? json(nullptr) : json(session);
    return out;
}

json RowJson(const AppCore& core, int row) {
    const SendPrefs settings = core.Row(row);
    json out = {{"row", row + 1},
                {"type", BytesToJsonText(settings.Type)},
                {"text", BytesToJsonText(settings.Msg)},
                {"count", NumberOrText(settings.Count)},
                {"delay", NumberOrText(settings.Delay)},
                {"run", nullptr}};
    if (const SendRun* run = core.Sends().RowRun(row)) out["run"] = RunJson(*run);
    return out;
}

ApiResponse PutRow(AppCore& core, int row, const json& body) {
    OnlyFields(body, {"type", "text", "count", "delay", "row", "run"});
    SendPrefs settings = core.Row(row);
    if (body.contains("type")) settings.Type = TypeField(body["type"], "type");
    if (body.contains("text")) settings.Msg = Bytes(body["text"], "text");
    if (body.contains("count")) settings.Count = RowFieldText(body["count"], "count");
    if (body.contains("delay")) settings.Delay = RowFieldText(body["delay"], "delay");
    core.SetRow(row, settings);
    return Json(200, RowJson(core, row));
}

// The field a row's refused Send is about, as the row checks them: count, delay, type.
std::string RowProblemField(const SendPrefs& settings) {
    const auto count = ParseInteger(settings.Count);
    if (!count || !kSendCountRange.Holds(*count)) return "count";
    const auto delay = ParseInteger(settings.Delay);
    if (!delay || *delay < 0) return "delay";
    return "type";
}

std::uint32_t SessionField(const AppCore& core, const json& value, const char* field);

ApiResponse PostSend(AppCore& core, const json& body) {
    OnlyFields(body, {"type", "text", "expandFlags", "count", "delayMs", "to", "session"});
    SendRuns::Request request;
    if (body.contains("session")) request.session = SessionField(core, body["session"], "session");
    if (body.contains("to")) {
        // The proxy's side; a link of the simulator's own has one other side only.
        const auto side = IndexOf(kSideNames, body["to"]);
        if (!side) throw ApiError(400, "invalid_value", "to must be A or B.", "to");
        if (!LinkCan(core.Link()).proxy) throw ApiError(409, "not_a_proxy", "to names a side of the proxy; the link is not one.", "to");
        request.to = *side + 1;
    }
    if (body.contains("type")) request.type = TypeField(body["type"], "type");
    if (body.contains("text")) request.text = Bytes(body["text"], "text");
    if (body.contains("expandFlags")) request.expandFlags = Flag(body["expandFlags"], "expandFlags");
    if (body.contains("count")) request.count = Integer(body["count"], "count");
    if (body.contains("delayMs")) request.delayMs = Integer(body["delayMs"], "delayMs");
    if (const std::string problem = SendRuns::Check(request); !problem.empty()) {
        const std::string field = request.count < 1 ? "count" : request.delayMs < 0 ? "delayMs" : "type";
        throw ApiError(400, field == "type" ? "missing_field" : "out_of_range", problem, field);
    }
    const std::uint64_t id = core.Sends().Start(request);
    ApiResponse response = Json(201, RunJson(*core.Sends().Find(id)));
    response.headers.emplace_back("Location", "/api/v1/sends/" + std::to_string(id));
    return response;
}

ApiResponse ListSends(AppCore& core, const QueryFields& query) {
    OnlyParameters(query, {"after", "limit"});
    const std::uint64_t after = QueryNumber(query, "after", 0);
    const std::uint64_t limit = QueryNumber(query, "limit", 100, 1, 1000);
    json list = json::array();
    for (const SendRun* run : core.Sends().List(after, limit)) list.push_back(RunJson(*run));
    return Json(200, {{"sends", list}, {"last", core.Sends().LastId()}});
}

// ---- messages ---------------------------------------------------------------------------

json MessageJson(const ReceivedMessage& m) {
    return {{"id", m.id},
            {"time", IsoTime(m.arrivalMs)},
            {"timestamp", ListTime(m.msecsSinceMidnight)},
            {"status", StatusName(m.statusCode)},
            {"statusCode", m.statusCode},
            {"type", BytesToJsonText(m.type)},
            {"text", BytesToJsonText(m.text)},
            {"rxBcc", BytesToJsonText(m.rxBcc)},
            {"calcBcc", BytesToJsonText(m.calcBcc)},
            {"rule", m.rule.empty() ? json(nullptr) : json(BytesToJsonText(m.rule))},
            {"nearMiss", m.nearMiss.empty() ? json(nullptr) : json(BytesToJsonText(m.nearMiss))},
            {"way", m.way < 0 ? json(nullptr) : json(ProxyDirectionText(static_cast<ProxyDirection>(m.way)))},
            {"session", m.session == 0 ? json(nullptr) : json(m.session)}};
}

json MessageJson(const AppCore& core, const ReceivedMessage& m) {
    json out = MessageJson(m);
    const auto fleet = core.Fleet();
    const std::uint32_t device = fleet && m.session != 0 ? fleet->DeviceOfSession(m.session) : 0;
    out["device"] = device == 0 ? json(nullptr) : json(device);
    return out;
}

// ---- sessions ---------------------------------------------------------------------------

json SessionJson(const SessionTable::Row& row) {
    const SessionTable::Counts& c = row.counts;
    return {{"session", row.session},
            {"peer", BytesToJsonText(row.peer)},
            {"since", IsoTime(row.sinceMicros / 1000)},
            {"received", c.received},
            {"answered", c.answered},
            {"errors", c.errors},
            {"faulted", c.faulted},
            {"sent", c.sent},
            {"accepted", c.accepted},
            {"failed", c.failed}};
}

ApiResponse Sessions(const AppCore& core) {
    json list = json::array();
    for (const SessionTable::Row& row : core.Sessions().Open()) list.push_back(SessionJson(row));
    return Json(200, {{"sessions", list}, {"begun", core.Sessions().Begun()}});
}

// A session named by a request: a number of one that is open.
std::uint32_t SessionField(const AppCore& core, const json& value, const char* field) {
    const std::int32_t number = Ranged(value, field, 1, INT32_MAX);
    if (core.Sessions().Find(static_cast<std::uint32_t>(number)) == nullptr)
        throw ApiError(409, "session_not_open", "Session " + std::to_string(number) + " is not open.", field);
    return static_cast<std::uint32_t>(number);
}

constexpr std::uint64_t kMaxWaitMs = 60000;

ApiResponse Messages(AppCore& core, const QueryFields& query, bool head) {
    OnlyParameters(query, {"after", "limit", "wait", "type", "status", "text", "since", "session"});
    const std::uint64_t after = QueryNumber(query, "after", 0);
    const std::uint64_t limit = QueryNumber(query, "limit", 100, 1, 1000);
    const std::uint64_t wait = QueryNumber(query, "wait", 0, 0, kMaxWaitMs);
    MessageFilter filter;
    filter.type = QueryBytes(query, "type");
    if (filter.type.size() > 1)
        throw ApiError(400, "invalid_value", "The message type is one character.", "type");
    filter.status = QueryBytes(query, "status");
    filter.text = QueryBytes(query, "text");
    filter.session = static_cast<std::uint32_t>(QueryNumber(query, "session", 0, 0, UINT32_MAX));
    if (const auto since = query.find("since"); since != query.end()) {
        // An ISO 8601 time as the messages show it, or epoch milliseconds.
        if (const auto ms = ToUnsigned(since->second)) {
            filter.sinceMs = static_cast<std::int64_t>(*ms);
        } else if (const auto iso = ParseIsoTime(since->second)) {
            filter.sinceMs = *iso;
        } else {
            throw ApiError(400, "invalid_value",
                           "since must be a time such as 2026-12-07T10:55:23.042+01:00, or epoch "
                           "milliseconds.",
                           "since");
        }
    }
    json list = json::array();
    for (const ReceivedMessage& m : core.Messages().List(after, limit, filter))
        list.push_back(MessageJson(core, m));
    ApiResponse response = Json(200, {{"messages", list}, {"last", core.Messages().LastId()}});
    if (list.empty() && wait > 0 && !head) {
        response.poll = true;
        response.pollMs = static_cast<std::int64_t>(wait);
    }
    return response;
}

// ---- scenario and expectations -----------------------------------------------------------

json ScenarioJson(const ScenarioService::View& v, std::int64_t nowMs) {
    const ResponderStatus& st = v.status;
    json variables = json::object();
    for (const auto& [name, value] : st.variables) variables[BytesToJsonText(name)] = BytesToJsonText(value);
    json rules = json::array();
    for (const auto& [rule, hits] : st.ruleHits) rules.push_back({{"rule", BytesToJsonText(rule)}, {"hits", hits}});
    json timers = json::array();
    for (const std::string& t : st.timers) timers.push_back(BytesToJsonText(t));
    json errors = json::array();
    for (const std::string& e : v.errors) errors.push_back(BytesToJsonText(e));
    json misses = json::array();
    for (const std::string& m : v.nearMisses) misses.push_back(BytesToJsonText(m));
    return {{"running", v.running},
            {"name", v.running ? json(BytesToJsonText(v.name)) : json(nullptr)},
            {"origin", v.running ? json(BytesToJsonText(v.origin)) : json(nullptr)},
            {"state", v.running ? json(BytesToJsonText(st.state)) : json(nullptr)},
            {"enteredAt", v.running && st.enteredMs > 0 ? json(IsoTime(st.enteredMs)) : json(nullptr)},
            {"variables", variables},
            {"rules", rules},
            {"unmatched", st.unmatched},
            {"timers", timers},
            {"lastError", st.lastError.empty() ? json(nullptr) : json(BytesToJsonText(st.lastError))},
            {"errors", errors},
            {"nearMisses", misses},
            {"time", IsoTime(nowMs)}};
}

json VerifyJson(const ScenarioService& scenarios) {
    const ScenarioService::View v = scenarios.GetView();
    json list = json::array();
    for (const scenario::Verifier::Result& r : v.results) {
        json evidence = json::array();
        for (const std::string& line : r.evidence) evidence.push_back(BytesToJsonText(line));
        list.push_back({{"name", BytesToJsonText(r.name)},
                        {"what", BytesToJsonText(r.what)},
                        {"verdict", scenario::VerdictText(r.verdict)},
                        {"message", BytesToJsonText(r.message)},
                        {"decidedAt", r.decidedMs > 0 ? json(IsoTime(r.decidedMs)) : json(nullptr)},
                        {"evidence", evidence}});
    }
    const char* verdict = !scenarios.HasExpectations() ? "none"
                          : v.failed > 0               ? "failed"
                          : v.verified                 ? "passed"
                                                       : "pending";
    return {{"verdict", verdict},
            {"finished", v.finished},
            {"passed", v.passed},
            {"failed", v.failed},
            {"pending", v.pending},
            {"expectations", list}};
}

// A scenario or expectations given as a file on this machine or as the document itself.
// Returns the document's text (empty: a file, named in `file`).
std::string DocumentOrFile(const json& body, const char* documentField, std::string& file) {
    OnlyFields(body, {"file", documentField});
    const bool hasFile = body.contains("file"), hasDocument = body.contains(documentField);
    if (hasFile == hasDocument)
        throw ApiError(400, "missing_field", std::string("Give either file or ") + documentField + ".",
                       hasFile ? "file" : documentField);
    if (hasFile) {
        file = Bytes(body["file"], "file");
        if (file.empty()) throw ApiError(400, "invalid_value", "file is empty.", "file");
        return "";
    }
    return body[documentField].dump();
}

// A caller's file, only inside the policy's folder.
std::string FileInside(const std::string& folder, const std::string& file, const char* code) {
    try {
        return files::ResolveInside(folder, file);
    } catch (const files::FileError& error) {
        throw ApiError(400, code, BytesToJsonText(error.what()), "file");
    }
}

std::string FolderOf(const ApiPolicy& policy) { return policy.filesFolder.empty() ? "." : policy.filesFolder; }

ApiResponse PutScenario(AppCore& core, const json& body, const ApiPolicy& policy) {
    std::string file;
    const std::string document = DocumentOrFile(body, "scenario", file);
    const std::string folder = FolderOf(policy);
    if (!file.empty()) file = FileInside(folder, file, "invalid_scenario");
    try {
        // A scenario that does not load leaves the running one as it is.
        if (file.empty()) core.Scenarios().LoadText(document, folder, "the control API", folder);
        else core.Scenarios().LoadFile(file, folder);
    } catch (const scenario::ScenarioError& error) {
        throw ApiError(400, "invalid_scenario", BytesToJsonText(error.what()), file.empty() ? "scenario" : "file");
    }
    return Json(200, ScenarioJson(core.Scenarios().GetView(), core.Now()));
}

ApiResponse PutExpectations(AppCore& core, const json& body, const ApiPolicy& policy) {
    std::string file;
    const std::string document = DocumentOrFile(body, "expectations", file);
    if (!file.empty()) file = FileInside(FolderOf(policy), file, "invalid_expectations");
    try {
        if (file.empty()) core.Scenarios().SetExpectationsText(document, "the control API");
        else core.Scenarios().SetExpectationsFile(file);
    } catch (const scenario::ScenarioError& error) {
        throw ApiError(400, "invalid_expectations", BytesToJsonText(error.what()),
                       file.empty() ? "expectations" : "file");
    }
    return Json(200, VerifyJson(core.Scenarios()));
}

// ---- captures and replays ---------------------------------------------------------------

json CaptureJson(const CaptureWriter::Status& status) {
    return {{"running", status.running},
            {"file", status.path.empty() ? json(nullptr) : json(BytesToJsonText(status.path))},
            {"packets", status.packets},
            {"bytes", status.bytes},
            {"files", status.files},
            {"error", status.error.empty() ? json(nullptr) : json(BytesToJsonText(status.error))}};
}

ApiResponse PostCapture(AppCore& core, const json& body) {
    OnlyFields(body, {"action", "file", "rotateKb"});
    const std::string action = body.contains("action") ? Bytes(body["action"], "action") : "";
    if (action == "stop") {
        OnlyFields(body, {"action"});
        if (!core.CaptureStatus().running) throw ApiError(409, "not_running", "No capture runs.");
        core.StopCapture();
    } else if (action == "start") {
        if (!body.contains("file")) throw ApiError(400, "missing_field", "start needs file.", "file");
        const std::string file = Bytes(body["file"], "file");
        if (file.empty()) throw ApiError(400, "invalid_value", "file is empty.", "file");
        const std::int32_t rotateKb = body.contains("rotateKb") ? Ranged(body["rotateKb"], "rotateKb", 0, 1 << 30) : 0;
        if (const std::string error = core.StartCapture(file, static_cast<std::uint64_t>(rotateKb) * 1024); !error.empty())
            throw ApiError(409, "not_started", BytesToJsonText(error), "file");
    } else {
        throw ApiError(400, body.contains("action") ? "invalid_value" : "missing_field",
                       "action must be start or stop.", "action");
    }
    return Json(200, CaptureJson(core.CaptureStatus()));
}

json ReplayJson(const ReplayService::View& v) {
    json out = {{"state", ReplayService::PhaseName(v.phase)},
                {"running", v.phase == ReplayService::Phase::WaitingForLink ||
                                v.phase == ReplayService::Phase::Playing ||
                                v.phase == ReplayService::Phase::Collecting},
                {"file", v.request.file.empty() ? json(nullptr) : json(BytesToJsonText(v.request.file))},
                {"direction", v.request.direction},
                {"speed", v.request.speed},
                {"validate", v.request.validate},
                {"steps", v.steps},
                {"written", v.written},
                {"expected", v.expected},
                {"received", v.received},
                {"ended", v.ended.empty() ? json(nullptr) : json(BytesToJsonText(v.ended))}};
    if (v.report) {
        out["passed"] = v.report->passed;
        out["report"] = json::parse(v.report->Json(), nullptr, false);
    } else {
        out["passed"] = nullptr;
        out["report"] = nullptr;
    }
    return out;
}

ApiResponse PostReplay(AppCore& core, const json& body) {
    OnlyFields(body, {"action", "file", "direction", "speed", "validate", "mask"});
    const std::string action = body.contains("action") ? Bytes(body["action"], "action") : "";
    if (action == "stop") {
        OnlyFields(body, {"action"});
        if (!core.Replays().Running()) throw ApiError(409, "not_running", "No replay runs.");
        core.Replays().Stop();
    } else if (action == "start") {
        ReplayService::Request request;
        if (!body.contains("file")) throw ApiError(400, "missing_field", "start needs file.", "file");
        request.file = Bytes(body["file"], "file");
        if (body.contains("direction")) request.direction = Bytes(body["direction"], "direction");
        if (body.contains("speed"))
            request.speed = body["speed"].is_number() ? body["speed"].dump() : Bytes(body["speed"], "speed");
        if (body.contains("validate")) request.validate = Flag(body["validate"], "validate");
        if (body.contains("mask")) request.mask = Bytes(body["mask"], "mask");
        if (core.Replays().Running()) throw ApiError(409, "running", "A replay is running; stop it first.");
        try {
            core.Replays().Start(request);
        } catch (const RecordingError& error) {
            throw ApiError(400, "invalid_recording", BytesToJsonText(error.what()), "file");
        } catch (const ReplayError& error) {
            const std::string text = error.what();
            const char* field = text.rfind("replay speed", 0) == 0 ? "speed"
                                : text.rfind("replay direction", 0) == 0 ? "direction"
                                : text.find("mask") != std::string::npos ? "mask"
                                                                         : "file";
            throw ApiError(400, "invalid_value", BytesToJsonText(text), field);
        }
    } else {
        throw ApiError(400, body.contains("action") ? "invalid_value" : "missing_field",
                       "action must be start or stop.", "action");
    }
    return Json(200, ReplayJson(core.Replays().GetView()));
}

// ---- routing ----------------------------------------------------------------------------

// The resources in the order of ApiRoutes().
enum class R {
    Status, Health, Ready, Version, OpenApi, Metrics, Events, Link, LinkActions, LinkFaults, ProxyFaults, Replies,
    Row, RowSend, RowStop, BatchSend, Messages, Sends, Send, SendStop, Reset, Scenario, ScenarioReload,
    Expectations, Verify, Capture, Replay, Sessions, Devices, Device
};

std::vector<std::string> Segments(std::string_view path) {
    std::vector<std::string> parts;
    while (!path.empty()) {
        const auto slash = path.find('/');
        if (slash != 0) parts.emplace_back(path.substr(0, slash));
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return parts;
}

// A request's target, matched against the routes.
struct Target {
    R route;
    std::vector<std::string> params;  // the parts matched by {name}, in order
    QueryFields query;
    bool head = false;
};

bool Allows(const ApiRoute& route, const std::string& method) {
    for (const char* m : route.methods)
        if (method == m || (method == "HEAD" && std::string(m) == "GET")) return true;
    return false;
}

std::string AllowHeader(const ApiRoute& route) {
    std::string allow;
    for (const char* m : route.methods) {
        if (!allow.empty()) allow += ", ";
        allow += m;
        if (std::string(m) == "GET") allow += ", HEAD";
    }
    return allow;
}

// The route the request names: 404 for none, 405 (with Allow) for a method it does not take.
Target Parse(const ApiRequest& request) {
    const std::string_view target = request.target;
    const auto mark = target.find('?');
    const std::vector<std::string> path = Segments(target.substr(0, mark));
    if (path.size() < 3 || path[0] != "api" || path[1] != "v1")
        throw ApiError(404, "not_found", "No such resource.");
    const auto& routes = ApiRoutes();
    for (std::size_t i = 0; i < routes.size(); ++i) {
        const std::vector<std::string> pattern = Segments(routes[i].path);
        if (pattern.size() != path.size() - 2) continue;
        Target t;
        bool match = true;
        for (std::size_t k = 0; k < pattern.size() && match; ++k) {
            if (pattern[k].front() == '{')
                t.params.push_back(path[k + 2]);
            else
                match = pattern[k] == path[k + 2];
        }
        if (!match) continue;
        if (!Allows(routes[i], request.method)) {
            ApiError error(405, "method_not_allowed", "Method not allowed.");
            error.allow = AllowHeader(routes[i]);
            throw error;
        }
        t.route = static_cast<R>(i);
        t.query = Query(mark == std::string_view::npos ? "" : target.substr(mark + 1));
        t.head = request.method == "HEAD";
        return t;
    }
    throw ApiError(404, "not_found", "No such resource.");
}

void NoParameters(const Target& t) {
    OnlyParameters(t.query, {});
}

ApiResponse Ready(const AppCore& core) {
    const AppCore::Status status = core.GetStatus();
    if (status.link.phase != LinkState::Closed)
        return Json(200, {{"ready", true}, {"state", BytesToJsonText(status.link.Summary())}});
    std::string reason = status.linkError.empty() ? "The link is not open." : status.linkError;
    return Json(503, {{"ready", false}, {"reason", BytesToJsonText(reason)}});
}

ApiResponse Status(const AppCore& core) {
    const AppCore::Status status = core.GetStatus();
    const SendRuns::Counts& counts = status.sends;
    json peers = json::array();
    for (const std::string& peer : status.link.peers) peers.push_back(BytesToJsonText(peer));
    // The proxy: each side as a link of its own.
    json sides = json(nullptr);
    if (status.link.kind == LinkKind::Proxy) {
        sides = json::array();
        for (std::size_t i = 0; i < status.link.sides.size() && i < 2; ++i) {
            const LinkState& side = status.link.sides[i];
            json sidePeers = json::array();
            for (const std::string& peer : side.peers) sidePeers.push_back(BytesToJsonText(peer));
            sides.push_back({{"side", kSideNames[i]},
                             {"kind", LinkKindOf(side.kind).apiName},
                             {"where", BytesToJsonText(side.where)},
                             {"open", side.phase != LinkState::Closed},
                             {"connected", side.Connected()},
                             {"state", BytesToJsonText(side.Summary())},
                             {"peers", sidePeers}});
        }
    }
    // The proxy: frames passed on each way, and frames not delivered.
    json forwarded = json(nullptr), undelivered = json(nullptr);
    if (status.link.kind == LinkKind::Proxy) {
        forwarded = {{"AtoB", status.proxy.forwarded[0]}, {"BtoA", status.proxy.forwarded[1]}};
        undelivered = {{"AtoB", status.proxy.undelivered[0]}, {"BtoA", status.proxy.undelivered[1]}};
    }
    const auto kind = LinkKindFromSettings(status.linkType);
    json log = {{"enabled", status.logging},
                {"error", status.logError.empty() ? json(nullptr) : json(BytesToJsonText(status.logError))},
                {"lostBytes", status.logLostBytes}};
    return Json(200,
                {{"link",
                  {{"kind", kind ? LinkKindOf(*kind).apiName : "none"},
                   {"summary", BytesToJsonText(status.linkSummary)},
                   {"open", status.link.phase != LinkState::Closed},
                   {"connected", status.link.Connected()},
                   {"state", BytesToJsonText(status.link.Summary())},
                   {"peers", peers},
                   {"error", BytesToJsonText(status.linkError)},
                   // A virtual serial port: the line as its host set it, and whether it differs.
                   {"host", status.link.kind == LinkKind::Pty && status.link.phase == LinkState::Up
                                ? json(BytesToJsonText(status.link.host))
                                : json(nullptr)},
                   {"mismatch", status.link.kind == LinkKind::Pty && status.link.mismatch},
                   {"sides", sides},
                   {"forwarded", forwarded},
                   {"undelivered", undelivered},
                   {"heldBack", status.heldBy.empty() ? json(nullptr) : json(status.heldBy)}}},
                 {"engine",
                  {{"status", status.engineStatus < 0 ? json(nullptr) : json(status.engineStatus)},
                   {"statusText", StatusText(status.engineStatus)}}},
                 {"counts",
                  {{"received", status.received},
                   {"listed", status.listed},
                   {"sent", counts.sent},
                   {"accepted", counts.accepted},
                   {"failed", counts.failed},
                   {"timedOut", counts.timedOut},
                   {"answersDropped", status.answersDropped}}},
                 {"log", log},
                 {"scenario",
                  {{"running", status.scenarioRunning},
                   {"name", status.scenarioRunning ? json(BytesToJsonText(status.scenario)) : json(nullptr)},
                   {"state", status.scenarioRunning ? json(BytesToJsonText(status.scenarioState)) : json(nullptr)},
                   {"error", status.scenarioError.empty() ? json(nullptr) : json(BytesToJsonText(status.scenarioError))},
                   {"expectations", status.judging ? json{{"passed", status.expectPassed},
                                                          {"failed", status.expectFailed},
                                                          {"pending", status.expectPending}}
                                                   : json(nullptr)}}}});
}

// Where an events stream starts: what happens next, or after the event a reader names
// ("<run>-<seq>" as the stream's ids are, or a bare number of this run).
ApiResponse Events(const ApiRequest& request, const Target& t, AppCore& core) {
    OnlyParameters(t.query, {"after"});
    ApiResponse response;
    response.stream = true;
    std::string resume = request.lastEventId;
    if (resume.empty() && t.query.count("after") != 0) resume = t.query.at("after");
    if (resume.empty()) {
        response.streamAfter = core.Hub().LastSeq();
        return response;
    }
    std::string seqText = resume;
    if (const auto dash = resume.rfind('-'); dash != std::string::npos) {
        response.streamRun = resume.substr(0, dash);
        seqText = resume.substr(dash + 1);
    }
    const auto seq = ToUnsigned(seqText);
    if (!seq)
        throw ApiError(400, "invalid_value", "'" + resume + "' is not an event id.",
                       request.lastEventId.empty() ? "after" : "Last-Event-ID");
    response.streamAfter = *seq;
    response.streamResumes = true;
    response.streamFrom = resume;
    return response;
}

// The resources answered from what the core shows every thread.
std::optional<ApiResponse> Quick(const ApiRequest& request, AppCore& core, const ApiCounters* counters) {
    Target t = Parse(request);
    switch (t.route) {
        case R::Status:
            NoParameters(t);
            return Status(core);
        case R::Health:
            NoParameters(t);
            return Json(200, {{"status", "ok"}});
        case R::Ready:
            NoParameters(t);
            return Ready(core);
        case R::Version:
            NoParameters(t);
            return Json(200, {{"name", "vantor-simulator"}, {"version", VANTOR_VERSION}, {"api", "v1"}});
        case R::OpenApi: {
            NoParameters(t);
            ApiResponse response;
            response.body = kOpenApiDocument;
            return response;
        }
        case R::Metrics: {
            NoParameters(t);
            ApiResponse response;
            response.body = MetricsText(core.GetStatus(), counters);
            response.contentType = "text/plain; version=0.0.4; charset=utf-8";
            return response;
        }
        case R::Events:
            return Events(request, t, core);
        default:
            return std::nullopt;
    }
}

// A link action the core refused (nobody to take it) is a conflict with the link's state.
void Taken(const std::string& refused) {
    if (!refused.empty()) throw ApiError(409, "not_connected", BytesToJsonText(refused), "action");
}

ApiResponse LinkActions(AppCore& core, const json& body) {
    OnlyFields(body, {"action", "ms", "bytes", "side", "session"});
    std::string choices = "action must be one of ";
    for (const LinkActionInfo& a : kLinkActions) choices += std::string(a.name) + (&a == std::end(kLinkActions) - 1 ? "." : ", ");
    if (!body.contains("action")) throw ApiError(400, "missing_field", choices, "action");
    const std::string action = Bytes(body["action"], "action");
    const LinkActionInfo* info = FindLinkAction(action);
    if (info == nullptr) throw ApiError(400, "invalid_value", choices, "action");
    // What the link's kind cannot do is refused whoever is connected, and says why.
    if (const std::string why = core.CannotDo(info->code); !why.empty())
        throw ApiError(409, "not_supported", BytesToJsonText(why), "action");
    LinkActionArgs args;
    // Through the proxy, a drop or a reconnect may be for one side only.
    if (body.contains("side")) {
        const auto side = IndexOf(kSideNames, body["side"]);
        if (!side) throw ApiError(400, "invalid_value", "side must be A or B.", "side");
        if (!LinkCan(core.Link()).proxy)
            throw ApiError(409, "not_a_proxy", "side names a side of the proxy; the link is not one.", "side");
        if (info->code != LinkActionCode::DropConnections && info->code != LinkActionCode::Reconnect)
            throw ApiError(400, "invalid_value", "side is for drop and reconnect.", "side");
        args.side = *side + 1;
    }
    // Drop, XOFF and raw bytes may be for one session (the others' connections stay).
    if (body.contains("session")) {
        if (info->code != LinkActionCode::DropConnections && info->code != LinkActionCode::HoldWithXoff &&
            info->code != LinkActionCode::SendRaw)
            throw ApiError(400, "invalid_value", "session is for drop, xoff and raw.", "session");
        args.session = SessionField(core, body["session"], "session");
    }
    if (info->code == LinkActionCode::HoldWithXoff) {
        if (!body.contains("ms")) throw ApiError(400, "missing_field", "xoff needs ms.", "ms");
        args.ms = Ranged(body["ms"], "ms", kHoldMsRange);
    } else if (info->code == LinkActionCode::SendRaw) {
        if (!body.contains("bytes")) throw ApiError(400, "missing_field", "raw needs bytes.", "bytes");
        args.bytes = Bytes(body["bytes"], "bytes");
    }
    Taken(core.LinkAction(info->code, args));
    json done = {{"action", action}};
    if (args.side != 0) done["side"] = kSideNames[args.side - 1];
    if (args.session != 0) done["session"] = args.session;
    return Json(200, done);
}

int RowNumber(const std::string& text) {
    const auto number = ToUnsigned(text);
    if (!number || *number < 1 || *number > kSendSlots) throw ApiError(404, "not_found", "No such row.");
    return static_cast<int>(*number) - 1;
}

const SendRun& FindSend(AppCore& core, const std::string& text) {
    const auto id = ToUnsigned(text);
    const SendRun* run = id ? core.Sends().Find(*id) : nullptr;
    if (run == nullptr) throw ApiError(404, "not_found", "No such send.");
    return *run;
}

// ---- devices (api/devices_api.cpp) ------------------------------------------------------

ApiResponse Devices(const AppCore& core, const Target& t) {
    const auto fleet = core.Fleet();
    if (!fleet && t.route == R::Device)
        throw ApiError(404, "no_fleet", "No fleet runs (start the simulator with --fleet FILE).");
    if (!fleet) {
        OnlyParameters(t.query, {"state", "after", "limit"});
        json none = DevicesPageJson(FleetBoard(std::vector<DeviceStatus>{}), std::nullopt, 0, 1);
        none["fleet"] = false;
        return Json(200, none);
    }
    if (t.route == R::Device) {
        const auto number = ToUnsigned(t.params[0]);
        const auto device = number && *number <= UINT32_MAX ? fleet->Find(static_cast<std::uint32_t>(*number)) : std::nullopt;
        if (!device) throw ApiError(404, "not_found", "No device " + t.params[0] + " in the fleet.");
        return Json(200, DeviceJson(*device));
    }
    OnlyParameters(t.query, {"state", "after", "limit"});
    std::optional<DeviceState> state;
    if (const auto it = t.query.find("state"); it != t.query.end()) {
        std::string error;
        state = DeviceStateQuery(it->second, error);
        if (!state) throw ApiError(400, "invalid_value", error, "state");
    }
    const auto after = static_cast<std::uint32_t>(QueryNumber(t.query, "after", 0, 0, UINT32_MAX));
    const std::uint64_t limit = QueryNumber(t.query, "limit", 100, 1, 1000);
    json page = DevicesPageJson(*fleet, state, after, static_cast<std::size_t>(limit));
    page["fleet"] = true;
    return Json(200, page);
}

ApiResponse Route(const ApiRequest& request, AppCore& core, const ApiPolicy& policy) {
    if (auto quick = Quick(request, core, nullptr)) return *quick;
    const Target t = Parse(request);
    const std::string& method = request.method;
    const bool get = method == "GET" || method == "HEAD";
    if (t.route != R::Messages && t.route != R::Sends && t.route != R::LinkFaults && t.route != R::Devices)
        NoParameters(t);
    switch (t.route) {
        case R::Devices:
        case R::Device:
            return Devices(core, t);
        case R::Link:
            return get ? Json(200, LinkJson(core.Link())) : PutLink(core, Body(request));
        case R::LinkActions:
            return LinkActions(core, Body(request));
        case R::LinkFaults:
        {
            const int side = LineSide(t.query);
            return get ? Json(200, LineFaultsJson(core.GetLineFaults(side))) : PutLineFaults(core, Body(request), side);
        }
        case R::ProxyFaults:
            return get ? Json(200, ProxyFaultsJson(core.GetProxyFaults())) : PutProxyFaults(core, Body(request));
        case R::Replies:
            return get ? Json(200, RepliesJson(core.Replies(), core.FaultSeed()))
                       : PutReplies(core, Body(request));
        case R::Row: {
            const int row = RowNumber(t.params[0]);
            return get ? Json(200, RowJson(core, row)) : PutRow(core, row, Body(request));
        }
        case R::RowSend: {
            const int row = RowNumber(t.params[0]);
            OnlyFields(Body(request), {});
            if (const RowStart start = core.SendRow(row); !start.Ok())
                throw ApiError(400, start.kind == RowStart::NotANumber ? "invalid_value" : "out_of_range",
                               BytesToJsonText(start.error), RowProblemField(core.Row(row)));
            return Json(200, RowJson(core, row));
        }
        case R::RowStop: {
            const int row = RowNumber(t.params[0]);
            OnlyFields(Body(request), {});
            const SendRun* run = core.Sends().RowRun(row);
            if (run == nullptr || !run->StopEnabled())
                throw ApiError(409, "not_running", "The row is not running.");
            core.StopRow(row);
            return Json(200, RowJson(core, row));
        }
        case R::BatchSend: {
            OnlyFields(Body(request), {});
            json rows = json::array();
            for (const AppCore::BatchResult& result : core.BatchSend()) {
                json row = {{"row", result.row + 1}, {"started", result.start.Ok()}};
                if (!result.start.Ok()) row["error"] = BytesToJsonText(result.start.error);
                rows.push_back(row);
            }
            return Json(200, {{"rows", rows}});
        }
        case R::Messages:
            if (get) return Messages(core, t.query, t.head);
            NoParameters(t);
            core.ClearMessages();
            return NoContent();
        case R::Sends:
            if (get) return ListSends(core, t.query);
            NoParameters(t);
            return PostSend(core, Body(request));
        case R::Send: {
            const SendRun& run = FindSend(core, t.params[0]);
            if (get) return Json(200, RunJson(run));
            if (!core.Sends().Stop(run.id)) throw ApiError(409, "not_running", "The send is over.");
            return NoContent();
        }
        case R::SendStop: {
            const SendRun& run = FindSend(core, t.params[0]);
            OnlyFields(Body(request), {});
            const std::uint64_t id = run.id;
            if (!core.Sends().Stop(id)) throw ApiError(409, "not_running", "The send is over.");
            return Json(200, RunJson(*core.Sends().Find(id)));
        }
        case R::Reset:
            OnlyFields(Body(request), {});
            core.Reset();
            return Json(200, {{"reset", true}});
        case R::Scenario:
            if (get) return Json(200, ScenarioJson(core.Scenarios().GetView(), core.Now()));
            if (method == "PUT") return PutScenario(core, Body(request), policy);
            core.Scenarios().Stop();
            return NoContent();
        case R::ScenarioReload:
            OnlyFields(Body(request), {});
            try {
                core.Scenarios().Reload();
            } catch (const scenario::ScenarioError& error) {
                throw ApiError(409, "not_reloaded", BytesToJsonText(error.what()));
            }
            return Json(200, ScenarioJson(core.Scenarios().GetView(), core.Now()));
        case R::Expectations:
            if (method == "PUT") return PutExpectations(core, Body(request), policy);
            core.Scenarios().ClearExpectations();
            return NoContent();
        case R::Verify:
            return Json(200, VerifyJson(core.Scenarios()));
        case R::Capture:
            return get ? Json(200, CaptureJson(core.CaptureStatus())) : PostCapture(core, Body(request));
        case R::Replay:
            return get ? Json(200, ReplayJson(core.Replays().GetView())) : PostReplay(core, Body(request));
        case R::Sessions:
            return Sessions(core);
        default:
            throw ApiError(404, "not_found", "No such resource.");
    }
}

// A step's answer, or the response its error stands for.
template <class Result, class Step>
Result Answered(Step&& step) {
    try {
        return step();
    } catch (const ApiError& error) {
        ApiResponse response = Error(error.status, error.code, error.what(), error.field);
        if (!error.allow.empty()) response.headers.emplace_back("Allow", error.allow);
        return response;
    } catch (const std::exception& error) {
        return Error(500, "internal", error.what());
    }
}

}  // namespace

void ApiCounters::Answered(int status) {
    std::lock_guard<std::mutex> guard(lock_);
    ++byStatus_[status];
}

std::map<int, std::uint64_t> ApiCounters::ByStatus() const {
    std::lock_guard<std::mutex> guard(lock_);
    return byStatus_;
}

const std::vector<ApiRoute>& ApiRoutes() {
    static const std::vector<ApiRoute> routes = {
        {"/status", {"GET"}},
        {"/health", {"GET"}},
        {"/ready", {"GET"}},
        {"/version", {"GET"}},
        {"/openapi.json", {"GET"}},
        {"/metrics", {"GET"}},
        {"/events", {"GET"}},
        {"/link", {"GET", "PUT"}},
        {"/link/actions", {"POST"}},
        {"/link/faults", {"GET", "PUT"}},
        {"/proxy/faults", {"GET", "PUT"}},
        {"/replies", {"GET", "PUT"}},
        {"/rows/{row}", {"GET", "PUT"}},
        {"/rows/{row}/send", {"POST"}},
        {"/rows/{row}/stop", {"POST"}},
        {"/batch-send", {"POST"}},
        {"/messages", {"GET", "DELETE"}},
        {"/sends", {"GET", "POST"}},
        {"/sends/{id}", {"GET", "DELETE"}},
        {"/sends/{id}/stop", {"POST"}},
        {"/reset", {"POST"}},
        {"/scenario", {"GET", "PUT", "DELETE"}},
        {"/scenario/reload", {"POST"}},
        {"/expectations", {"PUT", "DELETE"}},
        {"/verify", {"GET"}},
        {"/capture", {"GET", "POST"}},
        {"/replay", {"GET", "POST"}},
        {"/sessions", {"GET"}},
        {"/devices", {"GET"}},
        {"/devices/{id}", {"GET"}},
    };
    return routes;
}

std::string ApiErrorBody(const std::string& code, const std::string& message, const std::string& field) {
    return Dump({{"error",
                  {{"code", code},
                   {"message", message},
                   {"field", field.empty() ? json(nullptr) : json(field)}}}});
}

std::optional<ApiResponse> CheckApiRequest(const ApiRequest& request, const ApiPolicy& policy) {
    try {
        // Two answers to who is asking: proxies and servers may each believe another one.
        if (request.ambiguous)
            return Error(400, "bad_request", "A request names its Host, Origin and Authorization once each.");
        if (!policy.token.empty()) {
            const auto given = BearerToken(request.authorization);
            if (!given || !SameToken(*given, policy.token)) {
                ApiResponse response =
                    Error(401, "unauthorized", "A valid bearer token is required.");
                response.headers.emplace_back("WWW-Authenticate", "Bearer");
                response.authFailed = true;
                return response;
            }
        } else {
            const std::string host = HostName(request.host);
            // HTTP/1.0 has no Host; a request that came in on loopback needs none.
            bool known = IsLoopbackName(host) ||
                         (request.host.empty() && request.version < 11 && request.loopbackPeer);
            for (const std::string& name : policy.hosts) known = known || host == Lower(name);
            if (!known) return Error(403, "host_refused", "Requests must name a loopback host.");
        }
        // A web page may send simple requests anywhere, and read nothing back; it cannot send
        // these, and a page of another origin (another port too) holds no stream open.
        // The origin is ours only with our scheme too: a page over https is not this plain server.
        if (!request.origin.empty() &&
            Lower(request.origin) != (request.tls ? "https://" : "http://") + Lower(request.host))
            return Error(403, "cross_site", "Cross-site requests are refused.");
        const bool changes = request.method == "PUT" || request.method == "POST" ||
                             (request.method == "DELETE" && !request.body.empty());
        if (changes) {
            std::string type = Lower(request.contentType.substr(0, request.contentType.find(';')));
            std::erase(type, ' ');
            if (type != "application/json")
                return Error(415, "unsupported_media_type", "Content-Type must be application/json.");
        }
        if (request.body.size() > kMaxApiBody)
            return Error(413, "body_too_large", "The body is larger than 1 MiB.");
        return std::nullopt;
    } catch (const std::exception& error) {
        return Error(500, "internal", error.what());
    }
}

std::optional<ApiResponse> QuickApiRequest(const ApiRequest& request, AppCore& core,
                                           const ApiCounters* counters) {
    return Answered<std::optional<ApiResponse>>([&] { return Quick(request, core, counters); });
}

ApiResponse RouteApiRequest(const ApiRequest& request, AppCore& core, const ApiPolicy& policy) {
    return Answered<ApiResponse>([&] { return Route(request, core, policy); });
}

ApiResponse HandleApiRequest(const ApiRequest& request, AppCore& core, const ApiPolicy& policy) {
    if (auto refused = CheckApiRequest(request, policy)) return *refused;
    return RouteApiRequest(request, core, policy);
}
