#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct ReceivedFrame;

// One received message, copied out of the store (the control API's view of it).
struct ReceivedMessage {
    std::uint64_t id = 0;        // 1, 2, ... in arrival order; never reused, even after Clear
    std::int32_t number = 0;     // the number the list shows
    std::int64_t arrivalMs = 0;  // milliseconds since the epoch
    std::int32_t msecsSinceMidnight = 0;  // local time, as the list shows it
    std::int32_t statusCode = 0;
    std::string status;  // the 13-character list text
    std::string type;
    std::string rxBcc;
    std::string calcBcc;
    std::string text;    // as received
    std::string faults;  // what the answer's faults did; empty for none
    std::string rule;      // what of a scenario answered it; empty: the reply table
    std::string nearMiss;  // no rule answered: the closest one and what it missed
    std::int32_t way = -1;  // through the proxy: 0 A to B, 1 B to A; -1 the simulator's own
    bool namesShown = false;  // listed with control characters by name
    std::uint32_t session = 0;  // the conversation it came in; 0 for none
};

// Which messages a listing shows; an empty field takes any.
struct MessageFilter {
    std::string type;           // the message type, one byte
    std::string status;         // the list's status text, blanks around it and case ignored
    std::string text;           // bytes the text holds
    std::int64_t sinceMs = 0;   // arrived at or after this time (epoch milliseconds)
    std::uint32_t session = 0;  // came in this session; 0 any
    bool Any() const { return type.empty() && status.empty() && text.empty() && sinceMs == 0 && session == 0; }
};

// Every received message of the run, for the window's list and the control API alike: one
// store. A message takes one record of 56 bytes, and its texts go one after another into
// large shared blocks (no allocation of its own), so that a run of hours fits; with a bound
// the oldest go, a hundredth of the bound at a time (so that a view drops them in a few large
// steps), and the memory goes back to the system when many go at once. A block goes when the
// oldest message in it goes, so what Delete takes from the middle is given back once the
// messages before it are gone too. Used on the core's thread only.
class ReceivedStore {
public:
    // The fields of a stored message, as they are; valid until the store next changes.
    struct View {
        std::uint64_t id;
        std::int32_t number;
        std::int64_t arrivalMicros;
        std::int32_t msecsSinceMidnight;
        std::int32_t statusCode;
        std::uint8_t type;
        bool namesShown;
        std::string_view rxBcc, calcBcc, text, faults, rule, nearMiss;
        std::int8_t way = -1;  // through the proxy: 0 A to B, 1 B to A; -1 the simulator's own
        std::uint32_t session = 0;
    };

    // 0: no bound.
    explicit ReceivedStore(std::size_t bound = 0) : bound_(bound) {}

    // Called with the count before the oldest messages are dropped by the bound, so that a
    // view can let go of them first.
    void SetOnDrop(std::function<void(std::size_t count)> onDrop) { onDrop_ = std::move(onDrop); }
    void SetBound(std::size_t bound);
    std::size_t Bound() const { return bound_; }

    // Numbers and keeps the message; returns its id. `namesShown`: the list shows its text
    // with control characters by name (as the window's box was on its arrival).
    std::uint64_t Add(const ReceivedFrame& frame, std::int64_t arrivalMs, bool namesShown);

    std::size_t Size() const { return rows_.size(); }
    View At(std::size_t position) const;
    // The position of the first message numbered after `id`.
    std::size_t PositionAfter(std::uint64_t id) const;
    // Messages numbered after `after`, at most `limit`, oldest first.
    std::vector<ReceivedMessage> List(std::uint64_t after, std::size_t limit,
                                      const MessageFilter& filter = {}) const;
    ReceivedMessage Copy(std::size_t position) const;
    // Whether the message at `position` passes the filter (a view that hides the others).
    bool Passes(std::size_t position, const MessageFilter& filter) const;
    std::uint64_t LastId() const { return lastId_; }
    // The memory the messages hold, texts and records together.
    std::size_t Bytes() const;

    // Removes the messages at positions first..last (the window's Delete).
    void Remove(std::size_t first, std::size_t last);
    void Clear();

private:
    static constexpr int kTexts = 6;
    struct Row {
        std::uint64_t id;
        std::int64_t micros;
        std::uint32_t block;   // the block holding its texts, counted from the first ever made
        std::uint32_t offset;  // where in it they begin, in the order of View
        std::uint32_t textLength, faultsLength, ruleLength, nearMissLength;
        std::int32_t number;
        std::int32_t msecs;
        std::uint32_t session;
        std::uint8_t type;
        std::uint8_t status : 4;         // frame status codes run 0 to 11
        std::uint8_t rxBccLength : 2;    // block checks have at most three digits
        std::uint8_t calcBccLength : 2;
        bool namesShown;
        std::int8_t way;
    };
    static_assert(sizeof(Row) <= 56, "a listed message keeps to 64 bytes beside its text");
    struct Block {
        std::unique_ptr<char[]> bytes;
        std::size_t size = 0;
        std::size_t used = 0;
    };
    // Room for `size` bytes of texts; the block and the offset where they go.
    std::pair<std::uint32_t, std::uint32_t> Place(std::size_t size);
    // Lets go of the blocks that no kept message uses any more.
    void ReleaseBlocks();
    void DropOldest(std::size_t count);
    static void GiveBackMemory();

    std::deque<Row> rows_;
    std::deque<Block> blocks_;
    std::uint32_t firstBlock_ = 0;  // the number of blocks_.front()
    std::uint32_t nextBlock_ = 0;   // the number the next block made gets
    std::size_t blockBytes_ = 0;    // the sizes of blocks_ together
    std::size_t bound_;
    std::uint64_t lastId_ = 0;
    std::int32_t droppedByBound_ = 0;  // numbers go on past the messages the bound dropped
    std::function<void(std::size_t)> onDrop_;
};
