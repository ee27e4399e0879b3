// MpqEngine over StormLib 9.22. Each call wraps one StormLib call and turns its failure into a
// null handle or false, remembering why; StormLib itself never throws.
#include "archive/mpq_engine.h"
#include "archive/storm_crypto.h"

#include <StormLib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

constexpr LCID kSimplifiedChinese = 0x804;

// StormLib 9.22 looks only in its current locale, while the game on a Chinese system reads the
// Simplified Chinese entry first and then the neutral one; some archives hold a file under 0x804
// only. This picks the entry the game reads.
std::optional<LCID> LocaleTheGameReads(HANDLE archive, const std::string& name) {
    LCID locales[32];
    DWORD count = 32;
    const DWORD error = SFileEnumLocales(archive, name.c_str(), locales, &count, 0);
    if (error != ERROR_SUCCESS || count == 0) {
        SetLastError(error == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : error);
        return std::nullopt;
    }
    LCID chosen = locales[0];
    for (DWORD i = 0; i < count; ++i) {
        if (locales[i] == kSimplifiedChinese || (locales[i] == LANG_NEUTRAL && chosen != kSimplifiedChinese))
            chosen = locales[i];
    }
    return chosen;
}

// Now as a Windows FILETIME (100 ns units since 1601), the time (attributes) records.
ULONGLONG FileTimeNow() {
    const auto sinceUnixEpoch =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    constexpr ULONGLONG unixEpochAsFileTime = 116444736000000000ULL;
    return unixEpochAsFileTime + static_cast<ULONGLONG>(sinceUnixEpoch.count() / 100);
}

// StormLib's error codes are errno values on POSIX and Windows codes on Windows; ERROR_DISK_FULL
// is ENOSPC on POSIX.
MpqFailure FailureOf(DWORD error) {
    switch (error) {
    case ERROR_DISK_FULL:
#if defined(EFBIG)
    case EFBIG:
#endif
        return MpqFailure::DiskFull;
    case ERROR_FILE_NOT_FOUND:
        return MpqFailure::NotFound;
    default:
        return MpqFailure::EngineFailed;
    }
}

class StormMpqEngine final : public MpqEngine {
public:
    // Any archive opened for writing may hold a weak signature, which StormLib renews on every write.
    StormMpqEngine() { PrepareStormSigning(); }

    MpqFailure LastFailure() const override { return FailureOf(GetLastError()); }

    void SetProgress(MpqProgress progress) override { m_progress = std::move(progress); }

    MpqHandle OpenArchive(const std::filesystem::path& path, bool readOnly, bool headerAtStart) override {
        HANDLE archive = nullptr;
        // SFileOpenArchive never creates a file. Without a header search StormLib cannot settle
        // on a later header than the one our own check read.
        DWORD flags = 0;
        // A read finds its file by name through the hash table, so StormLib's parse of (listfile)
        // and (attributes), most of what an open costs on a game archive, is skipped there.
        if (readOnly)
            flags |= MPQ_OPEN_READ_ONLY | MPQ_OPEN_NO_LISTFILE | MPQ_OPEN_NO_ATTRIBUTES;
        if (headerAtStart)
            flags |= MPQ_OPEN_NO_HEADER_SEARCH;
        if (!SFileOpenArchive(path.c_str(), 0, flags, &archive))
            return nullptr;
        return archive;
    }

    bool IsReadOnly(MpqHandle archive) override {
        DWORD flags = 0;
        if (!SFileGetFileInfo(archive, SFileMpqFlags, &flags, sizeof(flags), nullptr))
            return true;
        return (flags & MPQ_FLAG_READ_ONLY) != 0;
    }

    bool FlushArchive(MpqHandle archive) override { return SFileFlushArchive(archive); }
    bool CloseArchive(MpqHandle archive) override { return SFileCloseArchive(archive); }

    MpqHandle OpenFile(MpqHandle archive, const std::string& name) override {
        const std::optional<LCID> locale = LocaleTheGameReads(archive, name);
        if (!locale)
            return nullptr;
        const LCID previous = SFileSetLocale(*locale);
        HANDLE file = nullptr;
        const bool opened = SFileOpenFileEx(archive, name.c_str(), SFILE_OPEN_FROM_MPQ, &file);
        SFileSetLocale(previous);
        return opened ? file : nullptr;
    }

    std::optional<std::uint64_t> FileSize(MpqHandle file) override {
        DWORD high = 0;
        const DWORD low = SFileGetFileSize(file, &high);
        if (low == SFILE_INVALID_SIZE)
            return std::nullopt;
        return (static_cast<std::uint64_t>(high) << 32) | low;
    }

    std::optional<std::uint32_t> FileLocale(MpqHandle file) override {
        DWORD locale = 0;
        if (!SFileGetFileInfo(file, SFileInfoLocale, &locale, sizeof(locale), nullptr))
            return std::nullopt;
        return locale;
    }

    bool ReadFile(MpqHandle file, std::uint8_t* buffer, std::uint32_t size) override {
        DWORD read = 0;
        if (!SFileReadFile(file, buffer, size, &read, nullptr))
            return false;
        return read == size;
    }

    bool CloseFile(MpqHandle file) override { return SFileCloseFile(file); }

    MpqHandle CreateFile(MpqHandle archive, const std::string& name, std::uint32_t size,
                         std::uint32_t locale) override {
        // 9.22 may report success and still leave the handle unset; only a handle counts.
        HANDLE file = nullptr;
        const DWORD flags = MPQ_FILE_COMPRESS | MPQ_FILE_REPLACEEXISTING;
        if (!SFileCreateFile(archive, name.c_str(), FileTimeNow(), size, locale, flags, &file))
            return nullptr;
        return file;
    }

    bool WriteFile(MpqHandle file, const std::uint8_t* data, std::uint32_t size) override {
        // zlib: StormLib 9.22 always uses zlib's level 6 (the level is not an argument).
        return SFileWriteFile(file, data, size, MPQ_COMPRESSION_ZLIB);
    }

    bool FinishFile(MpqHandle file) override { return SFileFinishFile(file); }

    bool RemoveFile(MpqHandle archive, const std::string& name) override {
        // StormLib removes the entry of its current locale.
        const std::optional<LCID> locale = LocaleTheGameReads(archive, name);
        if (!locale)
            return false;
        const LCID previous = SFileSetLocale(*locale);
        const bool removed = SFileRemoveFile(archive, name.c_str(), 0);
        SFileSetLocale(previous);
        return removed;
    }

    bool CompactArchive(MpqHandle archive) override {
        // StormLib counts bytes through all phases of a compaction; every phase is a sign of life.
        if (m_progress && !SFileSetCompactCallback(archive, &StormMpqEngine::CompactionProgress, this))
            return false;
        m_compactionTotal = 0;
        const bool compacted = SFileCompactArchive(archive, nullptr, false);
        const DWORD error = GetLastError();
        if (m_progress) {
            SFileSetCompactCallback(archive, nullptr, nullptr);
            // StormLib's count stops short of its own total (it counts no deleted space); a
            // compaction that is done is reported as done.
            if (compacted && m_compactionTotal != 0)
                m_progress(m_compactionTotal, m_compactionTotal);
        }
        SetLastError(error);
        return compacted;
    }

private:
    static void WINAPI CompactionProgress(void* context, DWORD, ULONGLONG done, ULONGLONG total) {
        auto* engine = static_cast<StormMpqEngine*>(context);
        engine->m_compactionTotal = total;
        if (engine->m_progress)
            engine->m_progress(std::min(done, total), total);
    }

    MpqProgress m_progress;
    std::uint64_t m_compactionTotal = 0;
};

} // namespace

std::shared_ptr<MpqEngine> MakeStormMpqEngine() {
    return std::make_shared<StormMpqEngine>();
}
