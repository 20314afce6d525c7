#pragma once

#include <QByteArray>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class DcmDataset;

// A misbehaving DICOM server inside the test process, on 127.0.0.1, for faults no real server
// makes on demand. It accepts Modality Worklist FIND and CR Image Storage (Explicit and Implicit
// VR Little Endian), any AE titles, one association at a time, and stops when destroyed (at
// once, also when idle).
class FaultScp final
{
public:
    enum class Mode {
        RejectAssociation, // A-ASSOCIATE-RJ: permanent, called AE title not recognised
        NeverAnswer,       // accepts the association, never answers the C-FIND
        ScriptedFind,      // the scripted data sets as pending responses, then finalStatus
        CutAfterPending,   // the first `pendingBeforeClose` data sets, then the bytes set by
                           // setRawReply straight onto the wire, or with none the TCP
                           // connection cut without a word
        RawReply,          // below DICOM: answers each connection with the bytes set by
                           // setRawReply (none: never says a word)
    };

    explicit FaultScp(Mode mode);
    ~FaultScp();
    FaultScp(const FaultScp&) = delete;
    FaultScp& operator=(const FaultScp&) = delete;

    // Set before start(). The server takes ownership of the data sets.
    void setFindAnswers(std::vector<std::unique_ptr<DcmDataset>> answers,
                        quint16 finalStatus = 0x0000);
    // One prepared data set sent `count` times, for answers far too many to build one by one.
    void setRepeatedAnswer(std::unique_ptr<DcmDataset> answer, int count,
                           quint16 finalStatus = 0x0000);
    void setPendingBeforeClose(int count) { m_pendingBeforeClose = count; }
    // Waits `interval` before each match it sends.
    void setMatchInterval(std::chrono::milliseconds interval) { m_matchInterval = interval; }
    // The status a C-STORE (the program's removal) is answered with; -1: never answered.
    void setStoreStatus(int status) { m_storeStatus = status; }
    void setRawReply(const QByteArray& bytes) { m_rawReply = bytes; }

    // Changes how the next C-FIND is answered; safe while the server runs. Not for switching
    // to or from RawReply.
    void setMode(Mode mode) { m_mode = mode; }

    // Listens and serves on its own thread; false when no port could be opened.
    [[nodiscard]] bool start();
    void stop();
    [[nodiscard]] quint16 port() const { return m_port; }
    // Number of association requests (below DICOM: connections), C-FIND requests and C-STORE
    // requests that reached the server.
    [[nodiscard]] int associationRequests() const { return m_associationRequests; }
    [[nodiscard]] int findRequests() const { return m_findRequests; }
    [[nodiscard]] int storeRequests() const { return m_storeRequests; }
    // A-RELEASE-RQs received (a client that aborts sends none).
    [[nodiscard]] int releaseRequests() const { return m_releaseRequests; }
    // The entry key (0019,0030) of each C-STORE received, in order.
    [[nodiscard]] QStringList storedKeys();
    // For the serving thread: waits `time`; false when stop() came first.
    bool pause(std::chrono::milliseconds time);

private:
    class Server;
    class Transport;
    friend class Server;

    void runRawServer(int listenSocket);
    // Blocks the serving thread until stop(); for the modes that hang on purpose.
    void waitForStop();
    // Blocks the serving thread until the peer has closed `socket` or stop() was called.
    void waitForPeerClose(int socket);

    std::atomic<Mode> m_mode;
    std::vector<std::unique_ptr<DcmDataset>> m_answers;
    std::unique_ptr<DcmDataset> m_repeatedAnswer;
    int m_repeatCount = 0;
    std::atomic<quint16> m_finalStatus{0x0000};
    int m_pendingBeforeClose = 0;
    std::chrono::milliseconds m_matchInterval{0};
    QByteArray m_rawReply;
    int m_storeStatus = 0x0000;
    quint16 m_port = 0;
    std::atomic<int> m_associationRequests{0};
    std::atomic<int> m_findRequests{0};
    std::atomic<int> m_storeRequests{0};
    std::atomic<int> m_releaseRequests{0};
    QStringList m_storedKeys;      // guarded by m_mutex
    std::atomic<int> m_socket{-1}; // of the association being served
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::condition_variable m_stopped;
    std::unique_ptr<Transport> m_transport;
    std::unique_ptr<Server> m_server;
    std::thread m_thread;
};

// A worklist match as a server sends it, and the three a good server answers in tests.
std::unique_ptr<DcmDataset> worklistMatch(const char* id, const char* name = "Test^Patient",
                                          const char* uid = "1.2.3.4");
std::vector<std::unique_ptr<DcmDataset>> threeMatches();
