#include "app/session_table.h"

#include <variant>

#include "base/event.h"
#include "protocol/frame.h"

void SessionTable::OnEvent(const Event& event, const std::string& where) {
    switch (event.id) {
        case EventId::Session:
            if (const auto* info = std::get_if<SessionInfo>(&event.payload)) {
                if (!info->open) {
                    open_.erase(info->session);
                    break;
                }
                ++begun_;
                Row& row = open_[info->session];
                row.session = info->session;
                row.peer = info->peer.empty() ? where : info->peer;
                row.sinceMicros = info->micros;
            }
            break;
        case EventId::MessageReceived:
            if (const auto* frame = std::get_if<ReceivedFrame>(&event.payload)) {
                const auto it = open_.find(frame->session);
                if (it == open_.end()) break;
                Counts& counts = it->second.counts;
                ++counts.received;
                if (!frame->answer.empty()) ++counts.answered;
                if (frame->status != StatusOk) ++counts.errors;
                if (frame->injected != 0) ++counts.faulted;
            }
            break;
        case EventId::ResponseAccepted:
        case EventId::TransactionFailed:
        case EventId::Status:
            if (const auto* outcome = std::get_if<SendOutcome>(&event.payload)) {
                const auto it = open_.find(outcome->session);
                if (it == open_.end()) break;
                Counts& counts = it->second.counts;
                ++counts.sent;
                ++(event.id == EventId::ResponseAccepted ? counts.accepted : counts.failed);
            }
            break;
        default:
            break;
    }
}

std::vector<SessionTable::Row> SessionTable::Open() const {
    std::vector<Row> rows;
    rows.reserve(open_.size());
    for (const auto& [number, row] : open_) rows.push_back(row);
    return rows;
}

const SessionTable::Row* SessionTable::Find(std::uint32_t session) const {
    const auto it = open_.find(session);
    return it != open_.end() ? &it->second : nullptr;
}

void SessionTable::Reset() {
    for (auto& [number, row] : open_) row.counts = {};
}
