#include "archive/door/mpq_layout.h"

#include "archive/archive_file.h"
#include "archive/format/mpq_format.h"
#include "archive/format/mpq_reader.h"
#include "archive/format/mpq_writer.h"

#include <algorithm>

namespace {

std::optional<MpqLayout> ReadLayout(archive_io::File& file, const std::vector<std::string>& filesToRead) {
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
    for (const mpq::HashEntry& entry : tables->hashes) {
        if (entry.InUse())
            layout.hashes.push_back({entry.name1, entry.name2, entry.locale, entry.blockIndex});
    }
    layout.blocks.reserve(tables->blocks.size());
    for (const mpq::BlockEntry& entry : tables->blocks)
        layout.blocks.push_back({tables->Absolute(entry.offset), entry.storedSize, entry.fileSize, entry.flags});
    // Every entry of the internal files, which every write reads, and of the named files, in any
    // locale, must have a sector table our reader takes; their data is decoded only by whoever
    // reads them. An (attributes) larger than its format can be for the block table is refused.
    std::vector<std::string> names = {"(listfile)", "(attributes)"};
    names.insert(names.end(), filesToRead.begin(), filesToRead.end());
    const std::uint64_t largestAttributes = 8 + static_cast<std::uint64_t>(tables->blocks.size()) * (4 + 8 + 16 + 4);
    for (const std::string& name : names) {
        for (const std::uint32_t index : mpq::FindNameEntries(*tables, name)) {
            const mpq::BlockEntry& block = tables->blocks[tables->hashes[index].blockIndex];
            if (!block.Exists())
                continue;
            if (name == "(attributes)" && block.fileSize > largestAttributes)
                return std::nullopt;
            if (!mpq::FileReader::Open(file, *tables, index, name))
                return std::nullopt;
        }
    }
    layout.tables = std::move(*tables);
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

mpq::WritePlan MpqLayout::EditPlan(const std::string& name, bool presentAfter) const {
    // A save of a name already held keeps (listfile) as it is; the writer decides alike.
    const bool listfileChanges = !presentAfter || !mpq::NameHeld(tables, name);
    mpq::WritePlan plan = mpq::PlanWrite(tables, mpq::FindNameEntries(tables, name), listfileChanges);
    if (!presentAfter)
        plan.reusable.clear();
    return plan;
}

bool MpqLayout::HasSignature() const {
    const std::uint32_t name1 = MpqHashString("(signature)", 1);
    const std::uint32_t name2 = MpqHashString("(signature)", 2);
    return std::any_of(hashes.begin(), hashes.end(),
                       [&](const Hash& hash) { return hash.name1 == name1 && hash.name2 == name2; });
}
