#pragma once

#include <string>
#include <string_view>

// The server's log: one line per request or event on stdout, written whole even when several
// associations log at once.
namespace serverlog {

void line(const std::string& text);
// A value from a client, fit for a log line: control characters and the backslash escaped
// (\xNN, \\), cut after 200 bytes ("...[cut, N bytes]").
[[nodiscard]] std::string escaped(std::string_view value);

} // namespace serverlog
