#pragma once
// Hostile archives, each made by our own code from an archive our builder writes: the shapes that
// crash, abort or exhaust StormLib 9.22 when it opens or reads them. Tests, fuzzers and power-cut
// runs use them as seeds. Example: MakeHostileArchive(HostileShape::HuffmanSector, dir / "x.mpq").
#include "archive/format/mpq_builder.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testkit {

enum class HostileShape {
    ArchiveSizeDisagrees,      // format 1, 100 bytes after the tables, archive size = file length
    HuffmanSector,             // format 0, GlobalStrings.fdf's first sector Huffman-coded garbage
    PatchFlagOnAttributes,     // (attributes) flagged as a patch file
    SectorOffsetsOutsideBlock, // war3skins.txt (with sector checksums): its last offset past its block
    HugeAttributes,            // (attributes) claims 0x7FFFFFF0 bytes
    SparseHugeHashTable,       // a sparse 2 GiB file whose hash table has 2^27 entries
};

std::vector<HostileShape> AllHostileShapes();
const char* HostileShapeName(HostileShape shape);
// Writes the shape to path (replacing any file there); throws std::runtime_error when it cannot.
void MakeHostileArchive(HostileShape shape, const std::filesystem::path& path);

// What a file holds, cheaply even for the 2 GiB sparse shape: all of its bytes when it is small,
// else its size and its first and last mebibytes (where a write to such an archive would land).
std::vector<std::uint8_t> FileFingerprint(const std::filesystem::path& path);

// The files every shape starts from: GlobalStrings.fdf and war3skins.txt several sectors long and
// compressible (so their sectors carry compression masks), and two more.
std::vector<MpqBuilderFile> HostileBaseFiles();

// An archive as our builder writes it (header at offset 0, no file encrypted) with its hash and
// block tables decrypted for editing; Bytes() puts them back. Throws std::runtime_error on what it
// cannot parse.
struct ArchiveEditor {
    struct Block {
        std::uint32_t offset, compressedSize, fileSize, flags; // offset from the header
    };
    struct Hash {
        std::uint32_t name1, name2, locale, blockIndex;
    };

    explicit ArchiveEditor(std::vector<std::uint8_t> archive);
    std::uint32_t Word(std::size_t offset) const;
    void SetWord(std::size_t offset, std::uint32_t value);
    std::uint32_t SectorSize() const { return 0x200u << (Word(12) >> 16); }
    // The first hash entry carrying name, and its block; throw when there is none.
    Hash& HashOf(const std::string& name);
    Block& BlockOf(const std::string& name) { return blocks.at(HashOf(name).blockIndex); }
    // A sectored file's offset table, with the entry that ends the sector checksums when it has them.
    std::vector<std::uint32_t> SectorOffsets(const std::string& name);
    void SetSectorOffsets(const std::string& name, const std::vector<std::uint32_t>& offsets);
    std::vector<std::uint8_t> Bytes() const;

    std::vector<std::uint8_t> bytes;
    std::vector<Block> blocks;
    std::vector<Hash> hashes;
};

// HostileBaseFiles() built in the given format and passed through edit.
std::vector<std::uint8_t> EditedBaseArchive(int formatVersion, const std::function<void(ArchiveEditor&)>& edit);

} // namespace testkit
