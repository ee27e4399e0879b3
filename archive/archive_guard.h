#pragma once
// Crash safety for the archive writes, around an engine that writes in place. Every function here
// runs under the archive's lock (archive_lock.h) on the archive's real path (symbolic links
// resolved), so the files it finds belong to no live operation.
//
// Edits (save, delete): a rollback journal, as SQLite keeps one. Before StormLib opens the archive
// for writing, "<archive>-journal" receives a header that binds it to this archive (its device and
// inode, its length, a hash of up to 4 KiB just below the first offset StormLib may write, the
// journal's own full length and a checksum of the header), flushed to disk before anything else;
// then the archive's MPQ header and every byte from that first offset to the end of the file (the
// end of the last file the edit keeps; StormLib puts new data, its internal files and its tables
// after that), and a checksum of everything. StormLib then writes, flushes and closes; we flush the
// archive and delete the journal. On any failure the saved bytes go back and the file is cut to its
// old length. The journal costs the size of the archive's tail, never the whole archive.
//
// Compaction never writes the live archive: "<archive>-compact", a hard link to it (a complete copy
// where links are not possible), is what StormLib compacts; StormLib writes "<archive>-compact.tmp"
// and renames it over that name, which leaves the archive's own inode untouched. Once the result is
// verified, flushed and has the archive's owner and mode, we rename it over the archive.
// "<archive>-compact.ok", written first, marks these names as ours.
//
// Recovery (RecoverArchive, at the start of every operation): a complete journal of ours whose
// header matches the archive in place is replayed; one of ours that does not match (the archive was
// replaced since), is damaged or of an older format is moved aside as "<archive>-journal.1", ".2",
// ...; one cut short before its end was written before the archive was touched and is removed.
// Compaction leftovers marked as ours are removed. Files of these names that are not ours are left
// alone; the writes that need the name then refuse. A "-backup" with its "-backup.ok" marker, left
// by the previous version's compaction, is still put back.
#include "archive/archive_file.h"
#include "archive/mpq_failure.h"

#include <cstdint>
#include <filesystem>
#include <memory>

namespace archive_guard {

std::filesystem::path JournalPath(const std::filesystem::path& archive);
// "<archive>-journal.<number>": where a journal that must not be replayed is put aside.
std::filesystem::path AsideJournalPath(const std::filesystem::path& archive, int number);
std::filesystem::path CompactPath(const std::filesystem::path& archive);
// StormLib's own temporary file while it compacts CompactPath.
std::filesystem::path CompactionTempPath(const std::filesystem::path& archive);
// Written before the other compaction files: marks them as ours.
std::filesystem::path CompactMarkerPath(const std::filesystem::path& archive);
// The previous version's compaction backup, its marker and StormLib's temporary file then.
std::filesystem::path BackupPath(const std::filesystem::path& archive);
std::filesystem::path BackupMarkerPath(const std::filesystem::path& archive);
std::filesystem::path LegacyCompactionTempPath(const std::filesystem::path& archive);

struct Recovery {
    // PendingRecovery when something of ours could not be settled (it stays for the next try).
    MpqFailure failure = MpqFailure::None;
    bool foreignJournal = false;    // a file not ours holds the journal's name: edits must refuse
    bool foreignCompaction = false; // a file not ours holds a compaction name: compaction must refuse
};

// Settles whatever an interrupted operation left; the caller holds the archive's lock.
Recovery RecoverArchive(const std::filesystem::path& archive);

// True when any file of a recovery name exists: a reader that cannot lock must not trust the archive.
bool HasRecoveryFiles(const std::filesystem::path& archive);

class RollbackJournal {
public:
    // Saves the header [headerOffset, headerOffset + headerSize) and the tail [tailStart, end of
    // file) of the archive. Null when the journal cannot be written (why says why); the archive is
    // untouched then.
    static std::unique_ptr<RollbackJournal> Begin(const std::filesystem::path& archive, std::uint64_t headerOffset,
                                                  std::uint32_t headerSize, std::uint64_t tailStart, MpqFailure& why);
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

class Compaction {
public:
    // Prepares CompactPath as a second name (or a copy) of the archive. Null when the archive has
    // other hard links (Linked), a compaction name is taken (ForeignFile) or the files cannot be made.
    static std::unique_ptr<Compaction> Begin(const std::filesystem::path& archive, MpqFailure& why);
    // Removes every compaction file that is left, the marker last.
    ~Compaction();
    Compaction(const Compaction&) = delete;
    Compaction& operator=(const Compaction&) = delete;

    // The name StormLib is to compact.
    const std::filesystem::path& WorkPath() const { return m_work; }
    // True when the engine replaced the work file by a new one, as compaction must.
    bool WorkWasReplaced() const;
    // The verified result takes the archive's owner, group and mode, is flushed and renamed over
    // the archive.
    bool Commit(MpqFailure& why);

private:
    Compaction(std::filesystem::path archive, const archive_io::FileIdentity& original);
    std::filesystem::path m_archive;
    std::filesystem::path m_work;
    archive_io::FileIdentity m_original;
    bool m_open = true;
};

} // namespace archive_guard
