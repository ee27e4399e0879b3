#pragma once
// Byte-exact access to the archive and its journal, with the flushes crash safety needs.
// One implementation per platform (archive_file_posix.cpp, archive_file_win.cpp). Creating a file
// (Create, CreateNew), WriteAt, Truncate and Sync are reported to the io_seam observer
// (support/io_seam.h) under the path the file was opened by.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

namespace archive_io {

// Why a file call failed, as far as the caller can act on it.
enum class IoFailure {
    None,
    Missing, // no such file
    Exists,  // CreateNew found the name taken
    Denied,  // no permission, a read-only file system or file
    NoSpace, // the disk, a quota or the file-size limit ran out
    Other,
};

// What tells one file from another and whom it belongs to. On Windows the volume serial and file
// index stand for device and inode; owner, group and mode are 0 there.
// Bytes [offset, offset + length) of a file.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const ByteRange&) const = default;
};

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t links = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint32_t mode = 0; // permission bits
    bool operator==(const FileIdentity&) const = default;
    bool SameFile(const FileIdentity& other) const { return device == other.device && inode == other.inode; }
};

// The identity of the file a path names, symbolic links followed; nullopt when it cannot be read.
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path);

class File {
public:
    enum class Mode {
        Read,      // an existing file, read only
        ReadWrite, // an existing file, never created
        Create,    // a new or emptied file, read and write
        CreateNew, // a file that must not exist yet (it is never a foreign file emptied), read and write
    };
    // Null when the file cannot be opened in that mode (missing, a directory, no permission);
    // why, when given, says which. Files are never inherited by child processes.
    static std::unique_ptr<File> Open(const std::filesystem::path& path, Mode mode, IoFailure* why = nullptr);
    virtual ~File() = default;

    // Files that are not on disk (a test's bytes in memory) have no identity, owner or mode.
    virtual std::optional<FileIdentity> Identity() { return std::nullopt; }
    // Gives the file the model's owner and group (where the process may: root may give any, an
    // owner only its own groups) and its permission bits. False only when the mode cannot be set.
    virtual bool TakeOwnerAndMode(const FileIdentity& model) {
        (void)model;
        return true;
    }
    // Why the last failed call on this file failed.
    virtual IoFailure LastFailure() const { return IoFailure::Other; }

    virtual std::optional<std::uint64_t> Size() = 0;
    // Reads exactly bytes.size() bytes at offset; false on a short read.
    virtual bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) = 0;
    virtual bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
    virtual bool Truncate(std::uint64_t size) = 0;
    // The file's data and size are on disk when this returns true.
    virtual bool Sync() = 0;
};

} // namespace archive_io
