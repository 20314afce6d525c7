// Fuzzing only. IniFile::load asks QIODevice::read for up to 64 MiB + 1 bytes, and Qt allocates
// a buffer of that size before reading; under AddressSanitizer every such allocation poisons and
// unpoisons 8 MiB of shadow memory, which makes one fuzz_ini input take about a second. This
// definition, which wins over Qt's inside the fuzz_ini executable only, reads the same bytes in
// small steps. Remove it once IniFile::load no longer asks for the whole limit.

#include <QByteArray>
#include <QIODevice>

#include <algorithm>

QByteArray QIODevice::read(qint64 maxSize)
{
    QByteArray result;
    char buffer[16384];
    while (result.size() < maxSize) {
        const qint64 chunk = std::min<qint64>(qint64(sizeof buffer), maxSize - result.size());
        const qint64 got = read(buffer, chunk);
        if (got <= 0)
            break;
        result.append(buffer, qsizetype(got));
    }
    return result;
}
