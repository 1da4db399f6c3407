#include "fleet/fleet_file.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <random>
#include <sstream>

#include <boost/asio/ip/address.hpp>

#include "base/regular_file.h"
#include "scenario/json_at.h"
#include "settings/names.h"

namespace fleet {

using scenario::At;
using scenario::json;

std::string Substitute(std::string_view text, std::uint32_t id, std::uint32_t index) {
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 4, "{id}") == 0) {
            out += std::to_string(id);
            i += 4;
        } else if (text.compare(i, 7, "{index}") == 0) {
            out += std::to_string(index);
            i += 7;
        } else {
            out += text[i++];
        }
    }
    return out;
}

namespace {

double Real(const At& at, double low, double high) {
    if (!at.value.is_number()) at.Fail("must be a number");
    const double value = at.value.get<double>();
    if (!(value >= low && value <= high)) {
        std::ostringstream range;
        range << "must be " << low << " to " << high;
        at.Fail(range.str());
    }
    return value;
}

OwnMessage ReadOwn(const At& at) {
    at.Keys({"type", "text"});
    if (!at.Has("type")) at.Fail("a message needs its type");
    OwnMessage message;
    message.type = at["type"].Type();
    if (at.Has("text")) message.text = at["text"].Text();
    return message;
}

Connect ReadConnect(const At& at) {
    at.Keys({"mode", "host", "port", "sources", "rate", "retry"});
    for (const char* needed : {"mode", "host", "port"})
        if (!at.Has(needed)) at.Fail(std::string("needs '") + needed + "'");
    if (at["mode"].Text() != "tcp-client") at["mode"].Fail("only tcp-client is supported");
    Connect connect;
    connect.host = at["host"].Text();
    if (connect.host.empty()) at["host"].Fail("must not be empty");
    connect.port = static_cast<int>(at["port"].Number(1, 65535));
    if (at.Has("sources")) {
        const At sources = at["sources"];
        if (!sources.value.is_array()) sources.Fail("must be an array of addresses");
        for (std::size_t i = 0; i < sources.value.size(); ++i) {
            const std::string address = sources[i].Text();
            boost::system::error_code error;
            boost::asio::ip::make_address(address, error);
            if (error) sources[i].Fail("'" + address + "' is not an IP address");
            connect.sources.push_back(address);
        }
    }
    if (at.Has("rate")) connect.rate = Real(at["rate"], 0.1, 1000000);
    if (at.Has("retry")) {
        const At retry = at["retry"];
        retry.Keys({"firstMs", "longestMs", "jitter"});
        if (retry.Has("firstMs")) connect.retryFirstMs = retry["firstMs"].Number(1, 3600000);
        if (retry.Has("longestMs")) connect.retryLongestMs = retry["longestMs"].Number(1, 3600000);
        if (retry.Has("jitter")) connect.jitter = Real(retry["jitter"], 0, 1);
        if (connect.retryLongestMs < connect.retryFirstMs) retry.Fail("longestMs is shorter than firstMs");
    }
    return connect;
}

// A row as the control API takes it: type, text, action by name, faults by field.
ReplyPrefs ReadReplyRow(const At& at) {
    at.Keys({"type", "text", "action", "faults"});
    if (!at.Has("type")) at.Fail("a reply row needs its type");
    ReplyPrefs row;
    row.Type = std::string(1, static_cast<char>(at["type"].Type()));
    if (at.Has("text")) row.Msg = at["text"].Text();
    if (at.Has("action")) {
        const std::string name = at["action"].Text();
        const auto* names = std::begin(kReplyActionNames);
        const auto* found = std::find(names, std::end(kReplyActionNames), name);
        if (found == std::end(kReplyActionNames)) at["action"].Fail("must be Normal, NAK Error, Type Error or BCC Error");
        row.Action = static_cast<std::int32_t>(found - names);
    }
    if (at.Has("faults")) row.Faults = scenario::ReadFaults(at["faults"]);
    return row;
}

FaultShare ReadShare(const At& at, const Template& t) {
    at.Keys({"fraction", "range", "profile"});
    FaultShare share;
    if (at.Has("fraction") == at.Has("range")) at.Fail("one of fraction or range");
    if (at.Has("fraction")) share.fraction = Real(at["fraction"], 0, 1);
    if (at.Has("range")) {
        const At range = at["range"];
        if (!range.value.is_array() || range.value.size() != 2) range.Fail("must be [first, last]");
        const auto low = static_cast<std::uint32_t>(range[0].Number(0, UINT32_MAX));
        const auto high = static_cast<std::uint32_t>(range[1].Number(0, UINT32_MAX));
        if (high < low) range.Fail("the last number is below the first");
        if (high < t.first || low > t.first + (t.count - 1)) range.Fail("takes no device of this template");
        share.range = std::pair{low, high};
    }
    if (!at.Has("profile")) at.Fail("needs its profile");
    const At profile = at["profile"];
    profile.Keys({"replyFaults", "neverConnect", "dropAfterS"});
    if (profile.Has("replyFaults")) share.profile.replyFaults = scenario::ReadFaults(profile["replyFaults"]);
    if (profile.Has("neverConnect")) share.profile.neverConnect = profile["neverConnect"].Bool();
    if (profile.Has("dropAfterS")) share.profile.dropAfterS = static_cast<std::int32_t>(profile["dropAfterS"].Number(1, 86400));
    return share;
}

Template ReadTemplate(const At& at) {
    at.Keys({"name", "count", "first", "connect", "replies", "scenario", "onConnect", "every", "faults"});
    for (const char* needed : {"count", "connect"})
        if (!at.Has(needed)) at.Fail(std::string("needs '") + needed + "'");
    Template t;
    t.name = at.Has("name") ? at["name"].Text() : "device-{id}";
    t.count = static_cast<std::uint32_t>(at["count"].Number(1, kMaxDevices));
    if (at.Has("first")) t.first = static_cast<std::uint32_t>(at["first"].Number(1, UINT32_MAX - t.count + 1));
    t.connect = ReadConnect(at["connect"]);
    if (at.Has("replies")) {
        const At rows = at["replies"];
        if (!rows.value.is_array()) rows.Fail("must be an array of reply rows");
        if (rows.value.size() > kReplySlots) rows.Fail("at most " + std::to_string(kReplySlots) + " rows");
        for (std::size_t i = 0; i < rows.value.size(); ++i) t.replies.push_back(ReadReplyRow(rows[i]));
    }
    if (at.Has("scenario")) t.scenario = at["scenario"].Text();
    if (at.Has("onConnect")) {
        const At sends = at["onConnect"];
        if (!sends.value.is_array()) sends.Fail("must be an array of messages");
        for (std::size_t i = 0; i < sends.value.size(); ++i) t.onConnect.push_back(ReadOwn(sends[i]));
    }
    if (at.Has("every")) {
        const At every = at["every"];
        every.Keys({"ms", "jitterMs", "type", "text"});
        if (!every.Has("ms") || !every.Has("type")) every.Fail("needs ms and type");
        Every e;
        e.ms = every["ms"].Number(1, 86400000);
        if (every.Has("jitterMs")) e.jitterMs = every["jitterMs"].Number(0, e.ms);
        e.message.type = every["type"].Type();
        if (every.Has("text")) e.message.text = every["text"].Text();
        t.every = e;
    }
    if (at.Has("faults")) {
        const At shares = at["faults"];
        if (!shares.value.is_array()) shares.Fail("must be an array of fault shares");
        for (std::size_t i = 0; i < shares.value.size(); ++i) t.faults.push_back(ReadShare(shares[i], t));
    }
    return t;
}

// "line L, column C" of the byte at `offset` (nlohmann counts the byte after the error).
std::string Place(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i + 1 < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

FleetFile ParseFleet(std::string_view text) {
    json document;
    try {
        document = json::parse(text.begin(), text.end());
    } catch (const json::parse_error& error) {
        std::string what = error.what();
        if (const auto cut = what.find("syntax error"); cut != std::string::npos) what = what.substr(cut);
        throw FleetError(Place(text, error.byte) + ": not JSON: " + what);
    } catch (const json::exception& error) {
        throw FleetError(std::string("not JSON: ") + error.what());
    }
    try {
        const At root{document, ""};
        root.Keys({"$schema", "seed", "templates"});
        FleetFile file;
        if (root.Has("seed")) file.seed = static_cast<std::uint32_t>(root["seed"].Number(0, UINT32_MAX));
        if (!root.Has("templates")) root.Fail("needs 'templates'");
        const At templates = root["templates"];
        if (!templates.value.is_array() || templates.value.empty()) templates.Fail("must be an array of at least one template");
        std::uint64_t total = 0;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> taken;  // numbers in use, by template
        for (std::size_t i = 0; i < templates.value.size(); ++i) {
            file.templates.push_back(ReadTemplate(templates[i]));
            const Template& t = file.templates.back();
            total += t.count;
            if (total > kMaxDevices)
                templates[i]["count"].Fail("the fleet would have " + std::to_string(total) + " devices, more than " +
                                           std::to_string(kMaxDevices));
            const std::uint32_t last = t.first + (t.count - 1);
            for (std::size_t other = 0; other < taken.size(); ++other)
                if (t.first <= taken[other].second && taken[other].first <= last)
                    templates[i]["count"].Fail("its numbers " + std::to_string(t.first) + " to " + std::to_string(last) +
                                               " overlap those of template " + std::to_string(other));
            taken.emplace_back(t.first, last);
        }
        return file;
    } catch (const scenario::ScenarioError& error) {
        throw FleetError(error.what());
    }
}

FleetFile LoadFleet(const std::string& path) {
    std::string text;
    try {
        text = files::ReadRegular(path, files::kMaxDocumentBytes);
    } catch (const files::FileError& error) {
        throw FleetError(error.what());
    }
    FleetFile file;
    try {
        file = ParseFleet(text);
    } catch (const FleetError& error) {
        throw FleetError(path + ": " + error.what());
    }
    // A scenario is found beside the fleet file, wherever the program was started.
    const std::filesystem::path folder = std::filesystem::absolute(path).parent_path();
    for (Template& t : file.templates)
        if (!t.scenario.empty() && std::filesystem::path(t.scenario).is_relative())
            t.scenario = (folder / t.scenario).string();
    return file;
}

std::vector<Device> ExpandDevices(const FleetFile& file) {
    std::vector<Device> devices;
    for (std::uint32_t templ = 0; templ < file.templates.size(); ++templ) {
        const Template& t = file.templates[templ];
        const std::size_t start = devices.size();
        for (std::uint32_t index = 0; index < t.count; ++index) devices.push_back(Device{t.first + index, index, templ, -1});
        for (std::size_t s = 0; s < t.faults.size(); ++s) {
            const FaultShare& share = t.faults[s];
            const auto mark = [&](std::uint32_t index) {
                Device& device = devices[start + index];
                if (device.share < 0) device.share = static_cast<std::int32_t>(s);
            };
            if (share.range) {
                for (std::uint32_t index = 0; index < t.count; ++index)
                    if (t.first + index >= share.range->first && t.first + index <= share.range->second) mark(index);
                continue;
            }
            // A seeded shuffle of the template's places: the first round(f * count) are in.
            std::vector<std::uint32_t> order(t.count);
            std::iota(order.begin(), order.end(), 0u);
            std::mt19937 random(file.seed ^ (templ * 0x9E3779B9u) ^ (static_cast<std::uint32_t>(s) * 0x85EBCA6Bu));
            std::shuffle(order.begin(), order.end(), random);
            const auto taken = static_cast<std::size_t>(std::llround(*share.fraction * t.count));
            for (std::size_t i = 0; i < taken; ++i) mark(order[i]);
        }
    }
    std::sort(devices.begin(), devices.end(), [](const Device& a, const Device& b) { return a.number < b.number; });
    return devices;
}

const FaultProfile* ProfileOf(const FleetFile& file, const Device& device) {
    if (device.share < 0) return nullptr;
    return &file.templates[device.templ].faults[static_cast<std::size_t>(device.share)].profile;
}

std::string DeviceName(const FleetFile& file, const Device& device) {
    return Substitute(file.templates[device.templ].name, device.number, device.index);
}

FleetLinkPlan LinkPlan(const FleetFile& file, const std::vector<Device>& devices) {
    FleetLinkPlan plan;
    for (std::size_t templ = 0; templ < file.templates.size(); ++templ) {
        const Template& t = file.templates[templ];
        FleetGroupLink group;
        group.name = "template " + std::to_string(templ);
        group.host = t.connect.host;
        group.port = t.connect.port;
        group.sources = t.connect.sources;
        group.rate = t.connect.rate;
        group.backoff = ConnectRamp::Backoff{t.connect.retryFirstMs, t.connect.retryLongestMs, t.connect.jitter};
        group.seed = file.seed + static_cast<std::uint32_t>(templ);
        plan.groups.push_back(std::move(group));
    }
    for (const Device& device : devices) {
        FleetGroupLink::Member member;
        member.device = device.number;
        if (const FaultProfile* profile = ProfileOf(file, device)) {
            member.neverConnect = profile->neverConnect;
            member.dropAfterS = profile->dropAfterS;
        }
        plan.groups[device.templ].members.push_back(member);
    }
    return plan;
}

}  // namespace fleet
