#include "worklistfind.h"

#include "association.h"
#include "rowreader.h"
#include "worklistidentifier.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dimse.h>

#include <memory>

namespace {

constexpr Uint16 statusSuccess = 0x0000;
constexpr Uint16 statusCancel = 0xFE00;

struct Collector
{
    RowReader reader;
    QVector<WorklistRow>* rows;
};

void onFindResponse(void* data, T_DIMSE_C_FindRQ* /*request*/, int /*responseCount*/,
                    T_DIMSE_C_FindRSP* /*response*/, DcmDataset* identifier)
{
    auto* collector = static_cast<Collector*>(data);
    if (identifier)
        collector->rows->append(collector->reader.read(*identifier));
}

} // namespace

FindOutcome runWorklistFind(const ConnectionParams& params, ExchangeAbort* abort)
{
    FindOutcome outcome;
    Collector collector{RowReader(), &outcome.rows};
    const auto find = [&collector](Association& association, Uint16& status) {
        const std::unique_ptr<DcmDataset> identifier = buildWorklistIdentifier();
        T_DIMSE_C_FindRQ request{};
        request.MessageID = association.handle()->nextMsgID++;
        OFStandard::strlcpy(request.AffectedSOPClassUID, UID_FINDModalityWorklistInformationModel,
                            sizeof(request.AffectedSOPClassUID));
        request.DataSetType = DIMSE_DATASET_PRESENT;
        request.Priority = DIMSE_PRIORITY_MEDIUM;
        T_DIMSE_C_FindRSP response{};
        DcmDataset* statusDetail = nullptr;
        int responseCount = 0;
        const OFCondition cond =
            DIMSE_findUser(association.handle(), association.contextId(), &request,
                           identifier.get(), responseCount, onFindResponse, &collector,
                           DIMSE_NONBLOCKING, association.dimseTimeout(), &response, &statusDetail);
        delete statusDetail;
        status = response.DimseStatus;
        return cond;
    };
    const auto succeeded = [&outcome](Uint16 status) {
        // A server that limits its answers ends with Cancel: what it sent is shown.
        if (status == statusCancel && !outcome.rows.isEmpty()) {
            outcome.truncatedByServer = true;
            return true;
        }
        return status == statusSuccess;
    };
    outcome.error = runExchange(params, abort, UID_FINDModalityWorklistInformationModel,
                                QStringLiteral("Modality Worklist"), find, succeeded);
    if (outcome.error.isError()) {
        outcome.rows.clear();
        outcome.truncatedByServer = false;
    }
    return outcome;
}
