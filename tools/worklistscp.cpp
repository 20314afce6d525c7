#include "worklistscp.h"

#include "datasetlimits.h"
#include "requestlog.h"
#include "responsebuilder.h"
#include "shutdownsignal.h"
#include "textutil.h"
#include "worklistmatcher.h"
#include "workliststore.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <sys/socket.h>

namespace {

constexpr Uint16 kStatusCannotProcess = 0xC000;
constexpr Uint16 kStatusOutOfResources = 0xA700;
// Responses between two looks for a C-CANCEL from the client.
constexpr size_t kCancelCheckInterval = 64;

// Collects a received data set's bytes, up to a little more than the limit: the progress
// callback cuts the connection as soon as the limit is passed.
class StringConsumer final : public DcmConsumer
{
public:
    OFBool good() const override { return OFTrue; }
    OFCondition status() const override { return EC_Normal; }
    OFBool isFlushed() const override { return OFTrue; }
    offile_off_t avail() const override { return 1 << 30; }
    offile_off_t write(const void* buffer, offile_off_t length) override
    {
        const auto room =
            2 * datasetlimits::kMaxBytes - std::min(bytes.size(), 2 * datasetlimits::kMaxBytes);
        bytes.append(static_cast<const char*>(buffer), std::min<std::size_t>(room, length));
        return length;
    }
    void flush() override {}

    std::string bytes;
};

class StringOutputStream final : public DcmOutputStream
{
public:
    explicit StringOutputStream(DcmConsumer* consumer) : DcmOutputStream(consumer) {}
};

struct SizeGuard
{
    int socket;
    bool exceeded = false;
};

void checkSize(void* context, unsigned long bytesRead)
{
    auto* guard = static_cast<SizeGuard*>(context);
    if (bytesRead > datasetlimits::kMaxBytes && !guard->exceeded) {
        guard->exceeded = true;
        shutdown(guard->socket, SHUT_RDWR);
    }
}

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

// An Error Comment (0000,0902) for a response; the client shows it beside the status.
std::unique_ptr<DcmDataset> comment(const std::string& text)
{
    auto detail = std::make_unique<DcmDataset>();
    detail->putAndInsertString(DCM_ErrorComment, text.substr(0, 64).c_str());
    return detail;
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

WorklistScp::WorklistScp(const std::string& aeTitle, int dimseTimeoutSeconds, WorklistStore& store,
                         const ShutdownSignal& signal, const RequestLog& log)
    : m_aeTitle(aeTitle), m_store(store), m_signal(signal), m_log(log)
{
    DcmSCPConfig& config = getConfig();
    config.setAETitle(aeTitle.c_str());
    config.setRespondWithCalledAETitle(OFFalse);
    config.setHostLookupEnabled(OFFalse);
    config.setACSETimeout(30);
    // A client that goes silent in the middle of an exchange is dropped; the association's total
    // deadline (AssociationServer) bounds it further.
    config.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    config.setDIMSETimeout(static_cast<Uint32>(dimseTimeoutSeconds));
    const OFList<OFString> syntaxes = transferSyntaxes();
    config.addPresentationContext(UID_FINDModalityWorklistInformationModel, syntaxes);
    config.addPresentationContext(UID_VerificationSOPClass, syntaxes);
    config.addPresentationContext(UID_ComputedRadiographyImageStorage, syntaxes);
}

OFCondition WorklistScp::serve(T_ASC_Association* association, int socket)
{
    m_association = association;
    m_socket = socket;
    const OFCondition cond = run(association);
    m_association = nullptr;
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
        why =
            "called AE title \"" + textutil::forLog(m_rejectedCalledAe) + "\" is not " + m_aeTitle;
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
        m_log.line("association from " + peer() + " (" + textutil::forLog(getPeerIP().c_str()) +
                   ") rejected: " + why);
    DcmSCP::refuseAssociation(reason);
}

std::string WorklistScp::peer() const
{
    return textutil::forLog(textutil::trimmed(getPeerAETitle().c_str()));
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

OFCondition WorklistScp::receiveDataSet(T_ASC_PresentationContextID presId,
                                        std::unique_ptr<DcmDataset>& dataset, std::string& why)
{
    StringConsumer consumer;
    StringOutputStream stream(&consumer);
    SizeGuard guard{m_socket};
    T_ASC_PresentationContextID dataPresId = 0;
    OFCondition cond = DIMSE_receiveDataSetInFile(m_association, getConfig().getDIMSEBlockingMode(),
                                                  static_cast<int>(getConfig().getDIMSETimeout()),
                                                  &dataPresId, &stream, checkSize, &guard);
    if (guard.exceeded) {
        why = "request larger than " + std::to_string(datasetlimits::kMaxBytes) +
              " bytes, association aborted";
        return cond.bad() ? cond : DIMSE_RECEIVEFAILED;
    }
    if (cond.bad()) {
        why = std::string("no data set received: ") + cond.text();
        return cond;
    }
    if (dataPresId != presId) {
        why = "data set on another presentation context, association aborted";
        return DIMSE_BADDATA;
    }
    DcmPresentationContextInfo info;
    if (!getPresentationContextInfo(m_association, presId, info)) {
        why = "unknown presentation context, association aborted";
        return DIMSE_BADDATA;
    }
    const E_TransferSyntax syntax = DcmXfer(info.acceptedTransferSyntax.c_str()).getXfer();
    if (!datasetlimits::parse(consumer.bytes, syntax, dataset, why))
        why = "refused: " + why;
    return EC_Normal;
}

OFCondition WorklistScp::handleFind(T_DIMSE_C_FindRQ& request, T_ASC_PresentationContextID presId)
{
    std::unique_ptr<DcmDataset> identifier;
    std::string why;
    OFCondition cond = receiveDataSet(presId, identifier, why);
    if (cond.bad()) {
        m_log.line("C-FIND from " + peer() + ": " + why);
        return cond;
    }
    if (!identifier) {
        m_log.line("C-FIND from " + peer() + ": identifier " + why);
        return sendFINDResponse(presId, request.MessageID, request.AffectedSOPClassUID, nullptr,
                                kStatusCannotProcess, comment(why).get());
    }

    m_store.refresh();
    const auto entries = m_store.entries();
    WorklistMatcher::toUtf8(*identifier);
    const WorklistMatcher matcher(*identifier);
    ResponseBuilder builder(*identifier, matcher);
    size_t matches = 0;
    bool cancelled = false;
    for (const auto& entry : *entries) {
        if (m_signal.stopRequested())
            return makeOFCondition(OFM_dcmnet, 1001, OF_error, "server is stopping");
        if (!matcher.matches(*entry))
            continue;
        cond = sendFINDResponse(presId, request.MessageID, request.AffectedSOPClassUID,
                                &builder.build(*entry), STATUS_Pending);
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
    std::unique_ptr<DcmDataset> dataset;
    std::string why;
    const OFCondition cond = receiveDataSet(presId, dataset, why);
    if (cond.bad()) {
        m_log.line("C-STORE from " + peer() + ": " + why);
        return cond;
    }
    auto respond = [&](Uint16 status, const std::string& text) {
        return sendSTOREResponse(presId, request.MessageID, request.AffectedSOPClassUID,
                                 request.AffectedSOPInstanceUID, status, comment(text).get());
    };
    if (!dataset) {
        m_log.line("C-STORE from " + peer() + ": data set " + why);
        return respond(kStatusCannotProcess, why);
    }
    if (rawValue(*dataset, DcmTagKey(0x0019, 0x0010)) != "REMOVE") {
        m_log.line("C-STORE from " + peer() + ": no removal marker, refused");
        return respond(kStatusCannotProcess, "no removal marker, nothing stored");
    }

    const std::string key = rawValue(*dataset, DcmTagKey(0x0019, 0x0030));
    const std::string prefix = "REMOVE " + textutil::forLog(key) + " from " + peer() + ": ";
    const WorklistStore::RemoveResult result = m_store.removeByStudyUid(key);
    for (const std::string& entry : result.removed)
        m_log.line(prefix + "removed " + entry);
    if (!result.failures.empty()) {
        m_log.line(prefix + "failed: cannot delete " + result.failures.front());
        return respond(kStatusOutOfResources,
                       "cannot delete " + std::to_string(result.failures.size()) + " entries");
    }
    if (result.removed.empty()) {
        m_log.line(prefix + "not found");
        return respond(kStatusNoSuchEntry,
                       key.empty() ? "empty key, nothing removed" : "no entry with this key");
    }
    const std::string count = std::to_string(result.removed.size()) +
                              (result.removed.size() == 1 ? " entry removed" : " entries removed");
    m_log.line(prefix + count);
    return respond(STATUS_Success, count);
}
