#include "settingslocation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString fileName = QStringLiteral("Settings.ini");

} // namespace

SettingsLocation resolveSettingsLocation(const SettingsPlaces& places)
{
    const QString besideProgram = QDir(places.programDir).filePath(fileName);
    const QString preset = QFileInfo::exists(places.presetFile) ? places.presetFile : QString();
    if (places.programDirWritable && QFileInfo(places.programDir).fileName() != u"bin")
        return {besideProgram, besideProgram, preset};

    const QString configDir = QDir::isAbsolutePath(places.xdgConfigHome)
                                  ? places.xdgConfigHome
                                  : QDir(places.home).filePath(QStringLiteral(".config"));
    const QString userFile = QDir::cleanPath(configDir + QStringLiteral("/kelvara/") + fileName);
    if (QFileInfo::exists(userFile))
        return {userFile, userFile, preset};
    if (!preset.isEmpty())
        return {preset, userFile, preset};
    return {besideProgram, userFile};
}

SettingsLocation settingsLocation()
{
    SettingsPlaces places;
    places.programDir = QCoreApplication::applicationDirPath();
    // The kernel's own answer for this user, ACLs and read-only file systems included.
    places.programDirWritable =
        ::faccessat(AT_FDCWD, QFile::encodeName(places.programDir).constData(), W_OK | X_OK,
                    AT_EACCESS) == 0;
    places.xdgConfigHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    places.home = QDir::homePath();
    places.presetFile = QStringLiteral("/etc/kelvara/Settings.ini");
    return resolveSettingsLocation(places);
}
