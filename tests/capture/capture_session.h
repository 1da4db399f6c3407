#pragma once

// A recorded session for the capture tests: traffic with everything a capture must keep apart
// (frames split over reads, several frames in one read, a bad BCC, a bad STX, stray bytes, an
// escaped text, an injected fault, link events, a byte written outside the frames) played
// through the traffic service's tap, with a capture and the traffic view both taking it.

#include <sys/resource.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "app/traffic_service.h"
#include "base/flow_gate.h"
#include "protocol/frame.h"
#include "text/parser.h"

namespace capture_test {

inline std::string Frame(char type, std::string_view text, std::uint8_t code = 0) {
    CharBuffer buffer;
    BuildFrame(buffer, static_cast<std::uint8_t>(type), code, reinterpret_cast<const std::uint8_t*>(text.data()),
               text.size());
    return std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Size());
}

inline std::string WithBcc(std::string frame, std::string_view bcc) {
    frame.replace(frame.size() - 4, 3, bcc);
    return frame;
}

// One entry as the traffic view lists it, in the view's own words.
struct Shown {
    std::string direction, kind, type, status, text;
    bool operator==(const Shown&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Shown& s) {
    return out << s.direction << " " << s.kind << " " << s.type << " [" << s.status << "] '" << s.text << "'";
}

inline Shown Show(Direction direction, EntryKind kind, std::uint8_t type, std::uint8_t status,
                  const std::string& text) {
    Parser parser;
    const bool frame = kind != EntryKind::Stray;
    return Shown{DirectionText(direction), KindText(kind), frame ? std::string(1, static_cast<char>(type)) : "",
                 frame ? std::string(StatusName(status)) : "", parser.Show_non_printables(text)};
}

// Per direction, in order; runs of stray bytes next to each other joined, since where a run is
// cut depends on how the reads fell into batches.
inline std::vector<Shown> Normalise(const std::vector<Shown>& in, const char* direction) {
    std::vector<Shown> out;
    for (const Shown& s : in) {
        if (s.direction != direction) continue;
        if (s.kind == "Stray" && !out.empty() && out.back().kind == "Stray") {
            out.back().text += s.text;
        } else {
            out.push_back(s);
        }
    }
    return out;
}

struct Session {
    struct Step {
        Direction direction;
        std::string bytes;
        bool loose = false;
        // What the engine says after this read: the faults of the answer to the message of
        // this type it completed ("" for nothing).
        char faultType = 0;
        std::string faults = {};
    };
    std::vector<Step> steps;

    static Session Standard() {
        Session s;
        const std::string a = Frame('A', "split over three reads");
        s.steps.push_back({Direction::Rx, a.substr(0, 3)});
        s.steps.push_back({Direction::Rx, a.substr(3, 9)});
        s.steps.push_back({Direction::Rx, a.substr(12)});
        const std::string ackA = Frame('A', "", ctrl::ACK);
        s.steps.push_back({Direction::Tx, ackA.substr(0, 4)});
        s.steps.push_back({Direction::Tx, ackA.substr(4)});
        s.steps.push_back({Direction::Rx,
                           "zz" + Frame('B', "one") + WithBcc(Frame('C', "two"), "999") +
                               Frame('D', std::string("esc\x03\x10") + "aped\r"),
                           false, 'B', "delay 120 ms"});
        s.steps.push_back({Direction::Tx, Frame('B', "", ctrl::ACK) + Frame('C', "", ctrl::NAK)});
        s.steps.push_back({Direction::Tx, "\x13", true});
        s.steps.push_back({Direction::Tx, Frame('D', "", ctrl::ACK)});
        s.steps.push_back({Direction::Tx, Frame('S', "from the simulator")});
        s.steps.push_back({Direction::Rx, Frame('S', "", ctrl::NAK)});
        s.steps.push_back({Direction::Rx, std::string("\x01" "Fx text\r", 9) + "junk"});
        return s;
    }
};

// The traffic service with a capture running, fed a session. The clock steps 250 us per read.
class Rig {
public:
    explicit Rig(TrafficPrefs prefs = {})
        : service_(gate_, prefs, [this] { return now_.load(); }) {
        service_.SetView([] {});
        service_.Start();
        Peers({"127.0.0.1:40000"});
    }

    // The link is a TCP server with these clients.
    void Peers(std::vector<std::string> peers) {
        LinkState up;
        up.kind = LinkKind::TcpServer;
        up.phase = LinkState::Up;
        up.where = "port 5100";
        up.peers = std::move(peers);
        Event event(EventId::LinkState, 0, 0);
        event.payload = up;
        service_.OnEvent(event);
    }
    ~Rig() { service_.Finish(); }

    TrafficService& Service() { return service_; }

    void Play(const Session& session) {
        Peers({"127.0.0.1:40000", "127.0.0.1:40001"});
        for (const Session::Step& step : session.steps) {
            now_ += 250;
            const auto* data = reinterpret_cast<const std::uint8_t*>(step.bytes.data());
            if (step.loose) {
                service_.Sink().RecordLoose(step.direction, data, step.bytes.size());
            } else {
                service_.Sink().Record(step.direction, data, step.bytes.size());
            }
            if (!step.faults.empty())
                service_.Sink().RecordFaults(0, static_cast<std::uint8_t>(step.faultType), step.faults);
            times.push_back(now_.load());
        }
        service_.Drain();
    }

    // The traffic view's entries so far.
    std::vector<Shown> View() {
        service_.Drain();
        std::deque<TrafficBatch> ready;
        service_.TakeReady(ready);
        for (const TrafficBatch& batch : ready) {
            for (const TrafficEntry& e : batch.entries) {
                const std::uint8_t* bytes = batch.bytes.data() + e.offset;
                const std::string text = e.kind == EntryKind::Stray
                                             ? std::string(reinterpret_cast<const char*>(bytes), e.length)
                                             : DecodeFrame(bytes, e.length).text;
                view_.push_back(Show(e.direction, e.kind, e.type, e.status, text));
            }
        }
        return view_;
    }

    std::vector<std::int64_t> times;  // of each step

private:
    FlowGate gate_;
    std::atomic<std::int64_t> now_{1'700'000'000'000'000};
    TrafficService service_;
    std::vector<Shown> view_;
};

}  // namespace capture_test
