#pragma once
// Small file-system services whose results must survive a crash or power loss.
#include <cstdint>
#include <filesystem>
#include <span>

namespace durable {

// Creates a new file (fails if one exists), writes all bytes and flushes them to disk.
bool CreateFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Flushes an existing file's data to disk.
bool SyncFile(const std::filesystem::path& path);

// Makes a rename or a removal inside the directory durable (a no-op where the platform has no need).
bool SyncDirectory(const std::filesystem::path& directory);

// Renames source over target in one atomic step.
bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target);

// True when the file exists and the user may not write it (read-only attribute or permission).
bool IsReadOnly(const std::filesystem::path& path);

} // namespace durable
