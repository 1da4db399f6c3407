#include "capture/capture_writer.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "capture/pcapng.h"
#include "settings/link_kind.h"

namespace {

std::int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Blocks collected before they go to the file in one write.
constexpr std::size_t kWriteChunk = 256 * 1024;
// While traffic flows the writer takes what came in this long in one round (or sooner, once
// this much is waiting) instead of waking for every batch and every report: at full speed a
// wake-up for each would cost the link more than the writing does.
constexpr auto kGather = std::chrono::milliseconds(5);
constexpr std::size_t kGatherBytes = 1u << 20;

// FNV-1a over the text and its length.
std::uint64_t TextHash(const void* data, std::size_t length) {
    std::uint64_t hash = 14695981039346656037ull ^ length;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

}  // namespace

CaptureLink DescribeCaptureLink(const CommPrefs& comm, const std::string& where) {
    const LinkKindInfo* kind = FindLinkKind(comm);
    return (kind != nullptr ? *kind : LinkKindOf(LinkKind::Serial)).interfaceText(comm, where);
}

CaptureWriter::CaptureWriter(Options options) : options_(std::move(options)) {
    interfaces_.push_back(options_.link);
}

CaptureWriter::~CaptureWriter() {
    Finish();
}

std::string CaptureWriter::RotatedPath(const std::string& path, std::uint32_t n) {
    if (n <= 1) return path;
    const std::size_t slash = path.rfind('/');
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1)
        dot = path.size();
    return path.substr(0, dot) + "-" + std::to_string(n) + path.substr(dot);
}

std::string CaptureWriter::Header() const {
    std::string header;
    pcapng::AppendSectionHeader(header, options_.application,
                                fileNumber_ > 1 ? "file " + std::to_string(fileNumber_) + " of a rotating capture"
                                                : std::string());
    for (const CaptureLink& link : interfaces_) pcapng::AppendInterface(header, link.name, link.description);
    return header;
}

bool CaptureWriter::OpenFile(std::uint32_t n) {
    if (fd_ >= 0) ::close(fd_);
    fileNumber_ = n;
    const std::string path = RotatedPath(options_.path, n);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        Fail("cannot create", errno);
        return false;
    }
    size_ = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        status_.path = path;
        status_.files = n;
    }
    if (options_.keepFiles > 0 && n > static_cast<std::uint32_t>(options_.keepFiles))
        ::unlink(RotatedPath(options_.path, n - static_cast<std::uint32_t>(options_.keepFiles)).c_str());
    const std::string header = Header();
    headerSize_ = header.size();
    return WriteAll(header.data(), header.size());
}

bool CaptureWriter::Start() {
    // A file size limit must stop the capture with a message, not the program with a signal.
    ::signal(SIGXFSZ, SIG_IGN);
    if (!OpenFile(1)) return false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        status_.running = true;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void CaptureWriter::Fail(const std::string& what, int error) {
    std::string message;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (failed_) return;
        failed_ = true;
        error_ = "Capture stopped: " + what + " " + RotatedPath(options_.path, std::max<std::uint32_t>(1, fileNumber_)) +
                 ": " + std::strerror(error);
        status_.running = false;
        status_.error = error_;
        message = error_;
        inbox_.Clear();
        notes_.clear();
        events_.clear();
        if (options_.gauge != nullptr) options_.gauge->Set(0);
    }
    pending_.clear();
    frames_.clear();
    out_.clear();
    if (options_.onFail) options_.onFail(message);
}

bool CaptureWriter::WriteAll(const char* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd_, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // The file ends with the last whole block, so it stays readable.
            if (done > 0 && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
            }
            Fail("cannot write", error);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    size_ += length;
    return true;
}

bool CaptureWriter::Emit(const std::string& block) {
    if (options_.rotateBytes > 0 && size_ + out_.size() + block.size() > options_.rotateBytes &&
        size_ + out_.size() > headerSize_) {
        if (!out_.empty() && !WriteAll(out_.data(), out_.size())) return false;
        out_.clear();
        if (!OpenFile(fileNumber_ + 1)) return false;
    }
    out_ += block;
    if (out_.size() >= kWriteChunk) {
        if (!WriteAll(out_.data(), out_.size())) return false;
        out_.clear();
    }
    return true;
}

void CaptureWriter::Take(const TapBatch& batch) {
    if (batch.chunks.empty() && batch.droppedBytes == 0) return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (failed_ || stop_) return;
        const auto base = static_cast<std::uint32_t>(inbox_.bytes.size());
        for (TapChunk chunk : batch.chunks) {
            chunk.offset += base;
            inbox_.chunks.push_back(chunk);
        }
        inbox_.bytes.insert(inbox_.bytes.end(), batch.bytes.begin(), batch.bytes.end());
        inbox_.droppedBytes += batch.droppedBytes;
        if (options_.gauge != nullptr) options_.gauge->Add(batch.bytes.size());
        const std::size_t now = inbox_.bytes.size();
        wake = idle_ || (now >= kGatherBytes && now - batch.bytes.size() < kGatherBytes);
    }
    if (wake) wake_.notify_one();
}

void CaptureWriter::NoteMessage(const ReceivedFrame& frame) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (failed_ || stop_) return;
        notes_.push_back(Note{frame.micros, frame.type, static_cast<std::uint8_t>(frame.status),
                              TextHash(frame.text.data(), frame.text.size()), frame.faults, 0});
        wake = idle_;
    }
    if (wake) wake_.notify_one();
}

void CaptureWriter::NoteLinkEvent(std::int64_t micros, std::string text) {
    AddEvent(LinkEvent{micros, std::move(text), true});
}

void CaptureWriter::NoteComment(std::int64_t micros, std::string text) {
    AddEvent(LinkEvent{micros, std::move(text), false});
}

void CaptureWriter::AddEvent(LinkEvent event) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (failed_ || stop_) return;
        events_.push_back(std::move(event));
        wake = idle_;
    }
    if (wake) wake_.notify_one();
}

void CaptureWriter::NewLink(CaptureLink link) {
    std::lock_guard<std::mutex> guard(lock_);
    if (failed_ || stop_) return;
    switches_.push_back(Switch{inbox_.chunks.size(), std::move(link)});
}

void CaptureWriter::Run() {
    TapBatch batch;
    std::vector<Note> notes;
    std::vector<LinkEvent> events;
    std::vector<Switch> switches;
    for (;;) {
        bool finishing = false;
        {
            std::unique_lock<std::mutex> guard(lock_);
            const auto ready = [this] {
                return stop_ || failed_ || !inbox_.chunks.empty() || inbox_.droppedBytes != 0 || !notes_.empty() ||
                       !events_.empty() || !switches_.empty();
            };
            if (!ready()) {
                idle_ = true;
                if (frames_.empty() && waitingNotes_.empty()) {
                    wake_.wait(guard, ready);
                } else {
                    // Something waits for its other half: look again when it may have waited long enough.
                    wake_.wait_for(guard,
                                   std::chrono::milliseconds(std::max<std::int64_t>(1, options_.noteWaitMs / 4)),
                                   ready);
                }
                idle_ = false;
            }
            if (!stop_ && !failed_)
                wake_.wait_for(guard, kGather,
                               [this] { return stop_ || failed_ || inbox_.bytes.size() >= kGatherBytes; });
            if (failed_) return;
            finishing = stop_;
            batch.Clear();
            std::swap(batch, inbox_);
            notes.clear();
            notes.swap(notes_);
            events.clear();
            events.swap(events_);
            switches.clear();
            switches.swap(switches_);
        }
        const std::int64_t now = SteadyMs();
        if (batch.droppedBytes != 0) {
            linkEvents_.push_back(LinkEvent{batch.chunks.empty() ? lastMicros_ : batch.chunks.front().micros,
                                            std::to_string(batch.droppedBytes) +
                                                " bytes of traffic lost before the capture took them"});
        }
        Sort(batch, switches, now);
        for (Note& note : notes) {
            note.since = now;
            waitingNotes_.push_back(std::move(note));
        }
        for (LinkEvent& event : events) linkEvents_.push_back(std::move(event));
        std::stable_sort(linkEvents_.begin(), linkEvents_.end(),
                         [](const LinkEvent& a, const LinkEvent& b) { return a.micros < b.micros; });
        Match(now, finishing);
        Release(finishing);
        if (failed_) return;
        if (!out_.empty()) {
            if (!WriteAll(out_.data(), out_.size())) return;
            out_.clear();
        }
        // Written: off the gauge.
        if (options_.gauge != nullptr && releasedBytes_ > 0) options_.gauge->Sub(releasedBytes_);
        releasedBytes_ = 0;
        if (finishing) return;
    }
}

void CaptureWriter::Sort(TapBatch& batch, std::vector<Switch>& switches, std::int64_t now) {
    std::size_t nextSwitch = 0;
    for (std::size_t i = 0; i <= batch.chunks.size(); ++i) {
        while (nextSwitch < switches.size() && switches[nextSwitch].chunk == i) {
            // A new link: its packets on an interface of their own, its frames from scratch.
            // Behind whatever of the old link still waits.
            Release(true);
            interfaces_.push_back(switches[nextSwitch].link);
            pcapng::AppendInterface(out_, interfaces_.back().name, interfaces_.back().description);
            receiver_ = Receiver{};
            frames_.clear();
            ++nextSwitch;
        }
        if (i == batch.chunks.size()) break;
        const TapChunk& chunk = batch.chunks[i];
        if (chunk.note) {
            // The proxy's faults come as packets of their own (NoteComment); off the gauge.
            releasedBytes_ += chunk.length;
            continue;
        }
        Pending packet;
        packet.micros = chunk.micros;
        packet.interface = static_cast<std::uint32_t>(interfaces_.size() - 1);
        packet.flags = chunk.direction == Direction::Rx ? pcapng::kInbound : pcapng::kOutbound;
        packet.bytes.assign(reinterpret_cast<const char*>(batch.bytes.data() + chunk.offset), chunk.length);
        if (chunk.loose) {
            const std::string what = packet.bytes == "\x13"   ? "XOFF, "
                                     : packet.bytes == "\x11" ? "XON, "
                                                              : "raw bytes ";
            packet.comments.push_back(what + kLooseComment);
        } else if (chunk.direction == Direction::Rx) {
            // The messages this block completes: each waits for the engine's report of it.
            const auto* data = batch.bytes.data() + chunk.offset;
            std::size_t at = 0;
            while (at < chunk.length) {
                at += receiver_.Feed(data + at, chunk.length - at);
                if (!receiver_.FrameReady()) continue;
                if (receiver_.messageReady) {
                    frames_.push_back(FrameRef{base_ + pending_.size(), receiver_.frameType, receiver_.status,
                                               TextHash(receiver_.text,
                                                        static_cast<std::size_t>(receiver_.DeliveredTextLength())),
                                               now});
                    ++packet.waiting;
                }
                receiver_.messageReady = receiver_.responseReady = false;
                receiver_.accepted = true;
            }
        }
        pending_.push_back(std::move(packet));
    }
}

void CaptureWriter::Match(std::int64_t now, bool finishing) {
    const auto done = [this](const FrameRef& frame) {
        if (frame.packet >= base_ && frame.packet - base_ < pending_.size()) --pending_[frame.packet - base_].waiting;
    };
    while (!frames_.empty() && !waitingNotes_.empty()) {
        FrameRef& frame = frames_.front();
        Note& note = waitingNotes_.front();
        if (frame.type == note.type && frame.status == note.status && frame.text == note.text) {
            if (!note.faults.empty() && frame.packet >= base_ && frame.packet - base_ < pending_.size()) {
                std::string what = "answer to ";
                what += static_cast<char>(frame.type);
                pending_[frame.packet - base_].comments.push_back(what + " with injected faults: " + note.faults);
            }
            done(frame);
            frames_.pop_front();
            waitingNotes_.pop_front();
            continue;
        }
        // Out of step: a report older than the packet is of a message read before the
        // capture began; otherwise the engine reported nothing for this frame.
        const std::int64_t packetMicros =
            frame.packet >= base_ && frame.packet - base_ < pending_.size() ? pending_[frame.packet - base_].micros : 0;
        if (note.micros + 1000 < packetMicros) {
            waitingNotes_.pop_front();
        } else {
            done(frame);
            frames_.pop_front();
        }
    }
    // Neither half waits for ever.
    while (!frames_.empty() && (finishing || now - frames_.front().since >= options_.noteWaitMs)) {
        done(frames_.front());
        frames_.pop_front();
    }
    while (!waitingNotes_.empty() && (finishing || now - waitingNotes_.front().since >= options_.noteWaitMs))
        waitingNotes_.pop_front();
}

void CaptureWriter::Release(bool finishing) {
    std::string block;
    std::uint64_t packets = 0, bytes = 0;
    for (;;) {
        if (failed_) return;
        if (!linkEvents_.empty() && (pending_.empty() || linkEvents_.front().micros <= pending_.front().micros)) {
            block.clear();
            pcapng::AppendPacket(block, static_cast<std::uint32_t>(interfaces_.size() - 1), linkEvents_.front().micros,
                                 nullptr, 0, 0,
                                 {linkEvents_.front().link ? "link: " + linkEvents_.front().text
                                                           : linkEvents_.front().text});
            linkEvents_.erase(linkEvents_.begin());
        } else if (!pending_.empty() && (pending_.front().waiting <= 0 || finishing)) {
            const Pending& packet = pending_.front();
            block.clear();
            pcapng::AppendPacket(block, packet.interface, packet.micros,
                                 reinterpret_cast<const std::uint8_t*>(packet.bytes.data()), packet.bytes.size(),
                                 packet.flags, packet.comments);
            releasedBytes_ += packet.bytes.size();
            lastMicros_ = packet.micros;
            pending_.pop_front();
            ++base_;
        } else {
            break;
        }
        if (!Emit(block)) return;
        ++packets;
        bytes += block.size();
    }
    std::lock_guard<std::mutex> guard(lock_);
    status_.packets += packets;
    status_.bytes += bytes;
}

void CaptureWriter::Finish() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    std::lock_guard<std::mutex> guard(lock_);
    status_.running = false;
}

CaptureWriter::Status CaptureWriter::GetStatus() const {
    std::lock_guard<std::mutex> guard(lock_);
    return status_;
}

std::string CaptureWriter::Error() const {
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
}
