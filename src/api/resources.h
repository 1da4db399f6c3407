#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "api/api_fields.h"
#include "capture/capture_writer.h"
#include "app/replay_service.h"
#include "app/scenario_service.h"
#include "settings/prefs.h"

class AppCore;
struct SendRun;

// The resources of the control API, one source file each; the router in request_handler.cpp
// calls them on the core's thread. Each checks its request with api_fields.h and throws
// ApiError for what it refuses.
namespace api {

// status_resource.cpp: status, readiness and where an events stream starts.
ApiResponse Status(const AppCore& core);
ApiResponse Ready(const AppCore& core);
ApiResponse EventsStart(const ApiRequest& request, const QueryFields& query, AppCore& core);

// link_resource.cpp: the link, its actions, its line faults and the proxy's frame faults.
json LinkJson(const CommPrefs& comm);
ApiResponse PutLink(AppCore& core, const json& body);
ApiResponse LinkActions(AppCore& core, const json& body);
// The side a line faults request is about (?side=A or B).
int LineSide(const QueryFields& query);
json LineFaultsJson(const LineFaults& faults);
ApiResponse PutLineFaults(AppCore& core, const json& body, int side);
json ProxyFaultsJson(const ProxyFaults& faults);
ApiResponse PutProxyFaults(AppCore& core, const json& body);

// replies_resource.cpp: the reply actions table and its faults.
json RepliesJson(const std::array<ReplyPrefs, kReplySlots>& replies, std::int32_t seed);
ApiResponse PutReplies(AppCore& core, const json& body);

// sends_resource.cpp: the send rows, the batch send and the API's own sends.
// The row of /rows/{row} (0-based); 404 for none.
int RowNumber(const std::string& text);
json RowJson(const AppCore& core, int row);
ApiResponse PutRow(AppCore& core, int row, const json& body);
ApiResponse SendRow(AppCore& core, int row, const json& body);
ApiResponse StopRow(AppCore& core, int row, const json& body);
ApiResponse BatchSend(AppCore& core, const json& body);
ApiResponse PostSend(AppCore& core, const json& body);
ApiResponse ListSends(AppCore& core, const QueryFields& query);
// The send of /sends/{id}; 404 for none.
const SendRun& FindSend(AppCore& core, const std::string& text);
json RunJson(const SendRun& run);
// Ends the send after its message in flight; 409 when it is over.
void StopSend(AppCore& core, const SendRun& run);

// devices_api.cpp: the fleet's devices, all (a page of them) or the one `id` names.
ApiResponse Devices(const AppCore& core, const QueryFields& query, const std::optional<std::string>& id);

// messages_resource.cpp: the received messages and the sessions.
ApiResponse Messages(AppCore& core, const QueryFields& query, bool head);
ApiResponse Sessions(const AppCore& core);
// A session named by a request: a number of one that is open.
std::uint32_t SessionField(const AppCore& core, const json& value, const char* field);

// scenario_resource.cpp: the scenario, the expectations and the verdict.
json ScenarioJson(const ScenarioService::View& v, std::int64_t nowMs);
json VerifyJson(const ScenarioService& scenarios);
ApiResponse PutScenario(AppCore& core, const json& body, const ApiPolicy& policy);
ApiResponse ReloadScenario(AppCore& core, const json& body);
ApiResponse PutExpectations(AppCore& core, const json& body, const ApiPolicy& policy);

// capture_resource.cpp: the capture and the replay.
json CaptureJson(const CaptureWriter::Status& status);
ApiResponse PostCapture(AppCore& core, const json& body);
json ReplayJson(const ReplayService::View& v);
ApiResponse PostReplay(AppCore& core, const json& body);

}  // namespace api
