#include "api/resources.h"

#include <iterator>

#include "app/app_core.h"
#include "base/link_actions.h"
#include "settings/link_kind.h"
#include "settings/names.h"
#include "settings/proxy_side.h"
#include "text/json_text.h"

namespace api {

namespace {

// "serial, tcp-client, tcp-server, pty or proxy"
std::string LinkKindNames() {
    std::string names;
    const auto kinds = LinkKinds();
    for (std::size_t i = 0; i < kinds.size(); ++i)
        names += (i == 0 ? "" : i + 1 == kinds.size() ? " or " : ", ") + std::string(kinds[i].apiName);
    return names;
}

const char* const kWayNames[] = {"AtoB", "BtoA", "both"};
const char* const kFrameNames[] = {"any", "messages", "acks", "naks", "answers"};
const char* const kRuleWhenNames[] = {"every", "nth", "chance"};

// The rule's values that are on or off, shown as true or false.
bool IsSwitch(const ProxyFaultLimit::Field& field) {
    return field.low == 0 && field.high == 1 && field.member != &ProxyFaultRule::Way;
}

// A link action the core refused (nobody to take it) is a conflict with the link's state.
void Taken(const std::string& refused) {
    if (!refused.empty()) throw ApiError(409, "not_connected", BytesToJsonText(refused), "action");
}

}  // namespace

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

}  // namespace api
