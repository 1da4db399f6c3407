#include "api/metrics_text.h"

#include <array>
#include <bit>
#include <cstdio>
#include <type_traits>

#include "api/request_handler.h"
#include "protocol/frame.h"
#include "settings/names.h"
#include "traffic/traffic_entry.h"

namespace {

// A label value: printable ASCII as it is (quote and backslash escaped), any other byte as
// 0xNN, so that every message type reads the same in any tool.
std::string LabelValue(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", byte);
            out += hex;
        }
    }
    return out;
}

std::string Snake(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == ' ' || c == '+') c = '_';
    }
    return text;
}

class Writer {
public:
    void Family(const char* name, const char* type, const char* help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    // `labels` is written as it is: name="value" pairs joined by commas, or empty.
    template <class Number>
    void Sample(const std::string& name, const std::string& labels, Number value) {
        out_ += name;
        if (!labels.empty()) out_ += '{' + labels + '}';
        out_ += ' ';
        if constexpr (std::is_floating_point_v<Number>) {
            char text[32];
            std::snprintf(text, sizeof text, "%.6f", value);
            out_ += text;
        } else {
            out_ += std::to_string(value);
        }
        out_ += '\n';
    }
    void Histogram(const char* name, const char* help, const LatencyHistogram& h) {
        Family(name, "histogram", help);
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < h.buckets.size(); ++i) {
            cumulative += h.buckets[i];
            std::string le = "+Inf";
            if (i < LatencyHistogram::kBoundsMicros.size()) {
                char text[32];
                std::snprintf(text, sizeof text, "%g",
                              static_cast<double>(LatencyHistogram::kBoundsMicros[i]) / 1e6);
                le = text;
            }
            Sample(std::string(name) + "_bucket", "le=\"" + le + "\"", cumulative);
        }
        Sample(std::string(name) + "_sum", "", static_cast<double>(h.sumMicros) / 1e6);
        Sample(std::string(name) + "_count", "", h.count);
    }
    std::string Take() { return std::move(out_); }

private:
    std::string out_;
};

const char* const kDirections[] = {"rx", "tx"};
using InjectedNames =
    std::array<const char*, std::tuple_size_v<decltype(AppCore::Status::injected)>>;

// The kind of each bit of Injected, in bit order: the reply faults' from their table, then the
// proxy's frame faults.
InjectedNames InjectedKinds() {
    InjectedNames names;
    names.fill("");
    const auto name = [&names](std::int32_t bit, const char* kind) {
        names.at(static_cast<std::size_t>(std::countr_zero(static_cast<std::uint32_t>(bit)))) =
            kind;
    };
    for (const ReplyFaultField& field : ReplyFaultFields())
        if (field.injected != 0) name(field.injected, field.metric);
    name(Injected::FrameDropped, "frame_dropped");
    name(Injected::BadBcc, "bad_bcc");
    name(Injected::FlipBit, "flip_bit");
    name(Injected::SwapAck, "swap_ack");
    name(Injected::Held, "held");
    return names;
}

}  // namespace

std::string MetricsText(const AppCore::Status& status, const ApiCounters* api) {
    const TrafficCounters& t = status.traffic;
    Writer w;

    const auto frameLabels = [](const FrameKey& key) {
        return std::string("direction=\"") + kDirections[key.direction & 1] + "\",kind=\"" +
               Snake(KindText(static_cast<EntryKind>(key.kind))) + "\",type=\"" +
               LabelValue(std::string(1, static_cast<char>(key.type))) + "\",status=\"" +
               LabelValue(StatusName(key.status)) + "\"";
    };
    w.Family("vantor_frames_total", "counter",
             "Frames on the link by direction, kind, message type and frame status.");
    for (const auto& [key, count] : t.frames) w.Sample("vantor_frames_total", frameLabels(key), count.frames);
    w.Family("vantor_frame_bytes_total", "counter",
             "Bytes of frames on the link by direction, kind, message type and frame status.");
    for (const auto& [key, count] : t.frames)
        w.Sample("vantor_frame_bytes_total", frameLabels(key), count.bytes);
    w.Family("vantor_stray_bytes_total", "counter", "Bytes outside any frame by direction.");
    for (int way = 0; way < 2; ++way)
        w.Sample("vantor_stray_bytes_total", std::string("direction=\"") + kDirections[way] + "\"",
                 t.strayBytes[way]);

    w.Family("vantor_proxy_frames_total", "counter",
             "Frames through the proxy by way: passed on, or not delivered (the other side could not take them).");
    for (int way = 0; way < 2; ++way) {
        const std::string label = std::string("way=\"") + (way == 0 ? "AtoB" : "BtoA") + "\",outcome=";
        w.Sample("vantor_proxy_frames_total", label + "\"forwarded\"", status.proxy.forwarded[way]);
        w.Sample("vantor_proxy_frames_total", label + "\"undelivered\"", status.proxy.undelivered[way]);
    }

    w.Family("vantor_answers_total", "counter", "Answers the simulator sent, by reply action.");
    for (std::size_t a = 0; a < t.answers.size(); ++a)
        w.Sample("vantor_answers_total",
                 "action=\"" + Snake(TrafficStats::AnswerText(static_cast<int>(a))) + "\"",
                 t.answers[a]);
    w.Family("vantor_faults_injected_total", "counter",
             "Answers the reply faults changed, by kind of fault.");
    static const InjectedNames kInjected = InjectedKinds();
    for (std::size_t k = 0; k < status.injected.size(); ++k)
        w.Sample("vantor_faults_injected_total", std::string("kind=\"") + kInjected[k] + "\"",
                 status.injected[k]);

    w.Family("vantor_transactions_total", "counter",
             "Messages the simulator sent, by how their transaction ended.");
    w.Sample("vantor_transactions_total", "outcome=\"accepted\"", t.accepted);
    w.Sample("vantor_transactions_total", "outcome=\"rejected\"", t.rejected);
    w.Sample("vantor_transactions_total", "outcome=\"timed_out\"", t.timedOut);
    w.Family("vantor_retransmissions_total", "counter", "Messages sent again after a NAK or a time-out.");
    w.Sample("vantor_retransmissions_total", "", t.retransmissions);

    w.Histogram("vantor_answer_latency_seconds",
                "Time from a received message's last byte to the simulator's answer.",
                t.answerLatency);
    w.Histogram("vantor_round_trip_seconds",
                "Time from a message the simulator sent to the other side's answer.", t.roundTrip);

    w.Family("vantor_link_open", "gauge", "1 while the link is open (listening, connecting or connected).");
    w.Sample("vantor_link_open", "", status.link.phase != LinkState::Closed ? 1 : 0);
    w.Family("vantor_link_connected", "gauge", "1 while bytes can flow on the link.");
    w.Sample("vantor_link_connected", "", status.link.Connected() ? 1 : 0);
    w.Family("vantor_link_reconnects_total", "counter", "Times the link came up again after going down.");
    w.Sample("vantor_link_reconnects_total", "", t.reconnects);

    w.Family("vantor_queue_depth", "gauge",
             "What waits in each queue between the link and what records it.");
    w.Family("vantor_queue_mark", "gauge", "The depth at which a queue holds the link back.");
    for (const FlowGate::Level& q : status.queues) {
        w.Sample("vantor_queue_depth", "queue=\"" + LabelValue(q.reason) + "\"", q.level);
        w.Sample("vantor_queue_mark", "queue=\"" + LabelValue(q.reason) + "\"", q.mark);
    }
    w.Family("vantor_link_held_back", "gauge", "1 while the link is held back because a queue is behind.");
    w.Sample("vantor_link_held_back", "", status.heldBy.empty() ? 0 : 1);
    w.Family("vantor_link_holds_total", "counter", "Times the link was held back.");
    w.Sample("vantor_link_holds_total", "", status.holds);
    w.Family("vantor_link_held_back_seconds_total", "counter", "Time the link was held back.");
    w.Sample("vantor_link_held_back_seconds_total", "", static_cast<double>(status.heldMicros) / 1e6);

    w.Family("vantor_log_enabled", "gauge", "1 when a JSON log was asked for.");
    w.Sample("vantor_log_enabled", "", status.logging ? 1 : 0);
    w.Family("vantor_log_failed", "gauge", "1 once the JSON log has stopped on a write error.");
    w.Sample("vantor_log_failed", "", status.logError.empty() ? 0 : 1);
    w.Family("vantor_log_lost_bytes_total", "counter", "Bytes of log lines that never reached the log.");
    w.Sample("vantor_log_lost_bytes_total", "", status.logLostBytes);

    w.Family("vantor_messages_received_total", "counter", "Messages received (the list's ids).");
    w.Sample("vantor_messages_received_total", "", status.received);
    w.Family("vantor_messages_listed", "gauge", "Messages in the received list.");
    w.Sample("vantor_messages_listed", "", status.listed);

    if (api != nullptr) {
        w.Family("vantor_api_requests_total", "counter", "Control API requests by response status.");
        for (const auto& [code, count] : api->ByStatus())
            w.Sample("vantor_api_requests_total", "code=\"" + std::to_string(code) + "\"", count);
        w.Family("vantor_api_auth_failures_total", "counter",
                 "Control API requests refused for a missing or wrong token.");
        w.Sample("vantor_api_auth_failures_total", "", api->AuthFailures());
    }
    return w.Take();
}
