#pragma once

#include <dcmtk/dcmnet/scppool.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <atomic>
#include <string>
#include <utility>

// DcmSCPPool's listener accepts each connection, runs its TLS handshake and reads its association
// request on its one thread before a worker takes over: one slow peer holds up every other.
// This listener does the same on several threads at once (one more than the limit allows
// connections), so a slow peer holds up only the thread that reads it. It counts connections
// from their accept on, refuses one beyond the limit at once, and gives a peer a few seconds
// for each read until its association request is complete.
class ReceivingPool : public DcmBaseSCPPool
{
public:
    // The transport layer for the network; the pool does not own it. Its createConnection() must
    // call admit() first (GatedLayer).
    void setLayer(DcmTransportLayer* layer, bool secure);
    void setListeningLine(std::string line) { m_listeningLine = std::move(line); }
    // Opens the port, logs the listening line and serves until the process ends.
    OFCondition listen() override;

    // Decides on a connection just accepted: true to go on with it, false when it was refused
    // (and is to be closed).
    bool admit(int socket);

    static constexpr int kRequestSeconds = 5; // for each read until the request is complete
    static constexpr int kIdleSeconds = 30;   // for each read and write after it

private:
    void receive(T_ASC_Network* network, const DcmSharedSCPConfig& config);
    void refuse(int socket, const std::string& peer, std::size_t served);

    DcmTransportLayer* m_layer = nullptr;
    bool m_secure = false;
    std::string m_listeningLine;
    std::atomic<std::size_t> m_reading = 0; // connections whose request is being read
};

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

// Reads what the peer sends until it closes or pauses, for a moment at most.
void drainBeforeClose(int socket);

// The pool with WorklistScp-like workers.
template <class Scp> using ServerPool = DcmSCPPool<Scp, ReceivingPool>;
