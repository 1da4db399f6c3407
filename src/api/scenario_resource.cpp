#include "api/resources.h"

#include "app/app_core.h"
#include "base/regular_file.h"
#include "scenario/scenario.h"
#include "text/json_text.h"
#include "text/times.h"

namespace api {

namespace {

// A scenario or expectations given as a file on this machine or as the document itself.
// Returns the document (null: a file, named in `file`).
const json* DocumentOrFile(const json& body, const char* documentField, std::string& file) {
    OnlyFields(body, {"file", documentField});
    const bool hasFile = body.contains("file"), hasDocument = body.contains(documentField);
    if (hasFile == hasDocument)
        throw ApiError(400, "missing_field", std::string("Give either file or ") + documentField + ".",
                       hasFile ? "file" : documentField);
    if (hasFile) {
        file = Bytes(body["file"], "file");
        if (file.empty()) throw ApiError(400, "invalid_value", "file is empty.", "file");
        return nullptr;
    }
    return &body[documentField];
}

// A caller's file, only inside the policy's folder.
std::string FileInside(const std::string& folder, const std::string& file, const char* code) {
    try {
        return files::ResolveInside(folder, file);
    } catch (const files::FileError& error) {
        throw ApiError(400, code, BytesToJsonText(error.what()), "file");
    }
}

std::string FolderOf(const ApiPolicy& policy) { return policy.filesFolder.empty() ? "." : policy.filesFolder; }

}  // namespace

json ScenarioJson(const ScenarioService::View& v, std::int64_t nowMs) {
    const ResponderStatus& st = v.status;
    json variables = json::object();
    for (const auto& [name, value] : st.variables) variables[BytesToJsonText(name)] = BytesToJsonText(value);
    json rules = json::array();
    for (const auto& [rule, hits] : st.ruleHits) rules.push_back({{"rule", BytesToJsonText(rule)}, {"hits", hits}});
    json timers = json::array();
    for (const std::string& t : st.timers) timers.push_back(BytesToJsonText(t));
    json errors = json::array();
    for (const std::string& e : v.errors) errors.push_back(BytesToJsonText(e));
    json misses = json::array();
    for (const std::string& m : v.nearMisses) misses.push_back(BytesToJsonText(m));
    return {{"running", v.running},
            {"name", v.running ? json(BytesToJsonText(v.name)) : json(nullptr)},
            {"origin", v.running ? json(BytesToJsonText(v.origin)) : json(nullptr)},
            {"state", v.running ? json(BytesToJsonText(st.state)) : json(nullptr)},
            {"enteredAt", v.running && st.enteredMs > 0 ? json(IsoTime(st.enteredMs)) : json(nullptr)},
            {"variables", variables},
            {"rules", rules},
            {"unmatched", st.unmatched},
            {"timers", timers},
            {"lastError", st.lastError.empty() ? json(nullptr) : json(BytesToJsonText(st.lastError))},
            {"errors", errors},
            {"nearMisses", misses},
            {"time", IsoTime(nowMs)}};
}

json VerifyJson(const ScenarioService& scenarios) {
    const ScenarioService::View v = scenarios.GetView();
    json list = json::array();
    for (const scenario::Verifier::Result& r : v.results) {
        json evidence = json::array();
        for (const std::string& line : r.evidence) evidence.push_back(BytesToJsonText(line));
        list.push_back({{"name", BytesToJsonText(r.name)},
                        {"what", BytesToJsonText(r.what)},
                        {"verdict", scenario::VerdictText(r.verdict)},
                        {"message", BytesToJsonText(r.message)},
                        {"decidedAt", r.decidedMs > 0 ? json(IsoTime(r.decidedMs)) : json(nullptr)},
                        {"evidence", evidence}});
    }
    const char* verdict = !scenarios.HasExpectations() ? "none"
                          : v.failed > 0               ? "failed"
                          : v.verified                 ? "passed"
                                                       : "pending";
    return {{"verdict", verdict},
            {"finished", v.finished},
            {"passed", v.passed},
            {"holding", v.holding},
            {"failed", v.failed},
            {"pending", v.pending},
            {"expectations", list}};
}

ApiResponse PutScenario(AppCore& core, const json& body, const ApiPolicy& policy) {
    std::string file;
    const json* document = DocumentOrFile(body, "scenario", file);
    const std::string folder = FolderOf(policy);
    if (!file.empty()) file = FileInside(folder, file, "invalid_scenario");
    try {
        // A scenario that does not load leaves the running one as it is.
        if (document != nullptr) core.Scenarios().LoadDocument(*document, folder, "the control API", folder);
        else core.Scenarios().LoadFile(file, folder);
    } catch (const scenario::ScenarioError& error) {
        throw ApiError(400, "invalid_scenario", BytesToJsonText(error.what()), file.empty() ? "scenario" : "file");
    }
    return Json(200, ScenarioJson(core.Scenarios().GetView(), core.Now()));
}

ApiResponse PutExpectations(AppCore& core, const json& body, const ApiPolicy& policy) {
    std::string file;
    const json* document = DocumentOrFile(body, "expectations", file);
    if (!file.empty()) file = FileInside(FolderOf(policy), file, "invalid_expectations");
    try {
        if (document != nullptr) core.Scenarios().SetExpectationsDocument(*document, "the control API");
        else core.Scenarios().SetExpectationsFile(file);
    } catch (const scenario::ScenarioError& error) {
        throw ApiError(400, "invalid_expectations", BytesToJsonText(error.what()),
                       file.empty() ? "expectations" : "file");
    }
    return Json(200, VerifyJson(core.Scenarios()));
}

ApiResponse ReloadScenario(AppCore& core, const json& body) {
    OnlyFields(body, {});
    try {
        core.Scenarios().Reload();
    } catch (const scenario::ScenarioError& error) {
        throw ApiError(409, "not_reloaded", BytesToJsonText(error.what()));
    }
    return Json(200, ScenarioJson(core.Scenarios().GetView(), core.Now()));
}
}  // namespace api
