#pragma once

#include "settingslocation.h"

#include <QString>

// The [TLS] section of Settings.ini. IT writes it (in the site preset or by hand); the program
// only reads it: no dialog shows it and no save writes it, so its lines stay as IT left them.
//   Enabled        "1": the query and the removal run over TLS; missing, empty or "0": plain.
//                  Any other value is an error, never plain DICOM.
//   ServerName     the name the server's certificate must carry; empty: the IP setting
//   CACertificate  PEM file of the CAs the server's certificate must chain to; empty: the
//                  system's trust store
//   Certificate    our own certificate (PEM), for servers that demand one
//   PrivateKey     its unencrypted key (PEM); empty together with Certificate: none offered
struct TlsSettings
{
    bool enabled = false;
    QString serverName;
    QString caCertificate; // absolute paths, or empty
    QString certificate;
    QString privateKey;
    QString error; // a value the program cannot use, said for the user; nothing is sent then
};

// Reads [TLS] from where IT's settings are read (the preset, when there is one); a missing or
// unreadable file gives plain DICOM. Relative paths are taken from the folder of that file.
[[nodiscard]] TlsSettings LoadTlsSettings(const SettingsLocation& location);
