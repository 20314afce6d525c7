#pragma once

#include <dcmtk/dcmnet/scpthrd.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

class ServingThreads;

// The transport layer, plain or TLS, whose connections pass ServingThreads::admit() first. When a
// TLS handshake fails, the connection reads what the client still sends before it is closed:
// closing with data unread resets the connection, and the reset can overtake the alert that tells
// the client why.
class GatedLayer final : public DcmTLSTransportLayer
{
public:
    explicit GatedLayer(ServingThreads& threads)
        : DcmTLSTransportLayer(NET_ACCEPTOR, nullptr, OFTrue), m_threads(threads)
    {}
    DcmTransportConnection* createConnection(DcmNativeSocketType socket, OFBool secure) override;

private:
    ServingThreads& m_threads;
};

// Serves on one thread more than the limit allows connections: each accepts a connection, reads
// its association request and serves it to its end with an SCP of its own. (DcmSCPPool reads
// all requests on one thread, so one slow peer holds up all; and its worker can free itself
// before OFThread::start() has written to it.) Connections count from their accept; one beyond
// the limit is refused at once. A peer has seconds for each read until its request is complete.
class ServingThreads
{
public:
    using ScpFactory = std::function<std::unique_ptr<DcmThreadSCP>()>;
    ServingThreads(ScpFactory makeScp, unsigned limit)
        : m_makeScp(std::move(makeScp)), m_limit(limit)
    {}

    DcmSCPConfig& config() { return m_config; }
    // The layer to configure for TLS; plain DICOM unless setSecure(true).
    GatedLayer& layer() { return m_layer; }
    void setSecure(bool secure) { m_secure = secure; }
    // Opens the port, logs `listening` and serves until the process ends.
    OFCondition serve(const std::string& listening);

    // Decides on a connection just accepted: false when it was refused (and is to be closed).
    bool admit(int socket);

    static constexpr int kRequestSeconds = 5; // for each read until the request is complete
    static constexpr int kIdleSeconds = 30;   // for each read and write after it

private:
    void receive(T_ASC_Network* network);

    ScpFactory m_makeScp;
    unsigned m_limit;
    DcmSCPConfig m_config;
    GatedLayer m_layer{*this};
    bool m_secure = false;
    std::atomic<unsigned> m_connections = 0; // admitted and not yet ended
};
