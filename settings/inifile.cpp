#include "inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr QByteArrayView byteOrderMark("\xEF\xBB\xBF");

// A lone CR counts as a blank so that a stray CR before CRLF does not end up in a value.
bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f';
}

QStringView trimmedBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

struct ParsedLine
{
    enum class Kind { Other, Section, Key };
    Kind kind = Kind::Other;
    QStringView name;     // section or key name
    qsizetype equals = 0; // keys: position of the '=' in the line
};

ParsedLine parseLine(QStringView line)
{
    const QStringView text = trimmedBlanks(line);
    if (text.isEmpty() || text.front() == u';' || text.front() == u'#')
        return {};
    if (text.front() == u'[') {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return {};
        return {ParsedLine::Kind::Section, trimmedBlanks(text.sliced(1, close - 1)), 0};
    }
    const qsizetype equals = line.indexOf(u'=');
    if (equals < 0)
        return {};
    const QStringView key = trimmedBlanks(line.first(equals));
    if (key.isEmpty())
        return {};
    return {ParsedLine::Kind::Key, key, equals};
}

QStringView valueOf(QStringView keyLine, qsizetype equals)
{
    QStringView value = trimmedBlanks(keyLine.sliced(equals + 1));
    if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"')
        value = value.sliced(1, value.size() - 2);
    return value;
}

// What reading the value back will give.
QString storableValue(const QString& value)
{
    QString result = value;
    for (QChar& c : result) {
        if (c == u'\r' || c == u'\n' || c == QChar(u'\0'))
            c = u' ';
    }
    return result;
}

// Quotes a value that reading would otherwise change: blanks at its ends, or quotes around it.
QString encodedValue(const QString& storable)
{
    if (storable.isEmpty())
        return storable;
    const bool quoted = storable.size() >= 2 && storable.front() == u'"' && storable.back() == u'"';
    if (quoted || isBlank(storable.front()) || isBlank(storable.back()))
        return u'"' + storable + u'"';
    return storable;
}

bool hasLineBreakOrNul(const QString& name)
{
    return name.contains(u'\r') || name.contains(u'\n') || name.contains(QChar(u'\0'));
}

bool isWritableName(const QString& name)
{
    return !name.isEmpty() && !hasLineBreakOrNul(name) && trimmedBlanks(name).size() == name.size();
}

bool isWritableSection(const QString& section)
{
    return isWritableName(section) && !section.contains(u']');
}

bool isWritableKey(const QString& key)
{
    return isWritableName(key) && !key.contains(u'=') && key.front() != u'[' &&
           key.front() != u';' && key.front() != u'#';
}

// Temporaries carry a name nobody else picks, so that the clean-up after a killed save removes
// only the program's own files and never, say, a user's "Settings.ini.backup".
QString temporaryPrefix(const QFileInfo& info)
{
    return u'.' + info.fileName() + QStringLiteral(".kelvara-");
}

// A save killed between writing its temporary file and the rename leaves that file behind; the
// next successful save removes it (only regular files of ours: never through a link, never a
// file another user put there).
void removeLeftoverTemporaries(const QString& path)
{
    const QFileInfo info(path);
    const QString prefix = temporaryPrefix(info);
    const QRegularExpression leftover(
        QStringLiteral("^%1[A-Za-z0-9]{6}\\.tmp$").arg(QRegularExpression::escape(prefix)));
    const QDir dir = info.absoluteDir();
    const QStringList candidates = dir.entryList({prefix + QStringLiteral("*.tmp")},
                                                 QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : candidates) {
        const QByteArray local = QFile::encodeName(dir.filePath(name));
        struct stat st = {};
        if (leftover.match(name).hasMatch() && ::lstat(local.constData(), &st) == 0 &&
            S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
            ::unlink(local.constData());
    }
}

bool writeAll(int fd, QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const ssize_t written = ::write(fd, bytes.data(), static_cast<size_t>(bytes.size()));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes = bytes.sliced(written);
    }
    return true;
}

// The process's umask, read without setting it: umask() itself would change it for a moment
// for every thread, and a file another thread creates meanwhile would get the wrong mode.
mode_t processUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            bool ok = false;
            const uint mask = line.startsWith("Umask:") ? line.mid(6).trimmed().toUInt(&ok, 8) : 0;
            if (ok)
                return mode_t(mask);
        }
    }
    return 022; // the usual one, where the kernel does not tell
}

} // namespace

IniFile::IniFile(QByteArrayView bytes)
{
    m_hasBom = bytes.startsWith(byteOrderMark);
    if (m_hasBom)
        bytes = bytes.sliced(byteOrderMark.size());
    if (bytes.isValidUtf8()) {
        // Only the first byte order mark is the file's; a second one is text of the first line
        // and must survive a save (plain fromUtf8 would drop it).
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
        m_text = decoder(bytes);
    } else {
        // Files made on Windows. Its five unassigned bytes become the C1 controls of the same
        // value, as Windows decodes them; the decoder is ICU's and always there with Qt here.
        QStringDecoder windows1252("windows-1252");
        m_text = windows1252.isValid() ? windows1252.decode(bytes) : QString::fromLatin1(bytes);
        m_encoding = Encoding::Windows1252;
    }

    qsizetype crlf = 0;
    qsizetype lf = 0;
    for (qsizetype pos = m_text.indexOf(u'\n'); pos >= 0; pos = m_text.indexOf(u'\n', pos + 1)) {
        if (pos > 0 && m_text.at(pos - 1) == u'\r')
            ++crlf;
        else
            ++lf;
    }
    m_crlf = crlf > 0 && crlf >= lf;
}

IniFile::LoadResult IniFile::load(const QString& path)
{
    *this = IniFile();
    const QFileInfo info(path);
    if (!info.exists())
        return LoadResult::Missing;
    // A directory or a FIFO is no settings file; reading a FIFO could block forever.
    if (!info.isFile() || info.size() > maxFileSize)
        return LoadResult::Unreadable;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return LoadResult::Unreadable;
    // Read in pieces: QIODevice::read(n) reserves n bytes up front, whatever the file's size.
    QByteArray bytes;
    bytes.reserve(info.size());
    while (bytes.size() <= maxFileSize) {
        const QByteArray chunk = file.read(64 * 1024);
        if (chunk.isEmpty())
            break;
        bytes += chunk;
    }
    if (file.error() != QFileDevice::NoError || bytes.size() > maxFileSize)
        return LoadResult::Unreadable;
    *this = IniFile(bytes);
    return LoadResult::Loaded;
}

QByteArray IniFile::toBytes() const
{
    QByteArray bytes = m_text.toUtf8();
    if (m_hasBom)
        bytes.prepend(byteOrderMark.data(), byteOrderMark.size());
    return bytes;
}

SaveResult IniFile::save(const QString& path) const
{
    if (SaveResult target = checkTarget(path); !target)
        return target;
    const QFileInfo info(path);
    const QByteArray finalName = QFile::encodeName(info.absoluteFilePath());
    QByteArray tempName =
        QFile::encodeName(info.absolutePath() + u'/' + temporaryPrefix(info)) + "XXXXXX.tmp";
    const int fd = ::mkostemps(tempName.data(), 4, O_CLOEXEC);
    if (fd < 0)
        return SaveResult::failed(path, describeErrno(errno));

    // The new file keeps the old one's permissions; a first file gets what the umask allows.
    struct stat old = {};
    mode_t mode = 0;
    if (::stat(finalName.constData(), &old) == 0)
        mode = old.st_mode & 07777;
    else
        mode = 0666 & ~processUmask();
    // Written and synced before the rename, so a full disk or a crash leaves the old file whole.
    const bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, toBytes()) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int error = written ? errno : writeError;
        ::unlink(tempName.constData());
        return SaveResult::failed(path, describeErrno(error));
    }
    // rename() replaces the name itself: even a link put there since the check above is replaced,
    // never followed.
    if (::rename(tempName.constData(), finalName.constData()) != 0) {
        const int error = errno;
        ::unlink(tempName.constData());
        return SaveResult::failed(path, describeErrno(error));
    }
    removeLeftoverTemporaries(path);
    return {};
}

SaveResult IniFile::checkTarget(const QString& path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? SaveResult() : SaveResult::failed(path, describeErrno(errno));
    if (S_ISLNK(st.st_mode))
        return SaveResult::failed(
            path, QStringLiteral("Unter diesem Namen liegt eine symbolische Verknüpfung. Sie wird "
                                 "nicht überschrieben, damit keine andere Datei verändert wird."));
    if (S_ISDIR(st.st_mode))
        return SaveResult::failed(path, describeErrno(EISDIR));
    if (!S_ISREG(st.st_mode))
        return SaveResult::failed(
            path, QStringLiteral("Unter diesem Namen liegt keine gewöhnliche Datei."));
    return {};
}

QString IniFile::describeErrno(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return QStringLiteral("Keine Schreibberechtigung für den Ordner.");
    case EROFS:
        return QStringLiteral("Das Dateisystem ist schreibgeschützt.");
    case ENOSPC:
        return QStringLiteral("Der Datenträger ist voll.");
    case EDQUOT:
        return QStringLiteral("Das Speicherkontingent (Quota) ist erschöpft.");
    case EFBIG:
        return QStringLiteral("Die Datei wäre größer als erlaubt.");
    case ENOENT:
        return QStringLiteral("Der Ordner existiert nicht.");
    case ENOTDIR:
        return QStringLiteral("Ein Teil des Pfads ist kein Ordner.");
    case EISDIR:
        return QStringLiteral("Unter diesem Namen liegt ein Ordner, keine Datei.");
    case ENAMETOOLONG:
        return QStringLiteral("Der Pfad ist zu lang.");
    case ELOOP:
        return QStringLiteral("Der Pfad enthält zu viele symbolische Verknüpfungen.");
    case EIO:
        return QStringLiteral("Ein-/Ausgabefehler des Datenträgers.");
    default:
        return QStringLiteral("Systemfehler Nummer %1.").arg(error);
    }
}

std::optional<QString> IniFile::value(QStringView section, QStringView key) const
{
    const Location location = locate(section, key);
    if (!location.keyFound)
        return std::nullopt;
    const QStringView line = textOf(location.keyLine);
    return valueOf(line, parseLine(line).equals).toString();
}

bool IniFile::setValue(const QString& section, const QString& key, const QString& value)
{
    if (!isWritableSection(section) || !isWritableKey(key))
        return false;
    const QString storable = storableValue(value);
    const QString encoded = encodedValue(storable);
    const Location location = locate(section, key);

    if (location.keyFound) {
        const QStringView line = textOf(location.keyLine);
        const qsizetype equals = parseLine(line).equals;
        if (valueOf(line, equals) == storable)
            return true; // leave the line exactly as it is
        // Keep the key's spelling and the blanks after '=', replace the rest of the line.
        qsizetype valueStart = equals + 1;
        while (!encoded.isEmpty() && valueStart < line.size() &&
               (line[valueStart] == u' ' || line[valueStart] == u'\t'))
            ++valueStart;
        const qsizetype from = location.keyLine.begin + valueStart;
        m_text.replace(from, location.keyLine.end - from, encoded);
        return true;
    }

    const QString keyLine = key + u'=' + encoded;
    if (location.sectionFound) {
        const LineSpan& after = location.lastLine;
        if (after.next > after.end)
            m_text.insert(after.next, keyLine + newline());
        else // the file's last line, without a line ending: the file keeps ending without one
            m_text.insert(after.end, newline() + keyLine);
        return true;
    }

    QString block;
    if (!m_text.isEmpty()) {
        if (!m_text.endsWith(u'\n'))
            block += newline();
        if (!lastLineIsBlank())
            block += newline();
    }
    block += u'[' + section + u']' + newline() + keyLine + newline();
    m_text += block;
    return true;
}

IniFile::Location IniFile::locate(QStringView section, QStringView key) const
{
    Location location;
    for (qsizetype pos = 0; pos < m_text.size();) {
        LineSpan line{pos, m_text.size(), m_text.size()};
        const qsizetype lineFeed = m_text.indexOf(u'\n', pos);
        if (lineFeed >= 0) {
            line.end =
                (lineFeed > pos && m_text.at(lineFeed - 1) == u'\r') ? lineFeed - 1 : lineFeed;
            line.next = lineFeed + 1;
        }
        const ParsedLine parsed = parseLine(textOf(line));
        if (parsed.kind == ParsedLine::Kind::Section) {
            if (location.sectionFound)
                break; // only the first section of that name counts
            if (parsed.name.compare(section, Qt::CaseInsensitive) == 0) {
                location.sectionFound = true;
                location.lastLine = line;
            }
        } else if (parsed.kind == ParsedLine::Kind::Key && location.sectionFound) {
            if (parsed.name.compare(key, Qt::CaseInsensitive) == 0) {
                location.keyFound = true;
                location.keyLine = line;
                break;
            }
            location.lastLine = line;
        }
        pos = line.next;
    }
    return location;
}

QStringView IniFile::textOf(const LineSpan& line) const
{
    return QStringView(m_text).sliced(line.begin, line.end - line.begin);
}

QLatin1String IniFile::newline() const
{
    return m_crlf ? QLatin1String("\r\n") : QLatin1String("\n");
}

bool IniFile::lastLineIsBlank() const
{
    qsizetype end = m_text.size();
    if (m_text.endsWith(u'\n'))
        --end;
    const qsizetype begin = end > 0 ? m_text.lastIndexOf(u'\n', end - 1) + 1 : 0;
    return trimmedBlanks(QStringView(m_text).sliced(begin, end - begin)).isEmpty();
}
