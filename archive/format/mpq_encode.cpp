#include "archive/format/mpq_encode.h"

#include "archive/format/mpq_crypto.h"

#include <algorithm>
#include <limits>

#include <tomcrypt.h>
#include <zlib.h>

namespace mpq {

namespace {

void PutLe16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutLe64(std::uint8_t* at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t Le64(const std::uint8_t* at) {
    return static_cast<std::uint64_t>(LoadLe32(at)) | (static_cast<std::uint64_t>(LoadLe32(at + 4)) << 32);
}

bool IsPowerOfTwo(std::uint64_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

std::vector<std::uint8_t> WordBytes(std::span<const std::uint32_t> words) {
    std::vector<std::uint8_t> bytes(words.size() * 4);
    for (std::size_t i = 0; i < words.size(); ++i)
        StoreLe32(bytes.data() + i * 4, words[i]);
    return bytes;
}

// Words to their on-disk bytes, encrypted as one run under key.
std::vector<std::uint8_t> EncryptedWords(std::span<const std::uint32_t> words, std::uint32_t key) {
    std::vector<std::uint8_t> bytes = WordBytes(words);
    MpqEncryptBytes(bytes, key);
    return bytes;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// strcasecmp in the C locale: bytes compared unsigned, ASCII letters as lower case.
int CompareIgnoringCase(const std::string& a, const std::string& b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const auto x = static_cast<unsigned char>(LowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(LowerAscii(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Header

std::uint32_t HeaderSize(std::uint16_t formatVersion) {
    switch (formatVersion) {
    case 0:
        return kHeaderSize0;
    case 1:
        return kHeaderSize1;
    default:
        return 0;
    }
}

std::vector<std::uint8_t> EncodeHeader(const HeaderFields& fields) {
    const std::uint32_t size = HeaderSize(fields.formatVersion);
    std::vector<std::uint8_t> bytes(size, 0);
    if (size == 0)
        return bytes;
    StoreLe32(&bytes[0], kHeaderSignature);
    StoreLe32(&bytes[4], size);
    StoreLe32(&bytes[8], fields.archiveSize);
    PutLe16(&bytes[12], fields.formatVersion);
    PutLe16(&bytes[14], fields.sectorSizeShift);
    StoreLe32(&bytes[16], fields.hashTableOffset);
    StoreLe32(&bytes[20], fields.blockTableOffset);
    StoreLe32(&bytes[24], fields.hashTableEntries);
    StoreLe32(&bytes[28], fields.blockTableEntries);
    // Format 1's hi-block table position and high offset words stay zero below 4 GiB.
    return bytes;
}

std::uint32_t UserDataHeaderDistance(std::uint32_t userDataSize) {
    const std::uint64_t end = std::uint64_t{kUserDataHeaderSize} + userDataSize;
    const std::uint64_t step = kHeaderSearchStep;
    return static_cast<std::uint32_t>((end + step - 1) / step * step);
}

std::array<std::uint8_t, kUserDataHeaderSize> EncodeUserDataHeader(std::uint32_t userDataSize) {
    std::array<std::uint8_t, kUserDataHeaderSize> bytes{};
    StoreLe32(&bytes[0], kUserDataSignature);
    StoreLe32(&bytes[4], userDataSize);
    StoreLe32(&bytes[8], UserDataHeaderDistance(userDataSize));
    StoreLe32(&bytes[12], 0); // no part of the user data is a header of its own
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Tables

std::vector<std::uint8_t> EncodeHashTable(std::span<const HashEntry> entries) {
    std::vector<std::uint32_t> words;
    words.reserve(entries.size() * 4);
    for (const HashEntry& entry : entries) {
        words.push_back(entry.name1);
        words.push_back(entry.name2);
        words.push_back(static_cast<std::uint32_t>(entry.locale) | (static_cast<std::uint32_t>(entry.platform) << 16));
        words.push_back(entry.blockIndex);
    }
    return EncryptedWords(words, kHashTableKey);
}

std::vector<std::uint8_t> EncodeBlockTable(std::span<const BlockEntry> entries) {
    std::vector<std::uint32_t> words;
    words.reserve(entries.size() * 4);
    for (const BlockEntry& entry : entries) {
        words.push_back(entry.offset);
        words.push_back(entry.storedSize);
        words.push_back(entry.fileSize);
        words.push_back(entry.flags);
    }
    return EncryptedWords(words, kBlockTableKey);
}

std::uint32_t HashTableSizeFor(std::uint64_t entries) {
    std::uint64_t size = 4;
    while (size < entries)
        size *= 2;
    return size > (std::uint64_t{1} << 31) ? 0 : static_cast<std::uint32_t>(size);
}

std::optional<std::uint32_t> InsertHashEntry(std::span<HashEntry> table, const std::string& name, std::uint16_t locale,
                                             std::uint32_t blockIndex) {
    if (!IsPowerOfTwo(table.size()) || blockIndex >= kHashDeleted)
        return std::nullopt;
    const std::uint32_t name1 = MpqHashString(name, 1);
    const std::uint32_t name2 = MpqHashString(name, 2);
    const std::size_t mask = table.size() - 1;
    std::size_t slot = MpqHashString(name, 0) & mask;
    std::optional<std::size_t> taken;
    // Past the first free or deleted slot the chain is read on to its end, so that a second entry
    // for the same name and locale, which no reader would ever reach, is never made.
    for (std::size_t probe = 0; probe < table.size(); ++probe, slot = (slot + 1) & mask) {
        const HashEntry& entry = table[slot];
        if (entry.InUse() && entry.name1 == name1 && entry.name2 == name2 && entry.locale == locale)
            return std::nullopt;
        if (!entry.InUse() && !taken)
            taken = slot;
        if (entry.blockIndex == kHashFree)
            break;
    }
    if (!taken)
        return std::nullopt;
    table[*taken] = HashEntry{name1, name2, locale, 0, blockIndex};
    return static_cast<std::uint32_t>(*taken);
}

std::optional<std::uint32_t> FindHashEntry(std::span<const HashEntry> table, const std::string& name,
                                           std::uint16_t locale) {
    if (!IsPowerOfTwo(table.size()))
        return std::nullopt;
    const std::uint32_t name1 = MpqHashString(name, 1);
    const std::uint32_t name2 = MpqHashString(name, 2);
    const std::size_t mask = table.size() - 1;
    std::size_t slot = MpqHashString(name, 0) & mask;
    for (std::size_t probe = 0; probe < table.size(); ++probe, slot = (slot + 1) & mask) {
        const HashEntry& entry = table[slot];
        if (entry.blockIndex == kHashFree)
            return std::nullopt;
        if (entry.InUse() && entry.name1 == name1 && entry.name2 == name2 && entry.locale == locale)
            return static_cast<std::uint32_t>(slot);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// One file's stored block

struct FileEncoder::State {
    FileEncoding encoding;
    Sink sink;
    std::uint32_t flags = kFileExists;
    std::uint32_t sectorSize = 0;
    std::uint32_t unitCount = 0; // sectors, or 1 for a non-empty single-unit file
    std::uint32_t key = 0;
    bool hasTable = false;

    std::vector<std::uint8_t> unit;   // plain bytes of the unit being filled
    std::vector<std::uint8_t> packed; // mask byte and deflated bytes
    std::vector<std::uint32_t> offsets;
    std::vector<std::uint32_t> checksums;
    z_stream zlib{};
    bool zlibReady = false;

    std::uint32_t received = 0;
    std::uint32_t unitIndex = 0;
    std::uint64_t emitted = 0; // bytes given to the sink
    std::vector<std::uint8_t> table;
    bool finished = false;
    std::string failure;

    bool Fail(std::string why) {
        if (failure.empty())
            failure = std::move(why);
        return false;
    }

    std::uint32_t UnitPlainSize(std::uint32_t index) const {
        if ((flags & kFileSingleUnit) != 0)
            return encoding.fileSize;
        return static_cast<std::uint32_t>(
            std::min<std::uint64_t>(sectorSize, encoding.fileSize - std::uint64_t{index} * sectorSize));
    }

    // The mask byte and a zlib stream when that is at least two bytes shorter than plain (StormLib's
    // rule: a unit stored at its plain size is raw, so one byte shorter would not tell the two apart
    // after the mask); nullopt when the unit is to be stored raw.
    std::optional<std::span<std::uint8_t>> Deflate(std::span<std::uint8_t> plain) {
        if (plain.size() < 3)
            return std::nullopt;
        if (!zlibReady) {
            if (deflateInit2(&zlib, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
                return std::nullopt;
            zlibReady = true;
        } else if (deflateReset(&zlib) != Z_OK) {
            return std::nullopt;
        }
        packed.resize(plain.size() - 1);
        packed[0] = kCompressionZlib;
        zlib.next_in = plain.data();
        zlib.avail_in = static_cast<uInt>(plain.size());
        zlib.next_out = packed.data() + 1;
        zlib.avail_out = static_cast<uInt>(plain.size() - 2);
        if (deflate(&zlib, Z_FINISH) != Z_STREAM_END)
            return std::nullopt;
        return std::span(packed).first(1 + zlib.total_out);
    }

    bool Emit(std::span<const std::uint8_t> bytes) {
        if (offsets.size() * 4 + emitted + bytes.size() > std::numeric_limits<std::uint32_t>::max())
            return Fail("the stored block would pass 4 GiB");
        if (!sink(bytes))
            return Fail("the sink refused the block's bytes");
        emitted += bytes.size();
        return true;
    }

    bool EmitUnit() {
        std::span<std::uint8_t> stored(unit);
        if ((flags & kFileCompress) != 0) {
            if (auto deflated = Deflate(unit))
                stored = *deflated;
        }
        if ((flags & kFileSectorCrc) != 0)
            checksums[unitIndex] =
                static_cast<std::uint32_t>(adler32(0, stored.data(), static_cast<uInt>(stored.size())));
        if ((flags & kFileEncrypted) != 0)
            MpqEncryptBytes(stored, key + unitIndex);
        if (hasTable)
            offsets[unitIndex + 1] = offsets[unitIndex] + static_cast<std::uint32_t>(stored.size());
        if (!Emit(stored))
            return false;
        unit.clear();
        ++unitIndex;
        return true;
    }
};

FileEncoder::FileEncoder(const FileEncoding& encoding, Sink sink) : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.encoding = encoding;
    s.sink = std::move(sink);
    if (encoding.sectorSizeShift > kLargestSectorSizeShift) {
        s.Fail("sector size shift above " + std::to_string(kLargestSectorSizeShift));
        return;
    }
    if (!s.sink) {
        s.Fail("no sink");
        return;
    }
    s.sectorSize = 0x200u << encoding.sectorSizeShift;
    const bool empty = encoding.fileSize == 0;
    if (encoding.compress)
        s.flags |= kFileCompress;
    if (encoding.singleUnit)
        s.flags |= kFileSingleUnit;
    if (encoding.sectorCrc && encoding.compress && !encoding.singleUnit && !empty)
        s.flags |= kFileSectorCrc;
    if (encoding.encrypt)
        s.flags |= kFileEncrypted | (encoding.fixKey ? kFileFixKey : 0);
    if (empty)
        return;

    s.unitCount = encoding.singleUnit ? 1 : (encoding.fileSize - 1) / s.sectorSize + 1;
    s.hasTable = encoding.compress && !encoding.singleUnit;
    if (s.hasTable) {
        const bool crc = (s.flags & kFileSectorCrc) != 0;
        s.offsets.assign(s.unitCount + 1 + (crc ? 1 : 0), 0);
        s.offsets[0] = static_cast<std::uint32_t>(s.offsets.size() * 4);
        if (crc)
            s.checksums.assign(s.unitCount, 0);
    }
    if (encoding.encrypt) {
        s.key = MpqFileKey(encoding.name, encoding.blockOffset, encoding.fileSize, s.flags);
        // StormLib takes a key of 0 for "unknown" and would guess another.
        if (s.key == 0) {
            s.Fail("the file key of " + encoding.name + " is 0 here");
            return;
        }
    }
    s.unit.reserve(s.UnitPlainSize(0));
}

FileEncoder::~FileEncoder() {
    if (m_state->zlibReady)
        deflateEnd(&m_state->zlib);
}

std::uint32_t FileEncoder::Flags() const {
    return m_state->flags;
}

std::uint32_t FileEncoder::TableSize() const {
    return static_cast<std::uint32_t>(m_state->offsets.size() * 4);
}

bool FileEncoder::Write(std::span<const std::uint8_t> bytes) {
    State& s = *m_state;
    if (!s.failure.empty())
        return false;
    if (s.finished)
        return s.Fail("written after Finish");
    if (bytes.size() > s.encoding.fileSize - s.received)
        return s.Fail("more bytes than the file's size of " + std::to_string(s.encoding.fileSize));
    while (!bytes.empty()) {
        const std::size_t room = s.UnitPlainSize(s.unitIndex) - s.unit.size();
        const std::size_t take = std::min(room, bytes.size());
        s.unit.insert(s.unit.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        s.received += static_cast<std::uint32_t>(take);
        bytes = bytes.subspan(take);
        if (take == room && !s.EmitUnit())
            return false;
    }
    return true;
}

bool FileEncoder::Finish() {
    State& s = *m_state;
    if (!s.failure.empty())
        return false;
    if (s.finished)
        return true;
    if (s.received != s.encoding.fileSize)
        return s.Fail("only " + std::to_string(s.received) + " of " + std::to_string(s.encoding.fileSize) +
                      " bytes given");
    if ((s.flags & kFileSectorCrc) != 0) {
        // StormLib compresses the checksums like a sector and never encrypts them.
        s.unit.resize(s.checksums.size() * 4);
        for (std::size_t i = 0; i < s.checksums.size(); ++i)
            StoreLe32(s.unit.data() + i * 4, s.checksums[i]);
        std::span<std::uint8_t> stored(s.unit);
        if (auto deflated = s.Deflate(s.unit))
            stored = *deflated;
        s.offsets[s.unitCount + 1] = s.offsets[s.unitCount] + static_cast<std::uint32_t>(stored.size());
        if (!s.Emit(stored))
            return false;
    }
    if (s.hasTable) {
        s.table = WordBytes(s.offsets);
        if ((s.flags & kFileEncrypted) != 0)
            MpqEncryptBytes(s.table, s.key - 1);
    }
    s.unit = {};
    s.packed = {};
    s.finished = true;
    return true;
}

std::span<const std::uint8_t> FileEncoder::Table() const {
    return m_state->table;
}

std::uint32_t FileEncoder::StoredSize() const {
    return static_cast<std::uint32_t>(TableSize() + m_state->emitted);
}

const std::string& FileEncoder::Failure() const {
    return m_state->failure;
}

// ---------------------------------------------------------------------------------------------
// (listfile)

bool IsInternalFileName(const std::string& name) {
    for (const char* internal : {"(listfile)", "(attributes)", "(signature)"}) {
        if (CompareIgnoringCase(name, internal) == 0)
            return true;
    }
    return false;
}

std::vector<std::uint8_t> EncodeListfile(std::span<const std::string> names) {
    std::vector<const std::string*> sorted;
    sorted.reserve(names.size());
    for (const std::string& name : names) {
        if (!IsInternalFileName(name))
            sorted.push_back(&name);
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const std::string* a, const std::string* b) { return CompareIgnoringCase(*a, *b) < 0; });
    std::vector<std::uint8_t> bytes;
    const std::string* previous = nullptr;
    for (const std::string* name : sorted) {
        if (previous != nullptr && CompareIgnoringCase(*previous, *name) == 0)
            continue;
        bytes.insert(bytes.end(), name->begin(), name->end());
        bytes.push_back('\r');
        bytes.push_back('\n');
        previous = name;
    }
    return bytes;
}

void ListfileSplitter::Feed(std::span<const std::uint8_t> bytes, const NameSink& sink) {
    for (const std::uint8_t c : bytes) {
        if (c == '\r' || c == '\n' || c == ';' || c == 0) {
            Finish(sink);
        } else if (m_line.size() < kMaxListedName) {
            m_line.push_back(static_cast<char>(c));
        } else {
            m_overlong = true;
        }
    }
}

void ListfileSplitter::Finish(const NameSink& sink) {
    if (!m_line.empty() && !m_overlong)
        sink(m_line);
    m_line.clear();
    m_overlong = false;
}

// ---------------------------------------------------------------------------------------------
// (attributes)

namespace {

constexpr std::uint32_t kAttributeArrays = kAttributeCrc32 | kAttributeFileTime | kAttributeMd5;
constexpr std::uint32_t kAttributesHeaderSize = 8;

// Bytes per entry of the three arrays the flags name.
std::uint64_t EntryBytes(std::uint32_t flags) {
    return ((flags & kAttributeCrc32) != 0 ? 4 : 0) + ((flags & kAttributeFileTime) != 0 ? 8 : 0) +
           ((flags & kAttributeMd5) != 0 ? 16 : 0);
}

} // namespace

std::optional<std::vector<std::uint8_t>> EncodeAttributes(const Attributes& attributes) {
    const std::uint32_t flags = attributes.flags;
    const std::size_t count = attributes.entryCount;
    if ((flags & ~kAttributeArrays) != 0)
        return std::nullopt;
    if (attributes.crc32.size() != ((flags & kAttributeCrc32) != 0 ? count : 0) ||
        attributes.fileTimes.size() != ((flags & kAttributeFileTime) != 0 ? count : 0) ||
        attributes.md5.size() != ((flags & kAttributeMd5) != 0 ? count : 0)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(kAttributesHeaderSize + EntryBytes(flags) * count);
    StoreLe32(&bytes[0], kAttributesVersion);
    StoreLe32(&bytes[4], flags);
    std::uint8_t* at = bytes.data() + kAttributesHeaderSize;
    for (std::uint32_t crc : attributes.crc32) {
        StoreLe32(at, crc);
        at += 4;
    }
    for (std::uint64_t time : attributes.fileTimes) {
        PutLe64(at, time);
        at += 8;
    }
    for (const auto& md5 : attributes.md5) {
        std::copy(md5.begin(), md5.end(), at);
        at += 16;
    }
    return bytes;
}

AttributesDecoding DecodeAttributes(std::span<const std::uint8_t> bytes, std::uint32_t blockCount) {
    AttributesDecoding result;
    if (bytes.size() < kAttributesHeaderSize) {
        result.refusal = "shorter than its 8-byte header";
        return result;
    }
    const std::uint32_t version = LoadLe32(bytes.data());
    const std::uint32_t flags = LoadLe32(bytes.data() + 4);
    if (version != kAttributesVersion) {
        result.refusal = "version " + std::to_string(version) + ", not 100";
        return result;
    }
    if ((flags & ~(kAttributeArrays | kAttributePatchBit)) != 0) {
        result.refusal = "unknown flag bits";
        return result;
    }

    // The sizes StormLib accepts, in the order it tries them; all in 64 bits, from the block count.
    const bool patch = (flags & kAttributePatchBit) != 0;
    const std::uint64_t blocks = blockCount;
    const std::uint64_t arrays = kAttributesHeaderSize + EntryBytes(flags) * blocks;
    const std::uint64_t patchBits = patch ? (blocks + 6) / 8 : 0;
    std::optional<std::uint32_t> entries;
    if (bytes.size() == arrays + patchBits)
        entries = blockCount;
    else if (blockCount > 0 && bytes.size() == arrays - EntryBytes(flags) + patchBits)
        entries = blockCount - 1;
    else if (patch && (bytes.size() == arrays || bytes.size() == arrays + blocks * 4))
        entries = blockCount; // the patch bits missing, or patch words in their place
    if (!entries) {
        result.refusal =
            std::to_string(bytes.size()) + " bytes fit no size for " + std::to_string(blockCount) + " blocks";
        return result;
    }

    Attributes attributes;
    attributes.flags = flags;
    attributes.entryCount = *entries;
    const std::uint8_t* at = bytes.data() + kAttributesHeaderSize;
    if ((flags & kAttributeCrc32) != 0) {
        attributes.crc32.resize(*entries);
        for (std::uint32_t& crc : attributes.crc32) {
            crc = LoadLe32(at);
            at += 4;
        }
    }
    if ((flags & kAttributeFileTime) != 0) {
        attributes.fileTimes.resize(*entries);
        for (std::uint64_t& time : attributes.fileTimes) {
            time = Le64(at);
            at += 8;
        }
    }
    if ((flags & kAttributeMd5) != 0) {
        attributes.md5.resize(*entries);
        for (auto& md5 : attributes.md5) {
            std::copy(at, at + 16, md5.begin());
            at += 16;
        }
    }
    if (patch) {
        attributes.patch.assign(*entries, false);
        // StormLib reads the bits, highest first, only when exactly (entries + 7) / 8 bytes remain:
        // never for patch words, nor for a full bit array of (blocks + 6) / 8 bytes when the block
        // count is 8n + 1.
        const std::size_t remaining = static_cast<std::size_t>(bytes.data() + bytes.size() - at);
        if (remaining == (std::uint64_t{*entries} + 7) / 8) {
            for (std::uint32_t i = 0; i < *entries; ++i)
                attributes.patch[i] = (at[i / 8] & (0x80u >> (i % 8))) != 0;
        }
    }
    result.attributes = std::move(attributes);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Checksums of plain file data

struct PlainDigest::Md5State {
    hash_state state;
};

PlainDigest::PlainDigest()
    : m_crc32(static_cast<std::uint32_t>(crc32(0, Z_NULL, 0))), m_md5(std::make_unique<Md5State>()) {
    md5_init(&m_md5->state);
}

PlainDigest::~PlainDigest() = default;
PlainDigest::PlainDigest(PlainDigest&&) noexcept = default;
PlainDigest& PlainDigest::operator=(PlainDigest&&) noexcept = default;

void PlainDigest::Update(std::span<const std::uint8_t> bytes) {
    // zlib counts in uInt; libtomcrypt in unsigned long.
    constexpr std::size_t piece = 1u << 30;
    while (!bytes.empty()) {
        const std::size_t take = std::min(piece, bytes.size());
        m_crc32 = static_cast<std::uint32_t>(crc32(m_crc32, bytes.data(), static_cast<uInt>(take)));
        md5_process(&m_md5->state, bytes.data(), static_cast<unsigned long>(take));
        bytes = bytes.subspan(take);
    }
}

std::uint32_t PlainDigest::Crc32() const {
    return m_crc32;
}

std::array<std::uint8_t, 16> PlainDigest::Md5() const {
    hash_state copy = m_md5->state;
    std::array<std::uint8_t, 16> digest{};
    md5_done(&copy, digest.data());
    return digest;
}

} // namespace mpq
