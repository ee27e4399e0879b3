#pragma once
// Crash safety for the archive writes, around an engine that writes in place and commits by
// writing the MPQ header last. Every function here runs under the archive's lock (archive_lock.h)
// on the archive's real path (symbolic links resolved), so the files it finds belong to no live
// operation.
//
// Edits (save, delete): a rollback journal, as SQLite keeps one. Before the engine opens the
// archive for writing, "<archive>-journal" receives a header that binds it to this archive (its
// device and inode, its length, a hash of up to 4 KiB just below the first offset the engine may
// write, the journal's own full length and a checksum of the header), flushed to disk before
// anything else; then the archive's MPQ header and every byte the edit may overwrite or cut (the
// engine's write plan: from the end of the last file the edit keeps to the end of the file, or
// nothing there when the engine writes behind a large tail it leaves in place; and the old block of
// a replaced file, which its new data may reuse), and a checksum of everything. When the engine has written everything
// but the header, the header it is about to write is appended to the journal, flushed; then the engine writes it, and
// we flush the archive and delete the journal. On any failure the saved bytes go back and the file is cut to its old
// length.
//
// Compaction never writes the live archive: "<archive>-compact", a hard link to it (a complete copy
// where links are not possible), is what the engine compacts; it writes "<archive>-compact.tmp"
// and renames it over that name, which leaves the archive's own inode untouched. Once the result is
// verified, flushed and has the archive's owner and mode, we rename it over the archive.
// "<archive>-compact.ok", written first, marks these names as ours.
//
// Recovery (RecoverArchive, at the start of every operation): a complete journal of ours bound to
// the archive in place is judged by the MPQ header there. The old header: the edit never
// committed, and the journal is replayed. The header the journal recorded as about to be written:
// the edit is complete, and the journal goes. Any other header (another archive copied into the
// same file after a crash, same inode and same base included), a damaged journal or one of an
// older format: the journal is moved aside as "<archive>-journal.1", ".2", ... and the archive is
// not touched. One cut short before its end was written before the archive was touched and is
// removed. Compaction leftovers marked as ours are removed. A "-backup" left with its "-backup.ok"
// marker by an unreleased earlier compaction is set aside as "-backup.1", ..., never put back.
// Files of these names that are not ours are left alone; the writes that need the name then refuse.
#include "archive/archive_file.h"
#include "archive/mpq_failure.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

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
    bool setAside = false;          // a journal or old backup of ours did not belong here: set aside
};

// Settles whatever an interrupted operation left; the caller holds the archive's lock.
Recovery RecoverArchive(const std::filesystem::path& archive);

// True when any file of a recovery name exists: a reader that cannot lock must not trust the archive.
bool HasRecoveryFiles(const std::filesystem::path& archive);
// True when one of them is ours (a journal, a compaction marker, an old backup's marker); the
// others are a player's files that happen to hold such a name.
bool HasOwnRecoveryFiles(const std::filesystem::path& archive);

class RollbackJournal {
public:
    // Saves the header [headerOffset, headerOffset + headerSize) and the bytes [tailStart, tailEnd)
    // of the archive (tailEnd past its end: to its end), the ones the edit may overwrite or cut.
    // Null when the journal cannot be written (why says why); the archive is untouched then.
    // alsoSaved: further ranges below tailStart the edit may overwrite (an old block it reuses).
    static std::unique_ptr<RollbackJournal> Begin(const std::filesystem::path& archive, std::uint64_t headerOffset,
                                                  std::uint32_t headerSize, std::uint64_t tailStart,
                                                  std::uint64_t tailEnd,
                                                  std::span<const archive_io::ByteRange> alsoSaved, MpqFailure& why);
    static std::unique_ptr<RollbackJournal> Begin(const std::filesystem::path& archive, std::uint64_t headerOffset,
                                                  std::uint32_t headerSize, std::uint64_t tailStart,
                                                  std::uint64_t tailEnd, MpqFailure& why) {
        return Begin(archive, headerOffset, headerSize, tailStart, tailEnd, {}, why);
    }
    // The same, to the end of the file.
    static std::unique_ptr<RollbackJournal> Begin(const std::filesystem::path& archive, std::uint64_t headerOffset,
                                                  std::uint32_t headerSize, std::uint64_t tailStart, MpqFailure& why) {
        return Begin(archive, headerOffset, headerSize, tailStart, UINT64_MAX, why);
    }
    ~RollbackJournal();
    RollbackJournal(const RollbackJournal&) = delete;
    RollbackJournal& operator=(const RollbackJournal&) = delete;

    // Records, flushed, the MPQ header the engine is about to write last: an archive found later
    // with that header is this edit's, complete; one with neither it nor the old header is not ours.
    bool RecordCommitHeader(std::span<const std::uint8_t> header);
    // The edit is complete: flush the archive, then drop the journal.
    bool Commit();
    // Put the saved bytes back; the journal stays if that fails, for RecoverArchive.
    bool Rollback();

private:
    RollbackJournal(std::filesystem::path archive, std::uint64_t length);
    std::filesystem::path m_archive;
    std::uint64_t m_length = 0; // the journal's, without a commit record
    bool m_open = true;
};

class Compaction {
public:
    // Prepares CompactPath as a second name (or a copy) of the archive. Null when the archive cannot
    // be opened for writing (NotWritable), has other hard links (Linked), a compaction name is taken
    // (ForeignFile) or the files cannot be made.
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
