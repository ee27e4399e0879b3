#include "archive/format/mpq_reader.h"

#include "archive/archive_file.h"
#include "archive/format/mpq_crypto.h"
#include "archive/format/pkware_explode.h"

#include <algorithm>
#include <array>
#include <bzlib.h>
#include <zlib.h>

namespace mpq {

namespace {

constexpr std::uint64_t kLargestArchive = 0xFFFFFFFFull; // formats 0 and 1 stay below 4 GiB
// A game archive holds tens of thousands of files; its tables never approach a million entries.
constexpr std::uint32_t kMaxTableEntries = 1u << 20;
// zlib cannot pass 1032:1, and bzip2 on any game text or model stays far below that; a stored size
// more than this many times its packed size is a lie meant to make the reader allocate.
constexpr std::uint64_t kMaxExpansion = 2048;

std::uint16_t Le16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

bool IsPowerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

template <typename T> std::optional<T> Refuse(ReadError* why, ReadError error) {
    if (why != nullptr)
        *why = error;
    return std::nullopt;
}

// A table of count 16-byte entries, read and decrypted; the caller checked that it lies in the file.
std::optional<std::vector<std::uint32_t>> ReadTable(archive_io::File& file, std::uint64_t start, std::uint32_t count,
                                                    std::uint32_t key) {
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(count) * 16);
    if (!file.ReadAt(start, raw))
        return std::nullopt;
    std::vector<std::uint32_t> words(static_cast<std::size_t>(count) * 4);
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = LoadLe32(raw.data() + i * 4);
    MpqDecryptBlock(words, key);
    return words;
}

// The first 'MPQ\x1A' at a multiple of 512, after following an 'MPQ\x1B' user data header once.
// The user data header is followed only to a place the plain search would reach too, with no other
// header in between that a reader searching step by step would prefer.
std::optional<std::uint64_t> FindHeader(archive_io::File& file, std::uint64_t fileSize, bool headerAtStart,
                                        ReadError* why) {
    bool followedUserData = false;
    std::uint64_t offset = 0;
    std::array<std::uint8_t, 16> probe{};
    while (offset + kHeaderSize0 <= fileSize) {
        if (!file.ReadAt(offset, probe))
            return Refuse<std::uint64_t>(why, ReadError::Io);
        const std::uint32_t signature = LoadLe32(probe.data());
        if (signature == kHeaderSignature)
            return offset;
        if (headerAtStart)
            break;
        if (signature == kUserDataSignature && !followedUserData) {
            followedUserData = true;
            const std::uint32_t userDataSize = LoadLe32(probe.data() + 4);
            const std::uint32_t headerDistance = LoadLe32(probe.data() + 8);
            const std::uint32_t userDataHeaderSize = LoadLe32(probe.data() + 12);
            if (headerDistance == 0 || headerDistance % kHeaderSearchStep != 0 || userDataSize > headerDistance ||
                userDataHeaderSize > userDataSize) {
                break;
            }
            for (std::uint64_t between = offset + kHeaderSearchStep; between < offset + headerDistance;
                 between += kHeaderSearchStep) {
                if (between + kHeaderSize0 > fileSize)
                    return Refuse<std::uint64_t>(why, ReadError::NoHeader);
                if (!file.ReadAt(between, std::span(probe).first(4)))
                    return Refuse<std::uint64_t>(why, ReadError::Io);
                const std::uint32_t inBetween = LoadLe32(probe.data());
                if (inBetween == kHeaderSignature || inBetween == kUserDataSignature)
                    return Refuse<std::uint64_t>(why, ReadError::NoHeader);
            }
            offset += headerDistance;
            continue;
        }
        offset += kHeaderSearchStep;
    }
    return Refuse<std::uint64_t>(why, ReadError::NoHeader);
}

// Format 1 tables as the game's archives store them: the block table directly after the hash table,
// ending where the archive ends. The archive's end is the header's archive-size field unless that
// lies past the file's end or below the block table (writers disagree on that field; the bytes
// really there decide). Anything else is refused: readers size the tables from these distances.
bool Format1TablesAreWhole(const ArchiveTables& tables) {
    const std::uint64_t hashBytes = static_cast<std::uint64_t>(tables.hashes.size()) * 16;
    const std::uint64_t blockBytes = static_cast<std::uint64_t>(tables.blocks.size()) * 16;
    if (tables.blockTablePos < tables.hashTablePos || tables.blockTablePos - tables.hashTablePos != hashBytes)
        return false;
    const std::uint64_t available = tables.fileSize - tables.headerOffset;
    std::uint64_t archiveEnd = available;
    if (tables.blockTablePos < tables.archiveSize &&
        (tables.archiveSize - tables.blockTablePos <= blockBytes || tables.archiveSize <= available)) {
        archiveEnd = tables.archiveSize;
    }
    return archiveEnd >= tables.blockTablePos && archiveEnd - tables.blockTablePos == blockBytes;
}

std::optional<ArchiveTables> ReadTables(archive_io::File& file, bool headerAtStart, ReadError* why) {
    ArchiveTables tables;
    const std::optional<std::uint64_t> size = file.Size();
    if (!size)
        return Refuse<ArchiveTables>(why, ReadError::Io);
    if (*size > kLargestArchive)
        return Refuse<ArchiveTables>(why, ReadError::BadHeader);
    tables.fileSize = *size;

    const std::optional<std::uint64_t> headerOffset = FindHeader(file, tables.fileSize, headerAtStart, why);
    if (!headerOffset)
        return std::nullopt;
    tables.headerOffset = *headerOffset;

    std::array<std::uint8_t, kHeaderSize1> header{};
    const std::uint64_t available = tables.fileSize - tables.headerOffset;
    if (!file.ReadAt(tables.headerOffset, std::span(header).first(std::min<std::uint64_t>(available, header.size()))))
        return Refuse<ArchiveTables>(why, ReadError::Io);
    tables.headerSize = LoadLe32(header.data() + 4);
    tables.archiveSize = LoadLe32(header.data() + 8);
    tables.formatVersion = Le16(header.data() + 12);
    tables.sectorShift = Le16(header.data() + 14);
    tables.hashTablePos = LoadLe32(header.data() + 16);
    tables.blockTablePos = LoadLe32(header.data() + 20);
    const std::uint32_t hashCount = LoadLe32(header.data() + 24);
    const std::uint32_t blockCount = LoadLe32(header.data() + 28);

    if (tables.formatVersion > 1)
        return Refuse<ArchiveTables>(why, ReadError::BadHeader);
    const std::uint32_t expectedHeaderSize = tables.formatVersion == 0 ? kHeaderSize0 : kHeaderSize1;
    if (tables.headerSize != expectedHeaderSize || available < expectedHeaderSize || tables.sectorShift > 16)
        return Refuse<ArchiveTables>(why, ReadError::BadHeader);
    // The 64-bit extensions are only needed past 4 GiB; the game's archives never use them.
    if (tables.formatVersion == 1 &&
        std::any_of(header.begin() + kHeaderSize0, header.end(), [](std::uint8_t b) { return b != 0; })) {
        return Refuse<ArchiveTables>(why, ReadError::BadHeader);
    }
    if (!IsPowerOfTwo(hashCount) || hashCount > kMaxTableEntries || blockCount > kMaxTableEntries)
        return Refuse<ArchiveTables>(why, ReadError::BadTables);
    for (const auto& [position, count] :
         {std::pair{tables.hashTablePos, hashCount}, {tables.blockTablePos, blockCount}}) {
        const std::uint64_t start = tables.Absolute(position);
        if (start > tables.fileSize || static_cast<std::uint64_t>(count) * 16 > tables.fileSize - start)
            return Refuse<ArchiveTables>(why, ReadError::BadTables);
    }
    tables.hashes.resize(hashCount);
    tables.blocks.resize(blockCount);
    if (tables.formatVersion == 1 && !Format1TablesAreWhole(tables))
        return Refuse<ArchiveTables>(why, ReadError::BadTables);

    const auto hashWords = ReadTable(file, tables.Absolute(tables.hashTablePos), hashCount, kHashTableKey);
    const auto blockWords = ReadTable(file, tables.Absolute(tables.blockTablePos), blockCount, kBlockTableKey);
    if (!hashWords || !blockWords)
        return Refuse<ArchiveTables>(why, ReadError::Io);

    std::vector<bool> named(blockCount, false);
    for (std::size_t i = 0; i < hashCount; ++i) {
        HashEntry& hash = tables.hashes[i];
        hash.name1 = (*hashWords)[i * 4];
        hash.name2 = (*hashWords)[i * 4 + 1];
        hash.locale = static_cast<std::uint16_t>((*hashWords)[i * 4 + 2] & 0xFFFF);
        // The platform is the third byte; the fourth is unused (some writers leave 0xFF there).
        hash.platform = static_cast<std::uint16_t>(((*hashWords)[i * 4 + 2] >> 16) & 0xFF);
        hash.blockIndex = (*hashWords)[i * 4 + 3];
        if (!hash.InUse())
            continue;
        if (hash.blockIndex >= blockCount)
            return Refuse<ArchiveTables>(why, ReadError::BadHashEntry);
        // Readers differ on entries for other platforms (some skip them, some take them); the
        // game's archives have none, and an entry read one way and written another is refused.
        if (hash.platform != 0)
            return Refuse<ArchiveTables>(why, ReadError::BadHashEntry);
        named[hash.blockIndex] = true;
    }

    const std::uint64_t dataStart = tables.headerOffset + tables.headerSize;
    for (std::size_t i = 0; i < blockCount; ++i) {
        BlockEntry& block = tables.blocks[i];
        block.offset = (*blockWords)[i * 4];
        block.storedSize = (*blockWords)[i * 4 + 1];
        block.fileSize = (*blockWords)[i * 4 + 2];
        block.flags = (*blockWords)[i * 4 + 3];
        // A block neither existing nor named is a free entry nobody reads; its flags do not count.
        if ((block.Exists() || named[i]) && (block.flags & ~kFileKnownFlags) != 0)
            return Refuse<ArchiveTables>(why, ReadError::BadBlock);
        if (!block.Exists())
            continue;
        if (block.fileSize / kMaxExpansion > block.storedSize)
            return Refuse<ArchiveTables>(why, ReadError::BadBlock);
        if (block.storedSize == 0)
            continue;
        const std::uint64_t start = tables.Absolute(block.offset);
        if (start < dataStart || start > tables.fileSize || block.storedSize > tables.fileSize - start)
            return Refuse<ArchiveTables>(why, ReadError::BadBlock);
    }
    return tables;
}

// zlib or bzip2 into out; the produced length when the stream ends within out, else nullopt.
std::optional<std::size_t> Inflate(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return std::nullopt;
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&z, Z_FINISH);
    const std::size_t produced = out.size() - z.avail_out;
    inflateEnd(&z);
    if (result != Z_STREAM_END)
        return std::nullopt;
    return produced;
}

std::optional<std::size_t> Bunzip(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    bz_stream bz{};
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK)
        return std::nullopt;
    bz.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
    bz.avail_in = static_cast<unsigned>(in.size());
    bz.next_out = reinterpret_cast<char*>(out.data());
    bz.avail_out = static_cast<unsigned>(out.size());
    int result = BZ_OK;
    // bzip2 stops at the end of its input or output; one more call is needed only after an output
    // that filled exactly, which then reports the stream's end.
    for (int calls = 0; result == BZ_OK && calls < 2; ++calls)
        result = BZ2_bzDecompress(&bz);
    const std::size_t produced = out.size() - bz.avail_out;
    BZ2_bzDecompressEnd(&bz);
    if (result != BZ_STREAM_END)
        return std::nullopt;
    return produced;
}

// The mask byte's methods, undone in this order; anything else names its own refusal.
ReadError CheckMask(std::uint8_t mask, std::uint16_t formatVersion) {
    if (mask == kCompressionLzma)
        return ReadError::Lzma;
    if ((mask & (kCompressionAdpcmMono | kCompressionAdpcmStereo)) != 0)
        return ReadError::Adpcm;
    if ((mask & kCompressionHuffman) != 0)
        return ReadError::Huffman;
    if ((mask & kCompressionSparse) != 0)
        return ReadError::Sparse;
    constexpr std::uint8_t supported = kCompressionZlib | kCompressionPkware | kCompressionBzip2;
    if (mask == 0 || (mask & ~supported) != 0)
        return ReadError::UnknownCompression;
    // Format 1 archives name one method per unit; chains of methods belong to format 0.
    const bool single = mask == kCompressionZlib || mask == kCompressionPkware || mask == kCompressionBzip2;
    if (formatVersion != 0 && !single)
        return ReadError::UnknownCompression;
    return ReadError::None;
}

std::optional<std::size_t> Explode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    return PkwareExplode(in, out);
}

} // namespace

const char* ReadErrorText(ReadError error) {
    switch (error) {
    case ReadError::None:
        return "no error";
    case ReadError::Io:
        return "the file could not be read";
    case ReadError::NoHeader:
        return "no MPQ header";
    case ReadError::BadHeader:
        return "an MPQ header game archives do not have";
    case ReadError::BadTables:
        return "tables of an impossible size or outside the file";
    case ReadError::BadHashEntry:
        return "a hash entry naming no block or for another platform";
    case ReadError::BadBlock:
        return "a block with unknown flags, outside the file or of an impossible size";
    case ReadError::NotFound:
        return "no such file";
    case ReadError::BadSectorTable:
        return "a sector table that does not fit its block";
    case ReadError::Huffman:
        return "Huffman compression is not supported";
    case ReadError::Adpcm:
        return "ADPCM compression is not supported";
    case ReadError::Sparse:
        return "sparse compression is not supported";
    case ReadError::Lzma:
        return "LZMA compression is not supported";
    case ReadError::UnknownCompression:
        return "an unknown compression";
    case ReadError::CorruptData:
        return "data that does not decode to its size";
    case ReadError::ChecksumMismatch:
        return "a sector checksum that does not match";
    case ReadError::TooLarge:
        return "a single-unit file too large to decode";
    }
    return "unknown";
}

std::optional<ArchiveTables> ReadArchiveTables(archive_io::File& file, bool headerAtStart, ReadError* why) {
    // Every allocation is bounded by the file's size, but even a bounded one may fail.
    try {
        return ReadTables(file, headerAtStart, why);
    } catch (...) {
        return Refuse<ArchiveTables>(why, ReadError::Io);
    }
}

std::vector<std::uint32_t> FindNameEntries(const ArchiveTables& tables, const std::string& name) {
    std::vector<std::uint32_t> found;
    const auto count = static_cast<std::uint32_t>(tables.hashes.size());
    if (count == 0)
        return found;
    const std::uint32_t name1 = MpqHashString(name, 1);
    const std::uint32_t name2 = MpqHashString(name, 2);
    const std::uint32_t start = MpqHashString(name, 0) & (count - 1);
    for (std::uint32_t step = 0; step < count; ++step) {
        const std::uint32_t index = (start + step) & (count - 1);
        const HashEntry& hash = tables.hashes[index];
        if (hash.blockIndex == kHashFree)
            break;
        if (hash.InUse() && hash.name1 == name1 && hash.name2 == name2)
            found.push_back(index);
    }
    return found;
}

std::optional<std::uint32_t> FindEntry(const ArchiveTables& tables, const std::string& name, std::uint16_t locale) {
    std::optional<std::uint32_t> found;
    for (const std::uint32_t index : FindNameEntries(tables, name)) {
        const HashEntry& hash = tables.hashes[index];
        if (hash.locale != locale || !tables.blocks[hash.blockIndex].Exists())
            continue;
        found = index;
        if (locale != kLocaleNeutral)
            break;
    }
    return found;
}

std::optional<std::uint32_t> FindGameEntry(const ArchiveTables& tables, const std::string& name) {
    if (const auto chinese = FindEntry(tables, name, kLocaleSimplifiedChinese))
        return chinese;
    if (const auto neutral = FindEntry(tables, name, kLocaleNeutral))
        return neutral;
    std::optional<std::uint16_t> lowest;
    for (const std::uint32_t index : FindNameEntries(tables, name)) {
        const HashEntry& hash = tables.hashes[index];
        if (tables.blocks[hash.blockIndex].Exists() && (!lowest || hash.locale < *lowest))
            lowest = hash.locale;
    }
    return lowest ? FindEntry(tables, name, *lowest) : std::nullopt;
}

ReadError DecodeUnit(std::span<std::uint8_t> stored, std::span<std::uint8_t> out, std::uint32_t blockFlags,
                     std::uint16_t formatVersion) {
    // A unit stored at least as long as its data is stored plain, whatever its first byte says:
    // readers decide by the sizes, and some writers keep a compressed unit that came out longer.
    if (stored.size() >= out.size()) {
        std::copy_n(stored.begin(), out.size(), out.begin());
        return ReadError::None;
    }
    if ((blockFlags & kFileCompress) == 0) {
        if ((blockFlags & kFileImplode) == 0)
            return ReadError::CorruptData;
        const auto produced = Explode(stored, out);
        return produced && *produced == out.size() ? ReadError::None : ReadError::CorruptData;
    }
    if (stored.empty())
        return ReadError::CorruptData;
    const std::uint8_t mask = stored[0];
    if (const ReadError refused = CheckMask(mask, formatVersion); refused != ReadError::None)
        return refused;
    // Methods are undone bzip2 first, then PKWARE, then zlib; each stage fits in the unit's size.
    // A chain ping-pongs between out and a scratch buffer so that the last stage lands in out.
    const int stages =
        ((mask & kCompressionBzip2) != 0) + ((mask & kCompressionPkware) != 0) + ((mask & kCompressionZlib) != 0);
    std::vector<std::uint8_t> scratch(stages > 1 ? out.size() : 0);
    std::span<const std::uint8_t> input = stored.subspan(1);
    int remaining = stages;
    for (const std::uint8_t method : {kCompressionBzip2, kCompressionPkware, kCompressionZlib}) {
        if ((mask & method) == 0)
            continue;
        const std::span<std::uint8_t> target = (--remaining % 2 == 0) ? out : std::span<std::uint8_t>(scratch);
        std::optional<std::size_t> produced;
        if (method == kCompressionBzip2)
            produced = Bunzip(input, target);
        else if (method == kCompressionPkware)
            produced = Explode(input, target);
        else
            produced = Inflate(input, target);
        if (!produced || *produced == 0)
            return ReadError::CorruptData;
        input = target.first(*produced);
    }
    return input.size() == out.size() ? ReadError::None : ReadError::CorruptData;
}

struct FileReader::State {
    archive_io::File* file = nullptr;
    std::uint64_t start = 0; // absolute offset of the block
    BlockEntry block;
    std::uint16_t formatVersion = 0;
    std::uint16_t locale = 0;
    std::uint32_t sectorSize = 0;
    std::uint32_t key = 0;
    std::uint64_t position = 0;
    // Sectored and packed: where each stored sector starts within the block, and one more entry.
    std::vector<std::uint32_t> offsets;
    std::vector<std::uint32_t> checksums; // per sector, 0 where none is stored
    // The decoded sector (or whole unit) that holds position, and which one it is.
    std::vector<std::uint8_t> current;
    std::uint64_t currentIndex = UINT64_MAX;
    std::vector<std::uint8_t> raw;

    bool Encrypted() const { return (block.flags & kFileEncrypted) != 0; }
    bool Packed() const { return (block.flags & kFileCompressMask) != 0; }
    bool SingleUnit() const { return (block.flags & kFileSingleUnit) != 0; }
    std::uint64_t SectorCount() const {
        return block.fileSize == 0 ? 0 : (static_cast<std::uint64_t>(block.fileSize) - 1) / sectorSize + 1;
    }

    ReadError LoadSectorTable() {
        const std::uint64_t sectors = SectorCount();
        const bool withCrc = (block.flags & kFileSectorCrc) != 0;
        const std::uint64_t entries = sectors + 1 + (withCrc ? 1 : 0);
        if (entries * 4 > block.storedSize)
            return ReadError::BadSectorTable;
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(entries * 4));
        if (!file->ReadAt(start, bytes))
            return ReadError::Io;
        if (Encrypted())
            MpqDecryptBytes(bytes, key - 1);
        offsets.resize(static_cast<std::size_t>(entries));
        for (std::size_t i = 0; i < offsets.size(); ++i)
            offsets[i] = LoadLe32(bytes.data() + i * 4);
        if (offsets[0] != entries * 4 || offsets[entries - 1] > block.storedSize)
            return ReadError::BadSectorTable;
        for (std::uint64_t i = 0; i + 1 < entries; ++i) {
            if (offsets[i + 1] < offsets[i])
                return ReadError::BadSectorTable;
            if (i < sectors && offsets[i + 1] == offsets[i])
                return ReadError::BadSectorTable;
        }
        if (withCrc)
            return LoadChecksums(sectors);
        return ReadError::None;
    }

    // Sector checksums follow the last sector, packed like a sector when that makes them smaller.
    // A missing (empty) table means no checks.
    ReadError LoadChecksums(std::uint64_t sectors) {
        const std::uint32_t stored = offsets[sectors + 1] - offsets[sectors];
        checksums.assign(static_cast<std::size_t>(sectors), 0);
        if (stored == 0)
            return ReadError::None;
        if (stored > sectors * 4)
            return ReadError::BadSectorTable;
        std::vector<std::uint8_t> packed(stored);
        if (!file->ReadAt(start + offsets[sectors], packed))
            return ReadError::Io;
        std::vector<std::uint8_t> plain(static_cast<std::size_t>(sectors * 4));
        const ReadError decoded = DecodeUnit(packed, plain, kFileCompress, formatVersion);
        if (decoded != ReadError::None)
            return decoded;
        for (std::size_t i = 0; i < checksums.size(); ++i)
            checksums[i] = LoadLe32(plain.data() + i * 4);
        // Writers that fill the table with -1 mean "no checksum" as well.
        for (std::uint32_t& checksum : checksums) {
            if (checksum == 0xFFFFFFFF)
                checksum = 0;
        }
        return ReadError::None;
    }

    std::uint32_t PlainSize(std::uint64_t sector) const {
        return static_cast<std::uint32_t>(
            std::min<std::uint64_t>(sectorSize, block.fileSize - sector * static_cast<std::uint64_t>(sectorSize)));
    }

    ReadError LoadSector(std::uint64_t index) {
        if (index == currentIndex)
            return ReadError::None;
        currentIndex = UINT64_MAX;
        if (SingleUnit())
            return LoadSingleUnit();
        const std::uint32_t plain = PlainSize(index);
        std::uint64_t rawStart = index * sectorSize;
        std::uint32_t rawSize = plain;
        if (Packed()) {
            rawStart = offsets[index];
            rawSize = offsets[index + 1] - offsets[index];
        }
        raw.resize(rawSize);
        if (!file->ReadAt(start + rawStart, raw))
            return ReadError::Io;
        if (Encrypted())
            MpqDecryptBytes(raw, key + static_cast<std::uint32_t>(index));
        if (!checksums.empty() && checksums[index] != 0 && adler32(0, raw.data(), rawSize) != checksums[index])
            return ReadError::ChecksumMismatch;
        current.resize(plain);
        const ReadError decoded = DecodeUnit(raw, current, block.flags, formatVersion);
        if (decoded != ReadError::None)
            return decoded;
        currentIndex = index;
        return ReadError::None;
    }

    ReadError LoadSingleUnit() {
        // Past the file's size a unit holds nothing that is read; the cipher runs front to back,
        // so the prefix decrypts alike.
        raw.resize(std::min(block.storedSize, block.fileSize));
        if (!file->ReadAt(start, raw))
            return ReadError::Io;
        if (Encrypted())
            MpqDecryptBytes(raw, key);
        current.resize(block.fileSize);
        const ReadError decoded = DecodeUnit(raw, current, block.flags, formatVersion);
        raw.clear();
        raw.shrink_to_fit();
        if (decoded != ReadError::None)
            return decoded;
        currentIndex = 0;
        return ReadError::None;
    }
};

FileReader::FileReader(std::unique_ptr<State> state) : m_state(std::move(state)) {}
FileReader::~FileReader() = default;

std::unique_ptr<FileReader> FileReader::Open(archive_io::File& file, const ArchiveTables& tables,
                                             std::uint32_t hashIndex, const std::string& name, ReadError* why) {
    auto fail = [why](ReadError error) -> std::unique_ptr<FileReader> {
        if (why != nullptr)
            *why = error;
        return nullptr;
    };
    if (hashIndex >= tables.hashes.size() || !tables.hashes[hashIndex].InUse())
        return fail(ReadError::NotFound);
    const HashEntry& hash = tables.hashes[hashIndex];
    auto state = std::make_unique<State>();
    state->file = &file;
    state->block = tables.blocks[hash.blockIndex];
    if (!state->block.Exists())
        return fail(ReadError::NotFound);
    state->start = tables.Absolute(state->block.offset);
    state->formatVersion = tables.formatVersion;
    state->locale = hash.locale;
    state->sectorSize = tables.SectorSize();
    if (state->Encrypted())
        state->key = MpqFileKey(name, state->block.offset, state->block.fileSize, state->block.flags);
    try {
        if (state->block.fileSize != 0) {
            if (state->SingleUnit()) {
                // Packed or encrypted, a single unit is decoded whole; plain, it is read in place.
                if (state->Packed() || state->Encrypted()) {
                    if (state->block.fileSize > kMaxSingleUnit)
                        return fail(ReadError::TooLarge);
                    // A packed unit stored longer than its data says two things at once: Storm
                    // decompresses it and fails, where taking it plain would hand out its bytes.
                    if (state->Packed() && state->block.storedSize > state->block.fileSize)
                        return fail(ReadError::CorruptData);
                } else if (state->block.storedSize < state->block.fileSize) {
                    return fail(ReadError::CorruptData);
                }
            } else if (state->Packed()) {
                const ReadError loaded = state->LoadSectorTable();
                if (loaded != ReadError::None)
                    return fail(loaded);
            } else if (state->block.storedSize < state->block.fileSize) {
                return fail(ReadError::CorruptData);
            }
        }
    } catch (...) {
        return fail(ReadError::Io);
    }
    return std::unique_ptr<FileReader>(new FileReader(std::move(state)));
}

std::uint32_t FileReader::Size() const {
    return m_state->block.fileSize;
}

std::uint16_t FileReader::Locale() const {
    return m_state->locale;
}

std::uint64_t FileReader::Position() const {
    return m_state->position;
}

bool FileReader::Read(std::span<std::uint8_t> out, ReadError* why) {
    State& s = *m_state;
    auto fail = [why](ReadError error) {
        if (why != nullptr)
            *why = error;
        return false;
    };
    if (out.size() > s.block.fileSize - s.position)
        return fail(ReadError::CorruptData);
    try {
        const bool inPlace = s.SingleUnit() && !s.Packed() && !s.Encrypted();
        while (!out.empty()) {
            if (inPlace) {
                if (!s.file->ReadAt(s.start + s.position, out))
                    return fail(ReadError::Io);
                s.position += out.size();
                return true;
            }
            const std::uint64_t index = s.SingleUnit() ? 0 : s.position / s.sectorSize;
            const std::uint64_t unitStart = s.SingleUnit() ? 0 : index * s.sectorSize;
            const ReadError loaded = s.LoadSector(index);
            if (loaded != ReadError::None)
                return fail(loaded);
            const std::size_t within = static_cast<std::size_t>(s.position - unitStart);
            const std::size_t count = std::min(out.size(), s.current.size() - within);
            std::copy_n(s.current.begin() + static_cast<std::ptrdiff_t>(within), count, out.begin());
            out = out.subspan(count);
            s.position += count;
        }
    } catch (...) {
        return fail(ReadError::Io);
    }
    return true;
}

} // namespace mpq
