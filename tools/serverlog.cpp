#include "serverlog.h"

#include <cstdio>

void serverlog::line(const std::string& text)
{
    // One write per line, so that lines of different threads never interleave.
    const std::string whole = text + '\n';
    std::fwrite(whole.data(), 1, whole.size(), stdout);
    std::fflush(stdout);
}

std::string serverlog::escaped(std::string_view value)
{
    constexpr std::size_t kShown = 200;
    std::string out;
    for (const char c : value.substr(0, kShown)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += byte == '\\' ? std::string("\\\\") : std::string(1, c);
        }
    }
    if (value.size() > kShown)
        out += "...[cut, " + std::to_string(value.size()) + " bytes]";
    return out;
}
