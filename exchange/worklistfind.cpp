#include "worklistfind.h"

#include "association.h"
#include "rowreader.h"
#include "worklistidentifier.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dimse.h>

#include <algorithm>
#include <memory>

namespace {

constexpr Uint16 statusSuccess = 0x0000;
constexpr Uint16 statusCancel = 0xFE00;
// A worklist entry nests two levels; no list needs more than these.
constexpr int maxNesting = 16;
constexpr Uint32 maxEntryBytes = 4 * 1024 * 1024;

// Walks an entry as the toolkit read it: whether it nests sequences more than `levelsLeft`
// deep (the walk stops there) and how many bytes its values hold.
struct EntrySize
{
    bool tooDeep = false;
    Uint64 bytes = 0;
};

void measure(DcmItem& item, int levelsLeft, EntrySize& size)
{
    for (DcmObject* object = item.nextInContainer(nullptr); object && !size.tooDeep;
         object = item.nextInContainer(object)) {
        if (object->ident() != EVR_SQ) {
            size.bytes += object->getLength();
            continue;
        }
        if (levelsLeft == 0) {
            size.tooDeep = true;
            return;
        }
        auto* sequence = static_cast<DcmSequenceOfItems*>(object);
        for (DcmObject* entry = sequence->nextInContainer(nullptr); entry && !size.tooDeep;
             entry = sequence->nextInContainer(entry))
            measure(*static_cast<DcmItem*>(entry), levelsLeft - 1, size);
    }
}

struct Collector
{
    Association* association;
    RowReader reader;
    const std::function<void(const WorklistRow&)>* onRow;
    QVector<WorklistRow>* rows;
    bool anyRow = false;
};

void onFindResponse(void* data, T_DIMSE_C_FindRQ* /*request*/, int /*responseCount*/,
                    T_DIMSE_C_FindRSP* /*response*/, DcmDataset* identifier)
{
    auto* collector = static_cast<Collector*>(data);
    if (!identifier || collector->association->refusal().isError())
        return;
    // The toolkit has read the entry already (on the helper's large stack); what the list
    // could never show ends the exchange rather than the window's memory.
    EntrySize size;
    measure(*identifier, maxNesting, size);
    if (size.tooDeep) {
        collector->association->refuseAnswer(
            QStringLiteral("Eintrag tiefer als %1 Ebenen verschachtelt").arg(maxNesting));
        return;
    }
    if (size.bytes > maxEntryBytes) {
        collector->association->refuseAnswer(QStringLiteral("Eintrag größer als 4 MiB"));
        return;
    }
    const WorklistRow row = collector->reader.read(*identifier);
    collector->anyRow = true;
    if (*collector->onRow)
        (*collector->onRow)(row);
    else
        collector->rows->append(row);
}

} // namespace

FindOutcome runWorklistFind(const ConnectionParams& params,
                            const std::function<void(const WorklistRow&)>& onRow,
                            bool stepAttributes)
{
    FindOutcome outcome;
    const QString station = params.stationAet.trimmed(), modality = params.modality.trimmed();
    const auto badKey = [](const char* key, const QString& value, const char* rule) {
        return DicomError{DicomError::badSetting,
                          QStringLiteral("Settings.ini [Worklist] %1 \"%2\" ist ungültig (%3)")
                              .arg(QLatin1String(key), shownTitle(value), QLatin1String(rule))};
    };
    const bool modalityUsable =
        modality.size() <= 16 && std::none_of(modality.begin(), modality.end(), [](QChar c) {
            return c < QLatin1Char(' ') || c.unicode() > 0x7E || c == QLatin1Char('\\');
        });
    if (!station.isEmpty() && !isValidAeTitle(station))
        outcome.error =
            badKey("StationAET", station, "1 bis 16 Zeichen, keine Steuerzeichen, kein Backslash");
    else if (!modalityUsable)
        outcome.error =
            badKey("Modality", modality, "bis 16 Zeichen, keine Steuerzeichen, kein Backslash");
    if (outcome.error.isError())
        return outcome;

    Collector collector{nullptr, RowReader(stepAttributes), &onRow, &outcome.rows};
    const auto find = [&](Association& association, Uint16& status) {
        collector.association = &association;
        const std::unique_ptr<DcmDataset> identifier = buildWorklistIdentifier(station, modality);
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
    const auto succeeded = [&outcome, &collector](Uint16 status) {
        // A server that limits its answers ends with Cancel: what it sent is shown.
        if (status == statusCancel && collector.anyRow) {
            outcome.truncatedByServer = true;
            return true;
        }
        return status == statusSuccess;
    };
    outcome.error = runExchange(params, UID_FINDModalityWorklistInformationModel,
                                QStringLiteral("Modality Worklist"), find, succeeded);
    if (outcome.error.isError()) {
        outcome.rows.clear();
        outcome.truncatedByServer = false;
    }
    return outcome;
}
