#include "itsettings.h"

#include "inifile.h"

ItSettings LoadItSettings(const SettingsLocation& location)
{
    IniFile file;
    ItSettings settings;
    if (file.load(location.itFrom) != IniFile::LoadResult::Loaded)
        return settings;
    const auto value = [&](const char16_t* section, const char16_t* key) {
        return file.value(QStringView(section), QStringView(key)).value_or(QString()).trimmed();
    };
    const QString method = value(u"Removal", u"Method");
    if (method.compare(QLatin1String("Completed"), Qt::CaseInsensitive) == 0)
        settings.removal = ItSettings::Removal::Completed;
    else if (method.compare(QLatin1String("Discontinued"), Qt::CaseInsensitive) == 0)
        settings.removal = ItSettings::Removal::Discontinued;
    else if (!method.isEmpty() && method.compare(QLatin1String("Object"), Qt::CaseInsensitive) != 0)
        settings.removalError = QStringLiteral("Settings.ini [Removal] Method=\"%1\" in %2 ist "
                                               "ungültig: erlaubt sind Object, Completed und "
                                               "Discontinued")
                                    .arg(method.left(64), location.itFrom);
    settings.removalAet = value(u"Removal", u"AET");
    settings.removalIp = value(u"Removal", u"IP");
    settings.removalPort = value(u"Removal", u"Port");
    settings.stationAet = value(u"Worklist", u"StationAET");
    settings.modality = value(u"Worklist", u"Modality");
    return settings;
}
