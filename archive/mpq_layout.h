#pragma once
// Our own reading of an MPQ archive's header and tables, done before StormLib ever sees the file.
// It refuses what a game archive never is, so that StormLib's parser (which has known overflows on
// malformed archives in 9.22) only meets well-formed input:
//   - no 'MPQ\x1A' header at offset 0 or at a multiple of 512 (after an optional 'MPQ\x1B' user
//     data header, followed as StormLib follows it);
//   - a format version other than 0 or 1, or a header size other than that format's (32 or 44);
//   - a hash table size that is not a power of two, or hash, block or hi-block tables that do not
//     lie inside the file;
//   - an existing file whose data lies outside the file, or a hash entry naming a missing block.
// It also tells where StormLib may start writing, which the rollback journal needs.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace archive_io {
class File;
}

struct MpqLayout {
    std::uint64_t fileSize = 0;
    std::uint64_t headerOffset = 0; // absolute offset of 'MPQ\x1A'
    std::uint32_t headerSize = 0;
    std::uint16_t formatVersion = 0;
    std::uint32_t hashTableSize = 0;  // entries
    std::uint32_t blockTableSize = 0; // entries

    struct Block {
        std::uint64_t offset = 0; // absolute
        std::uint32_t compressedSize = 0;
        std::uint32_t fileSize = 0;
        std::uint32_t flags = 0;
    };
    std::vector<Block> blocks;

    struct Hash {
        std::uint32_t name1 = 0;
        std::uint32_t name2 = 0;
        std::uint16_t locale = 0;
        std::uint32_t blockIndex = 0;
    };
    std::vector<Hash> hashes; // only entries in use

    // The archive holds a weak signature, a (signature) file. StormLib 9.22 re-signs such an
    // archive whenever it writes it, rewriting (signature) after the files that stay.
    bool HasSignature() const;

    // The lowest absolute offset StormLib may write when an operation changes (adds, replaces or
    // deletes) only the files named in changedNames and its own (listfile), (attributes) and
    // (signature): the end of the last file that stays as it is. The header is written too.
    std::uint64_t FirstWritableOffset(const std::vector<std::string>& changedNames) const;
};

// Nullopt when the file is refused (or cannot be read); never throws. filesToRead names the stored
// files the caller is about to read; each present one is checked as deeply as the internal files.
std::optional<MpqLayout> ReadMpqLayout(archive_io::File& file, const std::vector<std::string>& filesToRead = {});
std::optional<MpqLayout> ReadMpqLayout(const std::filesystem::path& path,
                                       const std::vector<std::string>& filesToRead = {});

// The MPQ name hash (types: 0 table index, 1 name A, 2 name B, 3 file key), as StormLib computes it.
std::uint32_t MpqHashString(const std::string& name, std::uint32_t hashType);
