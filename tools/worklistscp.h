#pragma once

#include <dcmtk/dcmnet/scp.h>

#include <string>

class ListenSocket;
class RequestLog;
class ShutdownSignal;
class WorklistStore;

// The DICOM side of the server: DCMTK's DcmSCP answering Modality Worklist C-FIND, C-ECHO and
// the removal C-STORE from a WorklistStore, one association after the other. Connections are
// accepted on our own ListenSocket (bound to one address) and handed to DCMTK. All referenced
// objects must outlive the SCP.
class WorklistScp final : public DcmSCP
{
public:
    WorklistScp(const std::string& aeTitle, WorklistStore& store, ListenSocket& socket,
                ShutdownSignal& signal, const RequestLog& log);

    // Serves until a stop is requested; returns the condition that ended the loop.
    OFCondition run();

protected:
    OFCondition openListenPort() override;
    OFCondition waitForAssociationRQ(T_ASC_Network* network) override;
    OFCondition handleIncomingCommand(T_DIMSE_Message* message,
                                      const DcmPresentationContextInfo& info) override;
    OFBool checkCalledAETitleAccepted(const OFString& calledAE) override;
    void refuseAssociation(const DcmRefuseReasonType reason) override;
    OFBool stopAfterConnectionTimeout() override;
    OFBool stopAfterCurrentAssociation() override;

private:
    OFCondition handleFind(T_DIMSE_C_FindRQ& request, T_ASC_PresentationContextID presId);
    OFCondition handleStore(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID presId);
    [[nodiscard]] std::string peer() const;

    std::string m_aeTitle;
    std::string m_rejectedCalledAe;
    WorklistStore& m_store;
    ListenSocket& m_socket;
    ShutdownSignal& m_signal;
    const RequestLog& m_log;
};
