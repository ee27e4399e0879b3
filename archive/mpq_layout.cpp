#include "archive/mpq_layout.h"

#include "archive/archive_file.h"

#include <algorithm>
#include <array>
#include <bzlib.h>
#include <zlib.h>

namespace {

constexpr std::uint32_t kMpqSignature = 0x1A51504D;      // 'MPQ\x1A'
constexpr std::uint32_t kUserDataSignature = 0x1B51504D; // 'MPQ\x1B'
constexpr std::uint32_t kHashTableKey = 0xC3AF3770;      // hash of "(hash table)"
constexpr std::uint32_t kBlockTableKey = 0xEC83B3A3;     // hash of "(block table)"
constexpr std::uint32_t kFileExists = 0x80000000;
constexpr std::uint32_t kHashEntryDeleted = 0xFFFFFFFE;
constexpr std::uint64_t kHeaderSearchStep = 0x200;
constexpr std::uint64_t kLargestArchive = 0xFFFFFFFFull; // formats 0 and 1 below 4 GiB, as the game's
// A game archive holds tens of thousands of files; its tables never approach a million entries.
constexpr std::uint32_t kMaxTableEntries = 1u << 20;
// zlib cannot pass 1032:1, and bzip2 on any game text or model stays far below that; a stored size
// more than this many times its packed size is a lie meant to make the reader allocate.
constexpr std::uint64_t kMaxExpansion = 2048;

// Block flags.
constexpr std::uint32_t kImplode = 0x00000100;
constexpr std::uint32_t kCompress = 0x00000200;
constexpr std::uint32_t kCompressMask = 0x0000FF00; // StormLib treats any of these bits as packed
constexpr std::uint32_t kEncrypted = 0x00010000;
constexpr std::uint32_t kFixKey = 0x00020000;
constexpr std::uint32_t kSingleUnit = 0x01000000;
constexpr std::uint32_t kSectorCrc = 0x04000000;
// What game archives carry; the patch-file and delete-marker flags and unknown bits are refused.
constexpr std::uint32_t kKnownFlags =
    kFileExists | kImplode | kCompress | kEncrypted | kFixKey | kSingleUnit | kSectorCrc;

// Compression mask bytes.
constexpr std::uint8_t kZlib = 0x02;
constexpr std::uint8_t kPkware = 0x08;
constexpr std::uint8_t kBzip2 = 0x10;

const std::array<std::uint32_t, 0x500>& CryptTable() {
    static const std::array<std::uint32_t, 0x500> table = [] {
        std::array<std::uint32_t, 0x500> values{};
        std::uint32_t seed = 0x00100001;
        for (std::uint32_t index1 = 0; index1 < 0x100; ++index1) {
            for (std::uint32_t index2 = index1, i = 0; i < 5; ++i, index2 += 0x100) {
                seed = (seed * 125 + 3) % 0x2AAAAB;
                const std::uint32_t high = (seed & 0xFFFF) << 16;
                seed = (seed * 125 + 3) % 0x2AAAAB;
                values[index2] = high | (seed & 0xFFFF);
            }
        }
        return values;
    }();
    return table;
}

std::uint32_t Le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::uint16_t Le16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

bool IsPowerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

// A table of count 16-byte entries at an offset relative to the header, read and decrypted.
std::optional<std::vector<std::uint32_t>> ReadTable(archive_io::File& file, std::uint64_t headerOffset,
                                                    std::uint32_t relativeOffset, std::uint32_t count,
                                                    std::uint64_t fileSize, std::uint32_t key) {
    const std::uint64_t start = headerOffset + relativeOffset;
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * 16;
    if (start > fileSize || bytes > fileSize - start)
        return std::nullopt;
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(bytes));
    if (!file.ReadAt(start, raw))
        return std::nullopt;
    std::vector<std::uint32_t> words(static_cast<std::size_t>(count) * 4);
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = Le32(raw.data() + i * 4);
    MpqDecryptBlock(words, key);
    return words;
}

// Where StormLib would take the archive to begin: the first 'MPQ\x1A' at a multiple of 512,
// after following an 'MPQ\x1B' user data header once.
std::optional<std::uint64_t> FindHeader(archive_io::File& file, std::uint64_t fileSize) {
    bool followedUserData = false;
    std::uint64_t offset = 0;
    std::array<std::uint8_t, 16> probe{};
    while (offset + 32 <= fileSize) {
        if (!file.ReadAt(offset, probe))
            return std::nullopt;
        const std::uint32_t signature = Le32(probe.data());
        if (signature == kMpqSignature)
            return offset;
        if (signature == kUserDataSignature && !followedUserData) {
            // Followed only when StormLib would follow it too, to a place it would reach anyway,
            // with no other header in between that it might prefer.
            followedUserData = true;
            const std::uint32_t userDataSize = Le32(probe.data() + 4);
            const std::uint32_t headerDistance = Le32(probe.data() + 8);
            const std::uint32_t userDataHeaderSize = Le32(probe.data() + 12);
            if (headerDistance == 0 || headerDistance % kHeaderSearchStep != 0 || userDataSize > headerDistance ||
                userDataHeaderSize > userDataSize) {
                return std::nullopt;
            }
            for (std::uint64_t between = offset + kHeaderSearchStep; between < offset + headerDistance;
                 between += kHeaderSearchStep) {
                if (between + 32 > fileSize)
                    return std::nullopt;
                if (!file.ReadAt(between, std::span(probe).first(4)))
                    return std::nullopt;
                const std::uint32_t inBetween = Le32(probe.data());
                if (inBetween == kMpqSignature || inBetween == kUserDataSignature)
                    return std::nullopt;
            }
            offset += headerDistance;
            continue;
        }
        offset += kHeaderSearchStep;
    }
    return std::nullopt;
}

// Format 1 only (StormLib's "version 2"), as ConvertMpqHeaderToFormat4 in 9.22 sizes the tables
// when the hi-block table is absent: the hash table's stored size is the distance to the block
// table, and the block table's is the distance from it to the archive's end, taken from the
// header's archive-size field unless that field is past the file's end or below the block table.
// A block table stored longer than its entries trips StormLib's assert(BlockTableSize64 <= ...);
// a hash table stored longer overflows its buffer; either stored shorter is decompressed. Game
// archives store both tables whole, so anything but the exact sizes is refused. Format 0 takes
// both tables' sizes from their entry counts and asserts nothing about the archive-size field
// (Storm.dll ignores it too), so a format 0 archive is not refused for it.
bool Format1TablesAreWhole(const std::array<std::uint8_t, 44>& header, std::uint64_t headerOffset,
                           std::uint64_t fileSize) {
    const std::uint32_t archiveSize = Le32(header.data() + 8);
    const std::uint32_t hashTablePos = Le32(header.data() + 16);
    const std::uint32_t blockTablePos = Le32(header.data() + 20);
    const std::uint64_t hashBytes = static_cast<std::uint64_t>(Le32(header.data() + 24)) * 16;
    const std::uint64_t blockBytes = static_cast<std::uint64_t>(Le32(header.data() + 28)) * 16;
    // With the block table before the hash table StormLib marks the archive malformed and opens
    // it read-only, so no write could succeed: not a game archive either.
    if (blockTablePos < hashTablePos || blockTablePos - hashTablePos != hashBytes)
        return false;
    std::uint64_t storedArchiveSize = fileSize - headerOffset;
    if (blockTablePos < archiveSize &&
        (archiveSize - blockTablePos <= blockBytes || archiveSize <= fileSize - headerOffset)) {
        storedArchiveSize = archiveSize;
    }
    return storedArchiveSize >= blockTablePos && storedArchiveSize - blockTablePos == blockBytes;
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

// The file key StormLib derives for an encrypted file: the hash of the name after its last
// backslash, adjusted by the block's offset and size when the fix-key flag is set.
std::uint32_t FileKey(const std::string& name, std::uint32_t relativeOffset, const MpqLayout::Block& block) {
    const std::size_t slash = name.find_last_of("\\/");
    std::uint32_t key = MpqHashString(slash == std::string::npos ? name : name.substr(slash + 1), 3);
    if ((block.flags & kFixKey) != 0)
        key = (key + relativeOffset) ^ block.fileSize;
    return key;
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
    const std::uint32_t key = encrypted ? FileKey(name, relativeOffset, block) : 0;

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

void MpqDecryptBlock(std::span<std::uint32_t> words, std::uint32_t key) {
    const auto& table = CryptTable();
    std::uint32_t seed2 = 0xEEEEEEEE;
    for (std::uint32_t& word : words) {
        seed2 += table[0x400 + (key & 0xFF)];
        const std::uint32_t plain = word ^ (key + seed2);
        key = ((~key << 0x15) + 0x11111111) | (key >> 0x0B);
        seed2 = plain + seed2 + (seed2 << 5) + 3;
        word = plain;
    }
}

void MpqEncryptBlock(std::span<std::uint32_t> words, std::uint32_t key) {
    const auto& table = CryptTable();
    std::uint32_t seed2 = 0xEEEEEEEE;
    for (std::uint32_t& word : words) {
        seed2 += table[0x400 + (key & 0xFF)];
        const std::uint32_t plain = word;
        word = plain ^ (key + seed2);
        key = ((~key << 0x15) + 0x11111111) | (key >> 0x0B);
        seed2 = plain + seed2 + (seed2 << 5) + 3;
    }
}

std::uint32_t MpqHashString(const std::string& name, std::uint32_t hashType) {
    const auto& table = CryptTable();
    std::uint32_t seed1 = 0x7FED7FED;
    std::uint32_t seed2 = 0xEEEEEEEE;
    for (char c : name) {
        std::uint32_t ch = static_cast<std::uint8_t>(c);
        if (ch >= 'a' && ch <= 'z')
            ch -= 'a' - 'A';
        if (ch == '/')
            ch = '\\';
        seed1 = table[(hashType << 8) + ch] ^ (seed1 + seed2);
        seed2 = ch + seed1 + seed2 + (seed2 << 5) + 3;
    }
    return seed1;
}

namespace {

std::optional<MpqLayout> ReadLayout(archive_io::File& file, const std::vector<std::string>& filesToRead) {
    MpqLayout layout;
    const std::optional<std::uint64_t> size = file.Size();
    if (!size || *size > kLargestArchive)
        return std::nullopt;
    layout.fileSize = *size;

    const std::optional<std::uint64_t> headerOffset = FindHeader(file, layout.fileSize);
    if (!headerOffset)
        return std::nullopt;
    layout.headerOffset = *headerOffset;

    std::array<std::uint8_t, 44> header{};
    const std::uint64_t available = layout.fileSize - layout.headerOffset;
    if (!file.ReadAt(layout.headerOffset, std::span(header).first(std::min<std::uint64_t>(available, 44)))) {
        return std::nullopt;
    }
    layout.headerSize = Le32(header.data() + 4);
    layout.formatVersion = Le16(header.data() + 12);
    const std::uint16_t sectorShift = Le16(header.data() + 14);
    const std::uint32_t hashTablePos = Le32(header.data() + 16);
    const std::uint32_t blockTablePos = Le32(header.data() + 20);
    layout.hashTableSize = Le32(header.data() + 24);
    layout.blockTableSize = Le32(header.data() + 28);

    if (layout.formatVersion > 1)
        return std::nullopt;
    const std::uint32_t expectedHeaderSize = layout.formatVersion == 0 ? 32 : 44;
    if (layout.headerSize != expectedHeaderSize || available < expectedHeaderSize)
        return std::nullopt;
    if (layout.formatVersion == 1) {
        // The 64-bit extensions are only needed past 4 GiB; the game's archives never use them.
        for (std::size_t i = 32; i < 44; ++i) {
            if (header[i] != 0)
                return std::nullopt;
        }
        if (!Format1TablesAreWhole(header, layout.headerOffset, layout.fileSize))
            return std::nullopt;
    }
    if (sectorShift > 16)
        return std::nullopt;
    if (!IsPowerOfTwo(layout.hashTableSize) || layout.hashTableSize > kMaxTableEntries ||
        layout.blockTableSize > kMaxTableEntries) {
        return std::nullopt;
    }

    const auto hashWords =
        ReadTable(file, layout.headerOffset, hashTablePos, layout.hashTableSize, layout.fileSize, kHashTableKey);
    if (!hashWords)
        return std::nullopt;
    const auto blockWords =
        ReadTable(file, layout.headerOffset, blockTablePos, layout.blockTableSize, layout.fileSize, kBlockTableKey);
    if (!blockWords)
        return std::nullopt;

    std::vector<bool> referenced(layout.blockTableSize, false);
    for (std::size_t i = 0; i < layout.hashTableSize; ++i) {
        MpqLayout::Hash hash;
        hash.name1 = (*hashWords)[i * 4];
        hash.name2 = (*hashWords)[i * 4 + 1];
        hash.locale = static_cast<std::uint16_t>((*hashWords)[i * 4 + 2] & 0xFFFF);
        hash.blockIndex = (*hashWords)[i * 4 + 3];
        if (hash.blockIndex >= kHashEntryDeleted)
            continue;
        if (hash.blockIndex >= layout.blockTableSize)
            return std::nullopt;
        referenced[hash.blockIndex] = true;
        layout.hashes.push_back(hash);
    }

    const std::uint64_t dataStart = layout.headerOffset + layout.headerSize;
    layout.blocks.resize(layout.blockTableSize);
    for (std::size_t i = 0; i < layout.blocks.size(); ++i) {
        MpqLayout::Block& block = layout.blocks[i];
        block.offset = layout.headerOffset + (*blockWords)[i * 4];
        block.compressedSize = (*blockWords)[i * 4 + 1];
        block.fileSize = (*blockWords)[i * 4 + 2];
        block.flags = (*blockWords)[i * 4 + 3];
        // A block neither existing nor named is a free entry nobody reads; its flags do not count.
        const bool exists = (block.flags & kFileExists) != 0;
        if ((exists || referenced[i]) && (block.flags & ~kKnownFlags) != 0)
            return std::nullopt;
        if (!exists)
            continue;
        if (block.fileSize / kMaxExpansion > block.compressedSize)
            return std::nullopt;
        if (block.compressedSize == 0)
            continue;
        if (block.offset < dataStart || block.offset > layout.fileSize ||
            block.compressedSize > layout.fileSize - block.offset) {
            return std::nullopt;
        }
    }

    // Compaction copies every file's sector checksums into a buffer of one word per sector: an
    // unencrypted file's table is checked for that wherever it is (an encrypted one's key needs
    // its name; StormLib cannot copy those without the name either).
    const std::uint32_t sectorSize = 0x200u << sectorShift;
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
    std::vector<std::pair<std::uint32_t, std::uint32_t>> changed;
    std::vector<std::string> names = changedNames;
    names.insert(names.end(), {"(listfile)", "(attributes)", "(signature)"});
    for (const std::string& name : names)
        changed.emplace_back(MpqHashString(name, 1), MpqHashString(name, 2));

    std::vector<bool> staying(blocks.size(), false);
    std::vector<bool> leaving(blocks.size(), false);
    for (const Hash& hash : hashes) {
        const bool isChanged =
            std::find(changed.begin(), changed.end(), std::make_pair(hash.name1, hash.name2)) != changed.end();
        (isChanged ? leaving : staying)[hash.blockIndex] = true;
    }
    // Only files that are named and stay count: StormLib's free space starts after the last of
    // them, whatever it does with unnamed blocks. A block that also leaves is left out, to be safe.
    std::uint64_t end = headerOffset + headerSize;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Block& block = blocks[i];
        if (!staying[i] || leaving[i] || (block.flags & kFileExists) == 0 || block.compressedSize == 0)
            continue;
        end = std::max(end, block.offset + block.compressedSize);
    }
    return end;
}

bool MpqLayout::HasSignature() const {
    const std::uint32_t name1 = MpqHashString("(signature)", 1);
    const std::uint32_t name2 = MpqHashString("(signature)", 2);
    return std::any_of(hashes.begin(), hashes.end(),
                       [&](const Hash& hash) { return hash.name1 == name1 && hash.name2 == name2; });
}
