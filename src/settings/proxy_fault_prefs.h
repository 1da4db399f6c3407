#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Faults the proxy injects into whole frames on their way from one side to the other. Each
// rule picks frames by the way they go, their type and their kind, and says what happens to
// them; the first rule that picks a frame decides, and whether it strikes that frame is
// counted and drawn as the reply faults are (every frame, every Nth, or with a probability).
struct ProxyFaultRule {
    std::int32_t Way = 2;       // 0 from A to B, 1 from B to A, 2 both ways
    std::string Type;           // one character: frames of that type only; empty: any type
    std::int32_t Frames = 0;    // 0 any frame, 1 messages, 2 ACKs, 3 NAKs, 4 ACKs and NAKs
    std::int32_t DelayMin = 0;  // the frame waits this many milliseconds...
    std::int32_t DelayMax = 0;  // ...or a time drawn from DelayMin to DelayMax...
    std::int32_t Jitter = 0;    // ...or, above 0, drawn around DelayMin with this deviation
    std::int32_t Drop = 0;      // 1: the frame is not passed on
    std::int32_t Twice = 0;     // 1: the frame is passed on twice
    std::int32_t BadBcc = 0;    // 1: the last digit of its block check is spoiled
    std::int32_t FlipBit = 0;   // 1: one bit of one byte of its text is flipped
    std::int32_t SwapAck = 0;   // 1: an ACK becomes a NAK and a NAK an ACK
    std::int32_t Hold = 0;      // 1: the frame waits for the next one the same way and follows it
    std::int32_t Stray = 0;     // random bytes (never SOH) sent before the frame
    std::int32_t When = 0;      // 0 every frame it picks, 1 every Nth, 2 with a probability
    std::int32_t EveryN = 1;    // N for When 1
    std::int32_t Chance = 100;  // percent for When 2

    // Whether striking a frame changes anything at all.
    bool Any() const {
        return DelayMin > 0 || DelayMax > 0 || Jitter > 0 || Drop != 0 || Twice != 0 ||
               BadBcc != 0 || FlipBit != 0 || SwapAck != 0 || Hold != 0 || Stray > 0;
    }
    bool operator==(const ProxyFaultRule&) const = default;
};

struct ProxyFaults {
    std::vector<ProxyFaultRule> Rules;
    // Seeds the draws (which frames a probability strikes, delays, stray bytes, flipped bits):
    // the same seed and the same frames give the same faults.
    std::int32_t Seed = 1;

    bool operator==(const ProxyFaults&) const = default;
};

namespace ProxyFaultLimit {
inline constexpr std::size_t kMaxRules = 64;

// The integer fields of a rule by their names (those of the settings file and the API), with
// their ranges, in the order the struct declares them.
struct Field {
    const char* name;
    std::int32_t ProxyFaultRule::*member;
    std::int32_t low, high;
};
const std::vector<Field>& Fields();
}  // namespace ProxyFaultLimit

// The first value out of its range, as a sentence naming the rule and the value ("rule 2:
// chance must be 0 to 100"); empty when every value is in range.
std::string ProxyFaultsError(const ProxyFaults& faults);

// A rule as one line of "name=value" pairs by comma, only those that differ from the
// default ("way=0,type=A,drop=1,when=1,everyN=3"): the settings file's and the command line's
// form. `type` is one character; a comma as the type is written "type=,".
std::string ProxyFaultRuleText(const ProxyFaultRule& rule);
// The rule such a line stands for (names not given keep their defaults); on a fault, `error`
// says which part is wrong. Values are checked against their ranges too.
ProxyFaultRule ParseProxyFaultRule(std::string_view text, std::string& error);
