#pragma once
// Our writer of an existing MPQ archive: one change (a file added or replaced, or a file removed)
// and its commit, which rewrites (listfile), (attributes) (CRC32, file time and MD5, whichever the
// archive keeps), a weak (signature) and both tables.
//
// Where it writes: only the header and the archive's tail, from the end of the last block that a
// name other than the changed one and the internal files still needs (MpqLayout's
// FirstWritableOffset gives the same or a lower offset, so the door's journal covers every byte
// written). The new file's data, the internal files and the tables follow each other there; the
// file is cut after the block table. Bytes after the old archive's end are not kept.
//
// Before Commit returns true, the result is read back through our reader: the tables must parse,
// the changed entry must read back as exactly the bytes written (CRC32 and MD5) or be gone, and
// the weak signature must verify. A result that does not is a failure, for the caller to undo.
//
// Example:
//   auto writer = mpq::ArchiveWriter::Open(path, false, &why);
//   writer->BeginFile("UI\\war3skins.txt", 0, size) && writer->Write(bytes) && writer->EndFile() &&
//   writer->Commit();
#include "archive/format/mpq_reader.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace archive_io {
class File;
}

namespace mpq {

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
    // Writes the internal files, the tables and the header, cuts the file and reads it back. True
    // at once when nothing changed or the change is committed; after a failed commit it fails
    // again without writing.
    bool Commit();

    WriteError LastError() const;

private:
    struct State;
    explicit ArchiveWriter(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace mpq
