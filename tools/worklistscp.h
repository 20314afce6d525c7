#pragma once

#include <dcmtk/dcmnet/scpthrd.h>

#include <memory>
#include <string>

class DcmDataset;
class RequestLog;
class ShutdownSignal;
class WorklistStore;

// The DICOM side of one association: DCMTK's DcmSCP answering Modality Worklist C-FIND, C-ECHO
// and the removal C-STORE from a WorklistStore. AssociationServer makes one per connection, on
// the connection's own thread. Data sets are received as raw bytes and read within the limits of
// datasetlimits: a request over kMaxBytes aborts the association; a too deeply nested one is
// answered with 0xC000.
class WorklistScp final : public DcmThreadSCP
{
public:
    WorklistScp(const std::string& aeTitle, int dimseTimeoutSeconds, WorklistStore& store,
                const ShutdownSignal& signal, const RequestLog& log);

    // Serves the association received on `socket` until it ends; DCMTK closes the socket.
    OFCondition serve(T_ASC_Association* association, int socket);

    // Status of a removal whose key matched no entry (or was empty).
    static constexpr Uint16 kStatusNoSuchEntry = 0xC210;

protected:
    OFCondition handleIncomingCommand(T_DIMSE_Message* message,
                                      const DcmPresentationContextInfo& info) override;
    OFBool checkCalledAETitleAccepted(const OFString& calledAE) override;
    void refuseAssociation(const DcmRefuseReasonType reason) override;

private:
    OFCondition handleFind(T_DIMSE_C_FindRQ& request, T_ASC_PresentationContextID presId);
    OFCondition handleStore(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID presId);
    // Receives the data set of a request. A bad condition means the association is broken (or
    // was cut because the request grew too large); with a good one, `dataset` is empty and `why`
    // says why when the data set was refused.
    OFCondition receiveDataSet(T_ASC_PresentationContextID presId,
                               std::unique_ptr<DcmDataset>& dataset, std::string& why);
    [[nodiscard]] std::string peer() const;

    std::string m_aeTitle;
    std::string m_rejectedCalledAe;
    WorklistStore& m_store;
    const ShutdownSignal& m_signal;
    const RequestLog& m_log;
    T_ASC_Association* m_association = nullptr;
    int m_socket = -1;
};
