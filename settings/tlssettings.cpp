#include "tlssettings.h"

#include "inifile.h"

#include <QDir>
#include <QFileInfo>

TlsSettings LoadTlsSettings(const SettingsLocation& location)
{
    IniFile file;
    if (file.load(location.itFrom) != IniFile::LoadResult::Loaded)
        return {};
    const QDir folder = QFileInfo(location.itFrom).absoluteDir();
    const auto value = [&](const char* key) {
        return file.value(u"TLS", QString::fromLatin1(key)).value_or(QString()).trimmed();
    };
    const auto path = [&](const char* key) {
        const QString text = value(key);
        return text.isEmpty() ? text : QDir::cleanPath(folder.absoluteFilePath(text));
    };
    TlsSettings settings;
    const QString enabled = value("Enabled");
    settings.enabled = enabled == QLatin1String("1");
    if (!enabled.isEmpty() && enabled != QLatin1String("0") && !settings.enabled)
        settings.error = QStringLiteral("Settings.ini [TLS] Enabled=\"%1\" in %2 ist ungültig: "
                                        "erlaubt sind 1 (TLS) und 0 (ohne TLS)")
                             .arg(enabled.left(64), location.itFrom);
    settings.serverName = value("ServerName");
    settings.caCertificate = path("CACertificate");
    settings.certificate = path("Certificate");
    settings.privateKey = path("PrivateKey");
    return settings;
}
