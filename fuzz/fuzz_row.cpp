// Any bytes as a returned worklist data set: reading a row never crashes, and every cell is
// well-formed text (no lone surrogate, which would turn into '?' or worse when shown or sorted).

#include "exchangeprotocol.h"
#include "rowreader.h"

#include <QLocale>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

bool isWellFormed(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_row: check failed: %s\n", what);
        std::abort();
    }
}

} // namespace

// The toolkit allocates an element's declared length before it knows the bytes are there, so a
// few hundred bytes can ask for gigabytes; under AddressSanitizer every large allocation costs
// its shadow memory, which brings the run down to a few inputs a second. No real value comes near
// 32 MiB (inputs are at most 64 KiB; libFuzzer itself needs 20 MiB in one piece): larger requests
// fail as on a machine short of memory, which the toolkit must survive (its value buffers come
// from a non-throwing new).
extern "C" const char* __asan_default_options()
{
    return "max_allocation_size_mb=32:allocator_may_return_null=1";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QLocale german(QLocale::German, QLocale::Germany);
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const WorklistRow row = rowFromDicomBytes(bytes);

    check(isWellFormed(row.patientId), "patientId well-formed");
    check(isWellFormed(row.name), "name well-formed");
    check(isWellFormed(row.stepDescription), "stepDescription well-formed");
    check(isWellFormed(row.studyDescription), "studyDescription well-formed");
    check(isWellFormed(row.entryKey), "entryKey well-formed");
    check(row.name.isEmpty() || row.name.startsWith(u' '), "name starts with a blank");

    // The row travels from the exchange helper to the window unchanged, whatever it holds.
    ExchangeProtocol::AnswerReader reader(german);
    check(reader.feed(ExchangeProtocol::firstLine() + ExchangeProtocol::rowLine(row) +
                      ExchangeProtocol::lastLine({})),
          "answer readable");
    const QVector<WorklistRow> back = reader.takeRows();
    check(reader.isComplete() && back.size() == 1, "one row arrives");
    for (int column : {0, 1, 3, 4})
        check(columnText(back[0], column) == columnText(row, column), "cell arrives unchanged");
    check(back[0].entryKey == row.entryKey && back[0].birthDateValue == row.birthDateValue,
          "key and date arrive unchanged");
    // The shown birth date and the one the column sorts by come from the same value.
    check(isWellFormed(back[0].birthDate) &&
              back[0].birthDate.isEmpty() != back[0].birthDateValue.isValid(),
          "birth date text matches value");
    return 0;
}
