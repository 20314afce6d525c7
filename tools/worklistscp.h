#pragma once

#include "worklist.h"

#include <dcmtk/dcmnet/scpthrd.h>

#include <atomic>
#include <memory>

// A request data set larger than this ends its association.
constexpr std::size_t kMaxRequestBytes = 256 * 1024;

// What every association of the server shares. Set once before the first association.
struct ServerContext
{
    Worklist worklist;
    std::string aeTitle;
    std::string mppsFolder; // --mpps-dir; empty: N-CREATE and N-SET data sets are not kept
    std::atomic<unsigned> mppsFiles = 0;
};

// Serves one association: C-ECHO, the worklist C-FIND,
// the removal object as C-STORE, and Modality Performed Procedure Step N-CREATE and N-SET.
class WorklistScp : public DcmThreadSCP
{
public:
    static void setContext(ServerContext* context) { s_context = context; }

    OFCondition run(T_ASC_Association* association) override;

protected:
    OFCondition handleIncomingCommand(T_DIMSE_Message* message,
                                      const DcmPresentationContextInfo& info) override;
    OFBool checkCalledAETitleAccepted(const OFString& calledAe) override;
    void notifyRECEIVEProgress(unsigned long byteCount) override;

private:
    OFCondition find(T_DIMSE_C_FindRQ& request, T_ASC_PresentationContextID context);
    OFCondition store(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID context);
    OFCondition create(T_DIMSE_N_CreateRQ& request, T_ASC_PresentationContextID context);
    OFCondition set(T_DIMSE_N_SetRQ& request, T_ASC_PresentationContextID context);
    // The request's data set; nullptr (with `result` saying why) when it could not be read.
    // With `kind`, it is also kept in the --mpps-dir folder as <n>-<kind>.dcm.
    std::unique_ptr<DcmDataset> receive(T_ASC_PresentationContextID context, OFCondition& result,
                                        const char* kind = nullptr);
    struct Response
    {
        T_DIMSE_Command command; // C-STORE-RSP, N-CREATE-RSP or N-SET-RSP
        Uint16 messageId;        // of the request
        const char* sopClass;
        std::string instance;
    };
    // Sends the response with `status`, and an Error Comment (and Error ID) when given.
    OFCondition respond(T_ASC_PresentationContextID context, const Response& response,
                        Uint16 status, const std::string& comment = {}, Uint16 errorId = 0);
    [[nodiscard]] std::string peer() const;

    static ServerContext* s_context;
    DcmTransportConnection* m_connection = nullptr; // until the association is cut
};
