#include "fleet/fleet_responder.h"

#include <algorithm>
#include <random>
#include <stdexcept>

#include "scenario/runner.h"
#include "scenario/scenario.h"
#include "text/parser.h"

namespace fleet {

namespace {

std::string Expand(const std::string& text, const Device& device) {
    std::string out = Substitute(text, device.number, device.index);
    if (out.find_first_of("%\\") != std::string::npos) out = Parser().Expand_flags(out);
    return out;
}

// One device's behaviour. Small: the template's texts are read from the shared file when used.
class DeviceResponder : public Responder {
public:
    DeviceResponder(std::shared_ptr<const FleetShared> shared, const Device& device, std::shared_ptr<Responder> inner,
                    std::int64_t nowMs)
        : shared_(std::move(shared)), device_(device), inner_(std::move(inner)),
          random_(shared_->file.seed ^ (device.number * 0x9E3779B1u)) {
        const Template& t = Templ();
        greetPending_ = !t.onConnect.empty();
        if (t.every) nextEveryMs_ = nowMs + Wait(*t.every);
    }

    Response OnMessage(const IncomingMessage& message, std::int64_t nowMs) override {
        shared_->board->CountReceived(device_.number);
        if (inner_) {
            Response decided = inner_->OnMessage(message, nowMs);
            if (decided.decided) return decided;
        }
        const Template& t = Templ();
        // As the link's table answers: every row of the type counts, the last one's text wins.
        const ReplyPrefs* last = nullptr;
        std::int32_t actions = 0;
        int row = 0;
        for (std::size_t i = 0; i < t.replies.size(); ++i) {
            const ReplyPrefs& r = t.replies[i];
            if (static_cast<std::uint8_t>(r.Type[0]) != message.type) continue;
            last = &r;
            row = static_cast<int>(i) + 1;
            if (r.Action >= 1 && r.Action <= 3) actions |= 1 << (r.Action - 1);
        }
        Response response;
        if (last == nullptr) return response;  // the link's table answers
        response.decided = true;
        response.text = Expand(last->Msg, device_);
        response.actions = actions;
        const FaultProfile* profile = ProfileOf(shared_->file, device_);
        response.faults = profile != nullptr && profile->replyFaults ? *profile->replyFaults : last->Faults;
        response.rule = "device " + std::to_string(device_.number) + " row " + std::to_string(row);
        return response;
    }

    std::optional<std::int64_t> NextDueMs() const override {
        std::optional<std::int64_t> due;
        const auto earliest = [&due](std::optional<std::int64_t> at) {
            if (at && (!due || *at < *due)) due = at;
        };
        if (greetPending_) earliest(0);
        earliest(nextEveryMs_);
        if (inner_) earliest(inner_->NextDueMs());
        return due;
    }

    std::vector<OwnSend> RunDue(std::int64_t nowMs) override {
        std::vector<OwnSend> out;
        const Template& t = Templ();
        if (greetPending_) {
            greetPending_ = false;
            for (const OwnMessage& message : t.onConnect) out.push_back(OwnSend{message.type, Expand(message.text, device_)});
        }
        if (nextEveryMs_ && *nextEveryMs_ <= nowMs && t.every) {
            out.push_back(OwnSend{t.every->message.type, Expand(t.every->message.text, device_)});
            // Late (the thread was busy): the next one is a whole period from now, never a burst.
            nextEveryMs_ = std::max(*nextEveryMs_ + Wait(*t.every), nowMs + 1);
        }
        if (inner_) {
            if (const auto due = inner_->NextDueMs(); due && *due <= nowMs) {
                std::vector<OwnSend> own = inner_->RunDue(nowMs);
                out.insert(out.end(), std::make_move_iterator(own.begin()), std::make_move_iterator(own.end()));
            }
        }
        if (!out.empty()) shared_->board->CountSent(device_.number, out.size());
        return out;
    }

    bool Report(ResponderStatus& out, std::int64_t nowMs, std::int64_t wallMs) override {
        return inner_ && inner_->Report(out, nowMs, wallMs);
    }

private:
    const Template& Templ() const { return shared_->file.templates[device_.templ]; }
    std::int64_t Wait(const Every& every) {
        if (every.jitterMs == 0) return every.ms;
        std::uniform_int_distribution<std::int64_t> spread(-every.jitterMs, every.jitterMs);
        return std::max<std::int64_t>(1, every.ms + spread(random_));
    }

    std::shared_ptr<const FleetShared> shared_;
    Device device_;
    std::shared_ptr<Responder> inner_;
    std::minstd_rand random_;  // small: a fleet has many
    bool greetPending_ = false;
    std::optional<std::int64_t> nextEveryMs_;
};

}  // namespace

FleetResponder::FleetResponder(std::shared_ptr<const FleetShared> shared) : shared_(std::move(shared)) {}

std::shared_ptr<Responder> FleetResponder::ForPeer(std::int64_t nowMs, std::uint64_t origin, std::uint32_t session) {
    const std::uint32_t number = shared_->board->DeviceOf(origin);
    if (number == 0) return nullptr;
    shared_->board->SetSession(origin, session);
    const auto& devices = shared_->devices;
    const auto it = std::lower_bound(devices.begin(), devices.end(), number,
                                     [](const Device& d, std::uint32_t n) { return d.number < n; });
    if (it == devices.end() || it->number != number) return nullptr;
    std::shared_ptr<Responder> inner;
    if (const auto& loaded = shared_->scenarios.at(it->templ)) inner = loaded->ForSession(nowMs);
    return std::make_shared<DeviceResponder>(shared_, *it, std::move(inner), nowMs);
}

std::vector<std::shared_ptr<Responder>> LoadScenarios(const FleetFile& file, std::int64_t nowMs) {
    std::vector<std::shared_ptr<Responder>> loaded;
    for (std::size_t templ = 0; templ < file.templates.size(); ++templ) {
        const std::string& path = file.templates[templ].scenario;
        if (path.empty()) {
            loaded.push_back(nullptr);
            continue;
        }
        try {
            loaded.push_back(std::make_shared<scenario::Runner>(scenario::LoadScenario(path), nowMs));
        } catch (const std::exception& error) {
            throw FleetError("/templates/" + std::to_string(templ) + "/scenario: " + error.what());
        }
    }
    return loaded;
}

std::shared_ptr<const FleetShared> PrepareFleet(const std::string& path, std::int64_t nowMs) {
    auto shared = std::make_shared<FleetShared>();
    shared->file = LoadFleet(path);
    shared->devices = ExpandDevices(shared->file);
    try {
        shared->scenarios = LoadScenarios(shared->file, nowMs);
    } catch (const FleetError& error) {
        throw FleetError(path + ": " + error.what());
    }
    std::vector<DeviceStatus> listed = FleetDevices(LinkPlan(shared->file, shared->devices));
    for (std::size_t i = 0; i < listed.size(); ++i) listed[i].name = DeviceName(shared->file, shared->devices[i]);
    shared->board = std::make_shared<FleetBoard>(std::move(listed));
    return shared;
}

}  // namespace fleet
