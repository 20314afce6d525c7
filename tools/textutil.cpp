#include "textutil.h"

#include <vector>

namespace textutil {
namespace {

// Decodes one UTF-8 sequence at `pos`; invalid bytes come back one by one as themselves.
char32_t decode(std::string_view text, size_t& pos)
{
    const auto lead = static_cast<unsigned char>(text[pos]);
    size_t extra = 0;
    char32_t cp = lead;
    if (lead >= 0xC2 && lead < 0xE0) {
        extra = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        extra = 2;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead < 0xF5) {
        extra = 3;
        cp = lead & 0x07;
    }
    if (extra == 0 || pos + extra >= text.size()) {
        ++pos;
        return lead;
    }
    for (size_t i = 1; i <= extra; ++i) {
        const auto c = static_cast<unsigned char>(text[pos + i]);
        if ((c & 0xC0) != 0x80) {
            ++pos;
            return lead;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    pos += extra + 1;
    return cp;
}

std::u32string decodeAll(std::string_view text, bool foldCase)
{
    std::u32string result;
    result.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        char32_t cp = decode(text, pos);
        if (foldCase && ((cp >= U'A' && cp <= U'Z') || (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7)))
            cp += 0x20;
        result.push_back(cp);
    }
    return result;
}

bool wildcardMatch(const std::u32string& p, const std::u32string& t)
{
    // Iterative matching with backtracking to the last '*': linear in practice.
    size_t pi = 0, ti = 0, starP = std::u32string::npos, starT = 0;
    while (ti < t.size()) {
        if (pi < p.size() && (p[pi] == U'?' || p[pi] == t[ti])) {
            ++pi;
            ++ti;
        } else if (pi < p.size() && p[pi] == U'*') {
            starP = pi++;
            starT = ti;
        } else if (starP != std::u32string::npos) {
            pi = starP + 1;
            ti = ++starT;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == U'*')
        ++pi;
    return pi == p.size();
}

} // namespace

bool isAscii(std::string_view text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

bool isValidUtf8(std::string_view text)
{
    for (size_t pos = 0; pos < text.size();) {
        const auto lead = static_cast<unsigned char>(text[pos]);
        if (lead < 0x80) {
            ++pos;
            continue;
        }
        const size_t before = pos;
        const char32_t cp = decode(text, pos);
        if (pos == before + 1 || cp < 0x80)
            return false;
    }
    return true;
}

bool wildcardMatch(std::string_view pattern, std::string_view text, bool foldCase)
{
    return wildcardMatch(decodeAll(pattern, foldCase), decodeAll(text, foldCase));
}

bool equalFolded(std::string_view a, std::string_view b)
{
    if (isAscii(a) && isAscii(b)) {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i) {
            char x = a[i], y = b[i];
            if (x >= 'A' && x <= 'Z')
                x = static_cast<char>(x + 0x20);
            if (y >= 'A' && y <= 'Z')
                y = static_cast<char>(y + 0x20);
            if (x != y)
                return false;
        }
        return true;
    }
    return decodeAll(a, true) == decodeAll(b, true);
}

std::string utf8ToLatin1(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        const char32_t cp = decode(text, pos);
        if (cp < 0x100) {
            result.push_back(static_cast<char>(cp));
            continue;
        }
        switch (cp) {
        case 0x015E:
            result.push_back('S');
            break;
        case 0x015F:
            result.push_back('s');
            break;
        case 0x011E:
            result.push_back('G');
            break;
        case 0x011F:
            result.push_back('g');
            break;
        case 0x0130:
            result.push_back('I');
            break;
        case 0x0131:
            result.push_back('i');
            break;
        case 0x0106:
            result.push_back('C');
            break;
        case 0x0107:
            result.push_back('c');
            break;
        case 0x0158:
            result.push_back('R');
            break;
        case 0x0159:
            result.push_back('r');
            break;
        case 0x0141:
            result.push_back('L');
            break;
        case 0x0142:
            result.push_back('l');
            break;
        default:
            result.push_back('?');
            break;
        }
    }
    return result;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\0'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.remove_suffix(1);
    return text;
}

std::string forLog(std::string_view text, size_t maxChars)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string result;
    size_t chars = 0;
    size_t pos = 0;
    while (pos < text.size() && chars < maxChars) {
        const auto lead = static_cast<unsigned char>(text[pos]);
        const size_t start = pos;
        const char32_t cp = decode(text, pos);
        const bool invalid = lead >= 0x80 && (pos == start + 1 || cp < 0x80);
        if (invalid || cp < 0x20 || cp == 0x7F) {
            result += "\\x";
            result += hex[lead >> 4];
            result += hex[lead & 0xF];
            pos = start + 1;
        } else if (cp >= 0x80 && cp < 0xA0) {
            result += "\\u00";
            result += hex[cp >> 4];
            result += hex[cp & 0xF];
        } else if (cp == U'\\') {
            result += "\\\\";
        } else {
            result.append(text.substr(start, pos - start));
        }
        ++chars;
    }
    if (pos < text.size())
        result += "...[cut, " + std::to_string(text.size()) + " bytes]";
    return result;
}

} // namespace textutil
