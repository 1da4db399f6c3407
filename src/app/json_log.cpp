#include "app/json_log.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "app/event_hub.h"

JsonLog::JsonLog(EventHub& hub, const std::string& path)
    : hub_(hub), file_(path == "-" ? stdout : std::fopen(path.c_str(), "we")), own_(path != "-") {
    if (file_ == nullptr)
        throw std::runtime_error("Cannot open the log " + path + ": " + std::strerror(errno));
    token_ = hub_.Subscribe([this](const HubEvent& event) {
        // A reader of the log sees each event as soon as it happened.
        std::fwrite(event.json.data(), 1, event.json.size(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    });
}

JsonLog::~JsonLog() {
    hub_.Unsubscribe(token_);
    if (own_) std::fclose(file_);
}
