#include "archive/format/mpq_builder.h"

#include "archive/archive_file.h"
#include "archive/archive_name.h"
#include "archive/format/mpq_encode.h"
#include "archive/format/mpq_format.h"
#include "support/durable_file.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Our reader takes archives up to the 32-bit offsets' reach; so does every game.
constexpr std::uint64_t kLargestArchive = 0xFFFFFFFF;
// Our reader's bound on either table.
constexpr std::uint32_t kLargestHashTable = 1u << 20;
// Entries the automatic hash table keeps free beyond the archive's own.
constexpr std::uint32_t kSpareHashEntries = 2;

MpqBuildResult Failed(std::string why) {
    return {false, std::move(why)};
}

// One stored file: a caller's, or (listfile) / (attributes) made here.
struct Entry {
    std::string name;
    std::uint16_t locale = 0;
    const MpqBuilderFile* file = nullptr; // the latest given for this name and locale
};

struct StoredSettings {
    bool compress = true;
    bool encrypt = false;
    bool fixKey = false;
    bool singleUnit = false;
    bool sectorCrc = false;
};

// A name as the hash sees it ("ui/A.txt" and "UI\\a.txt" are one file).
std::string HashIdentity(const std::string& name) {
    std::string identity = name;
    for (char& c : identity) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (c == '/')
            c = '\\';
    }
    return identity;
}

bool SameNameIgnoringCase(const std::string& a, const char* b) {
    return HashIdentity(a) == HashIdentity(b);
}

// The temporary beside the target: a name nobody else uses, created new (never someone's file).
std::unique_ptr<archive_io::File> CreateTemporary(const fs::path& target, fs::path& temporary) {
    std::random_device device;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::uint64_t tag = (std::uint64_t{device()} << 32) | device();
        char hex[17];
        std::snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(tag));
        temporary = target.parent_path() / ("." + target.filename().string() + "." + hex + ".building");
        archive_io::IoFailure why = archive_io::IoFailure::None;
        if (auto file = archive_io::File::Open(temporary, archive_io::File::Mode::CreateNew, &why))
            return file;
        if (why != archive_io::IoFailure::Exists)
            return nullptr;
    }
    return nullptr;
}

// Streams blocks one after another into the archive file.
class BlockWriter {
public:
    BlockWriter(archive_io::File& file, std::uint64_t headerOffset, std::uint64_t firstBlock)
        : m_file(file), m_headerOffset(headerOffset), m_cursor(firstBlock) {}

    std::uint64_t Cursor() const { return m_cursor; }
    std::uint32_t Relative() const { return static_cast<std::uint32_t>(m_cursor - m_headerOffset); }

    // Stores content as name's block at the cursor; digest, when given, sees the plain bytes.
    bool Write(const std::string& name, std::span<const std::uint8_t> content, const StoredSettings& settings,
               std::uint16_t sectorSizeShift, mpq::BlockEntry& block, std::string& failure) {
        if (content.size() > kLargestArchive || m_cursor + content.size() > kLargestArchive) {
            failure = name + " does not fit in an archive below 4 GiB";
            return false;
        }
        mpq::FileEncoding encoding;
        encoding.fileSize = static_cast<std::uint32_t>(content.size());
        encoding.sectorSizeShift = sectorSizeShift;
        encoding.compress = settings.compress;
        encoding.singleUnit = settings.singleUnit;
        encoding.sectorCrc = settings.sectorCrc;
        encoding.encrypt = settings.encrypt;
        encoding.fixKey = settings.fixKey;
        encoding.name = name;
        encoding.blockOffset = Relative();
        std::uint64_t at = 0;
        mpq::FileEncoder encoder(encoding, [&](std::span<const std::uint8_t> bytes) {
            if (at + bytes.size() > kLargestArchive || !m_file.WriteAt(at, bytes))
                return false;
            at += bytes.size();
            return true;
        });
        at = m_cursor + encoder.TableSize();
        // Pieces of a sector's size, as a stream from disk would come; the encoder holds no more.
        const std::size_t piece = std::size_t{0x200} << sectorSizeShift;
        bool ok = true;
        for (std::size_t done = 0; ok && done < content.size(); done += piece)
            ok = encoder.Write(content.subspan(done, std::min(piece, content.size() - done)));
        ok = ok && encoder.Finish();
        if (ok && !encoder.Table().empty())
            ok = m_file.WriteAt(m_cursor, encoder.Table());
        if (!ok) {
            failure = name + ": " + (encoder.Failure().empty() ? "cannot write the archive" : encoder.Failure());
            return false;
        }
        block = {Relative(), encoder.StoredSize(), encoding.fileSize, encoder.Flags()};
        m_cursor += encoder.StoredSize();
        return true;
    }

private:
    archive_io::File& m_file;
    std::uint64_t m_headerOffset;
    std::uint64_t m_cursor;
};

// Everything but the rename: the archive written into file.
MpqBuildResult WriteArchive(archive_io::File& file, const std::vector<Entry>& entries,
                            const MpqBuilderOptions& options) {
    const auto formatVersion = static_cast<std::uint16_t>(options.formatVersion);
    const bool withAttributes = options.withAttributes && options.attributeFlags != 0;
    const std::uint32_t internalCount = (options.withListfile ? 1 : 0) + (withAttributes ? 1 : 0);
    const std::uint64_t entryCount = entries.size() + internalCount;
    const std::uint32_t hashTableSize =
        options.hashTableSize != 0 ? options.hashTableSize : mpq::HashTableSizeFor(entryCount + kSpareHashEntries);
    if (hashTableSize == 0 || hashTableSize > kLargestHashTable || entryCount > hashTableSize) {
        return Failed(std::to_string(entryCount) + " files do not fit a hash table of " +
                      std::to_string(hashTableSize) + " entries");
    }

    std::uint64_t headerOffset = 0;
    if (options.userDataSize > 0) {
        headerOffset = mpq::UserDataHeaderDistance(options.userDataSize);
        const auto userData = mpq::EncodeUserDataHeader(options.userDataSize);
        if (!file.WriteAt(0, userData))
            return Failed("cannot write the user data header");
        // The user data itself is zeros; written out, not left as a hole the platform may not fill.
        const std::vector<std::uint8_t> zeros(64 * 1024, 0);
        for (std::uint64_t at = userData.size(); at < headerOffset; at += zeros.size()) {
            const std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), headerOffset - at));
            if (!file.WriteAt(at, std::span(zeros).first(count)))
                return Failed("cannot write the user data");
        }
    }

    BlockWriter writer(file, headerOffset, headerOffset + mpq::HeaderSize(formatVersion));
    std::vector<mpq::BlockEntry> blocks;
    std::vector<mpq::PlainDigest> digests;
    std::string failure;
    for (const Entry& entry : entries) {
        const MpqBuilderFile& given = *entry.file;
        const StoredSettings settings{given.compress, given.encrypt, given.fixKey, given.singleUnit, given.sectorCrc};
        digests.emplace_back().Update(given.content);
        if (!writer.Write(entry.name, given.content, settings, options.sectorSizeShift, blocks.emplace_back(),
                          failure)) {
            return Failed(failure);
        }
    }
    // Internal files are sectored and compressed as StormLib stores them in format 0, encrypted
    // with the fix key when asked.
    const StoredSettings internal{true, options.encryptInternalFiles, options.encryptInternalFiles, false, false};
    if (options.withListfile) {
        std::vector<std::string> names;
        for (const Entry& entry : entries)
            names.push_back(entry.name);
        const std::vector<std::uint8_t> listfile = mpq::EncodeListfile(names);
        digests.emplace_back().Update(listfile);
        if (!writer.Write("(listfile)", listfile, internal, options.sectorSizeShift, blocks.emplace_back(), failure))
            return Failed(failure);
    }
    if (withAttributes) {
        // One entry per block, this file's own included and left zero, as StormLib leaves it (it
        // checks neither a zero CRC nor an all-zero MD5).
        mpq::Attributes attributes;
        attributes.flags = options.attributeFlags;
        attributes.entryCount = static_cast<std::uint32_t>(blocks.size() + 1);
        for (std::size_t i = 0; i <= blocks.size(); ++i) {
            const bool own = i == blocks.size();
            if ((attributes.flags & mpq::kAttributeCrc32) != 0)
                attributes.crc32.push_back(own ? 0 : digests[i].Crc32());
            if ((attributes.flags & mpq::kAttributeFileTime) != 0)
                attributes.fileTimes.push_back(own || i >= entries.size() ? 0 : entries[i].file->fileTime);
            if ((attributes.flags & mpq::kAttributeMd5) != 0)
                attributes.md5.push_back(own ? std::array<std::uint8_t, 16>{} : digests[i].Md5());
        }
        const auto bytes = mpq::EncodeAttributes(attributes);
        if (!bytes)
            return Failed("cannot encode (attributes)");
        if (!writer.Write("(attributes)", *bytes, internal, options.sectorSizeShift, blocks.emplace_back(), failure))
            return Failed(failure);
    }

    std::vector<mpq::HashEntry> hashes(hashTableSize);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const bool isInternal = i >= entries.size();
        const std::string name = !isInternal                                     ? entries[i].name
                                 : (options.withListfile && i == entries.size()) ? "(listfile)"
                                                                                 : "(attributes)";
        if (!mpq::InsertHashEntry(hashes, name, isInternal ? 0 : entries[i].locale, static_cast<std::uint32_t>(i)))
            return Failed("no hash table entry for " + name);
    }

    const std::uint64_t hashTableAt = writer.Cursor();
    const std::uint64_t blockTableAt = hashTableAt + std::uint64_t{hashTableSize} * mpq::kHashEntrySize;
    const std::uint64_t end = blockTableAt + blocks.size() * mpq::kBlockEntrySize;
    if (end > kLargestArchive)
        return Failed("the archive would pass 4 GiB");
    mpq::HeaderFields header;
    header.formatVersion = formatVersion;
    header.sectorSizeShift = options.sectorSizeShift;
    header.archiveSize = static_cast<std::uint32_t>(end - headerOffset);
    header.hashTableOffset = static_cast<std::uint32_t>(hashTableAt - headerOffset);
    header.blockTableOffset = static_cast<std::uint32_t>(blockTableAt - headerOffset);
    header.hashTableEntries = hashTableSize;
    header.blockTableEntries = static_cast<std::uint32_t>(blocks.size());
    if (!file.WriteAt(hashTableAt, mpq::EncodeHashTable(hashes)) ||
        !file.WriteAt(blockTableAt, mpq::EncodeBlockTable(blocks)) ||
        !file.WriteAt(headerOffset, mpq::EncodeHeader(header))) {
        return Failed("cannot write the tables");
    }
    return {true, {}};
}

} // namespace

MpqBuildResult CreateMpqArchive(const fs::path& path, const std::vector<MpqBuilderFile>& files,
                                const MpqBuilderOptions& options) {
    if (options.formatVersion != 0 && options.formatVersion != 1)
        return Failed("format version " + std::to_string(options.formatVersion) + " (0 or 1 are written)");
    if (options.sectorSizeShift < mpq::kSmallestSectorSizeShift ||
        options.sectorSizeShift > mpq::kLargestSectorSizeShift) {
        return Failed("sector size shift " + std::to_string(options.sectorSizeShift) + " outside 1 to 16");
    }
    if (options.hashTableSize != 0 &&
        ((options.hashTableSize & (options.hashTableSize - 1)) != 0 || options.hashTableSize > kLargestHashTable)) {
        return Failed("hash table size " + std::to_string(options.hashTableSize) + " is not a power of two to 2^20");
    }
    if ((options.attributeFlags & ~7u) != 0)
        return Failed("attribute flags beyond CRC32, file time and MD5");
    if (options.userDataSize > kLargestArchive / 2)
        return Failed("user data past 2 GiB");

    // One entry per name and locale, at its first place, with its last content.
    std::vector<Entry> entries;
    std::map<std::pair<std::string, std::uint16_t>, std::size_t> seen;
    for (const MpqBuilderFile& file : files) {
        std::optional<std::string> name = ArchiveNameFromText(file.address);
        if (!name)
            return Failed("a name that is not plain ASCII");
        if ((options.withListfile && SameNameIgnoringCase(*name, "(listfile)")) ||
            (options.withAttributes && options.attributeFlags != 0 && SameNameIgnoringCase(*name, "(attributes)"))) {
            return Failed(*name + " is written by the builder itself");
        }
        const auto [place, added] = seen.try_emplace({HashIdentity(*name), file.locale}, entries.size());
        if (added)
            entries.push_back({*name, file.locale, &file});
        else
            entries[place->second].file = &file;
    }

    fs::path temporary;
    std::unique_ptr<archive_io::File> file = CreateTemporary(path, temporary);
    if (!file)
        return Failed("cannot create a file beside " + path.string());
    MpqBuildResult result = WriteArchive(*file, entries, options);
    file.reset();
    if (result.ok && !durable::ReplaceFile(temporary, path))
        result = Failed("cannot put the archive at " + path.string());
    if (!result.ok)
        durable::RemoveFile(temporary);
    return result;
}

bool CreateMpqArchive(const fs::path& path, const std::vector<MpqBuilderFile>& files, int formatVersion,
                      bool withListfile, bool withAttributes) {
    MpqBuilderOptions options;
    options.formatVersion = formatVersion;
    options.withListfile = withListfile;
    options.withAttributes = withAttributes;
    return CreateMpqArchive(path, files, options).ok;
}
