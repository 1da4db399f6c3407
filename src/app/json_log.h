#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/flow_gate.h"

class EventHub;
class TrafficLogWriter;

// Writes every event of the hub as one JSON line to a file or stdout, on a writer thread of
// its own: each line is written as soon as the writer can, whatever came meanwhile in one
// write, and nothing waits in a buffer for more to come. The lines not yet written show on
// `gauge`: a reader that stops reading (a pipe) or a slow disk holds the link back.
class JsonLog {
public:
    // "-" is stdout; a file is created or emptied. Throws std::runtime_error when the file
    // cannot be opened.
    // `onFail` is called once, on the writer's thread, with the reason when a write fails.
    JsonLog(EventHub& hub, const std::string& path, FlowGate::Gauge* gauge = nullptr,
            std::function<void(const std::string& reason)> onFail = {});
    // Writes what is left, then closes.
    ~JsonLog();

    JsonLog(const JsonLog&) = delete;
    JsonLog& operator=(const JsonLog&) = delete;

    // Waits until every line handed over so far is written (or the log has failed).
    void Flush();
    // Why the log stopped; empty while it runs. Any thread.
    std::string Error() const;
    // Bytes of lines that never reached the log (a failed write, and everything after it).
    std::uint64_t LostBytes() const;

private:
    EventHub& hub_;
    std::unique_ptr<TrafficLogWriter> writer_;
    int token_;
};
