#pragma once

#include "worklistentry.h"

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

// The worklist the server answers from: either generated entries held in memory, or the DICOM
// files (*.wl, *.dcm) of one folder, one entry per file. A folder is read at start and checked
// again before each request (refresh()): only new or changed files are read, so a small folder
// costs a directory listing per request.
class WorklistStore final
{
public:
    using Logger = std::function<void(const std::string&)>;

    explicit WorklistStore(Logger logger = {});

    void setEntries(std::vector<WorklistEntry> entries);
    // Reads the folder; false (with `error`) when it cannot be listed.
    [[nodiscard]] bool openFolder(const std::filesystem::path& folder, std::string& error);
    // Picks up files added, changed or deleted since the last look (folder mode only).
    void refresh();

    [[nodiscard]] const std::vector<WorklistEntry>& entries() const { return m_entries; }

    struct RemoveResult
    {
        int removed = 0;
        std::vector<std::string> failures; // files that could not be deleted
    };
    // Takes every entry with this Study Instance UID off the list and deletes its file. An empty
    // UID removes nothing. An entry whose file cannot be deleted stays on the list.
    [[nodiscard]] RemoveResult removeByStudyUid(const std::string& uid);

    // Reads one DICOM file (with or without meta header) as an entry.
    [[nodiscard]] static bool loadFile(const std::string& path, WorklistEntry& entry,
                                       std::string& error);

private:
    struct CachedFile
    {
        std::filesystem::file_time_type modified;
        std::uintmax_t size = 0;
        bool valid = false;
        WorklistEntry entry;
    };

    void rebuildEntries();

    Logger m_logger;
    std::vector<WorklistEntry> m_entries;
    std::filesystem::path m_folder;
    std::map<std::string, CachedFile> m_files;
};
