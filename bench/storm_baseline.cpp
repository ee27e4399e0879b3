// The unsafe in-place StormLib operations the benchmark compares clsMpqControl with. They do what
// the door does minus its safety: no header check, no journal, no fsync.
#include "bench/storm_baseline.h"

#include <StormLib.h>

#include <chrono>
#include <limits>

namespace {

// Now as a Windows FILETIME, the time (attributes) records, as the door stores it.
ULONGLONG FileTimeNow() {
    const auto sinceUnixEpoch =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    constexpr ULONGLONG unixEpochAsFileTime = 116444736000000000ULL;
    return unixEpochAsFileTime + static_cast<ULONGLONG>(sinceUnixEpoch.count() / 100);
}

// Closes the archive when the operation leaves, whatever the path; the result of a deliberate
// close is taken with Close().
class ArchiveHandle {
public:
    ArchiveHandle() = default;
    ArchiveHandle(const ArchiveHandle&) = delete;
    ArchiveHandle& operator=(const ArchiveHandle&) = delete;
    ~ArchiveHandle() {
        if (m_handle != nullptr)
            SFileCloseArchive(m_handle);
    }

    bool Open(const std::filesystem::path& path, bool readOnly) {
        return SFileOpenArchive(path.c_str(), 0, readOnly ? MPQ_OPEN_READ_ONLY : 0, &m_handle) && m_handle != nullptr;
    }
    bool Create(const std::filesystem::path& path, DWORD flags, DWORD maxFileCount) {
        return SFileCreateArchive(path.c_str(), flags, maxFileCount, &m_handle) && m_handle != nullptr;
    }
    bool Close() {
        HANDLE handle = m_handle;
        m_handle = nullptr;
        return SFileCloseArchive(handle);
    }
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle = nullptr;
};

bool ReadOpenFile(HANDLE archive, const std::string& name, std::vector<std::uint8_t>& content, LCID& locale) {
    HANDLE file = nullptr;
    if (!SFileOpenFileEx(archive, name.c_str(), SFILE_OPEN_FROM_MPQ, &file) || file == nullptr)
        return false;
    bool ok = SFileGetFileInfo(file, SFileInfoLocale, &locale, sizeof(locale), nullptr);
    DWORD high = 0;
    const DWORD size = SFileGetFileSize(file, &high);
    ok = ok && size != SFILE_INVALID_SIZE && high == 0;
    if (ok) {
        content.assign(size, 0);
        DWORD read = 0;
        ok = size == 0 || (SFileReadFile(file, content.data(), size, &read, nullptr) && read == size);
    }
    SFileCloseFile(file);
    return ok;
}

bool WriteNewFile(HANDLE archive, const std::string& name, const std::vector<std::uint8_t>& content, LCID locale,
                  DWORD flags) {
    if (content.size() > std::numeric_limits<DWORD>::max())
        return false;
    const auto size = static_cast<DWORD>(content.size());
    HANDLE file = nullptr;
    if (!SFileCreateFile(archive, name.c_str(), FileTimeNow(), size, locale, flags, &file) || file == nullptr)
        return false;
    // StormLib must never see a null buffer, even for no bytes.
    static const std::uint8_t noByte = 0;
    const bool written = SFileWriteFile(file, content.empty() ? &noByte : content.data(), size, MPQ_COMPRESSION_ZLIB);
    return SFileFinishFile(file) && written;
}

// The locale of an existing file, so that a replacement hits the same entry (9.22 matches both).
LCID ExistingLocale(HANDLE archive, const std::string& name) {
    HANDLE file = nullptr;
    LCID locale = 0;
    if (SFileOpenFileEx(archive, name.c_str(), SFILE_OPEN_FROM_MPQ, &file) && file != nullptr) {
        if (!SFileGetFileInfo(file, SFileInfoLocale, &locale, sizeof(locale), nullptr))
            locale = 0;
        SFileCloseFile(file);
    }
    return locale;
}

constexpr DWORD kReplaceFlags = MPQ_FILE_COMPRESS | MPQ_FILE_REPLACEEXISTING;

} // namespace

bool StormReadFile(const std::filesystem::path& archive, const std::string& name, std::vector<std::uint8_t>& content) {
    ArchiveHandle mpq;
    if (!mpq.Open(archive, true))
        return false;
    LCID locale = 0;
    const bool read = ReadOpenFile(mpq.Get(), name, content, locale);
    return mpq.Close() && read;
}

bool StormSaveFile(const std::filesystem::path& archive, const std::string& name,
                   const std::vector<std::uint8_t>& content) {
    ArchiveHandle mpq;
    if (!mpq.Open(archive, false))
        return false;
    const bool written = WriteNewFile(mpq.Get(), name, content, ExistingLocale(mpq.Get(), name), kReplaceFlags);
    return mpq.Close() && written;
}

bool StormEditFile(const std::filesystem::path& archive, const std::string& name,
                   const std::function<bool(std::vector<std::uint8_t>&)>& edit) {
    ArchiveHandle mpq;
    if (!mpq.Open(archive, false))
        return false;
    std::vector<std::uint8_t> content;
    LCID locale = 0;
    const bool written = ReadOpenFile(mpq.Get(), name, content, locale) && edit(content) &&
                         WriteNewFile(mpq.Get(), name, content, locale, kReplaceFlags);
    return mpq.Close() && written;
}

bool StormDeleteFile(const std::filesystem::path& archive, const std::string& name) {
    ArchiveHandle mpq;
    if (!mpq.Open(archive, false))
        return false;
    const bool removed = SFileRemoveFile(mpq.Get(), name.c_str(), 0);
    return mpq.Close() && removed;
}

bool StormCompactArchive(const std::filesystem::path& archive) {
    ArchiveHandle mpq;
    if (!mpq.Open(archive, false))
        return false;
    const bool compacted = SFileCompactArchive(mpq.Get(), nullptr, false);
    return mpq.Close() && compacted;
}

bool StormCreateArchive(const std::filesystem::path& archive, int formatVersion, std::uint32_t hashTableSize,
                        std::size_t fileCount, const std::function<bool(std::size_t index, StormNewFile& file)>& next) {
    if (formatVersion != 0 && formatVersion != 1)
        return false;
    // Room for the two internal files besides ours; StormLib rounds the count up to the power of two.
    if (hashTableSize < 4 || (hashTableSize & (hashTableSize - 1)) != 0 || fileCount + 2 > hashTableSize)
        return false;
    std::error_code error;
    std::filesystem::remove(archive, error);
    const DWORD flags = (formatVersion == 1 ? MPQ_CREATE_ARCHIVE_V2 : MPQ_CREATE_ARCHIVE_V1) | MPQ_CREATE_LISTFILE |
                        MPQ_CREATE_ATTRIBUTES;
    ArchiveHandle mpq;
    if (!mpq.Create(archive, flags, hashTableSize - 2))
        return false;

    StormNewFile file;
    for (std::size_t index = 0; index < fileCount; ++index) {
        file = StormNewFile{};
        if (!next(index, file))
            return false;
        const DWORD fileFlags = file.compress ? MPQ_FILE_COMPRESS : 0;
        if (!WriteNewFile(mpq.Get(), file.name, file.content, 0, fileFlags))
            return false;
    }
    return mpq.Close();
}
