// Any bytes as an existing Settings.ini: LoadSettings reads it, two connection fields change,
// SaveSettings writes it back, and the result is read again. Besides not crashing, the saved file
// must hold the values just set, keep every line the save had no reason to touch (in order), add
// nothing but our own sections and keys, be valid UTF-8, and not change on a second identical save.
//
// The whole input is the file, so the seed corpus is plain INI files; which values are set, the
// column widths and the locale are picked from a hash of the input.

#include "appsettings.h"
#include "inifile.h"
#include "settingsstore.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QStringDecoder>
#include <QStringList>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <unistd.h>

namespace {

// On tmpfs, so that the fsync of every save costs nothing.
QString g_dir;
QString g_path;

QByteArray g_output; // the last saved file, written beside a failure for a look

[[noreturn]] void fail(const char* what, const QString& detail = QString())
{
    if (!g_output.isNull()) {
        QFile out(QDir::currentPath() + QStringLiteral("/fuzz_ini-last-output.ini"));
        if (out.open(QIODevice::WriteOnly))
            out.write(g_output);
    }
    QDir(g_dir).removeRecursively(); // abort() skips the atexit clean-up
    std::fprintf(stderr, "fuzz_ini: %s %s\n", what, detail.toUtf8().constData());
    std::abort();
}

#define CHECK(cond, ...)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            fail("check failed: " #cond __VA_OPT__(, ) __VA_ARGS__);                               \
    } while (0)

QString u(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

const QStringList& candidateValues()
{
    static const QStringList values = [] {
        QStringList v{u("127.0.0.1"),
                      QString(),
                      u("  padded  "),
                      u("\"quoted\""),
                      u("\"x\" "),
                      u(" \""),
                      u("\""),
                      u("Grüße ÄÖÜ ß €"),
                      u("line\nbreak\r\nend\r"),
                      u("=;#[x]"),
                      u("\v\f"),
                      u("😀 pair"),
                      QString(300, u'A'),
                      QString(254, u'B') + u("😀tail")};
        v.append(QStringLiteral("nul") + QChar(u'\0') + QStringLiteral("inside"));
        return v;
    }();
    return values;
}

constexpr std::array<double, 12> candidateWidths = {1500.0,
                                                    1234.5,
                                                    0.0,
                                                    -0.0,
                                                    1e30,
                                                    1.4e-45,
                                                    3.4028235e38,
                                                    0.1,
                                                    99999.99,
                                                    16777217.0,
                                                    std::numeric_limits<double>::quiet_NaN(),
                                                    std::numeric_limits<double>::infinity()};

const std::array<const char*, 7> candidateLocales = {"de_DE", "en_US", "C",    "de_CH",
                                                     "fr_FR", "ar_EG", "fa_IR"};

std::uint64_t fnv1a(const std::uint8_t* data, size_t size)
{
    std::uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

// Independent of the code under test: Qt's strict UTF-8 decoder, and Windows-1252 with its five
// unassigned bytes as the C1 controls of the same value.
QString decodeInput(QByteArrayView bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    static const char16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    text.clear();
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text += (b >= 0x80 && b <= 0x9F) ? QChar(high[b - 0x80]) : QChar(b);
    }
    return text;
}

// Lines without their endings. CRs at a line's end are left out: a last line without a line
// ending gets one when the save adds lines, and a CR already there then joins it.
QStringList linesOf(const QString& text)
{
    QStringList lines = text.split(u'\n');
    for (QString& line : lines) {
        while (line.endsWith(u'\r'))
            line.chop(1);
    }
    return lines;
}

bool isOurKeyLine(const QString& line)
{
    static const QStringList names{u("LocalAET"), u("IP"), u("AET"), u("Port"), u("1"),
                                   u("2"),        u("3"),  u("4"),   u("5")};
    const QString t = line.trimmed();
    const qsizetype eq = t.indexOf(u'=');
    if (eq <= 0)
        return false;
    const QString name = t.first(eq).trimmed();
    for (const QString& n : names) {
        if (name.compare(n, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isAddableLine(const QString& line)
{
    const QString t = line.trimmed();
    return t.isEmpty() || t == u("[General]") || t == u("[Worklist]") || t == u("[Columns]") ||
           isOurKeyLine(line);
}

// What reading a value back must give: line breaks and NULs become blanks.
QString storable(QString value)
{
    for (QChar& c : value) {
        if (c == u'\r' || c == u'\n' || c == QChar(u'\0'))
            c = u' ';
    }
    return value;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    CHECK(f.open(QIODevice::ReadOnly), path);
    return f.readAll();
}

void writeAll(const QString& path, const uint8_t* data, size_t size)
{
    QFile f(path);
    CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate), path);
    CHECK(f.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
}

void checkReadBack(const IniFile& ini, const char* section, const char* key, const QString& set)
{
    const auto full = ini.value(QString::fromLatin1(section), QString::fromLatin1(key));
    CHECK(full.has_value(), QString::fromLatin1(key));
    CHECK(*full == storable(set), QString::fromLatin1(key));
}

// LoadSettings reads through a 256-character buffer and never splits a surrogate pair.
void checkCut(const QString& cut, const QString& full)
{
    CHECK(cut.size() <= 255);
    CHECK(full.startsWith(cut));
    if (full.size() <= 255)
        CHECK(cut == full);
    else
        CHECK(cut.size() >= 254 && !(cut.size() > 0 && cut.back().isHighSurrogate()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const QString base = QDir(u("/dev/shm")).exists() ? u("/dev/shm") : QDir::tempPath();
    g_dir = base + u("/kelvara-fuzz-ini-") + QString::number(::getpid());
    QDir().mkpath(g_dir);
    g_path = g_dir + u("/Settings.ini");
    std::atexit([] { QDir(g_dir).removeRecursively(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::uint64_t h = fnv1a(data, size);
    const QStringList& values = candidateValues();
    QLocale::setDefault(
        QLocale(QString::fromLatin1(candidateLocales[h % candidateLocales.size()])));

    g_output = QByteArray();
    QFile::remove(g_path);
    writeAll(g_path, data, size);
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    AppSettings settings;
    LoadSettings(settings, g_path);
    for (const QString* field : {&settings.LocalAET, &settings.IP, &settings.AET, &settings.Port})
        CHECK(field->size() <= 255);

    settings.IP = values[(h >> 8) % values.size()];
    settings.AET = values[(h >> 16) % values.size()];
    std::array<double, 5> widths{};
    for (size_t i = 0; i < widths.size(); ++i)
        widths[i] = candidateWidths[(h >> (24 + 6 * i)) % candidateWidths.size()];

    CHECK(SaveSettings(settings, widths, g_path));
    const QByteArray output = readAll(g_path);
    g_output = output;

    // The values just set read back as set.
    IniFile saved;
    CHECK(saved.load(g_path) == IniFile::LoadResult::Loaded);
    CHECK(saved.sourceEncoding() == IniFile::Encoding::Utf8);
    checkReadBack(saved, "Worklist", "IP", settings.IP);
    checkReadBack(saved, "Worklist", "AET", settings.AET);
    checkReadBack(saved, "General", "LocalAET", settings.LocalAET);
    checkReadBack(saved, "Worklist", "Port", settings.Port);
    AppSettings again;
    LoadSettings(again, g_path);
    checkCut(again.IP, storable(settings.IP));
    checkCut(again.AET, storable(settings.AET));
    checkCut(again.LocalAET, storable(settings.LocalAET));
    checkCut(again.Port, storable(settings.Port));
    const QLocale locale;
    for (size_t i = 0; i < widths.size(); ++i) {
        const QString text = formatColumnWidth(widths[i], locale);
        CHECK(again.ColumnWidths[i] == text, text);
        const auto parsed = parseColumnWidth(text, locale);
        if (std::isfinite(widths[i]) && widths[i] >= 0.0) {
            CHECK(parsed.has_value(), text);
            CHECK(formatColumnWidth(*parsed, locale) == text, text);
        } else if (!std::isfinite(widths[i])) {
            CHECK(text.isEmpty() && !parsed.has_value(), text);
        }
    }

    // Written as UTF-8, the byte order mark kept or left away as it was.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)utf8.decode(output);
    CHECK(!utf8.hasError());
    CHECK(input.startsWith("\xEF\xBB\xBF") == output.startsWith("\xEF\xBB\xBF"));

    // Every line the save had no reason to touch is still there, in its order; every new line is
    // one of ours. A last line without a line ending may get one, CRLF in a CRLF file.
    const QStringList before = linesOf(decodeInput(input));
    const QStringList after = linesOf(decodeInput(output));
    qsizetype at = 0;
    for (const QString& line : before) {
        if (isOurKeyLine(line))
            continue;
        while (at < after.size() && after[at] != line)
            ++at;
        CHECK(at < after.size(), u("line lost: ") + line.left(200));
        ++at;
    }
    QHash<QString, int> available;
    for (const QString& line : before)
        ++available[line];
    for (const QString& line : after) {
        int& n = available[line];
        if (n > 0)
            --n;
        else
            CHECK(isAddableLine(line), u("line added: ") + line.left(200));
    }

    // Saving the same settings again changes nothing.
    CHECK(SaveSettings(settings, widths, g_path));
    CHECK(readAll(g_path) == output);
    return 0;
}
