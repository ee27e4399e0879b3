#pragma once
// Hostile archives, each made by our own code from an archive our builder writes: the shapes that
// crash, abort or exhaust StormLib 9.22 when it opens or reads them. Tests, fuzzers and power-cut
// runs use them as seeds. Example: MakeHostileArchive(HostileShape::HuffmanSector, dir / "x.mpq").
#include "archive/mpq_builder.h"

#include <cstdint>
#include <filesystem>
#include <optional>
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
// An archive's bytes with its header at offset 0 and its hash and block tables decrypted, to be
// rewritten and put back with Bytes(). Throws std::runtime_error on what it cannot parse.
class ArchiveEditor {
public:
    struct Block {
        std::uint32_t offset = 0; // relative to the header
        std::uint32_t compressedSize = 0;
        std::uint32_t fileSize = 0;
        std::uint32_t flags = 0;
    };
    struct Hash {
        std::uint32_t name1 = 0;
        std::uint32_t name2 = 0;
        std::uint32_t locale = 0;
        std::uint32_t blockIndex = 0;
    };

    explicit ArchiveEditor(std::vector<std::uint8_t> bytes);

    std::uint32_t HeaderWord(std::size_t offset) const;
    void SetHeaderWord(std::size_t offset, std::uint32_t value);
    std::vector<Block>& blocks() { return m_blocks; }
    std::vector<Hash>& hashes() { return m_hashes; }
    std::uint32_t SectorSize() const;

    // The block of the first hash entry carrying name; throws when there is none.
    std::size_t BlockOf(const std::string& name) const;
    // A sectored file's offset table (decrypted with the key from name when the file is encrypted),
    // with the entry that ends the sector checksums when the file has them.
    std::vector<std::uint32_t> SectorOffsets(const std::string& name) const;
    void SetSectorOffsets(const std::string& name, std::vector<std::uint32_t> offsets);
    // Raw bytes of the archive at an offset relative to the header.
    void Overwrite(std::uint32_t offset, const std::vector<std::uint8_t>& bytes);

    // The archive with the tables encrypted back in their places.
    std::vector<std::uint8_t> Bytes() const;

private:
    std::uint32_t FileKey(const std::string& name, const Block& block) const;

    std::vector<std::uint8_t> m_bytes;
    std::uint32_t m_hashTablePos = 0;
    std::uint32_t m_blockTablePos = 0;
    std::vector<Block> m_blocks;
    std::vector<Hash> m_hashes;
};

} // namespace testkit
