#pragma once

#include <dcmtk/dcmnet/assoc.h>

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <thread>

class ListenSocket;
class RequestLog;
class ServerTls;
class ShutdownSignal;
class WorklistStore;

// Accepts connections on our ListenSocket and serves each association on a thread of its own, so
// a slow, silent or hostile client never holds up the next one. At most `maxAssociations` are
// served at once; a connection beyond that is refused at once with A-ASSOCIATE-RJ "local limit
// exceeded" (transient). Each connection has a total deadline from its accept: a watchdog shuts
// its socket down when it passes, whatever DCMTK is waiting for (DCMTK's own time-outs restart
// with every byte). All referenced objects must outlive the server.
class AssociationServer final
{
public:
    struct Limits
    {
        unsigned maxAssociations = 16;
        int deadlineSeconds = 120;
    };

    AssociationServer(const std::string& aeTitle, WorklistStore& store, ListenSocket& socket,
                      ShutdownSignal& signal, const RequestLog& log, Limits limits);
    ~AssociationServer();
    AssociationServer(const AssociationServer&) = delete;
    AssociationServer& operator=(const AssociationServer&) = delete;

    // Every connection from now on speaks TLS with `tls` (not owned); call before run().
    void useTls(ServerTls* tls) { m_tls = tls; }

    // Serves until a stop is requested; then ends every connection and waits for its thread.
    OFCondition run();

private:
    struct Connection
    {
        int socket = -1;  // the accepted socket, owned by DCMTK once the association is received
        int watched = -1; // a duplicate the watchdog may shut down
        std::chrono::steady_clock::time_point deadline;
        bool expired = false;
        bool done = false;
        std::thread thread;
    };

    void serve(Connection& connection);
    // Waits until the whole A-ASSOCIATE-RQ is buffered, so DCMTK reads it without blocking.
    bool waitForRequest(Connection& connection, std::string& why);
    void refuse(int socket);
    void watch();
    void reapFinished();
    void stopAll();

    std::string m_aeTitle;
    WorklistStore& m_store;
    ListenSocket& m_socket;
    ShutdownSignal& m_signal;
    const RequestLog& m_log;
    Limits m_limits;
    T_ASC_Network* m_network = nullptr;
    ServerTls* m_tls = nullptr;

    std::mutex m_mutex; // guards m_connections, their flags and m_stopping
    std::condition_variable m_changed;
    std::list<Connection> m_connections;
    bool m_stopping = false;
    std::thread m_watchdog;
};
