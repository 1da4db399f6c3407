#include "drivers/line_faults.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

namespace asio = boost::asio;

// While bytes flow, the queue is looked at no more often than this; each byte still leaves no
// earlier than its time, so the floors hold and the rate stays exact.
constexpr std::int64_t kMinWakeNs = 250'000;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t MsToNs(std::int32_t ms) { return static_cast<std::int64_t>(ms) * 1'000'000; }

// SplitMix64: small, fast, and the same sequence for a seed on every platform.
std::uint64_t NextRandom(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

FaultyLine::FaultyLine(asio::io_context& io, std::unique_ptr<SerialDriver> inner)
    : inner_(std::move(inner)), timer_(io) {}

FaultyLine::~FaultyLine() = default;

SerialDriver& FaultyLine::In() {
    // The control thread gives the wrapper its place among the devices; the wrapped driver
    // reports through the same queue.
    inner_->manager = manager;
    inner_->eventSink = eventSink;
    return *inner_;
}

std::string FaultyLine::SetFaults(const LineFaults& faults) {
    std::string error = LineFaultsError(faults);
    if (!error.empty()) return error;
    faults_ = faults;
    LinePacer::Shape shape;
    shape.nsPerByte = faults.bytesPerSecond > 0 ? 1'000'000'000LL / faults.bytesPerSecond : 0;
    shape.gapNs = static_cast<std::int64_t>(faults.byteGapUs) * 1000;
    shape.sliceBytes = faults.sliceBytes;
    shape.sliceGapNs = static_cast<std::int64_t>(faults.sliceGapUs) * 1000;
    pacer_.SetShape(shape);
    random_ = faults.corruptSeed;

    // A hold of the line that is under way ends with the old faults.
    const std::int64_t now = NowNs();
    moments_.clear();
    if (breakHeld_) Do(Act::BreakOff);
    if (dtrHeld_) Do(Act::DtrOn);
    if (rtsHeld_) Do(Act::RtsOn);
    const auto hold = [&](std::int32_t atMs, std::int32_t forMs, Act on, Act off) {
        if (atMs < 0) return;
        moments_.push_back({now + MsToNs(atMs), on});
        moments_.push_back({now + MsToNs(atMs) + MsToNs(forMs), off});
    };
    hold(faults.breakAtMs, faults.breakMs, Act::BreakOn, Act::BreakOff);
    hold(faults.dtrDropAtMs, faults.dtrDropMs, Act::DtrOff, Act::DtrOn);
    hold(faults.rtsDropAtMs, faults.rtsDropMs, Act::RtsOff, Act::RtsOn);
    if (faults.resetAtMs >= 0) moments_.push_back({now + MsToNs(faults.resetAtMs), Act::Reset});
    std::stable_sort(moments_.begin(), moments_.end(),
                     [](const Moment& a, const Moment& b) { return a.at < b.at; });
    Run();
    return {};
}

void FaultyLine::Poll() {
    In().Poll();
    Run();
}

void FaultyLine::Close() {
    // What the faults still held back goes with the line.
    queue_.clear();
    timer_.cancel();
    armedFor_ = -1;
    In().Close();
}

std::uint8_t FaultyLine::Corrupt(std::uint8_t byte) {
    if (faults_.corruptRate <= 0) return byte;
    // One draw per byte decides, a second picks the bit: which bytes are hit depends only on
    // the seed and their place in the stream.
    const double chance = static_cast<double>(NextRandom(random_) >> 11) * 0x1.0p-53;
    if (chance >= faults_.corruptRate) return byte;
    ++corrupted_;
    return static_cast<std::uint8_t>(byte ^ (1U << (NextRandom(random_) % 8)));
}

void FaultyLine::Pass(std::uint64_t origin, const std::uint8_t* data, std::size_t length) {
    SerialDriver& inner = In();
    if (faults_.corruptRate <= 0 && origin != 0) {
        inner.WriteTo(origin, data, length);
        return;
    }
    batch_.resize(length);
    for (std::size_t i = 0; i < length; ++i) batch_[i] = Corrupt(data[i]);
    if (origin != 0) {
        inner.WriteTo(origin, batch_.data(), length);
    } else {
        for (std::size_t i = 0; i < length; ++i) inner.WriteChar(batch_[i]);
    }
}

std::int32_t FaultyLine::WriteChar(std::uint8_t byte) {
    WriteTo(0, &byte, 1);
    return 1;
}

void FaultyLine::WriteString(const char* text, std::int32_t length) {
    if (text == nullptr || length < 0) return;
    const std::size_t n = length == 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    WriteTo(0, reinterpret_cast<const std::uint8_t*>(text), n);
}

void FaultyLine::WriteTo(std::uint64_t origin, const std::uint8_t* data, std::size_t length) {
    if (length == 0) return;
    if (!faults_.Shapes() && queue_.empty() && !breakHeld_) {
        Pass(origin, data, length);
        return;
    }
    if (queue_.empty()) pacer_.Wake(NowNs());
    for (std::size_t i = 0; i < length; ++i) {
        queue_.push_back(Queued{data[i], nextStartsWrite_, origin});
        nextStartsWrite_ = false;
    }
}

void FaultyLine::Push() {
    // A write ends here: what comes next starts a new one (and a new first piece).
    nextStartsWrite_ = true;
    if (queue_.empty()) {
        In().Push();
        return;
    }
    Run();
}

void FaultyLine::Run() {
    const std::int64_t now = NowNs();
    lastRun_ = now;
    while (!moments_.empty() && moments_.front().at <= now) {
        const Act act = moments_.front().act;
        moments_.erase(moments_.begin());
        Do(act);
    }
    bool released = false;
    // Runs of bytes for one connection leave together; a piece's end is a write of its own.
    std::size_t run = 0;
    const auto flush = [&] {
        if (run == 0) return;
        std::vector<std::uint8_t> bytes(run);
        const std::uint64_t origin = queue_.front().origin;
        for (std::size_t i = 0; i < run; ++i) {
            bytes[i] = queue_.front().byte;
            queue_.pop_front();
        }
        Pass(origin, bytes.data(), run);
        run = 0;
        released = true;
    };
    while (!breakHeld_ && run < queue_.size()) {
        const Queued& next = queue_[run];
        if (pacer_.DueAt(next.startsWrite) > now) break;
        if (run > 0 && (next.startsWrite || next.origin != queue_.front().origin)) {
            flush();
            In().Push();
            continue;
        }
        pacer_.Take(next.startsWrite);
        ++run;
        if (pacer_.PieceFull()) {
            flush();
            In().Push();
        }
    }
    flush();
    if (released) In().Push();

    std::int64_t next = -1;
    if (!queue_.empty() && !breakHeld_) next = pacer_.DueAt(queue_.front().startsWrite);
    if (!moments_.empty() && (next < 0 || moments_.front().at < next)) next = moments_.front().at;
    if (next >= 0) Arm(next);
}

void FaultyLine::Arm(std::int64_t at) {
    at = std::max(at, lastRun_ + kMinWakeNs);
    if (armedFor_ >= 0 && armedFor_ <= at) return;  // an earlier wake covers it
    armedFor_ = at;
    timer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(at)));
    timer_.async_wait([this, alive = std::weak_ptr<int>(alive_)](const boost::system::error_code& error) {
        if (alive.expired() || error) return;
        armedFor_ = -1;
        Run();
    });
}

void FaultyLine::Do(Act act) {
    SerialDriver& inner = In();
    // A hold forces its line (a break on, DTR or RTS off); when it ends the line goes back to
    // what the link itself last asked for.
    switch (act) {
        case Act::BreakOn:
        case Act::BreakOff:
            breakHeld_ = act == Act::BreakOn;
            inner.SetBreak(breakHeld_ || breakWanted_);
            if (!breakHeld_) pacer_.Stall(NowNs());
            break;
        case Act::DtrOff:
        case Act::DtrOn:
            dtrHeld_ = act == Act::DtrOff;
            inner.SetDtr(!dtrHeld_ && dtrWanted_);
            break;
        case Act::RtsOff:
        case Act::RtsOn:
            rtsHeld_ = act == Act::RtsOff;
            inner.SetRts(!rtsHeld_ && rtsWanted_);
            break;
        case Act::Reset:
            inner.ResetLink();
            break;
    }
}

void FaultyLine::SetBreak(bool on) {
    breakWanted_ = on;
    if (!breakHeld_) In().SetBreak(on);
}

void FaultyLine::SetDtr(bool on) {
    dtrWanted_ = on;
    if (!dtrHeld_) In().SetDtr(on);
}

void FaultyLine::SetRts(bool on) {
    rtsWanted_ = on;
    if (!rtsHeld_) In().SetRts(on);
}
