#include "worklistscp.h"

#include "listensocket.h"
#include "requestlog.h"
#include "responsebuilder.h"
#include "shutdownsignal.h"
#include "textutil.h"
#include "worklistmatcher.h"
#include "workliststore.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <memory>

namespace {

constexpr Uint16 kStatusCannotProcess = 0xC000;
constexpr Uint16 kStatusOutOfResources = 0xA700;
// Responses between two looks for a C-CANCEL from the client.
constexpr size_t kCancelCheckInterval = 64;

// The value of an attribute as raw bytes, whatever VR it arrived with (over Implicit VR the
// private removal attributes may come as UN), without surrounding blanks and NULs.
std::string rawValue(DcmItem& item, const DcmTagKey& tag)
{
    DcmElement* element = nullptr;
    if (item.findAndGetElement(tag, element).bad() || !element)
        return {};
    const char* data = nullptr;
    Uint32 length = 0;
    if (element->isaString()) {
        char* text = nullptr;
        if (element->getString(text, length).bad())
            return {};
        data = text;
    } else {
        Uint8* bytes = nullptr;
        if (element->getUint8Array(bytes).bad())
            return {};
        data = reinterpret_cast<const char*>(bytes);
        length = element->getLength();
    }
    if (!data)
        return {};
    return std::string(textutil::trimmed(std::string_view(data, length)));
}

OFList<OFString> transferSyntaxes()
{
    OFList<OFString> syntaxes;
    syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
    syntaxes.push_back(UID_LittleEndianImplicitTransferSyntax);
    syntaxes.push_back(UID_BigEndianExplicitTransferSyntax);
    return syntaxes;
}

} // namespace

WorklistScp::WorklistScp(const std::string& aeTitle, WorklistStore& store, ListenSocket& socket,
                         ShutdownSignal& signal, const RequestLog& log)
    : m_aeTitle(aeTitle), m_store(store), m_socket(socket), m_signal(signal), m_log(log)
{
    DcmSCPConfig& config = getConfig();
    config.setAETitle(aeTitle.c_str());
    config.setRespondWithCalledAETitle(OFFalse);
    config.setHostLookupEnabled(OFFalse);
    config.setACSETimeout(30);
    // A client that goes silent in the middle of an exchange is dropped after a minute instead of
    // blocking the (single) server forever.
    config.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    config.setDIMSETimeout(60);
    config.setConnectionBlockingMode(DUL_NOBLOCK);
    config.setConnectionTimeout(10);
    const OFList<OFString> syntaxes = transferSyntaxes();
    config.addPresentationContext(UID_FINDModalityWorklistInformationModel, syntaxes);
    config.addPresentationContext(UID_VerificationSOPClass, syntaxes);
    config.addPresentationContext(UID_ComputedRadiographyImageStorage, syntaxes);
}

OFCondition WorklistScp::run()
{
    OFCondition cond = openListenPort();
    if (cond.good())
        cond = acceptAssociations();
    return cond;
}

OFCondition WorklistScp::openListenPort()
{
    // With an external socket handle set, DCMTK opens no listener of its own.
    dcmExternalSocketHandle.set(m_socket.fd());
    const OFCondition cond = DcmSCP::openListenPort();
    dcmExternalSocketHandle.set(-1);
    return cond;
}

OFCondition WorklistScp::waitForAssociationRQ(T_ASC_Network* network)
{
    if (m_signal.stopRequested())
        return DUL_NOASSOCIATIONREQUEST;
    const int connection = m_socket.accept(m_signal.wakeFd(), 500);
    if (connection < 0)
        return DUL_NOASSOCIATIONREQUEST;
    m_rejectedCalledAe.clear();
    m_signal.watchConnection(connection);
    // DCMTK takes the accepted socket as its connection and closes it when the association ends.
    dcmExternalSocketHandle.set(connection);
    const OFCondition cond = DcmSCP::waitForAssociationRQ(network);
    dcmExternalSocketHandle.set(-1);
    m_signal.releaseConnection();
    return cond;
}

OFBool WorklistScp::checkCalledAETitleAccepted(const OFString& calledAE)
{
    const std::string called(textutil::trimmed(calledAE.c_str()));
    if (called == m_aeTitle)
        return OFTrue;
    m_rejectedCalledAe = called;
    return OFFalse;
}

void WorklistScp::refuseAssociation(const DcmRefuseReasonType reason)
{
    std::string why;
    switch (reason) {
    case DCMSCP_CALLED_AE_TITLE_NOT_RECOGNIZED:
        why = "called AE title \"" + m_rejectedCalledAe + "\" is not " + m_aeTitle;
        break;
    case DCMSCP_NO_PRESENTATION_CONTEXTS:
        why = "no acceptable presentation context";
        break;
    case DCMSCP_BAD_APPLICATION_CONTEXT_NAME:
        why = "unknown application context";
        break;
    default:
        why = "refused (reason " + std::to_string(static_cast<int>(reason)) + ")";
        break;
    }
    // A connection cut short by a stop is no client's doing: nothing to report.
    if (!m_signal.stopRequested())
        m_log.line("association from " + peer() + " (" + getPeerIP().c_str() +
                   ") rejected: " + why);
    DcmSCP::refuseAssociation(reason);
}

OFBool WorklistScp::stopAfterConnectionTimeout()
{
    return m_signal.stopRequested();
}

OFBool WorklistScp::stopAfterCurrentAssociation()
{
    return m_signal.stopRequested();
}

std::string WorklistScp::peer() const
{
    return std::string(textutil::trimmed(getPeerAETitle().c_str()));
}

OFCondition WorklistScp::handleIncomingCommand(T_DIMSE_Message* message,
                                               const DcmPresentationContextInfo& info)
{
    switch (message->CommandField) {
    case DIMSE_C_ECHO_RQ:
        m_log.line("C-ECHO from " + peer());
        return handleECHORequest(message->msg.CEchoRQ, info.presentationContextID);
    case DIMSE_C_FIND_RQ:
        return handleFind(message->msg.CFindRQ, info.presentationContextID);
    case DIMSE_C_STORE_RQ:
        return handleStore(message->msg.CStoreRQ, info.presentationContextID);
    default:
        m_log.line("unsupported request from " + peer() + ", association aborted");
        return DcmSCP::handleIncomingCommand(message, info);
    }
}

OFCondition WorklistScp::handleFind(T_DIMSE_C_FindRQ& request, T_ASC_PresentationContextID presId)
{
    DcmDataset* received = nullptr;
    OFCondition cond = receiveFINDRequest(request, presId, received);
    std::unique_ptr<DcmDataset> identifier(received);
    if (cond.bad() || !identifier) {
        m_log.line("C-FIND from " + peer() + ": no identifier received");
        return cond.bad() ? cond : DIMSE_BADDATA;
    }

    m_store.refresh();
    WorklistMatcher::toUtf8(*identifier);
    const WorklistMatcher matcher(*identifier);
    ResponseBuilder builder(*identifier, matcher);
    size_t matches = 0;
    bool cancelled = false;
    for (const WorklistEntry& entry : m_store.entries()) {
        if (m_signal.stopRequested())
            return makeOFCondition(OFM_dcmnet, 1001, OF_error, "server is stopping");
        if (!matcher.matches(entry))
            continue;
        cond = sendFINDResponse(presId, request.MessageID, request.AffectedSOPClassUID,
                                &builder.build(entry), STATUS_Pending);
        if (cond.bad()) {
            m_log.line("C-FIND from " + peer() + ": failed after " + std::to_string(matches) +
                       " matches: " + cond.text());
            return cond;
        }
        ++matches;
        if (matches % kCancelCheckInterval == 0 &&
            checkForCANCEL(presId, request.MessageID).good()) {
            cancelled = true;
            break;
        }
    }
    const Uint16 status =
        cancelled ? STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest : STATUS_Success;
    cond =
        sendFINDResponse(presId, request.MessageID, request.AffectedSOPClassUID, nullptr, status);
    m_log.line("C-FIND from " + peer() + ": " + std::to_string(matches) + " matches" +
               (cancelled ? ", cancelled" : ""));
    return cond;
}

OFCondition WorklistScp::handleStore(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID presId)
{
    DcmDataset* received = nullptr;
    OFCondition cond = receiveSTORERequest(request, presId, received);
    std::unique_ptr<DcmDataset> dataset(received);
    if (cond.bad() || !dataset) {
        m_log.line("C-STORE from " + peer() + ": no data set received");
        return cond.bad() ? cond : DIMSE_BADDATA;
    }

    Uint16 status = STATUS_Success;
    if (rawValue(*dataset, DcmTagKey(0x0019, 0x0010)) == "REMOVE") {
        const std::string key = rawValue(*dataset, DcmTagKey(0x0019, 0x0030));
        const WorklistStore::RemoveResult result = m_store.removeByStudyUid(key);
        std::string outcome;
        if (!result.failures.empty()) {
            status = kStatusOutOfResources;
            outcome = "failed: cannot delete " + result.failures.front();
        } else if (result.removed == 1) {
            outcome = "removed";
        } else if (result.removed > 1) {
            outcome = "removed " + std::to_string(result.removed) + " entries";
        } else {
            outcome = "not found";
        }
        m_log.line("REMOVE " + key + " from " + peer() + ": " + outcome);
    } else {
        status = kStatusCannotProcess;
        m_log.line("C-STORE from " + peer() + ": no removal marker, refused");
    }
    return sendSTOREResponse(presId, request, status);
}
