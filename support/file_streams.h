#pragma once
// Disk files in and out of the program, as raw bytes: whole (into and out of a byte buffer) or a
// piece at a time (FileReader, FileWriter), for files too large to hold.
// Writes replace a regular file atomically: the new content goes to a temporary file in the same
// directory, is flushed to disk and renamed over the target, so a failure at any point leaves the
// old file exactly as it was and no temporary file behind. A read-only target is refused.
// What the path names decides how it is written:
//   - a symbolic link is written through: its final target is replaced as above, in the target's
//     directory, and the link stays a link. A link to nothing is refused, as cp refuses it;
//   - a FIFO, a terminal or a device (/dev/stdout on a pipe, /dev/null) is written in place, with
//     no temporary file and no rename: it is never removed or replaced by a regular file. A FIFO
//     nobody reads is refused at once rather than waited on;
//   - a regular file that is the program's own standard output or error (/dev/stdout redirected to
//     a file) is written through that stream, never replaced;
//   - a directory is refused.
#include "support/durable_file.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace modFileStreams {

// False for an empty path, a missing file, a directory, or a read error.
bool ReadWholeFile(std::u16string path, std::vector<std::uint8_t>& buffer);

// True when the file at path now holds exactly the buffer's bytes.
bool WriteWholeFile(std::u16string path, const std::vector<std::uint8_t>& buffer);

// A disk file read from its start, a piece at a time. Nothing throws.
class FileReader {
public:
    // Null where ReadWholeFile fails: an empty path, a missing file, a directory, a file that does not open.
    static std::unique_ptr<FileReader> Open(const std::u16string& path);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // The size when it was opened; a file that grows after is read only up to it.
    std::uint64_t Size() const { return m_size; }
    // The next out.size() bytes; false when the file no longer holds them (it shrank) or a read fails.
    bool Read(std::span<std::uint8_t> out);

private:
    FileReader(std::ifstream in, std::uint64_t size);
    std::ifstream m_in;
    std::uint64_t m_size;
};

// A disk file written a piece at a time that replaces its target only at Commit, as WriteWholeFile
// does: a writer dropped without a successful Commit removes its temporary file and the target
// stays exactly as it was. Nothing throws.
class FileWriter {
public:
    // Null where WriteWholeFile fails before writing: an empty path, a directory, a missing parent
    // directory, a read-only target, or no temporary file can be made beside it.
    static std::unique_ptr<FileWriter> Begin(const std::u16string& path);
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Appends the bytes; false when they could not all be written (disk full, a file-size limit).
    bool Write(std::span<const std::uint8_t> bytes);
    // Flushes the file to disk and renames it over the target; true when the target now holds
    // exactly the bytes written. The writer is done either way.
    bool Commit();

private:
    FileWriter(std::filesystem::path target, std::filesystem::path temporary, std::unique_ptr<durable::NewFile> out,
               bool targetExisted);
    static std::unique_ptr<FileWriter> BeginReplacement(const std::filesystem::path& target, bool targetExists);
    void Discard();
    std::filesystem::path m_target;
    std::filesystem::path m_temporary; // empty: the target itself is written (a device, a FIFO)
    std::unique_ptr<durable::NewFile> m_out;
    bool m_targetExisted;
    bool m_ok = true;
    bool m_done = false;
};

} // namespace modFileStreams
