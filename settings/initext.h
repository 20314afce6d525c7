#pragma once

#include <QByteArrayView>
#include <QString>

// Byte-level helpers for reading INI files that may come from Windows.

// True when the bytes are well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no sequence cut off at the end. Empty input is valid.
[[nodiscard]] bool isValidUtf8(QByteArrayView bytes);

// Decodes Windows-1252. The five bytes the code page leaves unassigned (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) become the C1 control characters of the same value, as Windows itself decodes them.
[[nodiscard]] QString fromWindows1252(QByteArrayView bytes);
