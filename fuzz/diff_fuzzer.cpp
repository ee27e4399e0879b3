// Our reader against StormLib, the independent implementation, on mutated archives: every file both
// read must come out byte for byte the same. A difference aborts with where it lies.
//
// StormLib 9.22 crashes on some malformed archives, and it is only the judge here, so it meets only
// what our reader takes for well-formed: an archive whose tables ReadArchiveTables accepted, and of
// that, only files our FileReader read to their end. A crash in StormLib on such input is still a
// finding (ours to know of, StormLib's to fix). Files are compared:
//   - by name, for each known name (the program's files and the internal ones) and each locale its
//     entries carry, through the entry StormLib picks for that locale (the first of that locale, or
//     for the neutral locale the last neutral one on the name's probe chain, as StormLib's
//     GetHashEntryLocale does), which is the slot our reader reads too;
//   - by block, for every other slot whose file is not encrypted, through StormLib's "File%08u.xxx"
//     names for a block index (the key of an encrypted file would need the name).
// Where the two disagree on anything short of bytes both read (StormLib refuses the archive, finds
// its header elsewhere, cannot open or read a file we read), the input is only counted by kind and
// the first few of each kind kept, when FUZZ_DIFF_DIR names a directory: each process appends its
// counts to FUZZ_DIFF_DIR/tally at exit and keeps inputs as FUZZ_DIFF_DIR/<kind>-<digest>.
#include "fuzz/memory_file.h"
#include "fuzz/reader_walk.h"

#include "archive/format/mpq_format.h"

#include <StormLib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using fuzz::Fail;
using Bytes = std::vector<std::uint8_t>;

// 'HM3W': a Warcraft III map's header. StormLib then reads the archive as the game reads maps
// (user data ignored, the single-unit flag dropped), unlike the game's own archives we edit.
constexpr std::uint32_t kMapHeader = 0x57334D48;
// Inputs kept per kind of disagreement, over all processes of a run.
constexpr int kKeptPerKind = 20;

std::uint32_t Le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// Outcomes by kind, and the inputs of the disagreements, in FUZZ_DIFF_DIR when it is set.
class Record {
public:
    static void Count(const std::string& kind, std::span<const std::uint8_t> input, bool keep) {
        static const bool registered = [] { return std::atexit(Flush) == 0; }();
        (void)registered;
        ++Counts()[kind];
        if (keep)
            Keep(kind, input);
    }

private:
    static std::map<std::string, std::uint64_t>& Counts() {
        // Never destroyed: Flush runs among the exit handlers, after function statics may be gone.
        static auto* counts = new std::map<std::string, std::uint64_t>();
        return *counts;
    }
    static const char* Directory() {
        const char* directory = std::getenv("FUZZ_DIFF_DIR");
        return directory != nullptr && *directory != '\0' ? directory : nullptr;
    }
    static void Keep(const std::string& kind, std::span<const std::uint8_t> input) {
        static std::map<std::string, bool> full;
        const char* directory = Directory();
        if (directory == nullptr || full[kind])
            return;
        std::error_code error;
        fs::create_directories(directory, error);
        int kept = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(directory, error))
            kept += entry.path().filename().string().starts_with(kind + "-") ? 1 : 0;
        if (kept >= kKeptPerKind) {
            full[kind] = true;
            return;
        }
        std::uint64_t digest = 1469598103934665603ull;
        for (const std::uint8_t byte : input)
            digest = (digest ^ byte) * 1099511628211ull;
        char name[17];
        std::snprintf(name, sizeof(name), "%016llx", static_cast<unsigned long long>(digest));
        if (FILE* out = std::fopen((fs::path(directory) / (kind + "-" + name)).c_str(), "wb")) {
            std::fwrite(input.data(), 1, input.size(), out);
            std::fclose(out);
        }
    }
    static void Flush() {
        const char* directory = Directory();
        if (directory == nullptr || Counts().empty())
            return;
        std::string line;
        for (const auto& [kind, count] : Counts())
            line += kind + " " + std::to_string(count) + " ";
        line.back() = '\n';
        std::error_code error;
        fs::create_directories(directory, error);
        // One short write with O_APPEND: lines of processes ending together do not interleave.
        const int out = open((fs::path(directory) / "tally").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            (void)!write(out, line.data(), line.size());
            close(out);
        }
    }
};

// The input as a file StormLib can open, in memory (/dev/shm) where there is one. The name is gone
// again once StormLib holds the file open, so that an input that ends the process leaves nothing.
class TemporaryArchive {
public:
    explicit TemporaryArchive(std::span<const std::uint8_t> bytes) {
        static const fs::path directory = [] {
            std::error_code error;
            return fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
        }();
        m_path = (directory / "ostrawen-diff-XXXXXX").string();
        const int fd = mkstemp(m_path.data());
        if (fd < 0)
            Fail("cannot make a temporary file in %s", directory.c_str());
        const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        close(fd);
        if (!written) {
            Remove();
            Fail("cannot write %s", m_path.c_str());
        }
    }
    ~TemporaryArchive() { Remove(); }
    TemporaryArchive(const TemporaryArchive&) = delete;
    TemporaryArchive& operator=(const TemporaryArchive&) = delete;

    const std::string& Path() const { return m_path; }
    void Remove() {
        if (!m_path.empty())
            unlink(m_path.c_str());
        m_path.clear();
    }

private:
    std::string m_path;
};

class StormArchive {
public:
    explicit StormArchive(const std::string& path) {
        if (!SFileOpenArchive(path.c_str(), 0, MPQ_OPEN_READ_ONLY | MPQ_OPEN_NO_LISTFILE | MPQ_OPEN_NO_ATTRIBUTES,
                              &m_handle))
            m_handle = nullptr;
    }
    ~StormArchive() {
        if (m_handle != nullptr)
            SFileCloseArchive(m_handle);
    }
    HANDLE Handle() const { return m_handle; }
    template <typename T> T Info(SFileInfoClass what) const {
        T value{};
        return SFileGetFileInfo(m_handle, what, &value, sizeof(value), nullptr) ? value : T(~T{});
    }

private:
    HANDLE m_handle = nullptr;
};

struct StormFile {
    bool opened = false;
    DWORD error = 0; // StormLib's last error when it did not open or read the file
    std::uint32_t blockIndex = 0;
    std::uint32_t size = 0;
    std::optional<Bytes> bytes; // when read whole
};

StormFile ReadWithStorm(const StormArchive& archive, const std::string& name, std::uint16_t locale) {
    StormFile result;
    HANDLE file = nullptr;
    SFileSetLocale(locale);
    if (!SFileOpenFileEx(archive.Handle(), name.c_str(), SFILE_OPEN_FROM_MPQ, &file)) {
        result.error = GetLastError();
        return result;
    }
    result.opened = true;
    DWORD index = 0xFFFFFFFF;
    SFileGetFileInfo(file, SFileInfoFileIndex, &index, sizeof(index), nullptr);
    result.blockIndex = index;
    result.size = SFileGetFileSize(file, nullptr);
    Bytes bytes(result.size);
    DWORD read = 0;
    if (result.size == 0 || (SFileReadFile(file, bytes.data(), result.size, &read, nullptr) && read == result.size))
        result.bytes = std::move(bytes);
    else
        result.error = GetLastError();
    SFileCloseFile(file);
    return result;
}

// A kind of disagreement with StormLib's error code, e.g. "storm-cannot-read-file-e1004" (its
// ERROR_FILE_CORRUPT on Linux).
std::string ErrorKind(const char* kind, DWORD error) {
    return std::string(kind) + "-e" + std::to_string(error);
}

// The slot StormLib opens for name in locale, of the name's entries in probe order.
std::optional<std::uint32_t> StormChoice(const mpq::ArchiveTables& tables, const std::vector<std::uint32_t>& entries,
                                         std::uint16_t locale) {
    std::optional<std::uint32_t> chosen;
    for (const std::uint32_t slot : entries) {
        if (tables.hashes[slot].locale != locale)
            continue;
        chosen = slot;
        if (locale != mpq::kLocaleNeutral)
            break;
    }
    return chosen;
}

class Comparison {
public:
    Comparison(std::span<const std::uint8_t> input, MemoryFile& file, const mpq::ArchiveTables& tables,
               const StormArchive& storm)
        : m_input(input), m_file(file), m_tables(tables), m_storm(storm),
          m_isMap(input.size() >= 4 && Le32(input.data()) == kMapHeader) {}

    // One file: ours read through slot under name, StormLib's opened as stormName in locale.
    void File(std::uint32_t slot, const std::string& name, const std::string& stormName, std::uint16_t locale) {
        const mpq::BlockEntry& block = m_tables.blocks[m_tables.hashes[slot].blockIndex];
        if (m_isMap && (block.flags & mpq::kFileSingleUnit) != 0) {
            Record::Count("map-single-unit-skipped", m_input, false);
            return;
        }
        const std::optional<Bytes> ours = fuzz::ReadSlot(m_file, m_tables, slot, name, m_budget, true);
        if (!ours) {
            Record::Count("ours-refused-file", m_input, false);
            return;
        }
        const StormFile theirs = ReadWithStorm(m_storm, stormName, locale);
        if (!theirs.opened) {
            Record::Count(ErrorKind("storm-cannot-open-file", theirs.error), m_input, true);
            return;
        }
        if (theirs.blockIndex != m_tables.hashes[slot].blockIndex) {
            Record::Count("storm-opens-another-entry", m_input, true);
            return;
        }
        if (theirs.size != ours->size())
            Fail("%s (slot %u, locale %x, block %u): StormLib says %u bytes, we read %zu", stormName.c_str(), slot,
                 locale, theirs.blockIndex, theirs.size, ours->size());
        if (!theirs.bytes) {
            Record::Count(ErrorKind("storm-cannot-read-file", theirs.error), m_input, true);
            return;
        }
        if (*theirs.bytes != *ours) {
            const auto difference = std::mismatch(ours->begin(), ours->end(), theirs.bytes->begin());
            const std::size_t at = static_cast<std::size_t>(difference.first - ours->begin());
            Fail("%s (slot %u, locale %x, block %u, flags %08x, %zu bytes) differs from StormLib's at "
                 "byte %zu: ours %02x, StormLib's %02x",
                 stormName.c_str(), slot, locale, theirs.blockIndex, block.flags, ours->size(), at, *difference.first,
                 *difference.second);
        }
        Record::Count("files-equal", m_input, false);
    }

    void Run() {
        std::set<std::uint32_t> compared;
        for (const std::string& name : fuzz::KnownNames()) {
            const std::vector<std::uint32_t> entries = mpq::FindNameEntries(m_tables, name);
            std::set<std::uint16_t> locales;
            for (const std::uint32_t slot : entries) {
                compared.insert(slot);
                locales.insert(m_tables.hashes[slot].locale);
            }
            for (const std::uint16_t locale : locales) {
                if (const std::optional<std::uint32_t> slot = StormChoice(m_tables, entries, locale))
                    File(*slot, name, name, locale);
            }
        }
        std::set<std::uint32_t> blocks;
        for (std::uint32_t slot = 0; slot < m_tables.hashes.size(); ++slot) {
            const mpq::HashEntry& hash = m_tables.hashes[slot];
            if (!hash.InUse() || compared.contains(slot) || !blocks.insert(hash.blockIndex).second ||
                (m_tables.blocks[hash.blockIndex].flags & mpq::kFileEncrypted) != 0)
                continue;
            char pseudoName[32];
            std::snprintf(pseudoName, sizeof(pseudoName), "File%08u.xxx", hash.blockIndex);
            File(slot, "unnamed", pseudoName, hash.locale);
        }
    }

private:
    std::span<const std::uint8_t> m_input;
    MemoryFile& m_file;
    const mpq::ArchiveTables& m_tables;
    const StormArchive& m_storm;
    const bool m_isMap;
    std::uint64_t m_budget = fuzz::kReadBudget;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    MemoryFile file(input, size);
    const std::optional<mpq::ArchiveTables> tables = mpq::ReadArchiveTables(file, false);
    if (!tables) {
        Record::Count("ours-refused-archive", input, false);
        return 0;
    }
    TemporaryArchive onDisk(input);
    const StormArchive storm(onDisk.Path());
    onDisk.Remove();
    if (storm.Handle() == nullptr) {
        Record::Count(ErrorKind("storm-refused-archive", GetLastError()), input, true);
        return 0;
    }
    // Tables read from another header, or sized otherwise, make every file differ: that is one
    // disagreement about the archive, not one per file.
    if (storm.Info<std::uint64_t>(SFileMpqHeaderOffset) != tables->headerOffset ||
        storm.Info<std::uint32_t>(SFileMpqHashTableSize) != tables->hashes.size() ||
        storm.Info<std::uint32_t>(SFileMpqBlockTableSize) != tables->blocks.size() ||
        storm.Info<std::uint32_t>(SFileMpqSectorSize) != tables->SectorSize()) {
        Record::Count("storm-reads-other-tables", input, true);
        return 0;
    }
    Record::Count("archives-compared", input, false);
    Comparison(input, file, *tables, storm).Run();
    return 0;
}
