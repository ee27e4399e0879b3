#include "archive/mpq_layout.h"

#include "archive/archive_file.h"
#include "archive/format/mpq_format.h"
#include "archive/format/mpq_reader.h"
#include "archive/format/mpq_writer.h"

#include <algorithm>
#include <array>
#include <bzlib.h>
#include <zlib.h>

namespace {

// Block flags, as the format names them.
constexpr std::uint32_t kFileExists = mpq::kFileExists;
constexpr std::uint32_t kCompress = mpq::kFileCompress;
constexpr std::uint32_t kCompressMask = mpq::kFileCompressMask; // StormLib treats any of these bits as packed
constexpr std::uint32_t kEncrypted = mpq::kFileEncrypted;
constexpr std::uint32_t kSingleUnit = mpq::kFileSingleUnit;
constexpr std::uint32_t kSectorCrc = mpq::kFileSectorCrc;

// Compression mask bytes.
constexpr std::uint8_t kZlib = 0x02;
constexpr std::uint8_t kPkware = 0x08;
constexpr std::uint8_t kBzip2 = 0x10;

std::uint32_t Le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// A compression mask byte as StormLib 9.22 decodes it: format 0 archives go through
// SCompDecompress (any combination of methods; it asserts on LZMA), format 1 through
// SCompDecompress2 (one method). Game text and data files use zlib, bzip2 or PKWARE; Huffman,
// ADPCM, sparse and LZMA are refused (their decoders crash on malformed input).
bool IsGameCompression(std::uint8_t mask, std::uint16_t formatVersion) {
    constexpr std::uint8_t allowed = kZlib | kPkware | kBzip2;
    constexpr std::uint8_t lzma = 0x12; // also bzip2 | zlib, which SCompDecompress asserts against
    if (formatVersion == 0)
        return mask != 0 && mask != lzma && (mask & ~allowed) == 0;
    return mask == kZlib || mask == kPkware || mask == kBzip2;
}

// The mask byte of a packed unit of `size` bytes at `offset`; encrypted units are decrypted with
// the unit's key first (StormLib leaves units shorter than a word as they are).
std::optional<std::uint8_t> ReadMaskByte(archive_io::File& file, std::uint64_t offset, std::uint32_t size,
                                         bool encrypted, std::uint32_t key) {
    std::array<std::uint8_t, 4> bytes{};
    const std::size_t count = size >= 4 ? 4 : 1;
    if (!file.ReadAt(offset, std::span(bytes).first(count)))
        return std::nullopt;
    if (!encrypted || size < 4)
        return bytes[0];
    std::array<std::uint32_t, 1> word{Le32(bytes.data())};
    MpqDecryptBlock(word, key);
    return static_cast<std::uint8_t>(word[0] & 0xFF);
}

// StormLib 9.22 takes a zlib or PKWARE unit that stops short (a data error) as decoded, and hands
// out whatever its buffer held past that point as the file's bytes. A file the caller reads is only
// trusted when each zlib or bzip2 unit decodes to exactly its size; the output is counted in a
// small buffer, never allocated whole. PKWARE and format 0's combined methods are not decoded here.
bool UnitDecodesExactly(archive_io::File& file, std::uint64_t offset, std::uint32_t stored, std::uint64_t plain,
                        bool encrypted, std::uint32_t key, std::uint8_t mask) {
    if ((mask != kZlib && mask != kBzip2) || stored < 2)
        return true;
    std::vector<std::uint8_t> packed(stored);
    if (!file.ReadAt(offset, packed))
        return false;
    if (encrypted) {
        std::vector<std::uint32_t> words(stored / 4);
        for (std::size_t i = 0; i < words.size(); ++i)
            words[i] = Le32(packed.data() + i * 4);
        MpqDecryptBlock(words, key);
        for (std::size_t i = 0; i < words.size(); ++i) {
            for (int b = 0; b < 4; ++b)
                packed[i * 4 + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
        }
    }
    std::array<std::uint8_t, 1 << 16> sink{};
    std::uint64_t total = 0;
    if (mask == kZlib) {
        z_stream z{};
        z.next_in = packed.data() + 1;
        z.avail_in = stored - 1;
        if (inflateInit(&z) != Z_OK)
            return false;
        int result = Z_OK;
        while (result == Z_OK && total <= plain) {
            z.next_out = sink.data();
            z.avail_out = sink.size();
            result = inflate(&z, Z_NO_FLUSH);
            total += sink.size() - z.avail_out;
            if (result == Z_BUF_ERROR && z.avail_out != 0)
                break; // input exhausted before the stream's end
        }
        inflateEnd(&z);
        return result == Z_STREAM_END && total == plain;
    }
    bz_stream bz{};
    bz.next_in = reinterpret_cast<char*>(packed.data() + 1);
    bz.avail_in = stored - 1;
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK)
        return false;
    int result = BZ_OK;
    while (result == BZ_OK && total <= plain) {
        bz.next_out = reinterpret_cast<char*>(sink.data());
        bz.avail_out = sink.size();
        result = BZ2_bzDecompress(&bz);
        const std::uint64_t produced = sink.size() - bz.avail_out;
        total += produced;
        if (result == BZ_OK && produced == 0 && bz.avail_in == 0)
            break; // input exhausted before the stream's end
    }
    BZ2_bzDecompressEnd(&bz);
    return result == BZ_STREAM_END && total == plain;
}

// What StormLib will do with one stored file when it reads it: the sector offset table and, when
// withMasks, each packed unit's mask byte. Every size is checked against the block before
// anything is allocated.
bool FileDataIsReadable(archive_io::File& file, const MpqLayout& layout, std::uint32_t sectorSize,
                        const MpqLayout::Block& block, const std::string& name, bool withMasks, bool decode = false) {
    if (block.fileSize == 0)
        return true;
    const bool packed = (block.flags & kCompressMask) != 0;
    const bool encrypted = (block.flags & kEncrypted) != 0;
    const auto relativeOffset = static_cast<std::uint32_t>(block.offset - layout.headerOffset);
    const std::uint32_t key = encrypted ? MpqFileKey(name, relativeOffset, block.fileSize, block.flags) : 0;

    if ((block.flags & kSingleUnit) != 0) {
        // StormLib reads the stored bytes into a buffer of the file's size when nothing is packed.
        if (!packed || block.compressedSize == block.fileSize)
            return block.compressedSize == block.fileSize;
        if (block.compressedSize > block.fileSize)
            return false;
        if ((block.flags & kCompress) == 0)
            return true; // imploded: no mask byte
        const auto mask = ReadMaskByte(file, block.offset, block.compressedSize, encrypted, key);
        return mask && IsGameCompression(*mask, layout.formatVersion) &&
               (!decode ||
                UnitDecodesExactly(file, block.offset, block.compressedSize, block.fileSize, encrypted, key, *mask));
    }
    if (!packed)
        return block.compressedSize >= block.fileSize;

    const std::uint64_t sectors = (static_cast<std::uint64_t>(block.fileSize) - 1) / sectorSize + 1;
    const bool withCrc = (block.flags & kSectorCrc) != 0;
    const std::uint64_t entries = sectors + 1 + (withCrc ? 1 : 0);
    if (entries * 4 > block.compressedSize)
        return false;
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(entries * 4));
    if (!file.ReadAt(block.offset, raw))
        return false;
    std::vector<std::uint32_t> offsets(static_cast<std::size_t>(entries));
    for (std::size_t i = 0; i < offsets.size(); ++i)
        offsets[i] = Le32(raw.data() + i * 4);
    if (encrypted)
        MpqDecryptBlock(offsets, key - 1);
    if (offsets[0] != entries * 4 || offsets[entries - 1] > block.compressedSize)
        return false;
    for (std::uint64_t i = 0; i < sectors; ++i) {
        const std::uint32_t start = offsets[i];
        if (offsets[i + 1] <= start)
            return false;
        const std::uint32_t stored = offsets[i + 1] - start;
        const std::uint64_t plain = std::min<std::uint64_t>(sectorSize, block.fileSize - i * sectorSize);
        if (stored > plain)
            return false;
        if (stored == plain || (block.flags & kCompress) == 0 || !withMasks)
            continue;
        const auto mask =
            ReadMaskByte(file, block.offset + start, stored, encrypted, key + static_cast<std::uint32_t>(i));
        if (!mask || !IsGameCompression(*mask, layout.formatVersion))
            return false;
        if (decode && !UnitDecodesExactly(file, block.offset + start, stored, plain, encrypted,
                                          key + static_cast<std::uint32_t>(i), *mask))
            return false;
    }
    if (withCrc) {
        // StormLib loads the checksums into a table of one word per sector and decompresses a
        // shorter stored one: a longer one would overflow it.
        const std::uint32_t crcStart = offsets[sectors];
        if (offsets[sectors + 1] < crcStart)
            return false;
        const std::uint32_t crcStored = offsets[sectors + 1] - crcStart;
        if (crcStored > sectors * 4)
            return false;
        if (withMasks && crcStored != 0 && crcStored < sectors * 4) {
            const auto mask = ReadMaskByte(file, block.offset + crcStart, crcStored, false, 0);
            if (!mask || !IsGameCompression(*mask, 1))
                return false;
        }
    }
    return true;
}

// The largest (attributes) StormLib accepts for a block table of `blocks` entries: an 8-byte
// header, then a CRC32, a file time and an MD5 per block, and a patch bit (or word) per block.
std::uint64_t LargestAttributes(std::uint32_t blocks) {
    return 8 + static_cast<std::uint64_t>(blocks) * (4 + 8 + 16 + 4);
}

} // namespace

namespace {

std::optional<MpqLayout> ReadLayout(archive_io::File& file, const std::vector<std::string>& filesToRead) {
    // The header and tables are our reader's; the checks below are about the files StormLib reads.
    const std::optional<mpq::ArchiveTables> tables = mpq::ReadArchiveTables(file, false);
    if (!tables)
        return std::nullopt;
    MpqLayout layout;
    layout.fileSize = tables->fileSize;
    layout.headerOffset = tables->headerOffset;
    layout.headerSize = tables->headerSize;
    layout.formatVersion = tables->formatVersion;
    layout.hashTableSize = static_cast<std::uint32_t>(tables->hashes.size());
    layout.blockTableSize = static_cast<std::uint32_t>(tables->blocks.size());
    layout.tables = *tables;
    for (const mpq::HashEntry& entry : tables->hashes) {
        if (entry.InUse())
            layout.hashes.push_back({entry.name1, entry.name2, entry.locale, entry.blockIndex});
    }
    layout.blocks.reserve(tables->blocks.size());
    for (const mpq::BlockEntry& entry : tables->blocks)
        layout.blocks.push_back({tables->Absolute(entry.offset), entry.storedSize, entry.fileSize, entry.flags});

    // Compaction copies every file's sector checksums into a buffer of one word per sector: an
    // unencrypted file's table is checked for that wherever it is (an encrypted one's key needs
    // its name; StormLib cannot copy those without the name either).
    const std::uint32_t sectorSize = tables->SectorSize();
    for (const MpqLayout::Block& block : layout.blocks) {
        const std::uint32_t crcFile = kFileExists | kSectorCrc;
        if ((block.flags & crcFile) == crcFile && (block.flags & (kEncrypted | kSingleUnit)) == 0 &&
            (block.flags & kCompressMask) != 0 && !FileDataIsReadable(file, layout, sectorSize, block, {}, false)) {
            return std::nullopt;
        }
    }

    // The files StormLib reads on every open, and the ones the caller is about to read: each
    // entry of the name in any locale, as the lookup may pick any of them.
    std::vector<std::string> names = {"(listfile)", "(attributes)"};
    names.insert(names.end(), filesToRead.begin(), filesToRead.end());
    for (const std::string& name : names) {
        const std::uint32_t name1 = MpqHashString(name, 1);
        const std::uint32_t name2 = MpqHashString(name, 2);
        for (const MpqLayout::Hash& hash : layout.hashes) {
            if (hash.name1 != name1 || hash.name2 != name2)
                continue;
            const MpqLayout::Block& block = layout.blocks[hash.blockIndex];
            if ((block.flags & kFileExists) == 0)
                continue;
            if (name == "(attributes)" && block.fileSize > LargestAttributes(layout.blockTableSize))
                return std::nullopt;
            // The caller's own files are decoded too: their bytes are what it will trust.
            const bool decode = name != "(listfile)" && name != "(attributes)";
            if (!FileDataIsReadable(file, layout, sectorSize, block, name, true, decode))
                return std::nullopt;
        }
    }
    return layout;
}
} // namespace

std::optional<MpqLayout> ReadMpqLayout(archive_io::File& file, const std::vector<std::string>& filesToRead) {
    // Every allocation is bounded by the file's size, but even a bounded one may fail.
    try {
        return ReadLayout(file, filesToRead);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<MpqLayout> ReadMpqLayout(const std::filesystem::path& path, const std::vector<std::string>& filesToRead) {
    std::unique_ptr<archive_io::File> file = archive_io::File::Open(path, archive_io::File::Mode::Read);
    if (!file)
        return std::nullopt;
    return ReadMpqLayout(*file, filesToRead);
}

std::uint64_t MpqLayout::FirstWritableOffset(const std::vector<std::string>& changedNames) const {
    std::vector<std::uint32_t> slots;
    for (const std::string& name : changedNames) {
        const std::vector<std::uint32_t> found = mpq::FindNameEntries(tables, name);
        slots.insert(slots.end(), found.begin(), found.end());
    }
    return mpq::PlanWrite(tables, slots).overwriteFrom;
}

bool MpqLayout::HasSignature() const {
    const std::uint32_t name1 = MpqHashString("(signature)", 1);
    const std::uint32_t name2 = MpqHashString("(signature)", 2);
    return std::any_of(hashes.begin(), hashes.end(),
                       [&](const Hash& hash) { return hash.name1 == name1 && hash.name2 == name2; });
}
