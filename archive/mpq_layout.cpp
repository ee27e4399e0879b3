#include "archive/mpq_layout.h"

#include "archive/archive_file.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint32_t kMpqSignature = 0x1A51504D;      // 'MPQ\x1A'
constexpr std::uint32_t kUserDataSignature = 0x1B51504D; // 'MPQ\x1B'
constexpr std::uint32_t kHashTableKey = 0xC3AF3770;      // hash of "(hash table)"
constexpr std::uint32_t kBlockTableKey = 0xEC83B3A3;     // hash of "(block table)"
constexpr std::uint32_t kFileExists = 0x80000000;
constexpr std::uint32_t kHashEntryDeleted = 0xFFFFFFFE;
constexpr std::uint64_t kHeaderSearchStep = 0x200;
constexpr std::uint64_t kLargestArchive = 0xFFFFFFFFull; // formats 0 and 1 below 4 GiB, as the game's

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

void Decrypt(std::vector<std::uint32_t>& words, std::uint32_t key) {
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
    Decrypt(words, key);
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

} // namespace

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

std::optional<MpqLayout> ReadMpqLayout(archive_io::File& file, const std::vector<std::string>& filesToRead) {
    (void)filesToRead;
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
    }
    if (sectorShift > 16)
        return std::nullopt;
    if (!IsPowerOfTwo(layout.hashTableSize))
        return std::nullopt;

    const auto hashWords =
        ReadTable(file, layout.headerOffset, hashTablePos, layout.hashTableSize, layout.fileSize, kHashTableKey);
    const auto blockWords =
        ReadTable(file, layout.headerOffset, blockTablePos, layout.blockTableSize, layout.fileSize, kBlockTableKey);
    if (!hashWords || !blockWords)
        return std::nullopt;

    const std::uint64_t dataStart = layout.headerOffset + layout.headerSize;
    layout.blocks.resize(layout.blockTableSize);
    for (std::size_t i = 0; i < layout.blocks.size(); ++i) {
        MpqLayout::Block& block = layout.blocks[i];
        block.offset = layout.headerOffset + (*blockWords)[i * 4];
        block.compressedSize = (*blockWords)[i * 4 + 1];
        block.fileSize = (*blockWords)[i * 4 + 2];
        block.flags = (*blockWords)[i * 4 + 3];
        if ((block.flags & kFileExists) == 0 || block.compressedSize == 0)
            continue;
        if (block.offset < dataStart || block.offset > layout.fileSize ||
            block.compressedSize > layout.fileSize - block.offset) {
            return std::nullopt;
        }
    }
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
        layout.hashes.push_back(hash);
    }
    return layout;
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
