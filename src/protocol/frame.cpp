#include "protocol/frame.h"

namespace {

const char* const kListTexts[kStatusCodeCount] = {
    "OK           ", "NAK          ", "Bad SOH      ", "Bad TYPE     ",
    "Bad ID       ", "Bad STX      ", "Bad ETX      ", "Bad BCC      ",
    "Timeout      ", "Bad Size     ", "Unknown Error", "Comm Disabled",
};

const char* const kStatusTexts[kStatusCodeCount] = {
    "",           "NAK ERROR",    "SOH ERROR",    "TYPE ERROR",
    "ID ERROR",   "STX ERROR",    "ETX ERROR",    "BCC ERROR",
    "TIMEOUT",    "LENGTH ERROR", "UNSPECIFIED COMM ERROR", "DISABLED ERROR",
};

}  // namespace

void BuildFrame(CharBuffer& buffer, std::uint8_t type, std::uint8_t code, const std::uint8_t* text,
                std::size_t length) {
    buffer.Append(ctrl::SOH);
    buffer.Append(type);
    if (code != 0) buffer.Append(code);
    buffer.Append(ctrl::STX);
    std::uint8_t sum = type;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = text[i];
        if (byte == ctrl::ETX || byte == ctrl::DLE) {
            sum = static_cast<std::uint8_t>(sum + ctrl::DLE);
            buffer.Append(ctrl::DLE);
        }
        sum = static_cast<std::uint8_t>(sum + byte);
        buffer.Append(byte);
    }
    buffer.Append(ctrl::ETX);
    buffer.Append(static_cast<std::uint8_t>('0' + sum / 100));
    buffer.Append(static_cast<std::uint8_t>('0' + (sum % 100) / 10));
    buffer.Append(static_cast<std::uint8_t>('0' + sum % 10));
    buffer.Append(ctrl::CR);
}

const char* StatusListText(int code) {
    return code >= 0 && code < kStatusCodeCount ? kListTexts[code] : "";
}

std::string_view StatusName(int code) {
    std::string_view text = StatusListText(code);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

const char* StatusText(int code) {
    return code >= 0 && code < kStatusCodeCount ? kStatusTexts[code] : "";
}

std::string MakeReceivedRecord(int status, std::uint8_t type, std::string_view receivedBcc,
                               std::string_view computedBcc, const std::uint8_t* text,
                               std::size_t length) {
    const std::string_view listText = StatusListText(status);
    std::string record;
    record.reserve(listText.size() + 1 + receivedBcc.size() + computedBcc.size() + length +
                   4 * kRecordDelimiter.size());
    record.append(listText);
    record.append(kRecordDelimiter);
    record.push_back(static_cast<char>(type));
    record.append(kRecordDelimiter);
    record.append(receivedBcc);
    record.append(kRecordDelimiter);
    record.append(computedBcc);
    record.append(kRecordDelimiter);
    record.append(reinterpret_cast<const char*>(text), length);
    return record;
}
