#pragma once
// Builds a new MPQ archive from a list of files in one call: for tests, the benchmark and the demo,
// which must create archives while the MPQ engine itself stays inside archive/.
// Files are stored zlib-compressed (or plain when compress is false); the hash table is sized to
// the file count (the next power of two that holds every file and the internal ones).
// Example: CreateMpqArchive("x.mpq", {{u"UI\\war3skins.txt", bytes}}, 1) makes a format-1 archive
// with (listfile) and (attributes).
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct MpqBuilderFile {
    std::u16string address;            // path inside the archive, ASCII, e.g. u"UI\\war3skins.txt"
    std::vector<std::uint8_t> content; // may be empty
    bool compress = true;
    std::uint16_t locale = 0; // 0 is neutral; 0x804 is Simplified Chinese
};

// True when the archive was created with every file; an existing file at path is replaced.
// formatVersion is 0 (the original format) or 1 (the extended header); other values fail.
bool CreateMpqArchive(const std::filesystem::path& path, const std::vector<MpqBuilderFile>& files, int formatVersion,
                      bool withListfile = true, bool withAttributes = true);
