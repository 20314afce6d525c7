#include "exchangeerrors.h"

#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/dimse.h>

namespace ExchangeErrors {

namespace {

int conditionNumber(const OFCondition& cond)
{
    return -(int(cond.module()) * 65536 + int(cond.code()));
}

QString statusMeaning(unsigned short status)
{
    if (status == 0xFE00)
        return QStringLiteral("Abbruch");
    if (status == 0x0122)
        return QStringLiteral("Dienst nicht unterstützt");
    if ((status & 0xFF00) == 0xA700)
        return QStringLiteral("keine Ressourcen frei");
    if ((status & 0xFF00) == 0xA900)
        return QStringLiteral("Anfrage passt nicht zum Dienst");
    if ((status & 0xF000) == 0xC000)
        return QStringLiteral("Anfrage kann nicht verarbeitet werden");
    return QStringLiteral("Fehler");
}

// Compares by code: not every condition of the network module has a named constant.
bool is(const OFCondition& cond, unsigned short code)
{
    return cond.bad() && cond.module() == OFM_dcmnet && cond.code() == code;
}

// A receive that failed because the server's bytes were no valid PDU carries that reason as a
// nested condition ("0006:0307 ..."); the connection itself is still up. Returns the reason.
QString nestedPduFault(const QString& detail)
{
    for (const unsigned short code : {DULC_ILLEGALPDU, DULC_ILLEGALPDULENGTH}) {
        const QString marker = QStringLiteral("\n%1:%2 ")
                                   .arg(uint(OFM_dcmnet), 4, 16, QLatin1Char('0'))
                                   .arg(uint(code), 4, 16, QLatin1Char('0'));
        const qsizetype at = detail.indexOf(marker);
        if (at >= 0)
            return detail.mid(at + marker.size()).section(QLatin1Char('\n'), 0, 0);
    }
    return {};
}

} // namespace

DicomError badPort(const QString& port)
{
    return {-1, QStringLiteral("Port \"%1\" ist keine gültige Portnummer (1 bis 65535)").arg(port)};
}

DicomError aborted(const QString& peer)
{
    return {DicomError::abortedByProgram, QStringLiteral("Austausch mit %1 abgebrochen").arg(peer)};
}

DicomError fromCondition(const OFCondition& cond, Phase phase, const QString& peer,
                         const Timeouts& timeouts)
{
    const int number = conditionNumber(cond);
    const QString detail = QString::fromLocal8Bit(cond.text());

    if (is(cond, DULC_TCPINITERROR)) {
        if (detail.contains(QLatin1String("refused"), Qt::CaseInsensitive))
            return {number, QStringLiteral("Verbindung zu %1 abgelehnt").arg(peer)};
        if (detail.contains(QLatin1String("timed out"), Qt::CaseInsensitive) ||
            detail.contains(QLatin1String("timeout"), Qt::CaseInsensitive))
            return {number, QStringLiteral("Keine Verbindung zu %1 innerhalb von %2 s")
                                .arg(peer)
                                .arg(timeouts.connectSeconds)};
        if (detail.contains(QLatin1String("unknown host"), Qt::CaseInsensitive))
            return {number, QStringLiteral("Rechner von %1 nicht gefunden").arg(peer)};
        return {number, QStringLiteral("Verbindung zu %1 fehlgeschlagen: %2").arg(peer, detail)};
    }
    if (is(cond, DULC_READTIMEOUT) || is(cond, DIMSEC_NODATAAVAILABLE)) {
        const int seconds =
            phase == Phase::Associate ? timeouts.acseSeconds : timeouts.dimseSeconds;
        return {number,
                QStringLiteral("Keine Antwort von %1 innerhalb von %2 s").arg(peer).arg(seconds)};
    }
    if (is(cond, DIMSEC_RECEIVEFAILED) || is(cond, DIMSEC_READPDVFAILED)) {
        const QString pduFault = nestedPduFault(detail);
        if (!pduFault.isEmpty())
            return {number, QStringLiteral("Ungültige Antwort von %1: %2").arg(peer, pduFault)};
    }
    if (is(cond, DULC_PEERABORTEDASSOCIATION))
        return {number, QStringLiteral("%1 hat die Verbindung abgebrochen").arg(peer)};
    if (is(cond, DULC_NETWORKCLOSED) || is(cond, DULC_TCPIOERROR) ||
        is(cond, DIMSEC_RECEIVEFAILED) || is(cond, DIMSEC_READPDVFAILED) ||
        is(cond, DIMSEC_SENDFAILED))
        return {number, QStringLiteral("Verbindung zu %1 unerwartet beendet").arg(peer)};
    if (is(cond, DULC_ILLEGALPDU) || is(cond, DULC_ILLEGALPDULENGTH) ||
        is(cond, DIMSEC_PARSEFAILED) || is(cond, DIMSEC_BADMESSAGE) || is(cond, DIMSEC_BADDATA) ||
        is(cond, DIMSEC_UNEXPECTEDRESPONSE) || is(cond, DIMSEC_UNEXPECTEDPDVTYPE) ||
        is(cond, DULC_ILLEGALREJECTRESULT) || is(cond, DULC_ILLEGALREJECTREASON))
        return {number, QStringLiteral("Ungültige Antwort von %1: %2").arg(peer, detail)};
    return {number, QStringLiteral("Fehler im Austausch mit %1: %2").arg(peer, detail)};
}

DicomError rejected(const T_ASC_RejectParameters& reject, const QString& peer)
{
    QString reason;
    switch (reject.reason) {
    case ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED:
        reason = QStringLiteral("AE-Titel des Servers nicht erkannt");
        break;
    case ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED:
        reason = QStringLiteral("eigener AE-Titel nicht erkannt");
        break;
    case ASC_REASON_SU_APPCONTEXTNAMENOTSUPPORTED:
        reason = QStringLiteral("Anwendungskontext nicht unterstützt");
        break;
    case ASC_REASON_SP_ACSE_PROTOCOLVERSIONNOTSUPPORTED:
        reason = QStringLiteral("Protokollversion nicht unterstützt");
        break;
    case ASC_REASON_SP_PRES_TEMPORARYCONGESTION:
        reason = QStringLiteral("Server vorübergehend überlastet");
        break;
    case ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED:
        reason = QStringLiteral("zu viele Verbindungen");
        break;
    default:
        reason = QStringLiteral("kein Grund angegeben");
        break;
    }
    const QString kind = reject.result == ASC_RESULT_REJECTEDTRANSIENT
                             ? QStringLiteral(", vorübergehend")
                             : QString();
    return {-(int(OFM_dcmnet) * 65536 + int(DULC_ASSOCIATIONREJECTED)),
            QStringLiteral("Assoziation abgelehnt: %1 (%2%3)").arg(reason, peer, kind)};
}

DicomError serviceNotAccepted(const QString& service, const QString& peer)
{
    return {-(int(OFM_dcmnet) * 65536 + int(DIMSEC_NOVALIDPRESENTATIONCONTEXTID)),
            QStringLiteral("%1 nimmt den Dienst \"%2\" nicht an").arg(peer, service)};
}

DicomError status(unsigned short status, const QString& peer)
{
    const QString hex =
        QStringLiteral("0x%1").arg(QString::number(status, 16).toUpper(), 4, QLatin1Char('0'));
    return {
        int(status),
        QStringLiteral("Server %1 meldet Status %2 (%3)").arg(peer, hex, statusMeaning(status))};
}

} // namespace ExchangeErrors
