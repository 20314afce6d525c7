#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <chrono>
#include <openssl/ssl.h>
#include <string>

// The server's TLS layer (BCP 195 profile). The handshake runs on the connection's own thread,
// within its deadline, before DCMTK sees the connection; DCMTK then takes the finished TLS
// connection through createConnection (one hand-over at a time, under the server's lock).
class ServerTls final : public DcmTLSTransportLayer
{
public:
    ServerTls();

    // Loads our certificate and key; with `clientCa`, clients must show a certificate that
    // chains to it. False with `error` set when a file cannot be used.
    bool configure(const std::string& certificate, const std::string& key,
                   const std::string& clientCa, std::string& error);

    // Runs the handshake on the accepted `socket` and waits until the decrypted association
    // request has arrived (at most `maxRequestBytes`), both before `deadline`. Returns the
    // connection for handOver(), or null with `why` set. The socket stays the caller's.
    DcmTransportConnection* accept(int socket, std::chrono::steady_clock::time_point deadline,
                                   std::uint32_t maxRequestBytes, std::string& why);
    // The connection the next createConnection() for `socket` returns.
    void handOver(DcmTransportConnection* connection, int socket)
    {
        m_pending = connection;
        m_pendingSocket = socket;
    }

    DcmTransportConnection* createConnection(DcmNativeSocketType openSocket,
                                             OFBool useSecureLayer) override;

private:
    DcmTransportConnection* m_pending = nullptr;
    int m_pendingSocket = -1;
};
