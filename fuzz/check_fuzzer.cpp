// Our MPQ reader, its decoders, our archive check and the archive worker's message decoder on
// arbitrary bytes, in process. Nothing here reaches StormLib, so any sanitizer report, crash,
// unbounded allocation, write or broken promise is a fault of ours. Each input is used as:
//   - an archive: its tables read (ReadArchiveTables), then every in-use hash slot's file read to
//     its end through FileReader, under the known name that reaches the slot or, for an encrypted
//     file, under a fixed name too (so that it decrypts with some key); small files once more in
//     one read, which must give the same bytes; and our door's check (ReadMpqLayout) over it;
//   - the same archive at the start of a much larger, otherwise empty file;
//   - one stored unit for DecodeUnit, with each block-flags variant in formats 0 and 1, and a
//     PKWARE stream for PkwareExplode, into 4096 bytes and into as many as the last three bytes say;
//   - an (attributes) file against block counts near those its size fits;
//   - a stream of worker messages.
#include "fuzz/game_files.h"
#include "fuzz/memory_file.h"
#include "fuzz/reader_walk.h"

#include "archive/door/mpq_layout.h"
#include "archive/format/mpq_encode.h"
#include "archive/format/mpq_format.h"
#include "archive/format/pkware_explode.h"
#include "archive/worker/worker_protocol.h"

#include <cstddef>
#include <cstdint>
#include <set>

namespace {

using fuzz::Fail;

constexpr std::uint32_t kMaxTableEntries = 1u << 20;
constexpr std::uint32_t kRefusedFlags = mpq::kFilePatch | mpq::kFileDeleteMarker;
// Files up to this size are read a second time in one piece and compared.
constexpr std::uint32_t kSecondReadLimit = 1u << 20;
// The name an encrypted file nobody named is read under: any key must be survived.
const std::string kFixedName = "UI\\war3skins.txt";
// The largest output a unit or stream is decoded into when its last bytes choose the size.
constexpr std::uint32_t kLargestChosenUnit = 256u << 10;

unsigned long long ToUll(std::uint64_t value) {
    return static_cast<unsigned long long>(value);
}

std::uint32_t Le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// What ReadArchiveTables promises of tables it accepts (mpq_reader.h), which everything after it,
// the writer and the door included, relies on without checking again.
void CheckTables(const mpq::ArchiveTables& tables, std::uint64_t size) {
    const std::uint32_t hashCount = static_cast<std::uint32_t>(tables.hashes.size());
    if (tables.fileSize != size || hashCount == 0 || (hashCount & (hashCount - 1)) != 0 ||
        hashCount > kMaxTableEntries || tables.blocks.size() > kMaxTableEntries)
        Fail("accepted tables of %zu hash and %zu block entries in a file of %llu bytes", tables.hashes.size(),
             tables.blocks.size(), ToUll(size));
    if (tables.headerOffset % mpq::kHeaderSearchStep != 0 || tables.formatVersion > 1 ||
        tables.headerSize != (tables.formatVersion == 0 ? mpq::kHeaderSize0 : mpq::kHeaderSize1) ||
        tables.headerOffset + tables.headerSize > size || tables.sectorShift > 16)
        Fail("accepted a header at %llu of %u bytes, format %u, sector shift %u", ToUll(tables.headerOffset),
             tables.headerSize, tables.formatVersion, tables.sectorShift);
    for (const auto& [position, count] :
         {std::pair{tables.hashTablePos, tables.hashes.size()}, {tables.blockTablePos, tables.blocks.size()}}) {
        if (tables.Absolute(position) + count * 16 > size)
            Fail("accepted a table of %zu entries at %u, past the end of %llu bytes", count, position, ToUll(size));
    }
    for (const mpq::HashEntry& hash : tables.hashes) {
        if (hash.InUse() && (hash.blockIndex >= tables.blocks.size() || hash.platform != 0))
            Fail("accepted a hash entry naming block %u of %zu, platform %u", hash.blockIndex, tables.blocks.size(),
                 hash.platform);
    }
    const std::uint64_t dataStart = tables.headerOffset + tables.headerSize;
    for (const mpq::BlockEntry& block : tables.blocks) {
        if (!block.Exists())
            continue;
        if ((block.flags & ~mpq::kFileKnownFlags) != 0)
            Fail("accepted a block with flags %08x", block.flags);
        if (block.storedSize != 0 &&
            (tables.Absolute(block.offset) < dataStart || tables.Absolute(block.offset) + block.storedSize > size))
            Fail("accepted a block at %u of %u bytes in a file of %llu", block.offset, block.storedSize, ToUll(size));
    }
}

// Every in-use slot read to its end, each block once per key: under the name that reaches the slot,
// or any name for a file that is not encrypted, and under the fixed name for one that is.
void ReadEverySlot(archive_io::File& file, const mpq::ArchiveTables& tables, std::uint64_t& budget) {
    const std::map<std::uint32_t, std::string> named = fuzz::NamedSlots(tables);
    std::set<std::pair<std::uint32_t, std::string>> done;
    for (std::uint32_t slot = 0; slot < tables.hashes.size() && budget > 0; ++slot) {
        const mpq::HashEntry& hash = tables.hashes[slot];
        if (!hash.InUse())
            continue;
        const mpq::BlockEntry& block = tables.blocks[hash.blockIndex];
        const bool encrypted = (block.flags & mpq::kFileEncrypted) != 0;
        std::vector<std::string> names;
        if (const auto found = named.find(slot); found != named.end())
            names.push_back(found->second);
        if (encrypted || names.empty())
            names.push_back(kFixedName);
        for (const std::string& name : names) {
            if (!done.emplace(hash.blockIndex, encrypted ? name : std::string()).second)
                continue;
            const bool again = block.fileSize <= kSecondReadLimit;
            const std::optional<std::vector<std::uint8_t>> pieces =
                fuzz::ReadSlot(file, tables, slot, name, budget, again);
            if (!pieces || !again || std::uint64_t{block.storedSize} + block.fileSize > budget)
                continue;
            budget -= std::uint64_t{block.storedSize} + block.fileSize;
            // The reader keeps one decoded sector between calls; reading all at once must not differ.
            const std::unique_ptr<mpq::FileReader> whole = mpq::FileReader::Open(file, tables, slot, name);
            std::vector<std::uint8_t> bytes(block.fileSize);
            mpq::ReadError why = mpq::ReadError::None;
            if (!whole || !whole->Read(bytes, &why) || bytes != *pieces)
                Fail("slot %u (%s) read in pieces but not the same in one read (%s)", slot, name.c_str(),
                     mpq::ReadErrorText(why));
        }
    }
}

void CheckLayout(archive_io::File& file, const std::optional<mpq::ArchiveTables>& tables) {
    const std::vector<std::string>& names = fuzz::KnownNames();
    const std::optional<MpqLayout> layout = ReadMpqLayout(file, names);
    if (!layout)
        return;
    // The check reads through our reader and refuses more; it never accepts what the reader refused.
    if (!tables || layout->headerOffset != tables->headerOffset || layout->hashTableSize != tables->hashes.size() ||
        layout->blockTableSize != tables->blocks.size())
        Fail("the check accepted an archive the reader %s", tables ? "reads otherwise" : "refused");
    // What the check promises of an accepted layout and the door relies on: tables of bounded
    // size, hash entries naming blocks of the table, existing files inside the file with no flag a
    // game archive does not use, and a first writable offset inside the file.
    if (layout->hashTableSize > kMaxTableEntries || layout->blockTableSize > kMaxTableEntries ||
        layout->blocks.size() != layout->blockTableSize)
        Fail("accepted tables of %u hash and %u block entries", layout->hashTableSize, layout->blockTableSize);
    for (const MpqLayout::Hash& hash : layout->hashes) {
        if (hash.blockIndex >= layout->blocks.size())
            Fail("accepted a hash entry naming block %u of %u", hash.blockIndex, layout->blockTableSize);
        const MpqLayout::Block& block = layout->blocks[hash.blockIndex];
        if ((block.flags & mpq::kFileExists) == 0)
            continue;
        if ((block.flags & kRefusedFlags) != 0)
            Fail("accepted a file with flags %08x", block.flags);
        if (block.compressedSize != 0 && (block.offset < layout->headerOffset + layout->headerSize ||
                                          block.offset + block.compressedSize > layout->fileSize))
            Fail("accepted a file at %llu of %u bytes in a file of %llu", ToUll(block.offset), block.compressedSize,
                 ToUll(layout->fileSize));
    }
    (void)layout->HasSignature();
    for (const std::string& name : names) {
        if (layout->FirstWritableOffset({name}) > layout->fileSize)
            Fail("first writable offset past the end of the file");
    }
}

void CheckArchive(std::span<const std::uint8_t> bytes, std::uint64_t size, std::uint64_t& budget) {
    MemoryFile file(bytes, size);
    mpq::ReadError why = mpq::ReadError::None;
    const std::optional<mpq::ArchiveTables> tables = mpq::ReadArchiveTables(file, false, &why);
    // Asked for a header at the start only, the reader finds the same archive or none.
    const std::optional<mpq::ArchiveTables> atStart = mpq::ReadArchiveTables(file, true);
    if (atStart && (!tables || tables->headerOffset != 0))
        Fail("a header at the start was read where the search finds %s", tables ? "another" : "none");
    if (!tables) {
        if (why == mpq::ReadError::None)
            Fail("ReadArchiveTables refused an archive without a reason");
    } else {
        CheckTables(*tables, size);
        if (tables->headerOffset == 0 && !atStart)
            Fail("the header at the start is found by the search only");
        ReadEverySlot(file, *tables, budget);
    }
    CheckLayout(file, tables);
}

// Decoded twice into buffers filled differently beforehand, a unit that decodes gives the same
// bytes: a byte the decoder did not write would show as a difference.
template <typename Decode>
void CheckDecodesAlike(std::span<const std::uint8_t> input, std::size_t outSize, const char* what, Decode decode) {
    std::vector<std::uint8_t> stored(input.begin(), input.end());
    std::vector<std::uint8_t> first(outSize, 0xA5);
    const std::optional<std::size_t> produced = decode(stored, first);
    if (!produced)
        return;
    if (*produced > outSize)
        Fail("%s claims %zu bytes in a buffer of %zu", what, *produced, outSize);
    stored.assign(input.begin(), input.end());
    std::vector<std::uint8_t> second(outSize, 0x5A);
    const std::optional<std::size_t> again = decode(stored, second);
    if (again != produced ||
        !std::equal(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(*produced), second.begin()))
        Fail("%s into %zu bytes gives bytes it did not decode", what, outSize);
}

void CheckDecoders(std::span<const std::uint8_t> bytes) {
    std::vector<std::size_t> outSizes = {4096};
    if (bytes.size() >= 3) {
        const std::uint8_t* tail = bytes.data() + bytes.size() - 3;
        outSizes.push_back(1 + (tail[0] | (tail[1] << 8) | (tail[2] << 16)) % kLargestChosenUnit);
    }
    static constexpr std::uint32_t kFlagVariants[] = {mpq::kFileCompress, mpq::kFileImplode,
                                                      mpq::kFileCompress | mpq::kFileImplode, 0};
    for (const std::size_t outSize : outSizes) {
        CheckDecodesAlike(bytes, outSize, "PkwareExplode", [](std::span<std::uint8_t> in, std::span<std::uint8_t> out) {
            return PkwareExplode(in, out);
        });
        for (const std::uint32_t flags : kFlagVariants) {
            std::optional<std::vector<std::uint8_t>> decodedIn[2];
            for (const std::uint16_t format : {0, 1}) {
                CheckDecodesAlike(
                    bytes, outSize, "DecodeUnit",
                    [&](std::span<std::uint8_t> in, std::span<std::uint8_t> out) -> std::optional<std::size_t> {
                        const mpq::ReadError result = mpq::DecodeUnit(in, out, flags, format);
                        if (result != mpq::ReadError::None)
                            return std::nullopt;
                        decodedIn[format].emplace(out.begin(), out.end());
                        return out.size();
                    });
            }
            // A unit stored no shorter than its data is copied; one with no compression flag and
            // shorter than its data is corrupt; format 1 accepts only what format 0 does, alike.
            if (bytes.size() >= outSize &&
                (!decodedIn[1] || !std::equal(decodedIn[1]->begin(), decodedIn[1]->end(), bytes.begin())))
                Fail("a unit of %zu stored bytes was not copied into %zu", bytes.size(), outSize);
            if (bytes.size() < outSize && flags == 0 && (decodedIn[0] || decodedIn[1]))
                Fail("a unit of %zu bytes without compression decoded into %zu", bytes.size(), outSize);
            if (decodedIn[1] && decodedIn[0] != decodedIn[1])
                Fail("a unit format 1 decodes is decoded otherwise in format 0 (flags %08x)", flags);
        }
    }
}

// Block counts near those an (attributes) of this size fits, for each way StormLib sizes one.
void CheckAttributes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 8)
        return;
    const std::uint32_t flags = Le32(bytes.data() + 4);
    const std::uint64_t entryBytes = ((flags & mpq::kAttributeCrc32) != 0 ? 4 : 0) +
                                     ((flags & mpq::kAttributeFileTime) != 0 ? 8 : 0) +
                                     ((flags & mpq::kAttributeMd5) != 0 ? 16 : 0);
    const std::uint64_t body = bytes.size() - 8;
    std::set<std::uint64_t> counts = {0, 1, 2, 9, 0xFFFFFFFF};
    for (const std::uint64_t each : {entryBytes, entryBytes + 4, entryBytes * 8 + 1}) {
        if (each == 0)
            continue;
        const std::uint64_t fits = (each == entryBytes * 8 + 1 ? body * 8 : body) / each;
        for (std::uint64_t near = fits > 2 ? fits - 2 : 0; near <= fits + 2; ++near)
            counts.insert(near);
    }
    for (const std::uint64_t count : counts) {
        if (count > 0xFFFFFFFF)
            continue;
        const auto blockCount = static_cast<std::uint32_t>(count);
        const mpq::AttributesDecoding decoding = mpq::DecodeAttributes(bytes, blockCount);
        if (decoding.attributes.has_value() == !decoding.refusal.empty())
            Fail("(attributes) for %u blocks: %s", blockCount,
                 decoding.attributes ? "decoded with a refusal" : "refused without a reason");
        if (!decoding.attributes)
            continue;
        const mpq::Attributes& attributes = *decoding.attributes;
        const std::uint32_t entries = attributes.entryCount;
        auto sized = [&](std::size_t arraySize, std::uint32_t flag) {
            return arraySize == ((attributes.flags & flag) != 0 ? entries : 0);
        };
        if ((entries != blockCount && entries + 1 != blockCount) || attributes.flags != flags ||
            !sized(attributes.crc32.size(), mpq::kAttributeCrc32) ||
            !sized(attributes.fileTimes.size(), mpq::kAttributeFileTime) ||
            !sized(attributes.md5.size(), mpq::kAttributeMd5) ||
            !sized(attributes.patch.size(), mpq::kAttributePatchBit))
            Fail("(attributes) for %u blocks decoded to %u entries with arrays of other sizes", blockCount, entries);
        // Without patch bits an (attributes) has exactly one encoding: ours must give the input back.
        if ((flags & mpq::kAttributePatchBit) == 0) {
            const std::optional<std::vector<std::uint8_t>> encoded = mpq::EncodeAttributes(attributes);
            if (!encoded || !std::equal(encoded->begin(), encoded->end(), bytes.begin(), bytes.end()))
                Fail("(attributes) for %u blocks does not encode back to its bytes", blockCount);
        }
    }
}

// What the parent must be able to rely on for a message it decoded: encoding it again gives a
// frame that decodes to the same message.
void CheckRoundTrip(const worker_protocol::Message& message) {
    const std::vector<std::uint8_t> frame = worker_protocol::EncodeMessage(message);
    const std::optional<worker_protocol::Message> again = worker_protocol::DecodeMessage(frame);
    if (!again || !(*again == message))
        Fail("a decoded message of type %u does not survive encoding", static_cast<unsigned>(message.type));
}

void CheckMessages(std::span<const std::uint8_t> bytes) {
    if (const std::optional<worker_protocol::Message> message = worker_protocol::DecodeMessage(bytes))
        CheckRoundTrip(*message);
    // The same bytes as a stream arriving in two pieces, cut where the first byte says.
    worker_protocol::FrameReader reader;
    const std::size_t cut = bytes.empty() ? 0 : bytes[0] % bytes.size();
    for (const std::span<const std::uint8_t> piece : {bytes.first(cut), bytes.subspan(cut)}) {
        reader.Append(piece);
        for (;;) {
            worker_protocol::Message message;
            if (reader.Next(message) != worker_protocol::FrameReader::Status::Ready)
                break;
            CheckRoundTrip(message);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    std::uint64_t budget = fuzz::kReadBudget;
    CheckMessages(bytes);
    CheckDecoders(bytes);
    CheckAttributes(bytes);
    CheckArchive(bytes, size, budget);
    // The same bytes at the start of a much larger, otherwise empty file (a sparse file on disk):
    // the size fields may then point far, and nothing may be allocated for them unchecked. The last
    // four bytes pick the size. Only with the header at offset 0, so that no search walks gigabytes.
    if (size >= 36 && Le32(data) == mpq::kHeaderSignature) {
        const std::uint64_t claimed = size + Le32(data + size - 4);
        CheckArchive(bytes, claimed, budget);
    }
    return 0;
}
