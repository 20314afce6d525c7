#include "servertls.h"

#include "listensocket.h"

#include <dcmtk/dcmtls/tlstrans.h>

#include <algorithm>
#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

std::string openSslReason()
{
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : "connection closed";
}

// Waits for the socket to be ready as OpenSSL asked; false once the deadline has passed or the
// socket was shut down.
bool waitFor(int socket, int sslError, std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0)
        return false;
    pollfd fd{socket, short(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    const int ready = poll(&fd, 1, static_cast<int>(std::min<long long>(left, 1000)));
    return ready >= 0 || errno == EINTR;
}

} // namespace

ServerTls::ServerTls() : DcmTLSTransportLayer(NET_ACCEPTOR, nullptr, OFFalse) {}

bool ServerTls::configure(const std::string& certificate, const std::string& key,
                          const std::string& clientCa, std::string& error)
{
    if (!*this || setTLSProfile(TSP_Profile_BCP195).bad() || activateCipherSuites().bad()) {
        error = "TLS cannot be set up: " + openSslReason();
        return false;
    }
    setPrivateKeyPasswd(""); // never ask on the terminal
    if (setCertificateFile(certificate.c_str(), DCF_Filetype_PEM).bad()) {
        error = "--tls-cert " + certificate + ": no PEM certificate could be read";
        return false;
    }
    if (setPrivateKeyFile(key.c_str(), DCF_Filetype_PEM).bad()) {
        error = "--tls-key " + key + ": no unencrypted PEM key could be read";
        return false;
    }
    if (!checkPrivateKeyMatchesCertificate()) {
        error = "--tls-key " + key + " does not match --tls-cert " + certificate;
        return false;
    }
    if (clientCa.empty()) {
        setCertificateVerification(DCV_ignoreCertificate);
    } else {
        if (addTrustedCertificateFile(clientCa.c_str(), DCF_Filetype_PEM).bad() ||
            addTrustedClientCertificateFile(clientCa.c_str()).bad()) {
            error = "--tls-ca " + clientCa + ": no PEM certificate could be read";
            return false;
        }
        setCertificateVerification(DCV_requireCertificate);
    }
    // Session tickets would arrive as records without data after the handshake.
    SSL_CTX_set_num_tickets(getNativeHandle(), 0);
    ERR_clear_error();
    return true;
}

DcmTransportConnection* ServerTls::accept(int socket,
                                          std::chrono::steady_clock::time_point deadline,
                                          std::uint32_t maxRequestBytes, std::string& why)
{
    SSL* ssl = SSL_new(getNativeHandle());
    if (!ssl || SSL_set_fd(ssl, socket) != 1) {
        SSL_free(ssl);
        why = "TLS connection could not be made";
        return nullptr;
    }
    const int flags = fcntl(socket, F_GETFL, 0);
    fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    ERR_clear_error();
    bool done = false;
    for (;;) {
        const int result = SSL_accept(ssl);
        if (result == 1) {
            done = true;
            break;
        }
        const int error = SSL_get_error(ssl, result);
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
            !waitFor(socket, error, deadline)) {
            why = "TLS handshake failed: " + openSslReason();
            break;
        }
    }
    // The association request must have begun to arrive before DCMTK reads it under the
    // server's lock; DCMTK waits one second for the rest.
    unsigned char header[6];
    while (done) {
        const int peeked = SSL_peek(ssl, header, sizeof header);
        if (peeked == sizeof header) {
            const std::uint32_t length =
                (std::uint32_t(header[2]) << 24) | (header[3] << 16) | (header[4] << 8) | header[5];
            if (header[0] != 0x01) {
                why = "not an association request";
                done = false;
            } else if (length > maxRequestBytes) {
                why =
                    "association request larger than " + std::to_string(maxRequestBytes) + " bytes";
                done = false;
            }
            break;
        }
        if (peeked > 0)
            break; // a header split over records: DCMTK reads it on
        const int error = SSL_get_error(ssl, peeked);
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
            !waitFor(socket, error, deadline)) {
            why = "no association request";
            done = false;
        }
    }
    fcntl(socket, F_SETFL, flags);
    if (!done) {
        SSL_free(ssl);
        // OpenSSL has sent its alert: the client must get to read why it was refused.
        finishSending(socket, 200);
        return nullptr;
    }
    return new DcmTLSConnection(socket, ssl);
}

DcmTransportConnection* ServerTls::createConnection(DcmNativeSocketType openSocket,
                                                    OFBool useSecureLayer)
{
    if (m_pending && m_pendingSocket == openSocket) {
        DcmTransportConnection* connection = m_pending;
        m_pending = nullptr;
        return connection;
    }
    return DcmTLSTransportLayer::createConnection(openSocket, useSecureLayer);
}
