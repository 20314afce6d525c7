#include "exchangeerrors.h"

#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/dimse.h>

#include <cerrno>
#include <netdb.h>
#include <openssl/x509_vfy.h>

namespace ExchangeErrors {

namespace {

QString statusMeaning(unsigned short status)
{
    switch (status) {
    case 0xFE00:
        return QStringLiteral("Abbruch");
    case 0x0110:
        return QStringLiteral("Verarbeitungsfehler");
    case 0x0112:
        return QStringLiteral("Eintrag nicht vorhanden");
    case 0x0122:
        return QStringLiteral("Dienst nicht unterstützt");
    case 0x0124:
        return QStringLiteral("keine Berechtigung");
    case 0x0111:
        return QStringLiteral("Eintrag schon vorhanden");
    case 0x0106:
        return QStringLiteral("ungültiger Attributwert");
    case 0x0120:
        return QStringLiteral("Attribut fehlt");
    case 0xC310:
        return QStringLiteral("Schritt ist abgeschlossen und nicht mehr änderbar");
    default:
        break;
    }
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

int codeNumber(unsigned short code)
{
    return -(int(OFM_dcmnet) * 65536 + int(code));
}

// A receive that failed because the server's bytes were no valid PDU carries that fault as a
// nested condition, found by its module and code. Returns the toolkit's reason for it (one of
// its own fixed English texts, never the C library's translated ones), or a null string.
QString nestedPduFault(const OFCondition& cond)
{
    const QString detail = QString::fromLatin1(cond.text());
    for (const unsigned short code : {DULC_ILLEGALPDU, DULC_ILLEGALPDULENGTH, DULC_UNEXPECTEDPDU}) {
        const QString marker = QStringLiteral("\n%1:%2 ")
                                   .arg(uint(OFM_dcmnet), 4, 16, QLatin1Char('0'))
                                   .arg(uint(code), 4, 16, QLatin1Char('0'));
        const qsizetype at = detail.indexOf(marker);
        if (at >= 0)
            return detail.mid(at + marker.size()).section(QLatin1Char('\n'), 0, 0);
    }
    return {};
}

// Why a server certificate did not verify, by the verification error code, and what to do.
QString untrustedText(const TlsFailure& failure, const QString& peer)
{
    const QString certificate =
        QStringLiteral("Zertifikat von %1 (\"%2\")").arg(peer, failure.subject);
    switch (failure.code) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return certificate + QStringLiteral(" ist abgelaufen: der Server braucht ein neues "
                                            "Zertifikat");
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return certificate + QStringLiteral(" ist noch nicht gültig: die Uhrzeit des Servers "
                                            "und dieser Station prüfen");
    case X509_V_ERR_INVALID_PURPOSE:
        return certificate + QStringLiteral(" ist nicht für einen Server ausgestellt: der "
                                            "Server braucht ein Serverzertifikat");
    case X509_V_ERR_CERT_REVOKED:
        return certificate + QStringLiteral(" ist widerrufen: der Server braucht ein neues "
                                            "Zertifikat");
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return QStringLiteral("Zertifikat von %1 nicht vertrauenswürdig: \"%2\" ist von keiner "
                              "vertrauten Zertifizierungsstelle ausgestellt; die "
                              "Zertifizierungsstelle des Servers in Settings.ini [TLS] "
                              "CACertificate eintragen")
            .arg(peer, failure.subject);
    default:
        return certificate +
               QStringLiteral(" nicht vertrauenswürdig (Prüffehler %1)").arg(failure.code);
    }
}

} // namespace

DicomError badPort(const QString& port)
{
    return {DicomError::badSetting,
            QStringLiteral("Port \"%1\" ist keine gültige Portnummer (1 bis 65535)").arg(port)};
}

DicomError badAeTitle(const QString& title, bool own)
{
    const QString which =
        own ? QStringLiteral("Eigener AE-Titel") : QStringLiteral("AE-Titel des Servers");
    return {DicomError::badSetting,
            QStringLiteral("%1 \"%2\" ist ungültig (1 bis 16 Zeichen, keine Steuerzeichen, kein "
                           "Backslash)")
                .arg(which, title)};
}

DicomError answerRefused(const QString& peer, const QString& why)
{
    return {DicomError::answerRefused,
            QStringLiteral("Ungültige Antwort von %1: %2").arg(peer, why)};
}

DicomError connectFailed(int error, const QString& peer, const Timeouts& timeouts)
{
    const int number = codeNumber(DULC_TCPINITERROR);
    switch (error) {
    case ECONNREFUSED:
        return {number, QStringLiteral("Verbindung zu %1 abgelehnt").arg(peer)};
    case ETIMEDOUT:
        return {number, QStringLiteral("Keine Verbindung zu %1 innerhalb von %2 s")
                            .arg(peer)
                            .arg(timeouts.connectSeconds)};
    case ENETUNREACH:
    case ENETDOWN:
        return {number, QStringLiteral("Netz von %1 nicht erreichbar").arg(peer)};
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return {number, QStringLiteral("Rechner von %1 nicht erreichbar").arg(peer)};
    default:
        return {number,
                QStringLiteral("Verbindung zu %1 fehlgeschlagen (Fehler %2)").arg(peer).arg(error)};
    }
}

DicomError hostNotFound(int error, const QString& host)
{
    const int number = codeNumber(DULC_UNKNOWNHOST);
    if (error == EAI_AGAIN)
        return {number,
                QStringLiteral("Rechner %1 zur Zeit nicht auffindbar (Namensauflösung gestört)")
                    .arg(host)};
    return {number, QStringLiteral("Rechner %1 nicht gefunden").arg(host)};
}

DicomError fromCondition(const OFCondition& cond, Phase phase, const QString& peer,
                         const Timeouts& timeouts)
{
    const int number = -(int(cond.module()) * 65536 + int(cond.code()));

    if (is(cond, DULC_UNKNOWNHOST))
        return {number, QStringLiteral("Rechner von %1 nicht gefunden").arg(peer)};
    if (is(cond, DULC_TCPINITERROR))
        return {number, QStringLiteral("Verbindung zu %1 fehlgeschlagen").arg(peer)};
    if (is(cond, DULC_READTIMEOUT) || is(cond, DIMSEC_NODATAAVAILABLE)) {
        const int seconds =
            phase == Phase::Associate ? timeouts.acseSeconds : timeouts.dimseSeconds;
        return {number,
                QStringLiteral("Keine Antwort von %1 innerhalb von %2 s").arg(peer).arg(seconds)};
    }
    if (is(cond, DIMSEC_RECEIVEFAILED) || is(cond, DIMSEC_READPDVFAILED)) {
        const QString pduFault = nestedPduFault(cond);
        if (!pduFault.isNull())
            return {number, QStringLiteral("Ungültige Antwort von %1 (%2)").arg(peer, pduFault)};
    }
    if (is(cond, DULC_PEERABORTEDASSOCIATION))
        return {number, QStringLiteral("%1 hat die Verbindung abgebrochen").arg(peer)};
    if (is(cond, DULC_ILLEGALPDU) || is(cond, DULC_ILLEGALPDULENGTH) ||
        is(cond, DULC_UNEXPECTEDPDU) || is(cond, DIMSEC_PARSEFAILED) ||
        is(cond, DIMSEC_BADMESSAGE) || is(cond, DIMSEC_BADDATA) ||
        is(cond, DIMSEC_UNEXPECTEDRESPONSE) || is(cond, DIMSEC_UNEXPECTEDPDVTYPE) ||
        is(cond, DIMSEC_INVALIDPRESENTATIONCONTEXTID) || is(cond, DULC_ILLEGALREJECTRESULT) ||
        is(cond, DULC_ILLEGALREJECTREASON))
        return {number,
                QStringLiteral("Ungültige Antwort von %1 (%2)")
                    .arg(peer, QString::fromLatin1(cond.text()).section(QLatin1Char('\n'), 0, 0))};
    if (is(cond, DULC_NETWORKCLOSED) || is(cond, DULC_TCPIOERROR) ||
        is(cond, DIMSEC_RECEIVEFAILED) || is(cond, DIMSEC_READPDVFAILED) ||
        is(cond, DIMSEC_SENDFAILED))
        return {number, QStringLiteral("Verbindung zu %1 unerwartet beendet").arg(peer)};
    return {number, QStringLiteral("Fehler im Austausch mit %1 (Toolkit-Code %2:%3)")
                        .arg(peer)
                        .arg(uint(cond.module()))
                        .arg(uint(cond.code()), 0, 16)};
}

DicomError answerStopped(const QString& peer, const Timeouts& timeouts)
{
    return {codeNumber(DULC_READTIMEOUT),
            QStringLiteral("Antwort von %1 bricht ab: innerhalb von %2 s kam nichts mehr")
                .arg(peer)
                .arg(timeouts.dimseSeconds)};
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
    return {codeNumber(DULC_ASSOCIATIONREJECTED),
            QStringLiteral("Assoziation abgelehnt: %1 (%2%3)").arg(reason, peer, kind)};
}

DicomError serviceNotAccepted(const QString& service, const QString& peer)
{
    return {codeNumber(DIMSEC_NOVALIDPRESENTATIONCONTEXTID),
            QStringLiteral("%1 nimmt den Dienst \"%2\" nicht an").arg(peer, service)};
}

// "Status 0xA700 (keine Ressourcen frei)"
QString statusText(unsigned short status)
{
    return QStringLiteral("Status 0x%1 (%2)")
        .arg(QString::number(status, 16).toUpper(), 4, QLatin1Char('0'))
        .arg(statusMeaning(status));
}

DicomError status(unsigned short status, const QString& peer)
{
    return {int(status), QStringLiteral("Server %1 meldet %2").arg(peer, statusText(status))};
}

DicomError stepRefused(unsigned short status, const QString& peer, bool created)
{
    if (!created)
        return {int(status), QStringLiteral("Server %1 nimmt den Schritt nicht an (N-CREATE): %2")
                                 .arg(peer, statusText(status))};
    return {int(status),
            QStringLiteral("Server %1 nimmt das Ende des Schritts nicht an (N-SET): %2")
                    .arg(peer, statusText(status)) +
                stepLeftInProgress()};
}

QString stepLeftInProgress()
{
    return QStringLiteral("; der Schritt steht am Server jetzt \"in Arbeit\" und muss dort "
                          "abgeschlossen werden");
}

DicomError tlsFile(const QString& key, const QString& path, TlsFileProblem problem)
{
    QString what;
    switch (problem) {
    case TlsFileProblem::Unreadable:
        what = QStringLiteral("fehlt oder ist nicht lesbar");
        break;
    case TlsFileProblem::NoCertificate:
        what = QStringLiteral("enthält kein gültiges PEM-Zertifikat");
        break;
    case TlsFileProblem::NoKey:
        what = QStringLiteral("enthält keinen unverschlüsselten PEM-Schlüssel");
        break;
    case TlsFileProblem::KeyMismatch:
        what = QStringLiteral("passt nicht zum Zertifikat (Certificate)");
        break;
    case TlsFileProblem::OpenToOthers:
        what = QStringLiteral("ist für andere Benutzer lesbar oder schreibbar: nur für Besitzer "
                              "und Gruppe lesbar machen (chmod 640)");
        break;
    }
    return {DicomError::badSetting,
            QStringLiteral("TLS-Datei \"%1\" (Settings.ini [TLS] %2) %3").arg(path, key, what)};
}

DicomError tlsPairIncomplete(bool certificateMissing)
{
    return {DicomError::badSetting,
            certificateMissing
                ? QStringLiteral("Settings.ini [TLS]: PrivateKey ohne Certificate eingetragen")
                : QStringLiteral("Settings.ini [TLS]: Certificate ohne PrivateKey eingetragen")};
}

DicomError tlsSetupFailed(unsigned long code)
{
    return {DicomError::tlsFailed,
            QStringLiteral("TLS lässt sich nicht einrichten (OpenSSL-Fehler %1)")
                .arg(QString::number(code, 16))};
}

DicomError tlsFailed(const TlsFailure& failure, const QString& peer, const Timeouts& timeouts)
{
    using Kind = TlsFailure::Kind;
    QString text;
    switch (failure.kind) {
    case Kind::NotTls:
        text = QStringLiteral("Server %1 antwortet nicht mit TLS: TLS am Server einschalten "
                              "lassen")
                   .arg(peer);
        break;
    case Kind::ClosedAtOnce:
        text = QStringLiteral("Server %1 hat die Verbindung ohne TLS-Antwort beendet: spricht der "
                              "Server an diesem Port TLS, und lässt er diese Station zu?")
                   .arg(peer);
        break;
    case Kind::OldTlsOnly:
        text = QStringLiteral("Server %1 bietet nur TLS 1.0 oder 1.1 an, die nicht mehr sicher "
                              "sind: TLS 1.2 oder neuer am Server einschalten lassen")
                   .arg(peer);
        break;
    case Kind::WrongName:
        text = QStringLiteral("Zertifikat von %1 ist nicht für diesen Server: es nennt \"%2\", "
                              "erwartet wird \"%3\"; ein Zertifikat für \"%3\" am Server "
                              "einrichten lassen oder, wenn der Server unter anderem Namen "
                              "bekannt ist, diesen in Settings.ini [TLS] ServerName eintragen")
                   .arg(peer, failure.subject, failure.expected);
        break;
    case Kind::NoAnswer:
        text =
            QStringLiteral("Keine TLS-Antwort von %1 innerhalb von %2 s: spricht der Server TLS?")
                .arg(peer)
                .arg(timeouts.acseSeconds);
        break;
    case Kind::Untrusted:
        text = untrustedText(failure, peer);
        break;
    case Kind::ClientCertMissing:
        text = QStringLiteral("Server %1 verlangt ein Zertifikat von Kelvara: in Settings.ini "
                              "[TLS] Certificate und PrivateKey eintragen")
                   .arg(peer);
        break;
    case Kind::ClientCertRefused:
        text = QStringLiteral("Server %1 lehnt das Zertifikat von Kelvara ab (\"%2\"): ein vom "
                              "Server anerkanntes Zertifikat in Settings.ini [TLS] Certificate "
                              "eintragen")
                   .arg(peer, failure.subject);
        break;
    case Kind::TlsRequired:
        text = QStringLiteral("Server %1 verlangt TLS: in Settings.ini [TLS] Enabled=1 setzen")
                   .arg(peer);
        break;
    case Kind::Other:
    case Kind::None:
        text = QStringLiteral("TLS-Verbindung zu %1 gescheitert (OpenSSL-Fehler %2)")
                   .arg(peer, QString::number(failure.code, 16));
        break;
    }
    return {DicomError::tlsFailed, text};
}

} // namespace ExchangeErrors
