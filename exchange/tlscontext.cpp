#include "tlscontext.h"

#include "exchangeerrors.h"
#include "transport.h"

#include <QFile>
#include <QFileInfo>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <openssl/err.h>
#include <optional>

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

DicomError makeClientTls(const TlsParams& tls, ConnectionWatch* watch,
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

    ERR_clear_error();
    layer = std::make_unique<TlsTransport>(watch);
    if (!*layer || layer->setTLSProfile(TSP_Profile_BCP195).bad() ||
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
    ERR_clear_error();
    return {};
}
