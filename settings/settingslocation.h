#pragma once

#include <QString>

// Which Settings.ini the program reads and which it writes. Beside the program while that folder
// can be written; otherwise the user's own file in the configuration folder, which starts from the
// site preset (or the file beside the program) until the user's first save creates it.
struct SettingsLocation
{
    SettingsLocation() = default;
    // One file, read and written (the program folder, the tests).
    SettingsLocation(const QString& file) // NOLINT: implicit
        : readFrom(file), writeTo(file), itFrom(file)
    {}
    SettingsLocation(QString read, QString write, const QString& it = {})
        : readFrom(std::move(read)), writeTo(std::move(write)), itFrom(it.isEmpty() ? readFrom : it)
    {}

    QString readFrom; // what LoadSettings reads, and what a first save of writeTo starts from
    QString writeTo;  // what SaveSettings writes; never the preset
    QString itFrom;   // where the sections IT owns ([TLS]) are read: the preset when there is one
};

// What the choice depends on, gathered by the caller so the rule itself touches no environment.
struct SettingsPlaces
{
    QString programDir;
    bool programDirWritable = false;
    QString xdgConfigHome; // $XDG_CONFIG_HOME, may be empty or unset
    QString home;          // $HOME
    QString presetFile;    // the site preset, /etc/kelvara/Settings.ini
};

// The rule, in this order:
// 1. The program folder can be written and is not a "bin" folder: Settings.ini there.
//    (A program in a bin folder lies among other programs, /usr/bin or ~/.local/bin, where
//    settings do not belong, even when the user, root say, could write there.)
// 2. Otherwise the user's own <config>/kelvara/Settings.ini, <config> being $XDG_CONFIG_HOME when
//    it is an absolute path, else $HOME/.config. It is always what is written. It is read when it
//    exists; else the preset is read when it exists; else Settings.ini beside the program.
// Whichever file is read, the preset, when it exists, is where IT's sections are read: a user's
// own file cannot turn off what IT set for the workstation.
// Looks only at whether the user file and the preset exist.
[[nodiscard]] SettingsLocation resolveSettingsLocation(const SettingsPlaces& places);

// The location for this process: the executable's folder, whether this user may write there,
// the environment, and /etc/kelvara/Settings.ini.
[[nodiscard]] SettingsLocation settingsLocation();
