#include "demogenerator.h"

#include "textutil.h"

#include <dcmtk/dcmdata/dcdeftag.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 60> kLastNames = {
    "Müller",   "Weiß",     "Schäfer",  "Öztürk",  "Schmidt",  "Schneider",  "Fischer",  "Weber",
    "Meyer",    "Wagner",   "Becker",   "Schulz",  "Hoffmann", "Koch",       "Bauer",    "Richter",
    "Klein",    "Wolf",     "Schröder", "Neumann", "Schwarz",  "Zimmermann", "Braun",    "Krüger",
    "Hartmann", "Lange",    "Werner",   "Krause",  "Lehmann",  "Köhler",     "Herrmann", "König",
    "Walter",   "Huber",    "Kaiser",   "Fuchs",   "Peters",   "Möller",     "Jung",     "Hahn",
    "Vogel",    "Keller",   "Günther",  "Berger",  "Böhm",     "Winter",     "Krämer",   "Jäger",
    "Sommer",   "Groß",     "Kühn",     "Engel",   "Voß",      "Yılmaz",     "Nowak",    "Dvořák",
    "Großmann", "Brückner", "Süß",      "Ahrens"};

struct FirstName
{
    std::string_view name;
    char sex;
};

constexpr std::array<FirstName, 36> kFirstNames = {{
    {"Jürgen", 'M'},     {"Anna-Lena", 'F'}, {"Björn", 'M'},      {"Ayşe", 'F'},
    {"Günter", 'M'},     {"Käthe", 'F'},     {"Jörg", 'M'},       {"Bärbel", 'F'},
    {"Sören", 'M'},      {"Jördis", 'F'},    {"Klaus", 'M'},      {"Sabine", 'F'},
    {"Uwe", 'M'},        {"Ursula", 'F'},    {"Hans-Peter", 'M'}, {"Monika", 'F'},
    {"Lukas", 'M'},      {"Sophie", 'F'},    {"Jonas", 'M'},      {"Hannah", 'F'},
    {"Mehmet", 'M'},     {"Gülay", 'F'},     {"Ömer", 'M'},       {"Renate", 'F'},
    {"Dieter", 'M'},     {"Elke", 'F'},      {"Tobias", 'M'},     {"Marie", 'F'},
    {"René", 'M'},       {"Zoë", 'F'},       {"Maximilian", 'M'}, {"Gisela", 'F'},
    {"Karl-Heinz", 'M'}, {"Lea", 'F'},       {"Matthias", 'M'},   {"Jana", 'F'},
}};

struct Procedure
{
    std::string_view modality;
    std::string_view station;
    std::string_view stationName;
    std::string_view requested;
    std::string_view step;
    std::string_view code;
};

constexpr std::array<Procedure, 12> kProcedures = {{
    {"CR", "CR_RAUM1", "Röntgen 1", "Röntgen Thorax", "Thorax p.a. und seitlich", "RTHO"},
    {"CR", "CR_RAUM1", "Röntgen 1", "Röntgen Hand links", "Hand links in zwei Ebenen", "RHAL"},
    {"CT", "CT_RAUM2", "CT 1", "CT Schädel", "CT Schädel nativ", "CSCH"},
    {"CT", "CT_RAUM2", "CT 1", "CT Thorax", "CT Thorax mit Kontrastmittel", "CTHO"},
    {"MR", "MR_RAUM3", "MRT 1", "MRT Kniegelenk rechts", "MRT Knie rechts nativ", "MKNR"},
    {"MR", "MR_RAUM3", "MRT 1", "MRT Lendenwirbelsäule", "MRT LWS nativ", "MLWS"},
    {"US", "US_AMB1", "Sono Ambulanz", "Sonographie Abdomen", "Oberbauchsonographie", "SABD"},
    {"US", "US_AMB1", "Sono Ambulanz", "Sonographie Schilddrüse", "Schilddrüse beidseits", "SSDR"},
    {"DX", "DX_RAUM4", "Röntgen 2", "Röntgen Sprunggelenk", "Oberes Sprunggelenk links", "RSPL"},
    {"DX", "DX_RAUM4", "Röntgen 2", "Röntgen Halswirbelsäule", "HWS in zwei Ebenen", "RHWS"},
    {"MG", "MG_RAUM5", "Mammographie", "Mammographie beidseits", "Mammographie kurativ", "MAMK"},
    {"MG", "MG_RAUM5", "Mammographie", "Mammographie Screening", "Mammographie Vorsorge", "MAMS"},
}};

constexpr std::array<std::string_view, 6> kPhysicians = {"Krüger^Sabine^^Dr. med.",
                                                         "Weißenborn^Thomas^^Dr. med.",
                                                         "Özdemir^Leyla^^Dr.",
                                                         "Hößl^Martin^^Prof. Dr.",
                                                         "Bäcker^Ines",
                                                         "Lütke^Frank^^Dr. med."};

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

Attribute text(const DcmTagKey& tag, std::string_view value)
{
    Attribute a;
    a.tag = tag;
    a.value = std::string(value);
    return a;
}

void sortByTag(AttributeList& list)
{
    std::sort(list.begin(), list.end(),
              [](const Attribute& a, const Attribute& b) { return a.tag < b.tag; });
}

AttributeList toLatin1(const AttributeList& list)
{
    AttributeList result = list;
    for (Attribute& a : result) {
        if (a.isSequence) {
            for (AttributeList& item : a.items)
                item = toLatin1(item);
        } else if (!textutil::isAscii(a.value)) {
            a.value = textutil::utf8ToLatin1(a.value);
        }
    }
    return result;
}

} // namespace

DemoGenerator::DemoGenerator(std::string date, Charset charset, std::uint64_t uidRoot)
    : m_date(std::move(date)), m_charset(charset), m_uidRoot(uidRoot == 0 ? 1 : uidRoot)
{}

std::vector<WorklistEntry> DemoGenerator::generate(std::size_t count) const
{
    std::vector<WorklistEntry> entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        entries.push_back(entry(i));
    return entries;
}

WorklistEntry DemoGenerator::entry(std::size_t index) const
{
    const std::uint64_t r = mix(index);
    const std::size_t last = index < 4 ? index : r % kLastNames.size();
    const std::size_t first = index < 4 ? index : (r >> 8) % kFirstNames.size();
    const Procedure& procedure = kProcedures[(r >> 16) % kProcedures.size()];
    const std::string_view physician = kPhysicians[(r >> 24) % kPhysicians.size()];
    const std::string_view referring = kPhysicians[(r >> 28) % kPhysicians.size()];

    const unsigned year = 1930 + static_cast<unsigned>((r >> 32) % 90);
    const unsigned month = 1 + static_cast<unsigned>((r >> 40) % 12);
    const unsigned day = 1 + static_cast<unsigned>((r >> 44) % 28);
    const std::string birthDate = number(year, 4) + number(month, 2) + number(day, 2);
    // Steps every few minutes from 07:00 to 18:59, with the seconds spread as well.
    const unsigned minuteOfDay = 7 * 60 + static_cast<unsigned>((index * 7 + (r >> 50) % 7) % 720);
    const unsigned second = static_cast<unsigned>((r >> 56) % 60);
    const std::string time =
        number(minuteOfDay / 60, 2) + number(minuteOfDay % 60, 2) + number(second, 2);
    const std::string requestedId = "RP" + number(index + 1, 7);

    AttributeList step;
    step.push_back(text(DCM_Modality, procedure.modality));
    step.push_back(text(DCM_ScheduledStationAETitle, procedure.station));
    step.push_back(text(DCM_ScheduledProcedureStepStartDate, m_date));
    step.push_back(text(DCM_ScheduledProcedureStepStartTime, time));
    step.push_back(text(DCM_ScheduledPerformingPhysicianName, physician));
    step.push_back(text(DCM_ScheduledProcedureStepDescription, procedure.step));
    step.push_back(text(DCM_ScheduledProcedureStepID, "SPS" + number(index + 1, 7)));
    step.push_back(text(DCM_ScheduledStationName, procedure.stationName));
    step.push_back(text(DCM_ScheduledProcedureStepLocation, "Radiologie EG"));
    sortByTag(step);

    AttributeList code;
    code.push_back(text(DCM_CodeValue, procedure.code));
    code.push_back(text(DCM_CodingSchemeDesignator, "99KELVARA"));
    code.push_back(text(DCM_CodeMeaning, procedure.requested));

    AttributeList attributes;
    attributes.push_back(
        text(DCM_SpecificCharacterSet, m_charset == Charset::Utf8 ? "ISO_IR 192" : "ISO_IR 100"));
    attributes.push_back(
        text(DCM_AccessionNumber,
             "A" + m_date.substr(std::min<std::size_t>(2, m_date.size())) + number(index + 1, 6)));
    attributes.push_back(text(DCM_ReferringPhysicianName, referring));
    attributes.push_back(text(DCM_PatientName, std::string(kLastNames[last]) + "^" +
                                                   std::string(kFirstNames[first].name)));
    attributes.push_back(text(DCM_PatientID, "PID" + number(100000 + (r >> 4) % 900000, 6) +
                                                 number(index % 100, 2)));
    attributes.push_back(text(DCM_PatientBirthDate, birthDate));
    attributes.push_back(text(DCM_PatientSex, std::string(1, kFirstNames[first].sex)));
    attributes.push_back(
        text(DCM_StudyInstanceUID, "2.25." + std::to_string(m_uidRoot) + number(index, 7)));
    attributes.push_back(text(DCM_RequestingPhysician, referring));
    attributes.push_back(text(DCM_RequestedProcedureDescription, procedure.requested));
    attributes.push_back(text(DCM_RequestedProcedureID, requestedId));
    attributes.push_back(text(DCM_RequestedProcedurePriority, kPriorities[(r >> 36) % 4]));
    if (index % 3 == 2)
        attributes.push_back(
            text(DCM_StudyDescription, std::string(procedure.requested) + " (Verlaufskontrolle)"));
    Attribute codeSequence;
    codeSequence.tag = DCM_RequestedProcedureCodeSequence;
    codeSequence.isSequence = true;
    codeSequence.items.push_back(std::move(code));
    attributes.push_back(std::move(codeSequence));
    Attribute stepSequence;
    stepSequence.tag = DCM_ScheduledProcedureStepSequence;
    stepSequence.isSequence = true;
    stepSequence.items.push_back(std::move(step));
    attributes.push_back(std::move(stepSequence));
    sortByTag(attributes);

    WorklistEntry entry;
    if (m_charset == Charset::Latin1) {
        entry.attributes = toLatin1(attributes);
        entry.utf8 = std::make_shared<const AttributeList>(std::move(attributes));
    } else {
        entry.attributes = std::move(attributes);
    }
    entry.updateKeys();
    return entry;
}
