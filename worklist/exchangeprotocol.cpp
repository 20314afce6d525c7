#include "exchangeprotocol.h"

#include <QDataStream>
#include <QIODevice>
#include <QRegularExpression>

#include <algorithm>

namespace ExchangeProtocol {

namespace {

constexpr QByteArrayView formatLine = "kelvara-exchange 1";
// No line of ours comes near this: a row's cells are cut at 1024 characters each.
constexpr qsizetype maxLineBytes = 1024 * 1024;

void appendField(QByteArray& line, const QString& text)
{
    line += '\t';
    const QByteArray utf8 = text.toUtf8();
    // Nearly every text needs no escape: copied whole, not byte by byte.
    if (std::none_of(utf8.begin(), utf8.end(),
                     [](char c) { return c == '\\' || c == '\t' || c == '\n' || c == '\r'; })) {
        line += utf8;
        return;
    }
    for (const char c : utf8) {
        switch (c) {
        case '\\':
            line += "\\\\";
            break;
        case '\t':
            line += "\\t";
            break;
        case '\n':
            line += "\\n";
            break;
        case '\r':
            line += "\\r";
            break;
        default:
            line += c;
        }
    }
}

QList<QByteArrayView> split(QByteArrayView text, char separator)
{
    QList<QByteArrayView> parts;
    for (qsizetype at = text.indexOf(separator); at >= 0; at = text.indexOf(separator)) {
        parts << text.first(at);
        text = text.sliced(at + 1);
    }
    parts << text;
    return parts;
}

// Null for an escape we never write.
std::optional<QString> fieldText(QByteArrayView field)
{
    if (!field.contains('\\'))
        return QString::fromUtf8(field);
    QByteArray plain;
    plain.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            plain += field[i];
            continue;
        }
        if (++i == field.size())
            return std::nullopt;
        switch (field[i]) {
        case '\\':
            plain += '\\';
            break;
        case 't':
            plain += '\t';
            break;
        case 'n':
            plain += '\n';
            break;
        case 'r':
            plain += '\r';
            break;
        default:
            return std::nullopt;
        }
    }
    return QString::fromUtf8(plain);
}

QByteArray line(const char* kind, std::initializer_list<QString> fields)
{
    QByteArray text(kind);
    for (const QString& field : fields)
        appendField(text, field);
    return text + '\n';
}

} // namespace

QByteArray firstLine()
{
    return formatLine.toByteArray() + '\n';
}

QByteArray encodeRequest(const Request& request)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    const ConnectionParams& p = request.params;
    const Timeouts& t = p.timeouts;
    out << formatLine.toByteArray() << int(request.operation) << p.host << p.port << p.calledAet
        << p.callingAet << t.connectSeconds << t.acseSeconds << t.dimseSeconds << t.marginSeconds
        << p.tls.enabled << p.tls.caCertificate << p.tls.certificate << p.tls.privateKey
        << p.tls.serverName << p.tls.settingsError << p.stationAet << p.modality << request.entryKey
        << request.stepAttributes << request.mppsStatus << request.step;
    return bytes;
}

std::optional<Request> decodeRequest(const QByteArray& bytes)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_4);
    Request request;
    ConnectionParams& p = request.params;
    Timeouts& t = p.timeouts;
    QByteArray format;
    int operation = -1;
    in >> format >> operation >> p.host >> p.port >> p.calledAet >> p.callingAet >>
        t.connectSeconds >> t.acseSeconds >> t.dimseSeconds >> t.marginSeconds >> p.tls.enabled >>
        p.tls.caCertificate >> p.tls.certificate >> p.tls.privateKey >> p.tls.serverName >>
        p.tls.settingsError >> p.stationAet >> p.modality >> request.entryKey >>
        request.stepAttributes >> request.mppsStatus >> request.step;
    const bool sane =
        in.status() == QDataStream::Ok && in.atEnd() && format == formatLine &&
        (operation == int(Operation::Find) || operation == int(Operation::Removal)) &&
        std::min({t.connectSeconds, t.acseSeconds, t.dimseSeconds, t.marginSeconds}) >= 0 &&
        t.totalSeconds() <= 3600;
    if (!sane)
        return std::nullopt;
    request.operation = Operation(operation);
    return request;
}

QByteArray rowLine(const WorklistRow& row)
{
    const QString date = row.birthDateValue.isValid()
                             ? row.birthDateValue.toString(QStringLiteral("yyyyMMdd"))
                             : QString();
    return line("row", {row.patientId, row.name, date, row.stepDescription, row.studyDescription,
                        row.entryKey, row.stepAttributes});
}

QByteArray truncatedLine()
{
    return QByteArrayLiteral("truncated\n");
}

QByteArray lastLine(const DicomError& error)
{
    if (!error.isError())
        return QByteArrayLiteral("end\n");
    return line("error", {QString::number(error.number), error.description});
}

AnswerReader::AnswerReader(const QLocale& locale) : m_locale(locale)
{
    // A two-digit year is ambiguous for a birth date: widen any year pattern to four digits.
    m_dateFormat = m_locale.dateFormat(QLocale::ShortFormat);
    static const QRegularExpression yearPattern(QStringLiteral("y+"));
    m_dateFormat.replace(yearPattern, QStringLiteral("yyyy"));
}

bool AnswerReader::feed(const QByteArray& bytes)
{
    if (m_broken)
        return false;
    QByteArrayView rest(bytes);
    if (!m_pending.isEmpty()) {
        const qsizetype end = rest.indexOf('\n');
        if (end < 0) {
            m_pending += rest;
            m_broken = m_pending.size() > maxLineBytes;
            return !m_broken;
        }
        m_pending += rest.first(end);
        rest = rest.sliced(end + 1);
        const QByteArray whole = std::exchange(m_pending, {});
        if (!takeLine(whole))
            return false;
    }
    for (qsizetype end = rest.indexOf('\n'); end >= 0; end = rest.indexOf('\n')) {
        if (!takeLine(rest.first(end)))
            return false;
        rest = rest.sliced(end + 1);
    }
    m_pending = rest.toByteArray();
    m_broken = m_pending.size() > maxLineBytes;
    return !m_broken;
}

bool AnswerReader::takeLine(QByteArrayView line)
{
    // Nothing may follow the last line.
    m_broken = m_complete;
    if (!m_broken && !m_sawFirstLine) {
        m_sawFirstLine = line == formatLine;
        m_broken = !m_sawFirstLine;
    } else if (!m_broken) {
        const QList<QByteArrayView> fields = split(line, '\t');
        const QByteArrayView kind = fields.first();
        if (kind == "row" && fields.size() == 8) {
            m_broken = !takeRow(fields);
        } else if (kind == "truncated" && fields.size() == 1 && !m_truncated) {
            m_truncated = true;
        } else if (kind == "end" && fields.size() == 1) {
            m_complete = true;
        } else if (kind == "error" && fields.size() == 3) {
            bool ok = false;
            m_error.number = fields[1].toInt(&ok);
            const std::optional<QString> text = fieldText(fields[2]);
            m_broken = !ok || m_error.number == 0 || !text;
            m_error.description = text.value_or(QString());
            m_complete = true;
            m_rows.clear(); // a failed query shows nothing of what it received
            m_truncated = false;
        } else {
            m_broken = true;
        }
    }
    return !m_broken;
}

bool AnswerReader::takeRow(const QList<QByteArrayView>& fields)
{
    std::optional<QString> texts[7];
    for (int i = 0; i < 7; ++i) {
        texts[i] = fieldText(fields[i + 1]);
        if (!texts[i])
            return false;
    }
    WorklistRow row;
    row.patientId = *texts[0];
    row.name = *texts[1];
    if (!texts[2]->isEmpty()) {
        row.birthDateValue = QDate::fromString(*texts[2], QStringLiteral("yyyyMMdd"));
        if (!row.birthDateValue.isValid())
            return false;
        QString& shown = m_dates[row.birthDateValue.toJulianDay()];
        if (shown.isEmpty())
            shown = m_locale.toString(row.birthDateValue, m_dateFormat);
        row.birthDate = shown;
    }
    row.stepDescription = shared(m_descriptions, *texts[3]);
    row.studyDescription = shared(m_descriptions, *texts[4]);
    row.entryKey = *texts[5];
    row.stepAttributes = *texts[6];
    m_rows.append(std::move(row));
    return true;
}

QString AnswerReader::shared(QHash<QString, QString>& texts, QString text)
{
    const auto it = texts.constFind(text);
    if (it != texts.constEnd())
        return it.value();
    // Bounded: a list of only distinct descriptions gains nothing from sharing.
    if (texts.size() < 4096)
        texts.insert(text, text);
    return text;
}

} // namespace ExchangeProtocol
