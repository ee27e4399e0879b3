#pragma once
// Builds a new MPQ archive from a list of files in one call: for tests, the benchmark and the demo,
// which must create archives while the MPQ engine itself stays inside archive/. Written by our own
// format code (format/mpq_encode.h), streamed to a temporary file beside the target and renamed
// over it at the end: a failed build leaves no file behind, and a file already at path stays as it
// was until the new one replaces it whole.
//
// Layout, as StormLib lays out the archives it creates: [user-data header, padding] MPQ header,
// the files in the order given, (listfile), (attributes), the hash table, the block table. Files
// are zlib-compressed (level 1) sector by sector where that makes a sector smaller. The same name
// and locale given twice is stored once, with the later content, at the earlier one's place.
// The hash table, unless sized by the caller, is the next power of two that holds every entry and
// two more (room for a (signature) or a new file), at least 4.
//
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
    bool encrypt = false;
    bool fixKey = false;        // with encrypt: the key also depends on the block's place and size
    bool singleUnit = false;    // one unit instead of sectors
    bool sectorCrc = false;     // Adler-32 per sector; StormLib keeps them on compressed sectored files only
    std::uint64_t fileTime = 0; // FILETIME for (attributes); 0 as StormLib's SFileCreateFile(…, 0, …) leaves it
};

struct MpqBuilderOptions {
    int formatVersion = 1; // 0 or 1
    bool withListfile = true;
    bool withAttributes = true;
    std::uint32_t attributeFlags = 7;  // CRC32 1, file time 2, MD5 4; 0 writes no (attributes), as StormLib
    bool encryptInternalFiles = false; // (listfile) and (attributes) encrypted with the fix key, as most
                                       // game archives store them
    std::uint16_t sectorSizeShift = 3; // sectors of 512 << shift bytes, shift 1 to 16
    std::uint32_t hashTableSize = 0;   // 0: automatic; else a power of two that holds every entry
    std::uint32_t userDataSize = 0;    // >0: an 'MPQ\x1B' user-data header announcing this many bytes,
                                       // the MPQ header at the next multiple of 512 after them
};

// The outcome; failure says why when ok is false.
struct MpqBuildResult {
    bool ok = false;
    std::string failure;
    explicit operator bool() const { return ok; }
};

MpqBuildResult CreateMpqArchive(const std::filesystem::path& path, const std::vector<MpqBuilderFile>& files,
                                const MpqBuilderOptions& options);

// True when the archive was created with every file; an existing file at path is replaced.
// formatVersion is 0 (the original format) or 1 (the extended header); other values fail.
bool CreateMpqArchive(const std::filesystem::path& path, const std::vector<MpqBuilderFile>& files, int formatVersion,
                      bool withListfile = true, bool withAttributes = true);
