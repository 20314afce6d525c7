#pragma once

#include <QString>

// A failed DICOM exchange, as shown to the user: "number - description".
// Numbers (decimal in the message):
//   positive          the DIMSE status word of a failure response (0xA700 -> 42752)
//   -(module*65536+code)  a DCMTK condition (module 6 = network, 17 = ACSE etc.)
//   -1                a setting the exchange cannot use (port not a whole number 1..65535)
//   -2                the exchange was aborted by the program itself
struct DicomError
{
    int number = 0; // 0: no error
    QString description;

    [[nodiscard]] bool isError() const { return number != 0; }
    [[nodiscard]] QString messageText() const
    {
        return QString::number(number) + QStringLiteral(" - ") + description;
    }
};
