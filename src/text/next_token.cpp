#include "text/next_token.h"

std::string NextToken(std::string& text, std::string_view delimiter) {
    const std::size_t at = delimiter.empty() ? std::string::npos : text.find(delimiter);
    std::string token;
    if (at == std::string::npos) {
        token.swap(text);
        return token;
    }
    token.assign(text, 0, at);
    text.erase(0, at + delimiter.size());
    return token;
}
