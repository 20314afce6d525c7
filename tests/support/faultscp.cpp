#include "faultscp.h"

#include "testserver.h"

#include <QDate>
#include <QFile>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/scp.h>

#include <arpa/inet.h>
#include <array>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool sendAll(int socket, const QByteArray& bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(socket, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

} // namespace

// Plain TCP, like the toolkit's own, but it tells the owner the socket of each accepted
// connection, so faults below DICOM can be written straight to the wire mid-exchange.
class FaultScp::Transport final : public DcmTransportLayer
{
public:
    explicit Transport(FaultScp& owner) : m_owner(owner) {}
    DcmTransportConnection* createConnection(DcmNativeSocketType openSocket, OFBool) override
    {
        m_owner.m_socket = openSocket;
        return new DcmTCPConnection(openSocket);
    }

private:
    FaultScp& m_owner;
};

class FaultScp::Server final : public DcmSCP
{
public:
    explicit Server(FaultScp& owner) : m_owner(owner)
    {
        DcmSCPConfig& config = getConfig();
        config.setAETitle("FAULTSCP");
        config.setRespondWithCalledAETitle(OFTrue);
        // Non-blocking accept, so the serving loop sees stop() within a second.
        config.setConnectionBlockingMode(DUL_NOBLOCK);
        config.setConnectionTimeout(1);
        config.setHostLookupEnabled(OFFalse);
        const OFList<OFString> syntaxes{UID_LittleEndianExplicitTransferSyntax,
                                        UID_LittleEndianImplicitTransferSyntax};
        addPresentationContext(UID_FINDModalityWorklistInformationModel, syntaxes);
        addPresentationContext(UID_ComputedRadiographyImageStorage, syntaxes);
        addPresentationContext(UID_ModalityPerformedProcedureStepSOPClass, syntaxes);
        config.setTransportLayer(owner.m_transport.get());
    }

protected:
    void notifyReleaseRequest() override
    {
        ++m_owner.m_releaseRequests;
        DcmSCP::notifyReleaseRequest();
    }
    void notifyAssociationRequest(const T_ASC_Parameters& params,
                                  DcmSCPActionType& desiredAction) override
    {
        ++m_owner.m_associationRequests;
        DcmSCP::notifyAssociationRequest(params, desiredAction);
    }
    OFBool checkCalledAETitleAccepted(const OFString&) override
    {
        return m_owner.m_mode != Mode::RejectAssociation;
    }
    OFBool stopAfterConnectionTimeout() override { return m_owner.m_stopping; }
    OFBool stopAfterCurrentAssociation() override { return m_owner.m_stopping; }

    OFCondition handleIncomingCommand(T_DIMSE_Message* message,
                                      const DcmPresentationContextInfo& info) override
    {
        if (message->CommandField == DIMSE_C_STORE_RQ)
            return handleStore(message->msg.CStoreRQ, info);
        if (message->CommandField == DIMSE_N_CREATE_RQ || message->CommandField == DIMSE_N_SET_RQ)
            return handleStep(*message, info);
        if (message->CommandField != DIMSE_C_FIND_RQ)
            return DcmSCP::handleIncomingCommand(message, info);
        T_DIMSE_C_FindRQ& request = message->msg.CFindRQ;
        DcmDataset* query = nullptr;
        OFCondition cond = receiveFINDRequest(request, info.presentationContextID, query);
        delete query;
        if (cond.bad())
            return cond;
        ++m_owner.m_findRequests;

        const Mode mode = m_owner.m_mode;
        if (mode == Mode::NeverAnswer) {
            m_owner.waitForStop();
            return EC_IllegalCall; // makes the base class abort the association
        }
        const bool cutShort = mode == Mode::CutAfterPending;
        int sent = 0;
        const auto sendPending = [&](DcmDataset* answer) {
            if (cutShort && sent == m_owner.m_pendingBeforeClose)
                return OFCondition(EC_IllegalCall);
            ++sent;
            if (!m_owner.pause(m_owner.m_matchInterval))
                return OFCondition(EC_IllegalCall);
            return sendFINDResponse(info.presentationContextID, request.MessageID,
                                    request.AffectedSOPClassUID, answer, 0xFF00);
        };
        for (const auto& answer : m_owner.m_answers) {
            if (sendPending(answer.get()).bad())
                break;
        }
        for (int i = 0; i < m_owner.m_repeatCount && !m_owner.m_stopping; ++i) {
            if (sendPending(m_owner.m_repeatedAnswer.get()).bad())
                break;
        }
        // Without raw bytes the connection just ends (no A-ABORT, no release), as when a server
        // process dies; after them it must be the program that ends the exchange.
        if (cutShort && m_owner.m_rawReply.isEmpty())
            ::shutdown(m_owner.m_socket, SHUT_RDWR);
        else if (cutShort && sendAll(m_owner.m_socket, m_owner.m_rawReply))
            m_owner.waitForPeerClose(m_owner.m_socket);
        if (cutShort || sent < int(m_owner.m_answers.size()) + m_owner.m_repeatCount)
            return EC_IllegalCall;
        return sendFINDResponse(info.presentationContextID, request.MessageID,
                                request.AffectedSOPClassUID, nullptr, m_owner.m_finalStatus);
    }

    OFCondition handleStore(T_DIMSE_C_StoreRQ& request, const DcmPresentationContextInfo& info)
    {
        DcmDataset* object = nullptr;
        OFCondition cond = receiveSTORERequest(request, info.presentationContextID, object);
        OFString key;
        if (object)
            object->findAndGetOFString(DcmTagKey(0x0019, 0x0030), key);
        delete object;
        if (cond.bad())
            return cond;
        {
            const std::lock_guard lock(m_owner.m_mutex);
            m_owner.m_storedKeys.push_back(QString::fromUtf8(key.c_str()));
        }
        ++m_owner.m_storeRequests;
        if (m_owner.m_storeStatus < 0) {
            m_owner.waitForStop();
            return EC_IllegalCall;
        }
        return sendSTOREResponse(info.presentationContextID, request,
                                 Uint16(m_owner.m_storeStatus));
    }

    // A performed procedure step's N-CREATE or N-SET, answered with the status set for it.
    OFCondition handleStep(const T_DIMSE_Message& request, const DcmPresentationContextInfo& info)
    {
        T_ASC_PresentationContextID context = info.presentationContextID;
        DcmDataset* attributes = nullptr;
        const OFCondition cond = receiveDIMSEDataset(&context, &attributes);
        delete attributes;
        if (cond.bad())
            return cond;
        T_DIMSE_Message response{};
        if (request.CommandField == DIMSE_N_CREATE_RQ) {
            response.CommandField = DIMSE_N_CREATE_RSP;
            T_DIMSE_N_CreateRSP& created = response.msg.NCreateRSP;
            created.MessageIDBeingRespondedTo = request.msg.NCreateRQ.MessageID;
            created.DimseStatus = m_owner.m_createStatus;
            created.DataSetType = DIMSE_DATASET_NULL;
        } else {
            response.CommandField = DIMSE_N_SET_RSP;
            T_DIMSE_N_SetRSP& set = response.msg.NSetRSP;
            set.MessageIDBeingRespondedTo = request.msg.NSetRQ.MessageID;
            set.DimseStatus = m_owner.m_setStatus;
            set.DataSetType = DIMSE_DATASET_NULL;
        }
        return sendDIMSEMessage(context, &response, nullptr);
    }

private:
    FaultScp& m_owner;
};

FaultScp::FaultScp(Mode mode) : m_mode(mode), m_transport(std::make_unique<Transport>(*this)) {}

FaultScp::~FaultScp()
{
    stop();
}

void FaultScp::setFindAnswers(std::vector<std::unique_ptr<DcmDataset>> answers, quint16 final)
{
    m_answers = std::move(answers);
    m_finalStatus = final;
}

void FaultScp::setRepeatedAnswer(std::unique_ptr<DcmDataset> answer, int count, quint16 final)
{
    m_repeatCount = answer ? count : 0;
    m_repeatedAnswer = std::move(answer);
    m_finalStatus = final;
}

bool FaultScp::start()
{
    m_stopping = false;
    if (m_mode == Mode::RawReply) {
        // Port 0 and read back what the system chose.
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof(address);
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener, 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            if (listener >= 0)
                ::close(listener);
            return false;
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, listener] { runRawServer(listener); });
        return true;
    }

    // The toolkit cannot report the port it bound for port 0: take a free one, retry if taken.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_server = std::make_unique<Server>(*this);
        m_port = TestServer::freePort();
        m_server->setPort(m_port);
        if (m_server->openListenPort().good()) {
            m_thread = std::thread([this] { m_server->acceptAssociations(); });
            return true;
        }
        m_server.reset();
    }
    return false;
}

void FaultScp::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_stopped.notify_all();
    // The toolkit waits for a connection a second at a time: one that ends at once wakes it.
    if (const int wake = m_server ? ::socket(AF_INET, SOCK_STREAM, 0) : -1; wake >= 0) {
        const sockaddr_in address = loopback(m_port);
        (void)::connect(wake, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        ::close(wake);
    }
    if (m_thread.joinable())
        m_thread.join();
    m_server.reset();
}

void FaultScp::waitForStop()
{
    std::unique_lock lock(m_mutex);
    m_stopped.wait(lock, [this] { return m_stopping.load(); });
}

QStringList FaultScp::storedKeys()
{
    const std::lock_guard lock(m_mutex);
    return m_storedKeys;
}

bool FaultScp::pause(std::chrono::milliseconds time)
{
    std::unique_lock lock(m_mutex);
    return !m_stopped.wait_for(lock, time, [this] { return m_stopping.load(); });
}

void FaultScp::waitForPeerClose(int socket)
{
    char buffer[4096];
    for (pollfd readable{socket, POLLIN, 0}; !m_stopping;) {
        const int ready = ::poll(&readable, 1, 100);
        if (ready < 0 || (ready > 0 && ::recv(socket, buffer, sizeof(buffer), MSG_DONTWAIT) <= 0))
            return;
    }
}

void FaultScp::runRawServer(int listenSocket)
{
    std::vector<int> clients;
    while (!m_stopping) {
        pollfd wait{listenSocket, POLLIN, 0};
        if (::poll(&wait, 1, 100) <= 0)
            continue;
        const int client = ::accept(listenSocket, nullptr, nullptr);
        if (client < 0)
            continue;
        clients.push_back(client);
        ++m_associationRequests; // counted as the connection arrives: nothing more is read
        if (!m_rawReply.isEmpty()) {
            // After the association request, as far as it came in at once.
            char request[4096];
            pollfd readable{client, POLLIN, 0};
            if (::poll(&readable, 1, 5000) > 0)
                (void)::recv(client, request, sizeof(request), 0);
            (void)sendAll(client, m_rawReply);
        }
    }
    for (const int client : clients)
        ::close(client);
    ::close(listenSocket);
}

std::unique_ptr<DcmDataset> worklistMatch(const char* id, const char* name, const char* uid)
{
    auto ds = std::make_unique<DcmDataset>();
    ds->putAndInsertString(DCM_PatientID, id);
    ds->putAndInsertString(DCM_PatientName, name);
    ds->putAndInsertString(DCM_PatientBirthDate, "19501205");
    ds->putAndInsertString(DCM_StudyInstanceUID, uid);
    ds->putAndInsertString(DCM_RequestedProcedureDescription, "Thorax");
    auto* step = new DcmItem;
    step->putAndInsertString(DCM_ScheduledProcedureStepDescription, "Schritt");
    ds->insertSequenceItem(DCM_ScheduledProcedureStepSequence, step);
    return ds;
}

std::vector<std::unique_ptr<DcmDataset>> threeMatches()
{
    std::vector<std::unique_ptr<DcmDataset>> answers;
    for (const auto& [id, name, uid] :
         {std::array{"A", "Alpha^Anna", "1.2.3.1"}, std::array{"B", "Beta^Bernd", "1.2.3.2"},
          std::array{"C", "Gamma^Carla", "1.2.3.3"}})
        answers.push_back(worklistMatch(id, name, uid));
    return answers;
}

bool writeTodaysEntry(const QString& path, const char* id, const char* name, const char* birthDate,
                      const char* uid, const char* step)
{
    auto entry = worklistMatch(id, name, uid);
    if (!*uid)
        delete entry->remove(DCM_StudyInstanceUID);
    entry->putAndInsertString(DCM_PatientBirthDate, birthDate);
    DcmItem* item = nullptr;
    entry->findAndGetSequenceItem(DCM_ScheduledProcedureStepSequence, item, 0);
    const QByteArray today = QDate::currentDate().toString(QStringLiteral("yyyyMMdd")).toLatin1();
    return item && item->putAndInsertString(DCM_ScheduledProcedureStepDescription, step).good() &&
           item->putAndInsertString(DCM_ScheduledProcedureStepStartDate, today.constData())
               .good() &&
           item->putAndInsertString(DCM_ScheduledProcedureStepStartTime, "120000").good() &&
           entry->saveFile(QFile::encodeName(path).constData(), EXS_LittleEndianExplicit).good();
}
