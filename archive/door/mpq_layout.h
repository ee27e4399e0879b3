#pragma once
// The archive's header and tables as the door sees them, read by our reader (format/mpq_reader.h),
// which refuses what a game archive never is before anything is allocated. The door reads nothing
// else of the archive: file data is read, decompressed and written in the archive worker.
// It also tells where the writer may start writing, which the rollback journal needs.
#include "archive/format/mpq_crypto.h"
#include "archive/format/mpq_reader.h"
#include "archive/format/mpq_writer.h"

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

    // What an edit of the one file `name` may overwrite, as the writer will plan it: a save
    // (presentAfter) may also put its data back into the file's old block; a delete writes none.
    mpq::WritePlan EditPlan(const std::string& name, bool presentAfter) const;
};

// Nullopt when the file is refused (or cannot be read); never throws. filesToRead names stored
// files whose every entry must also have a sector table our reader takes (nothing is decoded).
std::optional<MpqLayout> ReadMpqLayout(archive_io::File& file, const std::vector<std::string>& filesToRead = {});
std::optional<MpqLayout> ReadMpqLayout(const std::filesystem::path& path,
                                       const std::vector<std::string>& filesToRead = {});
