#pragma once

#include <QString>

// A failed DICOM exchange, as shown to the user: "number - description".
// Numbers (decimal in the message), stable across releases:
//   positive               the DIMSE status word of a failure response (0xA700 -> 42752,
//                          0xC000 -> 49152); the description names the server and the status
//   -(module*65536+code)   a DCMTK condition: module 6 is the network module, whose codes
//                          0x2xx come from DIMSE and 0x3xx from the upper layer (0x31c: the TCP
//                          connection failed: refused, unreachable, no connection within the
//                          connect time-out; 0x320: host name not found; 0x301: association
//                          rejected; 0x207: no answer within the DIMSE time-out; 0x31a: no
//                          answer within the association time-out; 0x317: the server aborted;
//                          0x208: the server accepts none of the offered services). The
//                          description is chosen by the code (and errno for a connect), never
//                          by the toolkit's wording, which the C library translates.
//   -1                     a setting the exchange cannot use (port not a whole number 1..65535,
//                          an AE title that is empty, too long or holds control characters, a
//                          TLS file that is missing, unreadable or not what its key names);
//                          nothing was sent
//   -2                     the exchange was aborted by the program itself
//   -3                     no complete answer within the exchange's total deadline
//   -4                     the answer broke a rule or a limit of the program (data before the
//                          association answer, an entry nested too deeply or too large)
//   -6                     the helper program that runs the exchange could not start, ended
//                          without an answer (crashed, killed) or answered what the window
//                          cannot read
//   -5                     the TLS connection failed (the server speaks no TLS, its certificate
//                          is not trusted, it wants or refused our certificate) or a plain
//                          connection met a server that speaks only TLS; the description says
//                          what to change in the server or in Settings.ini [TLS]
struct DicomError
{
    int number = 0; // 0: no error
    QString description;

    static constexpr int badSetting = -1;
    static constexpr int abortedByProgram = -2;
    static constexpr int deadlinePassed = -3;
    static constexpr int answerRefused = -4;
    static constexpr int tlsFailed = -5;
    static constexpr int helperFailed = -6;

    [[nodiscard]] bool isError() const { return number != 0; }
    // Cut off because the program is closing: nobody is there to be told.
    [[nodiscard]] bool isAbortedByProgram() const { return number == abortedByProgram; }
    [[nodiscard]] QString messageText() const
    {
        return QString::number(number) + QStringLiteral(" - ") + description;
    }
};
