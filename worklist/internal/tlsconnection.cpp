#include "tlsconnection.h"

#include "exchangeabort.h"

#include <dcmtk/dcmdata/dcerror.h>
#include <dcmtk/dcmtls/tlscond.h>

#include <cerrno>
#include <climits>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

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

QString subjectOf(X509* certificate)
{
    if (!certificate)
        return {};
    BIO* out = BIO_new(BIO_s_mem());
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

// Keeps the first bytes the socket delivers to OpenSSL.
long recordFirstBytes(BIO* bio, int oper, const char* argp, size_t /*len*/, int /*argi*/,
                      long /*argl*/, int ret, size_t* processed)
{
    if (oper == (BIO_CB_READ | BIO_CB_RETURN) && ret > 0 && processed && argp) {
        auto* first = reinterpret_cast<TlsConnection::FirstBytes*>(BIO_get_callback_arg(bio));
        for (std::size_t i = 0; i < *processed && first->count < sizeof first->bytes; ++i)
            first->bytes[first->count++] = static_cast<unsigned char>(argp[i]);
    }
    return ret;
}

void watchFirstBytes(SSL* ssl, TlsConnection::FirstBytes* first)
{
    BIO* bio = SSL_get_rbio(ssl);
    BIO_set_callback_ex(bio, recordFirstBytes);
    BIO_set_callback_arg(bio, reinterpret_cast<char*>(first));
}

// Notes the subject of a server certificate that fails verification; the handshake then fails
// with the verification error as before.
int noteUntrusted(int ok, X509_STORE_CTX* store)
{
    if (!ok) {
        auto* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* subject = ssl ? static_cast<QString*>(SSL_get_app_data(ssl)) : nullptr;
        if (subject && subject->isEmpty())
            *subject = subjectOf(X509_STORE_CTX_get0_cert(store));
    }
    return ok;
}

void setSocketTimeouts(int socket, int seconds)
{
    timeval time{seconds, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &time, sizeof time);
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &time, sizeof time);
}

OFCondition tlsError(const char* text)
{
    return makeOFCondition(OFM_dcmtls, 1, OF_error, text);
}

} // namespace

TlsConnection::TlsConnection(DcmNativeSocketType socket, SSL* ssl, ExchangeAbort* abort,
                             const std::atomic<bool>* explicitVr, TlsFailure* failure,
                             int handshakeSeconds)
    : DcmTransportConnection(socket), m_ssl(ssl), m_abort(abort), m_failure(failure),
      m_handshakeSeconds(handshakeSeconds), m_scanner(explicitVr)
{
    if (m_abort)
        m_abort->registerSocket(socket);
    watchFirstBytes(m_ssl, &m_first);
    SSL_set_app_data(m_ssl, &m_untrustedSubject);
    SSL_set_verify(m_ssl, SSL_get_verify_mode(m_ssl), noteUntrusted);
    // One receive takes as much as the socket holds, not one record header at a time.
    SSL_set_read_ahead(m_ssl, 1);
}

TlsConnection::~TlsConnection()
{
    close();
}

OFCondition TlsConnection::serverSideHandshake()
{
    return EC_IllegalCall;
}

OFCondition TlsConnection::renegotiate(const char* /*newSuite*/)
{
    return EC_IllegalCall;
}

OFCondition TlsConnection::clientSideHandshake()
{
    // A server that takes the connection and never answers the greeting must not hold the
    // exchange until its total deadline.
    setSocketTimeouts(getSocket(), m_handshakeSeconds);
    ERR_clear_error();
    const int result = SSL_connect(m_ssl);
    const int savedErrno = errno;
    setSocketTimeouts(getSocket(), 0);
    if (result == 1) {
        m_established = true;
        return EC_Normal;
    }
    noteFailure(SSL_get_error(m_ssl, result), savedErrno, true);
    return tlsError("TLS handshake failed");
}

void TlsConnection::noteFailure(int sslError, int savedErrno, bool inHandshake)
{
    if (!m_failure || m_failure->kind != TlsFailure::Kind::None ||
        (m_abort && m_abort->isAborted()))
        return;
    const unsigned long code = ERR_peek_last_error();
    const int reason = ERR_GET_LIB(code) == ERR_LIB_SSL ? ERR_GET_REASON(code) : 0;
    const long verify = SSL_get_verify_result(m_ssl);
    TlsFailure failure;
    if (reason >= SSL_AD_REASON_OFFSET && isClientCertificateAlert(reason - SSL_AD_REASON_OFFSET)) {
        X509* own = SSL_get_certificate(m_ssl);
        failure.kind =
            own ? TlsFailure::Kind::ClientCertRefused : TlsFailure::Kind::ClientCertMissing;
        failure.subject = subjectOf(own);
    } else if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED && verify != X509_V_OK) {
        failure.kind = TlsFailure::Kind::Untrusted;
        failure.code = static_cast<unsigned long>(verify);
        failure.subject = m_untrustedSubject;
    } else if (!inHandshake) {
        // Under TLS 1.3 a refused certificate of ours is told only after the handshake; any
        // other fault afterwards is a broken connection like a plain one.
        return;
    } else if (m_first.count == 0 && (savedErrno == EAGAIN || savedErrno == EWOULDBLOCK)) {
        failure.kind = TlsFailure::Kind::NoAnswer;
    } else if (!m_first.looksLikeTls()) {
        failure.kind = TlsFailure::Kind::NotTls;
    } else {
        failure.kind = TlsFailure::Kind::Other;
        failure.code = code ? code : static_cast<unsigned long>(sslError);
    }
    *m_failure = failure;
}

ssize_t TlsConnection::read(void* buf, size_t nbyte)
{
    if (m_aborted || (m_abort && m_abort->isAborted())) {
        m_aborted = true;
        return 0;
    }
    if (nbyte == 0)
        return 0;
    ERR_clear_error();
    const int received = SSL_read(m_ssl, buf, static_cast<int>(std::min<size_t>(nbyte, INT_MAX)));
    if (received <= 0) {
        const int savedErrno = errno;
        const int error = SSL_get_error(m_ssl, received);
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        noteFailure(error, savedErrno, false);
        return -1;
    }
    const QString why =
        m_scanner.feed(static_cast<const unsigned char*>(buf), std::size_t(received));
    if (!why.isNull()) {
        if (m_abort)
            m_abort->refuseAnswer(why);
        m_aborted = true;
        return 0;
    }
    return received;
}

ssize_t TlsConnection::write(void* buf, size_t nbyte)
{
    if (m_aborted)
        return -1;
    ERR_clear_error();
    const int sent = SSL_write(m_ssl, buf, static_cast<int>(std::min<size_t>(nbyte, INT_MAX)));
    if (sent <= 0) {
        noteFailure(SSL_get_error(m_ssl, sent), errno, false);
        return -1;
    }
    return sent;
}

OFBool TlsConnection::networkDataAvailable(int timeout)
{
    if (m_aborted || SSL_has_pending(m_ssl))
        return OFTrue;
    pollfd wait{getSocket(), POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&wait, 1, timeout * 1000);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

void TlsConnection::unregister()
{
    if (m_abort)
        m_abort->unregisterSocket(getSocket());
    m_abort = nullptr;
}

void TlsConnection::close()
{
    const bool aborted = m_aborted || (m_abort && m_abort->isAborted());
    unregister();
    if (m_ssl) {
        // A clean close tells the server the end was meant; after an abort the socket is
        // already shut down and nothing more is sent.
        if (m_established && !aborted)
            SSL_shutdown(m_ssl);
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    closeTransportConnection();
}

void TlsConnection::closeTransportConnection()
{
    unregister();
    if (getSocket() != -1) {
        ::close(getSocket());
        setSocket(-1);
    }
}

OFString& TlsConnection::dumpConnectionParameters(OFString& str)
{
    str = "Transport connection: TLS over TCP/IP";
    if (m_ssl)
        str += OFString(", ") + SSL_get_version(m_ssl);
    return str;
}

bool serverSpeaksTls(int socket, int seconds)
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* ssl = context ? SSL_new(context) : nullptr;
    bool speaksTls = false;
    if (ssl && SSL_set_fd(ssl, socket) == 1) {
        TlsConnection::FirstBytes first;
        watchFirstBytes(ssl, &first);
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        setSocketTimeouts(socket, seconds);
        ERR_clear_error();
        static_cast<void>(SSL_connect(ssl));
        ERR_clear_error();
        speaksTls = first.looksLikeTls();
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    return speaksTls;
}
