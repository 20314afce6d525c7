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
class DcmTagKey;

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

    // Fills the keys from a data set's first scheduled step (an entry, or a C-FIND identifier).
    void readKeys(DcmItem& dataset);
    // Whether the entry matches the keys of a C-FIND identifier: an empty key matches all, a
    // date may be a range (A-B, A-, -B), the AE title and the modality may hold * and ?.
    [[nodiscard]] bool matches(const WorklistEntry& query) const;
};

// The text of an attribute, all its values; empty when it is missing.
[[nodiscard]] std::string textOf(DcmItem& item, const DcmTagKey& tag);

// The scheduled steps a performed procedure step names: Study Instance UID, Scheduled Procedure
// Step ID (empty: the whole study).
using StepKeys = std::vector<std::pair<std::string, std::string>>;

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

    [[nodiscard]] std::vector<WorklistEntry> find(const WorklistEntry& query) const;
    // The entry's data set as it is sent.
    [[nodiscard]] std::unique_ptr<DcmDataset> dataset(const WorklistEntry& entry) const;

    // Takes every entry of a study off the list (and deletes its file), or with a step ID only
    // that step; gives the entries removed. An empty Study Instance UID removes nothing.
    std::vector<WorklistEntry> remove(const std::string& studyUid, const std::string& stepId = {});

    // Modality Performed Procedure Steps. Setting the status (when `status` is not empty) to
    // COMPLETED or DISCONTINUED takes the scheduled steps it names off the list, into `removed`.
    enum class StepResult { Done, Duplicate, Unknown, Final };
    StepResult createPerformedStep(const std::string& uid, const std::string& status,
                                   const StepKeys& steps);
    StepResult setPerformedStep(const std::string& uid, const std::string& status,
                                std::vector<WorklistEntry>& removed);

private:
    mutable std::mutex m_mutex;
    std::vector<WorklistEntry> m_entries;
    std::optional<DemoGenerator> m_demo;
    std::map<std::string, std::pair<std::string, StepKeys>> m_performed; // status, steps
};
