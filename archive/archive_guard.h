#pragma once
// Crash safety for the archive writes, around an engine that writes in place.
//
// Edits (save, delete): a rollback journal, as SQLite keeps one. Before StormLib opens the archive
// for writing, "<archive>-journal" receives the archive's length, its MPQ header and every byte
// from the first offset StormLib may write (the end of the last file the edit keeps; StormLib puts
// new data, its internal files and its tables after that) to the end of the file, ends with a
// checksum and is flushed to disk together with its directory entry. StormLib then writes, flushes
// and closes; we flush the archive and delete the journal. On any failure the saved bytes go back
// and the file is cut to its old length. The journal costs the size of the archive's tail (tables,
// internal files, the edited file when it is last), never the whole archive.
//
// Compaction replaces the whole file: StormLib writes "<archive>.tmp" and renames it over the
// archive before the new file has its tables. "<archive>-backup", a hard link to the original made
// before StormLib starts (a complete copy where links are not possible), keeps the old archive
// reachable until the compacted one has been closed, flushed and reopened; on failure the backup is
// renamed back over the archive. "<archive>-backup.ok", written first, marks the backup as ours, so
// a player's own file of that name is never taken for one.
//
// Recovery: every operation first calls RecoverArchive, which renames a marked backup back and replays a
// complete journal (a torn journal means the archive was never touched, so it is simply removed).
// After a kill at any instant the archive therefore holds exactly its old or its new content.
#include <cstdint>
#include <filesystem>
#include <memory>

namespace archive_guard {

std::filesystem::path JournalPath(const std::filesystem::path& archive);
std::filesystem::path BackupPath(const std::filesystem::path& archive);
// StormLib's own temporary file during compaction.
std::filesystem::path CompactionTempPath(const std::filesystem::path& archive);
// Written before the backup: it marks "<archive>-backup" as ours and gives its length.
std::filesystem::path BackupMarkerPath(const std::filesystem::path& archive);

// Puts back the archive after an interrupted edit or compaction. True when nothing is pending
// any more; false leaves everything as found, for the next try.
bool RecoverArchive(const std::filesystem::path& archive);

class RollbackJournal {
public:
    // Saves the header [headerOffset, headerOffset + headerSize) and the tail [tailStart, end of
    // file) of the archive. Null when the journal cannot be written; the archive is untouched then.
    static std::unique_ptr<RollbackJournal> Begin(const std::filesystem::path& archive, std::uint64_t headerOffset,
                                                  std::uint32_t headerSize, std::uint64_t tailStart);
    ~RollbackJournal();
    RollbackJournal(const RollbackJournal&) = delete;
    RollbackJournal& operator=(const RollbackJournal&) = delete;

    // The edit is complete: flush the archive, then drop the journal.
    bool Commit();
    // Put the saved bytes back; the journal stays if that fails, for RecoverArchive.
    bool Rollback();

private:
    explicit RollbackJournal(std::filesystem::path archive);
    std::filesystem::path m_archive;
    bool m_open = true;
};

class CompactionBackup {
public:
    // Null when a backup cannot be made or StormLib's temporary name is taken by another file.
    static std::unique_ptr<CompactionBackup> Begin(const std::filesystem::path& archive);
    ~CompactionBackup();
    CompactionBackup(const CompactionBackup&) = delete;
    CompactionBackup& operator=(const CompactionBackup&) = delete;

    // The compacted archive has been flushed and verified: drop the backup.
    bool Commit();
    // Put the original back over whatever is at the archive's name.
    bool Rollback();

private:
    explicit CompactionBackup(std::filesystem::path archive);
    std::filesystem::path m_archive;
    bool m_open = true;
};

} // namespace archive_guard
