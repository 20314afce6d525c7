#pragma once

#include <QByteArray>
#include <QString>
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
// makes on demand: worklist FIND and CR Image Storage, any AE titles, one association at a time.
class FaultScp final
{
public:
    enum class Mode {
        RejectAssociation, // A-ASSOCIATE-RJ: permanent, called AE title not recognised
        NeverAnswer,       // accepts the association, never answers the C-FIND
        ScriptedFind,      // the scripted data sets as pending responses, then finalStatus
        CutAfterPending,   // `pendingBeforeClose` data sets, then the raw reply or a cut
        RawReply,          // below DICOM: the raw reply to each connection (none: silence)
    };

    explicit FaultScp(Mode mode);
    ~FaultScp();
    FaultScp(const FaultScp&) = delete;
    FaultScp& operator=(const FaultScp&) = delete;

    // Set before start(). The answers, then `count` times the repeated one (for answers far too
    // many to build one by one).
    void setFindAnswers(std::vector<std::unique_ptr<DcmDataset>> answers, quint16 final = 0);
    void setRepeatedAnswer(std::unique_ptr<DcmDataset> answer, int count, quint16 final = 0);
    void setPendingBeforeClose(int count) { m_pendingBeforeClose = count; }
    void setMatchInterval(std::chrono::milliseconds interval) { m_matchInterval = interval; }
    // The status a C-STORE (the program's removal) is answered with; -1: never answered.
    void setStoreStatus(int status) { m_storeStatus = status; }
    // The statuses a performed procedure step's N-CREATE and N-SET are answered with.
    void setStepStatuses(quint16 create, quint16 set)
    {
        m_createStatus = create;
        m_setStatus = set;
    }
    void setRawReply(const QByteArray& bytes) { m_rawReply = bytes; }

    // For the next C-FIND, while the server runs; not to or from RawReply.
    void setMode(Mode mode) { m_mode = mode; }

    [[nodiscard]] bool start(); // serves on its own thread until stop() or destruction
    void stop();
    [[nodiscard]] quint16 port() const { return m_port; }
    // Requests that reached the server; below DICOM, each connection counts as an association.
    [[nodiscard]] int associationRequests() const { return m_associationRequests; }
    [[nodiscard]] int findRequests() const { return m_findRequests; }
    [[nodiscard]] int storeRequests() const { return m_storeRequests; }
    [[nodiscard]] int releaseRequests() const { return m_releaseRequests; }
    // The entry key (0019,0030) of each C-STORE, in order.
    [[nodiscard]] QStringList storedKeys();

private:
    class Server;
    class Transport;
    friend class Server;

    void runRawServer(int listenSocket);
    bool pause(std::chrono::milliseconds time); // false when stop() came first
    void waitForStop();                         // for the modes that hang on purpose
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
    quint16 m_createStatus = 0x0000;
    quint16 m_setStatus = 0x0000;
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
// Writes a worklist entry scheduled for today as a file for kelvara-wlserver --dir: born on
// `birthDate` (YYYYMMDD), its step described as `step`; an empty `uid` leaves the key out.
bool writeTodaysEntry(const QString& path, const char* id, const char* name, const char* birthDate,
                      const char* uid, const char* step);
