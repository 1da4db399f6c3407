#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Wire format shared by both directions of the link: control bytes, frame layout,
// block check, status codes and the record that reports a received message.

namespace ctrl {
inline constexpr std::uint8_t SOH = 0x01;
inline constexpr std::uint8_t STX = 0x02;
inline constexpr std::uint8_t ETX = 0x03;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t CR = 0x0D;
inline constexpr std::uint8_t DLE = 0x10;
inline constexpr std::uint8_t NAK = 0x15;
}  // namespace ctrl

// A growable sequence of bytes that frames are built into. The caller owns it and may
// reserve room up front so that building a frame does not allocate.
class CharBuffer {
public:
    void Append(std::uint8_t byte) { bytes_.push_back(byte); }
    void Reserve(std::size_t n) { bytes_.reserve(n); }
    void Clear() { bytes_.clear(); }
    const std::uint8_t* Data() const { return bytes_.data(); }
    std::uint8_t* Data() { return bytes_.data(); }
    std::size_t Size() const { return bytes_.size(); }
    bool Empty() const { return bytes_.empty(); }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

// Appends one frame. code 0 builds a message frame; any other value (ACK, NAK) is written
// as the response code of a response frame. text may hold any byte, NUL included.
void BuildFrame(CharBuffer& buffer, std::uint8_t type, std::uint8_t code, const std::uint8_t* text,
                std::size_t length);

// The largest frame BuildFrame can produce for a text of `length` bytes (every byte escaped).
constexpr std::size_t MaxFrameSize(std::size_t length) { return 2 * length + 9; }

// Frame status codes.
enum FrameStatus : std::uint8_t {
    StatusOk = 0,
    StatusNak = 1,
    StatusBadSoh = 2,
    StatusBadType = 3,
    StatusBadId = 4,
    StatusBadStx = 5,
    StatusBadEtx = 6,
    StatusBadBcc = 7,
    StatusTimeout = 8,
    StatusBadSize = 9,
    StatusUnknown = 10,
    StatusCommDisabled = 11,
};
inline constexpr int kStatusCodeCount = 12;

// The 13-character text the received list shows, and the status bar's upper-case text.
// Codes outside 0..11 give an empty text rather than reading outside the tables.
const char* StatusListText(int code);
// The list text without its padding ("OK", "Bad BCC"): what the API, the log and the metrics
// show.
std::string_view StatusName(int code);
const char* StatusText(int code);

// Separator of the five fields of a received-message record.
inline constexpr std::string_view kRecordDelimiter = "{DELIM]";

// Builds the received-message record: list text of the status, the type as one character,
// the received BCC digits, the computed BCC and the text, joined by kRecordDelimiter.
std::string MakeReceivedRecord(int status, std::uint8_t type, std::string_view receivedBcc,
                               std::string_view computedBcc, const std::uint8_t* text,
                               std::size_t length);
