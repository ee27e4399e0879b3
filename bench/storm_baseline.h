#pragma once
// StormLib used directly and in place, the way a tool without a journal would: open the archive,
// do one operation, close it. Only the benchmark uses this, as the yardstick for clsMpqControl;
// a crash in the middle of any of these writes can leave the archive damaged.
// Also the benchmark's archive generator, which streams files into a new archive one at a time so
// that a 500 MB archive never has to sit in memory whole.
// Paths inside the archive are ASCII with backslashes, e.g. "UI\\war3skins.txt". No call throws.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Reads the whole file; the archive is opened read-only.
bool StormReadFile(const std::filesystem::path& archive, const std::string& name, std::vector<std::uint8_t>& content);

// Stores the bytes zlib-compressed, replacing a file of the same name and locale.
bool StormSaveFile(const std::filesystem::path& archive, const std::string& name,
                   const std::vector<std::uint8_t>& content);

// Reads the file, lets `edit` change the bytes (false aborts without writing) and stores them back,
// all within one opening of the archive.
bool StormEditFile(const std::filesystem::path& archive, const std::string& name,
                   const std::function<bool(std::vector<std::uint8_t>&)>& edit);

bool StormDeleteFile(const std::filesystem::path& archive, const std::string& name);

// StormLib's own compaction: it writes a new archive beside the old one and renames it over it.
bool StormCompactArchive(const std::filesystem::path& archive);

// Creates a new archive (an existing file is replaced) with room for hashTableSize entries (a power
// of two) and adds fileCount files, asking `next` for each one's name and bytes in turn; a file is
// stored zlib-compressed when compress is set. With (listfile) and (attributes).
struct StormNewFile {
    std::string name;
    std::vector<std::uint8_t> content;
    bool compress = true;
};
bool StormCreateArchive(const std::filesystem::path& archive, int formatVersion, std::uint32_t hashTableSize,
                        std::size_t fileCount, const std::function<bool(std::size_t index, StormNewFile& file)>& next);
