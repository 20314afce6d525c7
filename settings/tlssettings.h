#pragma once

#include <QString>

// The [TLS] section of Settings.ini. IT writes it (in the site preset or by hand); the program
// only reads it: no dialog shows it and no save writes it, so its lines stay as IT left them.
//   Enabled        "1": the query and the removal run over TLS; missing, empty or "0": plain
//   CACertificate  PEM file of the CAs the server's certificate must chain to; empty: the
//                  system's trust store
//   Certificate    our own certificate (PEM), for servers that demand one
//   PrivateKey     its unencrypted key (PEM); empty together with Certificate: none offered
struct TlsSettings
{
    bool enabled = false;
    QString caCertificate; // absolute paths, or empty
    QString certificate;
    QString privateKey;
};

// Reads [TLS] from the file; a missing or unreadable file gives plain DICOM. Relative paths are
// taken from the folder of the file.
[[nodiscard]] TlsSettings LoadTlsSettings(const QString& settingsFilePath);
