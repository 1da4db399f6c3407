#include "app/json_log.h"

#include <stdexcept>

#include "app/event_hub.h"
#include "traffic/traffic_log.h"

JsonLog::JsonLog(EventHub& hub, const std::string& path, FlowGate::Gauge* gauge,
                 std::function<void(const std::string& reason)> onFail)
    : hub_(hub) {
    TrafficLogWriter::Options options;
    options.path = path;
    options.format = LogFormat::JsonLines;
    options.truncate = true;
    options.gauge = gauge;
    options.onFail = std::move(onFail);
    writer_ = std::make_unique<TrafficLogWriter>(options);
    if (!writer_->Start()) {
        std::string error = writer_->Error();
        const std::string prefix = "Logging stopped: cannot open ";
        if (error.rfind(prefix, 0) == 0) error = error.substr(prefix.size());
        throw std::runtime_error("Cannot open the log " + error);
    }
    token_ = hub_.Subscribe([this](const HubEvent& event) { writer_->Append(event.json, "\n"); });
}

JsonLog::~JsonLog() {
    hub_.Unsubscribe(token_);
    writer_.reset();  // writes what is queued, then closes
}

void JsonLog::Flush() {
    writer_->Flush();
}

std::string JsonLog::Error() const {
    return writer_->Failed() ? writer_->Error() : std::string();
}

std::uint64_t JsonLog::LostBytes() const {
    return writer_->LostBytes();
}
