// Our reader against StormLib, file by file: every entry StormLib names in an archive (its
// listfile's names, each locale) reads byte-identically through both, or ours refuses it with a
// reason the row expects. Inputs: the real archives of others, and archives StormLib makes here.
#include "archive/archive_file.h"
#include "archive/format/mpq_builder.h"
#include "archive/format/mpq_crypto.h"
#include "archive/format/mpq_reader.h"
#include "testkit/hostile_archives.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <StormLib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Comparison {
    std::optional<mpq::ReadError> archiveRefused; // our refusal of the whole archive
    bool stormOpened = false;
    int identical = 0;
    std::map<std::string, std::string> refused; // name -> our reason, where StormLib read it
    std::set<std::string> stormFailed;          // names StormLib could not read (ours may)
    std::vector<std::string> mismatches;        // read by both, different bytes or sizes
};

std::optional<std::vector<std::uint8_t>> OurRead(archive_io::File& file, const mpq::ArchiveTables& tables,
                                                 std::uint32_t hashIndex, const std::string& name,
                                                 mpq::ReadError& why) {
    std::unique_ptr<mpq::FileReader> reader = mpq::FileReader::Open(file, tables, hashIndex, name, &why);
    if (!reader)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(reader->Size());
    // Odd chunk sizes cross sector boundaries the way a caller's chunks do.
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 3001);
        if (!reader->Read(std::span(bytes).subspan(done, chunk), &why))
            return std::nullopt;
        done += chunk;
    }
    return bytes;
}

Comparison CompareWithStorm(const fs::path& path) {
    Comparison result;
    std::unique_ptr<archive_io::File> file = archive_io::File::Open(path, archive_io::File::Mode::Read);
    mpq::ReadError why = mpq::ReadError::None;
    const std::optional<mpq::ArchiveTables> tables = file ? mpq::ReadArchiveTables(*file, false, &why) : std::nullopt;
    if (!tables)
        result.archiveRefused = file ? why : mpq::ReadError::Io;

    HANDLE archive = nullptr;
    result.stormOpened = SFileOpenArchive(path.c_str(), 0, MPQ_OPEN_READ_ONLY, &archive);
    if (!result.stormOpened || !tables) {
        if (result.stormOpened)
            SFileCloseArchive(archive);
        return result;
    }
    SFILE_FIND_DATA found{};
    HANDLE find = SFileFindFirstFile(archive, "*", &found, nullptr);
    for (bool more = find != nullptr; more; more = SFileFindNextFile(find, &found)) {
        const std::string name = found.cFileName;
        // Entries the listfile does not name get made-up names; only real names are compared.
        if (found.dwHashIndex >= tables->hashes.size() ||
            tables->hashes[found.dwHashIndex].name1 != MpqHashString(name, 1))
            continue;
        const std::string key = name + " [" + std::to_string(found.lcLocale) + "]";
        const std::optional<std::vector<std::uint8_t>> theirs = testkit::StormReadEntry(archive, name, found.lcLocale);
        mpq::ReadError ourWhy = mpq::ReadError::None;
        const std::optional<std::vector<std::uint8_t>> ours = OurRead(*file, *tables, found.dwHashIndex, name, ourWhy);
        if (!theirs)
            result.stormFailed.insert(key);
        else if (!ours)
            result.refused[key] = mpq::ReadErrorText(ourWhy);
        else if (*ours != *theirs)
            result.mismatches.push_back(key);
        else
            ++result.identical;
    }
    if (find != nullptr)
        SFileFindClose(find);
    SFileCloseArchive(archive);
    return result;
}

std::string Describe(const Comparison& c) {
    std::string text = "identical " + std::to_string(c.identical);
    for (const auto& [name, reason] : c.refused)
        text += "\n  refused " + name + ": " + reason;
    for (const std::string& name : c.stormFailed)
        text += "\n  StormLib failed " + name;
    for (const std::string& name : c.mismatches)
        text += "\n  MISMATCH " + name;
    return text;
}

// A real archive and what our reader does with it.
struct RealRow {
    const char* file;
    std::optional<mpq::ReadError> archiveRefused;            // set: the whole archive is refused
    std::map<std::string, mpq::ReadError> refusedFiles = {}; // "name [locale]" -> reason
};

void PrintTo(const RealRow& row, std::ostream* out) {
    *out << row.file;
}

class RealArchiveReadTest : public ::testing::TestWithParam<RealRow> {};

TEST_P(RealArchiveReadTest, EveryFileReadsAsStormLibReadsIt) {
    const fs::path path = fs::path(REAL_DATA_DIR) / GetParam().file;
    if (!fs::exists(path))
        GTEST_SKIP() << "no real archives on this machine";
    const Comparison c = CompareWithStorm(path);
    SCOPED_TRACE(Describe(c));
    EXPECT_EQ(c.archiveRefused, GetParam().archiveRefused);
    if (GetParam().archiveRefused)
        return;
    ASSERT_TRUE(c.stormOpened);
    EXPECT_TRUE(c.mismatches.empty());
    std::map<std::string, std::string> expected;
    for (const auto& [name, reason] : GetParam().refusedFiles)
        expected[name] = mpq::ReadErrorText(reason);
    EXPECT_EQ(c.refused, expected);
    EXPECT_GT(c.identical, 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Archives, RealArchiveReadTest, ::testing::Values(
    RealRow{"TRPG4_Engine.w3x", std::nullopt},
    RealRow{"War3Net_BetaROC100_(4)LostTemple.w3m", std::nullopt},
    RealRow{"War3Net_Compressed_Decorated.w3x", std::nullopt},
    RealRow{"War3Net_DotF_v1.4.w3x", std::nullopt},
    RealRow{"War3Net_ExampleMap203.w3x", std::nullopt},
    // Its header lies about where the tables are, to keep editors out.
    RealRow{"War3Net_JurassicParkSurvivalEE_v6.4.w3x", mpq::ReadError::NoHeader},
    RealRow{"War3Net_TFT1.31_(2)Justice.w3x", std::nullopt},
    RealRow{"War3Net_Uncompressed_Undecorated.w3x", std::nullopt},
    RealRow{"bwapi_MapTest.scx", std::nullopt},
    RealRow{"bwapi_caps.mpq", std::nullopt},
    RealRow{"gowarcraft3_test.mpq", std::nullopt},
    RealRow{"gowarcraft3_test_tft.w3x", std::nullopt},
    RealRow{"hwar3_can_not_land.w3x", std::nullopt},
    // Format 3, of a later game.
    RealRow{"mpyq_last_sector_compression.s2ma", mpq::ReadError::BadHeader},
    RealRow{"mpyq_test.SC2Replay", std::nullopt}),
    [](const ::testing::TestParamInfo<RealRow>& info) {
        std::string name = info.param.file;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });
// clang-format on

// An archive StormLib makes here: one way of storing, applied to a few files of the game's kinds.
struct MadeRow {
    const char* name;
    int format;
    DWORD fileFlags;
    DWORD compression;
    std::optional<mpq::ReadError> refusal = std::nullopt; // every file StormLib packed is refused so
    DWORD sectorSize = 0x1000;
};

void PrintTo(const MadeRow& row, std::ostream* out) {
    *out << row.name;
}

// Builds the row's archive; names get the locales 0, and for the first name also 0x409 and 0x804.
bool MakeWithStorm(const fs::path& path, const MadeRow& row) {
    SFILE_CREATE_MPQ create = {};
    create.cbSize = sizeof(create);
    create.dwMpqVersion = static_cast<DWORD>(row.format);
    create.dwFileFlags1 = MPQ_FILE_DEFAULT_INTERNAL;
    create.dwFileFlags2 = MPQ_FILE_DEFAULT_INTERNAL;
    create.dwAttrFlags = MPQ_ATTRIBUTE_CRC32 | MPQ_ATTRIBUTE_FILETIME | MPQ_ATTRIBUTE_MD5;
    create.dwSectorSize = row.sectorSize;
    create.dwMaxFileCount = 16;
    HANDLE archive = nullptr;
    if (!SFileCreateArchive2(path.c_str(), &create, &archive))
        return false;
    struct Item {
        const char* name;
        LCID locale;
        std::vector<std::uint8_t> bytes;
    };
    const std::vector<Item> items = {
        {"UI\\FrameDef\\GlobalStrings.fdf", 0, testkit::PatternBytes(20000, 1)},
        {"UI\\FrameDef\\GlobalStrings.fdf", 0x409, testkit::PatternBytes(7000, 2)},
        {"UI\\FrameDef\\GlobalStrings.fdf", 0x804, testkit::PatternBytes(9000, 3)},
        {"Sound\\Music\\mp3Music\\Comradeship.mp3", 0, testkit::PatternBytes(9000, 4, false)},
        {"UI\\war3skins.txt", 0, testkit::Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.blp\r\n")},
        {"Fonts\\tiny.ttf", 0, testkit::Bytes("abcde")},
        {"empty.txt", 0, {}},
    };
    bool ok = true;
    for (const Item& item : items) {
        HANDLE file = nullptr;
        ok = ok && SFileCreateFile(archive, item.name, 0, static_cast<DWORD>(item.bytes.size()), item.locale,
                                   row.fileFlags | MPQ_FILE_REPLACEEXISTING, &file);
        if (file == nullptr)
            break;
        if (!item.bytes.empty())
            ok = ok && SFileWriteFile(file, item.bytes.data(), static_cast<DWORD>(item.bytes.size()), row.compression);
        ok = SFileFinishFile(file) && ok;
    }
    return SFileCloseArchive(archive) && ok;
}

class MadeArchiveReadTest : public ::testing::TestWithParam<MadeRow> {};

TEST_P(MadeArchiveReadTest, EveryFileReadsAsStormLibReadsIt) {
    testkit::TempDir dir;
    const fs::path path = dir / "made.mpq";
    ASSERT_TRUE(MakeWithStorm(path, GetParam()));
    const Comparison c = CompareWithStorm(path);
    SCOPED_TRACE(Describe(c));
    ASSERT_FALSE(c.archiveRefused.has_value());
    ASSERT_TRUE(c.stormOpened);
    EXPECT_TRUE(c.mismatches.empty());
    EXPECT_TRUE(c.stormFailed.empty());
    EXPECT_GT(c.identical, 0);
    if (!GetParam().refusal) {
        EXPECT_TRUE(c.refused.empty());
        return;
    }
    EXPECT_FALSE(c.refused.empty());
    for (const auto& [name, reason] : c.refused)
        EXPECT_EQ(reason, mpq::ReadErrorText(*GetParam().refusal)) << name;
}

constexpr DWORD kPacked = MPQ_FILE_COMPRESS;
constexpr DWORD kEncrypted = MPQ_FILE_COMPRESS | MPQ_FILE_ENCRYPTED;
constexpr DWORD kFixKey = MPQ_FILE_COMPRESS | MPQ_FILE_ENCRYPTED | MPQ_FILE_FIX_KEY;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Storings, MadeArchiveReadTest, ::testing::Values(
    MadeRow{"Format0Zlib", 0, kPacked, MPQ_COMPRESSION_ZLIB},
    MadeRow{"Format1Zlib", 1, kPacked, MPQ_COMPRESSION_ZLIB},
    MadeRow{"Format0Bzip2", 0, kPacked, MPQ_COMPRESSION_BZIP2},
    MadeRow{"Format1Bzip2", 1, kPacked, MPQ_COMPRESSION_BZIP2},
    MadeRow{"Format0Pkware", 0, kPacked, MPQ_COMPRESSION_PKWARE},
    MadeRow{"Format1Pkware", 1, kPacked, MPQ_COMPRESSION_PKWARE},
    MadeRow{"Format0PkwareThenZlib", 0, kPacked, MPQ_COMPRESSION_PKWARE | MPQ_COMPRESSION_ZLIB},
    MadeRow{"Format0PkwareThenBzip2", 0, kPacked, MPQ_COMPRESSION_PKWARE | MPQ_COMPRESSION_BZIP2},
    MadeRow{"Imploded", 0, MPQ_FILE_IMPLODE, MPQ_COMPRESSION_PKWARE},
    MadeRow{"Stored", 1, 0, 0},
    MadeRow{"Encrypted", 1, kEncrypted, MPQ_COMPRESSION_ZLIB},
    MadeRow{"EncryptedFixKey", 1, kFixKey, MPQ_COMPRESSION_ZLIB},
    MadeRow{"EncryptedStored", 1, MPQ_FILE_ENCRYPTED | MPQ_FILE_FIX_KEY, 0},
    MadeRow{"EncryptedImploded", 0, MPQ_FILE_IMPLODE | MPQ_FILE_ENCRYPTED, MPQ_COMPRESSION_PKWARE},
    MadeRow{"SingleUnit", 1, kPacked | MPQ_FILE_SINGLE_UNIT, MPQ_COMPRESSION_ZLIB},
    MadeRow{"SingleUnitStored", 1, MPQ_FILE_SINGLE_UNIT, 0},
    MadeRow{"SingleUnitFixKey", 1, kFixKey | MPQ_FILE_SINGLE_UNIT, MPQ_COMPRESSION_BZIP2},
    MadeRow{"SectorChecksums", 1, kPacked | MPQ_FILE_SECTOR_CRC, MPQ_COMPRESSION_ZLIB},
    MadeRow{"SectorChecksumsFixKey", 0, kFixKey | MPQ_FILE_SECTOR_CRC, MPQ_COMPRESSION_ZLIB},
    MadeRow{"SmallSectors", 0, kPacked | MPQ_FILE_SECTOR_CRC, MPQ_COMPRESSION_ZLIB, std::nullopt, 0x400},
    MadeRow{"LargeSectors", 1, kEncrypted, MPQ_COMPRESSION_ZLIB, std::nullopt, 0x20000},
    MadeRow{"Huffman", 0, kPacked, MPQ_COMPRESSION_HUFFMANN, mpq::ReadError::Huffman},
    MadeRow{"Adpcm", 0, kPacked, MPQ_COMPRESSION_ADPCM_MONO | MPQ_COMPRESSION_HUFFMANN, mpq::ReadError::Adpcm}),
    [](const ::testing::TestParamInfo<MadeRow>& info) { return std::string(info.param.name); });
// clang-format on

// The compressions StormLib cannot make here on demand, each refused for its own reason; a unit that
// does not decode to exactly its size is corrupt.
struct UnitRow {
    const char* name;
    std::vector<std::uint8_t> stored;
    std::uint32_t plainSize;
    std::uint16_t format;
    mpq::ReadError expected;
};

void PrintTo(const UnitRow& row, std::ostream* out) {
    *out << row.name;
}

class DecodeUnitTest : public ::testing::TestWithParam<UnitRow> {};

TEST_P(DecodeUnitTest, RefusesWithItsReason) {
    std::vector<std::uint8_t> stored = GetParam().stored;
    std::vector<std::uint8_t> out(GetParam().plainSize);
    EXPECT_EQ(mpq::DecodeUnit(stored, out, mpq::kFileCompress, GetParam().format), GetParam().expected);
}

std::vector<std::uint8_t> Unit(std::uint8_t mask, std::vector<std::uint8_t> body = {0x78, 0x01, 0x03, 0x00}) {
    body.insert(body.begin(), mask);
    return body;
}

// A zlib stream of 100 'a's behind the zlib mask.
const std::vector<std::uint8_t> kZlib100 = {0x02, 0x78, 0x9C, 0x4B, 0x4C, 0xA4, 0x3D,
                                            0x00, 0x00, 0x7A, 0x47, 0x25, 0xE5};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Masks, DecodeUnitTest, ::testing::Values(
    UnitRow{"Lzma", Unit(0x12), 64, 1, mpq::ReadError::Lzma},
    UnitRow{"Sparse", Unit(0x20), 64, 1, mpq::ReadError::Sparse},
    UnitRow{"SparseThenZlib", Unit(0x22), 64, 0, mpq::ReadError::Sparse},
    UnitRow{"Huffman", Unit(0x01), 64, 0, mpq::ReadError::Huffman},
    UnitRow{"AdpcmStereo", Unit(0x81), 64, 0, mpq::ReadError::Adpcm},
    UnitRow{"UnknownBit", Unit(0x04), 64, 0, mpq::ReadError::UnknownCompression},
    UnitRow{"ChainInFormat1", Unit(0x0A), 64, 1, mpq::ReadError::UnknownCompression},
    UnitRow{"ZlibExact", kZlib100, 100, 1, mpq::ReadError::None},
    UnitRow{"ZlibShortOfItsSize", kZlib100, 101, 1, mpq::ReadError::CorruptData},
    UnitRow{"ZlibPastItsSize", kZlib100, 99, 1, mpq::ReadError::CorruptData},
    UnitRow{"ZlibCut", {kZlib100.begin(), kZlib100.end() - 5}, 100, 1, mpq::ReadError::CorruptData},
    UnitRow{"BzipGarbage", Unit(0x10), 64, 1, mpq::ReadError::CorruptData}),
    [](const ::testing::TestParamInfo<UnitRow>& info) { return std::string(info.param.name); });
// clang-format on

// A packed single unit stored longer than its data: Storm decompresses it and fails, so our reader
// refuses it rather than hand out the stored bytes as the file.
TEST(SingleUnit, PackedAndStoredLongerThanItsDataIsRefused) {
    testkit::TempDir dir;
    const fs::path path = dir / "War3Patch.mpq";
    MpqBuilderFile skins{u"UI\\war3skins.txt", testkit::PatternBytes(3000, 5)};
    skins.singleUnit = true;
    // A file stored after it, so that a longer stored size still lies inside the archive.
    const MpqBuilderFile music{u"Sound\\Music\\mp3Music\\Mainscreen.mp3", testkit::PatternBytes(8000, 6, false)};
    ASSERT_TRUE(CreateMpqArchive(path, {skins, music}, 1));
    testkit::ArchiveEditor editor(testkit::ReadBytes(path));
    testkit::ArchiveEditor::Block& block = editor.BlockOf("UI\\war3skins.txt");
    ASSERT_LT(block.compressedSize, block.fileSize) << "the unit must be packed";
    for (const std::uint32_t stored : {block.fileSize, block.fileSize + 32}) {
        block.compressedSize = stored;
        testkit::WriteFile(path, editor.Bytes());
        const std::unique_ptr<archive_io::File> file = archive_io::File::Open(path, archive_io::File::Mode::Read);
        const std::optional<mpq::ArchiveTables> tables = mpq::ReadArchiveTables(*file, true);
        ASSERT_TRUE(tables.has_value());
        mpq::ReadError why = mpq::ReadError::None;
        const auto entry = mpq::FindGameEntry(*tables, "UI\\war3skins.txt");
        ASSERT_TRUE(entry.has_value());
        const bool opened = mpq::FileReader::Open(*file, *tables, *entry, "UI\\war3skins.txt", &why) != nullptr;
        // Stored at its size it is taken plain, as Storm takes it; longer, it is refused.
        EXPECT_EQ(opened, stored == block.fileSize) << stored;
        if (!opened) {
            EXPECT_EQ(why, mpq::ReadError::CorruptData);
        }
    }
}

} // namespace
