#pragma once
// Our writer of an existing MPQ archive: one change (a file added or replaced, or a file removed)
// and its commit, which rewrites (listfile), (attributes) (CRC32, file time and MD5, whichever the
// archive keeps), a weak (signature) and both tables.
//
// Where it writes (PlanWrite): from the end of the last block that an entry other than the changed
// one and the internal files still needs; the new file's data, the internal files and the tables
// follow each other there. A replaced file whose old block lies below that start, holds at most
// kMaxReusedBlock bytes, is its entry's alone and overlaps nothing else goes back into that block
// when its new data fits there, so that an archive edited again and again does not grow by the file
// each time; what the old block held is then overwritten, and the plan names it for the journal.
// Bytes stored after the archive's end (a strong signature, say) are kept:
// up to kMaxMovedTrailing of them are moved behind the new end; more stay where they are, and the
// writer then writes behind them instead, so that nothing of the old file is overwritten.
//
// How it commits: Prepare writes everything but the MPQ header (signed as it will be) and flushes
// it to disk; Commit then writes the header, the one place a reader takes the archive's shape
// from, and cuts the file. A crash before the header leaves the old header pointing at the old
// tables; a crash after it leaves the new archive complete. Before Commit returns true the result
// is read back through our reader: the tables parse, the changed entry reads back as exactly the
// bytes written (CRC32 and MD5) or is gone, and the weak signature verifies.
//
// Example:
//   auto writer = mpq::ArchiveWriter::Open(path, false, &why);
//   writer->BeginFile("UI\\war3skins.txt", 0, size) && writer->Write(bytes) && writer->EndFile() &&
//   writer->Commit();
#include "archive/archive_file.h"
#include "archive/format/mpq_reader.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace mpq {

// Trailing bytes up to this size are moved behind the new archive end; more stay in place.
constexpr std::uint64_t kMaxMovedTrailing = 1u << 20;

// Old blocks at most this large are reused in place; a larger one would cost its size in journal.
constexpr std::uint64_t kMaxReusedBlock = 1u << 20;

using archive_io::ByteRange;

// Where a change writes, as the writer and the journal that guards it both compute it.
struct WritePlan {
    std::uint64_t archiveEnd = 0; // the old archive's extent: header, tables and blocks
    std::uint64_t start = 0;      // where new data, internal files and tables go (absolute)
    // The old bytes the change may overwrite or cut, besides the header: [start, fileSize), or
    // nothing when the writer writes behind trailing bytes it leaves in place.
    std::uint64_t overwriteFrom = 0;
    std::uint64_t overwriteTo = 0;
    // Old blocks below `start` that a replacement may overwrite with its new data (one per changed
    // slot that qualifies); each lies wholly inside the archive and overlaps no other range above.
    std::vector<ByteRange> reusable;
};

// changedSlots: the hash slots whose blocks the change gives up (the entry replaced or removed);
// every slot of the name when the caller does not know the locale yet (a lower, safe start).
// listfileChanges: a name comes or goes, so (listfile) is written again; a caller that does not
// know says true (a lower, safe start). The writer writes (listfile) again only when no entry of
// an added name is held yet, or a removed name's last entry goes.
WritePlan PlanWrite(const ArchiveTables& tables, const std::vector<std::uint32_t>& changedSlots,
                    bool listfileChanges = true);

// Whether any entry of the name whose block exists is in the hash table, reachable or not.
bool NameHeld(const ArchiveTables& tables, const std::string& name);

enum class WriteError : std::uint8_t {
    None,
    Io,          // a read or write failed
    NoSpace,     // the disk or a file-size limit ran out
    Denied,      // the archive cannot be opened for writing
    Missing,     // no archive file
    Refused,     // our reader refused the archive or one of its internal files
    NotFound,    // no such file to remove
    BadArgument, // a call out of order, a name too long, more or fewer bytes than announced
    TableFull,   // no hash table slot left on the name's probe chain
    ReadBack,    // the written result did not read back as written
};

const char* WriteErrorText(WriteError error);

class ArchiveWriter {
public:
    // Null with *why set when the archive cannot be opened for writing or is refused.
    static std::unique_ptr<ArchiveWriter> Open(const std::filesystem::path& path, bool headerAtStart,
                                               WriteError* why = nullptr);
    ~ArchiveWriter();

    const ArchiveTables& Tables() const;
    archive_io::File& File();

    // Adds the file, or replaces the entry of exactly that name and locale; then Write exactly size
    // bytes in any pieces, and EndFile.
    bool BeginFile(const std::string& name, std::uint16_t locale, std::uint32_t size);
    bool Write(std::span<const std::uint8_t> bytes);
    bool EndFile();
    // Removes the entry FindGameEntry gives.
    bool Remove(const std::string& name);
    // Writes the internal files, the signature and the tables, flushes them, and gives the header
    // Commit will write (empty when nothing changed).
    bool Prepare(std::vector<std::uint8_t>& header);
    // Prepares when that has not been done, writes the header, cuts the file and reads it back.
    // True at once when nothing changed or the change is committed; after a failed commit it fails
    // again without writing.
    bool Commit();

    WriteError LastError() const;

private:
    struct State;
    explicit ArchiveWriter(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace mpq
