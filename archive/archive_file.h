#pragma once
// Byte-exact access to the archive and its journal, with the flushes crash safety needs.
// One implementation per platform (archive_file_posix.cpp, archive_file_win.cpp).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

namespace archive_io {

class File {
public:
    enum class Mode {
        Read,      // an existing file, read only
        ReadWrite, // an existing file, never created
        Create,    // a new or emptied file, read and write
    };
    // Null when the file cannot be opened in that mode (missing, a directory, no permission).
    static std::unique_ptr<File> Open(const std::filesystem::path& path, Mode mode);
    virtual ~File() = default;

    virtual std::optional<std::uint64_t> Size() = 0;
    // Reads exactly bytes.size() bytes at offset; false on a short read.
    virtual bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) = 0;
    virtual bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
    virtual bool Truncate(std::uint64_t size) = 0;
    // The file's data and size are on disk when this returns true.
    virtual bool Sync() = 0;
};

} // namespace archive_io
