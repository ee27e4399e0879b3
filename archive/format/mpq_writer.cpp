#include "archive/format/mpq_writer.h"

#include "archive/archive_file.h"
#include "archive/format/mpq_crypto.h"
#include "archive/format/mpq_encode.h"
#include "archive/format/mpq_signature.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace mpq {

namespace {

// The internal files are read whole; no game archive's come near this.
constexpr std::uint32_t kMaxInternalFile = 64u << 20;
constexpr std::size_t kMaxName = 1024;
const char* const kListfile = "(listfile)";
const char* const kAttributes = "(attributes)";
const char* const kSignature = "(signature)";

// Now as a Windows FILETIME (100 ns units since 1601), the time (attributes) records.
std::uint64_t FileTimeNow() {
    const auto sinceUnixEpoch =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    constexpr std::uint64_t unixEpochAsFileTime = 116444736000000000ULL;
    return unixEpochAsFileTime + static_cast<std::uint64_t>(sinceUnixEpoch.count() / 100);
}

WriteError FromIo(archive_io::IoFailure failure) {
    switch (failure) {
    case archive_io::IoFailure::NoSpace:
        return WriteError::NoSpace;
    case archive_io::IoFailure::Denied:
        return WriteError::Denied;
    case archive_io::IoFailure::Missing:
        return WriteError::Missing;
    default:
        return WriteError::Io;
    }
}

std::optional<std::vector<std::uint8_t>> ReadWhole(archive_io::File& file, const ArchiveTables& tables,
                                                   std::uint32_t hashIndex, const std::string& name) {
    std::unique_ptr<FileReader> reader = FileReader::Open(file, tables, hashIndex, name);
    if (!reader || reader->Size() > kMaxInternalFile)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(reader->Size());
    if (!reader->Read(bytes))
        return std::nullopt;
    return bytes;
}

bool SameName(const HashEntry& hash, std::uint32_t name1, std::uint32_t name2) {
    return hash.InUse() && hash.name1 == name1 && hash.name2 == name2;
}

// How many hash entries in use name the block.
std::ptrdiff_t EntriesNaming(const ArchiveTables& tables, std::uint32_t block) {
    return std::count_if(tables.hashes.begin(), tables.hashes.end(),
                         [&](const HashEntry& hash) { return hash.InUse() && hash.blockIndex == block; });
}

bool Overlap(std::uint64_t offset, std::uint64_t length, std::uint64_t otherOffset, std::uint64_t otherLength) {
    return offset < otherOffset + otherLength && otherOffset < offset + length;
}

// The old block of the entry in `slot`, when new data may go back into it: it is that entry's
// alone, holds data but no more than kMaxReusedBlock, lies between the MPQ header and `below`, and
// shares no byte with another block or the tables (a crafted archive may let blocks overlap).
std::optional<ByteRange> ReusableBlock(const ArchiveTables& tables, std::uint32_t slot, std::uint64_t below) {
    if (slot >= tables.hashes.size() || !tables.hashes[slot].InUse())
        return std::nullopt;
    const std::uint32_t index = tables.hashes[slot].blockIndex;
    const BlockEntry& block = tables.blocks[index];
    const ByteRange range{tables.Absolute(block.offset), block.storedSize};
    if (!block.Exists() || range.length == 0 || range.length > kMaxReusedBlock ||
        range.offset < tables.headerOffset + tables.headerSize || range.offset + range.length > below)
        return std::nullopt;
    if (EntriesNaming(tables, index) != 1)
        return std::nullopt;
    if (Overlap(range.offset, range.length, tables.Absolute(tables.hashTablePos), tables.hashes.size() * 16) ||
        Overlap(range.offset, range.length, tables.Absolute(tables.blockTablePos), tables.blocks.size() * 16))
        return std::nullopt;
    for (std::uint32_t other = 0; other < tables.blocks.size(); ++other) {
        const BlockEntry& candidate = tables.blocks[other];
        if (other != index && candidate.Exists() &&
            Overlap(range.offset, range.length, tables.Absolute(candidate.offset), candidate.storedSize))
            return std::nullopt;
    }
    return range;
}

} // namespace

// The weak signature a writer renews: a neutral (signature) stored plain at its size.
std::optional<std::uint32_t> SignatureEntryOf(const ArchiveTables& tables) {
    const std::optional<std::uint32_t> entry = FindGameEntry(tables, kSignature);
    if (!entry || tables.hashes[*entry].locale != kLocaleNeutral ||
        tables.blocks[tables.hashes[*entry].blockIndex].storedSize != kSignatureFileSize)
        return std::nullopt;
    return entry;
}

bool NameHeld(const ArchiveTables& tables, const std::string& name) {
    const std::uint32_t name1 = MpqHashString(name, 1);
    const std::uint32_t name2 = MpqHashString(name, 2);
    return std::any_of(tables.hashes.begin(), tables.hashes.end(), [&](const HashEntry& hash) {
        return hash.InUse() && hash.name1 == name1 && hash.name2 == name2 && tables.blocks[hash.blockIndex].Exists();
    });
}

WritePlan PlanWrite(const ArchiveTables& tables, const std::vector<std::uint32_t>& changedSlots, bool listfileChanges) {
    std::vector<std::uint32_t> leaving = changedSlots;
    for (const std::optional<std::uint32_t> slot : {listfileChanges ? FindGameEntry(tables, kListfile) : std::nullopt,
                                                    FindGameEntry(tables, kAttributes), SignatureEntryOf(tables)}) {
        if (slot)
            leaving.push_back(*slot);
    }
    WritePlan plan;
    const std::uint64_t headerEnd = tables.headerOffset + tables.headerSize;
    std::uint64_t tail = headerEnd;
    plan.archiveEnd = std::max({headerEnd, tables.Absolute(tables.hashTablePos) + tables.hashes.size() * 16,
                                tables.Absolute(tables.blockTablePos) + tables.blocks.size() * 16});
    for (const BlockEntry& block : tables.blocks) {
        if (block.Exists() && block.storedSize != 0)
            plan.archiveEnd = std::max(plan.archiveEnd, tables.Absolute(block.offset) + block.storedSize);
    }
    for (std::uint32_t index = 0; index < tables.hashes.size(); ++index) {
        const HashEntry& hash = tables.hashes[index];
        if (!hash.InUse() || std::find(leaving.begin(), leaving.end(), index) != leaving.end())
            continue;
        const BlockEntry& block = tables.blocks[hash.blockIndex];
        if (block.Exists() && block.storedSize != 0)
            tail = std::max(tail, tables.Absolute(block.offset) + block.storedSize);
    }
    const std::uint64_t fileEnd = std::max(tables.fileSize, plan.archiveEnd);
    if (fileEnd - plan.archiveEnd > kMaxMovedTrailing) {
        // Much data after the archive (a sparse tail of gigabytes, say): left where it is.
        plan.start = fileEnd;
        plan.overwriteFrom = plan.overwriteTo = fileEnd;
    } else {
        plan.start = tail;
        plan.overwriteFrom = tail;
        plan.overwriteTo = fileEnd;
    }
    for (const std::uint32_t slot : changedSlots) {
        if (const std::optional<ByteRange> range = ReusableBlock(tables, slot, plan.start);
            range && std::find(plan.reusable.begin(), plan.reusable.end(), *range) == plan.reusable.end())
            plan.reusable.push_back(*range);
    }
    return plan;
}

const char* WriteErrorText(WriteError error) {
    switch (error) {
    case WriteError::None:
        return "no error";
    case WriteError::Io:
        return "the archive could not be read or written";
    case WriteError::NoSpace:
        return "the disk is full";
    case WriteError::Denied:
        return "the archive cannot be written";
    case WriteError::Missing:
        return "no archive";
    case WriteError::Refused:
        return "the archive or one of its internal files is refused";
    case WriteError::NotFound:
        return "no such file";
    case WriteError::BadArgument:
        return "a bad call";
    case WriteError::TableFull:
        return "the hash table is full";
    case WriteError::ReadBack:
        return "the result did not read back as written";
    }
    return "unknown";
}

struct ArchiveWriter::State {
    std::unique_ptr<archive_io::File> file;
    ArchiveTables tables;
    bool headerAtStart = false;
    WriteError error = WriteError::None;

    std::vector<std::string> listed; // (listfile)'s names, when the archive has one
    bool listfileChanges = false;    // read and written again only when a name comes or goes
    std::optional<Attributes> attributes;

    // The one change of this session.
    enum class Change { None, Writing, Written, Removed } change = Change::None;
    std::string name;
    std::uint16_t locale = 0;
    std::uint32_t blockIndex = 0;
    std::uint32_t fileSize = 0;
    WritePlan plan;
    std::vector<std::uint8_t> trailing; // bytes after the old archive that move behind the new one
    std::uint64_t tail = 0;             // absolute: where this session writes
    std::uint64_t dataEnd = 0;          // absolute: the end of the new file's data
    std::unique_ptr<FileEncoder> encoder;
    std::uint64_t written = 0; // bytes the encoder handed out, after its table
    // The replaced entry's old block, when the plan allows its reuse: the encoder's output is held
    // here while it still fits there, and goes to `tail` from the first byte that does not.
    std::optional<ByteRange> reuse;
    std::vector<std::uint8_t> held;
    PlainDigest digest;
    bool prepared = false;
    bool committed = false;
    bool commitFailed = false;
    std::vector<std::uint8_t> header; // the header Commit writes
    std::optional<std::uint64_t> signatureAt;
    std::uint64_t newEnd = 0; // the file's end after the commit

    bool Fail(WriteError why) {
        error = why;
        return false;
    }

    bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
        if (offset + bytes.size() > 0xFFFFFFFFull + tables.headerOffset)
            return Fail(WriteError::NoSpace); // past what a format 0 or 1 archive can address
        if (!file->WriteAt(offset, bytes))
            return Fail(FromIo(file->LastFailure()));
        return true;
    }

    std::optional<std::uint32_t> Entry(const char* internal) const { return FindGameEntry(tables, internal); }

    std::optional<std::uint32_t> SignatureEntry() const { return SignatureEntryOf(tables); }

    // Decides where this change writes, and keeps the bytes after the archive that are to move.
    bool Plan(std::optional<std::uint32_t> changedSlot) {
        std::vector<std::uint32_t> slots;
        if (changedSlot)
            slots.push_back(*changedSlot);
        if (listfileChanges && !LoadListfile())
            return false;
        plan = PlanWrite(tables, slots, listfileChanges);
        tail = plan.start;
        trailing.clear();
        if (plan.start != plan.overwriteTo && tables.fileSize > plan.archiveEnd) {
            trailing.resize(static_cast<std::size_t>(tables.fileSize - plan.archiveEnd));
            if (!file->ReadAt(plan.archiveEnd, trailing))
                return Fail(FromIo(file->LastFailure()));
        }
        return true;
    }

    // A block no entry names and that does not exist, else a new one at the table's end.
    std::uint32_t FreeBlock() {
        std::vector<bool> named(tables.blocks.size(), false);
        for (const HashEntry& hash : tables.hashes) {
            if (hash.InUse())
                named[hash.blockIndex] = true;
        }
        for (std::uint32_t i = 0; i < tables.blocks.size(); ++i) {
            if (!named[i] && !tables.blocks[i].Exists())
                return i;
        }
        tables.blocks.emplace_back();
        if (attributes)
            GrowAttributes();
        return static_cast<std::uint32_t>(tables.blocks.size() - 1);
    }

    void GrowAttributes() {
        Attributes& a = *attributes;
        a.entryCount = static_cast<std::uint32_t>(tables.blocks.size());
        if (!a.crc32.empty() || (a.flags & kAttributeCrc32) != 0)
            a.crc32.resize(a.entryCount, 0);
        if (!a.fileTimes.empty() || (a.flags & kAttributeFileTime) != 0)
            a.fileTimes.resize(a.entryCount, 0);
        if (!a.md5.empty() || (a.flags & kAttributeMd5) != 0)
            a.md5.resize(a.entryCount, {});
        if (!a.patch.empty())
            a.patch.resize(a.entryCount, false);
    }

    void SetAttributes(std::uint32_t index, std::uint32_t crc, std::uint64_t time,
                       const std::array<std::uint8_t, 16>& md5) {
        if (!attributes)
            return;
        Attributes& a = *attributes;
        if (index < a.crc32.size())
            a.crc32[index] = crc;
        if (index < a.fileTimes.size())
            a.fileTimes[index] = time;
        if (index < a.md5.size())
            a.md5[index] = md5;
        if (index < a.patch.size())
            a.patch[index] = false;
    }

    bool LoadListfile() {
        if (const auto entry = Entry(kListfile)) {
            const auto bytes = ReadWhole(*file, tables, *entry, kListfile);
            if (!bytes)
                return Fail(WriteError::Refused);
            ListfileSplitter splitter;
            const auto keep = [this](const std::string& name) { listed.push_back(name); };
            splitter.Feed(*bytes, keep);
            splitter.Finish(keep);
        }
        return true;
    }

    bool Load() {
        if (const auto entry = Entry(kAttributes)) {
            const auto bytes = ReadWhole(*file, tables, *entry, kAttributes);
            if (!bytes)
                return Fail(WriteError::Refused);
            AttributesDecoding decoded = DecodeAttributes(*bytes, static_cast<std::uint32_t>(tables.blocks.size()));
            if (!decoded.attributes)
                return Fail(WriteError::Refused);
            attributes = std::move(decoded.attributes);
            // Written back in the layout of the three arrays; patch bits are not ours to keep.
            attributes->flags &= kAttributeCrc32 | kAttributeFileTime | kAttributeMd5;
            attributes->patch.clear();
            GrowAttributes();
        }
        return true;
    }

    // Stores one internal file at `at` under the block it has, keeping its encryption; the end.
    std::optional<std::uint64_t> StoreInternal(const char* internalName, std::span<const std::uint8_t> content,
                                               std::uint64_t at) {
        const std::optional<std::uint32_t> entry = Entry(internalName);
        if (!entry)
            return at;
        BlockEntry& block = tables.blocks[tables.hashes[*entry].blockIndex];
        FileEncoding encoding;
        encoding.fileSize = static_cast<std::uint32_t>(content.size());
        encoding.sectorSizeShift = tables.sectorShift;
        encoding.encrypt = (block.flags & kFileEncrypted) != 0;
        encoding.fixKey = (block.flags & kFileFixKey) != 0;
        encoding.name = internalName;
        encoding.blockOffset = static_cast<std::uint32_t>(at - tables.headerOffset);
        std::uint64_t position = 0;
        bool sinkOk = true;
        FileEncoder encoder(encoding, [&](std::span<const std::uint8_t> bytes) {
            sinkOk = WriteAt(at + encoder.TableSize() + position, bytes);
            position += bytes.size();
            return sinkOk;
        });
        if (!encoder.Write(content) || !encoder.Finish() || !sinkOk) {
            if (sinkOk)
                Fail(WriteError::Io);
            return std::nullopt;
        }
        if (!WriteAt(at, encoder.Table()))
            return std::nullopt;
        block = BlockEntry{encoding.blockOffset, encoder.StoredSize(), encoding.fileSize, encoder.Flags()};
        return at + encoder.StoredSize();
    }

    bool ReadsBack(const std::optional<std::uint64_t>& signature) {
        const std::optional<ArchiveTables> after = ReadArchiveTables(*file, headerAtStart);
        if (!after)
            return false;
        if (signature && !WeakSignatureIsValid(*file, *after))
            return false;
        const std::optional<std::uint32_t> entry = FindEntry(*after, name, locale);
        if (change == Change::Removed)
            return !entry || after->hashes[*entry].blockIndex != blockIndex;
        if (!entry)
            return false;
        std::unique_ptr<FileReader> reader = FileReader::Open(*file, *after, *entry, name);
        if (!reader || reader->Size() != tables.blocks[blockIndex].fileSize)
            return false;
        PlainDigest check;
        std::vector<std::uint8_t> chunk(1 << 16);
        for (std::uint64_t left = reader->Size(); left != 0;) {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
            const std::span<std::uint8_t> piece(chunk.data(), count);
            if (!reader->Read(piece))
                return false;
            check.Update(piece);
            left -= count;
        }
        return check.Crc32() == digest.Crc32() && check.Md5() == digest.Md5();
    }
};

ArchiveWriter::ArchiveWriter(std::unique_ptr<State> state) : m_state(std::move(state)) {}
ArchiveWriter::~ArchiveWriter() = default;

std::unique_ptr<ArchiveWriter> ArchiveWriter::Open(const std::filesystem::path& path, bool headerAtStart,
                                                   WriteError* why) {
    auto fail = [why](WriteError error) -> std::unique_ptr<ArchiveWriter> {
        if (why != nullptr)
            *why = error;
        return nullptr;
    };
    try {
        auto state = std::make_unique<State>();
        archive_io::IoFailure ioFailure = archive_io::IoFailure::None;
        state->file = archive_io::File::Open(path, archive_io::File::Mode::ReadWrite, &ioFailure);
        if (!state->file)
            return fail(FromIo(ioFailure));
        std::optional<ArchiveTables> tables = ReadArchiveTables(*state->file, headerAtStart);
        if (!tables)
            return fail(WriteError::Refused);
        state->tables = std::move(*tables);
        state->headerAtStart = headerAtStart;
        if (!state->Load())
            return fail(state->error);
        return std::unique_ptr<ArchiveWriter>(new ArchiveWriter(std::move(state)));
    } catch (...) {
        return fail(WriteError::Io);
    }
}

const ArchiveTables& ArchiveWriter::Tables() const {
    return m_state->tables;
}

archive_io::File& ArchiveWriter::File() {
    return *m_state->file;
}

WriteError ArchiveWriter::LastError() const {
    return m_state->error;
}

bool ArchiveWriter::BeginFile(const std::string& name, std::uint16_t locale, std::uint32_t size) {
    State& s = *m_state;
    if (s.change != State::Change::None || name.empty() || name.size() > kMaxName || IsInternalFileName(name))
        return s.Fail(WriteError::BadArgument);
    try {
        // The entry readers take for this name and locale is the one replaced. A new entry goes in
        // the first free or deleted slot of the chain; where that joins the chain to a later entry
        // of the same name and locale (a chain cut by an emptied slot), readers would take that
        // one: the slot becomes a deleted entry, which joins the chain, and that entry is replaced.
        std::optional<std::uint32_t> slot = FindEntry(s.tables, name, locale);
        // A name already held (in any locale, or where no reader reaches it) is already listed.
        s.listfileChanges = !NameHeld(s.tables, name);
        if (!s.Plan(slot))
            return false;
        std::uint32_t blockIndex = 0;
        if (!slot) {
            blockIndex = s.FreeBlock();
            const std::optional<std::uint32_t> inserted = InsertHashEntry(s.tables.hashes, name, locale, blockIndex);
            if (!inserted)
                return s.Fail(WriteError::TableFull);
            const std::optional<std::uint32_t> later = FindEntry(s.tables, name, locale);
            if (later && locale == kLocaleNeutral) {
                s.tables.hashes[*inserted] = HashEntry{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, 0xFF, kHashDeleted};
                slot = later;
            } else if (s.listfileChanges) {
                s.listed.push_back(name);
            }
        }
        if (slot) {
            blockIndex = s.tables.hashes[*slot].blockIndex;
            // A block another entry shares is left to it; the replaced entry gets a block of its own.
            if (EntriesNaming(s.tables, blockIndex) > 1) {
                blockIndex = s.FreeBlock();
                s.tables.hashes[*slot].blockIndex = blockIndex;
            }
        }
        s.name = name;
        s.locale = locale;
        s.blockIndex = blockIndex;
        s.fileSize = size;
        s.written = 0;
        s.digest = PlainDigest();
        FileEncoding encoding;
        encoding.fileSize = size;
        encoding.sectorSizeShift = s.tables.sectorShift;
        encoding.name = name;
        encoding.blockOffset = static_cast<std::uint32_t>(s.tail - s.tables.headerOffset);
        s.reuse.reset();
        s.held.clear();
        if (slot && s.tables.hashes[*slot].blockIndex == blockIndex) {
            const BlockEntry& old = s.tables.blocks[blockIndex];
            const ByteRange oldRange{s.tables.Absolute(old.offset), old.storedSize};
            if (std::find(s.plan.reusable.begin(), s.plan.reusable.end(), oldRange) != s.plan.reusable.end())
                s.reuse = oldRange;
        }
        s.encoder = std::make_unique<FileEncoder>(encoding, [&s](std::span<const std::uint8_t> bytes) {
            if (s.reuse) {
                if (s.encoder->TableSize() + s.written + bytes.size() <= s.reuse->length) {
                    s.held.insert(s.held.end(), bytes.begin(), bytes.end());
                    s.written += bytes.size();
                    return true;
                }
                // Too large for the old block: everything goes behind the archive's last kept block.
                s.reuse.reset();
                if (!s.WriteAt(s.tail + s.encoder->TableSize(), s.held))
                    return false;
                s.held = {};
            }
            const bool ok = s.WriteAt(s.tail + s.encoder->TableSize() + s.written, bytes);
            s.written += bytes.size();
            return ok;
        });
        s.change = State::Change::Writing;
        return true;
    } catch (...) {
        return s.Fail(WriteError::Io);
    }
}

bool ArchiveWriter::Write(std::span<const std::uint8_t> bytes) {
    State& s = *m_state;
    if (s.change != State::Change::Writing)
        return s.Fail(WriteError::BadArgument);
    try {
        s.digest.Update(bytes);
        if (!s.encoder->Write(bytes))
            return s.error != WriteError::None ? false : s.Fail(WriteError::BadArgument);
        return true;
    } catch (...) {
        return s.Fail(WriteError::Io);
    }
}

bool ArchiveWriter::EndFile() {
    State& s = *m_state;
    if (s.change != State::Change::Writing)
        return s.Fail(WriteError::BadArgument);
    try {
        if (!s.encoder->Finish())
            return s.error != WriteError::None ? false : s.Fail(WriteError::BadArgument);
        // The new data is unencrypted and its sector table counts from the block's start, so it
        // reads the same wherever it lands.
        const bool reused = s.reuse && s.encoder->StoredSize() <= s.reuse->length;
        const std::uint64_t at = reused ? s.reuse->offset : s.tail;
        if (reused && !s.WriteAt(at + s.encoder->TableSize(), s.held))
            return false;
        s.held = {};
        if (!s.WriteAt(at, s.encoder->Table()))
            return false;
        s.tables.blocks[s.blockIndex] = BlockEntry{static_cast<std::uint32_t>(at - s.tables.headerOffset),
                                                   s.encoder->StoredSize(), s.fileSize, s.encoder->Flags()};
        s.dataEnd = reused ? s.tail : s.tail + s.encoder->StoredSize();
        s.SetAttributes(s.blockIndex, s.digest.Crc32(), FileTimeNow(), s.digest.Md5());
        s.encoder.reset();
        s.change = State::Change::Written;
        return true;
    } catch (...) {
        return s.Fail(WriteError::Io);
    }
}

bool ArchiveWriter::Remove(const std::string& name) {
    State& s = *m_state;
    if (s.change != State::Change::None || IsInternalFileName(name))
        return s.Fail(WriteError::BadArgument);
    const std::optional<std::uint32_t> slot = FindGameEntry(s.tables, name);
    if (!slot)
        return s.Fail(WriteError::NotFound);
    const std::uint32_t name1 = MpqHashString(name, 1);
    const std::uint32_t name2 = MpqHashString(name, 2);
    bool nameStays = false;
    for (std::uint32_t index = 0; index < s.tables.hashes.size(); ++index) {
        const HashEntry& other = s.tables.hashes[index];
        nameStays = nameStays ||
                    (index != *slot && SameName(other, name1, name2) && s.tables.blocks[other.blockIndex].Exists());
    }
    // The name leaves (listfile) only with its last entry.
    s.listfileChanges = !nameStays;
    HashEntry& hash = s.tables.hashes[*slot];
    s.name = name;
    s.locale = hash.locale;
    s.blockIndex = hash.blockIndex;
    if (!s.Plan(slot))
        return false;
    s.dataEnd = s.tail;
    // A deleted slot keeps the probe chains that pass through it whole.
    hash = HashEntry{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, 0xFF, kHashDeleted};
    if (EntriesNaming(s.tables, s.blockIndex) == 0) {
        s.tables.blocks[s.blockIndex] = BlockEntry{};
        s.SetAttributes(s.blockIndex, 0, 0, {});
    }
    if (s.listfileChanges) {
        std::erase_if(s.listed, [&](const std::string& listed) {
            return MpqHashString(listed, 1) == name1 && MpqHashString(listed, 2) == name2;
        });
    }
    s.change = State::Change::Removed;
    return true;
}

bool ArchiveWriter::Prepare(std::vector<std::uint8_t>& headerBytes) {
    State& s = *m_state;
    headerBytes.clear();
    if (s.change == State::Change::None || s.committed)
        return true;
    if (s.prepared) {
        headerBytes = s.header;
        return true;
    }
    // A commit that failed is not tried again: the caller undoes what it wrote.
    if (s.change == State::Change::Writing || s.commitFailed)
        return s.Fail(s.error == WriteError::None ? WriteError::BadArgument : s.error);
    s.commitFailed = true;
    try {
        ArchiveTables& t = s.tables;
        std::uint64_t at = s.dataEnd;
        if (s.listfileChanges) {
            const std::vector<std::uint8_t> listfile = EncodeListfile(s.listed);
            if (const std::optional<std::uint32_t> listEntry = s.Entry(kListfile)) {
                PlainDigest listDigest;
                listDigest.Update(listfile);
                const std::uint32_t listBlock = t.hashes[*listEntry].blockIndex;
                s.SetAttributes(listBlock, listDigest.Crc32(), FileTimeNow(), listDigest.Md5());
            }
            const std::optional<std::uint64_t> afterList = s.StoreInternal(kListfile, listfile, at);
            if (!afterList)
                return false;
            at = *afterList;
        }
        if (const auto entry = s.Entry(kAttributes)) {
            // The (attributes) and (signature) entries stay zero: their bytes change after they
            // are recorded.
            const std::uint32_t own = t.hashes[*entry].blockIndex;
            s.SetAttributes(own, 0, 0, {});
            if (const auto signature = s.Entry(kSignature))
                s.SetAttributes(t.hashes[*signature].blockIndex, 0, 0, {});
            const std::optional<std::vector<std::uint8_t>> encoded = EncodeAttributes(*s.attributes);
            if (!encoded)
                return s.Fail(WriteError::Refused);
            const std::optional<std::uint64_t> afterAttributes = s.StoreInternal(kAttributes, *encoded, at);
            if (!afterAttributes)
                return false;
            at = *afterAttributes;
        }
        if (const auto entry = s.SignatureEntry()) {
            const std::vector<std::uint8_t> zeros(kSignatureFileSize, 0);
            if (!s.WriteAt(at, zeros))
                return false;
            t.blocks[t.hashes[*entry].blockIndex] = BlockEntry{static_cast<std::uint32_t>(at - t.headerOffset),
                                                               kSignatureFileSize, kSignatureFileSize, kFileExists};
            s.signatureAt = at;
            at += kSignatureFileSize;
        }
        // Empty files keep no data; their offsets must not point past the new end.
        const auto dataEndRelative = static_cast<std::uint32_t>(at - t.headerOffset);
        for (BlockEntry& block : t.blocks) {
            if (block.Exists() && block.storedSize == 0 && block.offset > dataEndRelative)
                block.offset = dataEndRelative;
        }
        const std::vector<std::uint8_t> hashBytes = EncodeHashTable(t.hashes);
        const std::vector<std::uint8_t> blockBytes = EncodeBlockTable(t.blocks);
        t.hashTablePos = dataEndRelative;
        t.blockTablePos = static_cast<std::uint32_t>(t.hashTablePos + hashBytes.size());
        const std::uint64_t end = at + hashBytes.size() + blockBytes.size();
        if (end - t.headerOffset > 0xFFFFFFFFull)
            return s.Fail(WriteError::NoSpace);
        t.archiveSize = static_cast<std::uint32_t>(end - t.headerOffset);
        if (!s.WriteAt(at, hashBytes) || !s.WriteAt(at + hashBytes.size(), blockBytes))
            return false;
        // Bytes that were stored after the archive follow it again.
        if (!s.trailing.empty() && !s.WriteAt(end, s.trailing))
            return false;
        s.newEnd = end + s.trailing.size();
        HeaderFields header;
        header.formatVersion = t.formatVersion;
        header.sectorSizeShift = t.sectorShift;
        header.archiveSize = t.archiveSize;
        header.hashTableOffset = t.hashTablePos;
        header.blockTableOffset = t.blockTablePos;
        header.hashTableEntries = static_cast<std::uint32_t>(t.hashes.size());
        header.blockTableEntries = static_cast<std::uint32_t>(t.blocks.size());
        s.header = EncodeHeader(header);
        const std::optional<std::uint64_t> size = s.file->Size();
        if (!size)
            return s.Fail(FromIo(s.file->LastFailure()));
        t.fileSize = *size;
        if (s.signatureAt && !SignWeakly(*s.file, t, *s.signatureAt, s.header))
            return s.Fail(WriteError::Io);
        // Everything the new header points at is on disk before the header is.
        if (!s.file->Sync())
            return s.Fail(FromIo(s.file->LastFailure()));
        s.prepared = true;
        s.commitFailed = false;
        headerBytes = s.header;
        return true;
    } catch (...) {
        return s.Fail(WriteError::Io);
    }
}

bool ArchiveWriter::Commit() {
    State& s = *m_state;
    if (s.change == State::Change::None || s.committed)
        return true;
    std::vector<std::uint8_t> header;
    if (!s.prepared && !Prepare(header))
        return false;
    if (s.commitFailed)
        return s.Fail(s.error == WriteError::None ? WriteError::BadArgument : s.error);
    s.commitFailed = true;
    try {
        ArchiveTables& t = s.tables;
        if (!s.WriteAt(t.headerOffset, s.header))
            return false;
        // In place of the old tail; behind trailing bytes left in place, the file only grew.
        if (s.plan.overwriteTo != s.plan.overwriteFrom) {
            if (!s.file->Truncate(s.newEnd))
                return s.Fail(FromIo(s.file->LastFailure()));
            t.fileSize = s.newEnd;
        }
        if (!s.ReadsBack(s.signatureAt))
            return s.Fail(WriteError::ReadBack);
        s.committed = true;
        s.commitFailed = false;
        return true;
    } catch (...) {
        return s.Fail(WriteError::Io);
    }
}

} // namespace mpq
