#pragma once
// The MPQ format as the game's archives use it (formats 0 and 1, below 4 GiB): the on-disk
// constants and the decoded table entries that the reader produces and the writer consumes.
// All offsets in table entries are relative to the MPQ header, as stored.
#include <cstdint>

namespace mpq {

constexpr std::uint32_t kHeaderSignature = 0x1A51504D;   // 'MPQ\x1A'
constexpr std::uint32_t kUserDataSignature = 0x1B51504D; // 'MPQ\x1B'
constexpr std::uint32_t kHeaderSize0 = 32;
constexpr std::uint32_t kHeaderSize1 = 44;
constexpr std::uint64_t kHeaderSearchStep = 0x200;

// Keys of the two tables: the name hash (type 3) of "(hash table)" and "(block table)".
constexpr std::uint32_t kHashTableKey = 0xC3AF3770;
constexpr std::uint32_t kBlockTableKey = 0xEC83B3A3;

// Hash entry block indices that name no block.
constexpr std::uint32_t kHashFree = 0xFFFFFFFF;    // never used: ends a probe chain
constexpr std::uint32_t kHashDeleted = 0xFFFFFFFE; // used once: a probe chain passes through it

// Block flags.
constexpr std::uint32_t kFileImplode = 0x00000100;
constexpr std::uint32_t kFileCompress = 0x00000200;
constexpr std::uint32_t kFileCompressMask = 0x0000FF00;
constexpr std::uint32_t kFileEncrypted = 0x00010000;
constexpr std::uint32_t kFileFixKey = 0x00020000;
constexpr std::uint32_t kFilePatch = 0x00100000;
constexpr std::uint32_t kFileSingleUnit = 0x01000000;
constexpr std::uint32_t kFileDeleteMarker = 0x02000000;
constexpr std::uint32_t kFileSectorCrc = 0x04000000;
constexpr std::uint32_t kFileExists = 0x80000000;
// What game archives carry; the patch-file and delete-marker flags and unknown bits are refused.
constexpr std::uint32_t kFileKnownFlags =
    kFileExists | kFileImplode | kFileCompress | kFileEncrypted | kFileFixKey | kFileSingleUnit | kFileSectorCrc;

// The first byte of a compressed unit: which methods packed it (applied in this order when
// several are set, undone in reverse).
constexpr std::uint8_t kCompressionHuffman = 0x01;
constexpr std::uint8_t kCompressionZlib = 0x02;
constexpr std::uint8_t kCompressionPkware = 0x08;
constexpr std::uint8_t kCompressionBzip2 = 0x10;
constexpr std::uint8_t kCompressionLzma = 0x12;
constexpr std::uint8_t kCompressionSparse = 0x20;
constexpr std::uint8_t kCompressionAdpcmMono = 0x40;
constexpr std::uint8_t kCompressionAdpcmStereo = 0x80;

// Locales.
constexpr std::uint16_t kLocaleNeutral = 0;
constexpr std::uint16_t kLocaleSimplifiedChinese = 0x804;

// (attributes): a version word (100) and a flags word, then per block and in this order, the
// arrays its flags name.
constexpr std::uint32_t kAttributesVersion = 100;
constexpr std::uint32_t kAttributeCrc32 = 0x01;
constexpr std::uint32_t kAttributeFileTime = 0x02;
constexpr std::uint32_t kAttributeMd5 = 0x04;
constexpr std::uint32_t kAttributePatchBit = 0x08;

// Every number in the format is little-endian.
inline std::uint32_t LoadLe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

inline void StoreLe32(std::uint8_t* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct HashEntry {
    std::uint32_t name1 = 0xFFFFFFFF;
    std::uint32_t name2 = 0xFFFFFFFF;
    std::uint16_t locale = 0xFFFF;
    std::uint16_t platform = 0xFF; // the third byte of the locale word; the fourth is unused
    std::uint32_t blockIndex = kHashFree;

    bool InUse() const { return blockIndex < kHashDeleted; }
};

struct BlockEntry {
    std::uint32_t offset = 0; // relative to the MPQ header
    std::uint32_t storedSize = 0;
    std::uint32_t fileSize = 0;
    std::uint32_t flags = 0;

    bool Exists() const { return (flags & kFileExists) != 0; }
};

} // namespace mpq
