#include "faultscp.h"

#include "testserver.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/scp.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// Plain TCP, like the toolkit's own, but it tells the owner the socket of each accepted
// connection, so faults below DICOM can be written straight to the wire mid-exchange.
class FaultScp::Transport final : public DcmTransportLayer
{
public:
    explicit Transport(std::atomic<int>& socket) : m_socket(socket) {}
    DcmTransportConnection* createConnection(DcmNativeSocketType openSocket, OFBool) override
    {
        m_socket = openSocket;
        return new DcmTCPConnection(openSocket);
    }

private:
    std::atomic<int>& m_socket;
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
        config.setTransportLayer(owner.m_transport.get());
    }

protected:
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
        const bool cutShort = mode == Mode::CloseAfterPending || mode == Mode::DropAfterPending ||
                              mode == Mode::GarbageAfterPending;
        int sent = 0;
        const auto sendPending = [&](DcmDataset* answer) {
            return sendFINDResponse(info.presentationContextID, request.MessageID,
                                    request.AffectedSOPClassUID, answer, 0xFF00);
        };
        for (const auto& answer : m_owner.m_answers) {
            if (cutShort && sent == m_owner.m_pendingBeforeClose)
                break;
            cond = sendPending(answer.get());
            if (cond.bad())
                return cond;
            ++sent;
        }
        for (int i = 0; i < m_owner.m_repeatCount && !m_owner.m_stopping; ++i) {
            if (cutShort && sent == m_owner.m_pendingBeforeClose)
                break;
            cond = sendPending(m_owner.m_repeatedAnswer.get());
            if (cond.bad())
                return cond;
            ++sent;
        }
        if (mode == Mode::DropAfterPending) {
            // No A-ABORT, no release: the connection just ends, as when a server process dies.
            ::shutdown(m_owner.m_socket, SHUT_RDWR);
            return EC_IllegalCall;
        }
        if (mode == Mode::GarbageAfterPending) {
            // A P-DATA-TF of 10 bytes whose only PDV item claims 255: no reader can take it.
            const unsigned char garbled[] = {0x04, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00,
                                             0x00, 0xFF, 0x01, 0x03, 0xDE, 0xAD, 0xBE, 0xEF};
            (void)::send(m_owner.m_socket, garbled, sizeof(garbled), MSG_NOSIGNAL);
            // Whatever the program makes of it, it must be the program that ends the exchange.
            m_owner.waitForPeerClose(m_owner.m_socket);
            return EC_IllegalCall;
        }
        if (cutShort)
            return EC_IllegalCall;
        return sendFINDResponse(info.presentationContextID, request.MessageID,
                                request.AffectedSOPClassUID, nullptr, m_owner.m_finalStatus);
    }

    OFCondition handleStore(T_DIMSE_C_StoreRQ& request, const DcmPresentationContextInfo& info)
    {
        DcmDataset* object = nullptr;
        OFCondition cond = receiveSTORERequest(request, info.presentationContextID, object);
        delete object;
        if (cond.bad())
            return cond;
        ++m_owner.m_storeRequests;
        switch (m_owner.m_storeReply) {
        case StoreReply::NeverAnswer:
            m_owner.waitForStop();
            return EC_IllegalCall;
        case StoreReply::Abort:
            return EC_IllegalCall;
        case StoreReply::Status:
            break;
        }
        return sendSTOREResponse(info.presentationContextID, request, m_owner.m_storeStatus);
    }

private:
    FaultScp& m_owner;
};

FaultScp::FaultScp(Mode mode) : m_mode(mode), m_transport(std::make_unique<Transport>(m_socket)) {}

FaultScp::~FaultScp()
{
    stop();
}

void FaultScp::setFindAnswers(std::vector<std::unique_ptr<DcmDataset>> answers, quint16 finalStatus)
{
    m_answers = std::move(answers);
    m_finalStatus = finalStatus;
}

void FaultScp::setRepeatedAnswer(std::unique_ptr<DcmDataset> answer, int count, quint16 finalStatus)
{
    m_repeatedAnswer = std::move(answer);
    m_repeatCount = m_repeatedAnswer ? count : 0;
    m_finalStatus = finalStatus;
}

void FaultScp::setStoreReply(StoreReply reply, quint16 status)
{
    m_storeReply = reply;
    m_storeStatus = status;
}

bool FaultScp::start()
{
    m_stopping = false;
    if (m_mode == Mode::SilentAfterConnect || m_mode == Mode::MalformedPdu) {
        // Port 0 and read back what the system chose.
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
    if (m_thread.joinable())
        m_thread.join();
    m_server.reset();
}

void FaultScp::waitForStop()
{
    std::unique_lock lock(m_mutex);
    m_stopped.wait(lock, [this] { return m_stopping.load(); });
}

void FaultScp::waitForPeerClose(int socket)
{
    char buffer[4096];
    while (!m_stopping) {
        pollfd readable{socket, POLLIN, 0};
        const int ready = ::poll(&readable, 1, 100);
        if (ready < 0)
            return;
        if (ready == 0)
            continue;
        if (::recv(socket, buffer, sizeof(buffer), MSG_DONTWAIT) <= 0)
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
        if (m_mode == Mode::MalformedPdu) {
            char request[4096];
            pollfd readable{client, POLLIN, 0};
            if (::poll(&readable, 1, 5000) > 0)
                (void)::recv(client, request, sizeof(request), 0);
            // An A-ASSOCIATE-AC whose announced length does not fit its content.
            const unsigned char garbled[] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0A, 0xDE, 0xAD,
                                             0xBE, 0xEF, 0x00, 0x01, 0xFF, 0xFF, 0x10, 0x00};
            (void)::send(client, garbled, sizeof(garbled), MSG_NOSIGNAL);
        }
    }
    for (const int client : clients)
        ::close(client);
    ::close(listenSocket);
}
