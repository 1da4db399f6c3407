#pragma once

#include <cstdio>
#include <string>

class EventHub;

// Writes every event of the hub as one JSON line, flushed at once, to a file or stdout.
class JsonLog {
public:
    // "-" is stdout; a file is created or emptied. Throws std::runtime_error when the file
    // cannot be opened.
    JsonLog(EventHub& hub, const std::string& path);
    ~JsonLog();

    JsonLog(const JsonLog&) = delete;
    JsonLog& operator=(const JsonLog&) = delete;

private:
    EventHub& hub_;
    std::FILE* file_;
    bool own_;
    int token_;
};
