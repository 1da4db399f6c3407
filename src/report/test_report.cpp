#include "report/test_report.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "text/json_text.h"
#include "text/times.h"

namespace {

// Text for an XML attribute or element: the bytes as characters U+0000 to U+00FF in UTF-8,
// control bytes readable, the markup characters escaped.
std::string Xml(std::string_view bytes) {
    std::string out;
    for (const char c : BytesToJsonText(ReadableBytes(bytes))) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string Seconds(std::int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

std::string ReadableBytes(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", byte);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

std::string TestReport::JUnitXml() const {
    std::size_t failures = 0;
    for (const Case& c : cases) failures += c.failed ? 1 : 0;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n  <testsuite name=\"" + Xml(suite) +
                      "\" tests=\"" + std::to_string(cases.size()) + "\" failures=\"" + std::to_string(failures) +
                      "\" errors=\"0\" skipped=\"0\" time=\"" + Seconds(endMs - startMs) + "\" timestamp=\"" +
                      IsoTime(startMs).substr(0, 19) + "\">\n";
    for (const Case& c : cases) {
        xml += "    <testcase classname=\"" + Xml(kind) + "\" name=\"" + Xml(c.name) + "\" time=\"" +
               Seconds((c.decidedMs != 0 ? c.decidedMs : endMs) - startMs) + "\">\n";
        std::string evidence = Xml(c.what) + "\n";
        for (const std::string& line : c.evidence) evidence += Xml(line) + "\n";
        if (c.failed) {
            xml += "      <failure message=\"" + Xml(c.message) + "\" type=\"" + Xml(c.verdict) + "\">" + evidence +
                   "</failure>\n";
        } else {
            xml += "      <system-out>" + Xml(c.message) + "\n" + evidence + "</system-out>\n";
        }
        xml += "    </testcase>\n";
    }
    xml += "  </testsuite>\n</testsuites>\n";
    return xml;
}

nlohmann::json TestReport::Document() const {
    nlohmann::json out = {{"suite", BytesToJsonText(suite)},
                          {"started", IsoTime(startMs)},
                          {"seconds", static_cast<double>(endMs - startMs) / 1000.0},
                          {"passed", passed},
                          {kind, nlohmann::json::array()}};
    for (const Case& c : cases) {
        nlohmann::json evidence = nlohmann::json::array();
        for (const std::string& line : c.evidence) evidence.push_back(BytesToJsonText(line));
        out[kind].push_back({{"name", BytesToJsonText(c.name)},
                             {"what", BytesToJsonText(c.what)},
                             {"verdict", c.verdict},
                             {"message", BytesToJsonText(c.message)},
                             {"evidence", evidence}});
    }
    return out;
}

std::string TestReport::Json() const {
    return Document().dump(2) + "\n";
}
