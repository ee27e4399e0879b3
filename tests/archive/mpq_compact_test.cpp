// Compaction against StormLib: archives StormLib makes here (holes, fix-key files named and not,
// signatures, map headers, trailing bytes) and the real archives of others are compacted, and every
// file StormLib lists in the input reads the same from the result and verifies no worse.
#include "archive/format/mpq_compact.h"
#include "archive/format/mpq_crypto.h"
#include "archive/format/mpq_encode.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <StormLib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

enum class Prefix { None, MapHeader, UserData };
enum class Damage { None, SectorTable, Attributes, Orphan, Shared };

struct Row {
    const char* name;
    DWORD format;
    DWORD flags;          // of every user file
    bool listfile = true; // without it, no name is known
    DWORD attributes = 7; // MPQ_ATTRIBUTE_* kept, 0 for no (attributes)
    Prefix prefix = Prefix::None;
    bool sign = false;
    bool trailer = false; // a strong signature block after the archive
    bool big = false;     // a file of more than one copy chunk
    bool holes = true;    // a file removed and one replaced
    Damage damage = Damage::None;
    const char* refusal = nullptr; // expected in the refusal's text; null: compaction succeeds
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

struct Item {
    const char* name;
    LCID locale;
    Bytes bytes;
};

std::vector<Item> Items(bool big) {
    std::vector<Item> items = {
        {"war3map.j", 0, testkit::PatternBytes(20000, 1)},
        {"war3map.j", 0x409, testkit::PatternBytes(7000, 2)},
        {"war3map.j", 0x804, testkit::PatternBytes(9000, 3)},
        {"removed.bin", 0, testkit::PatternBytes(30000, 4, false)},
        {"Units\\Footman.mdx", 0, testkit::PatternBytes(70000, 5, false)},
        {"replaced.txt", 0, testkit::PatternBytes(15000, 6)},
        {"UI\\war3skins.txt", 0, testkit::Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.blp\r\n")},
        {"Fonts\\tiny.ttf", 0, testkit::Bytes("abcde")},
        {"empty.txt", 0, {}},
    };
    if (big)
        items.push_back({"Movies\\intro.bin", 0, testkit::PatternBytes(1300000, 7, false)});
    return items;
}

bool AddFile(HANDLE archive, const Item& item, DWORD flags) {
    HANDLE file = nullptr;
    const DWORD compression = (flags & MPQ_FILE_IMPLODE) != 0 ? MPQ_COMPRESSION_PKWARE : MPQ_COMPRESSION_ZLIB;
    bool ok = SFileCreateFile(archive, item.name, 0, static_cast<DWORD>(item.bytes.size()), item.locale,
                              flags | MPQ_FILE_REPLACEEXISTING, &file);
    if (file == nullptr)
        return false;
    if (!item.bytes.empty())
        ok = ok && SFileWriteFile(file, item.bytes.data(), static_cast<DWORD>(item.bytes.size()), compression);
    return SFileFinishFile(file) && ok;
}

// Garbage over the start of a file's block; or its hash entry deleted so that its block is left
// unreferenced (and the blocks after it are numbered anew); or its block entry copied to another
// name's, as protectors do, so that two entries share its bytes (written once, or the result grows).
void Spoil(const fs::path& path, Damage damage) {
    auto file = archive_io::File::Open(path, archive_io::File::Mode::ReadWrite);
    auto tables = mpq::ReadArchiveTables(*file, false);
    const std::string name = damage == Damage::Attributes ? "(attributes)" : "Units\\Footman.mdx";
    const auto entry = mpq::FindGameEntry(*tables, name);
    ASSERT_TRUE(entry.has_value()) << name;
    const mpq::BlockEntry& block = tables->blocks[tables->hashes[*entry].blockIndex];
    const std::size_t count = damage == Damage::SectorTable ? 8 : block.storedSize;
    if (damage == Damage::Orphan) {
        tables->hashes[*entry] = mpq::HashEntry{.blockIndex = mpq::kHashDeleted};
        ASSERT_TRUE(file->WriteAt(tables->Absolute(tables->hashTablePos), mpq::EncodeHashTable(tables->hashes)));
    } else if (damage == Damage::Shared) {
        tables->blocks[tables->hashes[*mpq::FindGameEntry(*tables, "war3map.j")].blockIndex] = block;
        ASSERT_TRUE(file->WriteAt(tables->Absolute(tables->blockTablePos), mpq::EncodeBlockTable(tables->blocks)));
    } else {
        ASSERT_TRUE(file->WriteAt(tables->Absolute(block.offset), Bytes(count, 0x5A)));
    }
}

// The row's archive, with the names of its files (for StormLib where no listfile names them).
void Make(const fs::path& path, const fs::path& names, const Row& row) {
    SFILE_CREATE_MPQ create = {};
    create.cbSize = sizeof(create);
    create.dwMpqVersion = row.format;
    create.dwFileFlags1 = row.listfile ? MPQ_FILE_DEFAULT_INTERNAL : 0;
    create.dwFileFlags2 = row.attributes != 0 ? MPQ_FILE_DEFAULT_INTERNAL : 0;
    create.dwAttrFlags = row.attributes;
    create.dwSectorSize = 0x1000;
    create.dwMaxFileCount = 32;
    HANDLE archive = nullptr;
    ASSERT_TRUE(SFileCreateArchive2(path.c_str(), &create, &archive));
    std::string list;
    for (const Item& item : Items(row.big)) {
        EXPECT_TRUE(AddFile(archive, item, row.flags)) << item.name;
        list += std::string(item.name) + "\r\n";
    }
    if (row.holes) {
        EXPECT_TRUE(SFileRemoveFile(archive, "removed.bin", 0));
        EXPECT_TRUE(AddFile(archive, {"replaced.txt", 0, testkit::PatternBytes(5000, 8)}, row.flags));
    }
    ASSERT_TRUE(SFileCloseArchive(archive));
    testkit::WriteFile(names, list);

    Bytes bytes = testkit::ReadBytes(path);
    const auto userData = mpq::EncodeUserDataHeader(496);
    Bytes prefix = row.prefix == Prefix::MapHeader ? testkit::Bytes("HM3W") : Bytes(userData.begin(), userData.end());
    prefix.resize(row.prefix == Prefix::None ? 0 : 512, 0);
    bytes.insert(bytes.begin(), prefix.begin(), prefix.end());
    if (row.trailer) {
        const Bytes signature = testkit::PatternBytes(256, 9, false);
        bytes.insert(bytes.end(), {'N', 'G', 'I', 'S'});
        bytes.insert(bytes.end(), signature.begin(), signature.end());
    }
    testkit::WriteFile(path, bytes);
    if (row.sign) {
        ASSERT_TRUE(testkit::SignArchiveWeakly(path));
    }
    if (row.damage != Damage::None) {
        ASSERT_NO_FATAL_FAILURE(Spoil(path, row.damage));
    }
}

struct Compacted {
    std::optional<mpq::ArchiveTables> input;
    mpq::CompactOutcome outcome;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
};

Compacted Compact(const fs::path& in, const fs::path& out) {
    Compacted result;
    auto source = archive_io::File::Open(in, archive_io::File::Mode::Read);
    auto target = archive_io::File::Open(out, archive_io::File::Mode::CreateNew);
    result.input = source ? mpq::ReadArchiveTables(*source, false) : std::nullopt;
    if (result.input && target) {
        result.outcome =
            mpq::CompactArchive(*source, *result.input, *target, [&](std::uint64_t done, std::uint64_t total) {
                result.progress.emplace_back(done, total);
            });
    }
    return result;
}

// Every entry StormLib lists in `in` (under its real name) reads the same from `out` and verifies
// as well; (attributes) and (signature) are rewritten, so they only verify no worse. Returns the
// number of entries compared.
int ExpectSameFiles(const fs::path& in, const fs::path& out, const mpq::ArchiveTables& tables, const fs::path* names) {
    HANDLE a = nullptr;
    HANDLE b = nullptr;
    EXPECT_TRUE(SFileOpenArchive(in.c_str(), 0, MPQ_OPEN_READ_ONLY, &a));
    EXPECT_TRUE(SFileOpenArchive(out.c_str(), 0, MPQ_OPEN_READ_ONLY, &b));
    if (a == nullptr || b == nullptr)
        return 0;
    std::array<int, 2> listed{};
    int compared = 0;
    for (HANDLE archive : {a, b}) {
        SFILE_FIND_DATA found{};
        HANDLE find = SFileFindFirstFile(archive, "*", &found, names != nullptr ? names->c_str() : nullptr);
        for (bool more = find != nullptr; more; more = SFileFindNextFile(find, &found)) {
            ++listed[archive == a ? 0 : 1];
            const std::string name = found.cFileName;
            if (archive == b || tables.hashes[found.dwHashIndex].name1 != MpqHashString(name, 1))
                continue;
            const std::string what = name + " [" + std::to_string(found.lcLocale) + "]";
            const bool rewritten = name == "(attributes)" || name == "(signature)";
            if (!rewritten) {
                EXPECT_EQ(testkit::StormReadEntry(a, name, found.lcLocale),
                          testkit::StormReadEntry(b, name, found.lcLocale))
                    << what;
            }
            SFileSetLocale(found.lcLocale);
            const DWORD before = SFileVerifyFile(a, name.c_str(), SFILE_VERIFY_ALL);
            const DWORD after = SFileVerifyFile(b, name.c_str(), SFILE_VERIFY_ALL);
            if (rewritten) {
                EXPECT_EQ(after & VERIFY_FILE_ERROR_MASK & ~before, 0u) << what;
            } else {
                EXPECT_EQ(after, before) << what;
            }
            ++compared;
        }
        if (find != nullptr)
            SFileFindClose(find);
    }
    SFileSetLocale(0);
    EXPECT_EQ(listed[1], listed[0]);
    SFileCloseArchive(a);
    SFileCloseArchive(b);
    return compared;
}

bool EndsWithStrongSignature(const Bytes& bytes) {
    return bytes.size() > 260 && std::equal(bytes.end() - 260, bytes.end() - 256, "NGIS");
}

// What every compaction promises: progress up to its total, no growth, the bytes before the header
// and a strong signature after the archive kept, a result both readers take with the same files
// (at least `files` of them compared), and a valid weak signature still valid.
void ExpectCompacted(const fs::path& in, const fs::path& out, const Compacted& c, const fs::path* names, int files) {
    ASSERT_TRUE(c.outcome.ok) << c.outcome.refusal;
    ASSERT_FALSE(c.progress.empty());
    for (std::size_t i = 1; i < c.progress.size(); ++i)
        EXPECT_LE(c.progress[i - 1].first, c.progress[i].first);
    EXPECT_EQ(c.progress.back().first, c.progress.back().second);
    const Bytes before = testkit::ReadBytes(in);
    const Bytes after = testkit::ReadBytes(out);
    ASSERT_LE(after.size(), before.size());
    EXPECT_TRUE(
        std::equal(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(c.input->headerOffset), after.begin()));
    if (EndsWithStrongSignature(before)) {
        EXPECT_TRUE(std::equal(before.end() - 260, before.end(), after.end() - 260));
    }
    auto file = archive_io::File::Open(out, archive_io::File::Mode::Read);
    const auto result = mpq::ReadArchiveTables(*file, false);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->headerOffset, c.input->headerOffset);
    EXPECT_EQ(result->hashes.size(), c.input->hashes.size());
    EXPECT_GE(ExpectSameFiles(in, out, *c.input, names), files);
    if (testkit::CheckSignature(in) == testkit::SignatureCheck::WeakValid) {
        EXPECT_EQ(testkit::CheckSignature(out), testkit::SignatureCheck::WeakValid);
    }
}

class CompactMadeTest : public ::testing::TestWithParam<Row> {};

TEST_P(CompactMadeTest, StormLibReadsEveryFileFromTheResult) {
    const Row& row = GetParam();
    testkit::TempDir dir;
    const fs::path in = dir / "in.w3x";
    const fs::path out = dir / "out.w3x";
    const fs::path names = dir / "names.txt";
    ASSERT_NO_FATAL_FAILURE(Make(in, names, row));
    const Bytes before = testkit::ReadBytes(in);
    EXPECT_EQ(EndsWithStrongSignature(before), row.trailer);
    EXPECT_EQ(testkit::CheckSignature(in) == testkit::SignatureCheck::WeakValid, row.sign);

    const Compacted c = Compact(in, out);
    ASSERT_TRUE(c.input.has_value());
    EXPECT_EQ(c.input->headerOffset, row.prefix == Prefix::None ? 0u : 512u);
    if (row.refusal != nullptr) {
        EXPECT_FALSE(c.outcome.ok);
        EXPECT_NE(c.outcome.refusal.find(row.refusal), std::string::npos) << c.outcome.refusal;
        return;
    }
    ExpectCompacted(in, out, c, &names, 8);
    if (row.holes) {
        EXPECT_LT(fs::file_size(out), before.size());
    }
}

bool ClaimsNothingToReclaim(const fs::path& path) {
    auto file = archive_io::File::Open(path, archive_io::File::Mode::Read);
    const auto tables = file ? mpq::ReadArchiveTables(*file, false) : std::nullopt;
    return tables && mpq::IsAlreadyCompact(*file, *tables);
}

// The claim that an archive has nothing to reclaim, held against the compactor itself: it is made
// exactly where compacting writes the very same bytes, and once compacted every archive makes it
// (so a second compaction leaves the file alone). Where compaction refuses, no claim is made, so
// that the refusal is still what the user sees.
void ExpectClaimMatchesCompaction(const fs::path& in, const fs::path& out, const fs::path& again) {
    const bool claimed = ClaimsNothingToReclaim(in);
    const Compacted first = Compact(in, out);
    if (!first.outcome.ok) {
        EXPECT_FALSE(claimed) << "claimed for an archive compaction refuses: " << first.outcome.refusal;
        return;
    }
    EXPECT_EQ(claimed, testkit::ReadBytes(out) == testkit::ReadBytes(in));
    EXPECT_TRUE(ClaimsNothingToReclaim(out)) << "a compacted archive still has something to reclaim";
    const Compacted second = Compact(out, again);
    ASSERT_TRUE(second.outcome.ok) << second.outcome.refusal;
    EXPECT_EQ(testkit::ReadBytes(again), testkit::ReadBytes(out));
}

TEST_P(CompactMadeTest, NothingToReclaimExactlyWhereCompactionWritesTheSameBytes) {
    testkit::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(Make(dir / "in.w3x", dir / "names.txt", GetParam()));
    ExpectClaimMatchesCompaction(dir / "in.w3x", dir / "out.w3x", dir / "again.w3x");
}

constexpr DWORD kPacked = MPQ_FILE_COMPRESS;
constexpr DWORD kFixKey = MPQ_FILE_COMPRESS | MPQ_FILE_ENCRYPTED | MPQ_FILE_FIX_KEY;
constexpr DWORD kSingle = MPQ_FILE_SINGLE_UNIT;
constexpr DWORD kCrc = MPQ_FILE_SECTOR_CRC;
constexpr DWORD kStoredFixKey = MPQ_FILE_ENCRYPTED | MPQ_FILE_FIX_KEY;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Archives, CompactMadeTest, ::testing::Values(
    Row{.name = "Format0", .format = 0, .flags = kPacked},
    Row{.name = "Format1", .format = 1, .flags = kPacked},
    Row{.name = "Format1NoHoles", .format = 1, .flags = kPacked, .holes = false},
    Row{.name = "Format0FixKeyNamed", .format = 0, .flags = kFixKey, .big = true},
    Row{.name = "Format1FixKeyNamed", .format = 1, .flags = kFixKey},
    Row{.name = "Format0FixKeyUnnamed", .format = 0, .flags = kFixKey, .listfile = false},
    Row{.name = "FixKeyUnnamedSectorCrc", .format = 1, .flags = kFixKey | kCrc, .listfile = false},
    Row{.name = "SectorCrc", .format = 1, .flags = kPacked | kCrc},
    Row{.name = "EncryptedUnnamed", .format = 1, .flags = kPacked | MPQ_FILE_ENCRYPTED, .listfile = false},
    Row{.name = "ImplodedFixKeyNamed", .format = 0, .flags = kStoredFixKey | MPQ_FILE_IMPLODE},
    Row{.name = "SingleUnit", .format = 1, .flags = kPacked | kSingle},
    Row{.name = "SingleUnitFixKeyNamed", .format = 0, .flags = kFixKey | kSingle, .big = true},
    Row{.name = "StoredFixKeyNamed", .format = 1, .flags = kStoredFixKey, .big = true},
    Row{.name = "AttributesCrcOnly", .format = 0, .flags = kPacked, .attributes = MPQ_ATTRIBUTE_CRC32},
    Row{.name = "NoAttributes", .format = 1, .flags = kFixKey, .attributes = 0},
    Row{.name = "Signed", .format = 0, .flags = kFixKey, .sign = true},
    Row{.name = "SignedFormat1", .format = 1, .flags = kFixKey, .sign = true},
    Row{.name = "MapHeaderSigned", .format = 0, .flags = kPacked, .prefix = Prefix::MapHeader, .sign = true},
    Row{.name = "UserDataHeader", .format = 0, .flags = kFixKey, .prefix = Prefix::UserData},
    Row{.name = "OrphanBlock", .format = 0, .flags = kFixKey, .damage = Damage::Orphan},
    Row{.name = "OrphanBlockSectorCrc", .format = 1, .flags = kPacked | kCrc, .holes = false, .damage = Damage::Orphan},
    Row{.name = "SharedBlock", .format = 1, .flags = kPacked, .holes = false, .damage = Damage::Shared},
    Row{.name = "Trailer", .format = 0, .flags = kPacked, .trailer = true},
    Row{.name = "MapHeaderTrailerFixKeyUnnamed", .format = 1, .flags = kFixKey, .listfile = false,
        .prefix = Prefix::MapHeader, .trailer = true},
    // What cannot be moved, or read, is refused.
    Row{.name = "SingleUnitFixKeyUnnamed", .format = 1, .flags = kFixKey | kSingle, .listfile = false,
        .refusal = "needs its name"},
    Row{.name = "StoredFixKeyUnnamed", .format = 0, .flags = kStoredFixKey, .listfile = false,
        .refusal = "needs its name"},
    Row{.name = "GarbageSectorTableUnnamed", .format = 0, .flags = kFixKey, .listfile = false,
        .damage = Damage::SectorTable, .refusal = "name unknown"},
    Row{.name = "GarbageSectorTableNamed", .format = 1, .flags = kFixKey, .damage = Damage::SectorTable,
        .refusal = "decrypts under no key"},
    Row{.name = "GarbageAttributes", .format = 0, .flags = kPacked, .damage = Damage::Attributes,
        .refusal = "(attributes)"}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });
// clang-format on

// Every archive among the real files that our reader opens.
std::vector<std::string> RealArchives() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(REAL_DATA_DIR, error)) {
        const std::string extension = entry.path().extension().string();
        if (extension != ".txt" && extension != ".fdf" && extension != ".md" && entry.path().stem() != "SHA256SUMS")
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class CompactRealTest : public ::testing::TestWithParam<std::string> {};

TEST_P(CompactRealTest, StormLibReadsEveryFileFromTheResult) {
    testkit::TempDir dir;
    const fs::path in = fs::path(REAL_DATA_DIR) / GetParam();
    const Compacted c = Compact(in, dir / "out.mpq");
    if (!c.input)
        GTEST_SKIP() << "our reader refuses it";
    ExpectCompacted(in, dir / "out.mpq", c, nullptr, 1);
}

TEST_P(CompactRealTest, NothingToReclaimExactlyWhereCompactionWritesTheSameBytes) {
    testkit::TempDir dir;
    const fs::path in = fs::path(REAL_DATA_DIR) / GetParam();
    if (!Compact(in, dir / "probe.mpq").input)
        GTEST_SKIP() << "our reader refuses it";
    ExpectClaimMatchesCompaction(in, dir / "out.mpq", dir / "again.mpq");
}

INSTANTIATE_TEST_SUITE_P(Archives, CompactRealTest, ::testing::ValuesIn(RealArchives()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace_if(
                                 name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
                             return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CompactRealTest);

} // namespace
