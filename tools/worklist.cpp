#include "worklist.h"

#include "serverlog.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// `*` stands for any run of characters, `?` for any one.
bool wildcardMatch(std::string_view pattern, std::string_view value)
{
    if (pattern.empty())
        return value.empty();
    if (pattern[0] == '*')
        return wildcardMatch(pattern.substr(1), value) ||
               (!value.empty() && wildcardMatch(pattern, value.substr(1)));
    return !value.empty() && (pattern[0] == '?' || pattern[0] == value[0]) &&
           wildcardMatch(pattern.substr(1), value.substr(1));
}

bool isFinal(const std::string& status)
{
    return status == "COMPLETED" || status == "DISCONTINUED";
}

} // namespace

std::string textOf(DcmItem& item, const DcmTagKey& tag)
{
    OFString value;
    item.findAndGetOFStringArray(tag, value);
    return value.c_str();
}

void WorklistEntry::readKeys(DcmItem& dataset)
{
    studyUid = textOf(dataset, DCM_StudyInstanceUID);
    DcmItem* step = nullptr;
    if (dataset.findAndGetSequenceItem(DCM_ScheduledProcedureStepSequence, step).bad() || !step)
        return;
    stepId = textOf(*step, DCM_ScheduledProcedureStepID);
    date = textOf(*step, DCM_ScheduledProcedureStepStartDate);
    station = textOf(*step, DCM_ScheduledStationAETitle);
    modality = textOf(*step, DCM_Modality);
}

bool WorklistEntry::matches(const WorklistEntry& query) const
{
    const std::string& range = query.date;
    if (const auto dash = range.find('-'); dash != std::string::npos) {
        const std::string from = range.substr(0, dash), to = range.substr(dash + 1);
        if ((!from.empty() && date < from) || (!to.empty() && date > to))
            return false;
    } else if (!range.empty() && date != range) {
        return false;
    }
    return (query.station.empty() || wildcardMatch(query.station, station)) &&
           (query.modality.empty() || wildcardMatch(query.modality, modality));
}

void Worklist::setDemo(const DemoGenerator& generator, std::size_t count)
{
    const std::lock_guard lock(m_mutex);
    m_demo = generator;
    m_entries.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        m_entries[i].readKeys(*generator.dataset(i));
        m_entries[i].demoIndex = i;
    }
}

bool Worklist::readFolder(const std::string& folder, std::size_t maxBytes, std::string& error)
{
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto& item : fs::directory_iterator(folder, ec)) {
        const std::string extension = item.path().extension().string();
        if (item.is_regular_file() && (extension == ".wl" || extension == ".dcm"))
            files.push_back(item.path());
    }
    if (ec) {
        error = "cannot read folder " + folder + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& path : files) {
        // A file deeper or larger than any request would be is not read at all.
        DcmFileFormat file;
        const bool large = fs::file_size(path, ec) > maxBytes;
        const OFCondition loaded = large ? EC_IllegalCall : file.loadFile(path.c_str());
        if (loaded.bad()) {
            serverlog::line("skipped " + path.string() + ": " +
                            (large ? "larger than " + std::to_string(maxBytes) + " bytes"
                                   : std::string(loaded.text())));
            continue;
        }
        WorklistEntry entry;
        entry.file = path.string();
        entry.data = std::make_shared<DcmDataset>(*file.getDataset());
        entry.readKeys(*file.getDataset());
        const std::lock_guard lock(m_mutex);
        m_entries.push_back(std::move(entry));
    }
    return true;
}

std::vector<WorklistEntry> Worklist::find(const WorklistEntry& query) const
{
    const std::lock_guard lock(m_mutex);
    std::vector<WorklistEntry> found;
    std::copy_if(m_entries.begin(), m_entries.end(), std::back_inserter(found),
                 [&query](const WorklistEntry& entry) { return entry.matches(query); });
    return found;
}

std::unique_ptr<DcmDataset> Worklist::dataset(const WorklistEntry& entry) const
{
    return entry.data ? std::make_unique<DcmDataset>(*entry.data)
                      : m_demo->dataset(entry.demoIndex);
}

std::vector<WorklistEntry> Worklist::remove(const std::string& studyUid, const std::string& stepId)
{
    const std::lock_guard lock(m_mutex);
    std::vector<WorklistEntry> removed;
    if (studyUid.empty())
        return removed;
    const auto kept =
        std::stable_partition(m_entries.begin(), m_entries.end(), [&](const WorklistEntry& entry) {
            return entry.studyUid != studyUid || (!stepId.empty() && entry.stepId != stepId);
        });
    removed.assign(kept, m_entries.end());
    m_entries.erase(kept, m_entries.end());
    for (const WorklistEntry& entry : removed) {
        std::error_code ignored;
        fs::remove(entry.file, ignored); // none for a demo entry
    }
    return removed;
}

Worklist::StepResult Worklist::createPerformedStep(const std::string& uid,
                                                   const std::string& status, const StepKeys& steps)
{
    const std::lock_guard lock(m_mutex);
    const bool created = m_performed.try_emplace(uid, status, steps).second;
    return created ? StepResult::Done : StepResult::Duplicate;
}

Worklist::StepResult Worklist::setPerformedStep(const std::string& uid, const std::string& status,
                                                std::vector<WorklistEntry>& removed)
{
    StepKeys steps;
    {
        const std::lock_guard lock(m_mutex);
        const auto it = m_performed.find(uid);
        if (it == m_performed.end())
            return StepResult::Unknown;
        auto& [current, named] = it->second;
        if (isFinal(current))
            return StepResult::Final;
        current = status.empty() ? current : status;
        if (!isFinal(current))
            return StepResult::Done;
        steps = named;
    }
    for (const auto& [studyUid, stepId] : steps) {
        for (WorklistEntry& entry : remove(studyUid, stepId))
            removed.push_back(std::move(entry));
    }
    return StepResult::Done;
}
