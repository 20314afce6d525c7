#include "workliststore.h"

#include <dcmtk/dcmdata/dcfilefo.h>

#include <algorithm>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool isWorklistFile(const fs::directory_entry& file)
{
    std::error_code ec;
    if (!file.is_regular_file(ec))
        return false;
    std::string extension = file.path().extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".wl" || extension == ".dcm";
}

} // namespace

WorklistStore::WorklistStore(Logger logger) : m_logger(std::move(logger)) {}

void WorklistStore::setEntries(std::vector<WorklistEntry> entries)
{
    m_folder.clear();
    m_files.clear();
    m_entries = std::move(entries);
}

bool WorklistStore::openFolder(const fs::path& folder, std::string& error)
{
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        error = "not a folder: " + folder.string();
        return false;
    }
    m_folder = folder;
    m_files.clear();
    refresh();
    return true;
}

void WorklistStore::refresh()
{
    if (m_folder.empty())
        return;
    std::map<std::string, CachedFile> files;
    bool changed = false;
    std::error_code ec;
    for (fs::directory_iterator it(m_folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!isWorklistFile(*it))
            continue;
        const std::string path = it->path().string();
        std::error_code statError;
        const auto modified = it->last_write_time(statError);
        const auto size = it->file_size(statError);
        if (statError)
            continue;
        auto cached = m_files.find(path);
        if (cached != m_files.end() && cached->second.modified == modified &&
            cached->second.size == size) {
            files.emplace(path, std::move(cached->second));
            continue;
        }
        changed = true;
        CachedFile file;
        file.modified = modified;
        file.size = size;
        std::string error;
        file.valid = loadFile(path, file.entry, error);
        if (!file.valid && m_logger)
            m_logger("skipped " + path + ": " + error);
        files.emplace(path, std::move(file));
    }
    if (ec && m_logger)
        m_logger("cannot read folder " + m_folder.string() + ": " + ec.message());
    changed = changed || files.size() != m_files.size();
    m_files = std::move(files);
    if (changed)
        rebuildEntries();
}

void WorklistStore::rebuildEntries()
{
    m_entries.clear();
    for (const auto& [path, file] : m_files)
        if (file.valid)
            m_entries.push_back(file.entry);
}

bool WorklistStore::loadFile(const std::string& path, WorklistEntry& entry, std::string& error)
{
    DcmFileFormat fileFormat;
    const OFCondition status = fileFormat.loadFile(path.c_str(), EXS_Unknown, EGL_noChange,
                                                   DCM_MaxReadLength, ERM_autoDetect);
    if (status.bad()) {
        error = status.text();
        return false;
    }
    DcmDataset& dataset = *fileFormat.getDataset();
    entry = WorklistEntry();
    entry.attributes = attributesFromItem(dataset);
    entry.file = path;
    entry.updateKeys();
    if (!isUtf8Compatible(entry.charset)) {
        DcmDataset converted(dataset);
        if (converted.convertToUTF8().good())
            entry.utf8 = std::make_shared<const AttributeList>(attributesFromItem(converted));
    }
    return true;
}

WorklistStore::RemoveResult WorklistStore::removeByStudyUid(const std::string& uid)
{
    RemoveResult result;
    if (uid.empty())
        return result;
    refresh();
    auto keep = [&](const WorklistEntry& entry) {
        if (entry.studyUid != uid)
            return true;
        if (!entry.file.empty()) {
            std::error_code ec;
            fs::remove(entry.file, ec);
            if (ec) {
                result.failures.push_back(entry.file + ": " + ec.message());
                return true;
            }
            m_files.erase(entry.file);
        }
        ++result.removed;
        return false;
    };
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [&](const WorklistEntry& e) { return !keep(e); }),
                    m_entries.end());
    return result;
}
