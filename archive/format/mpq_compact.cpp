#include "archive/format/mpq_compact.h"

#include "archive/format/mpq_crypto.h"
#include "archive/format/mpq_encode.h"
#include "archive/format/mpq_signature.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <optional>
#include <vector>

namespace mpq {

namespace {

constexpr std::size_t kChunk = 1u << 20;
constexpr std::size_t kWindow = 4u << 20;
constexpr std::uint64_t kLargestRelative = std::numeric_limits<std::uint32_t>::max();
// StormLib reads up to this many bytes of unknown words after a sector offset table (and counts
// them into the table); we re-key them with it.
constexpr std::uint32_t kMaxSectorTableExtra = 0x400;
// What (attributes) may hold for a block table of n entries: the header and at most 32 bytes per
// block (CRC32, file time, MD5 and a patch word).
constexpr std::uint64_t kAttributeBytesPerBlock = 32;

// One unit decrypted under its old key and encrypted under its new one, given front to back in
// pieces of whole words (a piece that is not the unit's last must hold whole words only).
class Rekeyer {
public:
    Rekeyer(std::uint32_t oldKey, std::uint32_t newKey) : m_decrypt(oldKey), m_encrypt(newKey) {}

    void Apply(std::span<std::uint8_t> bytes) {
        for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4)
            StoreLe32(bytes.data() + at, m_encrypt.Encrypt(m_decrypt.Decrypt(LoadLe32(bytes.data() + at))));
    }

private:
    MpqCipher m_decrypt;
    MpqCipher m_encrypt;
};

struct UnitKeys {
    std::uint32_t oldKey;
    std::uint32_t newKey;
};

bool IsFixKeyEncrypted(const BlockEntry& block) {
    constexpr std::uint32_t both = kFileEncrypted | kFileFixKey;
    return (block.flags & both) == both && block.fileSize != 0 && block.storedSize != 0;
}

bool IsPackedSectored(const BlockEntry& block) {
    return (block.flags & kFileCompressMask) != 0 && (block.flags & kFileSingleUnit) == 0;
}

// A packed sectored block's sector offsets as its table gives them once decrypted.
struct SectorTable {
    std::uint32_t size = 0;             // bytes at the block's start under key - 1, offsets[0]
    std::vector<std::uint32_t> offsets; // sectors + 1: where each stored sector starts, and the end
};

// What a packed block's table must at least hold: sectors + 1 offsets, and one more with checksums.
std::uint64_t BaseTableSize(const BlockEntry& block, std::uint32_t sectorSize) {
    const std::uint64_t sectors = (static_cast<std::uint64_t>(block.fileSize) - 1) / sectorSize + 1;
    return (sectors + 1 + ((block.flags & kFileSectorCrc) != 0 ? 1 : 0)) * 4;
}

// The table under tableKey when it fits the block: its size is the base size or up to
// kMaxSectorTableExtra more whole words, the sectors follow it in ascending order, none longer
// than longestSector, and end inside the block. Anything else is the wrong key or a damaged table.
std::optional<SectorTable> DecryptSectorTable(std::span<const std::uint8_t> stored, std::uint32_t tableKey,
                                              const BlockEntry& block, std::uint32_t sectorSize,
                                              std::uint64_t longestSector) {
    const std::uint64_t base = BaseTableSize(block, sectorSize);
    if (stored.size() < base)
        return std::nullopt;
    std::vector<std::uint8_t> plain(stored.begin(), stored.end());
    MpqDecryptBytes(plain, tableKey);
    SectorTable table;
    table.size = LoadLe32(plain.data());
    if (table.size < base || table.size - base > kMaxSectorTableExtra || table.size % 4 != 0 ||
        table.size > stored.size()) {
        return std::nullopt;
    }
    const std::size_t sectors = static_cast<std::size_t>((block.fileSize - 1) / sectorSize + 1);
    table.offsets.resize(sectors + 1);
    for (std::size_t i = 0; i <= sectors; ++i)
        table.offsets[i] = LoadLe32(plain.data() + i * 4);
    for (std::size_t i = 0; i < sectors; ++i) {
        if (table.offsets[i + 1] <= table.offsets[i] || table.offsets[i + 1] - table.offsets[i] > longestSector)
            return std::nullopt;
    }
    if (table.offsets[sectors] > block.storedSize)
        return std::nullopt;
    return table;
}

// The key of a packed block whose name is unknown, as StormLib finds it: the table's first word
// decrypts to its base size, and for the key's low byte only 256 values are possible, each fixing
// the rest. The second word must then be a first sector's end, and the whole table must fit with
// no sector longer than a sector's size (StormLib's own bound).
std::optional<std::uint32_t> DetectFileKey(std::span<const std::uint8_t> stored, const BlockEntry& block,
                                           std::uint32_t sectorSize) {
    const std::uint64_t base = BaseTableSize(block, sectorSize);
    if (stored.size() < std::max<std::uint64_t>(base, 8))
        return std::nullopt;
    const auto plain0 = static_cast<std::uint32_t>(base);
    const std::uint32_t keyPlusMix = (LoadLe32(stored.data()) ^ plain0) - 0xEEEEEEEE;
    for (std::uint32_t low = 0; low < 256; ++low) {
        const std::uint32_t tableKey = keyPlusMix - MpqKeyMix(static_cast<std::uint8_t>(low));
        std::array<std::uint32_t, 2> words = {LoadLe32(stored.data()), LoadLe32(stored.data() + 4)};
        MpqDecryptBlock(words, tableKey);
        if (words[0] != plain0 || words[1] <= plain0 || words[1] - plain0 > sectorSize)
            continue;
        if (DecryptSectorTable(stored, tableKey, block, sectorSize, sectorSize))
            return tableKey + 1;
    }
    return std::nullopt;
}

class Compactor {
public:
    Compactor(archive_io::File& source, const ArchiveTables& tables, archive_io::File& target,
              const std::function<void(std::uint64_t, std::uint64_t)>& progress)
        : m_source(source), m_tables(tables), m_target(target), m_progress(progress) {}

    bool AlreadyCompact() {
        try {
            return Validate() && Plan() && WritesTheSameBytes();
        } catch (...) {
            return false;
        }
    }

    CompactOutcome Run() {
        try {
            m_outcome.ok = Compact();
        } catch (...) {
            m_outcome.ok = false;
            m_outcome.refusal = "out of memory";
        }
        if (m_outcome.ok)
            m_outcome.refusal.clear();
        return m_outcome;
    }

private:
    // A kept block: where its bytes come from and go, and how they are re-keyed.
    struct Placement {
        std::uint32_t oldIndex = 0;
        BlockEntry newEntry;
        std::optional<std::uint32_t> oldKey;     // fix-key files only
        std::optional<SectorTable> sectors;      // packed fix-key files only
        std::optional<std::uint32_t> sharedWith; // index into m_order of an identical block placed first
    };

    archive_io::File& m_source;
    const ArchiveTables& m_tables;
    archive_io::File& m_target;
    const std::function<void(std::uint64_t, std::uint64_t)>& m_progress;
    CompactOutcome m_outcome;

    std::vector<std::uint32_t> m_newIndex;                     // old block index -> new, or kHashFree when dropped
    std::vector<Placement> m_placements;                       // by new block index
    std::vector<std::uint32_t> m_order;                        // new block indices in the order their data is written
    std::map<std::uint32_t, std::vector<std::string>> m_names; // fix-key block -> names from (listfile)
    std::optional<std::uint32_t> m_attributesBlock;            // old index, while (attributes) is to be stored again
    std::vector<std::uint8_t> m_attributes;                    // its new content
    std::optional<std::uint32_t> m_signatureBlock;             // old index
    ArchiveTables m_result;                                    // the target's tables, filled as they are written
    std::vector<std::uint8_t> m_buffer;
    std::uint64_t m_writeAt = 0;        // absolute, in target
    std::vector<std::uint8_t> m_window; // source bytes from m_windowStart
    std::uint64_t m_windowStart = 0;
    std::vector<std::uint8_t> m_pending; // target bytes from m_pendingStart, not yet written
    std::uint64_t m_pendingStart = 0;
    std::uint64_t m_done = 0;
    std::uint64_t m_total = 0;

    bool Refuse(std::string why) {
        m_outcome.refusal = std::move(why);
        return false;
    }
    bool ReadFailed() {
        m_outcome.io = m_source.LastFailure();
        return Refuse("the archive could not be read");
    }
    bool WriteFailed() {
        m_outcome.io = m_target.LastFailure();
        return Refuse("the compacted archive could not be written");
    }

    // Game archives hold thousands of small blocks, read and written in order: reads go through a
    // window of the source and writes gather in a buffer, so that each costs a call per window,
    // not per block.
    bool Read(std::uint64_t offset, std::span<std::uint8_t> bytes) {
        if (bytes.size() >= kWindow)
            return m_source.ReadAt(offset, bytes) || ReadFailed();
        if (offset < m_windowStart || offset + bytes.size() > m_windowStart + m_window.size()) {
            const std::uint64_t available = m_tables.fileSize > offset ? m_tables.fileSize - offset : 0;
            m_window.resize(static_cast<std::size_t>(
                std::max<std::uint64_t>(bytes.size(), std::min<std::uint64_t>(kWindow, available))));
            m_windowStart = offset;
            if (!m_source.ReadAt(offset, m_window)) {
                m_window.clear();
                return ReadFailed();
            }
        }
        std::copy_n(m_window.begin() + static_cast<std::ptrdiff_t>(offset - m_windowStart), bytes.size(),
                    bytes.begin());
        return true;
    }

    bool Write(std::span<const std::uint8_t> bytes) {
        if (m_pending.empty())
            m_pendingStart = m_writeAt;
        m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
        m_writeAt += bytes.size();
        return m_pending.size() < kWindow || Flush();
    }

    // Writes what Write gathered; before any write elsewhere, a jump of m_writeAt or the end.
    bool Flush() {
        if (m_pending.empty())
            return true;
        if (!m_target.WriteAt(m_pendingStart, m_pending))
            return WriteFailed();
        m_pending.clear();
        return true;
    }

    std::uint64_t Relative() const { return m_writeAt - m_tables.headerOffset; }

    void Report() {
        if (m_progress)
            m_progress(m_done, m_total);
    }

    bool Validate() {
        const ArchiveTables& t = m_tables;
        if (HeaderSize(t.formatVersion) == 0 || t.headerSize != HeaderSize(t.formatVersion) || t.hashes.empty() ||
            (t.hashes.size() & (t.hashes.size() - 1)) != 0 || t.headerOffset > t.fileSize ||
            std::any_of(t.hashes.begin(), t.hashes.end(),
                        [&](const HashEntry& hash) { return hash.InUse() && hash.blockIndex >= t.blocks.size(); })) {
            return Refuse("the archive's tables are not ones our reader gives");
        }
        return true;
    }

    bool Compact() {
        const ArchiveTables& t = m_tables;
        if (!Validate())
            return false;
        m_buffer.resize(kChunk);
        return Plan() && CopyRange(0, t.headerOffset, std::nullopt, false) && WriteData() && WriteTablesAndHeader() &&
               CopyTrailer();
    }

    // What is kept, where (attributes) goes and every moved file's key: all decided before a byte is
    // written, and all that can make the compaction refuse but a failed read or write.
    bool Plan() { return ChooseBlocks() && PrepareAttributes() && FindNames() && FindKeys(); }

    // Every step of Compact() copies its bytes to where they already are exactly when: every block
    // is kept and lies where WriteData() would put it (one sharing a copy keeps that copy's offset), (attributes) is
    // copied rather than stored again, the tables and header on disk are the ones
    // WriteTablesAndHeader() encodes, in the place it puts them, the trailer begins where they end,
    // and a weak signature is the one SignWeakly() would write. Fix-key files then keep their
    // offsets, so their keys do not change either.
    bool WritesTheSameBytes() {
        const ArchiveTables& t = m_tables;
        if (m_attributesBlock || m_placements.size() != t.blocks.size())
            return false;
        std::uint64_t at = t.headerSize;
        for (const std::uint32_t newIndex : m_order) {
            const Placement& placement = m_placements[newIndex];
            // A block sharing an earlier one's copy has that block's offset already, and keeps it.
            if (placement.sharedWith)
                continue;
            const BlockEntry& block = t.blocks[placement.oldIndex];
            if (placement.oldIndex != newIndex || block.offset != at)
                return false;
            at += block.storedSize;
        }
        const std::vector<std::uint8_t> hashTable = EncodeHashTable(NewHashes());
        const std::vector<std::uint8_t> blockTable = EncodeBlockTable(t.blocks);
        const std::uint64_t end = at + hashTable.size() + blockTable.size();
        if (end > kLargestRelative || t.hashTablePos != at || t.blockTablePos != at + hashTable.size() ||
            t.archiveSize != end || OldArchiveEnd() != end || t.headerOffset + end > t.fileSize) {
            return false;
        }
        const std::vector<std::uint8_t> header =
            HeaderFor(t.hashTablePos, t.blockTablePos, t.archiveSize, t.hashes.size(), t.blocks.size());
        if (!OnDisk(t.headerOffset, header) || !OnDisk(t.headerOffset + at, hashTable) ||
            !OnDisk(t.headerOffset + at + hashTable.size(), blockTable)) {
            return false;
        }
        if (m_signatureBlock) {
            const std::uint64_t signatureAt = t.Absolute(t.blocks[*m_signatureBlock].offset);
            const auto signature = WeakSignatureOf(m_source, t, signatureAt);
            if (!signature || !OnDisk(signatureAt, *signature))
                return false;
        }
        return true;
    }

    // True when the source holds exactly these bytes at offset.
    bool OnDisk(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
        std::vector<std::uint8_t> stored(bytes.size());
        return offset + bytes.size() <= m_tables.fileSize && m_source.ReadAt(offset, stored) &&
               std::equal(stored.begin(), stored.end(), bytes.begin());
    }

    // The old hash table with every in-use slot pointing at its block's new index, or deleted.
    std::vector<HashEntry> NewHashes() const {
        std::vector<HashEntry> hashes = m_tables.hashes;
        for (HashEntry& hash : hashes) {
            if (!hash.InUse())
                continue;
            if (hash.blockIndex < m_newIndex.size() && m_newIndex[hash.blockIndex] != kHashFree)
                hash.blockIndex = m_newIndex[hash.blockIndex];
            else
                hash = HashEntry{.blockIndex = kHashDeleted};
        }
        return hashes;
    }

    std::vector<std::uint8_t> HeaderFor(std::uint32_t hashTablePos, std::uint32_t blockTablePos,
                                        std::uint32_t archiveSize, std::size_t hashes, std::size_t blocks) const {
        return EncodeHeader({.formatVersion = m_tables.formatVersion,
                             .sectorSizeShift = m_tables.sectorShift,
                             .archiveSize = archiveSize,
                             .hashTableOffset = hashTablePos,
                             .blockTableOffset = blockTablePos,
                             .hashTableEntries = static_cast<std::uint32_t>(hashes),
                             .blockTableEntries = static_cast<std::uint32_t>(blocks)});
    }

    // Kept blocks in old index order; their data order by old offset; the internal files' blocks.
    bool ChooseBlocks() {
        const ArchiveTables& t = m_tables;
        std::vector<bool> kept(t.blocks.size(), false);
        for (const HashEntry& hash : t.hashes) {
            if (hash.InUse() && hash.blockIndex < t.blocks.size() && t.blocks[hash.blockIndex].Exists())
                kept[hash.blockIndex] = true;
        }
        m_newIndex.assign(t.blocks.size(), kHashFree);
        for (std::uint32_t i = 0; i < t.blocks.size(); ++i) {
            if (!kept[i])
                continue;
            const BlockEntry& block = t.blocks[i];
            if (block.storedSize != 0 && t.Absolute(block.offset) + block.storedSize > t.fileSize)
                return Refuse("block " + std::to_string(i) + " lies past the file's end");
            m_newIndex[i] = static_cast<std::uint32_t>(m_placements.size());
            m_placements.push_back({i, block, std::nullopt, std::nullopt, std::nullopt});
        }
        m_order.resize(m_placements.size());
        for (std::uint32_t i = 0; i < m_order.size(); ++i)
            m_order[i] = i;
        std::stable_sort(m_order.begin(), m_order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return t.blocks[m_placements[a].oldIndex].offset < t.blocks[m_placements[b].oldIndex].offset;
        });

        // StormLib opens (attributes) by its neutral entry first, else the first on its chain.
        for (const std::uint32_t index : FindNameEntries(t, "(attributes)")) {
            const HashEntry& hash = t.hashes[index];
            if (!t.blocks[hash.blockIndex].Exists())
                continue;
            if (!m_attributesBlock || hash.locale == kLocaleNeutral)
                m_attributesBlock = hash.blockIndex;
            if (hash.locale == kLocaleNeutral)
                break;
        }
        if (const std::optional<std::uint64_t> signature = WeakSignatureOffset(t)) {
            for (const Placement& placement : m_placements) {
                const BlockEntry& block = t.blocks[placement.oldIndex];
                if (t.Absolute(block.offset) == *signature && block.storedSize == kSignatureFileSize) {
                    m_signatureBlock = placement.oldIndex;
                    break;
                }
            }
        }

        // Blocks that are the same bytes read the same way (some protectors point several entries
        // at one block) are written once, so that compaction never makes such an archive grow.
        for (std::size_t k = 1; k < m_order.size(); ++k) {
            Placement& placement = m_placements[m_order[k]];
            const Placement& previous = m_placements[m_order[k - 1]];
            const std::uint32_t first = previous.sharedWith ? *previous.sharedWith : static_cast<std::uint32_t>(k - 1);
            const BlockEntry& a = t.blocks[placement.oldIndex];
            const BlockEntry& b = t.blocks[m_placements[m_order[first]].oldIndex];
            if (a.storedSize != 0 && a.offset == b.offset && a.storedSize == b.storedSize && a.fileSize == b.fileSize &&
                a.flags == b.flags && !IsSpecial(placement.oldIndex) &&
                !IsSpecial(m_placements[m_order[first]].oldIndex)) {
                placement.sharedWith = first;
            }
        }
        for (const Placement& placement : m_placements) {
            if (!placement.sharedWith)
                m_total += t.blocks[placement.oldIndex].storedSize;
        }
        return true;
    }

    bool IsSpecial(std::uint32_t oldIndex) const {
        return oldIndex == m_attributesBlock || oldIndex == m_signatureBlock;
    }

    // The names of the fix-key files, from every (listfile) entry that reads; a (listfile) that does
    // not read leaves names unknown, which only matters for files whose key cannot be found otherwise.
    bool FindNames() {
        const ArchiveTables& t = m_tables;
        std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::uint32_t>> wanted; // name -> blocks
        for (const HashEntry& hash : t.hashes) {
            if (hash.InUse() && hash.blockIndex < t.blocks.size() && m_newIndex[hash.blockIndex] != kHashFree &&
                IsFixKeyEncrypted(t.blocks[hash.blockIndex])) {
                wanted[{hash.name1, hash.name2}].push_back(hash.blockIndex);
            }
        }
        auto offer = [&](const std::string& name) {
            const auto found = wanted.find({MpqHashString(name, 1), MpqHashString(name, 2)});
            if (found == wanted.end())
                return;
            for (const std::uint32_t block : found->second)
                m_names[block].push_back(name);
            wanted.erase(found);
        };
        for (const char* internal : {"(listfile)", "(attributes)", "(signature)"})
            offer(internal);
        for (const std::uint32_t index : FindNameEntries(t, "(listfile)")) {
            if (wanted.empty())
                break;
            std::unique_ptr<FileReader> reader = FileReader::Open(m_source, t, index, "(listfile)");
            if (!reader)
                continue;
            ListfileSplitter splitter;
            std::vector<std::uint8_t> piece;
            while (reader->Position() < reader->Size() && !wanted.empty()) {
                piece.resize(
                    static_cast<std::size_t>(std::min<std::uint64_t>(1u << 16, reader->Size() - reader->Position())));
                if (!reader->Read(piece))
                    break;
                splitter.Feed(piece, offer);
            }
            // A last line without its end counts only when the whole file was read.
            if (reader->Position() == reader->Size())
                splitter.Finish(offer);
        }
        return true;
    }

    // Every fix-key file's old key: from a name whose key decrypts its sector table (or, where
    // there is no table to check, from its first name), else guessed from the table.
    bool FindKeys() {
        const ArchiveTables& t = m_tables;
        const std::uint32_t sectorSize = t.SectorSize();
        for (Placement& placement : m_placements) {
            const BlockEntry& block = t.blocks[placement.oldIndex];
            if (!IsFixKeyEncrypted(block) || placement.oldIndex == m_attributesBlock)
                continue;
            const std::vector<std::string>& names = m_names[placement.oldIndex];
            const std::string what = "block " + std::to_string(placement.oldIndex);
            if (!IsPackedSectored(block)) {
                if (names.empty())
                    return Refuse("the key of " + what +
                                  " (encrypted, fix-key, no sector table) needs its name, "
                                  "which (listfile) does not give");
                placement.oldKey = MpqFileKey(names.front(), block.offset, block.fileSize, block.flags);
                continue;
            }
            // Only the table's base size is certain; up to kMaxSectorTableExtra more are allowed.
            const std::uint64_t base = BaseTableSize(block, sectorSize);
            if (base > block.storedSize)
                return Refuse("the sector table of " + what + " is larger than its block");
            std::vector<std::uint8_t> stored(
                static_cast<std::size_t>(std::min<std::uint64_t>(block.storedSize, base + kMaxSectorTableExtra)));
            if (!Read(t.Absolute(block.offset), stored))
                return false;
            for (const std::string& name : names) {
                const std::uint32_t key = MpqFileKey(name, block.offset, block.fileSize, block.flags);
                // Some writers keep a packed sector that came out longer than its size; a name vouches
                // for the key, so only the block bounds the sectors.
                if ((placement.sectors = DecryptSectorTable(stored, key - 1, block, sectorSize, block.storedSize))) {
                    placement.oldKey = key;
                    break;
                }
            }
            if (!placement.oldKey) {
                if (const std::optional<std::uint32_t> key = DetectFileKey(stored, block, sectorSize)) {
                    placement.oldKey = *key;
                    placement.sectors = DecryptSectorTable(stored, *key - 1, block, sectorSize, sectorSize);
                }
            }
            if (!placement.oldKey)
                return Refuse("the sector table of " + what + " decrypts under no key (encrypted, fix-key" +
                              (names.empty() ? ", name unknown)" : ")"));
        }
        return true;
    }

    // Length bytes from the source at `from` to the target's end, re-keyed as one unit when keys
    // are given. Pieces are whole words but for the last, as the cipher needs.
    bool CopyRange(std::uint64_t from, std::uint64_t length, std::optional<UnitKeys> keys, bool counts) {
        std::optional<Rekeyer> rekeyer;
        if (keys)
            rekeyer.emplace(keys->oldKey, keys->newKey);
        while (length != 0) {
            const std::span<std::uint8_t> piece(m_buffer.data(),
                                                static_cast<std::size_t>(std::min<std::uint64_t>(length, kChunk)));
            if (!Read(from, piece))
                return false;
            if (rekeyer)
                rekeyer->Apply(piece);
            if (!Write(piece))
                return false;
            from += piece.size();
            length -= piece.size();
            if (counts) {
                m_done += piece.size();
                Report();
            }
        }
        return true;
    }

    bool WriteData() {
        const ArchiveTables& t = m_tables;
        if (!Flush())
            return false;
        m_writeAt = t.headerOffset + t.headerSize;
        Report();
        for (const std::uint32_t newIndex : m_order) {
            Placement& placement = m_placements[newIndex];
            if (placement.sharedWith) {
                placement.newEntry.offset = m_placements[m_order[*placement.sharedWith]].newEntry.offset;
                continue;
            }
            const BlockEntry& block = t.blocks[placement.oldIndex];
            if (Relative() + block.storedSize > kLargestRelative)
                return Refuse("the compacted archive would pass 4 GiB");
            placement.newEntry.offset = static_cast<std::uint32_t>(Relative());
            if (placement.oldIndex == m_attributesBlock) {
                if (!StoreAttributes(placement))
                    return false;
                m_done += block.storedSize;
                Report();
                continue;
            }
            if (!CopyBlock(placement))
                return false;
        }
        return true;
    }

    bool CopyBlock(const Placement& placement) {
        const ArchiveTables& t = m_tables;
        const BlockEntry& block = t.blocks[placement.oldIndex];
        const std::uint64_t start = t.Absolute(block.offset);
        if (!placement.oldKey)
            return CopyRange(start, block.storedSize, std::nullopt, true);

        const std::uint32_t oldKey = *placement.oldKey;
        const std::uint32_t base = (oldKey ^ block.fileSize) - block.offset;
        const std::uint32_t newKey = (base + placement.newEntry.offset) ^ block.fileSize;
        if ((block.flags & kFileSingleUnit) != 0)
            return CopyRange(start, block.storedSize, UnitKeys{oldKey, newKey}, true);

        // Sector i under key + i; the table under key - 1; checksums and anything after the last
        // sector are never encrypted.
        std::uint64_t copied = 0;
        if (placement.sectors) {
            const std::vector<std::uint32_t>& offsets = placement.sectors->offsets;
            if (!CopyRange(start, placement.sectors->size, UnitKeys{oldKey - 1, newKey - 1}, true))
                return false;
            for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
                const auto k = static_cast<std::uint32_t>(i);
                if (!CopyRange(start + offsets[i], offsets[i + 1] - offsets[i], UnitKeys{oldKey + k, newKey + k}, true))
                    return false;
            }
            copied = offsets.back();
        } else {
            const std::uint64_t sectorSize = t.SectorSize();
            const std::uint64_t end = std::min(block.fileSize, block.storedSize);
            for (std::uint32_t k = 0; copied < end; ++k) {
                const std::uint64_t length = std::min(sectorSize, end - copied);
                if (!CopyRange(start + copied, length, UnitKeys{oldKey + k, newKey + k}, true))
                    return false;
                copied += length;
            }
        }
        return CopyRange(start + copied, block.storedSize - copied, std::nullopt, true);
    }

    // (attributes) decoded against the old block table and its entries moved with their blocks.
    // When that changes nothing, the old block is copied like any other; else the new content is
    // stored where the old block would have gone, its own entry zero.
    bool PrepareAttributes() {
        if (!m_attributesBlock)
            return true;
        const ArchiveTables& t = m_tables;
        const std::uint32_t self = *m_attributesBlock;
        const BlockEntry& block = t.blocks[self];
        if (block.fileSize > 8 + kAttributeBytesPerBlock * t.blocks.size())
            return Refuse("(attributes) is larger than any for " + std::to_string(t.blocks.size()) + " blocks");
        std::vector<std::uint8_t> bytes(block.fileSize);
        ReadError why = ReadError::None;
        std::unique_ptr<FileReader> reader;
        for (const std::uint32_t index : FindNameEntries(t, "(attributes)")) {
            if (t.hashes[index].blockIndex == self) {
                reader = FileReader::Open(m_source, t, index, "(attributes)", &why);
                break;
            }
        }
        if (!reader || !reader->Read(bytes, &why)) {
            if (why == ReadError::Io)
                return ReadFailed();
            return Refuse(std::string("(attributes) does not read: ") + ReadErrorText(why));
        }
        const AttributesDecoding decoded = DecodeAttributes(bytes, static_cast<std::uint32_t>(t.blocks.size()));
        if (!decoded.attributes)
            return Refuse("(attributes) does not decode: " + decoded.refusal);
        const Attributes& old = *decoded.attributes;
        Attributes fresh;
        fresh.flags = old.flags & ~kAttributePatchBit;
        fresh.entryCount = static_cast<std::uint32_t>(m_placements.size());
        const bool crc = (fresh.flags & kAttributeCrc32) != 0;
        const bool time = (fresh.flags & kAttributeFileTime) != 0;
        const bool md5 = (fresh.flags & kAttributeMd5) != 0;
        for (const Placement& kept : m_placements) {
            const bool has = kept.oldIndex < old.entryCount;
            if (crc)
                fresh.crc32.push_back(has ? old.crc32[kept.oldIndex] : 0);
            if (time)
                fresh.fileTimes.push_back(has ? old.fileTimes[kept.oldIndex] : 0);
            if (md5)
                fresh.md5.push_back(has ? old.md5[kept.oldIndex] : std::array<std::uint8_t, 16>{});
        }
        std::optional<std::vector<std::uint8_t>> encoded = EncodeAttributes(fresh);
        if (encoded && *encoded == bytes) {
            m_attributesBlock.reset();
            return true;
        }
        const std::size_t selfIndex = m_newIndex[self];
        if (crc)
            fresh.crc32[selfIndex] = 0;
        if (time)
            fresh.fileTimes[selfIndex] = 0;
        if (md5)
            fresh.md5[selfIndex] = {};
        encoded = EncodeAttributes(fresh);
        if (!encoded)
            return Refuse("(attributes) could not be encoded");
        m_attributes = std::move(*encoded);
        return true;
    }

    bool StoreAttributes(Placement& placement) {
        const ArchiveTables& t = m_tables;
        const BlockEntry& block = t.blocks[placement.oldIndex];
        const std::uint64_t blockStart = m_writeAt;
        FileEncoding encoding;
        encoding.fileSize = static_cast<std::uint32_t>(m_attributes.size());
        encoding.sectorSizeShift = t.sectorShift;
        encoding.compress = true;
        encoding.singleUnit = (block.flags & kFileSingleUnit) != 0;
        encoding.sectorCrc = (block.flags & kFileSectorCrc) != 0;
        encoding.encrypt = (block.flags & kFileEncrypted) != 0;
        encoding.fixKey = (block.flags & kFileFixKey) != 0;
        encoding.name = "(attributes)";
        encoding.blockOffset = placement.newEntry.offset;
        FileEncoder encoder(encoding, [this](std::span<const std::uint8_t> piece) { return Write(piece); });
        if (!Flush())
            return false;
        m_writeAt += encoder.TableSize();
        if (!encoder.Write(m_attributes) || !encoder.Finish()) {
            if (!m_outcome.refusal.empty())
                return false;
            return Refuse("(attributes) could not be stored: " + encoder.Failure());
        }
        if (!Flush() || !m_target.WriteAt(blockStart, encoder.Table()))
            return WriteFailed();
        placement.newEntry.storedSize = encoder.StoredSize();
        placement.newEntry.fileSize = encoding.fileSize;
        placement.newEntry.flags = encoder.Flags();
        if (Relative() > kLargestRelative)
            return Refuse("the compacted archive would pass 4 GiB");
        return true;
    }

    bool WriteTablesAndHeader() {
        const ArchiveTables& t = m_tables;
        ArchiveTables& r = m_result;
        r.headerOffset = t.headerOffset;
        r.headerSize = t.headerSize;
        r.formatVersion = t.formatVersion;
        r.sectorShift = t.sectorShift;
        r.hashes = NewHashes();
        for (const Placement& placement : m_placements)
            r.blocks.push_back(placement.newEntry);

        const std::vector<std::uint8_t> hashTable = EncodeHashTable(r.hashes);
        const std::vector<std::uint8_t> blockTable = EncodeBlockTable(r.blocks);
        if (Relative() + hashTable.size() + blockTable.size() > kLargestRelative)
            return Refuse("the compacted archive would pass 4 GiB");
        r.hashTablePos = static_cast<std::uint32_t>(Relative());
        r.blockTablePos = static_cast<std::uint32_t>(r.hashTablePos + hashTable.size());
        r.archiveSize = static_cast<std::uint32_t>(r.blockTablePos + blockTable.size());
        if (!Write(hashTable) || !Write(blockTable))
            return false;
        const std::vector<std::uint8_t> header =
            HeaderFor(r.hashTablePos, r.blockTablePos, r.archiveSize, r.hashes.size(), r.blocks.size());
        if (!Flush() || !m_target.WriteAt(r.headerOffset, header))
            return WriteFailed();
        return true;
    }

    // Where the old archive ends (see the header), relative to its header.
    std::uint64_t OldArchiveEnd() const {
        const ArchiveTables& t = m_tables;
        const std::uint64_t available = t.fileSize - t.headerOffset;
        std::uint64_t end = t.headerSize;
        end = std::max(end, t.hashTablePos + std::uint64_t{16} * t.hashes.size());
        end = std::max(end, t.blockTablePos + std::uint64_t{16} * t.blocks.size());
        for (const BlockEntry& block : t.blocks) {
            const std::uint64_t blockEnd = static_cast<std::uint64_t>(block.offset) + block.storedSize;
            if (block.storedSize != 0 && block.offset >= t.headerSize && blockEnd <= available)
                end = std::max(end, blockEnd);
        }
        if (t.archiveSize >= end && t.archiveSize <= available)
            end = t.archiveSize;
        return std::min(end, available);
    }

    bool CopyTrailer() {
        const ArchiveTables& t = m_tables;
        const std::uint64_t trailerStart = t.headerOffset + OldArchiveEnd();
        if (!CopyRange(trailerStart, t.fileSize - trailerStart, std::nullopt, false))
            return false;
        // The target was to be empty; whatever it held past our end is not ours to keep.
        if (!Flush() || !m_target.Truncate(m_writeAt))
            return WriteFailed();
        m_result.fileSize = m_writeAt;
        if (m_signatureBlock) {
            const std::uint64_t at = m_result.Absolute(m_placements[m_newIndex[*m_signatureBlock]].newEntry.offset);
            if (!SignWeakly(m_target, m_result, at)) {
                m_outcome.io = m_target.LastFailure();
                return Refuse("the compacted archive could not be signed");
            }
        }
        m_done = m_total;
        Report();
        return true;
    }
};

} // namespace

bool IsAlreadyCompact(archive_io::File& source, const ArchiveTables& tables) {
    const std::function<void(std::uint64_t, std::uint64_t)> noProgress;
    // The check only plans and reads; the source standing for the target is never written.
    return Compactor(source, tables, source, noProgress).AlreadyCompact();
}

CompactOutcome CompactArchive(archive_io::File& source, const ArchiveTables& tables, archive_io::File& target,
                              const std::function<void(std::uint64_t, std::uint64_t)>& progress) {
    return Compactor(source, tables, target, progress).Run();
}

} // namespace mpq
