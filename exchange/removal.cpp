#include "removal.h"

#include "association.h"
#include "uid.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dimse.h>

DicomError sendRemoval(const ConnectionParams& params, const QString& entryKey,
                       QString* sopInstanceUid)
{
    const auto store = [&entryKey, sopInstanceUid](Association& association, Uint16& status) {
        const QByteArray instanceUid = newUid().toLatin1();
        if (sopInstanceUid)
            *sopInstanceUid = QString::fromLatin1(instanceUid);
        DcmDataset removal;
        // Private tags are not in the dictionary: the VR must be given.
        removal.putAndInsertString(DcmTag(0x0019, 0x0010, EVR_LO), "REMOVE");
        removal.putAndInsertString(DcmTag(0x0019, 0x0030, EVR_LO), entryKey.toUtf8().constData());
        removal.putAndInsertString(DCM_SOPClassUID, UID_ComputedRadiographyImageStorage);
        removal.putAndInsertString(DCM_SOPInstanceUID, instanceUid.constData());

        T_DIMSE_C_StoreRQ request{};
        request.MessageID = association.handle()->nextMsgID++;
        OFStandard::strlcpy(request.AffectedSOPClassUID, UID_ComputedRadiographyImageStorage,
                            sizeof(request.AffectedSOPClassUID));
        OFStandard::strlcpy(request.AffectedSOPInstanceUID, instanceUid.constData(),
                            sizeof(request.AffectedSOPInstanceUID));
        request.DataSetType = DIMSE_DATASET_PRESENT;
        request.Priority = DIMSE_PRIORITY_MEDIUM;
        T_DIMSE_C_StoreRSP response{};
        DcmDataset* statusDetail = nullptr;
        const OFCondition cond = DIMSE_storeUser(
            association.handle(), association.contextId(), &request, nullptr, &removal, nullptr,
            nullptr, DIMSE_NONBLOCKING, association.dimseTimeout(), &response, &statusDetail);
        delete statusDetail;
        status = response.DimseStatus;
        return cond;
    };
    // Warnings (0xB000, 0xB006, 0xB007) mean the object was stored.
    const auto stored = [](Uint16 status) {
        return status == 0x0000 || (status & 0xF000) == 0xB000;
    };
    return runExchange(params, UID_ComputedRadiographyImageStorage,
                       QStringLiteral("CR Image Storage"), store, stored);
}
