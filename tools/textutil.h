#pragma once

#include <string>
#include <string_view>

// Small text helpers for the worklist server; all work on bytes, UTF-8 where it says so.
namespace textutil {

[[nodiscard]] bool isAscii(std::string_view text);
[[nodiscard]] bool isValidUtf8(std::string_view text);

// DICOM wildcard matching on UTF-8 text: '*' stands for any run of characters, '?' for exactly
// one character (not one byte). With foldCase, letters compare without regard to case (ASCII and
// the Latin-1 letters, enough for German names).
[[nodiscard]] bool wildcardMatch(std::string_view pattern, std::string_view text, bool foldCase);
// Equality with the same case folding.
[[nodiscard]] bool equalFolded(std::string_view a, std::string_view b);

// UTF-8 to ISO 8859-1. Characters outside Latin-1 are replaced by their base letter where that is
// obvious (s for U+015F, g for U+011F, ...), otherwise by '?'.
[[nodiscard]] std::string utf8ToLatin1(std::string_view text);

[[nodiscard]] std::string_view trimmed(std::string_view text);

// A value received from a peer made fit for one log line: control characters (C0, DEL, C1) and
// bytes that are not UTF-8 become \xNN (C1 characters written in UTF-8 \u00NN), a backslash
// becomes \\, and text beyond `maxChars` characters is cut and marked with the size it had.
// So nothing a client sends can start a new line, move the cursor or forge another entry.
[[nodiscard]] std::string forLog(std::string_view text, size_t maxChars = 200);

} // namespace textutil
