#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/serial_driver.h"

class EventManager;

// A driver without a line, for engine tests and benchmarks. Input is scripted in chunks: one
// chunk is what one poll finds waiting (ReadChar answers 0 at the end of each chunk), so tests
// choose how the bytes are split across polls. Every written byte is captured.
class FakeDriver : public SerialDriver {
public:
    using Bytes = std::vector<std::uint8_t>;

    // Appends `bytes` to the input, `chunkSize` bytes per chunk (0: all in one chunk). A chunk
    // already read to its end is dropped first, so scripted input is there at the next poll.
    void Script(const Bytes& bytes, std::size_t chunkSize = 0);
    void Script(std::string_view bytes, std::size_t chunkSize = 0);
    // One poll's worth of nothing.
    void Gap() { chunks_.emplace_back(); }
    // Plays `bytes` round and round without end, in chunks as above (benchmarks).
    void Repeat(const Bytes& bytes, std::size_t chunkSize = 0);
    bool InputLeft() const { return !chunks_.empty() || !loop_.empty(); }

    // Takes and clears what was written so far.
    Bytes TakeWritten();

    Bytes written;
    bool captureWrites = true;      // benchmarks only count
    std::size_t bytesWritten = 0;
    int flowMode = -1;              // last SetFlowControl mode
    int flowControlCalls = 0;
    // What was written between two pushes, one entry per Push that had something to send.
    std::vector<Bytes> pushes;
    // When 0 or more: that many more bytes are taken, then one write throws (a send that
    // failed), and writing goes on normally after it.
    int failAfter = -1;
    // When set, the size of this queue at each write: shows what had been posted by then.
    const EventManager* watchedQueue = nullptr;
    std::vector<std::size_t> queueSizeAtWrite;

    void Poll() override {}
    void Close() override { open_ = false; }
    void Configure(int, int, int, int) override {}
    void Purge() override {}
    void Flush() override {}
    std::int32_t ReadChar(std::int32_t& value) override;
    bool IsOpen() override { return open_; }
    std::int32_t Open(const char*) override { return open_ = true; }
    std::int32_t WriteChar(std::uint8_t byte) override;
    void WriteString(const char* text, std::int32_t length) override;
    void SetFlowControl(int mode) override {
        flowMode = mode;
        ++flowControlCalls;
    }
    void SetRts(bool) override {}
    void SetDtr(bool on) override { lineEvents.push_back(on ? "DTR on" : "DTR off"); }
    void SetBreak(bool on) override { lineEvents.push_back(on ? "break on" : "break off"); }
    void DropLink() override { lineEvents.push_back("dropped"); }
    void Push() override;

    std::vector<std::string> lineEvents;  // DTR, break and drops, in order

private:
    std::size_t pushedUpTo_ = 0;
    std::deque<Bytes> chunks_;
    std::size_t pos_ = 0;
    std::vector<Bytes> loop_;
    std::size_t loopIndex_ = 0;
    bool open_ = true;
};
