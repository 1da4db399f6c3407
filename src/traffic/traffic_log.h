#pragma once

#include <condition_variable>
#include <functional>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/flow_gate.h"
#include "traffic/traffic_entry.h"

// The record formats of the continuous log.
enum class LogFormat : std::int32_t { Tsv = 0, JsonLines = 1 };

// The header line of a tab-separated log file, and one record per entry (text quoted as the
// received list's save file quotes it; times local, to the microsecond).
std::string TsvHeader();
std::string FormatRecord(LogFormat format, const TrafficEntry& entry, const std::uint8_t* bytes);
// `path` named for `format`: its ending (.tsv, .jsonl, .json) replaced by the format's, or
// the format's added.
std::string LogPathFor(const std::string& path, LogFormat format);

// Writes log records to a file on a thread of its own, so a slow disk never holds up the
// caller; records are written as soon as they are handed over, whatever came meanwhile in one
// write. The bytes not yet written show on a gauge of the link's flow gate: a disk that cannot
// keep up holds the link back rather than letting memory grow. The file is rotated by size
// before a record would take it past the size (path -> path.1 -> path.2 ..., the oldest
// beyond `keep` removed); only a record larger than the size gets a file of its own that is
// larger. A file that holds records of the other format is never appended to: the records go
// to the file named for their format (LogPathFor) instead. The first write or open
// that fails stops the logging for good and keeps the reason; records handed over after that
// are dropped, and the caller's work goes on.
class TrafficLogWriter {
public:
    struct Options {
        std::string path;  // "-": standard output
        LogFormat format = LogFormat::Tsv;
        std::uint64_t rotateBytes = 0;  // 0: never rotate
        std::int32_t keep = 5;          // rotated files kept besides the current one
        bool truncate = false;          // start the file empty (else append to it)
        FlowGate::Gauge* gauge = nullptr;
        // Called once, on the writer's thread (or Start's caller), with the reason when the
        // log stops on a failure.
        std::function<void(const std::string& reason)> onFail = nullptr;
    };

    explicit TrafficLogWriter(Options options);
    // Writes what is still queued, then closes the file.
    ~TrafficLogWriter();

    // Opens the file and starts the thread; false, with Error() set, when the file cannot be
    // opened.
    bool Start();
    void Write(std::string records);
    // One record in pieces (a line and its end), joined to what waits to be written: for
    // records written one at a time by the hundred thousand a second.
    void Append(std::string_view first, std::string_view second = {});
    // Blocks until everything handed over so far has been written (or dropped after a failure).
    void Flush();
    bool Failed() const;
    // Bytes handed over that never reached the file (a failed write, and all after it).
    std::uint64_t LostBytes() const;
    std::string Error() const;
    const Options& GetOptions() const { return options_; }
    // The file written: the path asked for, or the one named for the format.
    std::string Path() const {
        std::lock_guard<std::mutex> guard(lock_);
        return options_.path;
    }

private:
    void Run();
    bool WriteAll(std::string_view data);
    // Writes the records, rotating before one would take the file past the size.
    bool WriteRecords(std::string_view records);
    bool Open(bool truncate);
    bool Rotate();
    void Fail(const std::string& what, int error);

    Options options_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::vector<std::string> queue_;
    bool busy_ = false;
    bool sleeping_ = false;
    bool stop_ = false;
    bool failed_ = false;
    std::uint64_t lostBytes_ = 0;
    std::string error_;
    std::thread thread_;
};
