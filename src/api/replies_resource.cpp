#include "api/resources.h"

#include "app/app_core.h"
#include "settings/names.h"
#include "text/json_text.h"

namespace api {

namespace {

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

}  // namespace

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
            std::string field;
            if (const std::string conflict = ReplyFaultsConflict(reply.Faults, field); !conflict.empty())
                throw ApiError(400, "invalid_value", conflict + ".", p + ".faults." + field);
        }
    }
    core.ApplyReplies(replies, seed);
    return Json(200, RepliesJson(core.Replies(), core.FaultSeed()));
}

}  // namespace api
