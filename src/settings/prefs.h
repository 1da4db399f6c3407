#pragma once

#include <cstdint>
#include <string>

// One row of the reply actions table.
struct ReplyPrefs {
    std::string Type;         // the message type the row answers (one character to match)
    std::string Msg;          // the reply text
    std::int32_t Action = 0;  // 0 Normal, 1 NAK Error, 2 Type Error, 3 BCC Error
    std::int32_t Flags = 0;   // reserved
};
