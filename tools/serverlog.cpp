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
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : value.substr(0, kShown)) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7F
                   ? std::string{'\\', 'x', kHex[byte >> 4], kHex[byte & 15]}
               : c == '\\' ? std::string("\\\\")
                           : std::string(1, c);
    }
    if (value.size() > kShown)
        out += "...[cut, " + std::to_string(value.size()) + " bytes]";
    return out;
}
