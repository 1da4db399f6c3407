#include "api/resources.h"

#include "app/app_core.h"
#include "capture/recording.h"
#include "capture/replay.h"
#include "report/test_report.h"
#include "text/json_text.h"

namespace api {

json CaptureJson(const CaptureWriter::Status& status) {
    return {{"running", status.running},
            {"file", status.path.empty() ? json(nullptr) : json(BytesToJsonText(status.path))},
            {"packets", status.packets},
            {"bytes", status.bytes},
            {"files", status.files},
            {"error", status.error.empty() ? json(nullptr) : json(BytesToJsonText(status.error))}};
}

ApiResponse PostCapture(AppCore& core, const json& body) {
    OnlyFields(body, {"action", "file", "rotateKb"});
    const std::string action = body.contains("action") ? Bytes(body["action"], "action") : "";
    if (action == "stop") {
        OnlyFields(body, {"action"});
        if (!core.CaptureStatus().running) throw ApiError(409, "not_running", "No capture runs.");
        core.StopCapture();
    } else if (action == "start") {
        if (!body.contains("file")) throw ApiError(400, "missing_field", "start needs file.", "file");
        const std::string file = Bytes(body["file"], "file");
        if (file.empty()) throw ApiError(400, "invalid_value", "file is empty.", "file");
        const std::int32_t rotateKb = body.contains("rotateKb") ? Ranged(body["rotateKb"], "rotateKb", 0, 1 << 30) : 0;
        if (const std::string error = core.StartCapture(file, static_cast<std::uint64_t>(rotateKb) * 1024); !error.empty())
            throw ApiError(409, "not_started", BytesToJsonText(error), "file");
    } else {
        throw ApiError(400, body.contains("action") ? "invalid_value" : "missing_field",
                       "action must be start or stop.", "action");
    }
    return Json(200, CaptureJson(core.CaptureStatus()));
}

json ReplayJson(const ReplayService::View& v) {
    json out = {{"state", ReplayService::PhaseName(v.phase)},
                {"running", v.phase == ReplayService::Phase::WaitingForLink ||
                                v.phase == ReplayService::Phase::Playing ||
                                v.phase == ReplayService::Phase::Collecting},
                {"file", v.request.file.empty() ? json(nullptr) : json(BytesToJsonText(v.request.file))},
                {"direction", v.request.direction},
                {"speed", v.request.speed},
                {"validate", v.request.validate},
                {"steps", v.steps},
                {"written", v.written},
                {"expected", v.expected},
                {"received", v.received},
                {"ended", v.ended.empty() ? json(nullptr) : json(BytesToJsonText(v.ended))},
                {"warning", v.warning.empty() ? json(nullptr) : json(BytesToJsonText(v.warning))}};
    if (v.report) {
        out["passed"] = v.report->passed;
        out["report"] = v.report->Document();
    } else {
        out["passed"] = nullptr;
        out["report"] = nullptr;
    }
    return out;
}

ApiResponse PostReplay(AppCore& core, const json& body) {
    OnlyFields(body, {"action", "file", "direction", "speed", "validate", "mask"});
    const std::string action = body.contains("action") ? Bytes(body["action"], "action") : "";
    if (action == "stop") {
        OnlyFields(body, {"action"});
        if (!core.Replays().Running()) throw ApiError(409, "not_running", "No replay runs.");
        core.Replays().Stop();
    } else if (action == "start") {
        ReplayService::Request request;
        if (!body.contains("file")) throw ApiError(400, "missing_field", "start needs file.", "file");
        request.file = Bytes(body["file"], "file");
        if (body.contains("direction")) request.direction = Bytes(body["direction"], "direction");
        if (body.contains("speed"))
            request.speed = body["speed"].is_number() ? body["speed"].dump() : Bytes(body["speed"], "speed");
        if (body.contains("validate")) request.validate = Flag(body["validate"], "validate");
        if (body.contains("mask")) request.mask = Bytes(body["mask"], "mask");
        if (core.Replays().Running()) throw ApiError(409, "running", "A replay is running; stop it first.");
        try {
            core.Replays().Start(request);
        } catch (const RecordingError& error) {
            throw ApiError(400, "invalid_recording", BytesToJsonText(error.what()), "file");
        } catch (const ReplayError& error) {
            const std::string text = error.what();
            const char* field = text.rfind("replay speed", 0) == 0 ? "speed"
                                : text.rfind("replay direction", 0) == 0 ? "direction"
                                : text.find("mask") != std::string::npos ? "mask"
                                                                         : "file";
            throw ApiError(400, "invalid_value", BytesToJsonText(text), field);
        }
    } else {
        throw ApiError(400, body.contains("action") ? "invalid_value" : "missing_field",
                       "action must be start or stop.", "action");
    }
    return Json(200, ReplayJson(core.Replays().GetView()));
}

}  // namespace api
