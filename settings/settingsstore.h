#pragma once

#include "appsettings.h"
#include "inifile.h"

#include <QLocale>
#include <QString>

#include <array>
#include <optional>

// Moves AppSettings to and from Settings.ini. Nothing here shows anything to the user: a missing,
// unreadable or garbled file gives empty fields, and a failed save leaves the file as it was and
// says why in its result.

// The value of key in section of the file, cut to at most size - 1 characters (a surrogate pair
// is never split); defaultValue, cut the same way, when the file, the section or the key is
// missing or the file cannot be read.
[[nodiscard]] QString ReadIniString(const QString& section, const QString& key,
                                    const QString& defaultValue, const QString& fileName,
                                    qint16 size);

// Replaces all nine fields with what the file holds, each read as ReadIniString(section, key, "",
// fileName, 256) would read it (the file is read only once).
void LoadSettings(AppSettings& settings, const QString& fileName);

// Writes the four connection fields of settings and the five live column widths (in twips,
// formatted with formatColumnWidth in the default locale) in one atomic write.
// settings.ColumnWidths is not written. Other sections, keys and lines of the file are kept; when
// fileName does not exist yet they are taken from startFrom (the site preset), which is only read.
// Fails, leaving the file unchanged, when it is no regular file (a symbolic link included), exists
// but cannot be read, or cannot be written.
[[nodiscard]] SaveResult SaveSettings(const AppSettings& settings,
                                      const std::array<double, 5>& liveColumnWidthsTwips,
                                      const QString& fileName, const QString& startFrom = {});

// A column width as a single-precision number: seven significant digits, no trailing zeros, no
// group separator, the locale's decimal separator ("1234,5" in German, "2370" for 2370). A value
// that is not finite gives an empty text, which reads back as "no width".
[[nodiscard]] QString formatColumnWidth(double twips, const QLocale& locale);

// Reads what formatColumnWidth writes, as single precision widened to double. Empty text, text
// that is not a number in the locale, group separators, infinity, NaN and negative values give
// nullopt.
[[nodiscard]] std::optional<double> parseColumnWidth(const QString& text, const QLocale& locale);
