#include "archive/door/archive_guard.h"

#include "support/durable_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;
using archive_io::File;
using archive_io::FileIdentity;
using archive_io::IoFailure;

namespace archive_guard {

namespace {

// Journal layout. Header (kHeaderSize bytes): magic, the archive's device and inode (u64 each), its
// length before the edit, the offset and length of the region below the tail and its hash, the
// complete journal's length, the MPQ header's offset and length, and an FNV-1a checksum of these
// header bytes. Body: segment count (u32), then per segment its offset (u64), length (u64) and
// bytes, the MPQ header first; last an FNV-1a checksum (u64) of everything before it, header
// included. After the body, once the engine has written everything but the MPQ header: a commit
// record with the header it is about to write (magic, length u64, bytes, FNV-1a checksum).
constexpr std::array<std::uint8_t, 8> kMagic = {'O', 'S', 'T', 'J', 'R', 'N', 'L', '3'};
constexpr std::array<std::array<std::uint8_t, 8>, 2> kOldMagics = {
    {{'O', 'S', 'T', 'J', 'R', 'N', 'L', '1'}, {'O', 'S', 'T', 'J', 'R', 'N', 'L', '2'}}};
constexpr std::array<std::uint8_t, 8> kCommitMagic = {'O', 'S', 'T', 'J', 'C', 'M', 'T', '1'};
constexpr std::size_t kHeaderSize = 8 + 10 * 8;
constexpr std::uint64_t kMaxMpqHeader = 64;
constexpr std::uint64_t kRegionSize = 4096;
constexpr std::size_t kChunk = 1 << 20;
// Compaction marker: magic, the archive's device and inode, FNV-1a checksum of those 24 bytes.
constexpr std::array<std::uint8_t, 8> kCompactMagic = {'O', 'S', 'T', 'C', 'M', 'P', 'T', '1'};
constexpr std::size_t kCompactMarkerSize = 8 + 8 + 8 + 8;
// An unreleased earlier compaction's backup marker.
constexpr std::array<std::uint8_t, 8> kBackupMagic = {'O', 'S', 'T', 'B', 'A', 'C', 'K', '1'};
constexpr int kMaxAside = 999;

fs::path WithSuffix(const fs::path& path, const std::string& suffix) {
    fs::path result = path;
    result += suffix;
    return result;
}

fs::path DirectoryOf(const fs::path& path) {
    fs::path directory = path.parent_path();
    return directory.empty() ? fs::path(".") : directory;
}

class Checksum {
public:
    void Add(std::span<const std::uint8_t> bytes) {
        for (std::uint8_t byte : bytes) {
            m_value ^= byte;
            m_value *= 0x100000001B3ull;
        }
    }
    std::uint64_t Value() const { return m_value; }

private:
    std::uint64_t m_value = 0xCBF29CE484222325ull;
};

std::uint64_t HashOf(std::span<const std::uint8_t> bytes) {
    Checksum checksum;
    checksum.Add(bytes);
    return checksum.Value();
}

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t GetLe(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

bool RemoveDurably(const fs::path& path) {
    return durable::RemoveFile(path) && durable::SyncDirectory(DirectoryOf(path));
}

MpqFailure FailureOf(IoFailure failure) {
    switch (failure) {
    case IoFailure::Exists:
        return MpqFailure::ForeignFile;
    case IoFailure::Denied:
        return MpqFailure::NotWritable;
    case IoFailure::NoSpace:
        return MpqFailure::DiskFull;
    case IoFailure::Missing:
        return MpqFailure::NoArchive;
    case IoFailure::None:
    case IoFailure::Other:
        break;
    }
    return MpqFailure::NotWritable;
}

// The bytes [offset, offset + length) of the archive, hashed; nullopt when they cannot be read.
std::optional<std::uint64_t> RegionHash(File& archive, std::uint64_t offset, std::uint64_t length) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    if (length > 0 && !archive.ReadAt(offset, bytes))
        return std::nullopt;
    return HashOf(bytes);
}

// What the header binds the journal to.
struct JournalHeader {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t originalLength = 0;
    std::uint64_t regionOffset = 0;
    std::uint64_t regionLength = 0;
    std::uint64_t regionHash = 0;
    std::uint64_t journalLength = 0;
    std::uint64_t mpqHeaderOffset = 0;
    std::uint64_t mpqHeaderLength = 0;
};

std::vector<std::uint8_t> EncodeHeader(const JournalHeader& header) {
    std::vector<std::uint8_t> bytes(kMagic.begin(), kMagic.end());
    for (std::uint64_t value :
         {header.device, header.inode, header.originalLength, header.regionOffset, header.regionLength,
          header.regionHash, header.journalLength, header.mpqHeaderOffset, header.mpqHeaderLength})
        PutLe(bytes, value, 8);
    PutLe(bytes, HashOf(bytes), 8);
    return bytes;
}

// Writes sequentially into the journal while keeping the checksum.
class JournalWriter {
public:
    explicit JournalWriter(File& file) : m_file(file) {}
    bool Write(std::span<const std::uint8_t> bytes) {
        m_checksum.Add(bytes);
        if (!m_file.WriteAt(m_position, bytes))
            return false;
        m_position += bytes.size();
        return true;
    }
    // The body reaches the disk before its checksum does. A power cut may lose or tear any write
    // not yet flushed while keeping a later one; with one flush for both, a body with a lost piece
    // and its checksum in place reads as a damaged journal, although the archive was never touched.
    // Flushed in two steps, a journal of full length always has its whole body.
    bool Finish() {
        std::vector<std::uint8_t> tail;
        PutLe(tail, m_checksum.Value(), 8);
        return m_file.Sync() && m_file.WriteAt(m_position, tail) && m_file.Sync();
    }

private:
    File& m_file;
    Checksum m_checksum;
    std::uint64_t m_position = 0;
};

bool CopySegment(File& archive, JournalWriter& journal, std::uint64_t offset, std::uint64_t length) {
    std::vector<std::uint8_t> head;
    PutLe(head, offset, 8);
    PutLe(head, length, 8);
    if (!journal.Write(head))
        return false;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, kChunk)));
    for (std::uint64_t done = 0; done < length;) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, kChunk));
        std::span<std::uint8_t> chunk(buffer.data(), count);
        if (!archive.ReadAt(offset + done, chunk) || !journal.Write(chunk))
            return false;
        done += count;
    }
    return true;
}

enum class JournalState {
    Absent,
    Foreign,    // not a journal of ours: never touched
    Torn,       // ours, cut short before the archive was touched: removed
    Unusable,   // ours but bound to another archive, damaged or of an old format: moved aside
    Replayable, // ours, complete, bound to the archive in place, whose header is still the old one
    Completed,  // ours, and the archive carries the header the edit committed: removed
    Unreadable, // cannot be read now: left for the next try
};

bool StartsLike(std::span<const std::uint8_t> bytes, const std::array<std::uint8_t, 8>& magic) {
    const std::size_t count = std::min(bytes.size(), magic.size());
    return std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count), magic.begin());
}

bool StartsLikeOurs(std::span<const std::uint8_t> bytes) {
    return StartsLike(bytes, kMagic) || StartsLike(bytes, kOldMagics[0]) || StartsLike(bytes, kOldMagics[1]);
}

// The commit record after a journal's body: the MPQ header the edit was about to write; nullopt
// when there is none, or it was cut short (then the header was never written either).
std::optional<std::vector<std::uint8_t>> ReadCommitRecord(File& journal, std::uint64_t at, std::uint64_t size) {
    std::array<std::uint8_t, 16> head{};
    if (size < at + head.size() + 8 || !journal.ReadAt(at, head) ||
        !std::equal(kCommitMagic.begin(), kCommitMagic.end(), head.begin()))
        return std::nullopt;
    const std::uint64_t length = GetLe(head.data() + 8, 8);
    if (length > kMaxMpqHeader || size != at + head.size() + length + 8)
        return std::nullopt;
    std::vector<std::uint8_t> record(head.size() + static_cast<std::size_t>(length) + 8);
    if (!journal.ReadAt(at, record))
        return std::nullopt;
    if (GetLe(record.data() + record.size() - 8, 8) != HashOf(std::span(record.data(), record.size() - 8)))
        return std::nullopt;
    return std::vector<std::uint8_t>(record.begin() + 16, record.end() - 8);
}

// Checks a journal completely before anything is taken from it: its header against the archive in
// place, its body against its checksum, its segments against the archive's old length.
// ownWrite: the operation that wrote the journal is undoing its own edit under the lock; the archive
// is then ours whatever header it carries.
JournalState InspectJournal(File& journal, const fs::path& archivePath, JournalHeader& header, bool ownWrite) {
    const std::optional<std::uint64_t> size = journal.Size();
    if (!size)
        return JournalState::Unreadable;
    std::array<std::uint8_t, kHeaderSize> head{};
    const std::size_t headBytes = static_cast<std::size_t>(std::min<std::uint64_t>(*size, head.size()));
    if (!journal.ReadAt(0, std::span(head.data(), headBytes)))
        return JournalState::Unreadable;
    const std::span<const std::uint8_t> present(head.data(), headBytes);
    if (!StartsLikeOurs(present))
        return JournalState::Foreign;
    // Empty or a prefix of a header: the power went before the header reached the disk, and the
    // archive is only touched after the whole journal has.
    if (*size < kHeaderSize)
        return JournalState::Torn;
    if (!std::equal(kMagic.begin(), kMagic.end(), head.begin()))
        return JournalState::Unusable;
    if (GetLe(head.data() + kHeaderSize - 8, 8) != HashOf(std::span(head.data(), kHeaderSize - 8)))
        return JournalState::Unusable;
    header.device = GetLe(head.data() + 8, 8);
    header.inode = GetLe(head.data() + 16, 8);
    header.originalLength = GetLe(head.data() + 24, 8);
    header.regionOffset = GetLe(head.data() + 32, 8);
    header.regionLength = GetLe(head.data() + 40, 8);
    header.regionHash = GetLe(head.data() + 48, 8);
    header.journalLength = GetLe(head.data() + 56, 8);
    header.mpqHeaderOffset = GetLe(head.data() + 64, 8);
    header.mpqHeaderLength = GetLe(head.data() + 72, 8);
    if (*size < header.journalLength)
        return JournalState::Torn;
    if (header.regionLength > kRegionSize || header.mpqHeaderLength > kMaxMpqHeader)
        return JournalState::Unusable;
    // The header the edit was about to commit, when it got that far.
    const std::optional<std::vector<std::uint8_t>> committing =
        *size == header.journalLength ? std::nullopt : ReadCommitRecord(journal, header.journalLength, *size);
    const std::uint64_t body = header.journalLength - 8;

    // Bound to the archive in place: the same file, not replaced since, not touched where no edit writes.
    std::unique_ptr<File> archive = File::Open(archivePath, File::Mode::Read);
    if (!archive)
        return JournalState::Unreadable;
    const std::optional<FileIdentity> identity = archive->Identity();
    const std::optional<std::uint64_t> archiveLength = archive->Size();
    if (!identity || !archiveLength)
        return JournalState::Unreadable;
    if (identity->device != header.device || identity->inode != header.inode ||
        header.regionOffset + header.regionLength > *archiveLength)
        return JournalState::Unusable;
    const std::optional<std::uint64_t> regionHash = RegionHash(*archive, header.regionOffset, header.regionLength);
    if (!regionHash)
        return JournalState::Unreadable;
    if (*regionHash != header.regionHash)
        return JournalState::Unusable;

    // The MPQ header in place decides whose archive this is: the engine writes it last. Still the
    // old one, the edit never committed; the one the edit recorded, it did; anything else is
    // another archive put in this file's place, which no replay may touch.
    std::vector<std::uint8_t> before(static_cast<std::size_t>(header.mpqHeaderLength));
    std::vector<std::uint8_t> now(before.size());
    const std::uint64_t mpqHeaderAt = kHeaderSize + 4 + 16; // the first segment's bytes
    if (header.mpqHeaderOffset + now.size() > *archiveLength || body < mpqHeaderAt + before.size())
        return JournalState::Unusable;
    if (!archive->ReadAt(header.mpqHeaderOffset, now) || !journal.ReadAt(mpqHeaderAt, before))
        return JournalState::Unreadable;
    bool completed = false;
    if (!ownWrite && now != before) {
        if (!committing || committing->size() != now.size())
            return JournalState::Unusable;
        // A header write cut short leaves each byte old or new: still this edit's, never committed.
        for (std::size_t i = 0; i < now.size(); ++i) {
            if (now[i] != before[i] && now[i] != (*committing)[i])
                return JournalState::Unusable;
        }
        completed = now == *committing;
    }

    Checksum checksum;
    std::vector<std::uint8_t> buffer(kChunk);
    for (std::uint64_t done = 0; done < body;) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(body - done, kChunk));
        if (!journal.ReadAt(done, std::span(buffer.data(), count)))
            return JournalState::Unreadable;
        checksum.Add(std::span(buffer.data(), count));
        done += count;
    }
    std::array<std::uint8_t, 8> stored{};
    if (!journal.ReadAt(body, stored))
        return JournalState::Unreadable;
    if (GetLe(stored.data(), 8) != checksum.Value())
        return JournalState::Unusable;
    if (completed)
        return JournalState::Completed;

    // Walk the segments once to be sure they fill the body exactly and lie inside the old archive,
    // the MPQ header first.
    std::array<std::uint8_t, 4> countBytes{};
    if (body < kHeaderSize + countBytes.size() || !journal.ReadAt(kHeaderSize, countBytes))
        return JournalState::Unusable;
    const std::uint32_t count = static_cast<std::uint32_t>(GetLe(countBytes.data(), 4));
    std::uint64_t position = kHeaderSize + countBytes.size();
    for (std::uint32_t i = 0; i < count; ++i) {
        std::array<std::uint8_t, 16> segment{};
        if (position + segment.size() > body || !journal.ReadAt(position, segment))
            return JournalState::Unusable;
        const std::uint64_t offset = GetLe(segment.data(), 8);
        const std::uint64_t length = GetLe(segment.data() + 8, 8);
        position += segment.size();
        if (length > body - position || offset > header.originalLength || length > header.originalLength - offset)
            return JournalState::Unusable;
        if (i == 0 && (offset != header.mpqHeaderOffset || length != header.mpqHeaderLength))
            return JournalState::Unusable;
        position += length;
    }
    return position == body ? JournalState::Replayable : JournalState::Unusable;
}

bool ReplayJournal(File& journal, File& archive, std::uint64_t originalLength) {
    std::array<std::uint8_t, 4> countBytes{};
    if (!journal.ReadAt(kHeaderSize, countBytes))
        return false;
    const std::uint32_t count = static_cast<std::uint32_t>(GetLe(countBytes.data(), 4));
    std::uint64_t position = kHeaderSize + countBytes.size();
    const std::optional<std::uint64_t> currentLength = archive.Size();
    if (!currentLength)
        return false;
    std::vector<std::uint8_t> saved(kChunk);
    std::vector<std::uint8_t> current(kChunk);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::array<std::uint8_t, 16> segment{};
        if (!journal.ReadAt(position, segment))
            return false;
        const std::uint64_t offset = GetLe(segment.data(), 8);
        const std::uint64_t length = GetLe(segment.data() + 8, 8);
        position += segment.size();
        for (std::uint64_t done = 0; done < length;) {
            const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, kChunk));
            std::span<std::uint8_t> bytes(saved.data(), chunk);
            if (!journal.ReadAt(position + done, bytes))
                return false;
            // Bytes that were never changed are not written again: a rollback on a full disk
            // then only needs room for what actually changed.
            std::span<std::uint8_t> now(current.data(), chunk);
            const bool unchanged = offset + done + chunk <= *currentLength && archive.ReadAt(offset + done, now) &&
                                   std::equal(now.begin(), now.end(), bytes.begin());
            if (!unchanged && !archive.WriteAt(offset + done, bytes))
                return false;
            done += chunk;
        }
        position += length;
    }
    const std::optional<std::uint64_t> length = archive.Size();
    if (!length)
        return false;
    return (*length == originalLength || archive.Truncate(originalLength)) && archive.Sync();
}

// Renames a file of ours that must not be used to the first free "<name>.<number>".
bool MoveAside(const fs::path& path, const std::function<fs::path(int)>& asideName) {
    for (int number = 1; number <= kMaxAside; ++number) {
        const fs::path aside = asideName(number);
        if (Exists(aside))
            continue;
        return durable::ReplaceFile(path, aside) && durable::SyncDirectory(DirectoryOf(path));
    }
    return false;
}

// Settles the journal; sets foreign when a file not ours holds its name, setAside when a journal of
// ours did not belong to the archive in place.
bool SettleJournal(const fs::path& archivePath, bool& foreign, bool& setAside, bool ownWrite = false) {
    const fs::path journalPath = JournalPath(archivePath);
    if (!Exists(journalPath))
        return true;
    std::unique_ptr<File> journal = File::Open(journalPath, File::Mode::Read);
    if (!journal) {
        // A directory, a link or a file we may not read under that name: not ours to judge.
        foreign = true;
        return true;
    }
    JournalHeader header;
    switch (InspectJournal(*journal, archivePath, header, ownWrite)) {
    case JournalState::Absent:
        return true;
    case JournalState::Foreign:
        foreign = true;
        return true;
    case JournalState::Unreadable:
        return false;
    case JournalState::Torn:
    case JournalState::Completed:
        journal.reset();
        return RemoveDurably(journalPath);
    case JournalState::Unusable:
        journal.reset();
        setAside = true;
        return MoveAside(journalPath, [&](int number) { return AsideJournalPath(archivePath, number); });
    case JournalState::Replayable:
        break;
    }
    std::unique_ptr<File> archive = File::Open(archivePath, File::Mode::ReadWrite);
    if (!archive || !ReplayJournal(*journal, *archive, header.originalLength))
        return false;
    journal.reset();
    return RemoveDurably(journalPath);
}

// ---- Compaction files ----

std::vector<std::uint8_t> EncodeCompactMarker(const FileIdentity& archive) {
    std::vector<std::uint8_t> bytes(kCompactMagic.begin(), kCompactMagic.end());
    PutLe(bytes, archive.device, 8);
    PutLe(bytes, archive.inode, 8);
    PutLe(bytes, HashOf(bytes), 8);
    return bytes;
}

enum class MarkerState { Absent, Ours, Torn, Foreign, Unreadable };

MarkerState InspectCompactMarker(const fs::path& marker) {
    if (!Exists(marker))
        return MarkerState::Absent;
    std::unique_ptr<File> file = File::Open(marker, File::Mode::Read);
    if (!file)
        return MarkerState::Foreign;
    const std::optional<std::uint64_t> size = file->Size();
    if (!size)
        return MarkerState::Unreadable;
    std::array<std::uint8_t, kCompactMarkerSize> bytes{};
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(*size, bytes.size()));
    if (!file->ReadAt(0, std::span(bytes.data(), count)))
        return MarkerState::Unreadable;
    const std::size_t magic = std::min(count, kCompactMagic.size());
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(magic), kCompactMagic.begin()))
        return MarkerState::Foreign;
    if (*size < kCompactMarkerSize)
        return MarkerState::Torn;
    if (*size != kCompactMarkerSize ||
        GetLe(bytes.data() + kCompactMarkerSize - 8, 8) != HashOf(std::span(bytes.data(), kCompactMarkerSize - 8)))
        return MarkerState::Foreign;
    return MarkerState::Ours;
}

fs::path CompactPartPath(const fs::path& archive) {
    return WithSuffix(archive, "-compact.part");
}

std::vector<fs::path> CompactionFiles(const fs::path& archive) {
    return {CompactPath(archive), CompactionTempPath(archive), CompactPartPath(archive)};
}

// Removes the compaction files, then the marker: while the marker stays, they are known as ours.
bool RemoveCompactionFiles(const fs::path& archive) {
    bool removed = true;
    for (const fs::path& path : CompactionFiles(archive))
        removed = durable::RemoveFile(path) && removed;
    return removed && durable::SyncDirectory(DirectoryOf(archive)) && RemoveDurably(CompactMarkerPath(archive));
}

bool SettleCompaction(const fs::path& archive, bool& foreign) {
    switch (InspectCompactMarker(CompactMarkerPath(archive))) {
    case MarkerState::Absent:
        // Without our marker, any file of these names is a player's.
        for (const fs::path& path : CompactionFiles(archive))
            foreign = foreign || Exists(path);
        return true;
    case MarkerState::Torn:
        // The marker is written before any other compaction file, so none of them is ours.
        for (const fs::path& path : CompactionFiles(archive))
            foreign = foreign || Exists(path);
        return RemoveDurably(CompactMarkerPath(archive));
    case MarkerState::Ours:
        // The archive itself was never written: the leftovers are only dropped.
        return RemoveCompactionFiles(archive);
    case MarkerState::Foreign:
        foreign = true;
        return true;
    case MarkerState::Unreadable:
        return false;
    }
    return false;
}

// ---- The previous version's compaction backup ----

fs::path BackupPartPath(const fs::path& archive) {
    return WithSuffix(archive, "-backup.part");
}

// That version wrote "-backup.ok" before a hard link "-backup" of the old archive. No release ever
// did, and a backup cannot tell which archive it belongs to: it is never put back, but set aside as
// "-backup.<number>" like a journal that does not match, and the marker of ours goes.
bool SetAsideLegacyBackup(const fs::path& archivePath, bool& setAside) {
    const fs::path marker = BackupMarkerPath(archivePath);
    if (!Exists(marker))
        return true;
    std::unique_ptr<File> file = File::Open(marker, File::Mode::Read);
    const std::optional<std::uint64_t> size = file ? file->Size() : std::nullopt;
    if (!size || *size > 16)
        return true; // a player's file of that name: left as it is
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*size));
    if (!file->ReadAt(0, bytes) || !StartsLike(bytes, kBackupMagic))
        return true;
    file.reset();
    const fs::path backup = BackupPath(archivePath);
    if (Exists(backup)) {
        setAside = true;
        if (!MoveAside(backup, [&](int number) { return WithSuffix(backup, "." + std::to_string(number)); }))
            return false;
    }
    durable::RemoveFile(BackupPartPath(archivePath));
    return RemoveDurably(marker);
}

} // namespace

fs::path JournalPath(const fs::path& archive) {
    return WithSuffix(archive, "-journal");
}
fs::path AsideJournalPath(const fs::path& archive, int number) {
    return WithSuffix(archive, "-journal." + std::to_string(number));
}
fs::path CompactPath(const fs::path& archive) {
    return WithSuffix(archive, "-compact");
}
fs::path CompactionTempPath(const fs::path& archive) {
    return WithSuffix(archive, "-compact.tmp");
}
fs::path CompactMarkerPath(const fs::path& archive) {
    return WithSuffix(archive, "-compact.ok");
}
fs::path BackupPath(const fs::path& archive) {
    return WithSuffix(archive, "-backup");
}
fs::path BackupMarkerPath(const fs::path& archive) {
    return WithSuffix(archive, "-backup.ok");
}
fs::path LegacyCompactionTempPath(const fs::path& archive) {
    return WithSuffix(archive, ".tmp");
}

Recovery RecoverArchive(const fs::path& archive) {
    Recovery recovery;
    const bool settled = SetAsideLegacyBackup(archive, recovery.setAside) &&
                         SettleCompaction(archive, recovery.foreignCompaction) &&
                         SettleJournal(archive, recovery.foreignJournal, recovery.setAside);
    if (!settled)
        recovery.failure = MpqFailure::PendingRecovery;
    return recovery;
}

bool HasOwnRecoveryFiles(const fs::path& archive) {
    for (const fs::path& path : {JournalPath(archive), CompactMarkerPath(archive), BackupMarkerPath(archive)}) {
        if (!Exists(path))
            continue;
        std::unique_ptr<File> file = File::Open(path, File::Mode::Read);
        std::array<std::uint8_t, 8> magic{};
        const std::optional<std::uint64_t> size = file ? file->Size() : std::nullopt;
        // What cannot be read cannot be told from ours: counted as ours, to be safe.
        if (!size)
            return true;
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(*size, magic.size()));
        if (!file->ReadAt(0, std::span(magic.data(), count)))
            return true;
        const std::span<const std::uint8_t> head(magic.data(), count);
        if (StartsLikeOurs(head) || StartsLike(head, kCompactMagic) || StartsLike(head, kBackupMagic))
            return true;
    }
    return false;
}

bool HasRecoveryFiles(const fs::path& archive) {
    for (const fs::path& path : {JournalPath(archive), CompactMarkerPath(archive), BackupMarkerPath(archive)}) {
        if (Exists(path))
            return true;
    }
    return false;
}

RollbackJournal::RollbackJournal(fs::path archive, std::uint64_t length)
    : m_archive(std::move(archive)), m_length(length) {}

RollbackJournal::~RollbackJournal() {
    // Whatever fails here leaves the journal for the next operation's recovery.
    try {
        if (m_open)
            Rollback();
    } catch (...) {
    }
}

std::unique_ptr<RollbackJournal> RollbackJournal::Begin(const fs::path& archivePath, std::uint64_t headerOffset,
                                                        std::uint32_t headerSize, std::uint64_t tailStart,
                                                        std::uint64_t tailEnd,
                                                        std::span<const archive_io::ByteRange> alsoSaved,
                                                        MpqFailure& why) {
    const fs::path journalPath = JournalPath(archivePath);
    IoFailure ioFailure = IoFailure::None;
    std::unique_ptr<File> archive = File::Open(archivePath, File::Mode::ReadWrite, &ioFailure);
    if (!archive) {
        why = FailureOf(ioFailure);
        return nullptr;
    }
    const std::optional<std::uint64_t> length = archive->Size();
    const std::optional<FileIdentity> identity = archive->Identity();
    why = MpqFailure::NotWritable;
    if (!length || !identity || headerOffset + headerSize > *length || headerSize > kMaxMpqHeader)
        return nullptr;
    tailEnd = std::min(tailEnd, *length);
    tailStart = std::min(tailStart, tailEnd);
    const std::uint64_t headerEnd = headerOffset + headerSize;
    std::vector<archive_io::ByteRange> saved;
    std::uint64_t lowest = tailStart; // the first byte the edit may write above the MPQ header
    std::uint64_t savedLength = 0;
    for (const archive_io::ByteRange& range : alsoSaved) {
        if (range.length == 0)
            continue;
        // Inside the archive, above its MPQ header and below the tail: anything else is a bad plan.
        if (range.offset < headerEnd || range.offset + range.length > tailStart)
            return nullptr;
        saved.push_back(range);
        lowest = std::min(lowest, range.offset);
        savedLength += 16 + range.length;
    }

    JournalHeader header;
    header.device = identity->device;
    header.inode = identity->inode;
    header.originalLength = *length;
    // The region just below the lowest byte the edit may write, above the MPQ header: no edit writes
    // there.
    header.regionOffset = lowest > headerEnd ? std::max(headerEnd, lowest - std::min(lowest, kRegionSize)) : lowest;
    header.regionLength = lowest - header.regionOffset;
    const std::optional<std::uint64_t> regionHash = RegionHash(*archive, header.regionOffset, header.regionLength);
    if (!regionHash)
        return nullptr;
    header.regionHash = *regionHash;
    header.journalLength = kHeaderSize + 4 + 2 * 16 + headerSize + (tailEnd - tailStart) + savedLength + 8;
    header.mpqHeaderOffset = headerOffset;
    header.mpqHeaderLength = headerSize;

    // A name taken now is not ours: recovery, under the same lock, has settled any journal of ours.
    std::unique_ptr<File> journal = File::Open(journalPath, File::Mode::CreateNew, &ioFailure);
    if (!journal) {
        why = FailureOf(ioFailure);
        return nullptr;
    }
    const auto fail = [&](IoFailure cause) {
        why = FailureOf(cause);
        journal.reset();
        RemoveDurably(journalPath);
        return nullptr;
    };
    // The header reaches the disk before the body: a journal cut short anywhere is then either a
    // prefix of a header or a journal shorter than its header says, and never replayed.
    journal->TakeOwnerAndMode(*identity);
    JournalWriter writer(*journal);
    if (!writer.Write(EncodeHeader(header)) || !journal->Sync())
        return fail(journal->LastFailure());
    if (!durable::SyncDirectory(DirectoryOf(journalPath)))
        return fail(IoFailure::Other);
    std::vector<std::uint8_t> count;
    PutLe(count, 2 + saved.size(), 4);
    bool written = writer.Write(count) && CopySegment(*archive, writer, headerOffset, headerSize) &&
                   CopySegment(*archive, writer, tailStart, tailEnd - tailStart);
    for (const archive_io::ByteRange& range : saved)
        written = written && CopySegment(*archive, writer, range.offset, range.length);
    written = written && writer.Finish();
    if (!written)
        return fail(journal->LastFailure() != IoFailure::None ? journal->LastFailure() : archive->LastFailure());
    why = MpqFailure::None;
    return std::unique_ptr<RollbackJournal>(new RollbackJournal(archivePath, header.journalLength));
}

bool RollbackJournal::RecordCommitHeader(std::span<const std::uint8_t> header) {
    if (!m_open || header.size() > kMaxMpqHeader)
        return false;
    std::unique_ptr<File> journal = File::Open(JournalPath(m_archive), File::Mode::ReadWrite);
    if (!journal)
        return false;
    std::vector<std::uint8_t> record(kCommitMagic.begin(), kCommitMagic.end());
    PutLe(record, header.size(), 8);
    record.insert(record.end(), header.begin(), header.end());
    PutLe(record, HashOf(record), 8);
    return journal->WriteAt(m_length, record) && journal->Sync();
}

bool RollbackJournal::Commit() {
    if (!m_open)
        return false;
    std::unique_ptr<File> archive = File::Open(m_archive, File::Mode::ReadWrite);
    if (!archive || !archive->Sync())
        return false;
    archive.reset();
    // Once the journal is gone the edit stands; a failed directory flush only means a power loss
    // may bring the journal back, which then restores the old archive: still all or nothing.
    if (!durable::RemoveFile(JournalPath(m_archive)))
        return false;
    m_open = false;
    durable::SyncDirectory(DirectoryOf(m_archive));
    return true;
}

bool RollbackJournal::Rollback() {
    if (!m_open)
        return false;
    m_open = false;
    bool foreign = false;
    bool setAside = false;
    return SettleJournal(m_archive, foreign, setAside, true) && !foreign && !setAside;
}

Compaction::Compaction(fs::path archive, const FileIdentity& original)
    : m_archive(std::move(archive)), m_work(CompactPath(m_archive)), m_original(original) {}

Compaction::~Compaction() {
    // What cannot be removed now stays marked as ours for the next operation's recovery.
    try {
        if (m_open)
            RemoveCompactionFiles(m_archive);
    } catch (...) {
    }
}

std::unique_ptr<Compaction> Compaction::Begin(const fs::path& archive, MpqFailure& why) {
    // The archive must open for writing, as an edit's does: the result is renamed over it, which
    // Windows refuses for a read-only file, and its second name would be read-only too, beyond
    // removal.
    IoFailure ioFailure = IoFailure::None;
    std::optional<FileIdentity> identity;
    if (std::unique_ptr<File> opened = File::Open(archive, File::Mode::ReadWrite, &ioFailure))
        identity = opened->Identity();
    if (!identity) {
        why = ioFailure == IoFailure::None ? MpqFailure::NoArchive : FailureOf(ioFailure);
        return nullptr;
    }
    // Renaming a new file over one name would split the archive from its other names.
    if (identity->links > 1) {
        why = MpqFailure::Linked;
        return nullptr;
    }
    // Recovery has removed every leftover of ours, so whatever holds these names is a player's.
    for (const fs::path& path : CompactionFiles(archive)) {
        if (Exists(path)) {
            why = MpqFailure::ForeignFile;
            return nullptr;
        }
    }
    const fs::path marker = CompactMarkerPath(archive);
    {
        std::unique_ptr<File> file = File::Open(marker, File::Mode::CreateNew, &ioFailure);
        if (!file) {
            why = FailureOf(ioFailure);
            return nullptr;
        }
        file->TakeOwnerAndMode(*identity);
        if (!file->WriteAt(0, EncodeCompactMarker(*identity)) || !file->Sync() ||
            !durable::SyncDirectory(DirectoryOf(marker))) {
            why = FailureOf(file->LastFailure());
            file.reset();
            RemoveDurably(marker);
            return nullptr;
        }
    }
    // From here the destructor removes whatever was made.
    std::unique_ptr<Compaction> compaction(new Compaction(archive, *identity));
    if (!durable::LinkFile(archive, compaction->m_work)) {
        // A file system without hard links (FAT): a full copy, which compaction costs anyway. It is
        // made under another name and renamed when complete, so a half copy never has the work name.
        const fs::path part = CompactPartPath(archive);
        std::unique_ptr<File> source = File::Open(archive, File::Mode::Read, &ioFailure);
        std::unique_ptr<File> copy = source ? File::Open(part, File::Mode::CreateNew, &ioFailure) : nullptr;
        const std::optional<std::uint64_t> size = source ? source->Size() : std::nullopt;
        if (!copy || !size) {
            why = FailureOf(ioFailure);
            return nullptr;
        }
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(*size, kChunk)));
        for (std::uint64_t done = 0; done < *size;) {
            const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(*size - done, kChunk));
            std::span<std::uint8_t> chunk(buffer.data(), count);
            if (!source->ReadAt(done, chunk) || !copy->WriteAt(done, chunk)) {
                why = FailureOf(copy->LastFailure());
                return nullptr;
            }
            done += count;
        }
        if (!copy->Sync()) {
            why = FailureOf(copy->LastFailure());
            return nullptr;
        }
        copy.reset();
        if (!durable::ReplaceFile(part, compaction->m_work)) {
            why = MpqFailure::NotWritable;
            return nullptr;
        }
    }
    if (!durable::SyncDirectory(DirectoryOf(archive))) {
        why = MpqFailure::NotWritable;
        return nullptr;
    }
    why = MpqFailure::None;
    return compaction;
}

bool Compaction::WorkWasReplaced() const {
    const std::optional<FileIdentity> work = archive_io::IdentityOf(m_work);
    return work && !work->SameFile(m_original);
}

bool Compaction::Commit(MpqFailure& why) {
    why = MpqFailure::NotWritable;
    if (!m_open || !WorkWasReplaced())
        return false;
    IoFailure ioFailure = IoFailure::None;
    std::unique_ptr<File> work = File::Open(m_work, File::Mode::ReadWrite, &ioFailure);
    if (!work) {
        why = FailureOf(ioFailure);
        return false;
    }
    // StormLib made the new file with the process's defaults; the player's archive keeps its own.
    if (!work->TakeOwnerAndMode(m_original) || !work->Sync()) {
        why = FailureOf(work->LastFailure());
        return false;
    }
    work.reset();
    if (!durable::ReplaceFile(m_work, m_archive)) {
        why = MpqFailure::NotWritable;
        return false;
    }
    // The compacted archive is in place: what is left (the marker) only tells recovery to clear up.
    m_open = false;
    durable::SyncDirectory(DirectoryOf(m_archive));
    RemoveCompactionFiles(m_archive);
    why = MpqFailure::None;
    return true;
}

} // namespace archive_guard
