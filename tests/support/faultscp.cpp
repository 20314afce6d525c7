#include "faultscp.h"

#include "testserver.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scp.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
    }

protected:
    void notifyAssociationRequest(const T_ASC_Parameters& params,
                                  DcmSCPActionType& desiredAction) override
    {
        ++m_owner.m_associationRequests;
        DcmSCP::notifyAssociationRequest(params, desiredAction);
        if (m_owner.m_mode == Mode::RejectAssociation)
            desiredAction = DCMSCP_ACTION_REFUSE_ASSOCIATION;
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
        if (message->CommandField != DIMSE_C_FIND_RQ)
            return DcmSCP::handleIncomingCommand(message, info);
        T_DIMSE_C_FindRQ& request = message->msg.CFindRQ;
        DcmDataset* query = nullptr;
        OFCondition cond = receiveFINDRequest(request, info.presentationContextID, query);
        delete query;
        if (cond.bad())
            return cond;
        ++m_owner.m_findRequests;

        if (m_owner.m_mode == Mode::NeverAnswer) {
            m_owner.waitForStop();
            return EC_IllegalCall; // makes the base class abort the association
        }
        const bool closing = m_owner.m_mode == Mode::CloseAfterPending;
        int sent = 0;
        for (const auto& answer : m_owner.m_answers) {
            if (closing && sent == m_owner.m_pendingBeforeClose)
                break;
            cond = sendFINDResponse(info.presentationContextID, request.MessageID,
                                    request.AffectedSOPClassUID, answer.get(), 0xFF00);
            if (cond.bad())
                return cond;
            ++sent;
        }
        if (closing)
            return EC_IllegalCall;
        return sendFINDResponse(info.presentationContextID, request.MessageID,
                                request.AffectedSOPClassUID, nullptr, m_owner.m_finalStatus);
    }

private:
    FaultScp& m_owner;
};

FaultScp::FaultScp(Mode mode) : m_mode(mode) {}

FaultScp::~FaultScp()
{
    stop();
}

void FaultScp::setFindAnswers(std::vector<std::unique_ptr<DcmDataset>> answers, quint16 finalStatus)
{
    m_answers = std::move(answers);
    m_finalStatus = finalStatus;
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
