#include "worklistscp.h"

#include "serverlog.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dul.h>

#include <cstdio>

ServerContext* WorklistScp::s_context = nullptr;

namespace {

std::string describe(const std::vector<WorklistEntry>& removed)
{
    std::string text;
    for (const WorklistEntry& entry : removed)
        text += (text.empty() ? "" : ", ") + entry.studyUid + "/" + entry.stepId;
    return text;
}

} // namespace

OFCondition WorklistScp::run(T_ASC_Association* association)
{
    m_connection = DUL_getTransportConnection(association->DULassociation);
    return DcmThreadSCP::run(association);
}

std::string WorklistScp::peer() const
{
    return serverlog::escaped(getPeerAETitle().c_str());
}

OFBool WorklistScp::checkCalledAETitleAccepted(const OFString& calledAe)
{
    if (calledAe == s_context->aeTitle.c_str())
        return OFTrue;
    serverlog::line("association from " + peer() + " (" + getPeerIP().c_str() +
                    ") rejected: called AE title \"" + serverlog::escaped(calledAe.c_str()) + "\"");
    return OFFalse;
}

void WorklistScp::notifyRECEIVEProgress(unsigned long byteCount)
{
    // Ending the connection here ends the read at once, before a huge or deeply nested data set
    // costs more memory or stack.
    if (byteCount > kMaxRequestBytes && m_connection) {
        serverlog::line("request from " + peer() + " larger than " +
                        std::to_string(kMaxRequestBytes) + " bytes, association cut");
        m_connection->closeTransportConnection();
        m_connection = nullptr;
    }
}

OFCondition WorklistScp::handleIncomingCommand(T_DIMSE_Message* message,
                                               const DcmPresentationContextInfo& info)
{
    const T_ASC_PresentationContextID context = info.presentationContextID;
    switch (message->CommandField) {
    case DIMSE_C_FIND_RQ:
        return find(message->msg.CFindRQ, context);
    case DIMSE_C_STORE_RQ:
        return store(message->msg.CStoreRQ, context);
    case DIMSE_N_CREATE_RQ:
        return create(message->msg.NCreateRQ, context);
    case DIMSE_N_SET_RQ:
        return set(message->msg.NSetRQ, context);
    default:
        break;
    }
    return DcmThreadSCP::handleIncomingCommand(message, info);
}

OFCondition WorklistScp::find(T_DIMSE_C_FindRQ& request, T_ASC_PresentationContextID context)
{
    OFCondition result;
    const std::unique_ptr<DcmDataset> identifier = receive(context, result);
    if (!identifier)
        return result;
    WorklistEntry query;
    query.readKeys(*identifier);
    const Worklist& worklist = s_context->worklist;
    const std::vector<WorklistEntry> found = worklist.find(query);
    for (const WorklistEntry& entry : found) {
        // Every attribute of the entry goes out, whatever the query asked for: a client finds
        // all it needs for a performed procedure step.
        const std::unique_ptr<DcmDataset> answer = worklist.dataset(entry);
        result = sendFINDResponse(context, request.MessageID, request.AffectedSOPClassUID,
                                  answer.get(), STATUS_FIND_Pending_MatchesAreContinuing);
        if (result.bad())
            return result;
    }
    serverlog::line("C-FIND from " + peer() + ": " + std::to_string(found.size()) + " matches");
    return sendFINDResponse(context, request.MessageID, request.AffectedSOPClassUID, nullptr,
                            STATUS_Success);
}

OFCondition WorklistScp::store(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID context)
{
    OFCondition result;
    const std::unique_ptr<DcmDataset> object = receive(context, result);
    if (!object)
        return result;
    const Response response{DIMSE_C_STORE_RSP, request.MessageID, request.AffectedSOPClassUID,
                            request.AffectedSOPInstanceUID};
    if (textOf(*object, DcmTagKey(0x0019, 0x0010)) != "REMOVE") {
        serverlog::line("C-STORE from " + peer() + ": no removal marker, refused");
        return respond(context, response, STATUS_STORE_Error_CannotUnderstand,
                       "not a removal object");
    }
    // Every step of the study goes: the removal object names the study only. Both attributes lie
    // in the private creator range, which the toolkit reads as LO whatever the transfer syntax.
    const std::string key = textOf(*object, DcmTagKey(0x0019, 0x0030));
    const std::vector<WorklistEntry> removed = s_context->worklist.remove(key);
    const std::string count =
        std::to_string(removed.size()) + (removed.size() == 1 ? " entry" : " entries");
    serverlog::line(
        "REMOVE " + serverlog::escaped(key) + " from " + peer() + ": " +
        (removed.empty() ? "not found" : count + " removed (" + describe(removed) + ")"));
    return respond(context, response, removed.empty() ? 0xC210 : STATUS_Success,
                   removed.empty() ? "no entry with this key" : count + " removed");
}

OFCondition WorklistScp::create(T_DIMSE_N_CreateRQ& request, T_ASC_PresentationContextID context)
{
    OFCondition result;
    const std::unique_ptr<DcmDataset> dataset = receive(context, result, "ncreate");
    if (!dataset)
        return result;
    std::string uid = request.AffectedSOPInstanceUID;
    if (!(request.opts & O_NCREATE_AFFECTEDSOPINSTANCEUID) || uid.empty()) {
        char generated[100];
        uid = dcmGenerateUniqueIdentifier(generated, SITE_INSTANCE_UID_ROOT);
    }
    const std::string status = textOf(*dataset, DCM_PerformedProcedureStepStatus);
    StepKeys steps;
    DcmItem* item = nullptr;
    for (unsigned long i = 0;
         dataset->findAndGetSequenceItem(DCM_ScheduledStepAttributesSequence, item, i).good(); ++i)
        steps.emplace_back(textOf(*item, DCM_StudyInstanceUID),
                           textOf(*item, DCM_ScheduledProcedureStepID));
    const bool created =
        s_context->worklist.createPerformedStep(uid, status, steps) == Worklist::StepResult::Done;
    serverlog::line("MPPS N-CREATE " + serverlog::escaped(uid) + " from " + peer() + ": " +
                    (created ? serverlog::escaped(status) : "refused, instance exists"));
    return respond(context,
                   {DIMSE_N_CREATE_RSP, request.MessageID, request.AffectedSOPClassUID, uid},
                   created ? STATUS_N_Success : STATUS_N_DuplicateSOPInstance);
}

OFCondition WorklistScp::set(T_DIMSE_N_SetRQ& request, T_ASC_PresentationContextID context)
{
    OFCondition result;
    const std::unique_ptr<DcmDataset> dataset = receive(context, result, "nset");
    if (!dataset)
        return result;
    const std::string uid = request.RequestedSOPInstanceUID;
    const std::string status = textOf(*dataset, DCM_PerformedProcedureStepStatus);
    std::vector<WorklistEntry> removed;
    const Worklist::StepResult outcome = s_context->worklist.setPerformedStep(uid, status, removed);
    const Response response{DIMSE_N_SET_RSP, request.MessageID, request.RequestedSOPClassUID, uid};
    const std::string what = "MPPS N-SET " + serverlog::escaped(uid) + " from " + peer() + ": ";
    if (outcome == Worklist::StepResult::Unknown) {
        serverlog::line(what + "refused, no such instance");
        return respond(context, response, STATUS_N_NoSuchSOPInstance);
    }
    if (outcome == Worklist::StepResult::Final) {
        serverlog::line(what + "refused, already final");
        return respond(context, response, STATUS_N_ProcessingFailure,
                       "Performed Procedure Step Object may no longer be updated", 0xA710);
    }
    serverlog::line(what + serverlog::escaped(status.empty() ? "updated" : status) +
                    (removed.empty() ? "" : ", removed " + describe(removed)));
    return respond(context, response, STATUS_N_Success);
}

std::unique_ptr<DcmDataset> WorklistScp::receive(T_ASC_PresentationContextID context,
                                                 OFCondition& result, const char* kind)
{
    DcmDataset* received = nullptr;
    result = receiveDIMSEDataset(&context, &received);
    std::unique_ptr<DcmDataset> dataset(received);
    if (result.bad())
        dataset.reset();
    if (dataset && kind && !s_context->mppsFolder.empty()) {
        char name[32];
        std::snprintf(name, sizeof name, "/%04u-%s.dcm", ++s_context->mppsFiles, kind);
        const std::string path = s_context->mppsFolder + name;
        if (dataset->saveFile(path.c_str(), EXS_LittleEndianExplicit).bad())
            serverlog::line("cannot write " + path);
    }
    return dataset;
}

OFCondition WorklistScp::respond(T_ASC_PresentationContextID context, const Response& response,
                                 Uint16 status, const std::string& comment, Uint16 errorId)
{
    T_DIMSE_Message message{};
    message.CommandField = response.command;
    // The three responses name the same fields alike.
    auto fill = [&](auto& rsp) {
        rsp.MessageIDBeingRespondedTo = response.messageId;
        OFStandard::strlcpy(rsp.AffectedSOPClassUID, response.sopClass, sizeof(DIC_UI));
        OFStandard::strlcpy(rsp.AffectedSOPInstanceUID, response.instance.c_str(), sizeof(DIC_UI));
        rsp.DimseStatus = status;
        rsp.DataSetType = DIMSE_DATASET_NULL;
        rsp.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
    };
    if (response.command == DIMSE_C_STORE_RSP)
        fill(message.msg.CStoreRSP);
    else if (response.command == DIMSE_N_CREATE_RSP)
        fill(message.msg.NCreateRSP);
    else
        fill(message.msg.NSetRSP);
    DcmDataset detail;
    if (!comment.empty())
        detail.putAndInsertString(DCM_ErrorComment, comment.c_str());
    if (errorId)
        detail.putAndInsertUint16(DCM_ErrorID, errorId);
    return sendDIMSEMessage(context, &message, nullptr, comment.empty() ? nullptr : &detail);
}
