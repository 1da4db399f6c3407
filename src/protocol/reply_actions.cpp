#include "protocol/reply_actions.h"

#include <charconv>
#include <exception>
#include <limits>
#include <stdexcept>

#include "protocol/vantor_protocol.h"
#include "text/next_token.h"

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        lines.emplace_back(text.substr(start, end - start));
        if (end == text.size()) break;
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
    }
    return lines;
}

std::int32_t ParseActionNumber(const std::string& field) {
    std::size_t i = field.find_first_not_of(' ');
    bool negative = false;
    if (i != std::string::npos && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    // Magnitude in 64 bits so that -2147483648 fits before the sign is applied.
    std::int64_t magnitude = 0;
    const char* first = i == std::string::npos ? field.data() + field.size() : field.data() + i;
    const char* last = field.data() + field.size();
    const auto [end, error] = first < last && *first >= '0' && *first <= '9'
                                  ? std::from_chars(first, last, magnitude)
                                  : std::from_chars_result{first, std::errc::invalid_argument};
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (error != std::errc() || end != last || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        throw std::runtime_error("'" + field + "' is not a valid integer value");
    }
    return static_cast<std::int32_t>(value);
}

void VantorProtocol::SetReplyActions(std::int32_t count, const std::string& text) {
    std::vector<std::string> lines = SplitLines(text);
    if (count < 0 || lines.size() != static_cast<std::size_t>(count)) return;
    replyActions.clear();
    for (std::string& line : lines) {
        ReplyPrefs row;
        // Three fields at a time; a line with more is read again from its fourth field and the
        // later fields win. A bad action number ends the load with the rows read so far.
        while (!line.empty()) {
            row.Type = NextToken(line, "\t");
            row.Msg = NextToken(line, "\t");
            row.Action = ParseActionNumber(NextToken(line, "\t"));
        }
        row.Flags = 0;
        replyActions.push_back(std::move(row));
    }
}

void VantorProtocol::OnMessage() {
    const std::uint8_t received = receiver.frameType;
    std::uint8_t type = received;
    std::uint8_t code = ctrl::ACK;
    const std::string* reply = nullptr;
    bool corruptBcc = false;
    // Every matching row counts: the last one's text wins, while each injected error stays
    // once any row has asked for it.
    for (const ReplyPrefs& row : replyActions) {
        if (row.Type.size() != 1 || static_cast<std::uint8_t>(row.Type[0]) != received) continue;
        reply = &row.Msg;
        switch (row.Action) {
            case ReplyAction::Nak:
                code = ctrl::NAK;
                break;
            case ReplyAction::WrongType:
                type = static_cast<std::uint8_t>(received + 1);
                break;
            case ReplyAction::WrongBcc:
                corruptBcc = true;
                break;
            default:
                break;
        }
    }

    answer_.Clear();
    const std::size_t replyLength = reply != nullptr ? reply->size() : 0;
    answer_.Reserve(MaxFrameSize(replyLength));
    BuildFrame(answer_, type, code,
               reply != nullptr ? reinterpret_cast<const std::uint8_t*>(reply->data()) : nullptr,
               replyLength);
    if (corruptBcc && answer_.Size() > 1) {
        // The last BCC digit, one character code too high ("9" becomes ":").
        std::uint8_t& digit = answer_.Data()[answer_.Size() - 2];
        digit = static_cast<std::uint8_t>(digit + 1);
    }
    // The answer goes out before the message is reported. A message whose answer could not be
    // written is still reported; the failure is passed on after that.
    std::exception_ptr failure;
    try {
        Transmit(answer_.Data(), answer_.Size());
    } catch (...) {
        failure = std::current_exception();
    }
    Post(EventId::MessageReceived, static_cast<std::int8_t>(received), deviceId,
         MakeReceivedRecord(receiver.status, received, receiver.receivedBcc, receiver.computedBcc,
                            receiver.text,
                            static_cast<std::size_t>(receiver.DeliveredTextLength())));
    if (failure) std::rethrow_exception(failure);
}
