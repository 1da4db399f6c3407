#include "traffic/traffic_log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "protocol/frame.h"
#include "text/json_text.h"
#include "text/quote.h"
#include "text/times.h"

namespace {

constexpr auto kBreath = std::chrono::milliseconds(1);

std::string Hex(const std::uint8_t* bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out(length * 2, '0');
    for (std::size_t i = 0; i < length; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace

std::string TsvHeader() {
    return "TimeStamp\tDirection\tKind\tStatus\tType\tMessage Text\tRx BCC\tCalc BCC\tLatency "
           "(us)\tAttempt\r\n";
}

std::string LogPathFor(const std::string& path, LogFormat format) {
    const std::string wanted = format == LogFormat::JsonLines ? ".jsonl" : ".tsv";
    std::string base = path;
    for (const char* known : {".tsv", ".jsonl", ".json"}) {
        const std::string ending = known;
        if (base.size() > ending.size() && base.compare(base.size() - ending.size(), ending.size(), ending) == 0) {
            base.resize(base.size() - ending.size());
            break;
        }
    }
    return base + wanted;
}

std::string FormatRecord(LogFormat format, const TrafficEntry& e, const std::uint8_t* bytes) {
    const bool frame = IsFrame(e.kind);
    FrameParts parts;
    if (frame) {
        parts = DecodeFrame(bytes, e.length);
    } else {
        parts.text.assign(reinterpret_cast<const char*>(bytes), e.length);
    }
    const std::string type = frame ? std::string(1, static_cast<char>(e.type)) : std::string();
    std::string status = frame ? StatusListText(e.status) : "";
    status.erase(status.find_last_not_of(' ') + 1);  // the list pads it; a log has no columns to fill
    if (format == LogFormat::JsonLines) {
        nlohmann::json record = {{"time", LocalMicrosText(e.micros)},
                                 {"micros", e.micros},
                                 {"direction", DirectionText(e.direction, e.proxy)},
                                 {"kind", KindText(e.kind)},
                                 {"bytes", Hex(bytes, e.length)}};
        if (frame) {
            record["status"] = e.status;
            record["type"] = BytesToJsonText(type);
            record["text"] = BytesToJsonText(parts.text);
            record["rxBcc"] = parts.receivedBcc;
            record["calcBcc"] = parts.computedBcc;
        }
        if (e.latency >= 0) record["latencyMicros"] = e.latency;
        if (e.attempt > 0) record["attempt"] = e.attempt;
        if (e.session != 0) record["session"] = e.session;
        return record.dump() + "\n";
    }
    std::string line = LocalMicrosText(e.micros);
    line += '\t';
    line += DirectionText(e.direction, e.proxy);
    line += '\t';
    line += KindText(e.kind);
    line += '\t';
    line += status;
    line += '\t';
    line += type;
    line += '\t';
    line += QuoteField(parts.text);
    line += '\t';
    line += parts.receivedBcc;
    line += '\t';
    line += parts.computedBcc;
    line += '\t';
    if (e.latency >= 0) line += std::to_string(e.latency);
    line += '\t';
    if (e.attempt > 0) line += std::to_string(e.attempt);
    line += "\r\n";
    return line;
}

TrafficLogWriter::TrafficLogWriter(Options options) : options_(std::move(options)) {}

TrafficLogWriter::~TrafficLogWriter() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    if (options_.gauge != nullptr) options_.gauge->Set(0);
}

bool TrafficLogWriter::Start() {
    // A file size limit must end the logging with a message, not the program with a signal.
    ::signal(SIGXFSZ, SIG_IGN);
    if (!Open(options_.truncate)) return false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void TrafficLogWriter::Fail(const std::string& what, int error) {
    std::string reason;
    {
        std::lock_guard<std::mutex> guard(lock_);
        failed_ = true;
        error_ = "Logging stopped: " + what + " " +
                 (options_.path == "-" ? "the standard output" : options_.path) + ": " +
                 std::strerror(error);
        for (const std::string& records : queue_) lostBytes_ += records.size();
        queue_.clear();
        if (options_.gauge != nullptr) options_.gauge->Set(0);
        reason = error_;
    }
    if (options_.onFail) options_.onFail(reason);
}

namespace {

// Whether records of `format` may be appended to the file at `path`: it is missing or empty,
// or it holds records of that format already.
bool MayAppend(const std::string& path, LogFormat format) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char head[10] = {};
    const ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    if (n <= 0) return true;
    const std::string_view start(head, static_cast<std::size_t>(n));
    return format == LogFormat::JsonLines ? start[0] == '{' : start.starts_with("TimeStamp\t");
}

}  // namespace

bool TrafficLogWriter::Open(bool truncate) {
    if (!truncate && options_.path != "-" && !MayAppend(options_.path, options_.format)) {
        // Never two formats in one file: the records go to a file named for their format.
        const std::string other = LogPathFor(options_.path, options_.format);
        if (other == options_.path || !MayAppend(other, options_.format)) {
            std::lock_guard<std::mutex> guard(lock_);
            failed_ = true;
            error_ = "Logging stopped: " + options_.path + " holds records of another format";
            return false;
        }
        options_.path = other;
    }
    fd_ = options_.path == "-"
              ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0)
              : ::open(options_.path.c_str(),
                       O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0644);
    if (fd_ < 0) {
        Fail("cannot open", errno);
        return false;
    }
    struct stat info {};
    size_ = ::fstat(fd_, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    if (size_ == 0 && options_.format == LogFormat::Tsv) return WriteAll(TsvHeader());
    return true;
}

bool TrafficLogWriter::WriteAll(std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // The file ends with the last whole record, not with part of one.
            const std::size_t whole = done == 0 ? 0 : data.rfind('\n', done - 1) + 1;
            if (whole < done && ::ftruncate(fd_, static_cast<off_t>(size_ - (done - whole))) == 0) {
                size_ -= done - whole;
            }
            Fail("cannot write", error);
            return false;
        }
        done += static_cast<std::size_t>(n);
        size_ += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool TrafficLogWriter::Rotate() {
    ::close(fd_);
    fd_ = -1;
    const auto name = [this](int n) {
        return n == 0 ? options_.path : options_.path + "." + std::to_string(n);
    };
    if (options_.keep <= 0) {
        ::unlink(options_.path.c_str());
    } else {
        ::unlink(name(options_.keep).c_str());
        for (int n = options_.keep - 1; n >= 0; --n) ::rename(name(n).c_str(), name(n + 1).c_str());
    }
    return Open(true);
}

void TrafficLogWriter::Run() {
    std::vector<std::string> work;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(lock_);
            busy_ = false;
            idle_.notify_all();
            sleeping_ = true;
            wake_.wait(guard, [this] { return stop_ || !queue_.empty(); });
            sleeping_ = false;
            if (queue_.empty()) return;  // stopping, and everything is written
            // A breath after waking, so that records handed over one by one are written
            // together: one write a millisecond at most, rather than one per record.
            if (!stop_) wake_.wait_for(guard, kBreath, [this] { return stop_; });
            work.swap(queue_);
            busy_ = true;
        }
        std::size_t handled = 0, lost = 0;
        for (const std::string& records : work) {
            // Only this thread sets failed_ after Start; what is left after a failure is lost.
            if (failed_ || !WriteRecords(records)) {
                lost += records.size();
                continue;
            }
            handled += records.size();
        }
        if (lost > 0) {
            std::lock_guard<std::mutex> guard(lock_);
            lostBytes_ += lost;
        }
        if (options_.gauge != nullptr && !failed_) options_.gauge->Sub(handled);
        work.clear();
    }
}

bool TrafficLogWriter::WriteRecords(std::string_view records) {
    const std::uint64_t limit = options_.rotateBytes;
    while (!records.empty()) {
        if (limit == 0 || options_.path == "-" || size_ + records.size() <= limit) return WriteAll(records);
        // As many whole records as fit; then a new file for the rest.
        const std::uint64_t room = limit > size_ ? limit - size_ : 0;
        std::size_t fit = room == 0 ? std::string_view::npos : records.rfind('\n', room - 1);
        const std::size_t header = options_.format == LogFormat::Tsv ? TsvHeader().size() : 0;
        if (fit == std::string_view::npos) {
            // Not even one record fits: a new file, unless this one holds none yet.
            if (size_ > header) {
                if (!Rotate()) return false;
                continue;
            }
            fit = records.find('\n');
            if (fit == std::string_view::npos) fit = records.size() - 1;
        }
        if (!WriteAll(records.substr(0, fit + 1))) return false;
        records.remove_prefix(fit + 1);
        if (!records.empty() && !Rotate()) return false;
    }
    return true;
}

void TrafficLogWriter::Write(std::string records) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (failed_) lostBytes_ += records.size();
        if (failed_ || records.empty()) return;
        if (options_.gauge != nullptr) options_.gauge->Add(records.size());
        queue_.push_back(std::move(records));
        wake = sleeping_;
    }
    // A writer at work takes this with what it takes next; only a sleeping one needs waking.
    if (wake) wake_.notify_one();
}

void TrafficLogWriter::Append(std::string_view first, std::string_view second) {
    // Pieces of this size or more go to the writer as they are.
    constexpr std::size_t kJoinBelow = 1 << 20;
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (failed_) {
            lostBytes_ += first.size() + second.size();
            return;
        }
        if (queue_.empty() || queue_.back().size() >= kJoinBelow) {
            queue_.emplace_back();
            queue_.back().reserve(64 * 1024);
        }
        queue_.back().append(first);
        queue_.back().append(second);
        if (options_.gauge != nullptr) options_.gauge->Add(first.size() + second.size());
        wake = sleeping_;
    }
    if (wake) wake_.notify_one();
}

void TrafficLogWriter::Flush() {
    std::unique_lock<std::mutex> guard(lock_);
    idle_.wait(guard, [this] { return (queue_.empty() && !busy_) || !thread_.joinable(); });
}

std::uint64_t TrafficLogWriter::LostBytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lostBytes_;
}

bool TrafficLogWriter::Failed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return failed_;
}

std::string TrafficLogWriter::Error() const {
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
}
