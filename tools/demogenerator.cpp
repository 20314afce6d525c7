#include "demogenerator.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <array>
#include <cstdio>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 40> kLastNames = {
    "Müller",  "Weiß",     "Schäfer",  "Öztürk", "Schmidt", "Fischer", "Weber",    "Wagner",
    "Becker",  "Schulz",   "Hoffmann", "Koch",   "Richter", "Klein",   "Schröder", "Neumann",
    "Krüger",  "Hartmann", "Lange",    "Köhler", "König",   "Huber",   "Fuchs",    "Möller",
    "Günther", "Böhm",     "Krämer",   "Jäger",  "Groß",    "Kühn",    "Voß",      "Yılmaz",
    "Nowak",   "Dvořák",   "Brückner", "Süß",    "Ahrens",  "Engel",   "Keller",   "Vogel"};

// Men at even places, women at odd ones.
constexpr std::array<std::string_view, 24> kFirstNames = {
    "Jürgen", "Anna-Lena", "Björn",  "Ayşe",   "Günter", "Käthe", "Jörg",  "Bärbel",
    "Sören",  "Jördis",    "Klaus",  "Sabine", "Mehmet", "Gülay", "Ömer",  "Renate",
    "René",   "Zoë",       "Dieter", "Elke",   "Tobias", "Marie", "Lukas", "Sophie"};

struct Procedure
{
    std::string_view modality;
    std::string_view station;
    std::string_view stationName;
    std::string_view requested;
    std::string_view step;
    std::string_view code;
};

constexpr std::array<Procedure, 8> kProcedures = {{
    {"CR", "CR_RAUM1", "Röntgen 1", "Röntgen Thorax", "Thorax p.a. und seitlich", "RTHO"},
    {"DX", "CR_RAUM1", "Röntgen 1", "Röntgen Sprunggelenk", "Oberes Sprunggelenk links", "RSPL"},
    {"CT", "CT_RAUM2", "CT 1", "CT Schädel", "CT Schädel nativ", "CSCH"},
    {"CT", "CT_RAUM2", "CT 1", "CT Thorax", "CT Thorax mit Kontrastmittel", "CTHO"},
    {"MR", "MR_RAUM3", "MRT 1", "MRT Kniegelenk rechts", "MRT Knie rechts nativ", "MKNR"},
    {"MR", "MR_RAUM3", "MRT 1", "MRT Lendenwirbelsäule", "MRT LWS nativ", "MLWS"},
    {"US", "US_AMB1", "Sono Ambulanz", "Sonographie Schilddrüse", "Schilddrüse beidseits", "SSDR"},
    {"MG", "MG_RAUM5", "Mammographie", "Mammographie beidseits", "Mammographie kurativ", "MAMK"},
}};

constexpr std::array<std::string_view, 4> kPhysicians = {
    "Krüger^Sabine^^Dr. med.", "Weißenborn^Thomas^^Dr. med.", "Özdemir^Leyla^^Dr.",
    "Hößl^Martin^^Prof. Dr."};

constexpr std::array<std::string_view, 4> kPriorities = {"ROUTINE", "ROUTINE", "HIGH", "STAT"};

// Cheap deterministic mixing of the entry number (splitmix64).
std::uint64_t mix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

std::string number(std::uint64_t value, int width)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*llu", width, static_cast<unsigned long long>(value));
    return buffer;
}

} // namespace

std::unique_ptr<DcmDataset> DemoGenerator::dataset(std::size_t index) const
{
    // A second step shares everything of its study but the step itself.
    const bool second = index % 10 == 9;
    const std::size_t study = second ? index - 1 : index;
    const std::uint64_t r = mix(study);
    const Procedure& procedure = kProcedures[(r >> 16) % kProcedures.size()];
    const std::string studyUid = "2.25." + std::to_string(uidRoot) + number(study, 7);
    const std::string stepDescription =
        (second ? "Zusatzaufnahme " : "") + std::string(procedure.step);
    // Steps every few minutes from 07:00 to 18:59, with the seconds spread as well.
    const unsigned minute = 7 * 60 + static_cast<unsigned>((index * 7 + (r >> 50) % 7) % 720);
    const std::string time =
        number(minute / 60, 2) + number(minute % 60, 2) + number((r >> 56) % 60, 2);
    const std::size_t last = study < 4 ? study : r % kLastNames.size();
    const std::size_t first = study < 4 ? study : (r >> 8) % kFirstNames.size();
    const std::string_view referring = kPhysicians[(r >> 28) % kPhysicians.size()];

    auto data = std::make_unique<DcmDataset>();
    auto put = [this](DcmItem& item, const DcmTagKey& tag, std::string_view value) {
        std::string text(value);
        // Latin-1 lacks these; the toolkit's converter on this system cannot transliterate.
        for (const auto& [letter, base] : {std::pair{"ş", "s"}, {"ı", "i"}, {"ř", "r"}})
            for (std::size_t at; latin1 && (at = text.find(letter)) != text.npos;)
                text.replace(at, 2, base);
        item.putAndInsertString(tag, text.c_str());
    };
    put(*data, DCM_SpecificCharacterSet, "ISO_IR 192");
    put(*data, DCM_AccessionNumber, "A" + date.substr(2) + number(study + 1, 6));
    put(*data, DCM_ReferringPhysicianName, referring);
    put(*data, DCM_PatientName,
        std::string(kLastNames[last]) + "^" + std::string(kFirstNames[first]));
    put(*data, DCM_PatientID,
        "PID" + number(100000 + (r >> 4) % 900000, 6) + number(study % 100, 2));
    put(*data, DCM_PatientBirthDate,
        number(1930 + (r >> 32) % 90, 4) + number(1 + (r >> 40) % 12, 2) +
            number(1 + (r >> 44) % 28, 2));
    put(*data, DCM_PatientSex, first % 2 ? "F" : "M");
    put(*data, DCM_StudyInstanceUID, studyUid);
    put(*data, DCM_RequestingPhysician, referring);
    put(*data, DCM_RequestedProcedureDescription, procedure.requested);
    put(*data, DCM_RequestedProcedureID, "RP" + number(study + 1, 7));
    put(*data, DCM_RequestedProcedurePriority, kPriorities[(r >> 36) % 4]);
    if (study % 3 == 2)
        put(*data, DCM_StudyDescription, std::string(procedure.requested) + " (Verlaufskontrolle)");
    DcmItem* item = nullptr;
    if (data->findOrCreateSequenceItem(DCM_ReferencedStudySequence, item).good()) {
        put(*item, DCM_ReferencedSOPClassUID, UID_RETIRED_DetachedStudyManagementSOPClass);
        put(*item, DCM_ReferencedSOPInstanceUID, studyUid);
    }
    if (data->findOrCreateSequenceItem(DCM_RequestedProcedureCodeSequence, item).good()) {
        put(*item, DCM_CodeValue, procedure.code);
        put(*item, DCM_CodingSchemeDesignator, "99KELVARA");
        put(*item, DCM_CodeMeaning, procedure.requested);
    }
    DcmItem* step = nullptr;
    if (data->findOrCreateSequenceItem(DCM_ScheduledProcedureStepSequence, step).good()) {
        put(*step, DCM_Modality, procedure.modality);
        put(*step, DCM_ScheduledStationAETitle, procedure.station);
        put(*step, DCM_ScheduledProcedureStepStartDate, date);
        put(*step, DCM_ScheduledProcedureStepStartTime, time);
        put(*step, DCM_ScheduledPerformingPhysicianName,
            kPhysicians[(r >> 24) % kPhysicians.size()]);
        put(*step, DCM_ScheduledProcedureStepDescription, stepDescription);
        put(*step, DCM_ScheduledProcedureStepID, "SPS" + number(index + 1, 7));
        put(*step, DCM_ScheduledStationName, procedure.stationName);
        put(*step, DCM_ScheduledProcedureStepLocation, "Radiologie EG");
        if (step->findOrCreateSequenceItem(DCM_ScheduledProtocolCodeSequence, item).good()) {
            put(*item, DCM_CodeValue, std::string(procedure.code) + (second ? "Z" : ""));
            put(*item, DCM_CodingSchemeDesignator, "99KELVARA");
            put(*item, DCM_CodeMeaning, stepDescription);
        }
    }
    if (latin1)
        data->convertCharacterSet("ISO_IR 192", "ISO_IR 100", 0, OFTrue);
    return data;
}
