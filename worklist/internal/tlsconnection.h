#pragma once

#include "answerscanner.h"
#include "tlsfailure.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <atomic>
#include <openssl/ssl.h>

class ExchangeAbort;

// Internal to the DICOM layer: one TLS connection of an exchange, over a socket the program
// connected itself. Like the plain connection it registers its socket with the ExchangeAbort and
// passes every received byte, decrypted, through the AnswerScanner before the toolkit sees it.
// A failed handshake, or an alert the server sends later (a refused certificate of ours shows
// only then under TLS 1.3), is recorded in `failure` by what OpenSSL reports in codes.
// Owns `ssl` and the socket.
class TlsConnection final : public DcmTransportConnection
{
public:
    TlsConnection(DcmNativeSocketType socket, SSL* ssl, ExchangeAbort* abort,
                  const std::atomic<bool>* explicitVr, TlsFailure* failure, int handshakeSeconds);
    ~TlsConnection() override;

    OFCondition serverSideHandshake() override;
    OFCondition clientSideHandshake() override;
    OFCondition renegotiate(const char* newSuite) override;
    ssize_t read(void* buf, size_t nbyte) override;
    ssize_t write(void* buf, size_t nbyte) override;
    void close() override;
    void closeTransportConnection() override;
    unsigned long getPeerCertificateLength() override { return 0; }
    unsigned long getPeerCertificate(void*, unsigned long) override { return 0; }
    // Decrypted bytes, and bytes OpenSSL has taken from the socket but not yet decrypted, count
    // as available: a wait on the bare socket would miss them.
    OFBool networkDataAvailable(int timeout) override;
    OFBool isTransparentConnection() override { return OFFalse; }
    OFString& dumpConnectionParameters(OFString& str) override;

    // The first bytes a server sent on a connection, seen below OpenSSL.
    struct FirstBytes
    {
        unsigned char bytes[2] = {};
        std::size_t count = 0;
        [[nodiscard]] bool looksLikeTls() const
        {
            return count >= 2 && bytes[0] >= 0x14 && bytes[0] <= 0x17 && bytes[1] == 0x03;
        }
    };

private:
    void noteFailure(int sslError, int savedErrno, bool inHandshake);
    void unregister();

    SSL* m_ssl;
    ExchangeAbort* m_abort; // not owned; null once unregistered
    TlsFailure* m_failure;
    int m_handshakeSeconds;
    AnswerScanner m_scanner;
    FirstBytes m_first;
    QString m_untrustedSubject; // the server certificate that failed verification
    bool m_aborted = false;
    bool m_established = false;
};

// Whether the server at the other end of `socket` answers a TLS greeting with TLS, within
// `seconds`. Used only to explain a plain connection that the server ended without a word.
[[nodiscard]] bool serverSpeaksTls(int socket, int seconds);
