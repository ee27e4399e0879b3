#include "archive/archive_guard.h"

#include "archive/archive_file.h"
#include "support/durable_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;
using archive_io::File;

namespace archive_guard {

namespace {

// Layout: magic, original length (u64), segment count (u32), then per segment its offset (u64),
// length (u64) and bytes, and last an FNV-1a checksum (u64) of everything before it.
constexpr std::array<std::uint8_t, 8> kMagic = {'O', 'S', 'T', 'J', 'R', 'N', 'L', '1'};
constexpr std::size_t kChunk = 1 << 20;

fs::path WithSuffix(const fs::path& path, const char* suffix) {
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
    std::error_code error;
    fs::remove(path, error);
    if (error)
        return false;
    return durable::SyncDirectory(DirectoryOf(path));
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
    bool Finish() {
        std::vector<std::uint8_t> tail;
        PutLe(tail, m_checksum.Value(), 8);
        return m_file.WriteAt(m_position, tail) && m_file.Sync();
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

enum class JournalState { Absent, Torn, Complete, Unreadable };

// Checks a journal completely before anything is taken from it.
JournalState InspectJournal(File& journal, std::uint64_t& originalLength) {
    const std::optional<std::uint64_t> size = journal.Size();
    if (!size)
        return JournalState::Unreadable;
    if (*size < kMagic.size() + 8 + 4 + 8)
        return JournalState::Torn;
    Checksum checksum;
    std::vector<std::uint8_t> buffer(kChunk);
    const std::uint64_t body = *size - 8;
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
        return JournalState::Torn;

    std::array<std::uint8_t, 8 + 8 + 4> head{};
    if (!journal.ReadAt(0, head))
        return JournalState::Unreadable;
    if (std::memcmp(head.data(), kMagic.data(), kMagic.size()) != 0)
        return JournalState::Torn;
    originalLength = GetLe(head.data() + 8, 8);
    // Walk the segments once to be sure they fill the body exactly.
    const std::uint32_t count = static_cast<std::uint32_t>(GetLe(head.data() + 16, 4));
    std::uint64_t position = head.size();
    for (std::uint32_t i = 0; i < count; ++i) {
        std::array<std::uint8_t, 16> segment{};
        if (position + segment.size() > body || !journal.ReadAt(position, segment))
            return JournalState::Torn;
        const std::uint64_t length = GetLe(segment.data() + 8, 8);
        position += segment.size();
        if (length > body - position)
            return JournalState::Torn;
        position += length;
    }
    return position == body ? JournalState::Complete : JournalState::Torn;
}

bool ReplayJournal(File& journal, File& archive, std::uint64_t originalLength) {
    std::array<std::uint8_t, 8 + 8 + 4> head{};
    if (!journal.ReadAt(0, head))
        return false;
    const std::uint32_t count = static_cast<std::uint32_t>(GetLe(head.data() + 16, 4));
    std::uint64_t position = head.size();
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

bool RollBackFromJournal(const fs::path& archivePath) {
    const fs::path journalPath = JournalPath(archivePath);
    std::unique_ptr<File> journal = File::Open(journalPath, File::Mode::Read);
    if (!journal)
        return !Exists(journalPath);
    std::uint64_t originalLength = 0;
    switch (InspectJournal(*journal, originalLength)) {
    case JournalState::Absent:
        return true;
    case JournalState::Unreadable:
        return false;
    case JournalState::Torn:
        // It was never completed, so the archive was never touched.
        journal.reset();
        return RemoveDurably(journalPath);
    case JournalState::Complete:
        break;
    }
    std::unique_ptr<File> archive = File::Open(archivePath, File::Mode::ReadWrite);
    if (!archive || !ReplayJournal(*journal, *archive, originalLength))
        return false;
    journal.reset();
    return RemoveDurably(journalPath);
}

constexpr std::array<std::uint8_t, 8> kBackupMagic = {'O', 'S', 'T', 'B', 'A', 'C', 'K', '1'};

fs::path BackupPartPath(const fs::path& archive) {
    return WithSuffix(archive, "-backup.part");
}

// The marker says that "<archive>-backup" is ours and how long it must be. It is written before
// the backup exists, so a backup without a valid marker is never ours (a player's own copy of that
// name stays untouched) and a marker without a backup means compaction never began or completed.
std::optional<std::uint64_t> ReadBackupMarker(const fs::path& marker) {
    std::unique_ptr<File> file = File::Open(marker, File::Mode::Read);
    if (!file)
        return std::nullopt;
    std::array<std::uint8_t, 16> bytes{};
    const std::optional<std::uint64_t> size = file->Size();
    if (!size || *size != bytes.size() || !file->ReadAt(0, bytes))
        return std::nullopt;
    if (!std::equal(kBackupMagic.begin(), kBackupMagic.end(), bytes.begin()))
        return std::nullopt;
    return GetLe(bytes.data() + 8, 8);
}

bool WriteBackupMarker(const fs::path& marker, std::uint64_t backupSize) {
    std::unique_ptr<File> file = File::Open(marker, File::Mode::Create);
    if (!file)
        return false;
    std::vector<std::uint8_t> bytes(kBackupMagic.begin(), kBackupMagic.end());
    PutLe(bytes, backupSize, 8);
    return file->WriteAt(0, bytes) && file->Sync() && durable::SyncDirectory(DirectoryOf(marker));
}

bool RollBackFromBackup(const fs::path& archivePath) {
    const fs::path marker = BackupMarkerPath(archivePath);
    if (!Exists(marker))
        return true;
    const std::optional<std::uint64_t> backupSize = ReadBackupMarker(marker);
    const fs::path backup = BackupPath(archivePath);
    std::error_code error;
    // A torn marker was written before any backup, so the archive was never touched.
    if (backupSize && Exists(backup)) {
        if (fs::file_size(backup, error) != *backupSize || error)
            return false; // not the backup we made: touch nothing
        // When the archive is still the same file as the backup, rename leaves both names in place.
        fs::rename(backup, archivePath, error);
        if (error)
            return false;
        if (Exists(backup)) {
            fs::remove(backup, error);
            if (error)
                return false;
        }
    }
    fs::remove(BackupPartPath(archivePath), error);
    fs::remove(CompactionTempPath(archivePath), error);
    if (!durable::SyncDirectory(DirectoryOf(archivePath)))
        return false;
    return RemoveDurably(marker);
}

} // namespace

fs::path JournalPath(const fs::path& archive) {
    return WithSuffix(archive, "-journal");
}
fs::path BackupPath(const fs::path& archive) {
    return WithSuffix(archive, "-backup");
}
fs::path CompactionTempPath(const fs::path& archive) {
    return WithSuffix(archive, ".tmp");
}
fs::path BackupMarkerPath(const fs::path& archive) {
    return WithSuffix(archive, "-backup.ok");
}

bool RecoverArchive(const fs::path& archive) {
    // A backup exists only while a compaction runs, and no journal then; undo both in that order.
    return RollBackFromBackup(archive) && RollBackFromJournal(archive);
}

RollbackJournal::RollbackJournal(fs::path archive) : m_archive(std::move(archive)) {}

RollbackJournal::~RollbackJournal() {
    // Whatever fails here leaves the journal or backup for the next operation's recovery.
    try {
        if (m_open)
            Rollback();
    } catch (...) {
    }
}

std::unique_ptr<RollbackJournal> RollbackJournal::Begin(const fs::path& archivePath, std::uint64_t headerOffset,
                                                        std::uint32_t headerSize, std::uint64_t tailStart) {
    const fs::path journalPath = JournalPath(archivePath);
    if (Exists(journalPath))
        return nullptr;
    std::unique_ptr<File> archive = File::Open(archivePath, File::Mode::ReadWrite);
    if (!archive)
        return nullptr;
    const std::optional<std::uint64_t> length = archive->Size();
    if (!length || headerOffset + headerSize > *length)
        return nullptr;
    tailStart = std::min(tailStart, *length);

    bool written = false;
    {
        std::unique_ptr<File> journal = File::Open(journalPath, File::Mode::Create);
        if (!journal)
            return nullptr;
        JournalWriter writer(*journal);
        std::vector<std::uint8_t> head(kMagic.begin(), kMagic.end());
        PutLe(head, *length, 8);
        PutLe(head, 2, 4);
        written = writer.Write(head) && CopySegment(*archive, writer, headerOffset, headerSize) &&
                  CopySegment(*archive, writer, tailStart, *length - tailStart) && writer.Finish();
    }
    if (!written || !durable::SyncDirectory(DirectoryOf(journalPath))) {
        RemoveDurably(journalPath);
        return nullptr;
    }
    return std::unique_ptr<RollbackJournal>(new RollbackJournal(archivePath));
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
    std::error_code error;
    fs::remove(JournalPath(m_archive), error);
    if (error)
        return false;
    m_open = false;
    durable::SyncDirectory(DirectoryOf(m_archive));
    return true;
}

bool RollbackJournal::Rollback() {
    if (!m_open)
        return false;
    m_open = false;
    return RollBackFromJournal(m_archive);
}

CompactionBackup::CompactionBackup(fs::path archive) : m_archive(std::move(archive)) {}

CompactionBackup::~CompactionBackup() {
    // Whatever fails here leaves the journal or backup for the next operation's recovery.
    try {
        if (m_open)
            Rollback();
    } catch (...) {
    }
}

std::unique_ptr<CompactionBackup> CompactionBackup::Begin(const fs::path& archive) {
    const fs::path backup = BackupPath(archive);
    const fs::path marker = BackupMarkerPath(archive);
    const fs::path part = BackupPartPath(archive);
    // Another file of these names is not ours to overwrite; StormLib would overwrite its temporary's.
    if (Exists(backup) || Exists(marker) || Exists(part) || Exists(CompactionTempPath(archive)))
        return nullptr;
    std::error_code error;
    const std::uint64_t size = fs::file_size(archive, error);
    if (error || !WriteBackupMarker(marker, size)) {
        RemoveDurably(marker);
        return nullptr;
    }
    auto fail = [&] {
        std::error_code ignored;
        fs::remove(part, ignored);
        fs::remove(backup, ignored);
        RemoveDurably(marker);
        return nullptr;
    };
    fs::create_hard_link(archive, backup, error);
    if (error) {
        // A file system without hard links (FAT): a full copy, which compaction costs anyway. It is
        // made under another name and renamed when complete, so a half copy is never the backup.
        error.clear();
        if (!fs::copy_file(archive, part, error) || error)
            return fail();
        std::unique_ptr<File> copy = File::Open(part, File::Mode::ReadWrite);
        if (!copy || !copy->Sync())
            return fail();
        copy.reset();
        fs::rename(part, backup, error);
        if (error)
            return fail();
    }
    if (!durable::SyncDirectory(DirectoryOf(archive)))
        return fail();
    return std::unique_ptr<CompactionBackup>(new CompactionBackup(archive));
}

bool CompactionBackup::Commit() {
    if (!m_open)
        return false;
    std::error_code error;
    fs::remove(BackupPath(m_archive), error);
    if (error)
        return false;
    m_open = false;
    durable::SyncDirectory(DirectoryOf(m_archive));
    // A marker left behind by a crash here only tells the next recovery that nothing is pending.
    RemoveDurably(BackupMarkerPath(m_archive));
    return true;
}

bool CompactionBackup::Rollback() {
    if (!m_open)
        return false;
    m_open = false;
    return RollBackFromBackup(m_archive);
}

} // namespace archive_guard
