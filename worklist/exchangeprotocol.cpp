#include "exchangeprotocol.h"

#include <QRegularExpression>

namespace ExchangeProtocol {

namespace {

constexpr QByteArrayView formatLine = "kelvara-exchange 1";
// No line of ours comes near this: a row's cells are cut at 1024 characters each.
constexpr qsizetype maxLineBytes = 1024 * 1024;
constexpr qsizetype maxRequestBytes = 256 * 1024;

void appendField(QByteArray& line, const QString& text)
{
    line += '\t';
    const QByteArray utf8 = text.toUtf8();
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
    const ConnectionParams& p = request.params;
    const Timeouts& t = p.timeouts;
    const auto number = [](int n) {
        return QString::number(n);
    };
    return firstLine() +
           line("operation", {request.operation == Operation::Find ? QStringLiteral("find")
                                                                   : QStringLiteral("removal")}) +
           line("host", {p.host}) + line("port", {p.port}) + line("calledAet", {p.calledAet}) +
           line("callingAet", {p.callingAet}) +
           line("timeouts", {number(t.connectSeconds), number(t.acseSeconds),
                             number(t.dimseSeconds), number(t.marginSeconds)}) +
           line("tls", {p.tls.enabled ? QStringLiteral("1") : QStringLiteral("0"),
                        p.tls.caCertificate, p.tls.certificate, p.tls.privateKey}) +
           line("entryKey", {request.entryKey});
}

std::optional<Request> decodeRequest(const QByteArray& bytes)
{
    if (bytes.size() > maxRequestBytes || !bytes.endsWith('\n'))
        return std::nullopt;
    QHash<QByteArray, QStringList> values;
    const QList<QByteArrayView> lines = split(QByteArrayView(bytes).chopped(1), '\n');
    if (lines.isEmpty() || lines.first() != formatLine)
        return std::nullopt;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArrayView> fields = split(lines[i], '\t');
        QStringList texts;
        for (qsizetype f = 1; f < fields.size(); ++f) {
            const std::optional<QString> text = fieldText(fields[f]);
            if (!text)
                return std::nullopt;
            texts << *text;
        }
        values.insert(fields.first().toByteArray(), texts);
    }
    const auto one = [&values](const char* name) -> std::optional<QString> {
        const QStringList v = values.value(name);
        return v.size() == 1 ? std::optional(v.first()) : std::nullopt;
    };
    const auto operation = one("operation");
    const auto host = one("host"), port = one("port"), called = one("calledAet"),
               calling = one("callingAet"), key = one("entryKey");
    const QStringList timeouts = values.value("timeouts"), tls = values.value("tls");
    if (!operation || !host || !port || !called || !calling || !key || timeouts.size() != 4 ||
        tls.size() != 4 || (*operation != QLatin1String("find") && *operation != "removal"))
        return std::nullopt;

    Request request;
    request.operation = *operation == QLatin1String("find") ? Operation::Find : Operation::Removal;
    request.entryKey = *key;
    ConnectionParams& p = request.params;
    p.host = *host;
    p.port = *port;
    p.calledAet = *called;
    p.callingAet = *calling;
    int* seconds[] = {&p.timeouts.connectSeconds, &p.timeouts.acseSeconds, &p.timeouts.dimseSeconds,
                      &p.timeouts.marginSeconds};
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        *seconds[i] = timeouts[i].toInt(&ok);
        if (!ok || *seconds[i] < 0 || *seconds[i] > 3600)
            return std::nullopt;
    }
    p.tls = {tls[0] == QLatin1String("1"), tls[1], tls[2], tls[3]};
    return request;
}

QByteArray rowLine(const WorklistRow& row)
{
    const QString date = row.birthDateValue.isValid()
                             ? row.birthDateValue.toString(QStringLiteral("yyyyMMdd"))
                             : QString();
    return line("row", {row.patientId, row.name, date, row.stepDescription, row.studyDescription,
                        row.entryKey});
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
        if (kind == "row" && fields.size() == 7) {
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
    std::optional<QString> texts[6];
    for (int i = 0; i < 6; ++i) {
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
