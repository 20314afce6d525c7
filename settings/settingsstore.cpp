#include "settingsstore.h"

#include "inifile.h"

#include <QDir>
#include <QFileInfo>

#include <cmath>

namespace {

const QString generalSection = QStringLiteral("General");
const QString worklistSection = QStringLiteral("Worklist");
const QString columnsSection = QStringLiteral("Columns");
constexpr qint16 readBufferSize = 256;

QString cutToBuffer(QString text, qint16 size)
{
    qsizetype length = size > 0 ? size - 1 : 0;
    if (text.size() <= length)
        return text;
    if (length > 0 && text.at(length - 1).isHighSurrogate())
        --length;
    text.truncate(length);
    return text;
}

QString readValue(const IniFile& ini, const QString& section, const QString& key,
                  const QString& defaultValue, qint16 size)
{
    return cutToBuffer(ini.value(section, key).value_or(defaultValue), size);
}

QString columnKey(std::size_t index)
{
    return QString::number(index + 1);
}

} // namespace

QString ReadIniString(const QString& section, const QString& key, const QString& defaultValue,
                      const QString& fileName, qint16 size)
{
    IniFile ini;
    // A missing or unreadable file leaves ini empty, so every key is missing.
    (void)ini.load(fileName);
    return readValue(ini, section, key, defaultValue, size);
}

void LoadSettings(AppSettings& settings, const QString& fileName)
{
    IniFile ini;
    (void)ini.load(fileName);
    const auto read = [&ini](const QString& section, const QString& key) {
        return readValue(ini, section, key, QString(), readBufferSize);
    };
    settings.LocalAET = read(generalSection, QStringLiteral("LocalAET"));
    settings.IP = read(worklistSection, QStringLiteral("IP"));
    settings.AET = read(worklistSection, QStringLiteral("AET"));
    settings.Port = read(worklistSection, QStringLiteral("Port"));
    for (std::size_t i = 0; i < settings.ColumnWidths.size(); ++i)
        settings.ColumnWidths[i] = read(columnsSection, columnKey(i));
}

SaveResult SaveSettings(const AppSettings& settings,
                        const std::array<double, 5>& liveColumnWidthsTwips, const QString& fileName,
                        const QString& startFrom)
{
    if (SaveResult target = IniFile::checkTarget(fileName); !target)
        return target;
    IniFile ini;
    switch (ini.load(fileName)) {
    case IniFile::LoadResult::Loaded:
        break;
    case IniFile::LoadResult::Missing:
        // A user's first file starts as a copy of the preset, so the lines IT wrote there
        // (comments, other sections) carry over; the preset itself is only read.
        if (!startFrom.isEmpty())
            (void)ini.load(startFrom);
        // The user's configuration folder may not exist yet.
        QDir().mkpath(QFileInfo(fileName).absolutePath());
        break;
    case IniFile::LoadResult::Unreadable:
        // Writing over a file that exists but could not be read would throw away what it holds.
        return SaveResult::failed(
            fileName, QFileInfo(fileName).size() > IniFile::maxFileSize
                          ? QStringLiteral("Die vorhandene Datei ist größer als 64 MiB und "
                                           "bleibt unverändert.")
                          : QStringLiteral("Die vorhandene Datei kann nicht gelesen werden und "
                                           "bleibt unverändert."));
    }
    // The names are the program's own and always valid, so setValue cannot refuse them.
    ini.setValue(generalSection, QStringLiteral("LocalAET"), settings.LocalAET);
    ini.setValue(worklistSection, QStringLiteral("IP"), settings.IP);
    ini.setValue(worklistSection, QStringLiteral("AET"), settings.AET);
    ini.setValue(worklistSection, QStringLiteral("Port"), settings.Port);
    const QLocale locale;
    for (std::size_t i = 0; i < liveColumnWidthsTwips.size(); ++i)
        ini.setValue(columnsSection, columnKey(i),
                     formatColumnWidth(liveColumnWidthsTwips[i], locale));
    return ini.save(fileName);
}

QString formatColumnWidth(double twips, const QLocale& locale)
{
    float width = static_cast<float>(twips);
    if (!std::isfinite(width))
        return {};
    if (width == 0.0f)
        width = 0.0f; // no "-0"

    // 'g' gives seven significant digits without trailing zeros, but switches to an exponent for
    // very large and very small numbers; write those out in full.
    QString text = QString::number(static_cast<double>(width), 'g', 7);
    if (const qsizetype e = text.indexOf(u'e'); e >= 0) {
        const int exponent = QStringView(text).sliced(e + 1).toInt();
        text = QString::number(text.toDouble(), 'f', std::max(0, 6 - exponent));
        if (text.contains(u'.')) {
            while (text.endsWith(u'0'))
                text.chop(1);
            if (text.endsWith(u'.'))
                text.chop(1);
        }
    }
    text.replace(u'.', locale.decimalPoint());
    if (text.startsWith(u'-'))
        text.replace(0, 1, locale.negativeSign());
    return text;
}

std::optional<double> parseColumnWidth(const QString& text, const QLocale& locale)
{
    QLocale strict = locale;
    strict.setNumberOptions(locale.numberOptions() | QLocale::RejectGroupSeparator);
    bool ok = false;
    const float width = strict.toFloat(text, &ok);
    if (!ok || !std::isfinite(width) || width < 0.0f)
        return std::nullopt;
    return static_cast<double>(width == 0.0f ? 0.0f : width);
}
