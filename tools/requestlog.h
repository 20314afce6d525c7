#pragma once

#include <string>

// One line per request on stdout, flushed at once so a test or a pipe sees it immediately.
// Quiet mode drops these lines; errors() always goes to stderr.
class RequestLog final
{
public:
    explicit RequestLog(bool quiet) : m_quiet(quiet) {}

    void line(const std::string& text) const;
    static void error(const std::string& text);

private:
    bool m_quiet;
};
