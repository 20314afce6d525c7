#pragma once

#include <QString>

// Time-outs of one exchange in seconds. Each of the first three restarts whenever a byte
// arrives, so a server that trickles its answer would never meet them: every exchange also ends
// at its total deadline, totalSeconds() after it began, whatever the server does.
struct Timeouts
{
    int connectSeconds = 5;
    int acseSeconds = 10;
    int dimseSeconds = 30;
    // Time a large answer may take beyond the others (100,000 entries arrive in a few seconds).
    int marginSeconds = 20;

    [[nodiscard]] int totalSeconds() const
    {
        return connectSeconds + acseSeconds + dimseSeconds + marginSeconds;
    }
};

// DICOM over TLS, as IT set it up. Paths are absolute or relative to the working directory;
// the settings layer resolves them against the folder of Settings.ini.
struct TlsParams
{
    bool enabled = false;  // off: plain DICOM
    QString caCertificate; // PEM file of the CAs the server must chain to; empty: the system's
    QString certificate;   // our own certificate (PEM); empty together with privateKey: none
    QString privateKey;    // its unencrypted key (PEM)
    QString serverName;    // the name the certificate must carry; empty: the host
    QString settingsError; // a [TLS] value that cannot be used: the exchange fails with it (-1)
};

// Where an exchange goes. All four connection values are text as the user typed them;
// the DICOM layer converts the port itself and fails cleanly when it is not a number.
struct ConnectionParams
{
    QString host;
    QString port;
    QString calledAet;  // the server's AE title
    QString callingAet; // ours
    Timeouts timeouts;
    TlsParams tls;
    // The query asks only for this station's or modality's steps; empty: every one. Checked by
    // the DICOM layer before anything is sent.
    QString stationAet;
    QString modality;
};
