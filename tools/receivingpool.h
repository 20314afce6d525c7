#pragma once

#include <dcmtk/dcmnet/scppool.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <atomic>
#include <string>
#include <utility>

class ReceivingPool;

// The transport layer, plain or TLS, whose connections pass ReceivingPool::admit() first. When a
// TLS handshake fails, the connection reads what the client still sends before it is closed:
// closing with data unread resets the connection, and the reset can overtake the alert that tells
// the client why.
class GatedLayer final : public DcmTLSTransportLayer
{
public:
    explicit GatedLayer(ReceivingPool& pool)
        : DcmTLSTransportLayer(NET_ACCEPTOR, nullptr, OFTrue), m_pool(pool)
    {}
    DcmTransportConnection* createConnection(DcmNativeSocketType socket, OFBool secure) override;

private:
    ReceivingPool& m_pool;
};

// DcmSCPPool's listener runs each TLS handshake and reads each association request on its one
// thread: one slow peer holds up every other. This one reads them on one thread more than the
// limit allows connections. It counts connections from their accept on, refuses one beyond the
// limit at once, and gives a peer a few seconds for each read until its request is complete.
class ReceivingPool : public DcmBaseSCPPool
{
public:
    // The layer to configure for TLS; plain DICOM unless setSecure(true).
    GatedLayer& layer() { return m_layer; }
    void setSecure(bool secure) { m_secure = secure; }
    void setListeningLine(std::string line) { m_listeningLine = std::move(line); }
    // Opens the port, logs the listening line and serves until the process ends.
    OFCondition listen() override;

    // Decides on a connection just accepted: false when it was refused (and is to be closed).
    bool admit(int socket);

    static constexpr int kRequestSeconds = 5; // for each read until the request is complete
    static constexpr int kIdleSeconds = 30;   // for each read and write after it

private:
    void receive(T_ASC_Network* network, const DcmSharedSCPConfig& config);

    GatedLayer m_layer{*this};
    bool m_secure = false;
    std::string m_listeningLine;
    std::atomic<std::size_t> m_reading = 0; // connections whose request is being read
};
