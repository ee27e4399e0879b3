#pragma once
// Small file-system services whose results must survive a crash or power loss. Each call that
// changes a file or a directory is reported to the io_seam observer (support/io_seam.h).
// One implementation per platform (durable_file_posix.cpp, durable_file_win.cpp).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

namespace durable {

// A file made new and written from its start, a piece at a time; closed when dropped.
class NewFile {
public:
    // Null when the file cannot be made; nameTaken, when given, tells whether something already
    // has that name (the file is never someone's file emptied). Not inherited by child processes.
    static std::unique_ptr<NewFile> Create(const std::filesystem::path& path, bool* nameTaken = nullptr);
    virtual ~NewFile() = default;
    // Appends all bytes; false when they could not all be written (disk full, a file-size limit).
    virtual bool Append(std::span<const std::uint8_t> bytes) = 0;
    // The file's data is on disk when this returns true.
    virtual bool Sync() = 0;
};

// Flushes an existing file's data to disk.
bool SyncFile(const std::filesystem::path& path);

// Makes a rename or a removal inside the directory durable (a no-op where the platform has no need).
bool SyncDirectory(const std::filesystem::path& directory);

// Renames source over target in one atomic step.
bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target);

// Gives the file `existing` the second name `link`; false where the file system has no hard links.
bool LinkFile(const std::filesystem::path& existing, const std::filesystem::path& link);

// Removes the file's name; true when the name is gone, also when there was none.
bool RemoveFile(const std::filesystem::path& path);

// True when the file exists and the user may not write it (read-only attribute or permission).
bool IsReadOnly(const std::filesystem::path& path);

} // namespace durable
