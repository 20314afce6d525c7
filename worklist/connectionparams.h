#pragma once

#include <QString>

// Time-outs of one exchange in seconds. A hung server costs at most dimse + acse.
struct Timeouts
{
    int connectSeconds = 5;
    int acseSeconds = 10;
    int dimseSeconds = 30;
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
};
