// The kit's archive checks on Windows, where neither smpq nor StormLib runs: our own reader lists,
// extracts and verifies, and the kit signs by appending a (signature) entry itself. The checks
// against an independent implementation are the Linux run's; this run checks the platform.
#include "testkit/mpq_fixtures.h"

#include "archive/archive_file.h"
#include "archive/format/mpq_encode.h"
#include "archive/format/mpq_reader.h"
#include "archive/format/mpq_signature.h"

#include <algorithm>

namespace fs = std::filesystem;

namespace testkit {

namespace {

std::optional<std::vector<std::uint8_t>> ReadEntry(archive_io::File& file, const mpq::ArchiveTables& tables,
                                                   const std::string& name) {
    const std::optional<std::uint32_t> entry = mpq::FindGameEntry(tables, name);
    if (!entry)
        return std::nullopt;
    std::unique_ptr<mpq::FileReader> reader = mpq::FileReader::Open(file, tables, *entry, name);
    if (!reader)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(reader->Size());
    if (!reader->Read(bytes))
        return std::nullopt;
    return bytes;
}

// The archive opened for reading with its tables, or nothing when either fails.
struct OpenArchive {
    std::unique_ptr<archive_io::File> file;
    std::optional<mpq::ArchiveTables> tables;
    explicit OpenArchive(const fs::path& archive)
        : file(archive_io::File::Open(archive, archive_io::File::Mode::Read)),
          tables(file ? mpq::ReadArchiveTables(*file, false) : std::nullopt) {}
    bool Ok() const { return tables.has_value(); }
};

} // namespace

bool HaveSmpq() {
    return true;
}

std::optional<std::vector<std::string>> SmpqList(const fs::path& archive) {
    OpenArchive open(archive);
    if (!open.Ok())
        return std::nullopt;
    const mpq::ArchiveTables& tables = *open.tables;
    const auto listfile = ReadEntry(*open.file, tables, "(listfile)");
    if (!listfile)
        return std::nullopt;
    // Names as smpq prints them: those of the list the archive holds, with '/'.
    std::vector<std::string> names;
    std::string name;
    for (std::size_t i = 0; i <= listfile->size(); ++i) {
        const char c = i < listfile->size() ? static_cast<char>((*listfile)[i]) : '\n';
        if (c != '\r' && c != '\n' && c != ';') {
            name += c;
            continue;
        }
        if (!name.empty() && mpq::FindGameEntry(tables, name)) {
            std::replace(name.begin(), name.end(), '\\', '/');
            names.push_back(name);
        }
        name.clear();
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::optional<std::vector<std::uint8_t>> SmpqExtract(const fs::path& archive, const std::string& name) {
    OpenArchive open(archive);
    return open.Ok() ? ReadEntry(*open.file, *open.tables, name) : std::nullopt;
}

// Appends 72 bytes for the signature after the archive's data, with new tables after them, as a
// signing tool adds the entry; then signs. The archive's blocks stay where they are.
bool SignArchiveWeakly(const fs::path& archive) {
    auto file = archive_io::File::Open(archive, archive_io::File::Mode::ReadWrite);
    if (!file)
        return false;
    std::optional<mpq::ArchiveTables> tables = mpq::ReadArchiveTables(*file, false);
    if (!tables || mpq::FindGameEntry(*tables, "(signature)"))
        return false;
    mpq::ArchiveTables& t = *tables;
    const std::uint32_t blockIndex = static_cast<std::uint32_t>(t.blocks.size());
    if (!mpq::InsertHashEntry(t.hashes, "(signature)", 0, blockIndex))
        return false;
    const std::uint32_t signatureAt = t.archiveSize;
    t.blocks.push_back(
        mpq::BlockEntry{signatureAt, mpq::kSignatureFileSize, mpq::kSignatureFileSize, mpq::kFileExists});
    const std::vector<std::uint8_t> hashes = mpq::EncodeHashTable(t.hashes);
    const std::vector<std::uint8_t> blocks = mpq::EncodeBlockTable(t.blocks);
    mpq::HeaderFields fields;
    fields.formatVersion = t.formatVersion;
    fields.sectorSizeShift = t.sectorShift;
    fields.hashTableOffset = signatureAt + mpq::kSignatureFileSize;
    fields.blockTableOffset = fields.hashTableOffset + static_cast<std::uint32_t>(hashes.size());
    fields.archiveSize = fields.blockTableOffset + static_cast<std::uint32_t>(blocks.size());
    fields.hashTableEntries = static_cast<std::uint32_t>(t.hashes.size());
    fields.blockTableEntries = static_cast<std::uint32_t>(t.blocks.size());
    const std::vector<std::uint8_t> header = mpq::EncodeHeader(fields);
    const std::vector<std::uint8_t> zeros(mpq::kSignatureFileSize, 0);
    if (!file->WriteAt(t.Absolute(signatureAt), zeros) || !file->WriteAt(t.Absolute(fields.hashTableOffset), hashes) ||
        !file->WriteAt(t.Absolute(fields.blockTableOffset), blocks) || !file->WriteAt(t.headerOffset, header) ||
        !file->Truncate(t.Absolute(fields.archiveSize)))
        return false;
    const std::optional<mpq::ArchiveTables> signedTables = mpq::ReadArchiveTables(*file, false);
    return signedTables && mpq::SignWeakly(*file, *signedTables, t.Absolute(signatureAt)) && file->Sync();
}

SignatureCheck CheckSignature(const fs::path& archive) {
    OpenArchive open(archive);
    if (!open.Ok())
        return SignatureCheck::Other;
    if (!mpq::WeakSignatureOffset(*open.tables))
        return SignatureCheck::None;
    return mpq::WeakSignatureIsValid(*open.file, *open.tables) ? SignatureCheck::WeakValid : SignatureCheck::WeakBroken;
}

} // namespace testkit
