#pragma once

#include "appsettings.h"

#include <QLocale>
#include <QString>

#include <array>

// The two complete, different contents that kelvara-settingswriter alternates between and that
// tst_settingskill expects to find after each kill. Widths are written in German, as the helper
// and the test both pin that locale.
struct KillContent
{
    AppSettings settings;
    std::array<double, 5> widths{};
};

inline KillContent killContentAlpha()
{
    KillContent c;
    c.settings.LocalAET = QStringLiteral("ALPHA_LOCAL");
    c.settings.IP = QStringLiteral("127.0.0.1");
    c.settings.AET = QStringLiteral("ALPHA");
    c.settings.Port = QStringLiteral("104");
    c.widths = {1000.0, 2000.0, 3000.0, 4000.0, 5000.0};
    return c;
}

inline KillContent killContentBeta()
{
    KillContent c;
    c.settings.LocalAET = QStringLiteral("BETA_LOCAL_LONGER_NAME");
    c.settings.IP = QStringLiteral("127.0.0.2");
    c.settings.AET = QStringLiteral("BETA");
    c.settings.Port = QStringLiteral("11112");
    c.widths = {1500.5, 2250.25, 3333.5, 4096.0, 123.5};
    return c;
}

inline QLocale killLocale()
{
    return QLocale(QLocale::German, QLocale::Germany);
}
