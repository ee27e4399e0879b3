#pragma once
// Compaction: the archive written again to a new file without the space that removed and replaced
// files left behind. Stored blocks are copied as they are, never decompressed; only what depends
// on where a block lies is rewritten.
//
// What the copy keeps and changes:
//   - bytes before the MPQ header (a map's 512-byte 'HM3W' header, an 'MPQ\x1B' user data header
//     and its data) are copied, so the header keeps its offset;
//   - every existing block that an in-use hash entry names is kept; the rest are dropped. Kept
//     blocks keep their order in the block table (renumbered) and are packed after the header in
//     the order of their old offsets; an empty file's block points where the data has got to.
//     Entries for the very same block (offset, sizes and flags alike) share one copy;
//   - a file encrypted with the fix-key flag is re-keyed for its new offset, unit by unit. Its key
//     comes from its name, as (listfile) gives it, or, for a packed file of unknown name, from its
//     sector offset table, whose first word is known. A single-unit or unpacked fix-key file of
//     unknown name cannot be moved and makes the whole compaction refuse;
//   - (attributes), whose arrays run by block, is decoded and renumbered with the blocks. When that
//     changes its content it is stored again (compressed, its encryption flags kept, its own entry
//     zero as StormLib writes it, without the patch bits only patch archives carry); else its block
//     is copied like any other. One that does not read or decode makes the compaction refuse;
//   - a weak (signature) is signed again once tables and header are written;
//   - the hash table keeps its size and every slot its place (names stay where their hash puts
//     them); deleted slots stay deleted, and a slot whose block was dropped becomes deleted;
//   - the hash table then the block table follow the data, ending the archive (format 0 and 1
//     alike), and the header is rewritten with the same format and sector size;
//   - bytes after the archive's end (a strong signature 'NGIS' block) are copied after the new end.
//     The old end is the header's archive size when it covers the header, the tables and every
//     block lying in the file, and does not pass the file's end; else the furthest of those.
//
// Memory stays bounded: one chunk of data (1 MiB), the tables, a packed file's sector offsets and
// (attributes). Sector offset tables read while re-keying are checked before use.
// The target is not synced; the caller, who owns the file, decides when.
//
// Example: auto outcome = mpq::CompactArchive(*source, *tables, *target, {});
//          if (!outcome.ok) discard target (outcome.refusal says why, outcome.io what failed).
#include "archive/archive_file.h"
#include "archive/format/mpq_reader.h"

#include <cstdint>
#include <functional>
#include <string>

namespace mpq {

struct CompactOutcome {
    bool ok = false;
    std::string refusal;                                    // why, when not ok (English, short)
    archive_io::IoFailure io = archive_io::IoFailure::None; // when a read or write failed: NoSpace etc.
};

// Writes the archive held by `source` (parsed as `tables` by ReadArchiveTables) without unused space
// into `target`, an empty file opened for writing. progress(done, total) counts bytes of block data;
// it is called after every piece copied and may be empty. When not ok, target holds no archive.
CompactOutcome CompactArchive(archive_io::File& source, const ArchiveTables& tables, archive_io::File& target,
                              const std::function<void(std::uint64_t, std::uint64_t)>& progress);

// True when CompactArchive would write exactly the bytes `source` holds, so that there is nothing to
// reclaim: every block is named by an in-use entry and none is dropped, each lies right after the
// one before it in offset order from the header on (entries for the very same block sharing one
// copy), the block table's order kept, (attributes) would be copied as it is, the hash table then the block table end
// the archive as compaction encodes them (the header too), bytes after the archive start right there, and a weak
// signature is the one signing would write. False as well where the compaction would refuse or a read fails: the
// compaction then runs and tells why. Reads the tables, (attributes), and where needed (listfile) and sector tables;
// writes nothing. Example: a fresh archive from MpqBuilder, compacted once, is already compact; after a replace it is
// not.
bool IsAlreadyCompact(archive_io::File& source, const ArchiveTables& tables);

} // namespace mpq
