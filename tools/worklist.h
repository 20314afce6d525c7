#pragma once

#include "demogenerator.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class DcmDataset;
class DcmItem;

// One scheduled procedure step on the list, with the keys it is matched and removed by.
struct WorklistEntry
{
    std::string studyUid;
    std::string stepId;  // Scheduled Procedure Step ID
    std::string date;    // its start date, YYYYMMDD
    std::string station; // Scheduled Station AE Title
    std::string modality;
    std::string file;                       // --dir: deleted with the entry
    std::shared_ptr<const DcmDataset> data; // --dir: the file's data set
    std::size_t demoIndex = 0;              // --demo: made again for every answer

    // Fills the keys from a data set's first scheduled step.
    void readKeys(DcmItem& dataset);
};

// What a C-FIND asks for: the first item of its Scheduled Procedure Step Sequence. An empty
// value matches every entry; a date may be a range (A-B, A-, -B), the AE title and the modality
// may hold the wildcards * and ?.
struct WorklistQuery
{
    std::string date;
    std::string station;
    std::string modality;

    [[nodiscard]] static WorklistQuery fromIdentifier(DcmItem& identifier);
    [[nodiscard]] bool matches(const WorklistEntry& entry) const;
};

// A Modality Performed Procedure Step the server was told of: its status and the scheduled
// steps (Study Instance UID, Scheduled Procedure Step ID) it performs.
struct PerformedStep
{
    std::string status;
    std::vector<std::pair<std::string, std::string>> steps;
};

// The list the server answers from, shared by all associations: generated entries (--demo) or
// the DICOM files of one folder (--dir), read at start. Safe to use from several threads.
class Worklist final
{
public:
    void setDemo(const DemoGenerator& generator, std::size_t count);
    // Reads every *.wl and *.dcm file in `folder`; a file it cannot read (or one larger than
    // `maxBytes`) is skipped with a log line. False with `error` when the folder cannot be read.
    [[nodiscard]] bool readFolder(const std::string& folder, std::size_t maxBytes,
                                  std::string& error);

    [[nodiscard]] std::size_t size() const;
    [[nodiscard]] std::vector<WorklistEntry> find(const WorklistQuery& query) const;
    // The entry's data set as it is sent.
    [[nodiscard]] std::unique_ptr<DcmDataset> dataset(const WorklistEntry& entry) const;

    // Takes every entry of a study off the list (and deletes its file), or with a step ID only
    // that step; gives the entries removed. An empty Study Instance UID removes nothing.
    std::vector<WorklistEntry> remove(const std::string& studyUid, const std::string& stepId = {});

    enum class StepResult { Done, Duplicate, Unknown, Final };
    StepResult createPerformedStep(const std::string& uid, const PerformedStep& step);
    // Sets the step's status (when `status` is not empty); on COMPLETED or DISCONTINUED takes the
    // scheduled steps it performs off the list, into `removed`.
    StepResult setPerformedStep(const std::string& uid, const std::string& status,
                                std::vector<WorklistEntry>& removed);

private:
    mutable std::mutex m_mutex;
    std::vector<WorklistEntry> m_entries;
    std::optional<DemoGenerator> m_demo;
    std::map<std::string, PerformedStep> m_performed;
};
