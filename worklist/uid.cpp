#include "uid.h"

#include <QUuid>

#include <array>

QString newUid()
{
    const QByteArray bytes = QUuid::createUuid().toRfc4122();
    // 128 bits as four 32-bit words, most significant first; repeated division by ten
    // yields the decimal digits from the least significant end.
    std::array<quint32, 4> words{};
    for (int i = 0; i < 16; ++i)
        words[i / 4] = (words[i / 4] << 8) | quint8(bytes[i]);

    QString digits;
    bool nonZero = true;
    while (nonZero) {
        quint64 remainder = 0;
        nonZero = false;
        for (quint32& word : words) {
            const quint64 current = (remainder << 32) | word;
            word = quint32(current / 10);
            remainder = current % 10;
            nonZero = nonZero || word != 0;
        }
        digits.prepend(QChar(u'0' + char16_t(remainder)));
    }
    return QStringLiteral("2.25.") + digits;
}
