#include "protocol/receiver.h"

#include <cstring>

void Receiver::Complete() {
    text[textLength] = 0;
    textLength += 1;
    if (isResponse) {
        responseReady = true;
    } else {
        messageReady = true;
    }
    digitIndex = 0;
    state = WaitSoh;
}

void Receiver::ReceiveOther(std::uint8_t byte) {
    switch (state) {
        case WaitSoh:
            if (byte == ctrl::SOH) {
                textLength = 0;
                status = StatusOk;
                state = WaitType;
            } else {
                ++strayBytes;
            }
            break;
        case WaitType:
            frameType = byte;
            sum = byte;
            receivedBcc[0] = 0;
            computedBcc[0] = 0;
            digitIndex = 0;
            // A frame that fails at the next byte has no kind of its own. Treating it as a
            // message (rather than the kind of whatever frame came before) puts it in the
            // received list where the user can see it, the same way every time.
            isResponse = false;
            nak = false;
            state = WaitStart;
            break;
        case WaitStart:
            if (byte == ctrl::STX) {
                isResponse = false;
                textLength = 0;
                state = Text;
            } else if (byte == ctrl::ACK) {
                isResponse = true;
                state = WaitStx;
            } else if (byte == ctrl::NAK) {
                isResponse = true;
                nak = true;
                accepted = false;
                status = StatusNak;
                state = WaitStx;
            } else {
                Fail(StatusBadStx);
            }
            break;
        case WaitStx:
            if (byte == ctrl::STX) {
                textLength = 0;
                state = Text;
            } else {
                Fail(StatusBadStx);
            }
            break;
        case Text:
            if (textLength >= kMaxText) {
                Fail(StatusBadSize);
            } else if (byte == ctrl::DLE) {
                sum = static_cast<std::uint8_t>(sum + ctrl::DLE);
                state = TextEscape;
            } else if (byte == ctrl::ETX) {
                text[textLength] = 0;
                computedBcc[0] = static_cast<char>('0' + sum / 100);
                computedBcc[1] = static_cast<char>('0' + (sum % 100) / 10);
                computedBcc[2] = static_cast<char>('0' + sum % 10);
                computedBcc[3] = 0;
                state = Bcc;
            } else {
                text[textLength++] = byte;
                sum = static_cast<std::uint8_t>(sum + byte);
            }
            break;
        case TextEscape:
            text[textLength++] = byte;
            sum = static_cast<std::uint8_t>(sum + byte);
            state = Text;
            break;
        case Bcc:
            if (byte == ctrl::CR) {
                Complete();
                break;
            }
            receivedBcc[digitIndex] = static_cast<char>(byte);
            receivedBcc[digitIndex + 1] = 0;
            if (static_cast<char>(byte) != computedBcc[digitIndex]) {
                Fail(StatusBadBcc);
                ++digitIndex;
            } else if (++digitIndex > 2) {
                state = WaitCr;
            }
            break;
        case WaitCr:
            if (byte == ctrl::CR) {
                Complete();
            } else {
                accepted = false;
            }
            break;
    }
}

std::size_t Receiver::Feed(const std::uint8_t* data, std::size_t length) {
    std::size_t i = 0;
    while (i < length && !messageReady && !responseReady) {
        if (state == Text) {
            // Plain text bytes need only a copy and a sum; run through them in one go.
            std::int32_t room = kMaxText - textLength;
            std::uint8_t* out = text + textLength;
            std::uint8_t s = sum;
            std::size_t j = i;
            while (j < length && room > 0) {
                const std::uint8_t b = data[j];
                if (b == ctrl::ETX || b == ctrl::DLE) break;
                *out++ = b;
                s = static_cast<std::uint8_t>(s + b);
                --room;
                ++j;
            }
            textLength = static_cast<std::int32_t>(out - text);
            sum = s;
            if (j == length) return length;
            if (j > i) {
                i = j;
                continue;  // the special byte or the full buffer goes through ReceiveByte
            }
        } else if (state == WaitSoh) {
            const void* soh = std::memchr(data + i, ctrl::SOH, length - i);
            if (soh == nullptr) {
                strayBytes += length - i;
                return length;
            }
            const std::size_t at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(soh) - data);
            strayBytes += at - i;
            i = at;
        }
        ReceiveByte(data[i++]);
    }
    return i;
}
