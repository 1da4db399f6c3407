#pragma once

#include <string>
#include <string_view>

// A text as the saved lists and the tab-separated log hold it: between double quotes, each
// double quote in it doubled.
std::string QuoteField(std::string_view text);
