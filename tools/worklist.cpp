#include "worklist.h"

#include "serverlog.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string text(DcmItem& item, const DcmTagKey& tag)
{
    OFString value;
    item.findAndGetOFStringArray(tag, value);
    return value.c_str();
}

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

void WorklistEntry::readKeys(DcmItem& dataset)
{
    studyUid = text(dataset, DCM_StudyInstanceUID);
    DcmItem* step = nullptr;
    if (dataset.findAndGetSequenceItem(DCM_ScheduledProcedureStepSequence, step).bad() || !step)
        return;
    stepId = text(*step, DCM_ScheduledProcedureStepID);
    date = text(*step, DCM_ScheduledProcedureStepStartDate);
    station = text(*step, DCM_ScheduledStationAETitle);
    modality = text(*step, DCM_Modality);
}

WorklistQuery WorklistQuery::fromIdentifier(DcmItem& identifier)
{
    WorklistEntry keys;
    keys.readKeys(identifier);
    return {keys.date, keys.station, keys.modality};
}

bool WorklistQuery::matches(const WorklistEntry& entry) const
{
    if (const auto dash = date.find('-'); dash != std::string::npos) {
        const std::string from = date.substr(0, dash), to = date.substr(dash + 1);
        if ((!from.empty() && entry.date < from) || (!to.empty() && entry.date > to))
            return false;
    } else if (!date.empty() && entry.date != date) {
        return false;
    }
    return (station.empty() || wildcardMatch(station, entry.station)) &&
           (modality.empty() || wildcardMatch(modality, entry.modality));
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
        if (fs::file_size(path, ec) > maxBytes) {
            serverlog::line("skipped " + path.string() + ": larger than " +
                            std::to_string(maxBytes) + " bytes");
            continue;
        }
        DcmFileFormat file;
        const OFCondition loaded = file.loadFile(path.c_str());
        if (loaded.bad()) {
            serverlog::line("skipped " + path.string() + ": " + loaded.text());
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

std::size_t Worklist::size() const
{
    const std::lock_guard lock(m_mutex);
    return m_entries.size();
}

std::vector<WorklistEntry> Worklist::find(const WorklistQuery& query) const
{
    const std::lock_guard lock(m_mutex);
    std::vector<WorklistEntry> found;
    std::copy_if(m_entries.begin(), m_entries.end(), std::back_inserter(found),
                 [&query](const WorklistEntry& entry) { return query.matches(entry); });
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
    auto named = [&](const WorklistEntry& entry) {
        return entry.studyUid == studyUid && (stepId.empty() || entry.stepId == stepId);
    };
    for (const WorklistEntry& entry : m_entries) {
        if (named(entry))
            removed.push_back(entry);
    }
    std::erase_if(m_entries, named);
    for (const WorklistEntry& entry : removed) {
        std::error_code ec;
        if (!entry.file.empty())
            fs::remove(entry.file, ec);
    }
    return removed;
}

Worklist::StepResult Worklist::createPerformedStep(const std::string& uid,
                                                   const PerformedStep& step)
{
    const std::lock_guard lock(m_mutex);
    return m_performed.emplace(uid, step).second ? StepResult::Done : StepResult::Duplicate;
}

Worklist::StepResult Worklist::setPerformedStep(const std::string& uid, const std::string& status,
                                                std::vector<WorklistEntry>& removed)
{
    PerformedStep step;
    {
        const std::lock_guard lock(m_mutex);
        const auto it = m_performed.find(uid);
        if (it == m_performed.end())
            return StepResult::Unknown;
        if (isFinal(it->second.status))
            return StepResult::Final;
        if (!status.empty())
            it->second.status = status;
        if (!isFinal(it->second.status))
            return StepResult::Done;
        step = it->second;
    }
    for (const auto& [studyUid, stepId] : step.steps) {
        for (WorklistEntry& entry : remove(studyUid, stepId))
            removed.push_back(std::move(entry));
    }
    return StepResult::Done;
}
