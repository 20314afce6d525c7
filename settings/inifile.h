#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1String>
#include <QString>
#include <QStringView>

#include <optional>

// An INI file held as its whole text, so that a save writes every line it did not change back
// exactly as it was read: comments, unknown sections and keys, their order, blank lines, each
// line's own ending (CRLF or LF) and a last line without a newline.
//
// Reading: a file that is valid UTF-8 is decoded as UTF-8 (a leading byte order mark is kept
// for the save and otherwise ignored); any other file is decoded as Windows-1252, the encoding of
// files written on Windows. Saving always writes UTF-8, so a Windows-1252 file comes back as UTF-8
// with the same text.
//
// Syntax: a line whose first non-blank character is '[' and which holds a ']' starts a section
// named by the text between them; a line holding '=' inside a section is a key (the text before
// the first '=') with its value (the text after it); lines starting with ';' or '#' are comments.
// Names compare case-insensitively, and the first section and the first key of a name win. Blanks
// around names and values are ignored, and one pair of double quotes around a value is removed.
//
// The outcome of a save. On failure, reason is a German sentence that names the cause (chosen by
// errno, never by the C library's wording) and file the path that could not be written.
struct SaveResult
{
    bool ok = true;
    QString file;
    QString reason;

    explicit operator bool() const { return ok; }
    [[nodiscard]] static SaveResult failed(const QString& file, const QString& reason)
    {
        return {false, file, reason};
    }
};

// A plain value type; not shared between threads.
class IniFile final
{
public:
    enum class LoadResult {
        Loaded,    // the file was read
        Missing,   // no such file: the content is empty and a save creates the file
        Unreadable // the file exists but could not be read (or is no regular file, or too large):
                   // the content is empty, and saving over the file would lose what it holds
    };
    enum class Encoding { Utf8, Windows1252 };

    // Files larger than this are not read; no settings file comes near it.
    static constexpr qint64 maxFileSize = 64 * 1024 * 1024;

    IniFile() = default;
    explicit IniFile(QByteArrayView bytes);

    [[nodiscard]] LoadResult load(const QString& path);
    // Writes the whole file to a temporary file beside it (".<name>.kelvara-XXXXXX.tmp") and
    // renames it over the old one. Only a regular file is ever replaced: a symbolic link, a
    // directory or anything else under that name is refused and left alone, so a link another
    // user planted never redirects a save. On failure (folder not writable, disk full, ...) the
    // old file stays as it was.
    [[nodiscard]] SaveResult save(const QString& path) const;
    // Why path cannot be saved over, checked without following a link; ok when it is a regular
    // file or missing.
    [[nodiscard]] static SaveResult checkTarget(const QString& path);
    // The German reason for a failed system call.
    [[nodiscard]] static QString describeErrno(int error);
    [[nodiscard]] QByteArray toBytes() const;

    [[nodiscard]] std::optional<QString> value(QStringView section, QStringView key) const;

    // Replaces the value of an existing key where it stands (keeping the key's spelling and the
    // line's ending), adds a missing key after the last key of its section, and adds a missing
    // section at the end. A value reads back exactly as given, except that line breaks and NUL
    // characters become blanks, so a value can never add lines. Returns false and changes nothing
    // for names that an INI file cannot hold (empty, with a line break, '=' in a key, ']' in a
    // section, blanks at either end, a key starting with '[', ';' or '#').
    bool setValue(const QString& section, const QString& key, const QString& value);

    [[nodiscard]] Encoding sourceEncoding() const { return m_encoding; }

private:
    struct LineSpan
    {
        qsizetype begin = 0; // first character of the line
        qsizetype end = 0;   // end of the line's text, where its line ending starts
        qsizetype next = 0;  // start of the next line
    };
    struct Location
    {
        bool sectionFound = false;
        bool keyFound = false;
        LineSpan keyLine;  // when keyFound
        LineSpan lastLine; // the section's last key line, or its header when it has no keys
    };

    [[nodiscard]] Location locate(QStringView section, QStringView key) const;
    [[nodiscard]] QStringView textOf(const LineSpan& line) const;
    [[nodiscard]] QLatin1String newline() const;
    [[nodiscard]] bool lastLineIsBlank() const;

    QString m_text; // the decoded file without its byte order mark
    bool m_hasBom = false;
    bool m_crlf = false; // new line endings are CRLF (most lines of the file end so)
    Encoding m_encoding = Encoding::Utf8;
};
