#pragma once

#include <string>
#include <string_view>

// Cuts the first token off `text` at the first `delimiter`: returns the part before it and
// leaves the part after it in `text`. Without a delimiter the whole text is the token and
// `text` becomes empty. An empty delimiter never matches.
std::string NextToken(std::string& text, std::string_view delimiter);
