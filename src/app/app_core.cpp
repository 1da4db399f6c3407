#include "app/app_core.h"

#include <ctime>

#include "app/event_hub.h"
#include "app/json_text.h"
#include "app/scheduler.h"
#include "protocol/frame.h"
#include "protocol/reply_actions.h"
#include "protocol/reply_faults.h"
#include "settings/preferences.h"
#include "text/parser.h"
#include "traffic/link_state.h"
#include "thread/ctrlthrd.h"
#include "thread/event_broker.h"

const char* const kReplyActionNames[4] = {"Normal", "NAK Error", "Type Error", "BCC Error"};

namespace {

template <std::size_t N>
std::string TableText(const char* const (&table)[N], std::int32_t index) {
    return index >= 0 && static_cast<std::size_t>(index) < N ? table[index] : "?";
}

std::int32_t MsecsSinceMidnight(std::int64_t epochMs) {
    const std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 +
           static_cast<std::int32_t>(epochMs % 1000);
}

}  // namespace

std::string LinkSummaryText(const CommPrefs& comm) {
    static const char* const baud[] = {"115200", "57600", "38400", "19200",
                                       "9600",   "4800",  "2400",  "1200"};
    static const char* const bits[] = {"7", "8"};
    static const char* const stop[] = {"1", "2"};
    static const char* const parity[] = {"E", "O", "N"};
    switch (comm.Type) {
        case 0:
            return comm.Port + "," + TableText(baud, comm.Baud) + "," + TableText(bits, comm.Bits) +
                   "," + TableText(stop, comm.Stop) + "," + TableText(parity, comm.Parity);
        case 1:
            return "TCP/IP Client to " + comm.RemoteIp + ":" + std::to_string(comm.RemotePort);
        case 2:
            return "TCP/IP Server on Port " + std::to_string(comm.LocalPort);
        default:
            return "";
    }
}

std::string ReplyActionsText(const std::array<ReplyPrefs, kReplySlots>& replies) {
    std::string table;
    for (const ReplyPrefs& reply : replies)
        table += reply.Type + '\t' + reply.Msg + '\t' + std::to_string(reply.Action) + "\r\n";
    return table;
}

std::string ReplyFaultsText(std::int32_t seed, const std::array<ReplyPrefs, kReplySlots>& replies) {
    std::vector<ReplyFaults> faults;
    for (const ReplyPrefs& reply : replies) faults.push_back(reply.Faults);
    return FormatReplyFaults(seed, faults);
}

Answer AnswerFor(const std::array<ReplyPrefs, kReplySlots>& replies, std::uint8_t received) {
    // The engine's rule: every matching row counts, the last one's text wins, and each
    // injected error stays once any row has asked for it.
    std::uint8_t type = received;
    std::uint8_t code = ctrl::ACK;
    const std::string* reply = nullptr;
    bool nak = false, wrongType = false, wrongBcc = false;
    for (const ReplyPrefs& row : replies) {
        if (row.Type.size() != 1 || static_cast<std::uint8_t>(row.Type[0]) != received) continue;
        reply = &row.Msg;
        nak = nak || row.Action == ReplyAction::Nak;
        wrongType = wrongType || row.Action == ReplyAction::WrongType;
        wrongBcc = wrongBcc || row.Action == ReplyAction::WrongBcc;
    }
    if (nak) code = ctrl::NAK;
    if (wrongType) type = static_cast<std::uint8_t>(received + 1);
    CharBuffer frame;
    BuildFrame(frame, type, code,
               reply ? reinterpret_cast<const std::uint8_t*>(reply->data()) : nullptr,
               reply ? reply->size() : 0);
    if (wrongBcc && frame.Size() > 1) ++frame.Data()[frame.Size() - 2];
    Answer answer;
    answer.bytes.assign(frame.Bytes().begin(), frame.Bytes().end());
    for (const auto& [used, name] :
         {std::pair{nak, kReplyActionNames[1]}, std::pair{wrongType, kReplyActionNames[2]},
          std::pair{wrongBcc, kReplyActionNames[3]}}) {
        if (!used) continue;
        if (!answer.action.empty()) answer.action += "+";
        answer.action += name;
    }
    if (answer.action.empty()) answer.action = kReplyActionNames[0];
    return answer;
}

AppCore::AppCore(Preferences& prefs, EventBroker& toThread, EventBroker& toWindow,
                 Scheduler& scheduler, EventHub& hub, Clock clock)
    : prefs_(prefs),
      toThread_(toThread),
      toWindow_(toWindow),
      hub_(hub),
      clock_(clock ? std::move(clock) : Clock(SystemMilliseconds)),
      sends_(prefs, toThread, scheduler, hub, clock_) {
    SetListener({});
}

void AppCore::SetListener(Listener listener) {
    listener_ = std::move(listener);
    sends_.SetHooks({listener_.rowChanged, listener_.rowError});
}

void AppCore::Start() {
    LogLink();
    PostReplyActions();
}

void AppCore::LogLink() {
    const CommPrefs comm = prefs_.Get_comm_prefs();
    hub_.Publish("link", {{"settings", BytesToJsonText(TControlThread::FormatCommSettings(comm))},
                          {"summary", BytesToJsonText(LinkSummaryText(comm))}});
}

bool AppCore::OnBrokerEvent() {
    Event event;
    if (!toWindow_.GetEvent(event)) return false;
    OnEvent(event);
    if (listener_.event) listener_.event(event);
    return true;
}

void AppCore::OnEvent(const Event& event) {
    sends_.OnEvent(event);
    switch (event.id) {
        case EventId::MessageReceived: {
            ReceivedMessage message = ReceivedStore::ParseRecord(event.text);
            message.arrivalMs = clock_();
            message.msecsSinceMidnight = MsecsSinceMidnight(message.arrivalMs);
            const ReceivedMessage& kept = messages_.Add(std::move(message));
            hub_.Publish("received",
                         {{"id", kept.id},
                          {"timestamp", ReceivedStore::FormatTime(kept.msecsSinceMidnight)},
                          {"status", kept.status},
                          {"type", BytesToJsonText(kept.type)},
                          {"text", BytesToJsonText(kept.text)},
                          {"rxBcc", BytesToJsonText(kept.rxBcc)},
                          {"calcBcc", BytesToJsonText(kept.calcBcc)}});
            // The engine answers before it reports the message, by the table it was given.
            const Answer answer = AnswerFor(engineReplies_, static_cast<std::uint8_t>(event.value));
            hub_.Publish("answer", {{"message", kept.id},
                                    {"bytes", BytesToJsonText(answer.bytes)},
                                    {"action", answer.action}});
            break;
        }
        case EventId::Error:
        case EventId::OpenFailed:
            linkError_ = event.text;
            hub_.Publish("error", {{"code", event.id}, {"text", BytesToJsonText(event.text)}});
            break;
        case EventId::LinkState:
            link_ = LinkState::Decode(event.text);
            hub_.Publish("linkState", {{"connected", link_.Connected()},
                                       {"state", BytesToJsonText(link_.Summary())}});
            break;
        case EventId::Status:
            engineStatus_ = event.value;
            hub_.Publish("status", {{"code", event.value}, {"text", StatusText(event.value)}});
            break;
        default:
            break;
    }
}

CommPrefs AppCore::Link() const {
    return prefs_.Get_comm_prefs();
}

std::string AppCore::CheckLink(const CommPrefs& comm) {
    struct Range {
        const char* name;
        std::int32_t value, last;
    };
    for (const Range& r :
         {Range{"type", comm.Type, 2}, Range{"baud", comm.Baud, 7}, Range{"bits", comm.Bits, 1},
          Range{"stop", comm.Stop, 1}, Range{"parity", comm.Parity, 2}}) {
        if (r.value < 0 || r.value > r.last)
            return std::string(r.name) + " must be 0 to " + std::to_string(r.last) + ".";
    }
    return "";
}

bool AppCore::ApplyLink(const CommPrefs& comm) {
    const std::string before = TControlThread::FormatCommSettings(prefs_.Get_comm_prefs());
    prefs_.Set_comm_prefs(comm);
    const std::string after = TControlThread::FormatCommSettings(comm);
    if (before == after) return false;
    PostLink();
    return true;
}

void AppCore::PostLink() {
    toThread_.PostEvent(Event{EventId::CommSettings, 0, 0,
                              TControlThread::FormatCommSettings(prefs_.Get_comm_prefs())});
    linkError_.clear();
    LogLink();
    if (listener_.linkChanged) listener_.linkChanged();
}

std::array<ReplyPrefs, kReplySlots> AppCore::Replies() const {
    std::array<ReplyPrefs, kReplySlots> replies;
    for (int slot = 0; slot < kReplySlots; ++slot) replies[slot] = prefs_.Get_reply_prefs(slot);
    return replies;
}

void AppCore::ApplyReplies(const std::array<ReplyPrefs, kReplySlots>& replies) {
    for (int slot = 0; slot < kReplySlots; ++slot) prefs_.Set_reply_prefs(slot, replies[slot]);
    PostReplyActions();
}

void AppCore::PostReplyActions() {
    engineReplies_ = Replies();
    toThread_.PostEvent(
        Event{EventId::ReplyActions, kReplySlots, 0, ReplyActionsText(engineReplies_)});
    // The rows' faults follow the table they belong to.
    toThread_.PostEvent(Event{EventId::ReplyFaults, kReplySlots, 0,
                              ReplyFaultsText(prefs_.Get_fault_seed(), engineReplies_)});
    nlohmann::json rows = nlohmann::json::array();
    for (const ReplyPrefs& reply : engineReplies_)
        rows.push_back({{"type", BytesToJsonText(reply.Type)},
                        {"text", BytesToJsonText(reply.Msg)},
                        {"action", reply.Action}});
    hub_.Publish("replies", {{"replies", std::move(rows)}});
}

SendPrefs AppCore::Row(int row) const {
    return prefs_.Get_send_prefs(row);
}

void AppCore::SetRow(int row, const SendPrefs& settings) {
    prefs_.Set_send_prefs(row, settings);
    if (listener_.rowSettingsChanged) listener_.rowSettingsChanged(row);
}

std::string AppCore::SendRow(int row) {
    return sends_.StartRow(row);
}

void AppCore::StopRow(int row) {
    sends_.StopRow(row);
}

std::vector<AppCore::BatchResult> AppCore::BatchSend() {
    std::vector<BatchResult> results;
    for (int row = 0; row < kSendSlots; ++row) {
        const SendPrefs settings = prefs_.Get_send_prefs(row);
        if (settings.Type.empty()) continue;
        results.push_back({row, sends_.StartRow(row)});
        const bool notNumber =
            !ParseWholeNumber(settings.Count) || !ParseWholeNumber(settings.Delay);
        if (notNumber) break;
    }
    return results;
}

void AppCore::ClearMessages() {
    messages_.Clear();
    if (listener_.messagesCleared) listener_.messagesCleared();
}

void AppCore::LinkAction(std::int32_t code, const std::string& argument) {
    toThread_.PostEvent(Event{EventId::LinkAction, code, 0, argument});
    hub_.Publish("linkAction", {{"code", code}, {"argument", BytesToJsonText(argument)}});
}

AppCore::Status AppCore::GetStatus() const {
    return Status{LinkSummaryText(prefs_.Get_comm_prefs()), linkError_, engineStatus_,
                  messages_.LastId(), link_};
}
