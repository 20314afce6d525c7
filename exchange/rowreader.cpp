#include "rowreader.h"

#include "toolkitlog.h"

#include <QStringDecoder>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcspchrs.h>

#include <cstring>
#include <optional>
#include <string>

namespace {

// A value's bytes inside the data set, without copying; blanks and NULs of the padding
// trimmed. Null when the attribute is missing or holds no text.
struct RawValue
{
    const char* data = nullptr;
    size_t size = 0;
};

RawValue rawValue(DcmItem& item, const DcmTagKey& key)
{
    DcmElement* element = nullptr;
    if (item.findAndGetElement(key, element).bad() || !element)
        return {};
    char* data = nullptr;
    Uint32 size = 0;
    if (element->getString(data, size).bad() || !data)
        return {};
    // Text ends at the first NUL (only UIDs are padded with one). This also bounds the work
    // when a garbled length field made the toolkit reserve far more than the bytes it read.
    const void* nul = std::memchr(data, '\0', size);
    size_t end = nul ? size_t(static_cast<const char*>(nul) - data) : size_t(size);
    while (end > 0 && data[end - 1] == ' ')
        --end;
    size_t begin = 0;
    while (begin < end && data[begin] == ' ')
        ++begin;
    return {data + begin, end - begin};
}

// True when the bytes mean the same in every character set a data set may declare.
bool isPlainAscii(RawValue value)
{
    for (size_t i = 0; i < value.size; ++i) {
        const auto c = static_cast<unsigned char>(value.data[i]);
        if (c >= 0x80 || c == 0x1B)
            return false;
    }
    return true;
}

std::optional<QString> fromUtf8Strict(RawValue value)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(value.data, qsizetype(value.size)));
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

enum class CharsetKind { Undeclared, Utf8, Latin1, Other };

// What one cell keeps and shows. A longer value (no VR of a shown attribute allows more than
// 64 characters a component) is cut: painting or keeping megabytes in a cell would hold the
// window and the memory.
constexpr qsizetype maxCellChars = 1024;

// The first bytes of a value, enough for maxCellChars characters in its character set, so a
// huge value is never decoded whole. A cut never splits a UTF-8 sequence. Sets `cut` when
// bytes were left off.
RawValue head(RawValue value, CharsetKind kind, bool* cut)
{
    // UTF-8 takes up to 4 bytes a character; the toolkit's sets (ISO 2022) add escapes.
    const size_t limit = size_t(maxCellChars) * (kind == CharsetKind::Other ? 16 : 4);
    if (value.size <= limit)
        return value;
    *cut = true;
    size_t size = limit;
    if (kind == CharsetKind::Utf8 || kind == CharsetKind::Undeclared) {
        while (size > 0 && (static_cast<unsigned char>(value.data[size]) & 0xC0) == 0x80)
            --size;
    }
    return {value.data, size};
}

// At most maxCellChars characters, marked with "…" when cut.
QString capped(QString text, bool cut)
{
    if (text.size() > maxCellChars) {
        text.truncate(maxCellChars);
        cut = true;
    }
    if (cut)
        text += QChar(0x2026);
    return text;
}

QString formatName(const QString& name)
{
    if (name.isEmpty())
        return {};
    QString shown;
    shown.reserve(name.size() + 4);
    for (const QStringView component : QStringView(name).split(u'^')) {
        shown += QLatin1Char(' ');
        shown += component;
    }
    return shown;
}

QDate parseDicomDate(RawValue value)
{
    if (value.size != 8)
        return {};
    int parts[3] = {0, 0, 0};
    const int widths[3] = {4, 2, 2};
    size_t pos = 0;
    for (int p = 0; p < 3; ++p) {
        for (int i = 0; i < widths[p]; ++i, ++pos) {
            const char c = value.data[pos];
            if (c < '0' || c > '9')
                return {};
            parts[p] = parts[p] * 10 + (c - '0');
        }
    }
    return QDate(parts[0], parts[1], parts[2]); // invalid for 20230230 and the like
}

} // namespace

// The converter of the last declared character set that needs the toolkit (ISO 2022
// extensions, other single-byte sets); rows of one server nearly always share it.
struct RowReader::Converters
{
    std::string charset;
    DcmSpecificCharacterSet converter;
    bool usable = false;
    bool selected = false;

    bool select(const std::string& wanted)
    {
        if (wanted != charset || !selected) {
            selected = true;
            charset = wanted;
            usable = converter.selectCharacterSet(OFString(wanted.c_str())).good();
        }
        return usable;
    }
};

RowReader::RowReader(bool stepAttributes)
    : m_converters(std::make_unique<Converters>()), m_stepAttributes(stepAttributes)
{
    silenceToolkitLog();
}

RowReader::~RowReader() = default;

WorklistRow RowReader::read(DcmItem& dataset)
{
    // Character set of this data set only; never carried over from an earlier one.
    const RawValue declared = rawValue(dataset, DCM_SpecificCharacterSet);
    const std::string charset(declared.data ? declared.data : "", declared.size);
    CharsetKind kind = CharsetKind::Other;
    if (charset.empty())
        kind = CharsetKind::Undeclared;
    else if (charset == "ISO_IR 192")
        kind = CharsetKind::Utf8;
    else if (charset == "ISO_IR 100")
        kind = CharsetKind::Latin1;

    // Decodes at most the head of the value; `cut` tells whether bytes were left off.
    const auto decode = [&](RawValue value, bool personName, bool* cut) -> QString {
        if (!value.data || value.size == 0)
            return {};
        value = head(value, kind, cut);
        if (isPlainAscii(value))
            return QString::fromLatin1(value.data, qsizetype(value.size));
        switch (kind) {
        case CharsetKind::Utf8:
            return fromUtf8Strict(value).value_or(QString());
        case CharsetKind::Latin1:
            return QString::fromLatin1(value.data, qsizetype(value.size));
        case CharsetKind::Undeclared:
            if (auto text = fromUtf8Strict(value))
                return *text;
            return QString::fromLatin1(value.data, qsizetype(value.size));
        case CharsetKind::Other:
            break;
        }
        if (!m_converters->select(charset))
            return {};
        OFString converted;
        const OFString delimiters = personName ? OFString("\\^=") : OFString("\\");
        if (m_converters->converter
                .convertString(OFString(value.data, value.size), converted, delimiters)
                .bad())
            return {};
        return fromUtf8Strict({converted.c_str(), converted.size()}).value_or(QString());
    };

    const auto description = [&](RawValue value) {
        bool cut = false;
        return capped(decode(value, false, &cut), cut);
    };

    WorklistRow row;
    const auto cell = [&](const DcmTagKey& key, bool personName) {
        bool cut = false;
        QString text = decode(rawValue(dataset, key), personName, &cut);
        return capped(personName ? formatName(text) : text, cut);
    };
    row.patientId = cell(DCM_PatientID, false);
    row.name = cell(DCM_PatientName, true);
    row.birthDateValue = parseDicomDate(rawValue(dataset, DCM_PatientBirthDate));

    const auto firstItem = [](DcmItem& item, const DcmTagKey& key) -> DcmItem* {
        DcmSequenceOfItems* sequence = nullptr;
        if (item.findAndGetSequence(key, sequence).good() && sequence && sequence->card() > 0)
            return sequence->getItem(0);
        return nullptr;
    };
    DcmItem* step = firstItem(dataset, DCM_ScheduledProcedureStepSequence);
    if (step)
        row.stepDescription = description(rawValue(*step, DCM_ScheduledProcedureStepDescription));

    row.studyDescription = description(rawValue(dataset, DCM_StudyDescription));
    if (row.studyDescription.isEmpty())
        row.studyDescription = description(rawValue(dataset, DCM_RequestedProcedureDescription));
    // The key goes back to the server unchanged: a cut one would name another entry. One this
    // long is no UID (64 characters at most), so the entry has no usable key.
    bool keyCut = false;
    row.entryKey = decode(rawValue(dataset, DCM_StudyInstanceUID), false, &keyCut);
    if (keyCut || row.entryKey.size() > maxCellChars)
        row.entryKey.clear();
    if (!m_stepAttributes)
        return row;

    // What a performed procedure step names of this entry, as the server sent it.
    DcmItem* study = firstItem(dataset, DCM_ReferencedStudySequence);
    DcmItem* protocol = step ? firstItem(*step, DCM_ScheduledProtocolCodeSequence) : nullptr;
    const auto text = [&](DcmItem* item, const DcmTagKey& key, bool personName = false) {
        bool cut = false;
        return item ? capped(decode(rawValue(*item, key), personName, &cut), cut) : QString();
    };
    const QStringList values{text(&dataset, DCM_PatientName, true),
                             row.patientId,
                             text(&dataset, DCM_PatientBirthDate),
                             text(&dataset, DCM_PatientSex),
                             row.entryKey,
                             text(&dataset, DCM_AccessionNumber),
                             text(study, DCM_ReferencedSOPClassUID),
                             text(study, DCM_ReferencedSOPInstanceUID),
                             text(&dataset, DCM_RequestedProcedureID),
                             text(&dataset, DCM_RequestedProcedureDescription),
                             text(step, DCM_ScheduledProcedureStepID),
                             row.stepDescription,
                             text(step, DCM_Modality),
                             text(protocol, DCM_CodeValue),
                             text(protocol, DCM_CodingSchemeDesignator),
                             text(protocol, DCM_CodeMeaning)};
    row.stepAttributes = values.join(stepAttributeSeparator);
    return row;
}

WorklistRow rowFromDataset(DcmItem& dataset)
{
    RowReader reader;
    return reader.read(dataset);
}

WorklistRow rowFromDicomBytes(const QByteArray& bytes)
{
    silenceToolkitLog();
    DcmInputBufferStream stream;
    stream.setBuffer(bytes.constData(), offile_off_t(bytes.size()));
    stream.setEos();
    // Reads the meta header when the bytes carry one, a bare data set otherwise. A read that
    // fails half-way keeps what it had read; the row takes what is there.
    DcmFileFormat file;
    file.transferInit();
    file.read(stream, EXS_Unknown, EGL_noChange);
    file.transferEnd();
    DcmDataset* dataset = file.getDataset();
    return dataset ? rowFromDataset(*dataset) : WorklistRow();
}
