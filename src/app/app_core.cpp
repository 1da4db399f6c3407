#include "app/app_core.h"

#include <chrono>
#include <thread>

#include "app/json_log.h"
#include "base/link_actions.h"
#include "app/scheduler.h"
#include "drivers/fleet_client.h"
#include "fleet/fleet_responder.h"
#include "protocol/frame.h"
#include "settings/names.h"
#include "settings/preferences.h"
#include "settings/proxy_side.h"
#include "text/integer.h"
#include "text/json_text.h"
#include "text/times.h"
#include "thread/ctrlthrd.h"

namespace {

// Events taken from the control thread in one turn of the core's thread: as many as may wait
// before the link is held back, so that a turn usually takes them all in one swap, and few
// enough that a turn never keeps the window's input waiting long.
constexpr std::size_t kEventsPerTurn = 8192;
// A turn that took this many is a flood: the next one waits a moment to take a batch.
constexpr std::size_t kBusyBatch = 64;
constexpr int kBusyPauseMs = 1;
// Events that may wait for the core before the link is held back. Small beside the events the
// hub keeps, so that a stream that holds the link back never falls out of them.
constexpr std::size_t kEventMark = 8192;
// How long the end waits for the control thread to report that it has stopped reading.
constexpr auto kQuiesceWait = std::chrono::seconds(3);

}  // namespace

AppCore::AppCore(Preferences& prefs, Scheduler& scheduler)
    : AppCore(prefs, scheduler, Options{}) {}

AppCore::AppCore(Preferences& prefs, Scheduler& scheduler, Options options)
    : prefs_(prefs),
      scheduler_(scheduler),
      options_(std::move(options)),
      clock_(options_.clock ? options_.clock : Clock(SystemMilliseconds)),
      eventGauge_(gate_.AddGauge("the application core is behind", kEventMark)),
      hub_(options_.keptEvents, clock_),
      toWindow_([this](std::uint32_t) { ScheduleTake(); }, 2026),
      traffic_(gate_, prefs.Get_traffic_prefs(), options_.trafficClock),
      messages_(static_cast<std::size_t>(std::max(0, prefs.Get_traffic_prefs().ListMax))),
      sends_(prefs, toThread_, scheduler, hub_, clock_),
      scenarios_(toThread_, hub_, scheduler, clock_),
      replay_(toThread_, traffic_, hub_, scheduler) {
    toWindow_.SetGauge(&eventGauge_);
    hub_.SetLagGauge(&gate_.AddGauge("an events stream is behind", std::max<std::size_t>(1, options_.keptEvents / 4)));
    hub_.SetActive(options_.events || !options_.log.empty());
    if (!options_.log.empty())
        log_ = std::make_unique<JsonLog>(hub_, options_.log,
                                         &gate_.AddGauge("the event log is behind", 8u << 20),
                                         options_.onLogFailure);
    messages_.SetOnDrop([this](std::size_t count) {
        if (listener_.messagesDropping) listener_.messagesDropping(count);
    });
    SetListener({});
    traffic_.SetLinkSettings(prefs_.Get_comm_prefs());
    // A scenario loaded or judged outside a turn (a request, a timer) shows in the status at
    // once; within one, the turn's end publishes it.
    scenarios_.AddOnChange([this] {
        if (!inTurn_) PublishStatus();
    });
    PublishStatus();
}

AppCore::~AppCore() {
    *alive_ = false;
    Shutdown();
}

void AppCore::SetListener(Listener listener) {
    listener_ = std::move(listener);
    sends_.SetHooks({listener_.rowChanged, listener_.rowError});
    if (listener_.trafficReady) {
        traffic_.SetView(listener_.trafficReady);
    } else {
        traffic_.SetView({});
    }
}

std::shared_ptr<const FleetBoard> AppCore::Fleet() const {
    return options_.fleet ? options_.fleet->board : nullptr;
}

void AppCore::Start() {
    if (started_) return;
    started_ = true;
    traffic_.Start();
    if (options_.runLink) {
        thread_ = std::make_unique<TControlThread>(&toThread_, &toWindow_, prefs_.Get_comm_prefs(), 0);
        thread_->trafficTap = &traffic_.Sink();
        thread_->gate = &gate_;
        thread_->lineFaults = prefs_.Get_line_faults(0);
        thread_->lineFaultsB = prefs_.Get_line_faults(1);
        thread_->proxyFaults = prefs_.Get_proxy_faults();
        if (options_.fleet) {
            thread_->fleetLink = std::make_shared<FleetLinkPlan>(
                fleet::LinkPlan(options_.fleet->file, options_.fleet->devices));
            thread_->fleetBoard = options_.fleet->board;
        }
        thread_->Resume();
    }
    LogLink();
    PostReplyActions();
    if (options_.fleet) {
        // Each device's session gets its own behaviour from the first byte on.
        Event event{EventId::SetResponder, 0, 0, {}};
        event.payload = std::shared_ptr<Responder>(std::make_shared<fleet::FleetResponder>(options_.fleet));
        toThread_.PostEvent(std::move(event));
    }
}

void AppCore::ScheduleTake() {
    // Called on the control thread for every event put in: one turn of the core's thread
    // takes every event waiting, so a flood costs one wake-up per batch, not one per event.
    if (takeScheduled_.exchange(true)) return;
    PostTake(0);
}

void AppCore::PostTake(int delayMs) {
    std::weak_ptr<bool> alive = alive_;
    scheduler_.Post(
        [this, alive] {
            if (alive.expired()) return;
            TakeEvents();
        },
        delayMs);
}

std::size_t AppCore::TakeEvents() {
    batch_.clear();
    const std::size_t taken = toWindow_.GetEvents(batch_, kEventsPerTurn);
    const std::uint64_t before = received_;
    {
        struct InTurn {
            bool& flag;
            ~InTurn() { flag = false; }
        } turn{inTurn_ = true};
        for (Event& event : batch_) OnEvent(event);
    }
    batch_.clear();
    if (received_ != before && listener_.messagesAdded) listener_.messagesAdded();
    PublishStatus();
    if (taken >= kBusyBatch) {
        // A flood: the next turn comes a moment later, after whatever else waits on this
        // thread (an API request, the window's input), and takes what came meanwhile in one
        // batch. Meanwhile no event schedules a turn of its own.
        takeScheduled_ = true;
        PostTake(kBusyPauseMs);
    } else {
        // Quiet: the next event schedules a turn at once. One that came before the flag was
        // cleared is looked for here.
        takeScheduled_ = false;
        if (toWindow_.Size() > 0) ScheduleTake();
    }
    return taken;
}

void AppCore::OnEvent(Event& event) {
    sends_.OnEvent(event);
    traffic_.OnEvent(event);
    scenarios_.OnEvent(event);
    replay_.OnEvent(event);
    sessions_.OnEvent(event, link_.where);
    switch (event.id) {
        case EventId::Session:
            if (const auto* info = std::get_if<SessionInfo>(&event.payload)) {
                const SessionTable::Row* row = sessions_.Find(info->session);
                hub_.PublishJson("session", {{"session", info->session},
                                             {"open", info->open},
                                             {"peer", BytesToJsonText(row != nullptr ? row->peer : info->peer)}});
            }
            break;
        case EventId::MessageReceived:
            if (const auto* frame = std::get_if<ReceivedFrame>(&event.payload)) OnMessage(*frame);
            break;
        case EventId::Error:
        case EventId::OpenFailed:
            linkError_ = event.text;
            if (starting_ && options_.onStartProblem) options_.onStartProblem(event.text, event.id == EventId::OpenFailed);
            hub_.PublishJson("error", {{"code", event.id}, {"text", BytesToJsonText(event.text)}});
            break;
        case EventId::LinkState:
            if (const auto* state = std::get_if<LinkState>(&event.payload)) {
                if (LinkState::Gained(link_, *state)) linkError_.clear();  // old news now
                link_ = *state;
                if (link_.Connected()) starting_ = false;
                hub_.PublishJson("linkState", {{"connected", link_.Connected()},
                                               {"state", BytesToJsonText(link_.Summary())}});
            }
            break;
        case EventId::Status:
            engineStatus_ = event.value;
            if (hub_.Active()) {
                hub_.Publish("status", [&event](JsonObjectWriter& line) {
                    line.Int("code", event.value).Text("text", StatusText(event.value));
                });
            }
            break;
        case EventId::Quiesce:
            quiesced_ = true;
            break;
        case EventId::AnswerDropped:
            ++answersDropped_;
            hub_.PublishJson("answerDropped", {{"bytes", event.value}});
            break;
        case EventId::Undelivered:
            if (const auto* lost = std::get_if<Undelivered>(&event.payload)) {
                hub_.PublishJson("undelivered",
                                 {{"way", ProxyDirectionText(static_cast<ProxyDirection>(lost->way & 1))},
                                  {"bytes", lost->bytes},
                                  {"frame", lost->frame},
                                  {"reason", BytesToJsonText(event.text)}});
            }
            break;
        case EventId::ProxyTally:
            if (const auto* tally = std::get_if<ProxyTally>(&event.payload)) proxyTally_ = *tally;
            break;
        case EventId::HeldBack:
            hub_.PublishJson("heldBack", {{"held", !event.text.empty()},
                                          {"reason", event.text.empty() ? nlohmann::json(nullptr)
                                                                        : nlohmann::json(event.text)}});
            break;
        default:
            break;
    }
    if (listener_.event) listener_.event(event);
}

void AppCore::OnMessage(const ReceivedFrame& frame) {
    const std::int64_t arrivalMs = frame.micros != 0 ? frame.micros / 1000 : clock_();
    const std::uint64_t id = messages_.Add(frame, arrivalMs, showNames_);
    ++received_;
    if (!listWarned_ && messages_.Bytes() > options_.listWarnBytes) WarnListLarge();
    for (std::size_t bit = 0; bit < injected_.size(); ++bit)
        if ((frame.injected & (1 << bit)) != 0) ++injected_[bit];
    if (!hub_.Active()) return;
    hub_.Publish("received", [&](JsonObjectWriter& line) {
        line.Unsigned("id", id)
            .Text("timestamp", ListTime(MsecsSinceMidnight(arrivalMs)))
            .Text("status", StatusName(frame.status))
            .Text("type", std::string_view(reinterpret_cast<const char*>(&frame.type), 1))
            .Text("text", frame.text)
            .Text("rxBcc", frame.rxBcc)
            .Text("calcBcc", frame.calcBcc);
        if (frame.session != 0) line.Unsigned("session", frame.session);
        if (!frame.rule.empty()) line.Text("rule", frame.rule);
        if (!frame.nearMiss.empty()) line.Text("nearMiss", frame.nearMiss);
        // UTF-8 as it stands, not bytes to be shown one by one.
        if (frame.way >= 0)
            line.Json("way", "\"" + std::string(ProxyDirectionText(static_cast<ProxyDirection>(frame.way))) + "\"");
        if (frame.way >= 0 && !frame.faults.empty()) line.Text("faults", frame.faults);
    });
    // Through the proxy the simulator answers nothing itself.
    if (frame.way >= 0) return;
    // What the engine wrote, as it wrote it: nothing here works an answer out again.
    hub_.Publish("answer", [&](JsonObjectWriter& line) {
        line.Unsigned("message", id).Text("bytes", frame.answer).Text("action", ActionsText(frame.actions));
        if (frame.session != 0) line.Unsigned("session", frame.session);
        if (!frame.faults.empty()) line.Text("faults", frame.faults);
    });
}

void AppCore::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (thread_) {
        // Nothing more is read from now on; the control thread says so once everything it
        // read before has been passed on, and all of that is taken in here.
        gate_.Close();
        toThread_.PostEvent(Event{EventId::Quiesce, 0, 0, {}});
        const auto until = std::chrono::steady_clock::now() + kQuiesceWait;
        while (!quiesced_ && std::chrono::steady_clock::now() < until) {
            if (TakeEvents() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        thread_->Terminate();
        thread_->WaitFor();
        while (TakeEvents() > 0) {
        }
    } else {
        while (TakeEvents() > 0) {
        }
    }
    traffic_.Finish();
    if (log_) log_->Flush();
    PublishStatus();
}

CommPrefs AppCore::Link() const {
    return prefs_.Get_comm_prefs();
}

std::string AppCore::CheckLink(const CommPrefs& comm) {
    for (const CommRange& r : kCommRanges) {
        const std::int32_t value = comm.*r.member;
        if (value < 0 || value > r.last) return std::string(r.field) + " must be 0 to " + std::to_string(r.last) + ".";
    }
    if (LinkCan(comm).proxy)
        if (std::string error = ProxySidesError(comm); !error.empty()) return "Proxy " + error + ".";
    return "";
}

bool AppCore::ApplyLink(const CommPrefs& comm) {
    const CommPrefs before = prefs_.Get_comm_prefs();
    prefs_.Set_comm_prefs(comm);
    if (before == comm) return false;
    PostLink();
    return true;
}

LineFaults AppCore::GetLineFaults(int side) const { return prefs_.Get_line_faults(side); }

std::string AppCore::ApplyLineFaults(const LineFaults& faults, int side) {
    if (std::string error = LineFaultsError(faults); !error.empty()) return error;
    prefs_.Set_line_faults(side, faults);
    Event event{EventId::SetLineFaults, side == 1 ? 1 : 0, 0, {}};
    event.payload = faults;
    toThread_.PostEvent(std::move(event));
    return "";
}

ProxyFaults AppCore::GetProxyFaults() const { return prefs_.Get_proxy_faults(); }

std::string AppCore::ApplyProxyFaults(const ProxyFaults& faults) {
    if (std::string error = ProxyFaultsError(faults); !error.empty()) return error;
    prefs_.Set_proxy_faults(faults);
    Event event{EventId::SetProxyFaults, 0, 0, {}};
    event.payload = faults;
    toThread_.PostEvent(std::move(event));
    return "";
}

void AppCore::PostLink() {
    // A capture's next interface describes the line as it is now.
    traffic_.SetLinkSettings(prefs_.Get_comm_prefs());
    Event event{EventId::CommSettings, 0, 0, {}};
    event.payload = prefs_.Get_comm_prefs();
    toThread_.PostEvent(std::move(event));
    linkError_.clear();
    starting_ = false;
    LogLink();
    PublishStatus();
    if (listener_.linkChanged) listener_.linkChanged();
}

std::string AppCore::StartCapture(const std::string& path, std::uint64_t rotateBytes) {
    TrafficService::CaptureOptions capture;
    capture.path = path;
    capture.rotateBytes = rotateBytes;
    std::weak_ptr<bool> alive = alive_;
    // A failure while starting is told once, below, not by the writer's callback too.
    auto started = std::make_shared<std::atomic<bool>>(false);
    capture.onFail = [this, alive, started](const std::string& message) {
        // The capture's thread: told on the core's.
        scheduler_.Post([this, alive, started, message] {
            if (alive.expired() || !*started) return;
            hub_.PublishJson("capture", {{"state", "failed"}, {"error", BytesToJsonText(message)}});
            if (listener_.captureChanged) listener_.captureChanged();
        });
    };
    const std::string error = traffic_.StartCapture(capture);
    *started = error.empty();
    if (error.empty()) {
        hub_.PublishJson("capture", {{"state", "started"}, {"file", BytesToJsonText(path)}, {"rotateBytes", rotateBytes}});
    } else {
        hub_.PublishJson("capture", {{"state", "failed"}, {"error", BytesToJsonText(error)}});
    }
    if (listener_.captureChanged) listener_.captureChanged();
    return error;
}

void AppCore::StopCapture() {
    const bool running = traffic_.CaptureStatus().running;
    traffic_.StopCapture();
    if (!running) return;
    const CaptureWriter::Status status = traffic_.CaptureStatus();
    hub_.PublishJson("capture", {{"state", "stopped"},
                                 {"file", BytesToJsonText(status.path)},
                                 {"packets", status.packets},
                                 {"bytes", status.bytes}});
    if (listener_.captureChanged) listener_.captureChanged();
}

void AppCore::LogLink() {
    const CommPrefs comm = prefs_.Get_comm_prefs();
    hub_.PublishJson("link", {{"settings", BytesToJsonText(LinkSettingsText(comm))},
                              {"summary", BytesToJsonText(LinkSummaryText(comm))}});
}

std::string AppCore::CannotDo(std::int32_t code) const {
    const LinkActionInfo* action = FindLinkAction(code);
    if (action == nullptr) return "No such link action.";
    const LinkKindInfo* kind = FindLinkKind(prefs_.Get_comm_prefs());
    if (kind == nullptr) return "The link is of no kind known: not done.";
    return LinkActionUnsupported(*kind, *action);
}

std::string AppCore::LinkAction(std::int32_t code, const LinkActionArgs& args) {
    if (std::string why = CannotDo(code); !why.empty()) return why;
    if (code != LinkActionCode::Reconnect && link_.kind != LinkKind::Proxy && !link_.Connected())
        return "Nobody is connected: not done.";
    if (code == LinkActionCode::Reconnect) starting_ = false;
    Event event{EventId::LinkAction, code, 0, {}};
    event.payload = args;
    toThread_.PostEvent(std::move(event));
    nlohmann::json fields = {{"code", code}, {"action", FindLinkAction(code)->name}};
    if (code == LinkActionCode::HoldWithXoff) fields["ms"] = args.ms;
    if (code == LinkActionCode::SendRaw) fields["bytes"] = BytesToJsonText(args.bytes);
    if (args.side == 1 || args.side == 2) fields["side"] = args.side == 1 ? "A" : "B";
    hub_.PublishJson("linkAction", fields);
    return "";
}

std::array<ReplyPrefs, kReplySlots> AppCore::Replies() const {
    std::array<ReplyPrefs, kReplySlots> replies;
    for (int slot = 0; slot < kReplySlots; ++slot) replies[slot] = prefs_.Get_reply_prefs(slot);
    return replies;
}

std::int32_t AppCore::FaultSeed() const {
    return prefs_.Get_fault_seed();
}

void AppCore::ApplyReplies(const std::array<ReplyPrefs, kReplySlots>& replies) {
    ApplyReplies(replies, prefs_.Get_fault_seed());
}

void AppCore::ApplyReplies(const std::array<ReplyPrefs, kReplySlots>& replies, std::int32_t seed) {
    for (int slot = 0; slot < kReplySlots; ++slot) prefs_.Set_reply_prefs(slot, replies[slot]);
    prefs_.Set_fault_seed(seed);
    PostReplyActions();
}

void AppCore::PostReplyActions() {
    ReplyTable table;
    const auto replies = Replies();
    table.rows.assign(replies.begin(), replies.end());
    table.seed = prefs_.Get_fault_seed();
    Event event{EventId::ReplyActions, kReplySlots, 0, {}};
    event.payload = table;
    toThread_.PostEvent(std::move(event));
    nlohmann::json rows = nlohmann::json::array();
    for (const ReplyPrefs& reply : replies)
        rows.push_back({{"type", BytesToJsonText(reply.Type)},
                        {"text", BytesToJsonText(reply.Msg)},
                        {"action", reply.Action >= 0 && reply.Action < 4
                                       ? nlohmann::json(kReplyActionNames[reply.Action])
                                       : nlohmann::json(reply.Action)}});
    hub_.PublishJson("replies", {{"replies", std::move(rows)}, {"seed", table.seed}});
}

void AppCore::ApplyTrafficSettings() {
    const TrafficPrefs traffic = prefs_.Get_traffic_prefs();
    traffic_.ApplySettings(traffic);
    messages_.SetBound(static_cast<std::size_t>(std::max(0, traffic.ListMax)));
    // A bound that keeps the list small again makes it worth telling once more.
    if (messages_.Bytes() <= options_.listWarnBytes) listWarned_ = false;
    PublishStatus();
}

std::vector<SettingRefusal> AppCore::ApplyPreferences(const Prefs& chosen) {
    std::vector<SettingRefusal> refused = PreferencesRefusals(chosen);
    if (!refused.empty()) return refused;
    const Prefs before = prefs_.Get_prefs();
    prefs_.Set_comm_prefs(chosen.Comm);
    for (int slot = 0; slot < kReplySlots; ++slot) prefs_.Set_reply_prefs(slot, chosen.Reply[slot]);
    prefs_.Set_fault_seed(chosen.FaultSeed);
    prefs_.Set_traffic_prefs(chosen.Traffic);
    for (int side : {0, 1})
        if (const LineFaults& faults = side == 0 ? chosen.Line : chosen.LineB;
            faults != prefs_.Get_line_faults(side))
            ApplyLineFaults(faults, side);
    if (chosen.Proxy != before.Proxy) ApplyProxyFaults(chosen.Proxy);
    ApplyTrafficSettings();
    if (chosen.Comm != before.Comm) PostLink();  // which tells the window of the new link
    PostReplyActions();
    return {};
}

SendPrefs AppCore::Row(int row) const {
    return prefs_.Get_send_prefs(row);
}

void AppCore::SetRow(int row, const SendPrefs& settings) {
    prefs_.Set_send_prefs(row, settings);
    if (listener_.rowSettingsChanged) listener_.rowSettingsChanged(row);
}

RowStart AppCore::SendRow(int row) {
    RowStart start = sends_.StartRow(row);
    PublishStatus();
    return start;
}

void AppCore::StopRow(int row) {
    sends_.StopRow(row);
}

std::vector<AppCore::BatchResult> AppCore::BatchSend() {
    std::vector<BatchResult> results;
    for (int row = 0; row < kSendSlots; ++row) {
        if (prefs_.Get_send_prefs(row).Type.empty()) continue;
        results.push_back({row, sends_.StartRow(row)});
        if (results.back().start.kind == RowStart::NotANumber) break;
    }
    PublishStatus();
    return results;
}

std::vector<int> AppCore::BatchRestarts() const {
    std::vector<int> rows;
    for (int row = 0; row < kSendSlots; ++row)
        if (!prefs_.Get_send_prefs(row).Type.empty() && sends_.RowSending(row)) rows.push_back(row);
    return rows;
}

void AppCore::WarnListLarge() {
    listWarned_ = true;
    const std::size_t bytes = messages_.Bytes();
    hub_.PublishJson("listMemory", {{"bytes", bytes}, {"listed", messages_.Size()}});
    if (listener_.listLarge) listener_.listLarge(bytes);
}

std::string AppCore::KeepNewest(std::int32_t count) {
    if (count < 1 || count > kListMaxRange.high)
        return "the number of messages to keep must be 1 to " + std::to_string(kListMaxRange.high);
    TrafficPrefs traffic = prefs_.Get_traffic_prefs();
    traffic.ListMax = count;
    prefs_.Set_traffic_prefs(traffic);
    ApplyTrafficSettings();
    return {};
}

void AppCore::ClearMessages() {
    messages_.Clear();
    listWarned_ = false;
    PublishStatus();
    if (listener_.messagesCleared) listener_.messagesCleared();
}

void AppCore::Reset() {
    ClearMessages();
    sends_.Reset();
    sessions_.Reset();
    traffic_.ResetStats();
    injected_ = {};
    proxyBaseline_ = proxyTally_;
    // The scenario starts again from its start state, and the judging from now.
    scenarios_.Restart();
    hub_.PublishJson("reset", nlohmann::json::object());
    // The engine takes the table afresh: its every-Nth counters and its draws start again.
    PostReplyActions();
    PublishStatus();
}

void AppCore::RemoveMessages(std::size_t first, std::size_t last) {
    messages_.Remove(first, last);
    PublishStatus();
}

void AppCore::PublishStatus() {
    Status status;
    const CommPrefs comm = prefs_.Get_comm_prefs();
    status.linkType = comm.Type;
    status.linkSummary = LinkSummaryText(comm);
    status.linkError = linkError_;
    status.engineStatus = engineStatus_;
    status.received = messages_.LastId();
    status.listed = messages_.Size();
    status.listMax = messages_.Bound();
    status.answersDropped = answersDropped_;
    for (int way = 0; way < 2; ++way) {
        status.proxy.forwarded[way] = proxyTally_.forwarded[way] - proxyBaseline_.forwarded[way];
        status.proxy.undelivered[way] = proxyTally_.undelivered[way] - proxyBaseline_.undelivered[way];
    }
    status.link = link_;
    status.sends = sends_.GetCounts();
    status.injected = injected_;
    const ResponderStatus& scenario = scenarios_.Status();
    status.scenarioRunning = scenarios_.Running();
    status.scenario = scenarios_.Name();
    status.scenarioState = scenario.state;
    status.scenarioError = scenario.lastError;
    status.judging = scenarios_.HasExpectations();
    scenarios_.Tally(status.expectPassed, status.expectFailed, status.expectPending);
    std::lock_guard<std::mutex> guard(statusLock_);
    status_ = std::move(status);
}

AppCore::Status AppCore::GetStatus() const {
    Status status;
    {
        std::lock_guard<std::mutex> guard(statusLock_);
        status = status_;
    }
    status.heldBy = gate_.HeldBy();
    // Read where they are kept, so that a failure shows at once.
    if (log_) {
        status.logging = true;
        status.logError = log_->Error();
        status.logLostBytes = log_->LostBytes();
    }
    status.traffic = traffic_.Counters();
    status.queues = gate_.Levels();
    status.holds = gate_.HoldCount();
    status.heldMicros = gate_.HeldMicros();
    return status;
}

bool AppCore::LogLost() const {
    return log_ && log_->LostBytes() > 0;
}
