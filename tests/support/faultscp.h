#pragma once

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class DcmDataset;

// A misbehaving DICOM server inside the test process, on 127.0.0.1, for faults no real server
// makes on demand. It accepts Modality Worklist FIND and CR Image Storage (Explicit and Implicit
// VR Little Endian), any AE titles, one association at a time, and stops when destroyed.
//
// Extend it by adding a Mode and handling it in FaultScp::Server (DIMSE-level faults) or in
// runRawServer() (faults below DICOM, written straight to the socket).
class FaultScp final
{
public:
    enum class Mode {
        RejectAssociation,  // A-ASSOCIATE-RJ: permanent, called AE title not recognised
        NeverAnswer,        // accepts the association, never answers the C-FIND
        ScriptedFind,       // the scripted data sets as pending responses, then finalStatus
        CloseAfterPending,  // the first `pendingBeforeClose` data sets, then aborts
        SilentAfterConnect, // accepts the TCP connection and never says a word
        MalformedPdu,       // answers the association request with a garbled PDU
    };

    explicit FaultScp(Mode mode);
    ~FaultScp();
    FaultScp(const FaultScp&) = delete;
    FaultScp& operator=(const FaultScp&) = delete;

    // Set before start(). The server takes ownership of the data sets.
    void setFindAnswers(std::vector<std::unique_ptr<DcmDataset>> answers,
                        quint16 finalStatus = 0x0000);
    void setPendingBeforeClose(int count) { m_pendingBeforeClose = count; }

    // Listens and serves on its own thread; false when no port could be opened.
    [[nodiscard]] bool start();
    void stop();
    [[nodiscard]] quint16 port() const { return m_port; }
    // Number of association requests and of C-FIND requests that reached the server.
    [[nodiscard]] int associationRequests() const { return m_associationRequests; }
    [[nodiscard]] int findRequests() const { return m_findRequests; }

private:
    class Server;
    friend class Server;

    void runRawServer(int listenSocket);
    // Blocks the serving thread until stop(); for the modes that hang on purpose.
    void waitForStop();

    Mode m_mode;
    std::vector<std::unique_ptr<DcmDataset>> m_answers;
    quint16 m_finalStatus = 0x0000;
    int m_pendingBeforeClose = 0;
    quint16 m_port = 0;
    std::atomic<int> m_associationRequests{0};
    std::atomic<int> m_findRequests{0};
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::condition_variable m_stopped;
    std::unique_ptr<Server> m_server;
    std::thread m_thread;
};
