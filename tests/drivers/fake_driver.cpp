#include "drivers/fake_driver.h"

#include <cstring>
#include <stdexcept>

#include "base/event_manager.h"

namespace {

std::vector<FakeDriver::Bytes> Split(const FakeDriver::Bytes& bytes, std::size_t chunkSize) {
    std::vector<FakeDriver::Bytes> chunks;
    if (chunkSize == 0) chunkSize = bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += chunkSize) {
        const std::size_t end = std::min(bytes.size(), at + chunkSize);
        chunks.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return chunks;
}

}  // namespace

void FakeDriver::Script(const Bytes& bytes, std::size_t chunkSize) {
    // New input ends the gap after a chunk that has been read to its end.
    if (!chunks_.empty() && pos_ > 0 && pos_ == chunks_.front().size()) {
        chunks_.pop_front();
        pos_ = 0;
    }
    for (Bytes& chunk : Split(bytes, chunkSize)) chunks_.push_back(std::move(chunk));
}

void FakeDriver::Script(std::string_view bytes, std::size_t chunkSize) {
    Script(Bytes(bytes.begin(), bytes.end()), chunkSize);
}

void FakeDriver::Repeat(const Bytes& bytes, std::size_t chunkSize) {
    loop_ = Split(bytes, chunkSize);
    loopIndex_ = 0;
    pos_ = 0;
}

std::int32_t FakeDriver::ReadChar(std::int32_t& value) {
    if (!chunks_.empty()) {
        const Bytes& chunk = chunks_.front();
        if (pos_ < chunk.size()) {
            value = chunk[pos_++];
            return 1;
        }
        chunks_.pop_front();  // the end of a chunk: nothing more in this poll
        pos_ = 0;
        return 0;
    }
    if (loop_.empty()) return 0;
    const Bytes& chunk = loop_[loopIndex_];
    if (pos_ < chunk.size()) {
        value = chunk[pos_++];
        return 1;
    }
    loopIndex_ = (loopIndex_ + 1) % loop_.size();
    pos_ = 0;
    return 0;
}

std::int32_t FakeDriver::WriteChar(std::uint8_t byte) {
    if (failAfter == 0) {
        failAfter = -1;
        throw std::runtime_error("Socket error: Broken pipe (32), on API 'send'");
    }
    if (failAfter > 0) --failAfter;
    ++bytesWritten;
    if (captureWrites) written.push_back(byte);
    if (watchedQueue != nullptr) queueSizeAtWrite.push_back(watchedQueue->Size());
    return 1;
}

void FakeDriver::WriteString(const char* text, std::int32_t length) {
    const std::size_t n = length == 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    for (std::size_t i = 0; i < n; ++i) WriteChar(static_cast<std::uint8_t>(text[i]));
}

FakeDriver::Bytes FakeDriver::TakeWritten() {
    Bytes out;
    out.swap(written);
    pushedUpTo_ = 0;
    return out;
}

void FakeDriver::Push() {
    if (written.size() > pushedUpTo_) {
        pushes.emplace_back(written.begin() + static_cast<std::ptrdiff_t>(pushedUpTo_), written.end());
    }
    pushedUpTo_ = written.size();
}
