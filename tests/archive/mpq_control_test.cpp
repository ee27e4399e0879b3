// The five archive operations against archives built in temporary directories, checked with smpq.
#include "archive/door/archive_guard.h"
#include "archive/door/archive_lock.h"
#include "archive/door/mpq_control.h"
#include "archive/door/mpq_layout.h"
#include "support/text_path.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace fs = std::filesystem;
using testkit::Bytes;

namespace {

class MpqControlTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        m_archive = m_dir / "War3Patch.mpq";
        testkit::BuildArchive(m_archive, testkit::SampleArchiveFiles(), GetParam());
        m_control.SetMpqFileName(TextFromPath(m_archive));
    }

    std::vector<std::string> DirectoryEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir.path()))
            names.push_back(entry.path().filename().string());
        return names;
    }

    testkit::TempDir m_dir;
    fs::path m_archive;
    clsMpqControl m_control;
};

TEST_P(MpqControlTest, ReadsEveryFileExactly) {
    for (const MpqBuilderFile& file : testkit::SampleArchiveFiles()) {
        if (file.content.empty())
            continue;
        std::vector<std::uint8_t> read = {1, 2, 3};
        EXPECT_TRUE(m_control.ReadFileFromMpq(file.address, read));
        EXPECT_EQ(read, file.content);
    }
    // Twice in a row: the first read left nothing open.
    std::vector<std::uint8_t> again;
    EXPECT_TRUE(m_control.ReadFileFromMpq(u"UI\\war3skins.txt", again));
}

TEST_P(MpqControlTest, EmptyFileExistsButDoesNotRead) {
    std::vector<std::uint8_t> read;
    EXPECT_TRUE(m_control.FileExistsInMpq(u"empty.txt"));
    EXPECT_FALSE(m_control.ReadFileFromMpq(u"empty.txt", read));
}

TEST_P(MpqControlTest, AbsentFileIsReportedAndNothingChanges) {
    const auto before = testkit::ReadBytes(m_archive);
    EXPECT_TRUE(m_control.ArchiveOpens());
    std::vector<std::uint8_t> read;
    EXPECT_FALSE(m_control.FileExistsInMpq(u"UI\\nothing.txt"));
    EXPECT_FALSE(m_control.ReadFileFromMpq(u"UI\\nothing.txt", read));
    EXPECT_FALSE(m_control.DeleteFileFromMpq(u"UI\\nothing.txt"));
    EXPECT_EQ(testkit::ReadBytes(m_archive), before);
}

TEST_P(MpqControlTest, SaveReplacesAndAddsAndSmpqAgrees) {
    const auto replacement = testkit::PatternBytes(30000, 3);
    ASSERT_TRUE(m_control.SaveFileToMpq(u"UI\\war3skins.txt", replacement));
    ASSERT_TRUE(m_control.SaveFileToMpq(u"UI\\new.txt", Bytes("new file")));

    std::vector<std::uint8_t> read;
    ASSERT_TRUE(m_control.ReadFileFromMpq(u"UI\\war3skins.txt", read));
    EXPECT_EQ(read, replacement);
    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not installed";
    EXPECT_EQ(testkit::SmpqExtract(m_archive, "UI\\war3skins.txt"), replacement);
    EXPECT_EQ(testkit::SmpqExtract(m_archive, "UI\\new.txt"), Bytes("new file"));
    const auto names = testkit::SmpqList(m_archive);
    ASSERT_TRUE(names.has_value());
    // One entry per name: the replacement did not leave a second entry behind.
    EXPECT_EQ(std::count(names->begin(), names->end(), "UI/war3skins.txt"), 1);
    EXPECT_EQ(std::count(names->begin(), names->end(), "UI/new.txt"), 1);
}

TEST_P(MpqControlTest, SavesAnEmptyBuffer) {
    ASSERT_TRUE(m_control.SaveFileToMpq(u"UI\\war3skins.txt", {}));
    std::vector<std::uint8_t> read;
    EXPECT_TRUE(m_control.FileExistsInMpq(u"UI\\war3skins.txt"));
    EXPECT_FALSE(m_control.ReadFileFromMpq(u"UI\\war3skins.txt", read));
    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not installed";
    EXPECT_EQ(testkit::SmpqExtract(m_archive, "UI\\war3skins.txt"), std::vector<std::uint8_t>{});
}

TEST_P(MpqControlTest, DeleteRemovesTheFileAndItsListEntry) {
    ASSERT_TRUE(m_control.DeleteFileFromMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3"));
    EXPECT_FALSE(m_control.FileExistsInMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3"));
    EXPECT_TRUE(m_control.FileExistsInMpq(u"empty.txt"));
    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not installed";
    const auto names = testkit::SmpqList(m_archive);
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(std::count(names->begin(), names->end(), "Sound/Music/mp3Music/Mainscreen.mp3"), 0);
    EXPECT_EQ(std::count(names->begin(), names->end(), "UI/war3skins.txt"), 1);
    EXPECT_EQ(testkit::SmpqExtract(m_archive, "Fonts\\dfst-m3u.ttf"), testkit::PatternBytes(20000, 11));
}

// Deleting the file stored last before an empty one shrinks the archive; the empty file's entry
// must not be left pointing past the new end, where readers no longer find it.
TEST_P(MpqControlTest, DeleteBeforeAnEmptyFileKeepsTheEmptyFile) {
    ASSERT_TRUE(m_control.DeleteFileFromMpq(u"Fonts\\dfst-m3u.ttf"));
    EXPECT_TRUE(m_control.FileExistsInMpq(u"empty.txt"));
    EXPECT_FALSE(m_control.FileExistsInMpq(u"Fonts\\dfst-m3u.ttf"));
    const std::optional<MpqLayout> layout = ReadMpqLayout(m_archive);
    ASSERT_TRUE(layout.has_value());
    for (const MpqLayout::Block& block : layout->blocks)
        EXPECT_LE(block.offset, layout->fileSize);
}

TEST_P(MpqControlTest, CompactionShrinksAndKeepsEveryFile) {
    ASSERT_TRUE(m_control.SaveFileToMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", Bytes("short")));
    const auto grown = fs::file_size(m_archive);
    ASSERT_TRUE(m_control.CompressMpq());
    EXPECT_LT(fs::file_size(m_archive), grown);
    std::vector<std::uint8_t> read;
    ASSERT_TRUE(m_control.ReadFileFromMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", read));
    EXPECT_EQ(read, Bytes("short"));
    ASSERT_TRUE(m_control.ReadFileFromMpq(u"Fonts\\dfst-m3u.ttf", read));
    EXPECT_EQ(read, testkit::PatternBytes(20000, 11));
    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not installed";
    EXPECT_EQ(testkit::SmpqExtract(m_archive, "UI\\war3skins.txt"),
              Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n"));
}

TEST_P(MpqControlTest, AfterEveryWriteOnlyTheArchiveRemainsWithItsPermissions) {
    // 0640 on POSIX; Windows keeps only whether the file is read-only, and it is not.
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(m_archive, mode);
    const fs::perms expected =
        testkit::kWindows ? fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec)
                          : mode;
    ASSERT_TRUE(m_control.SaveFileToMpq(u"UI\\war3skins.txt", Bytes("x")));
    ASSERT_TRUE(m_control.DeleteFileFromMpq(u"UI\\war3skins.txt"));
    ASSERT_TRUE(m_control.CompressMpq());
    std::vector<std::string> entries = DirectoryEntries();
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"War3Patch.mpq", "War3Patch.mpq-lock"}));
    EXPECT_EQ(fs::status(m_archive).permissions() & fs::perms::all, expected);
}

TEST_P(MpqControlTest, ChangingTheNameSwitchesArchives) {
    const fs::path other = m_dir / "War3x.mpq";
    testkit::BuildArchive(other, {{u"only.txt", Bytes("other")}}, GetParam());
    m_control.SetMpqFileName(TextFromPath(other));
    EXPECT_TRUE(m_control.FileExistsInMpq(u"only.txt"));
    EXPECT_FALSE(m_control.FileExistsInMpq(u"UI\\war3skins.txt"));
}

TEST_P(MpqControlTest, NonAsciiOrEmptyAddressIsRefused) {
    const auto before = testkit::ReadBytes(m_archive);
    std::vector<std::uint8_t> read;
    EXPECT_FALSE(m_control.SaveFileToMpq(u"UI\\\u6e38\u620f.txt", Bytes("x")));
    EXPECT_FALSE(m_control.SaveFileToMpq(u"", Bytes("x")));
    EXPECT_FALSE(m_control.ReadFileFromMpq(u"", read));
    EXPECT_EQ(testkit::ReadBytes(m_archive), before);
}

INSTANTIATE_TEST_SUITE_P(Formats, MpqControlTest, ::testing::Values(0, 1),
                         [](const auto& info) { return "Format" + std::to_string(info.param); });

// Blizzard's patch archives may carry a weak signature, which StormLib renews whenever it writes
// the archive: after each write the signature must still hold and smpq read the new content.
struct SignedWrite {
    const char* name;
    std::function<bool(clsMpqControl&)> run;
    std::string file;                                 // the file the write is about
    std::optional<std::vector<std::uint8_t>> content; // its content afterwards; nullopt: gone
    bool shrinks = false;                             // drops the old data
};

void PrintTo(const SignedWrite& write, std::ostream* out) {
    *out << write.name;
}

std::vector<SignedWrite> SignedWrites() {
    const std::vector<std::uint8_t> skins = Bytes("[Orc]\r\nCursor=UI\\Cursor\\OrcCursor.mdl\r\n");
    const std::vector<std::uint8_t> font = testkit::PatternBytes(20000, 11);
    return {
        {"Replace", [=](clsMpqControl& c) { return c.SaveFileToMpq(u"UI\\war3skins.txt", skins); }, "UI\\war3skins.txt",
         skins},
        {"Add", [](clsMpqControl& c) { return c.SaveFileToMpq(u"UI\\new.txt", Bytes("new file")); }, "UI\\new.txt",
         Bytes("new file")},
        {"Delete", [](clsMpqControl& c) { return c.DeleteFileFromMpq(u"UI\\war3skins.txt"); }, "UI\\war3skins.txt",
         std::nullopt},
        {"Compact", [](clsMpqControl& c) { return c.CompressMpq(); }, "Fonts\\dfst-m3u.ttf", font, true},
    };
}

class SignedArchiveWrite : public ::testing::TestWithParam<std::tuple<int, SignedWrite>> {};

TEST_P(SignedArchiveWrite, SucceedsAndTheArchiveStaysSigned) {
    const auto& [formatVersion, write] = GetParam();
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), formatVersion);
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(archive));
    // Old data for compaction to drop, then the signature over it all.
    ASSERT_TRUE(control.SaveFileToMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", Bytes("short")));
    ASSERT_TRUE(testkit::SignArchiveWeakly(archive));
    ASSERT_EQ(testkit::CheckSignature(archive), testkit::SignatureCheck::WeakValid);
    const auto sizeBefore = fs::file_size(archive);

    ASSERT_TRUE(write.run(control));
    EXPECT_EQ(testkit::CheckSignature(archive), testkit::SignatureCheck::WeakValid);
    const std::optional<MpqLayout> layout = ReadMpqLayout(archive);
    ASSERT_TRUE(layout.has_value());
    EXPECT_TRUE(layout->HasSignature());
    if (write.shrinks) {
        EXPECT_LT(fs::file_size(archive), sizeBefore);
    }
    const std::u16string address(write.file.begin(), write.file.end());
    std::vector<std::uint8_t> read;
    EXPECT_EQ(control.ReadFileFromMpq(address, read), write.content.has_value());
    if (write.content) {
        EXPECT_EQ(read, *write.content);
    }
    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not installed";
    std::string listed = write.file;
    std::replace(listed.begin(), listed.end(), '\\', '/');
    const auto names = testkit::SmpqList(archive);
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(std::count(names->begin(), names->end(), listed), write.content ? 1 : 0);
    EXPECT_EQ(std::count(names->begin(), names->end(), "Sound/Music/mp3Music/Mainscreen.mp3"), 1);
    if (write.content) {
        EXPECT_EQ(testkit::SmpqExtract(archive, write.file), write.content);
    }
    EXPECT_EQ(testkit::SmpqExtract(archive, "Sound\\Music\\mp3Music\\Mainscreen.mp3"), Bytes("short"));
}

INSTANTIATE_TEST_SUITE_P(Writes, SignedArchiveWrite,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::ValuesIn(SignedWrites())),
                         [](const auto& info) {
                             return std::string(std::get<1>(info.param).name) + "Format" +
                                    std::to_string(std::get<0>(info.param));
                         });

// The game's Chinese archives may hold files under locale 0x804, alone or beside a neutral entry.
// The door works on the entry a Chinese game reads (0x804 first) and keeps its locale: StormLib's
// replace matches name and locale exactly, so another locale would add a second entry that the
// game never reads.
struct LocaleCase {
    const char* name;
    std::vector<std::uint16_t> stored;
    std::uint16_t edited;
};

void PrintTo(const LocaleCase& localeCase, std::ostream* out) {
    *out << localeCase.name;
}

class MpqControlLocale : public ::testing::TestWithParam<LocaleCase> {
protected:
    std::vector<std::uint16_t> LocalesOf(const fs::path& archive) {
        const std::optional<MpqLayout> layout = ReadMpqLayout(archive);
        std::vector<std::uint16_t> locales;
        if (!layout)
            return locales;
        for (const MpqLayout::Hash& hash : layout->hashes) {
            if (hash.name1 == MpqHashString("UI\\war3skins.txt", 1) &&
                hash.name2 == MpqHashString("UI\\war3skins.txt", 2))
                locales.push_back(hash.locale);
        }
        std::sort(locales.begin(), locales.end());
        return locales;
    }
};

TEST_P(MpqControlLocale, ReadReplaceAndDeleteTheEntryTheGameReads) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3xLocal.mpq";
    std::vector<MpqBuilderFile> files;
    for (std::uint16_t locale : GetParam().stored)
        files.push_back({u"UI\\war3skins.txt", Bytes("locale " + std::to_string(locale)), true, locale});
    testkit::BuildArchive(archive, files, 1);
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(archive));

    std::vector<std::uint8_t> read;
    ASSERT_TRUE(control.ReadFileFromMpq(u"UI\\war3skins.txt", read));
    EXPECT_EQ(read, Bytes("locale " + std::to_string(GetParam().edited)));

    ASSERT_TRUE(control.SaveFileToMpq(u"UI\\war3skins.txt", Bytes("[Orc]")));
    std::vector<std::uint16_t> expected = GetParam().stored;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(LocalesOf(archive), expected) << "the replacement added or lost an entry";
    ASSERT_TRUE(control.ReadFileFromMpq(u"UI\\war3skins.txt", read));
    EXPECT_EQ(read, Bytes("[Orc]"));

    ASSERT_TRUE(control.DeleteFileFromMpq(u"UI\\war3skins.txt"));
    expected.erase(std::find(expected.begin(), expected.end(), GetParam().edited));
    EXPECT_EQ(LocalesOf(archive), expected);
}

INSTANTIATE_TEST_SUITE_P(Entries, MpqControlLocale,
                         ::testing::Values(LocaleCase{"NeutralOnly", {0}, 0}, LocaleCase{"ChineseOnly", {0x804}, 0x804},
                                           LocaleCase{"GermanOnly", {0x407}, 0x407},
                                           LocaleCase{"NeutralAndChinese", {0, 0x804}, 0x804}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MpqControlPaths, MissingArchiveIsNeverCreated) {
    testkit::TempDir dir;
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(dir / "War3Patch.mpq"));
    std::vector<std::uint8_t> read;
    EXPECT_FALSE(control.FileExistsInMpq(u"a.txt"));
    EXPECT_FALSE(control.ReadFileFromMpq(u"a.txt", read));
    EXPECT_FALSE(control.SaveFileToMpq(u"a.txt", Bytes("x")));
    EXPECT_FALSE(control.DeleteFileFromMpq(u"a.txt"));
    EXPECT_FALSE(control.CompressMpq());
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(MpqControlPaths, ArchiveOpensOnlyForAnArchive) {
    testkit::TempDir dir;
    testkit::WriteFile(dir / "random.mpq", std::string(4096, 'x'));
    fs::create_directory(dir / "folder.mpq");
    clsMpqControl control;
    for (const char* name : {"missing.mpq", "random.mpq", "folder.mpq", ""}) {
        control.SetMpqFileName(name[0] ? TextFromPath(dir / name) : u"");
        EXPECT_FALSE(control.ArchiveOpens()) << name;
    }
    EXPECT_FALSE(fs::exists(dir / "missing.mpq"));
}

TEST(MpqControlPaths, EmptyNameFails) {
    clsMpqControl control;
    std::vector<std::uint8_t> read;
    EXPECT_FALSE(control.FileExistsInMpq(u"a.txt"));
    EXPECT_FALSE(control.SaveFileToMpq(u"a.txt", Bytes("x")));
    EXPECT_FALSE(control.CompressMpq());
}

TEST(MpqControlPaths, NonAsciiArchivePathWorks) {
    testkit::TempDir dir;
    const std::u16string name = TextFromPath(dir.path()) + u"/\u9b54\u517d\u4e89\u9738/War3Patch.mpq";
    fs::create_directories(PathFromText(name).parent_path());
    testkit::BuildArchive(PathFromText(name), testkit::SampleArchiveFiles());
    clsMpqControl control;
    control.SetMpqFileName(name);
    EXPECT_TRUE(control.SaveFileToMpq(u"UI\\war3skins.txt", Bytes("y")));
    std::vector<std::uint8_t> read;
    EXPECT_TRUE(control.ReadFileFromMpq(u"UI\\war3skins.txt", read));
    EXPECT_EQ(read, Bytes("y"));
}

// Each false comes with the reason a caller can act on, and leaves the archive as it was.
TEST(FailureReasons, FalseComesWithItsReason) {
    // No archive, a file that is none and an absent file read are met by the command line's tests.
    using Run = std::function<bool(clsMpqControl&, MpqFailure*)>;
    const Run compact = [](clsMpqControl& c, MpqFailure* why) { return c.CompressMpq(why); };
    const auto nothing = [](const fs::path&) {};
    const struct {
        const char* name;
        std::function<void(const fs::path&)> prepare;
        Run run;
        MpqFailure expected;
    } cases[] = {
        // clang-format off
        {"ArchiveIsADirectory", [](const fs::path& a) { fs::remove(a), fs::create_directory(a); }, compact, MpqFailure::NoArchive},
        {"ExistsOfAbsentFile", nothing, [](clsMpqControl& c, MpqFailure* why) { return c.FileExistsInMpq(u"UI\\nothing.txt", why); }, MpqFailure::NotFound},
        {"DeleteOfAbsentFile", nothing, [](clsMpqControl& c, MpqFailure* why) { return c.DeleteFileFromMpq(u"UI\\nothing.txt", why); }, MpqFailure::NotFound},
        {"NonAsciiAddress", nothing, [](clsMpqControl& c, MpqFailure* why) { return c.SaveFileToMpq(u"UI\\\u6e38.txt", Bytes("x"), why); }, MpqFailure::BadArgument},
        {"EmptyStoredFile", nothing, [](clsMpqControl& c, MpqFailure* why) { std::vector<std::uint8_t> b; return c.ReadFileFromMpq(u"empty.txt", b, why); }, MpqFailure::Malformed},
        // Hard links: compaction would leave the other names with the old file.
        {"HardLinkedCompaction", [](const fs::path& a) { fs::create_hard_link(a, a.string() + ".copy"); }, compact, MpqFailure::Linked},
        // clang-format on
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        testkit::TempDir dir;
        const fs::path archive = dir / "War3Patch.mpq";
        testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
        row.prepare(archive);
        const bool isFile = fs::is_regular_file(archive);
        const std::vector<std::uint8_t> before = isFile ? testkit::ReadBytes(archive) : std::vector<std::uint8_t>{};
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(archive));
        MpqFailure why = MpqFailure::None;
        EXPECT_FALSE(row.run(control, &why));
        EXPECT_EQ(why, row.expected) << MpqFailureText(why);
        EXPECT_EQ(isFile ? testkit::ReadBytes(archive) : before, before);
    }
}

// --- Size limit and transfers a piece at a time ---

constexpr std::uint32_t kLimit = 4u << 20;     // the limit the callers give for the string and skin files
constexpr std::size_t kLarge = (5u << 20) / 2; // 2.5 MiB: three pieces of at most 1 MiB
const std::u16string kStrings = u"UI\\FrameDef\\GlobalStrings.fdf";
const std::u16string kMusic = u"Sound\\Music\\mp3Music\\War3XMainScreen.mp3";

// An archive of the game's shape with a large resource, read through an engine whose steps are counted.
class MpqTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        testkit::BuildArchive(m_archive, {{u"UI\\war3skins.txt", Bytes("[Human]")}, {kMusic, m_music}}, 1);
        m_control.SetMpqFileName(TextFromPath(m_archive));
        m_before = testkit::ReadBytes(m_archive);
    }
    bool ArchiveUnchanged() const { return testkit::ReadBytes(m_archive) == m_before; }
    std::vector<fs::path> Entries() const {
        std::vector<fs::path> names;
        for (const auto& entry : fs::directory_iterator(m_dir.path()))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    testkit::TempDir m_dir;
    fs::path m_archive = m_dir / "War3Patch.mpq";
    std::vector<std::uint8_t> m_music = testkit::PatternBytes(kLarge, 21, false);
    std::shared_ptr<testkit::FaultyMpqEngine> m_engine = std::make_shared<testkit::FaultyMpqEngine>();
    clsMpqControl m_control{m_engine};
    std::vector<std::uint8_t> m_before;
};

// The limit is judged from the stored size alone: a file one byte over it is refused before any
// byte of it is read or any buffer is made for it.
struct LimitCase {
    const char* name;
    std::uint32_t size;
    std::uint32_t maxSize;
    MpqFailure expected; // None: read whole
};

void PrintTo(const LimitCase& limitCase, std::ostream* out) {
    *out << limitCase.name;
}

class MpqReadLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(MpqReadLimit, RefusedFromTheStoredSizeBeforeAnythingIsRead) {
    const LimitCase& row = GetParam();
    testkit::TempDir dir;
    const std::vector<std::uint8_t> strings = testkit::PatternBytes(row.size, 5);
    testkit::BuildArchive(dir / "War3Patch.mpq", {{kStrings, strings}}, 1);
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(dir / "War3Patch.mpq"));
    std::vector<std::uint8_t> read;
    MpqFailure why = MpqFailure::None;
    EXPECT_EQ(control.ReadFileFromMpq(kStrings, read, &why, row.maxSize), row.expected == MpqFailure::None);
    EXPECT_EQ(why, row.expected) << MpqFailureText(why);
    if (row.expected == MpqFailure::None) {
        EXPECT_EQ(read, strings);
        return;
    }
    EXPECT_EQ(engine->Calls(testkit::MpqStep::ReadFile), 0);
    EXPECT_EQ(read.capacity(), 0u) << "a buffer was made for a refused file";
}

INSTANTIATE_TEST_SUITE_P(Rows, MpqReadLimit,
                         ::testing::Values(LimitCase{"OneOverTheLimit", kLimit + 1, kLimit, MpqFailure::TooLarge},
                                           LimitCase{"ExactlyTheLimit", kLimit, kLimit, MpqFailure::None},
                                           LimitCase{"NoLimitGiven", kLimit + 1, clsMpqControl::kLargestFile,
                                                     MpqFailure::None}),
                         [](const auto& info) { return std::string(info.param.name); });

// Through the real worker: several pieces each way, byte for byte, with progress up to the whole file.
TEST(MpqTransferRoundTrip, ExtractAndStoreALargeFileByteExactly) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    const std::vector<std::uint8_t> music = testkit::PatternBytes(kLarge, 21, false);
    testkit::BuildArchive(archive, {{kMusic, music}}, 1);
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(archive));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    control.SetProgress([&](std::uint64_t done, std::uint64_t total) { reports.emplace_back(done, total); });

    std::uint64_t size = 0;
    ASSERT_TRUE(control.ExtractFileFromMpq(kMusic, TextFromPath(dir / "out.mp3"), nullptr, &size));
    EXPECT_EQ(size, music.size());
    EXPECT_EQ(testkit::ReadBytes(dir / "out.mp3"), music);
    ASSERT_FALSE(reports.empty());
    const std::pair<std::uint64_t, std::uint64_t> whole(music.size(), music.size());
    EXPECT_EQ(reports.back(), whole);

    const std::vector<std::uint8_t> replacement = testkit::PatternBytes(kLarge + 12345, 22, false);
    testkit::WriteFile(dir / "new.mp3", replacement);
    reports.clear();
    ASSERT_TRUE(control.SaveFileToMpqFromDisk(kMusic, TextFromPath(dir / "new.mp3")));
    const std::pair<std::uint64_t, std::uint64_t> wholeReplacement(replacement.size(), replacement.size());
    EXPECT_NE(std::find(reports.begin(), reports.end(), wholeReplacement), reports.end())
        << "the write's progress never reached the whole file";
    std::vector<std::uint8_t> read;
    ASSERT_TRUE(control.ReadFileFromMpq(kMusic, read));
    EXPECT_EQ(read, replacement);
    std::uint64_t measured = 0;
    EXPECT_TRUE(control.MeasureFileInMpq(kMusic, measured));
    EXPECT_EQ(measured, replacement.size());
    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not installed";
    EXPECT_EQ(testkit::SmpqExtract(archive, "Sound\\Music\\mp3Music\\War3XMainScreen.mp3"), replacement);
}

// A failed extraction leaves what was at the destination (or nothing) and no temporary file.
struct ExtractFailureCase {
    const char* name;
    const char* destination;      // relative to the test's directory
    testkit::MpqStep failingStep; // with failAt
    int failAt;                   // 0: the engine does not fail
    MpqFailure expected;
};

void PrintTo(const ExtractFailureCase& failureCase, std::ostream* out) {
    *out << failureCase.name;
}

class ExtractFailure : public MpqTransfer, public ::testing::WithParamInterface<ExtractFailureCase> {};

TEST_P(ExtractFailure, LeavesTheDestinationAsItWas) {
    const ExtractFailureCase& row = GetParam();
    testkit::WriteFile(m_dir / "old.mp3", "previous extraction");
    fs::create_directory(m_dir / "folder");
    const std::vector<fs::path> before = Entries();
    const fs::path destination = m_dir / row.destination;
    const bool existed = fs::is_regular_file(destination);
    m_engine->FailAt(row.failingStep, row.failAt);
    MpqFailure why = MpqFailure::None;
    EXPECT_FALSE(m_control.ExtractFileFromMpq(kMusic, TextFromPath(destination), &why));
    EXPECT_EQ(why, row.expected) << MpqFailureText(why);
    EXPECT_EQ(existed ? std::optional(testkit::ReadBytes(destination)) : std::nullopt,
              existed ? std::optional(Bytes("previous extraction")) : std::nullopt);
    std::vector<fs::path> after = Entries();
    after.erase(std::remove(after.begin(), after.end(), "War3Patch.mpq-lock"), after.end());
    EXPECT_EQ(after, before);
    EXPECT_TRUE(ArchiveUnchanged());
}

INSTANTIATE_TEST_SUITE_P(Rows, ExtractFailure,
                         ::testing::Values(ExtractFailureCase{"EngineFailsOnTheSecondPiece", "old.mp3",
                                                              testkit::MpqStep::ReadFile, 2, MpqFailure::EngineFailed},
                                           ExtractFailureCase{"EngineFailsOnTheLastPieceOfANewFile", "new.mp3",
                                                              testkit::MpqStep::ReadFile, 3, MpqFailure::EngineFailed},
                                           ExtractFailureCase{"DestinationIsADirectory", "folder",
                                                              testkit::MpqStep::ReadFile, 0, MpqFailure::DiskFile},
                                           ExtractFailureCase{"DestinationDirectoryMissing", "no-such-dir/new.mp3",
                                                              testkit::MpqStep::ReadFile, 0, MpqFailure::DiskFile}),
                         [](const auto& info) { return std::string(info.param.name); });

// A store from a disk file that fails part of the way leaves the archive byte for byte as it was.
struct StoreFailureCase {
    const char* name;
    const char* source;           // relative to the test's directory; "War3Patch.mpq" is the archive
    bool shrinkAfterFirstPiece;   // the disk file is cut short once the first piece is written
    testkit::MpqStep failingStep; // with failAt
    int failAt;
    MpqFailure expected;
};

void PrintTo(const StoreFailureCase& failureCase, std::ostream* out) {
    *out << failureCase.name;
}

class StoreFromDiskFailure : public MpqTransfer, public ::testing::WithParamInterface<StoreFailureCase> {};

TEST_P(StoreFromDiskFailure, LeavesTheArchiveByteIdentical) {
    const StoreFailureCase& row = GetParam();
    const fs::path source = m_dir / row.source;
    testkit::WriteFile(m_dir / "new.mp3", testkit::PatternBytes(kLarge, 23, false));
    if (row.shrinkAfterFirstPiece) {
        m_engine->SetHook([&](testkit::MpqStep step, int occurrence) {
            if (step == testkit::MpqStep::WriteFile && occurrence == 1)
                fs::resize_file(source, 1000);
        });
    }
    m_engine->FailAt(row.failingStep, row.failAt);
    MpqFailure why = MpqFailure::None;
    EXPECT_FALSE(m_control.SaveFileToMpqFromDisk(kMusic, TextFromPath(source), &why));
    EXPECT_EQ(why, row.expected) << MpqFailureText(why);
    EXPECT_TRUE(ArchiveUnchanged());
    std::vector<std::uint8_t> read;
    EXPECT_TRUE(m_control.ReadFileFromMpq(kMusic, read));
    EXPECT_EQ(read, m_music);
}

INSTANTIATE_TEST_SUITE_P(Rows, StoreFromDiskFailure,
                         ::testing::Values(StoreFailureCase{"DiskFileShrinksMidway", "new.mp3", true,
                                                            testkit::MpqStep::WriteFile, 0, MpqFailure::DiskFile},
                                           StoreFailureCase{"EngineFailsOnTheSecondPiece", "new.mp3", false,
                                                            testkit::MpqStep::WriteFile, 2, MpqFailure::EngineFailed},
                                           StoreFailureCase{"TheArchiveItself", "War3Patch.mpq", false,
                                                            testkit::MpqStep::WriteFile, 0, MpqFailure::BadArgument}),
                         [](const auto& info) { return std::string(info.param.name); });

// The comparison is exact, over every piece, and stops reading at a different size.
using Edit = std::function<std::vector<std::uint8_t>(std::vector<std::uint8_t>)>;
const Edit kSame = [](std::vector<std::uint8_t> bytes) { return bytes; };

struct CompareCase {
    const char* name;
    Edit disk; // the disk file made from the stored bytes; none: no disk file
    std::u16string address;
    bool comparable;
    bool same;
    MpqFailure expected;
    int reads; // ReadFile calls the comparison makes
};

void PrintTo(const CompareCase& compareCase, std::ostream* out) {
    *out << compareCase.name;
}

class CompareWithDisk : public MpqTransfer, public ::testing::WithParamInterface<CompareCase> {};

TEST_P(CompareWithDisk, IsExactAndReadsNoMoreThanNeeded) {
    const CompareCase& row = GetParam();
    const fs::path disk = m_dir / "disk.mp3";
    if (row.disk)
        testkit::WriteFile(disk, row.disk(m_music));
    bool same = !row.same;
    MpqFailure why = MpqFailure::None;
    EXPECT_EQ(m_control.CompareFileInMpq(row.address, TextFromPath(disk), same, &why), row.comparable);
    EXPECT_EQ(why, row.expected) << MpqFailureText(why);
    EXPECT_EQ(same, row.same);
    EXPECT_EQ(m_engine->Calls(testkit::MpqStep::ReadFile), row.reads);
}

INSTANTIATE_TEST_SUITE_P(Rows, CompareWithDisk,
                         ::testing::Values(CompareCase{"Identical", kSame, kMusic, true, true, MpqFailure::None, 3},
                                           CompareCase{"LastByteDiffers",
                                                       [](std::vector<std::uint8_t> bytes) {
                                                           bytes.back() ^= 1;
                                                           return bytes;
                                                       },
                                                       kMusic, true, false, MpqFailure::None, 3},
                                           CompareCase{"FirstByteDiffers",
                                                       [](std::vector<std::uint8_t> bytes) {
                                                           bytes.front() ^= 1;
                                                           return bytes;
                                                       },
                                                       kMusic, true, false, MpqFailure::None, 1},
                                           CompareCase{"OneByteLonger",
                                                       [](std::vector<std::uint8_t> bytes) {
                                                           bytes.push_back(0);
                                                           return bytes;
                                                       },
                                                       kMusic, true, false, MpqFailure::None, 0},
                                           CompareCase{"AbsentInTheArchive", kSame, u"Fonts\\FRIZQT__.TTF", false,
                                                       false, MpqFailure::NotFound, 0},
                                           CompareCase{"NoDiskFile", nullptr, kMusic, false, false,
                                                       MpqFailure::DiskFile, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
