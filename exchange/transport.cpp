#include "transport.h"

#include <QStringList>

#include <dcmtk/dcmtls/tlstrans.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

namespace {

void tuneSocket(DcmNativeSocketType socket)
{
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(socket, F_SETFD, FD_CLOEXEC);
}

void setReceiveTimeout(int socket, int seconds)
{
    timeval time{seconds, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &time, sizeof time);
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &time, sizeof time);
}

QString subjectOf(X509* certificate)
{
    BIO* out = certificate ? BIO_new(BIO_s_mem()) : nullptr;
    if (!out)
        return {};
    X509_NAME_print_ex(out, X509_get_subject_name(certificate), 0,
                       XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    QString subject = QString::fromUtf8(data, size > 0 ? size : 0);
    BIO_free(out);
    return subject;
}

// TLS alerts that say the server did not accept our certificate, or wanted one.
bool isClientCertificateAlert(int alert)
{
    switch (alert) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_CERTIFICATE_REQUIRED:
        return true;
    default:
        return false;
    }
}

long recordFirstBytes(BIO* bio, int oper, const char* argp, size_t /*len*/, int /*argi*/,
                      long /*argl*/, int ret, size_t* processed)
{
    if (oper == (BIO_CB_READ | BIO_CB_RETURN) && ret > 0 && processed && argp) {
        auto* first = reinterpret_cast<ConnectionWatch::FirstBytes*>(BIO_get_callback_arg(bio));
        for (std::size_t i = 0; i < *processed && first->count < sizeof first->bytes; ++i)
            first->bytes[first->count++] = static_cast<unsigned char>(argp[i]);
    }
    return ret;
}

void watchFirstBytes(SSL* ssl, ConnectionWatch::FirstBytes* first)
{
    BIO* bio = SSL_get_rbio(ssl);
    BIO_set_callback_ex(bio, recordFirstBytes);
    BIO_set_callback_arg(bio, reinterpret_cast<char*>(first));
}

// The DNS and IP names of a certificate's subject alternative names, else its common name.
QString namesOf(X509* certificate)
{
    QStringList names;
    auto* alternatives = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
        if (name->type == GEN_DNS) {
            const ASN1_STRING* dns = name->d.dNSName;
            names << QString::fromLatin1(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                         ASN1_STRING_length(dns));
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            const int length = ASN1_STRING_length(ip);
            char text[INET6_ADDRSTRLEN] = {};
            if ((length == 4 || length == 16) &&
                ::inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), text,
                            sizeof text))
                names << QString::fromLatin1(text);
        }
    }
    GENERAL_NAMES_free(alternatives);
    if (names.isEmpty())
        names << subjectOf(certificate);
    return names.join(QStringLiteral(", ")).left(300);
}

// Notes the server certificate that fails verification; the handshake then fails as before.
int noteUntrusted(int ok, X509_STORE_CTX* store)
{
    if (!ok) {
        auto* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* watch = ssl ? static_cast<ConnectionWatch*>(SSL_get_app_data(ssl)) : nullptr;
        if (watch && watch->verifyError == 0) {
            watch->verifyError = X509_STORE_CTX_get_error(store);
            X509* certificate = X509_STORE_CTX_get0_cert(store);
            watch->untrustedSubject = subjectOf(certificate);
            watch->certificateNames = namesOf(certificate);
        }
    }
    return ok;
}

// Notes the first alert the server sends: under TLS 1.3 a refused certificate of ours is told
// only after the handshake, by an alert on the first read.
void noteAlert(const SSL* ssl, int where, int value)
{
    auto* watch = static_cast<ConnectionWatch*>(SSL_get_app_data(ssl));
    if ((where & SSL_CB_READ_ALERT) == SSL_CB_READ_ALERT && watch && watch->alert < 0)
        watch->alert = value & 0xFF;
}

// The toolkit's TLS connection, with time limits on the handshake and on every record.
class WatchedTlsConnection final : public DcmTLSConnection
{
public:
    WatchedTlsConnection(DcmNativeSocketType socket, SSL* ssl, ConnectionWatch* watch)
        : DcmTLSConnection(socket, ssl), m_watch(watch)
    {
        watchFirstBytes(ssl, &watch->first);
        SSL_set_app_data(ssl, watch);
        SSL_set_verify(ssl, SSL_get_verify_mode(ssl), noteUntrusted);
        SSL_set_info_callback(ssl, noteAlert);
        watch->ownSubject = subjectOf(SSL_get_certificate(ssl));
    }

    OFCondition clientSideHandshake() override
    {
        // A server that takes the connection and never answers the greeting must not hold the
        // exchange until its total deadline.
        setReceiveTimeout(getSocket(), m_watch->handshakeSeconds);
        errno = 0;
        const OFCondition cond = DcmTLSConnection::clientSideHandshake();
        m_watch->handshakeFailed = cond.bad();
        m_watch->handshakeTimedOut = cond.bad() && (errno == EAGAIN || errno == EWOULDBLOCK);
        // From here on a record cut short ends within the DIMSE time-out, not never.
        setReceiveTimeout(getSocket(), m_watch->readSeconds);
        return cond;
    }

    ssize_t read(void* buf, size_t nbyte) override
    {
        errno = 0;
        const ssize_t got = DcmTLSConnection::read(buf, nbyte);
        m_watch->readTimedOut = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        return got;
    }

private:
    ConnectionWatch* m_watch;
};

// The toolkit's plain connection, reading through a buffer: the toolkit asks for a few bytes
// at a time (a PDU header, then a PDV's) and waits on the socket before each, four system calls
// a match where one read of 64 KiB serves hundreds.
// A read waits at most the watch's readSeconds: the toolkit reads a message's rest without a
// time limit of its own once its first bytes have come.
class BufferedTcpConnection final : public DcmTCPConnection
{
public:
    BufferedTcpConnection(DcmNativeSocketType socket, ConnectionWatch* watch)
        : DcmTCPConnection(socket), m_watch(watch)
    {
        setReceiveTimeout(socket, watch->readSeconds);
    }

    ssize_t read(void* buf, size_t nbyte) override
    {
        if (m_begin == m_end && nbyte < sizeof m_buffer) {
            errno = 0;
            const ssize_t got = DcmTCPConnection::read(m_buffer, sizeof m_buffer);
            m_watch->readTimedOut = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            if (got <= 0)
                return got;
            m_begin = 0;
            m_end = size_t(got);
        }
        if (m_begin == m_end) {
            errno = 0;
            const ssize_t got = DcmTCPConnection::read(buf, nbyte);
            m_watch->readTimedOut = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            return got;
        }
        const size_t taken = std::min(nbyte, m_end - m_begin);
        std::memcpy(buf, m_buffer + m_begin, taken);
        m_begin += taken;
        return ssize_t(taken);
    }

    OFBool networkDataAvailable(int timeout) override
    {
        return m_begin != m_end || DcmTCPConnection::networkDataAvailable(timeout);
    }

private:
    ConnectionWatch* m_watch;
    char m_buffer[64 * 1024];
    size_t m_begin = 0;
    size_t m_end = 0;
};

} // namespace

DcmTransportConnection* PlainTransport::createConnection(DcmNativeSocketType socket,
                                                         OFBool /*useSecureLayer*/)
{
    tuneSocket(socket);
    m_watch->connected = true;
    return new BufferedTcpConnection(socket, m_watch);
}

TlsTransport::TlsTransport(ConnectionWatch* watch)
    : DcmTLSTransportLayer(NET_REQUESTOR, nullptr, OFFalse), m_watch(watch)
{}

DcmTransportConnection* TlsTransport::createConnection(DcmNativeSocketType socket,
                                                       OFBool /*useSecureLayer*/)
{
    tuneSocket(socket);
    m_watch->connected = true;
    auto* context = static_cast<SSL_CTX*>(getNativeHandle());
    SSL* ssl = context ? SSL_new(context) : nullptr;
    if (!ssl)
        return nullptr;
    SSL_set_fd(ssl, socket);
    return new WatchedTlsConnection(socket, ssl, m_watch);
}

TlsFailure ConnectionWatch::tlsFailure() const
{
    TlsFailure failure;
    if (handshakeFailed && (verifyError == X509_V_ERR_HOSTNAME_MISMATCH ||
                            verifyError == X509_V_ERR_IP_ADDRESS_MISMATCH)) {
        failure.kind = TlsFailure::Kind::WrongName;
        failure.subject = certificateNames;
        failure.expected = expectedName;
    } else if (handshakeFailed && verifyError != 0) {
        failure.kind = TlsFailure::Kind::Untrusted;
        failure.code = static_cast<unsigned long>(verifyError);
        failure.subject = untrustedSubject;
    } else if (alert >= 0 && isClientCertificateAlert(alert)) {
        failure.kind = ownSubject.isEmpty() ? TlsFailure::Kind::ClientCertMissing
                                            : TlsFailure::Kind::ClientCertRefused;
        failure.subject = ownSubject;
    } else if (!handshakeFailed) {
        // Any fault after the handshake is a broken connection like a plain one.
    } else if (alert == SSL_AD_PROTOCOL_VERSION) {
        failure.kind = TlsFailure::Kind::OldTlsOnly;
    } else if (first.count == 0 && handshakeTimedOut) {
        failure.kind = TlsFailure::Kind::NoAnswer;
    } else if (first.count == 0) {
        failure.kind = TlsFailure::Kind::ClosedAtOnce;
    } else if (!first.looksLikeTls()) {
        failure.kind = TlsFailure::Kind::NotTls;
    } else {
        failure.kind = TlsFailure::Kind::Other;
        failure.code = alert >= 0 ? static_cast<unsigned long>(alert) : 0;
    }
    return failure;
}

bool serverSpeaksTls(int socket, int seconds)
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* ssl = context ? SSL_new(context) : nullptr;
    bool speaksTls = false;
    if (ssl && SSL_set_fd(ssl, socket) == 1) {
        ConnectionWatch::FirstBytes first;
        watchFirstBytes(ssl, &first);
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        setReceiveTimeout(socket, seconds);
        ERR_clear_error();
        static_cast<void>(SSL_connect(ssl));
        ERR_clear_error();
        speaksTls = first.looksLikeTls();
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    return speaksTls;
}
