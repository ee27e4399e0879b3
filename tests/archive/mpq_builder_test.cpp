// The archive builder and the format's writing pieces, judged by StormLib and smpq: every archive
// we write opens, every file reads back byte for byte in its locale and passes SFileVerifyFile's
// sector, CRC32 and MD5 checks; what StormLib writes of (listfile) and (attributes) is what we write.
#include "archive/format/mpq_encode.h"
#include "archive/format/mpq_builder.h"
#include "archive/door/mpq_layout.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <StormLib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <zlib.h>

namespace fs = std::filesystem;
using testkit::Bytes;
using testkit::PatternBytes;

namespace {

constexpr std::uint32_t kAllAttributes = mpq::kAttributeCrc32 | mpq::kAttributeFileTime | mpq::kAttributeMd5;

// Table rows print and name themselves by their name.
template <typename Row>
requires requires(Row row) {
    row.name;
}
void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

template <typename Row> std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

std::string Narrow(const std::u16string& address) {
    return {address.begin(), address.end()};
}

// A game text file several 4 KiB sectors long, a sector of noise, a small file and an empty one.
std::vector<MpqBuilderFile> BaseFiles() {
    return {
        {u"UI\\FrameDef\\GlobalStrings.fdf", PatternBytes(13000, 3)},
        {u"Sound\\Music\\mp3Music\\Mainscreen.mp3", PatternBytes(9000, 7, false)},
        {u"UI\\war3skins.txt", Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n")},
        {u"empty.txt", {}},
    };
}

std::vector<MpqBuilderFile> Each(std::vector<MpqBuilderFile> files, void (*change)(MpqBuilderFile&)) {
    for (MpqBuilderFile& file : files)
        change(file);
    return files;
}

MpqBuilderOptions Options(int formatVersion, void (*change)(MpqBuilderOptions&) = nullptr) {
    MpqBuilderOptions options;
    options.formatVersion = formatVersion;
    if (change != nullptr)
        change(options);
    return options;
}

struct BuildCase {
    const char* name;
    MpqBuilderOptions options;
    std::vector<MpqBuilderFile> files;
};

std::vector<BuildCase> BuildCases() {
    std::vector<MpqBuilderFile> locales = BaseFiles();
    for (std::uint16_t locale : {0x407, 0x409, 0x804})
        locales.push_back({u"UI\\war3skins.txt", Bytes("[Human] " + std::to_string(locale)), true, locale});
    std::vector<MpqBuilderFile> replaced = BaseFiles();
    replaced.push_back({u"ui/WAR3SKINS.TXT", PatternBytes(5000, 9)});
    std::vector<MpqBuilderFile> mixed = BaseFiles();
    mixed[0].encrypt = mixed[0].fixKey = mixed[0].sectorCrc = true;
    mixed[1].compress = false;
    mixed[1].encrypt = true;
    mixed[2].singleUnit = mixed[2].encrypt = mixed[2].fixKey = true;
    mixed.push_back({u"Units\\random.bin", PatternBytes(40000, 5, false), true, 0x804, true, true, false, true});
    // clang-format off
    return {
        {"Format0", Options(0), BaseFiles()},
        {"Format1", Options(1), BaseFiles()},
        {"NoListfileNoAttributes", Options(1, [](auto& o) { o.withListfile = o.withAttributes = false; }), BaseFiles()},
        {"NoAttributes", Options(0, [](auto& o) { o.withAttributes = false; }), BaseFiles()},
        {"AttributesCrc", Options(1, [](auto& o) { o.attributeFlags = 1; }), BaseFiles()},
        {"AttributesCrcTime", Options(0, [](auto& o) { o.attributeFlags = 3; }), Each(BaseFiles(), [](auto& f) { f.fileTime = 0x01D2A4B5C6D7E8F9 + f.content.size(); })},
        {"AttributesAllWithTimes", Options(1), Each(BaseFiles(), [](auto& f) { f.fileTime = 0x01C0000000000000 + f.content.size(); })},
        {"Encrypted", Options(1), Each(BaseFiles(), [](auto& f) { f.encrypt = true; })},
        {"FixKey", Options(0), Each(BaseFiles(), [](auto& f) { f.encrypt = f.fixKey = true; })},
        {"SingleUnit", Options(1), Each(BaseFiles(), [](auto& f) { f.singleUnit = true; })},
        {"SingleUnitEncryptedFormat0", Options(0), Each(BaseFiles(), [](auto& f) { f.singleUnit = f.encrypt = f.fixKey = true; })},
        {"SectorCrc", Options(1), Each(BaseFiles(), [](auto& f) { f.sectorCrc = true; })},
        {"SectorCrcEncrypted", Options(0), Each(BaseFiles(), [](auto& f) { f.sectorCrc = f.encrypt = f.fixKey = true; })},
        {"Uncompressed", Options(1), Each(BaseFiles(), [](auto& f) { f.compress = false; f.sectorCrc = true; })},
        {"UncompressedEncrypted", Options(0), Each(BaseFiles(), [](auto& f) { f.compress = false; f.encrypt = f.fixKey = true; })},
        {"Locales", Options(1), locales},
        {"ReplacedFile", Options(0), replaced},
        {"Sectors1K", Options(0, [](auto& o) { o.sectorSizeShift = 1; }), Each(BaseFiles(), [](auto& f) { f.sectorCrc = f.encrypt = true; })},
        {"Sectors64K", Options(1, [](auto& o) { o.sectorSizeShift = 7; }), Each(BaseFiles(), [](auto& f) { f.sectorCrc = f.encrypt = f.fixKey = true; })},
        {"UserDataHeaderAt512", Options(1, [](auto& o) { o.userDataSize = 496; }), BaseFiles()},
        {"UserDataHeaderAt1024Format0", Options(0, [](auto& o) { o.userDataSize = 512; }), Each(BaseFiles(), [](auto& f) { f.encrypt = f.fixKey = true; })},
        {"InternalFilesEncrypted", Options(0, [](auto& o) { o.encryptInternalFiles = true; }), BaseFiles()},
        {"InternalFilesEncryptedFormat1", Options(1, [](auto& o) { o.encryptInternalFiles = true; o.attributeFlags = 5; }), BaseFiles()},
        {"FullHashTable", Options(1, [](auto& o) { o.hashTableSize = 8; }), {BaseFiles()[0], BaseFiles()[1], BaseFiles()[2], BaseFiles()[3], {u"a", Bytes("a")}, {u"b", Bytes("b")}}},
        {"Mixed", Options(0, [](auto& o) { o.encryptInternalFiles = true; }), mixed},
        {"NoFiles", Options(1), {}},
    };
    // clang-format on
}

// What each name and locale must read as: the last file given for it.
struct Expected {
    std::string name;
    const MpqBuilderFile* file;
};

std::vector<Expected> ExpectedFiles(const std::vector<MpqBuilderFile>& files) {
    std::map<std::pair<std::string, std::uint16_t>, std::size_t> index;
    std::vector<Expected> expected;
    for (const MpqBuilderFile& file : files) {
        std::string key = Narrow(file.address);
        for (char& c : key)
            c = c == '/' ? '\\' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const auto [place, added] = index.try_emplace({key, file.locale}, expected.size());
        if (added)
            expected.push_back({Narrow(file.address), &file});
        else
            expected[place->second].file = &file;
    }
    return expected;
}

// The flags StormLib must report for a file: what was asked, where it applies.
DWORD ExpectedFlags(const MpqBuilderFile& file) {
    DWORD flags = MPQ_FILE_EXISTS | (file.compress ? MPQ_FILE_COMPRESS : 0);
    if (file.encrypt)
        flags |= MPQ_FILE_ENCRYPTED | (file.fixKey ? MPQ_FILE_FIX_KEY : 0);
    if (file.singleUnit)
        flags |= MPQ_FILE_SINGLE_UNIT;
    else if (file.sectorCrc && file.compress && !file.content.empty())
        flags |= MPQ_FILE_SECTOR_CRC;
    return flags;
}

class BuildTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildTest, StormLibReadsAndVerifiesEveryFile) {
    const BuildCase& row = GetParam();
    testkit::TempDir dir;
    const fs::path path = dir / "built.mpq";
    const MpqBuildResult built = CreateMpqArchive(path, row.files, row.options);
    ASSERT_TRUE(built.ok) << built.failure;
    const std::vector<std::uint8_t> archive = testkit::ReadBytes(path);
    const std::size_t headerAt =
        row.options.userDataSize == 0 ? 0 : mpq::UserDataHeaderDistance(row.options.userDataSize);
    ASSERT_GT(archive.size(), headerAt + 16);
    EXPECT_EQ(std::string(archive.begin() + headerAt, archive.begin() + headerAt + 4), "MPQ\x1A");
    EXPECT_EQ(archive[headerAt + 12], row.options.formatVersion);

    const std::vector<Expected> expected = ExpectedFiles(row.files);
    std::vector<std::string> names;
    for (const Expected& file : expected)
        names.push_back(file.name);
    EXPECT_TRUE(ReadMpqLayout(path, names).has_value()) << "our reader refuses it";

    const bool withAttributes = row.options.withAttributes && row.options.attributeFlags != 0;
    const DWORD attributes = withAttributes ? row.options.attributeFlags : 0;
    HANDLE mpq = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), 0, MPQ_OPEN_READ_ONLY, &mpq));
    EXPECT_EQ(SFileGetAttributes(mpq), attributes);
    for (const Expected& want : expected) {
        const MpqBuilderFile& file = *want.file;
        const std::string where = want.name + " in locale " + std::to_string(file.locale);
        SFileSetLocale(file.locale);
        HANDLE handle = nullptr;
        ASSERT_TRUE(SFileOpenFileEx(mpq, want.name.c_str(), SFILE_OPEN_FROM_MPQ, &handle)) << where;
        std::vector<std::uint8_t> read(file.content.size() + 1);
        DWORD count = 0;
        SFileReadFile(handle, read.data(), static_cast<DWORD>(read.size()), &count, nullptr);
        read.resize(count);
        EXPECT_EQ(read, file.content) << where;
        DWORD flags = 0;
        DWORD locale = 0;
        ULONGLONG fileTime = 0;
        EXPECT_TRUE(SFileGetFileInfo(handle, SFileInfoFlags, &flags, sizeof(flags), nullptr));
        EXPECT_TRUE(SFileGetFileInfo(handle, SFileInfoLocale, &locale, sizeof(locale), nullptr));
        EXPECT_TRUE(SFileGetFileInfo(handle, SFileInfoFileTime, &fileTime, sizeof(fileTime), nullptr));
        EXPECT_EQ(flags, ExpectedFlags(file)) << where;
        EXPECT_EQ(locale, file.locale) << where;
        EXPECT_EQ(fileTime, (attributes & mpq::kAttributeFileTime) != 0 ? file.fileTime : 0) << where;
        SFileCloseFile(handle);

        // The checks must have run, not only found nothing wrong.
        const DWORD verified = SFileVerifyFile(mpq, want.name.c_str(), SFILE_VERIFY_ALL);
        EXPECT_EQ(verified & VERIFY_FILE_ERROR_MASK, 0u) << where;
        const bool crcKnown = crc32(0, file.content.data(), static_cast<uInt>(file.content.size())) != 0;
        EXPECT_EQ((verified & VERIFY_FILE_HAS_CHECKSUM) != 0, (attributes & mpq::kAttributeCrc32) != 0 && crcKnown)
            << where;
        EXPECT_EQ((verified & VERIFY_FILE_HAS_MD5) != 0, (attributes & mpq::kAttributeMd5) != 0) << where;
        EXPECT_EQ((verified & VERIFY_FILE_HAS_SECTOR_CRC) != 0, (ExpectedFlags(file) & MPQ_FILE_SECTOR_CRC) != 0)
            << where;
    }
    SFileSetLocale(0);
    for (const char* internal : {"(listfile)", "(attributes)"}) {
        const bool present = std::string(internal) == "(listfile)" ? row.options.withListfile : withAttributes;
        EXPECT_EQ(SFileHasFile(mpq, internal), present) << internal;
        if (present) {
            EXPECT_EQ(SFileVerifyFile(mpq, internal, SFILE_VERIFY_ALL) & VERIFY_FILE_ERROR_MASK, 0u) << internal;
        }
    }
    EXPECT_EQ(SFileVerifyArchive(mpq), static_cast<DWORD>(ERROR_NO_SIGNATURE));
    SFileCloseArchive(mpq);

    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not found";
    // smpq lists and extracts what a neutral lookup finds: one line per name.
    std::set<std::string> listed;
    for (const Expected& want : expected) {
        if (want.file->locale != 0)
            continue;
        std::string shown = want.name;
        std::replace(shown.begin(), shown.end(), '\\', '/');
        listed.insert(shown);
        EXPECT_EQ(testkit::SmpqExtract(path, want.name), want.file->content) << want.name;
    }
    if (row.options.withListfile) {
        EXPECT_EQ(testkit::SmpqList(path), std::vector<std::string>(listed.begin(), listed.end()));
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, BuildTest, ::testing::ValuesIn(BuildCases()), RowName<BuildCase>);

// Builds that must fail: nothing is left at the path but what was there, and nothing beside it.
struct RefusedCase {
    const char* name;
    MpqBuilderOptions options;
    std::vector<MpqBuilderFile> files;
};

class RefusedBuildTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedBuildTest, LeavesTheOldFileAndNothingElse) {
    testkit::TempDir dir;
    const fs::path path = dir / "War3Patch.mpq";
    testkit::WriteFile(path, "the old archive");
    const MpqBuildResult built = CreateMpqArchive(path, GetParam().files, GetParam().options);
    EXPECT_FALSE(built.ok);
    EXPECT_FALSE(built.failure.empty());
    EXPECT_EQ(testkit::ReadBytes(path), Bytes("the old archive"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Builds, RefusedBuildTest, ::testing::Values(
    RefusedCase{"SectorShift0", Options(1, [](auto& o) { o.sectorSizeShift = 0; }), BaseFiles()},
    RefusedCase{"SectorShift17", Options(1, [](auto& o) { o.sectorSizeShift = 17; }), BaseFiles()},
    RefusedCase{"FormatVersion2", Options(2), BaseFiles()},
    RefusedCase{"PatchBitAttribute", Options(1, [](auto& o) { o.attributeFlags = 9; }), BaseFiles()},
    RefusedCase{"HashTableTooSmall", Options(1, [](auto& o) { o.hashTableSize = 4; }), BaseFiles()},
    RefusedCase{"HashTableNotAPowerOfTwo", Options(1, [](auto& o) { o.hashTableSize = 12; }), BaseFiles()},
    RefusedCase{"NameNotAscii", Options(1), {{u"UI\\w\u00e4r3skins.txt", Bytes("x")}}},
    RefusedCase{"ListfileGivenWhileWritten", Options(0), {{u"(Listfile)", Bytes("x\r\n")}}}),
    RowName<RefusedCase>);
// clang-format on

// StormLib's own (listfile) and (attributes) for the same files, added in the same order with the
// same times: ours must be the same bytes (names sorted by strcasecmp, CRC and MD5 of (listfile)
// filled in, the (attributes) entry zero).
TEST(BuilderAgainstStormLib, ListfileAndAttributesAreStormLibsBytes) {
    const std::vector<MpqBuilderFile> files = {
        {u"b.txt", Bytes("b"), true, 0, false, false, false, false, 0x01D0000000000001},
        {u"AB.txt", PatternBytes(10000, 1), true, 0, false, false, false, false, 0x01D0000000000002},
        {u"a_c.txt", PatternBytes(3000, 2, false), true, 0, false, false, false, false, 0x01D0000000000003},
        {u"Z\\d.txt", Bytes("d"), true, 0x407, false, false, false, false, 0x01D0000000000004},
    };
    testkit::TempDir dir;
    SFILE_CREATE_MPQ create = {};
    create.cbSize = sizeof(create);
    create.dwMpqVersion = MPQ_FORMAT_VERSION_2;
    create.dwFileFlags1 = create.dwFileFlags2 = MPQ_FILE_DEFAULT_INTERNAL;
    create.dwAttrFlags = kAllAttributes;
    create.dwSectorSize = 0x1000;
    create.dwMaxFileCount = static_cast<DWORD>(files.size() + 2);
    HANDLE storm = nullptr;
    ASSERT_TRUE(SFileCreateArchive2((dir / "storm.mpq").c_str(), &create, &storm));
    for (const MpqBuilderFile& file : files) {
        HANDLE handle = nullptr;
        ASSERT_TRUE(SFileCreateFile(storm, Narrow(file.address).c_str(), file.fileTime,
                                    static_cast<DWORD>(file.content.size()), file.locale, MPQ_FILE_COMPRESS, &handle));
        EXPECT_TRUE(
            SFileWriteFile(handle, file.content.data(), static_cast<DWORD>(file.content.size()), MPQ_COMPRESSION_ZLIB));
        EXPECT_TRUE(SFileFinishFile(handle));
    }
    ASSERT_TRUE(SFileCloseArchive(storm));
    ASSERT_TRUE(CreateMpqArchive(dir / "ours.mpq", files, Options(1)).ok);

    auto internalFile = [](const fs::path& path, const char* name) {
        HANDLE mpq = nullptr;
        HANDLE handle = nullptr;
        std::vector<std::uint8_t> bytes(1 << 16);
        DWORD count = 0;
        if (SFileOpenArchive(path.c_str(), 0, MPQ_OPEN_READ_ONLY, &mpq) && SFileOpenFileEx(mpq, name, 0, &handle)) {
            SFileReadFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr);
            SFileCloseFile(handle);
        }
        SFileCloseArchive(mpq);
        bytes.resize(count);
        return bytes;
    };
    const std::vector<std::uint8_t> listfile = internalFile(dir / "ours.mpq", "(listfile)");
    EXPECT_EQ(std::string(listfile.begin(), listfile.end()), "a_c.txt\r\nAB.txt\r\nb.txt\r\nZ\\d.txt\r\n");
    EXPECT_EQ(listfile, internalFile(dir / "storm.mpq", "(listfile)"));
    const std::vector<std::uint8_t> attributes = internalFile(dir / "ours.mpq", "(attributes)");
    EXPECT_EQ(attributes.size(), 8u + 6 * 28);
    EXPECT_EQ(attributes, internalFile(dir / "storm.mpq", "(attributes)"));
}

// ---------------------------------------------------------------------------------------------
// (attributes) decoded from untrusted bytes.

std::vector<std::uint8_t> EncodedAttributes(std::uint32_t flags, std::uint32_t entries) {
    mpq::Attributes attributes;
    attributes.flags = flags;
    attributes.entryCount = entries;
    for (std::uint32_t i = 0; i < entries; ++i) {
        if ((flags & mpq::kAttributeCrc32) != 0)
            attributes.crc32.push_back(0x11111111 * (i + 1));
        if ((flags & mpq::kAttributeFileTime) != 0)
            attributes.fileTimes.push_back(0x0123456789ABCDEF + i);
        if ((flags & mpq::kAttributeMd5) != 0)
            attributes.md5.push_back({static_cast<std::uint8_t>(i), 0xA5});
    }
    return mpq::EncodeAttributes(attributes).value();
}

std::vector<std::uint8_t> With(std::vector<std::uint8_t> bytes, std::size_t at, std::vector<std::uint8_t> put) {
    bytes.resize(std::max(bytes.size(), at + put.size()));
    std::copy(put.begin(), put.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return bytes;
}

struct AttributesCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::uint32_t blockCount;
    std::optional<std::uint32_t> entries; // nullopt: refused
    std::vector<bool> patch = {};
};

class AttributesDecodeTest : public ::testing::TestWithParam<AttributesCase> {};

TEST_P(AttributesDecodeTest, AcceptsWhatStormLibLoadsAndRefusesTheRest) {
    const AttributesCase& row = GetParam();
    const mpq::AttributesDecoding decoded = mpq::DecodeAttributes(row.bytes, row.blockCount);
    ASSERT_EQ(decoded.attributes.has_value(), row.entries.has_value()) << decoded.refusal;
    if (!row.entries) {
        EXPECT_FALSE(decoded.refusal.empty());
        return;
    }
    const mpq::Attributes& attributes = *decoded.attributes;
    EXPECT_EQ(attributes.entryCount, *row.entries);
    EXPECT_EQ(attributes.patch, row.patch);
    // The arrays read back as they were encoded, whatever the entry count.
    const std::uint32_t arrays = attributes.flags & kAllAttributes;
    const std::vector<std::uint8_t> again = EncodedAttributes(arrays, *row.entries);
    const mpq::Attributes expected = mpq::DecodeAttributes(again, *row.entries).attributes.value();
    EXPECT_EQ(attributes.crc32, expected.crc32);
    EXPECT_EQ(attributes.fileTimes, expected.fileTimes);
    EXPECT_EQ(attributes.md5, expected.md5);
    if (arrays == attributes.flags) {
        EXPECT_EQ(again, row.bytes);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Attributes, AttributesDecodeTest, ::testing::Values(
    AttributesCase{"Crc", EncodedAttributes(1, 5), 5, 5},
    AttributesCase{"CrcTime", EncodedAttributes(3, 5), 5, 5},
    AttributesCase{"CrcTimeMd5", EncodedAttributes(7, 5), 5, 5},
    AttributesCase{"NoArrays", EncodedAttributes(0, 0), 70000, 70000},
    AttributesCase{"OneEntryShort", EncodedAttributes(7, 4), 5, 4},
    AttributesCase{"Truncated", [] { auto b = EncodedAttributes(7, 5); b.pop_back(); return b; }(), 5, std::nullopt},
    AttributesCase{"HeaderCut", [] { auto b = EncodedAttributes(1, 1); b.resize(7); return b; }(), 1, std::nullopt},
    AttributesCase{"Empty", {}, 0, std::nullopt},
    AttributesCase{"Version101", With(EncodedAttributes(1, 5), 0, {101}), 5, std::nullopt},
    AttributesCase{"UnknownFlag", With(EncodedAttributes(1, 5), 4, {0x11}), 5, std::nullopt},
    AttributesCase{"MoreBlocksThanEntries", EncodedAttributes(7, 5), 7, std::nullopt},
    AttributesCase{"FewerBlocksThanEntries", EncodedAttributes(7, 5), 3, std::nullopt},
    AttributesCase{"HugeBlockCount", EncodedAttributes(1, 5), 0xFFFFFFFF, std::nullopt},
    AttributesCase{"PatchBits", With(With(EncodedAttributes(1, 5), 4, {9}), 28, {0xA8}), 5, 5, {true, false, true, false, true}},
    // (blocks + 6) / 8 bytes for 9 blocks: one byte, which StormLib does not read.
    AttributesCase{"PatchBitsShortAt9Blocks", With(With(EncodedAttributes(1, 9), 4, {9}), 44, {0xFF}), 9, 9, std::vector<bool>(9, false)},
    AttributesCase{"PatchBitsOneEntryShort", With(With(EncodedAttributes(1, 8), 4, {9}), 40, {0x81}), 9, 8, {true, false, false, false, false, false, false, true}},
    AttributesCase{"PatchBitsMissing", With(EncodedAttributes(1, 5), 4, {9}), 5, 5, std::vector<bool>(5, false)},
    AttributesCase{"PatchWords", With(With(EncodedAttributes(1, 5), 4, {9}), 28, std::vector<std::uint8_t>(20, 0xFF)), 5, 5, std::vector<bool>(5, false)}),
    RowName<AttributesCase>);
// clang-format on

TEST(AttributesEncode, RefusesUnknownFlagsAndArraysOfTheWrongSize) {
    mpq::Attributes attributes;
    attributes.flags = mpq::kAttributeCrc32 | mpq::kAttributePatchBit;
    EXPECT_FALSE(mpq::EncodeAttributes(attributes).has_value());
    attributes.flags = mpq::kAttributeCrc32;
    attributes.entryCount = 2;
    attributes.crc32 = {1};
    EXPECT_FALSE(mpq::EncodeAttributes(attributes).has_value());
}

// ---------------------------------------------------------------------------------------------
// The file encoder in pieces, and hash slots.

struct Encoded {
    std::vector<std::uint8_t> stream;
    std::vector<std::uint8_t> table;
    std::uint32_t flags = 0;
    std::uint32_t storedSize = 0;
    bool operator==(const Encoded&) const = default;
};

Encoded Encode(const mpq::FileEncoding& encoding, const std::vector<std::uint8_t>& content, std::size_t piece) {
    Encoded out;
    mpq::FileEncoder encoder(encoding, [&](std::span<const std::uint8_t> bytes) {
        out.stream.insert(out.stream.end(), bytes.begin(), bytes.end());
        return true;
    });
    for (std::size_t at = 0; at < content.size(); at += piece)
        EXPECT_TRUE(encoder.Write(std::span(content).subspan(at, std::min(piece, content.size() - at))));
    EXPECT_TRUE(encoder.Finish()) << encoder.Failure();
    EXPECT_EQ(encoder.TableSize(), encoder.Table().size());
    out.table.assign(encoder.Table().begin(), encoder.Table().end());
    out.flags = encoder.Flags();
    out.storedSize = encoder.StoredSize();
    return out;
}

struct EncoderCase {
    const char* name;
    mpq::FileEncoding encoding;
};

class FileEncoderTest : public ::testing::TestWithParam<EncoderCase> {};

TEST_P(FileEncoderTest, PiecesOfAnySizeGiveTheSameBlock) {
    const std::vector<std::uint8_t> content = PatternBytes(3 * 4096 + 100, 4);
    mpq::FileEncoding encoding = GetParam().encoding;
    encoding.fileSize = static_cast<std::uint32_t>(content.size());
    const Encoded whole = Encode(encoding, content, content.size());
    EXPECT_EQ(whole.storedSize, whole.table.size() + whole.stream.size());
    for (std::size_t piece : {1, 7, 4095, 4097})
        EXPECT_EQ(Encode(encoding, content, piece), whole) << "pieces of " << piece;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Encodings, FileEncoderTest, ::testing::Values(
    EncoderCase{"Compressed", {}},
    EncoderCase{"CrcEncryptedFixKey", {.sectorCrc = true, .encrypt = true, .fixKey = true, .name = "a\\b.txt", .blockOffset = 0x44}},
    EncoderCase{"SingleUnitEncrypted", {.singleUnit = true, .encrypt = true, .name = "b.txt"}},
    EncoderCase{"RawEncrypted", {.compress = false, .encrypt = true, .name = "c.txt"}}),
    RowName<EncoderCase>);
// clang-format on

TEST(FileEncoder, RefusesWrongSizesAndStopsWhenTheSinkFails) {
    const std::vector<std::uint8_t> content = PatternBytes(10000, 6, false);
    std::size_t taken = 0;
    mpq::FileEncoder failing({.fileSize = 10000}, [&](std::span<const std::uint8_t> bytes) {
        taken += bytes.size();
        return taken <= 5000;
    });
    EXPECT_FALSE(failing.Write(content));
    EXPECT_FALSE(failing.Failure().empty());
    EXPECT_FALSE(failing.Finish());

    auto ignore = [](std::span<const std::uint8_t>) { return true; };
    mpq::FileEncoder longer({.fileSize = 10}, ignore);
    EXPECT_FALSE(longer.Write(std::span(content).first(11)));
    mpq::FileEncoder shorter({.fileSize = 10}, ignore);
    EXPECT_TRUE(shorter.Write(std::span(content).first(9)));
    EXPECT_FALSE(shorter.Finish());
}

TEST(HashSlots, InsertAndFindFollowOneChain) {
    const std::vector<std::string> names = {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"};
    std::vector<mpq::HashEntry> table(4);
    for (std::uint32_t i = 0; i < 4; ++i)
        ASSERT_TRUE(mpq::InsertHashEntry(table, names[i], 0, i).has_value()) << names[i];
    EXPECT_FALSE(mpq::InsertHashEntry(table, names[4], 0, 4).has_value()) << "a full table";

    // A deleted slot is passed by lookups and taken again by the next insert.
    const std::uint32_t freed = mpq::FindHashEntry(table, names[0], 0).value();
    table[freed].blockIndex = mpq::kHashDeleted;
    EXPECT_FALSE(mpq::FindHashEntry(table, names[0], 0).has_value());
    EXPECT_EQ(mpq::InsertHashEntry(table, names[4], 0, 4), freed);
    for (std::uint32_t i = 1; i < 5; ++i)
        EXPECT_EQ(table[mpq::FindHashEntry(table, names[i], 0).value()].blockIndex, i) << names[i];

    std::vector<mpq::HashEntry> roomy(8);
    ASSERT_TRUE(mpq::InsertHashEntry(roomy, "x.txt", 0x407, 0));
    EXPECT_FALSE(mpq::InsertHashEntry(roomy, "X.TXT", 0x407, 1).has_value()) << "the same name and locale twice";
    EXPECT_TRUE(mpq::InsertHashEntry(roomy, "X.TXT", 0x409, 1).has_value());
    EXPECT_FALSE(mpq::FindHashEntry(roomy, "x.txt", 0).has_value());
    std::vector<mpq::HashEntry> uneven(6);
    EXPECT_FALSE(mpq::InsertHashEntry(uneven, "x.txt", 0, 0).has_value());
}

} // namespace
