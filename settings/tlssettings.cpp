#include "tlssettings.h"

#include "inifile.h"

#include <QDir>
#include <QFileInfo>

TlsSettings LoadTlsSettings(const QString& settingsFilePath)
{
    IniFile file;
    if (file.load(settingsFilePath) != IniFile::LoadResult::Loaded)
        return {};
    const QDir folder = QFileInfo(settingsFilePath).absoluteDir();
    const auto path = [&](const char* key) {
        const QString value =
            file.value(u"TLS", QString::fromLatin1(key)).value_or(QString()).trimmed();
        return value.isEmpty() ? value : QDir::cleanPath(folder.absoluteFilePath(value));
    };
    TlsSettings settings;
    settings.enabled =
        file.value(u"TLS", u"Enabled").value_or(QString()).trimmed() == QLatin1String("1");
    settings.caCertificate = path("CACertificate");
    settings.certificate = path("Certificate");
    settings.privateKey = path("PrivateKey");
    return settings;
}
