#include "tlscontext.h"

#include "exchangeerrors.h"
#include "transport.h"

#include <QFile>
#include <QFileInfo>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <optional>
#include <sys/stat.h>

namespace {

using ExchangeErrors::TlsFileProblem;

// Null when the file can be opened for reading.
std::optional<TlsFileProblem> unreadable(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return TlsFileProblem::Unreadable;
    return std::nullopt;
}

} // namespace

DicomError makeClientTls(const TlsParams& tls, const QString& host, ConnectionWatch* watch,
                         std::unique_ptr<TlsTransport>& layer)
{
    using ExchangeErrors::tlsFile;
    const QString ca = tls.caCertificate.trimmed();
    const QString certificate = tls.certificate.trimmed();
    const QString key = tls.privateKey.trimmed();
    if (certificate.isEmpty() != key.isEmpty())
        return ExchangeErrors::tlsPairIncomplete(certificate.isEmpty());
    const struct
    {
        const char* name;
        const QString& path;
    } files[] = {{"CACertificate", ca}, {"Certificate", certificate}, {"PrivateKey", key}};
    for (const auto& file : files) {
        if (!file.path.isEmpty() && unreadable(file.path))
            return tlsFile(QLatin1String(file.name), file.path, TlsFileProblem::Unreadable);
    }
    // A key others may read is no longer only ours; a group may read it, so IT can share a
    // workstation's key through one.
    struct stat keyStatus
    {};
    if (!key.isEmpty() && ::stat(QFile::encodeName(key).constData(), &keyStatus) == 0 &&
        (keyStatus.st_mode & (S_IROTH | S_IWOTH | S_IWGRP)) != 0)
        return tlsFile(QStringLiteral("PrivateKey"), key, TlsFileProblem::OpenToOthers);

    ERR_clear_error();
    layer = std::make_unique<TlsTransport>(watch);
    // TLS 1.2 or newer, never falling back to the deprecated 1.0 and 1.1.
    if (!*layer || layer->setTLSProfile(TSP_Profile_BCP195_ND).bad() ||
        layer->activateCipherSuites().bad())
        return ExchangeErrors::tlsSetupFailed(ERR_peek_last_error());
    layer->setCertificateVerification(DCV_requireCertificate);
    // A key with a password would make OpenSSL ask for it on the terminal; the empty one fails.
    layer->setPrivateKeyPasswd("");

    const QByteArray caPath = QFile::encodeName(ca);
    if (ca.isEmpty())
        static_cast<void>(layer->addTrustedCertificateDir("/etc/ssl/certs", DCF_Filetype_PEM));
    else if (layer->addTrustedCertificateFile(caPath.constData(), DCF_Filetype_PEM).bad())
        return tlsFile(QStringLiteral("CACertificate"), ca, TlsFileProblem::NoCertificate);
    if (!certificate.isEmpty()) {
        const QByteArray certificatePath = QFile::encodeName(certificate);
        const QByteArray keyPath = QFile::encodeName(key);
        // The key first: loaded after the certificate, a key of another certificate would be
        // refused as if it were no key at all.
        if (layer->setPrivateKeyFile(keyPath.constData(), DCF_Filetype_PEM).bad())
            return tlsFile(QStringLiteral("PrivateKey"), key, TlsFileProblem::NoKey);
        if (layer->setCertificateFile(certificatePath.constData(), DCF_Filetype_PEM).bad())
            return tlsFile(QStringLiteral("Certificate"), certificate,
                           TlsFileProblem::NoCertificate);
        if (!layer->checkPrivateKeyMatchesCertificate())
            return tlsFile(QStringLiteral("PrivateKey"), key, TlsFileProblem::KeyMismatch);
    }
    // The certificate must name this server, as the settings name it; the chain alone would
    // accept any certificate the CA ever signed, a workstation's own among them.
    watch->expectedName =
        tls.serverName.trimmed().isEmpty() ? host.trimmed() : tls.serverName.trimmed();
    const QByteArray expected = watch->expectedName.toUtf8();
    X509_VERIFY_PARAM* check = SSL_CTX_get0_param(static_cast<SSL_CTX*>(layer->getNativeHandle()));
    unsigned char address[16];
    const bool isAddress = ::inet_pton(AF_INET, expected.constData(), address) == 1 ||
                           ::inet_pton(AF_INET6, expected.constData(), address) == 1;
    if (!check || (isAddress ? X509_VERIFY_PARAM_set1_ip_asc(check, expected.constData())
                             : X509_VERIFY_PARAM_set1_host(check, expected.constData(), 0)) != 1)
        return ExchangeErrors::tlsSetupFailed(ERR_peek_last_error());
    // A server's certificate, not a client's: a workstation's key must not pass for the server.
    X509_VERIFY_PARAM_set_purpose(check, X509_PURPOSE_SSL_SERVER);
    ERR_clear_error();
    return {};
}
