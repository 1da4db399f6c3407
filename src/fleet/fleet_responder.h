#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/responder.h"
#include "drivers/fleet_board.h"
#include "fleet/fleet_file.h"

namespace fleet {

// What a fleet's devices share: the file, the devices, the board and each template's loaded
// scenario (null: none).
struct FleetShared {
    FleetFile file;
    std::vector<Device> devices;  // in number order
    std::shared_ptr<FleetBoard> board;
    std::vector<std::shared_ptr<Responder>> scenarios;  // by template
};

// The engine's responder for a fleet: each session whose connection is a device's gets that
// device's own instance (ForPeer), which sends the template's onConnect messages as soon as
// it is made, its own message every so often, and answers from its scenario (an instance of
// its own) and then from its template's reply table, with the device's fault profile. A
// session of no device (none should be) is answered by the link's reply table.
class FleetResponder : public Responder {
public:
    explicit FleetResponder(std::shared_ptr<const FleetShared> shared);

    Response OnMessage(const IncomingMessage&, std::int64_t) override { return {}; }
    std::optional<std::int64_t> NextDueMs() const override { return std::nullopt; }
    std::vector<OwnSend> RunDue(std::int64_t) override { return {}; }
    bool Report(ResponderStatus&, std::int64_t, std::int64_t) override { return false; }
    std::shared_ptr<Responder> ForPeer(std::int64_t nowMs, std::uint64_t origin, std::uint32_t session) override;

private:
    std::shared_ptr<const FleetShared> shared_;
};

// Loads each template's scenario; throws (naming the template and the file) when one cannot
// be read.
std::vector<std::shared_ptr<Responder>> LoadScenarios(const FleetFile& file, std::int64_t nowMs);

// Everything a fleet run needs from the file at `path`: its devices, their scenarios, a board
// with every device connecting. Throws FleetError naming the file and the place.
std::shared_ptr<const FleetShared> PrepareFleet(const std::string& path, std::int64_t nowMs);

}  // namespace fleet
