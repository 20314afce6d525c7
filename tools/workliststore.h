#pragma once

#include "worklistentry.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The worklist the server answers from: either generated entries held in memory, or the DICOM
// files (*.wl, *.dcm) of one folder, one entry per file. A folder is read at start and checked
// again before each request (refresh()): only new or changed files are read, so a small folder
// costs a directory listing per request. Safe to use from several threads: a query works on a
// snapshot of the list that later changes do not touch.
class WorklistStore final
{
public:
    using Logger = std::function<void(const std::string&)>;
    using EntryList = std::vector<std::shared_ptr<const WorklistEntry>>;

    explicit WorklistStore(Logger logger = {});

    void setEntries(std::vector<WorklistEntry> entries);
    // Reads the folder; false (with `error`) when it cannot be listed.
    [[nodiscard]] bool openFolder(const std::filesystem::path& folder, std::string& error);
    // Picks up files added, changed or deleted since the last look (folder mode only).
    void refresh();

    [[nodiscard]] std::shared_ptr<const EntryList> entries() const;

    struct RemoveResult
    {
        std::vector<std::string> removed;  // a description of each entry removed
        std::vector<std::string> failures; // files that could not be deleted
    };
    // Takes every entry with this Study Instance UID off the list and deletes its file. An empty
    // UID removes nothing. An entry whose file cannot be deleted stays on the list.
    [[nodiscard]] RemoveResult removeByStudyUid(const std::string& uid);

    // Reads one DICOM file (with or without meta header) as an entry, within the limits of
    // datasetlimits (a larger, deflated or too deeply nested file is refused).
    [[nodiscard]] static bool loadFile(const std::string& path, WorklistEntry& entry,
                                       std::string& error);

private:
    struct CachedFile
    {
        std::filesystem::file_time_type modified;
        std::uintmax_t size = 0;
        bool valid = false;
        std::shared_ptr<const WorklistEntry> entry;
    };

    void refreshLocked();
    void rebuildEntries();

    Logger m_logger;
    mutable std::mutex m_mutex;
    std::shared_ptr<const EntryList> m_entries = std::make_shared<const EntryList>();
    std::filesystem::path m_folder;
    std::map<std::string, CachedFile> m_files;
};
