#pragma once

#include "tlsfailure.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <cstddef>

// What the helper learns of its connection while the toolkit makes it; read after a failure.
struct ConnectionWatch
{
    // The first bytes a TLS connection received, to tell a server without TLS from others.
    struct FirstBytes
    {
        unsigned char bytes[8] = {};
        std::size_t count = 0;
        [[nodiscard]] bool looksLikeTls() const
        {
            return count >= 2 && bytes[0] >= 0x14 && bytes[0] <= 0x17 && bytes[1] == 0x03;
        }
    };

    int handshakeSeconds = 10; // a TLS greeting left unanswered ends after this
    int readSeconds = 30;      // a TLS record left unfinished ends after this
    bool connected = false;    // the TCP connection was made
    bool readTimedOut = false; // an answer stopped in mid-message for readSeconds
    FirstBytes first;
    bool handshakeFailed = false;
    bool handshakeTimedOut = false;
    long verifyError = 0;     // X509_V_ERR_ code of the server certificate
    QString untrustedSubject; // that certificate
    QString certificateNames; // the names the server's certificate carries
    QString expectedName;     // the name it must carry
    QString ownSubject;       // our certificate, if we have one
    int alert = -1;           // the first alert the server sent

    // Why the TLS connection failed, as far as the above tells; Kind::None when it did not.
    [[nodiscard]] TlsFailure tlsFailure() const;
};

// Every connection the toolkit makes gets what the toolkit leaves out: no Nagle delay (a
// small request would wait 40 ms for its acknowledgement) and no inheritance into programs
// started later. Both layers add it at the toolkit's hook right after the connect.
class PlainTransport final : public DcmTransportLayer
{
public:
    explicit PlainTransport(ConnectionWatch* watch) : m_watch(watch) {}
    DcmTransportConnection* createConnection(DcmNativeSocketType socket,
                                             OFBool useSecureLayer) override;

private:
    ConnectionWatch* m_watch;
};

// The toolkit's TLS layer, whose connections also note why a handshake failed.
class TlsTransport final : public DcmTLSTransportLayer
{
public:
    explicit TlsTransport(ConnectionWatch* watch);
    DcmTransportConnection* createConnection(DcmNativeSocketType socket,
                                             OFBool useSecureLayer) override;

private:
    ConnectionWatch* m_watch;
};

// True when a server answers a TLS greeting on `socket` within `seconds` in TLS (a plain
// association to it then met a server that speaks only TLS).
[[nodiscard]] bool serverSpeaksTls(int socket, int seconds);
