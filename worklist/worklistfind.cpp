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
    Association association(abort);
    outcome.error = association.open(params, UID_FINDModalityWorklistInformationModel,
                                     QStringLiteral("Modality Worklist"));
    if (outcome.error.isError())
        return outcome;

    const std::unique_ptr<DcmDataset> identifier = buildWorklistIdentifier();
    T_DIMSE_C_FindRQ request{};
    request.MessageID = association.handle()->nextMsgID++;
    OFStandard::strlcpy(request.AffectedSOPClassUID, UID_FINDModalityWorklistInformationModel,
                        sizeof(request.AffectedSOPClassUID));
    request.DataSetType = DIMSE_DATASET_PRESENT;
    request.Priority = DIMSE_PRIORITY_MEDIUM;

    Collector collector{RowReader(), &outcome.rows};
    T_DIMSE_C_FindRSP response{};
    DcmDataset* statusDetail = nullptr;
    int responseCount = 0;
    const OFCondition cond =
        DIMSE_findUser(association.handle(), association.contextId(), &request, identifier.get(),
                       responseCount, onFindResponse, &collector, DIMSE_NONBLOCKING,
                       association.dimseTimeout(), &response, &statusDetail);
    delete statusDetail;

    if (cond.bad()) {
        outcome.error = association.failure(cond);
    } else if (association.isAborted()) {
        outcome.error = association.abortedError();
    } else if (response.DimseStatus == statusCancel && !outcome.rows.isEmpty()) {
        outcome.truncatedByServer = true;
    } else if (response.DimseStatus != statusSuccess) {
        outcome.error = ExchangeErrors::status(response.DimseStatus, association.peer());
    }
    association.finish(!outcome.error.isError());
    if (outcome.error.isError())
        outcome.rows.clear();
    return outcome;
}
