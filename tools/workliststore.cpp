#include "workliststore.h"

#include "datasetlimits.h"
#include "textutil.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <algorithm>
#include <fstream>
#include <iterator>
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

// "PATIENT-ID Name (file)" for the log line of a removed entry.
std::string describe(const WorklistEntry& entry)
{
    std::string text;
    for (const DcmTagKey& tag : {DCM_PatientID, DCM_PatientName}) {
        const Attribute* attribute = findAttribute(entry.attributes, tag);
        if (attribute && !attribute->value.empty())
            text += (text.empty() ? "" : " ") + textutil::forLog(attribute->value, 64);
    }
    if (!entry.file.empty())
        text += (text.empty() ? "(" : " (") + textutil::forLog(entry.file) + ")";
    return text.empty() ? "(no patient)" : text;
}

} // namespace

WorklistStore::WorklistStore(Logger logger) : m_logger(std::move(logger)) {}

std::shared_ptr<const WorklistStore::EntryList> WorklistStore::entries() const
{
    std::lock_guard lock(m_mutex);
    return m_entries;
}

void WorklistStore::setEntries(std::vector<WorklistEntry> entries)
{
    auto list = std::make_shared<EntryList>();
    list->reserve(entries.size());
    for (WorklistEntry& entry : entries)
        list->push_back(std::make_shared<const WorklistEntry>(std::move(entry)));
    std::lock_guard lock(m_mutex);
    m_folder.clear();
    m_files.clear();
    m_entries = std::move(list);
}

bool WorklistStore::openFolder(const fs::path& folder, std::string& error)
{
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        error = "not a folder: " + folder.string();
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        m_folder = folder;
        m_files.clear();
    }
    refresh();
    return true;
}

void WorklistStore::refresh()
{
    std::lock_guard lock(m_mutex);
    refreshLocked();
}

void WorklistStore::refreshLocked()
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
        WorklistEntry entry;
        file.valid = loadFile(path, entry, error);
        if (file.valid)
            file.entry = std::make_shared<const WorklistEntry>(std::move(entry));
        else if (m_logger)
            m_logger("skipped " + textutil::forLog(path) + ": " + error);
        files.emplace(path, std::move(file));
    }
    if (ec && m_logger)
        m_logger("cannot read folder " + textutil::forLog(m_folder.string()) + ": " + ec.message());
    changed = changed || files.size() != m_files.size();
    m_files = std::move(files);
    if (changed)
        rebuildEntries();
}

void WorklistStore::rebuildEntries()
{
    auto list = std::make_shared<EntryList>();
    for (const auto& [path, file] : m_files)
        if (file.valid)
            list->push_back(file.entry);
    m_entries = std::move(list);
}

bool WorklistStore::loadFile(const std::string& path, WorklistEntry& entry, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes;
    if (in) {
        bytes.resize(datasetlimits::kMaxBytes + 1);
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<std::size_t>(in.gcount()));
    }
    if (!in && !in.eof()) {
        error = "cannot be read";
        return false;
    }
    // Inflated, a deflated file could hold what the checks below never see.
    if (bytes.find(UID_DeflatedExplicitVRLittleEndianTransferSyntax) != std::string::npos) {
        error = "deflated files are not read";
        return false;
    }
    std::unique_ptr<DcmFileFormat> file;
    if (!datasetlimits::parseFile(bytes, file, error))
        return false;
    DcmDataset& dataset = *file->getDataset();
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
    std::lock_guard lock(m_mutex);
    refreshLocked();
    auto list = std::make_shared<EntryList>();
    for (const auto& entry : *m_entries) {
        if (entry->studyUid != uid) {
            list->push_back(entry);
            continue;
        }
        if (!entry->file.empty()) {
            std::error_code ec;
            fs::remove(entry->file, ec);
            if (ec) {
                result.failures.push_back(textutil::forLog(entry->file) + ": " + ec.message());
                list->push_back(entry);
                continue;
            }
            m_files.erase(entry->file);
        }
        result.removed.push_back(describe(*entry));
    }
    m_entries = std::move(list);
    return result;
}
