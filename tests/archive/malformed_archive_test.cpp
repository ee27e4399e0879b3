// Files that are not well-formed game archives: every operation returns false, nothing crashes or
// hangs, and the file stays byte for byte as it was.
#include "archive/mpq_control.h"
#include "archive/mpq_layout.h"
#include "support/text_path.h"
#include "testkit/hostile_archives.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <functional>
#include <random>

namespace fs = std::filesystem;
using testkit::Bytes;

namespace {

void PutLe32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::vector<std::uint8_t> SampleArchiveBytes(int formatVersion) {
    testkit::TempDir dir;
    testkit::BuildArchive(dir / "a.mpq", testkit::SampleArchiveFiles(), formatVersion);
    return testkit::ReadBytes(dir / "a.mpq");
}

// Runs all five operations; none may succeed, and the file must not change.
void ExpectEveryOperationRefused(const fs::path& path, const std::string& what) {
    const bool isFile = fs::is_regular_file(path);
    const std::vector<std::uint8_t> before = isFile ? testkit::ReadBytes(path) : std::vector<std::uint8_t>{};
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(path));
    std::vector<std::uint8_t> read;
    EXPECT_FALSE(control.FileExistsInMpq(u"UI\\war3skins.txt")) << what;
    EXPECT_FALSE(control.ReadFileFromMpq(u"UI\\war3skins.txt", read)) << what;
    EXPECT_FALSE(control.SaveFileToMpq(u"UI\\war3skins.txt", Bytes("x"))) << what;
    EXPECT_FALSE(control.DeleteFileFromMpq(u"UI\\war3skins.txt")) << what;
    EXPECT_FALSE(control.CompressMpq()) << what;
    if (isFile) {
        EXPECT_EQ(testkit::ReadBytes(path), before) << what << ": the file changed";
    }
    // The door's lock file stays beside the archive by design; nothing else may.
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(path.parent_path())) {
        if (entry.path().filename() != path.filename().string() + "-lock")
            ++entries;
    }
    EXPECT_EQ(entries, 1u) << what << ": something was left beside the file";
}

// An archive of the hostile kit's base files (text files several sectors long), edited.
std::vector<std::uint8_t> EditedArchive(int formatVersion, const std::function<void(testkit::ArchiveEditor&)>& edit) {
    testkit::TempDir dir;
    testkit::BuildArchive(dir / "a.mpq", testkit::HostileBaseFiles(), formatVersion);
    testkit::ArchiveEditor editor(testkit::ReadBytes(dir / "a.mpq"));
    edit(editor);
    return editor.Bytes();
}

const std::string kStrings = "UI\\FrameDef\\GlobalStrings.fdf";
const std::string kSkins = "UI\\war3skins.txt";

// Sets the mask byte of a file's first packed sector.
void SetFirstMask(testkit::ArchiveEditor& editor, const std::string& name, std::uint8_t mask) {
    const auto& block = editor.blocks()[editor.BlockOf(name)];
    editor.Overwrite(block.offset + editor.SectorOffsets(name)[0], {mask});
}

struct MalformedCase {
    const char* name;
    std::function<std::vector<std::uint8_t>()> make;
};

void PrintTo(const MalformedCase& malformed, std::ostream* out) {
    *out << malformed.name;
}

std::vector<MalformedCase> MalformedCases() {
    return {
        {"ZeroLength", [] { return std::vector<std::uint8_t>{}; }},
        {"Text", [] { return Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n"); }},
        {"RandomBytes",
         [] {
             std::mt19937 random(42);
             std::vector<std::uint8_t> bytes(64 * 1024);
             for (auto& byte : bytes)
                 byte = static_cast<std::uint8_t>(random());
             return bytes;
         }},
        {"SignatureOnly", [] { return Bytes("MPQ\x1a"); }},
        {"FormatVersion2",
         [] {
             auto bytes = SampleArchiveBytes(1);
             bytes[12] = 2;
             return bytes;
         }},
        {"FormatVersion3",
         [] {
             auto bytes = SampleArchiveBytes(1);
             bytes[12] = 3;
             return bytes;
         }},
        {"Format0WithLongHeader",
         [] {
             auto bytes = SampleArchiveBytes(0);
             PutLe32(bytes, 4, 44);
             return bytes;
         }},
        {"Format1WithShortHeader",
         [] {
             auto bytes = SampleArchiveBytes(1);
             PutLe32(bytes, 4, 32);
             return bytes;
         }},
        {"HugeHeaderSize",
         [] {
             auto bytes = SampleArchiveBytes(0);
             PutLe32(bytes, 4, 0xFFFFFFF0);
             return bytes;
         }},
        {"HashTableSizeNotPowerOfTwo",
         [] {
             auto bytes = SampleArchiveBytes(1);
             PutLe32(bytes, 24, 12);
             return bytes;
         }},
        {"HashTableSizeZero",
         [] {
             auto bytes = SampleArchiveBytes(1);
             PutLe32(bytes, 24, 0);
             return bytes;
         }},
        {"HashTableLargerThanFile",
         [] {
             auto bytes = SampleArchiveBytes(1);
             PutLe32(bytes, 24, 0x10000000);
             return bytes;
         }},
        {"HashTableBeyondEnd",
         [] {
             auto bytes = SampleArchiveBytes(1);
             PutLe32(bytes, 16, static_cast<std::uint32_t>(bytes.size()));
             return bytes;
         }},
        {"BlockTableBeyondEnd",
         [] {
             auto bytes = SampleArchiveBytes(0);
             PutLe32(bytes, 20, 0xFFFFFF00);
             return bytes;
         }},
        {"BlockTableSizeOverflows",
         [] {
             auto bytes = SampleArchiveBytes(0);
             PutLe32(bytes, 28, 0x10000001);
             return bytes;
         }},
        {"HighTablePartsSet",
         [] {
             auto bytes = SampleArchiveBytes(1);
             bytes[40] = 1;
             return bytes;
         }},
        {"UserDataPointingPastTheEnd",
         [] {
             auto archive = SampleArchiveBytes(1);
             std::vector<std::uint8_t> bytes(512 + archive.size(), 0);
             std::copy(archive.begin(), archive.end(), bytes.begin() + 512);
             bytes[0] = 'M', bytes[1] = 'P', bytes[2] = 'Q', bytes[3] = 0x1B;
             PutLe32(bytes, 4, 16);
             PutLe32(bytes, 8, 0x7FFFFE00);
             PutLe32(bytes, 12, 16);
             return bytes;
         }},
        // A hash entry naming the block just past the table's end.
        {"HashEntryAtBlockTableEnd",
         [] {
             return EditedArchive(1, [](testkit::ArchiveEditor& editor) {
                 for (auto& hash : editor.hashes()) {
                     if (hash.blockIndex == editor.BlockOf(kSkins)) {
                         hash.blockIndex = static_cast<std::uint32_t>(editor.blocks().size());
                         break;
                     }
                 }
             });
         }},
        {"DeleteMarkerFlag",
         [] {
             return EditedArchive(1, [](auto& editor) { editor.blocks()[editor.BlockOf(kSkins)].flags |= 0x02000000; });
         }},
        {"PatchFileFlag",
         [] {
             return EditedArchive(0, [](auto& editor) { editor.blocks()[editor.BlockOf(kSkins)].flags |= 0x00100000; });
         }},
        {"UnknownFlag",
         [] {
             return EditedArchive(1, [](auto& editor) { editor.blocks()[editor.BlockOf(kSkins)].flags |= 0x00000400; });
         }},
        {"UnknownFlagOnUnnamedBlock",
         [] {
             return EditedArchive(1, [](auto& editor) {
                 editor.blocks().back() = {editor.blocks().back().offset, 0, 0, 0x80000000 | 0x08000000};
             });
         }},
        {"SizeJustPastTheExpansionLimit",
         [] {
             return EditedArchive(1, [](auto& editor) {
                 auto& block = editor.blocks()[editor.BlockOf("Fonts\\dfst-m3u.ttf")];
                 block.fileSize = block.compressedSize * 2048 + 2048;
             });
         }},
        // Format 1: the block table must end where the archive-size field says, or at the file's end
        // when that field is past it or below the table.
        {"Format1ArchiveSizeOneEntryShort",
         [] { return EditedArchive(1, [](auto& editor) { editor.SetHeaderWord(8, editor.HeaderWord(8) - 16); }); }},
        {"Format1PaddingAfterTablesWithStaleSize",
         [] {
             auto bytes = EditedArchive(1, [](auto&) {});
             bytes.resize(bytes.size() + 16, 0);
             PutLe32(bytes, 8, 0);
             return bytes;
         }},
        {"Format1HashTableGapBeforeBlockTable",
         [] { return EditedArchive(1, [](auto& editor) { editor.SetHeaderWord(16, editor.HeaderWord(16) - 16); }); }},
        {"ListfileSectorTableDamaged",
         [] {
             return EditedArchive(0, [](auto& editor) {
                 auto offsets = editor.SectorOffsets("(listfile)");
                 offsets[0] += 4;
                 editor.SetSectorOffsets("(listfile)", offsets);
             });
         }},
        {"AttributesLargerThanItsFormat",
         [] {
             return EditedArchive(1, [](auto& editor) {
                 auto& block = editor.blocks()[editor.BlockOf("(attributes)")];
                 block.fileSize = 8 + 32 * static_cast<std::uint32_t>(editor.blocks().size()) + 1;
             });
         }},
        {"HeaderOnlyAfterGarbage",
         [] {
             std::vector<std::uint8_t> bytes(4096, 0x55);
             bytes[1024] = 'M', bytes[1025] = 'P', bytes[1026] = 'Q', bytes[1027] = 0x1A;
             return bytes;
         }},
    };
}

class MalformedArchiveTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedArchiveTest, EveryOperationRefusesAndTouchesNothing) {
    testkit::TempDir dir;
    const fs::path path = dir / "War3Patch.mpq";
    testkit::WriteFile(path, GetParam().make());
    EXPECT_FALSE(ReadMpqLayout(path).has_value());
    ExpectEveryOperationRefused(path, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Files, MalformedArchiveTest, ::testing::ValuesIn(MalformedCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Archives that sit just inside a limit: our check accepts them (StormLib is not asked).
struct BoundaryCase {
    const char* name;
    std::function<std::vector<std::uint8_t>()> make;
};

void PrintTo(const BoundaryCase& boundary, std::ostream* out) {
    *out << boundary.name;
}

class BoundaryArchiveTest : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(BoundaryArchiveTest, IsAccepted) {
    testkit::TempDir dir;
    const fs::path path = dir / "War3Patch.mpq";
    testkit::WriteFile(path, GetParam().make());
    EXPECT_TRUE(ReadMpqLayout(path, {kStrings, kSkins}).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Files, BoundaryArchiveTest,
    ::testing::Values(BoundaryCase{"SizeAtTheExpansionLimit",
                                   [] {
                                       return EditedArchive(1, [](auto& editor) {
                                           auto& block = editor.blocks()[editor.BlockOf("Fonts\\dfst-m3u.ttf")];
                                           block.fileSize = block.compressedSize * 2048;
                                       });
                                   }},
                      BoundaryCase{"Format1ArchiveSizeZero",
                                   [] { return EditedArchive(1, [](auto& editor) { editor.SetHeaderWord(8, 0); }); }},
                      BoundaryCase{"Format0PaddingAfterTables",
                                   [] {
                                       auto bytes = EditedArchive(0, [](auto&) {});
                                       bytes.resize(bytes.size() + 100, 0);
                                       PutLe32(bytes, 8, static_cast<std::uint32_t>(bytes.size()));
                                       return bytes;
                                   }},
                      BoundaryCase{
                          "MaskZlibPkwareBzip2InFormat0",
                          [] { return EditedArchive(0, [](auto& editor) { SetFirstMask(editor, kStrings, 0x1A); }); }}),
    [](const auto& info) { return std::string(info.param.name); });

// Damage in one stored file: the archive passes, but not when that file is about to be read.
struct FileDamageCase {
    const char* name;
    int formatVersion;
    std::string file;
    std::function<void(testkit::ArchiveEditor&)> damage;
};

void PrintTo(const FileDamageCase& damage, std::ostream* out) {
    *out << damage.name;
}

class FileDamageTest : public ::testing::TestWithParam<FileDamageCase> {};

TEST_P(FileDamageTest, RefusedOnlyWhenTheFileIsRead) {
    testkit::TempDir dir;
    const fs::path path = dir / "War3Patch.mpq";
    testkit::WriteFile(path, EditedArchive(GetParam().formatVersion, GetParam().damage));
    EXPECT_TRUE(ReadMpqLayout(path).has_value());
    EXPECT_TRUE(ReadMpqLayout(path, {"Fonts\\dfst-m3u.ttf"}).has_value());
    EXPECT_FALSE(ReadMpqLayout(path, {GetParam().file}).has_value());
    EXPECT_FALSE(ReadMpqLayout(path, {"Fonts\\dfst-m3u.ttf", GetParam().file}).has_value());
}

std::vector<std::uint32_t> Offsets(testkit::ArchiveEditor& editor, const std::string& name) {
    return editor.SectorOffsets(name);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FileDamageTest,
    ::testing::Values(
        FileDamageCase{"FirstOffsetNotTheTableSize", 1, kSkins,
                       [](auto& editor) {
                           auto offsets = Offsets(editor, kSkins);
                           offsets[0] -= 4;
                           editor.SetSectorOffsets(kSkins, offsets);
                       }},
        FileDamageCase{"OffsetsDescending", 1, kSkins,
                       [](auto& editor) {
                           auto offsets = Offsets(editor, kSkins);
                           std::swap(offsets[1], offsets[2]);
                           editor.SetSectorOffsets(kSkins, offsets);
                       }},
        FileDamageCase{"LastOffsetPastTheBlock", 0, kSkins,
                       [](auto& editor) {
                           auto offsets = Offsets(editor, kSkins);
                           offsets.back() = editor.blocks()[editor.BlockOf(kSkins)].compressedSize + 1;
                           editor.SetSectorOffsets(kSkins, offsets);
                       }},
        FileDamageCase{"SectorLongerThanItsData", 1, kSkins,
                       [](auto& editor) {
                           auto offsets = Offsets(editor, kSkins);
                           offsets[1] = offsets[0] + editor.SectorSize() + 1;
                           editor.SetSectorOffsets(kSkins, offsets);
                       }},
        FileDamageCase{"MaskHuffman", 0, kStrings, [](auto& editor) { SetFirstMask(editor, kStrings, 0x01); }},
        FileDamageCase{"MaskAdpcmMono", 0, kStrings, [](auto& editor) { SetFirstMask(editor, kStrings, 0x40); }},
        FileDamageCase{"MaskAdpcmStereoWithHuffman", 1, kStrings,
                       [](auto& editor) { SetFirstMask(editor, kStrings, 0x81); }},
        FileDamageCase{"MaskSparse", 1, kStrings, [](auto& editor) { SetFirstMask(editor, kStrings, 0x20); }},
        FileDamageCase{"MaskLzmaInFormat0", 0, kStrings, [](auto& editor) { SetFirstMask(editor, kStrings, 0x12); }},
        FileDamageCase{"MaskZlibWithPkwareInFormat1", 1, kStrings,
                       [](auto& editor) { SetFirstMask(editor, kStrings, 0x0A); }},
        FileDamageCase{"MaskZero", 1, kStrings, [](auto& editor) { SetFirstMask(editor, kStrings, 0x00); }},
        // StormLib would hand out a unit that stops decoding part-way as the file's bytes.
        FileDamageCase{"ZlibDataError", 1, kStrings,
                       [](auto& editor) {
                           const auto& block = editor.blocks()[editor.BlockOf(kStrings)];
                           editor.Overwrite(block.offset + editor.SectorOffsets(kStrings)[0] + 8, {0xFF, 0x00, 0xFF});
                       }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MalformedArchive, DirectoryIsRefused) {
    testkit::TempDir dir;
    fs::create_directory(dir / "War3Patch.mpq");
    ExpectEveryOperationRefused(dir / "War3Patch.mpq", "directory");
}

// A valid archive cut at every offset of its first kilobyte and at a spread of later ones.
class TruncatedArchiveTest : public ::testing::TestWithParam<int> {};

TEST_P(TruncatedArchiveTest, EveryCutIsRefused) {
    const std::vector<std::uint8_t> whole = SampleArchiveBytes(GetParam());
    std::vector<std::size_t> cuts;
    for (std::size_t cut = 0; cut <= 1024; ++cut)
        cuts.push_back(cut);
    for (std::size_t cut = 1025; cut < whole.size(); cut += 211)
        cuts.push_back(cut);
    for (std::size_t back = 1; back <= 64; ++back)
        cuts.push_back(whole.size() - back);

    testkit::TempDir dir;
    const fs::path path = dir / "War3Patch.mpq";
    for (std::size_t cut : cuts) {
        const std::vector<std::uint8_t> bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        testkit::WriteFile(path, bytes);
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(path));
        std::vector<std::uint8_t> read;
        const std::string where = "cut at " + std::to_string(cut);
        // The tables are at the end, so every cut loses part of them.
        ASSERT_FALSE(control.ReadFileFromMpq(u"UI\\war3skins.txt", read)) << where;
        ASSERT_FALSE(control.SaveFileToMpq(u"UI\\war3skins.txt", Bytes("x"))) << where;
        ASSERT_FALSE(control.DeleteFileFromMpq(u"UI\\war3skins.txt")) << where;
        ASSERT_FALSE(control.CompressMpq()) << where;
        ASSERT_EQ(testkit::ReadBytes(path), bytes) << where;
    }
    // The whole archive still works, so the cuts and not the test refused it.
    testkit::WriteFile(path, whole);
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(path));
    EXPECT_TRUE(control.FileExistsInMpq(u"UI\\war3skins.txt"));
}

INSTANTIATE_TEST_SUITE_P(Formats, TruncatedArchiveTest, ::testing::Values(0, 1),
                         [](const auto& info) { return "Format" + std::to_string(info.param); });

// Damage inside the files' own data (sector offset tables, compressed streams) is beyond what our
// check reads; reading such files must still fail cleanly rather than crash.
TEST(DamagedFileData, ReadsFailOrReturnBytesWithoutCrashing) {
    const std::vector<std::uint8_t> whole = SampleArchiveBytes(1);
    testkit::TempDir dir;
    const fs::path path = dir / "War3Patch.mpq";
    testkit::WriteFile(path, whole);
    const std::optional<MpqLayout> layout = ReadMpqLayout(path);
    ASSERT_TRUE(layout.has_value());
    const std::vector<std::uint32_t> patterns = {0x00000000, 0xFFFFFFFF, 0x7FFFFFFF, 0x00001000, 0x80000000};
    int damaged = 0;
    for (const MpqLayout::Block& block : layout->blocks) {
        if (block.compressedSize < 8)
            continue;
        for (std::uint32_t pattern : patterns) {
            for (std::uint64_t at : {block.offset, block.offset + 4, block.offset + block.compressedSize / 2}) {
                std::vector<std::uint8_t> bytes = whole;
                for (int i = 0; i < 4 && at + i < bytes.size(); ++i)
                    bytes[at + i] = static_cast<std::uint8_t>(pattern >> (8 * i));
                testkit::WriteFile(path, bytes);
                clsMpqControl control;
                control.SetMpqFileName(TextFromPath(path));
                for (const MpqBuilderFile& file : testkit::SampleArchiveFiles()) {
                    std::vector<std::uint8_t> read;
                    if (control.ReadFileFromMpq(file.address, read)) {
                        EXPECT_EQ(read.size(), file.content.size());
                    }
                }
                ++damaged;
            }
        }
    }
    EXPECT_GT(damaged, 20);
}

// Real maps and archives from other games, when the machine has them: read without crashing, and
// the ones our check accepts can be written. Copies only; the originals are never opened for writing.
TEST(RealArchives, ReadSafelyAndWriteTheAcceptedOnes) {
    std::error_code error;
    if (!fs::is_directory(REAL_DATA_DIR, error))
        GTEST_SKIP() << "no real archives on this machine";
    int accepted = 0;
    int refused = 0;
    int signedArchives = 0;
    for (const auto& entry : fs::directory_iterator(REAL_DATA_DIR)) {
        const std::string extension = entry.path().extension().string();
        if (extension == ".txt" || extension == ".fdf" || extension == ".md" || entry.path().filename() == "SHA256SUMS")
            continue;
        testkit::TempDir dir;
        const fs::path copy = dir / entry.path().filename();
        fs::copy_file(entry.path(), copy);
        fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(copy));
        std::vector<std::uint8_t> listfile;
        const bool readable = control.ReadFileFromMpq(u"(listfile)", listfile);
        if (!ReadMpqLayout(copy)) {
            ++refused;
            EXPECT_FALSE(readable) << entry.path();
            ExpectEveryOperationRefused(copy, entry.path().filename().string());
            continue;
        }
        ++accepted;
        const bool weaklySigned =
            testkit::CheckSignature(copy) == testkit::SignatureCheck::WeakValid && ReadMpqLayout(copy)->HasSignature();
        const std::vector<std::uint8_t> text = Bytes("GAMENAME \"ours\"");
        EXPECT_TRUE(control.SaveFileToMpq(u"UI\\FrameDef\\GlobalStrings.fdf", text)) << entry.path();
        std::vector<std::uint8_t> read;
        EXPECT_TRUE(control.ReadFileFromMpq(u"UI\\FrameDef\\GlobalStrings.fdf", read)) << entry.path();
        EXPECT_EQ(read, text) << entry.path();
        // A weak signature that held before the write holds after it.
        if (weaklySigned) {
            ++signedArchives;
            EXPECT_EQ(testkit::CheckSignature(copy), testkit::SignatureCheck::WeakValid) << entry.path();
        }
    }
    RecordProperty("accepted", accepted);
    RecordProperty("refused", refused);
    RecordProperty("weakly_signed", signedArchives);
    EXPECT_GT(accepted, 0);
}

} // namespace
