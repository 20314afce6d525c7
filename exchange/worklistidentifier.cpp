#include "worklistidentifier.h"

#include <QDate>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <initializer_list>

namespace {

struct Key
{
    Uint16 group;
    Uint16 element;
};

// Empty return keys; the VR comes from the data dictionary.
void addEmpty(DcmItem& item, std::initializer_list<Key> keys)
{
    for (const Key& key : keys)
        item.insertEmptyElement(DcmTag(key.group, key.element));
}

// A sequence with exactly one item, which the caller fills first.
void addSequence(DcmItem& parent, Key key, std::unique_ptr<DcmItem> item)
{
    auto sequence = std::make_unique<DcmSequenceOfItems>(DcmTag(key.group, key.element));
    sequence->append(item.release());
    parent.insert(sequence.release());
}

QByteArray todayRange()
{
    // Read twice, as a range, so the value is well-formed even when midnight passes between.
    const QString first = QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
    const QString second = QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
    return (first + QLatin1Char('-') + second).toLatin1();
}

} // namespace

std::unique_ptr<DcmDataset> buildWorklistIdentifier(const QString& stationAet,
                                                    const QString& modality)
{
    auto protocolCode = std::make_unique<DcmItem>();
    addEmpty(*protocolCode, {{0x0008, 0x0100}});

    auto identifier = std::make_unique<DcmDataset>();
    addEmpty(*identifier, {{0x0008, 0x0005}, {0x0008, 0x0050}, {0x0008, 0x0090}});

    auto referencedStudy = std::make_unique<DcmItem>();
    addEmpty(*referencedStudy, {{0x0008, 0x1150}, {0x0008, 0x1155}});
    addSequence(*identifier, {0x0008, 0x1110}, std::move(referencedStudy));

    addEmpty(*identifier, {{0x0010, 0x0010},
                           {0x0010, 0x0020},
                           {0x0010, 0x0030},
                           {0x0010, 0x0040},
                           {0x0010, 0x1020},
                           {0x0010, 0x1030},
                           {0x0010, 0x1040},
                           {0x0010, 0x2000},
                           {0x0010, 0x2110},
                           {0x0010, 0x21C0},
                           {0x0018, 0x0015},
                           {0x0020, 0x000D},
                           {0x0032, 0x1032},
                           {0x0032, 0x1033},
                           {0x0032, 0x1060}});

    auto procedureCode = std::make_unique<DcmItem>();
    addEmpty(*procedureCode, {{0x0008, 0x0100}, {0x0008, 0x0102}, {0x0008, 0x0104}});
    addSequence(*identifier, {0x0032, 0x1064}, std::move(procedureCode));

    addEmpty(
        *identifier,
        {{0x0038, 0x0010}, {0x0038, 0x0050}, {0x0038, 0x0300}, {0x0038, 0x0400}, {0x0038, 0x0500}});

    auto step = std::make_unique<DcmItem>();
    step->putAndInsertString(DcmTag(0x0008, 0x0060), modality.toLatin1().constData());
    addEmpty(*step, {{0x0032, 0x1070}});
    step->putAndInsertString(DcmTag(0x0040, 0x0001), stationAet.toLatin1().constData());
    step->putAndInsertString(DcmTag(0x0040, 0x0002), todayRange().constData());
    step->putAndInsertString(DcmTag(0x0040, 0x0003), "000000-235959");
    addEmpty(*step, {{0x0040, 0x0006}, {0x0040, 0x0007}});
    addSequence(*step, {0x0040, 0x0008}, std::move(protocolCode));
    addEmpty(*step, {{0x0040, 0x0009}, {0x0040, 0x0010}, {0x0040, 0x0011}, {0x0040, 0x0012}});
    addSequence(*identifier, {0x0040, 0x0100}, std::move(step));

    addEmpty(*identifier, {{0x0040, 0x1001}, {0x0040, 0x1003}, {0x0040, 0x1004}, {0x0040, 0x3001}});
    return identifier;
}
