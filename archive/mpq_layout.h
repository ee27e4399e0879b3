#pragma once
// Our own reading of an MPQ archive's header and tables, done before StormLib ever sees the file.
// The header and tables are read by our reader (format/mpq_reader.h), which refuses what a game
// archive never is; StormLib's parser (which has known overflows and assertions on malformed
// archives in 9.22) then only meets well-formed input. On top of that, this refuses:
//   - in (listfile), (attributes) and the files in filesToRead (every locale's entry): a sector
//     offset table that is not ascending inside the block and starting with its own size, a
//     sector stored longer than its data, sector checksums longer than one word per sector, a
//     compression other than zlib, bzip2 or PKWARE (combinations of these in format 0, but not
//     bzip2 | zlib, which is LZMA's mask), a packed single-unit file stored longer than its size
//     or an unpacked one stored at another size, or an (attributes) larger than its format can be
//     for the block table;
//   - in any unencrypted file with sector checksums, the same sector offset table faults
//     (compaction copies those checksums into a buffer of one word per sector).
// It also tells where StormLib may start writing, which the rollback journal needs.
#include "archive/format/mpq_crypto.h"
#include "archive/format/mpq_reader.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
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

    // The whole tables as our reader read them, for the writer's plan.
    mpq::ArchiveTables tables;

    // The archive holds a weak signature, a (signature) file. StormLib 9.22 re-signs such an
    // archive whenever it writes it, rewriting (signature) after the files that stay.
    bool HasSignature() const;

    // The lowest absolute offset the engine may write when an operation changes (adds, replaces or
    // deletes) only the files named in changedNames and the internal files, (listfile),
    // (attributes) and (signature): the writer's plan (format/mpq_writer.h). The header is written
    // too.
    std::uint64_t FirstWritableOffset(const std::vector<std::string>& changedNames) const;
};

// Nullopt when the file is refused (or cannot be read); never throws. filesToRead names the stored
// files the caller is about to read; each present one is checked as deeply as the internal files.
std::optional<MpqLayout> ReadMpqLayout(archive_io::File& file, const std::vector<std::string>& filesToRead = {});
std::optional<MpqLayout> ReadMpqLayout(const std::filesystem::path& path,
                                       const std::vector<std::string>& filesToRead = {});
