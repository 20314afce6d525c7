#include "performedstep.h"

#include "association.h"
#include "exchangeerrors.h"
#include "uid.h"
#include "worklistrow.h"

#include <QDateTime>
#include <QStringList>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/dimse.h>

#include <memory>

namespace {

using A = StepAttribute;

struct Step
{
    QStringList values;
    [[nodiscard]] QByteArray operator[](A attribute) const
    {
        return values.value(int(attribute)).toUtf8();
    }
};

void put(DcmItem& item, const DcmTagKey& key, const QByteArray& value)
{
    item.putAndInsertString(key, value.constData());
}

// A sequence with the given item, or empty (a type 2 sequence without a value).
void putSequence(DcmItem& item, const DcmTagKey& key, DcmItem* only = nullptr)
{
    auto* sequence = new DcmSequenceOfItems(key);
    if (only)
        sequence->append(only);
    item.insert(sequence, true);
}

// The N-CREATE's attributes: the step as scheduled, the patient, and this performed step.
std::unique_ptr<DcmDataset> creation(const Step& step, const QByteArray& stationAet,
                                     const QDateTime& now)
{
    auto set = std::make_unique<DcmDataset>();
    put(*set, DCM_SpecificCharacterSet, "ISO_IR 192");
    auto* scheduled = new DcmItem;
    put(*scheduled, DCM_StudyInstanceUID, step[A::StudyUid]);
    DcmItem* study = nullptr;
    if (!step[A::ReferencedStudyInstance].isEmpty()) {
        study = new DcmItem;
        put(*study, DCM_ReferencedSOPClassUID, step[A::ReferencedStudyClass]);
        put(*study, DCM_ReferencedSOPInstanceUID, step[A::ReferencedStudyInstance]);
    }
    putSequence(*scheduled, DCM_ReferencedStudySequence, study);
    put(*scheduled, DCM_AccessionNumber, step[A::AccessionNumber]);
    put(*scheduled, DCM_RequestedProcedureID, step[A::RequestedProcedureId]);
    put(*scheduled, DCM_RequestedProcedureDescription, step[A::RequestedProcedureDescription]);
    put(*scheduled, DCM_ScheduledProcedureStepID, step[A::StepId]);
    put(*scheduled, DCM_ScheduledProcedureStepDescription, step[A::StepDescription]);
    DcmItem* protocol = nullptr;
    if (!step[A::ProtocolCodeValue].isEmpty()) {
        protocol = new DcmItem;
        put(*protocol, DCM_CodeValue, step[A::ProtocolCodeValue]);
        put(*protocol, DCM_CodingSchemeDesignator, step[A::ProtocolCodingScheme]);
        put(*protocol, DCM_CodeMeaning, step[A::ProtocolCodeMeaning]);
    }
    putSequence(*scheduled, DCM_ScheduledProtocolCodeSequence, protocol);
    putSequence(*set, DCM_ScheduledStepAttributesSequence, scheduled);

    put(*set, DCM_PatientName, step[A::PatientName]);
    put(*set, DCM_PatientID, step[A::PatientId]);
    put(*set, DCM_PatientBirthDate, step[A::BirthDate]);
    put(*set, DCM_PatientSex, step[A::Sex]);
    putSequence(*set, DCM_ReferencedPatientSequence);

    // The performed step's own ID: this workstation's clock, unique enough for one station.
    put(*set, DCM_PerformedProcedureStepID,
        now.toString(QStringLiteral("yyMMddhhmmsszzz")).toLatin1());
    put(*set, DCM_PerformedStationAETitle, stationAet);
    put(*set, DCM_PerformedStationName, {});
    put(*set, DCM_PerformedLocation, {});
    put(*set, DCM_PerformedProcedureStepStartDate,
        now.toString(QStringLiteral("yyyyMMdd")).toLatin1());
    put(*set, DCM_PerformedProcedureStepStartTime,
        now.toString(QStringLiteral("hhmmss")).toLatin1());
    put(*set, DCM_PerformedProcedureStepStatus, "IN PROGRESS");
    put(*set, DCM_PerformedProcedureStepDescription, step[A::StepDescription]);
    put(*set, DCM_PerformedProcedureTypeDescription, {});
    putSequence(*set, DCM_ProcedureCodeSequence);
    put(*set, DCM_PerformedProcedureStepEndDate, {});
    put(*set, DCM_PerformedProcedureStepEndTime, {});
    put(*set, DCM_Modality, step[A::Modality]);
    put(*set, DCM_StudyID, {});
    putSequence(*set, DCM_PerformedProtocolCodeSequence);
    putSequence(*set, DCM_PerformedSeriesSequence);
    return set;
}

// The N-SET's attributes: the final status, the end, and the one series a final step names
// (none was made here: no images are referenced).
std::unique_ptr<DcmDataset> completion(const Step& step, const QByteArray& finalStatus,
                                       const QDateTime& now)
{
    auto set = std::make_unique<DcmDataset>();
    put(*set, DCM_SpecificCharacterSet, "ISO_IR 192");
    put(*set, DCM_PerformedProcedureStepStatus, finalStatus);
    put(*set, DCM_PerformedProcedureStepEndDate,
        now.toString(QStringLiteral("yyyyMMdd")).toLatin1());
    put(*set, DCM_PerformedProcedureStepEndTime, now.toString(QStringLiteral("hhmmss")).toLatin1());
    auto* series = new DcmItem;
    put(*series, DCM_PerformingPhysicianName, {});
    put(*series, DCM_ProtocolName,
        step[A::StepDescription].isEmpty() ? QByteArray("-") : step[A::StepDescription]);
    put(*series, DCM_OperatorsName, {});
    put(*series, DCM_SeriesInstanceUID, newUid().toLatin1());
    put(*series, DCM_SeriesDescription, {});
    put(*series, DCM_RetrieveAETitle, {});
    putSequence(*series, DCM_ReferencedImageSequence);
    putSequence(*series, DCM_ReferencedNonImageCompositeSOPInstanceSequence);
    putSequence(*set, DCM_PerformedSeriesSequence, series);
    return set;
}

// Sends one N-CREATE or N-SET and takes its response's status.
OFCondition request(Association& association, T_DIMSE_Message& message, DcmDataset& data,
                    Uint16& status)
{
    OFCondition cond = DIMSE_sendMessageUsingMemoryData(
        association.handle(), association.contextId(), &message, nullptr, &data, nullptr, nullptr);
    if (cond.bad())
        return cond;
    T_DIMSE_Message response{};
    T_ASC_PresentationContextID context = 0;
    DcmDataset* detail = nullptr;
    cond = DIMSE_receiveCommand(association.handle(), DIMSE_NONBLOCKING, association.dimseTimeout(),
                                &context, &response, &detail);
    delete detail;
    if (cond.bad())
        return cond;
    const bool created = response.CommandField == DIMSE_N_CREATE_RSP;
    if (!created && response.CommandField != DIMSE_N_SET_RSP)
        return makeDcmnetCondition(DIMSEC_UNEXPECTEDRESPONSE, OF_error, "unexpected response");
    status = created ? response.msg.NCreateRSP.DimseStatus : response.msg.NSetRSP.DimseStatus;
    const T_DIMSE_DataSetType type =
        created ? response.msg.NCreateRSP.DataSetType : response.msg.NSetRSP.DataSetType;
    if (type != DIMSE_DATASET_NULL) {
        DcmDataset* attributes = nullptr;
        cond = DIMSE_receiveDataSetInMemory(association.handle(), DIMSE_NONBLOCKING,
                                            association.dimseTimeout(), &context, &attributes,
                                            nullptr, nullptr);
        delete attributes;
    }
    return cond;
}

// An N-CREATE or N-SET of the performed step `instance`: the same fields under each one's names.
T_DIMSE_Message stepRequest(Association& association, T_DIMSE_Command command,
                            const QByteArray& instance)
{
    T_DIMSE_Message message{};
    message.CommandField = command;
    const bool create = command == DIMSE_N_CREATE_RQ;
    T_DIMSE_N_CreateRQ& created = message.msg.NCreateRQ;
    T_DIMSE_N_SetRQ& set = message.msg.NSetRQ;
    (create ? created.MessageID : set.MessageID) = association.handle()->nextMsgID++;
    (create ? created.DataSetType : set.DataSetType) = DIMSE_DATASET_PRESENT;
    OFStandard::strlcpy(create ? created.AffectedSOPClassUID : set.RequestedSOPClassUID,
                        UID_ModalityPerformedProcedureStepSOPClass, sizeof(DIC_UI));
    OFStandard::strlcpy(create ? created.AffectedSOPInstanceUID : set.RequestedSOPInstanceUID,
                        instance.constData(), sizeof(DIC_UI));
    if (create)
        created.opts = O_NCREATE_AFFECTEDSOPINSTANCEUID;
    return message;
}

bool succeeded(Uint16 status)
{
    return status == 0x0000 || (status & 0xF000) == 0xB000;
}

} // namespace

DicomError sendPerformedStep(const ConnectionParams& params, const QString& stepText,
                             const QString& finalStatus)
{
    const Step step{stepText.split(stepAttributeSeparator)};
    if (step.values.size() != int(A::Count) || step[A::StudyUid].isEmpty())
        return {DicomError::badSetting,
                QStringLiteral("Der Eintrag nennt nicht, was ein durchgeführter Schritt braucht: "
                               "die Liste neu laden und nochmals versuchen")};
    Association association;
    DicomError error = association.open(params, UID_ModalityPerformedProcedureStepSOPClass,
                                        QStringLiteral("Modality Performed Procedure Step"));
    if (error.isError())
        return error;
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray instance = newUid().toLatin1();

    T_DIMSE_Message create = stepRequest(association, DIMSE_N_CREATE_RQ, instance);
    Uint16 status = 0;
    const auto created = creation(step, params.callingAet.trimmed().toLatin1(), now);
    OFCondition cond = request(association, create, *created, status);
    if (cond.bad() || !succeeded(status)) {
        error = cond.bad() ? association.failure(cond)
                           : ExchangeErrors::stepRefused(status, association.peer(), false);
        association.finish(false);
        return error;
    }

    T_DIMSE_Message set = stepRequest(association, DIMSE_N_SET_RQ, instance);
    const auto completed = completion(step, finalStatus.toLatin1(), now);
    cond = request(association, set, *completed, status);
    if (cond.bad()) {
        error = association.failure(cond);
        error.description += ExchangeErrors::stepLeftInProgress();
    } else if (!succeeded(status)) {
        error = ExchangeErrors::stepRefused(status, association.peer(), true);
    }
    association.finish(!error.isError());
    return error;
}
