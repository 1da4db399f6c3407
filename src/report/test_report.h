#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The result of a run that judged something (expectations of a scenario, a replay's frames)
// as the files a CI server reads: JUnit XML (one testsuite, one testcase per item, a failure
// with its message and evidence) and the same as JSON.
struct TestReport {
    struct Case {
        std::string name;
        std::string what;     // the item in words
        std::string verdict;  // "passed", "failed", "pending", ...
        bool failed = false;
        std::string message;
        std::vector<std::string> evidence;  // lines, bytes as received
        std::int64_t decidedMs = 0;         // 0: when the run ended
    };

    std::string suite;
    std::string kind = "cases";  // the JSON key of the items ("expectations", "frames")
    std::int64_t startMs = 0;    // wall clock, milliseconds since the epoch
    std::int64_t endMs = 0;
    bool passed = false;
    std::vector<Case> cases;

    std::string JUnitXml() const;
    // The JSON report: as a document (to be placed in another), and as the file's text.
    nlohmann::json Document() const;
    std::string Json() const;
};

// Bytes as a report line shows them: control bytes as \xNN, the rest as they are.
std::string ReadableBytes(std::string_view bytes);
