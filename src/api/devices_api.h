#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "drivers/fleet_board.h"

// The fleet's devices as the control API shows them (GET /devices, GET /devices/{id}): pure
// functions of the board, so the router only parses the request and picks the status.

// One device: its state, session, connection, counts and last error.
nlohmann::json DeviceJson(const DeviceStatus& device);

// A page of the devices after number `after` (0: from the first), at most `limit`, those in
// `state` only when given; with the count in each state over the whole fleet and `next`, the
// `after` of the following page (null at the end).
nlohmann::json DevicesPageJson(const FleetBoard& board, std::optional<DeviceState> state, std::uint32_t after,
                               std::size_t limit);

// The state a query names, or nothing with `error` set (naming the states there are).
std::optional<DeviceState> DeviceStateQuery(const std::string& text, std::string& error);
