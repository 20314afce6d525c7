#include "requestlog.h"

#include <cstdio>

void RequestLog::line(const std::string& text) const
{
    if (m_quiet)
        return;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void RequestLog::error(const std::string& text)
{
    std::fprintf(stderr, "kelvara-wlserver: %s\n", text.c_str());
    std::fflush(stderr);
}
