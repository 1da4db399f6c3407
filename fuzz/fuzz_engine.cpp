// Arbitrary wire bytes, an arbitrary reply actions table and an arbitrary reply faults table
// through the protocol engine on a fake driver, with two messages of its own in flight and
// clocks that keep moving: nothing may crash, at most one message is ever outstanding, every
// event is one the engine may post, with a known status code, and nothing scheduled is left
// behind.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "base/event_manager.h"
#include "drivers/fake_driver.h"
#include "protocol/reply_actions.h"
#include "protocol/vantor_protocol.h"
#include "text/integer.h"
#include "text/next_token.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void CheckEvents(EventManager& events) {
    Event e;
    while (events.GetEvent(e)) {
        Check(e.id == EventId::ResponseAccepted || e.id == EventId::TransactionFailed ||
              e.id == EventId::MessageReceived || e.id == EventId::Status || e.id == EventId::StrayBytes ||
              e.id == EventId::Session);
        // The line is one session from its opening, and it never ends here.
        if (e.id == EventId::Session)
            Check(std::holds_alternative<SessionInfo>(e.payload) && std::get<SessionInfo>(e.payload).session == 1 &&
                  std::get<SessionInfo>(e.payload).open);
        if (e.id == EventId::Status) Check(e.value >= 0 && e.value < kStatusCodeCount);
        if (e.id == EventId::StrayBytes) Check(e.value > 0);
        if (e.id == EventId::MessageReceived)
            Check(std::holds_alternative<ReceivedFrame>(e.payload) && std::get<ReceivedFrame>(e.payload).session == 1);
    }
}

// The faults part of the input: a seed line, then a number a line per fault value (TAB
// between them, in the order of the faults' table) for the rows in order. A field that is not a number leaves the rest of its row at
// the defaults.
void ReadFaults(const std::string& text, ReplyTable& table) {
    std::vector<std::string> lines = SplitLines(text);
    if (lines.empty()) return;
    table.seed = ParseInteger(lines[0], Blanks::LeadingSpaces).value_or(1);
    for (std::size_t i = 1; i < lines.size() && i <= table.rows.size(); ++i) {
        ReplyFaults& f = table.rows[i - 1].Faults;
        for (const ReplyFaultField& field : ReplyFaultFields()) {
            if (lines[i].empty()) break;
            const auto value = ParseInteger(NextToken(lines[i], "\t"), Blanks::LeadingSpaces);
            if (!value) break;
            f.*field.member = *value;
        }
    }
}

}  // namespace

// Input: chunk size, table length n, n bytes of reply actions table, faults length m, m bytes
// of reply faults (a seed line, then twelve numbers a row), then the
// wire bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t chunk = 1 + data[0] % 61;
    const std::size_t tableLength = std::min<std::size_t>(data[1], size - 3);
    const std::string table(reinterpret_cast<const char*>(data + 2), tableLength);
    const std::size_t faultsAt = 2 + tableLength;
    const std::size_t faultsLength = std::min<std::size_t>(data[faultsAt], size - faultsAt - 1);
    const std::string faults(reinterpret_cast<const char*>(data + faultsAt + 1), faultsLength);
    const std::size_t wire = faultsAt + 1 + faultsLength;

    FakeDriver driver;
    driver.Script(FakeDriver::Bytes(data + wire, data + size), chunk);
    std::int64_t reads = 0;
    EventManager events;
    std::int64_t micros = 0;
    VantorProtocol engine(&driver, 1, [&] { return 1000 + reads++ / 8; }, [&] { return micros += 997; });
    engine.eventSink = &events;
    try {
        engine.SetReplyActions(static_cast<std::int32_t>(SplitLines(table).size()), table);
    } catch (const std::runtime_error&) {
        // A bad action number ends the load; the rows before it stay.
    }
    // The rows loaded, now with faults: every value, however large, goes through the same
    // door as the settings' own.
    ReplyTable withFaults;
    withFaults.rows = engine.replyActions;
    ReadFaults(faults, withFaults);
    engine.SetReplyTable(withFaults);
    engine.StartTick();
    engine.QueueMessage(0, 'A', "first", nullptr, 0);
    engine.QueueMessageBytes(1, 'B', "sec\0nd", 6, nullptr, 0);

    for (int idle = 0; idle < 400; ++idle) {
        // Input counts as left while the driver still has some or the engine holds part of
        // a block read it has not taken apart yet.
        const auto inputLeft = [&] { return driver.InputLeft() || engine.HasBufferedInput(); };
        if (inputLeft()) idle = 0;
        engine.Poll();
        Check(engine.outstanding.size() <= 1);
        Check(engine.GetCommStatus() >= 0 && engine.GetCommStatus() < kStatusCodeCount);
        CheckEvents(events);
        if (!inputLeft() && engine.outstanding.empty() && engine.sendQueue.empty()) break;
    }
    Check(!driver.InputLeft() && !engine.HasBufferedInput());
    // Whatever was scheduled (a delay and a split gap of up to an hour each) is done once its
    // time has come.
    micros += 8'000'000'000LL;
    engine.Poll();
    Check(!engine.NextDue());
    return 0;
}
