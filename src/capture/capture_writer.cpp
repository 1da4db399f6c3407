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
        // A first file that cannot be made is a capture that never began.
        error_ = (status_.running ? "Capture stopped: " : "Capture not started: ") + what + " " + RotatedPath(options_.path, std::max<std::uint32_t>(1, fileNumber_)) +
                 ": " + std::strerror(error);
        status_.running = false;
        status_.error = error_;
        message = error_;
        inbox_.Clear();
        events_.clear();
        if (options_.gauge != nullptr) options_.gauge->Set(0);
    }
    pending_.clear();
    held_.reset();
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
    std::vector<LinkEvent> events;
    std::vector<Switch> switches;
    for (;;) {
        bool finishing = false;
        {
            std::unique_lock<std::mutex> guard(lock_);
            const auto ready = [this] {
                return stop_ || failed_ || !inbox_.chunks.empty() || inbox_.droppedBytes != 0 || !events_.empty() ||
                       !switches_.empty();
            };
            if (!ready()) {
                idle_ = true;
                if (!held_) {
                    wake_.wait(guard, ready);
                } else {
                    // The latest block read waits for the engine's word: look again once it
                    // has waited long enough.
                    wake_.wait_for(guard, std::chrono::milliseconds(std::max<std::int64_t>(1, options_.holdMs)), ready);
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
        for (LinkEvent& event : events) linkEvents_.push_back(std::move(event));
        std::stable_sort(linkEvents_.begin(), linkEvents_.end(),
                         [](const LinkEvent& a, const LinkEvent& b) { return a.micros < b.micros; });
        Release(finishing, now);
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
            // A new link: its packets on an interface of their own, its sessions anew. Behind
            // whatever of the old link still waits.
            Release(true);
            interfaces_.push_back(switches[nextSwitch].link);
            linkInterface_ = static_cast<std::uint32_t>(interfaces_.size() - 1);
            pcapng::AppendInterface(out_, interfaces_.back().name, interfaces_.back().description);
            sessionInterface_.clear();
            lastRead_.clear();
            sessionPeer_.clear();
            ++nextSwitch;
        }
        if (i == batch.chunks.size()) break;
        const TapChunk& chunk = batch.chunks[i];
        const std::string_view text(reinterpret_cast<const char*>(batch.bytes.data() + chunk.offset), chunk.length);
        const auto interfaceOf = [this](std::uint32_t session) {
            const auto it = sessionInterface_.find(session);
            return it != sessionInterface_.end() ? it->second : linkInterface_;
        };
        switch (chunk.mark) {
            case TapMark::SessionOpened: {
                // Each peer's packets on an interface of their own, its address in the description.
                const CaptureLink& link = interfaces_[linkInterface_];
                const std::string number = std::to_string(chunk.session);
                CaptureLink own{link.name + " session " + number,
                                link.description + "; session " + number +
                                    (text.empty() ? std::string() : " with " + std::string(text))};
                interfaces_.push_back(std::move(own));
                sessionInterface_[chunk.session] = static_cast<std::uint32_t>(interfaces_.size() - 1);
                pcapng::AppendInterface(out_, interfaces_.back().name, interfaces_.back().description);
                releasedBytes_ += chunk.length;
                // Told in its place among the bytes (the engine's mark), so that it stands before
                // the peer's first frame and its end after its last one.
                if (!text.empty()) {
                    linkEvents_.push_back(LinkEvent{chunk.micros, "connected: " + std::string(text), true});
                    sessionPeer_[chunk.session] = std::string(text);
                }
                continue;
            }
            case TapMark::SessionEnded:
                // Nothing of it comes after its end: only its interface, already written, stays.
                if (const auto peer = sessionPeer_.find(chunk.session); peer != sessionPeer_.end()) {
                    linkEvents_.push_back(LinkEvent{chunk.micros, "disconnected: " + peer->second, true, true});
                    sessionPeer_.erase(peer);
                }
                sessionInterface_.erase(chunk.session);
                lastRead_.erase(chunk.session);
                releasedBytes_ += chunk.length;
                continue;
            case TapMark::Faults: {
                // The engine's word on the message the latest block of its session completed.
                releasedBytes_ += chunk.length;
                if (text.empty()) continue;
                const std::string comment = "answer to " + std::string(text.substr(0, 1)) +
                                            " with injected faults: " + std::string(text.substr(1));
                const auto read = lastRead_.find(chunk.session);
                if (read != lastRead_.end() && read->second >= base_ && read->second - base_ < pending_.size()) {
                    pending_[read->second - base_].comments.push_back(comment);
                } else {
                    // Its block is written already (it waited longer than it may): a packet of its own.
                    Pending alone;
                    alone.micros = chunk.micros;
                    alone.interface = interfaceOf(chunk.session);
                    alone.comments.push_back(comment);
                    pending_.push_back(std::move(alone));
                }
                continue;
            }
            case TapMark::FrameEnd:
                continue;  // the traffic view's word; the capture keeps the blocks as read
            case TapMark::None:
                break;
        }
        if (chunk.note) {
            // The proxy's faults come as packets of their own (NoteComment); off the gauge.
            releasedBytes_ += chunk.length;
            continue;
        }
        Pending packet;
        packet.micros = chunk.micros;
        packet.interface = interfaceOf(chunk.session);
        packet.flags = chunk.direction == Direction::Rx ? pcapng::kInbound : pcapng::kOutbound;
        packet.bytes.assign(text);
        if (chunk.loose) {
            const std::string what = packet.bytes == "\x13"   ? "XOFF, "
                                     : packet.bytes == "\x11" ? "XON, "
                                                              : "raw bytes ";
            packet.comments.push_back(what + kLooseComment);
        } else if (chunk.direction == Direction::Rx) {
            // The engine reads the next block only once it has handled this one's messages:
            // until then (or for a short while) this block and what follows wait.
            const std::uint64_t sequence = base_ + pending_.size();
            lastRead_[chunk.session] = sequence;
            held_ = sequence;
            heldSince_ = now;
        }
        pending_.push_back(std::move(packet));
    }
}

void CaptureWriter::Release(bool finishing, std::int64_t now) {
    // A held block is let go once it has waited long enough, or once the engine has read on.
    if (held_ && (finishing || now - heldSince_ >= options_.holdMs)) held_.reset();
    std::string block;
    std::uint64_t packets = 0, bytes = 0;
    for (;;) {
        if (failed_) return;
        const auto eventFirst = [this] {
            const LinkEvent& event = linkEvents_.front();
            const std::int64_t packet = pending_.front().micros;
            return event.micros < packet || (event.micros == packet && !event.after);
        };
        if (!linkEvents_.empty() && (pending_.empty() || eventFirst())) {
            block.clear();
            pcapng::AppendPacket(block, linkInterface_, linkEvents_.front().micros,
                                 nullptr, 0, 0,
                                 {linkEvents_.front().link ? "link: " + linkEvents_.front().text
                                                           : linkEvents_.front().text});
            linkEvents_.erase(linkEvents_.begin());
        } else if (!pending_.empty() && (!held_ || base_ < *held_)) {
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
