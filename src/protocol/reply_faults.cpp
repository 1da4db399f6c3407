#include "protocol/reply_faults.h"

#include "protocol/reply_actions.h"
#include "text/next_token.h"

namespace {

template <class Row, class Visit>
void Fields(Row& row, Visit&& visit) {
    visit(row.DelayMin);
    visit(row.DelayMax);
    visit(row.NoAnswer);
    visit(row.Twice);
    visit(row.SplitAt);
    visit(row.SplitGap);
    visit(row.Noise);
    visit(row.Drop);
    visit(row.DropMs);
    visit(row.When);
    visit(row.EveryN);
    visit(row.Chance);
}

}  // namespace

std::string FormatReplyFaults(std::int32_t seed, const std::vector<ReplyFaults>& rows) {
    std::string text = std::to_string(seed) + "\r\n";
    for (const ReplyFaults& row : rows) {
        std::string line;
        Fields(row, [&line](std::int32_t field) {
            if (!line.empty()) line += '\t';
            line += std::to_string(field);
        });
        text += line + "\r\n";
    }
    return text;
}

void ParseReplyFaults(const std::string& text, std::int32_t& seed, std::vector<ReplyFaults>& rows) {
    std::vector<std::string> lines = SplitLines(text);
    rows.clear();
    if (lines.empty()) return;
    seed = ParseActionNumber(lines.front());
    for (std::size_t i = 1; i < lines.size(); ++i) {
        ReplyFaults row;
        std::string& line = lines[i];
        Fields(row, [&line](std::int32_t& field) {
            if (!line.empty()) field = ParseActionNumber(NextToken(line, "\t"));
        });
        rows.push_back(row);
    }
}
