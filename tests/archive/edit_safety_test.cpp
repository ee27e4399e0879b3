// Edits where the engine and the door meet: an archive copied into the file of one that crashed
// mid-edit, hash tables that readers and writers could walk differently, and a large tail after
// the archive. Each is a way an edit could report success and leave a broken or foreign archive.
#include "archive/archive_file.h"
#include "archive/door/archive_guard.h"
#include "archive/door/mpq_control.h"
#include "archive/mpq_engine.h"
#include "support/text_path.h"
#include "testkit/child_process.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/hostile_archives.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <optional>

namespace fs = std::filesystem;
using testkit::Bytes;
using testkit::MpqStep;
using Buffer = std::vector<std::uint8_t>;

namespace {

const std::u16string kStrings = u"UI\\FrameDef\\GlobalStrings.fdf";
const std::u16string kSkins = u"UI\\war3skins.txt";

Buffer Strings(const std::string& name) {
    return Bytes("StringList {\r\nGAMENAME \"" + name + "\",\r\n}\r\n");
}

Buffer Read(const fs::path& archive, const std::u16string& address, MpqFailure* why = nullptr) {
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(archive));
    Buffer bytes;
    control.ReadFileFromMpq(address, bytes, why);
    return bytes;
}

bool Save(const fs::path& archive, const std::u16string& address, const Buffer& bytes, MpqFailure* why = nullptr) {
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(archive));
    return control.SaveFileToMpq(address, bytes, why);
}

TESTKIT_CHILD_ROLE(EditLanNameUntilStep) {
    return testkit::RunUntilStep(
        args, [](clsMpqControl& control) { control.SaveFileToMpq(kStrings, Strings("A's new name")); });
}

// A LAN-name edit in a child that kills itself when the engine reaches the step.
void KillEditAt(const fs::path& archive, MpqStep step) {
    ASSERT_TRUE(testkit::KilledAt(archive, step, "EditLanNameUntilStep")) << "the child was not killed";
}

// A crash during an edit of archive A; then a copy of archive B, made from the same base with
// another font, is written over A's file in place (cp keeps the inode). B is never changed by
// recovery: the journal is set aside, and B reads as B.
class CopiedOverAfterCrashTest : public ::testing::TestWithParam<MpqStep> {};

TEST_P(CopiedOverAfterCrashTest, TheCopyIsNeverChangedByRecovery) {
    testkit::TempDir dir;
    const fs::path a = dir / "War3Patch.mpq";
    const fs::path b = dir / "other" / "War3Patch.mpq";
    fs::create_directories(b.parent_path());
    std::vector<MpqBuilderFile> base = testkit::SampleArchiveFiles();
    base[0].content = Strings("base");
    testkit::BuildArchive(a, base, 1);
    testkit::BuildArchive(b, base, 1);
    ASSERT_TRUE(Save(b, u"Fonts\\dfst-m3u.ttf", testkit::PatternBytes(23000, 5)));
    const Buffer bBytes = testkit::ReadBytes(b);
    const std::optional<archive_io::FileIdentity> before = archive_io::IdentityOf(a);
    ASSERT_TRUE(before.has_value());

    KillEditAt(a, GetParam());
    ASSERT_TRUE(fs::exists(archive_guard::JournalPath(a)));
    testkit::WriteFile(a, bBytes);
    const std::optional<archive_io::FileIdentity> after = archive_io::IdentityOf(a);
    ASSERT_TRUE(after && after->SameFile(*before)) << "the copy must keep the file, as cp does";

    // A status sees an interrupted write of ours and touches nothing.
    clsMpqControl looking;
    looking.SetRecovery(false);
    looking.SetMpqFileName(TextFromPath(a));
    MpqFailure why = MpqFailure::None;
    EXPECT_FALSE(looking.ArchiveOpens(&why));
    EXPECT_EQ(why, MpqFailure::PendingRecovery);
    EXPECT_EQ(testkit::ReadBytes(a), bBytes);

    // The next read settles it: B stays B, the journal is set aside, and the caller is told.
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(a));
    int notices = 0;
    control.SetSetAsideNotice([&] { ++notices; });
    Buffer strings;
    EXPECT_TRUE(control.ReadFileFromMpq(kStrings, strings));
    EXPECT_EQ(strings, Strings("base"));
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(testkit::ReadBytes(a), bBytes);
    EXPECT_FALSE(fs::exists(archive_guard::JournalPath(a)));
    EXPECT_TRUE(fs::exists(archive_guard::AsideJournalPath(a, 1)));
    EXPECT_EQ(Read(a, u"Fonts\\dfst-m3u.ttf"), testkit::PatternBytes(23000, 5));
}

// Killed while the engine writes the new data, when it has written all but the header, and while
// it writes the header.
INSTANTIATE_TEST_SUITE_P(Kills, CopiedOverAfterCrashTest,
                         ::testing::Values(MpqStep::WriteFile, MpqStep::PrepareFlush, MpqStep::FlushArchive),
                         [](const auto& info) { return std::string(testkit::StepName(info.param)); });

// Hash tables whose entries readers and writers could take differently. An edit either refuses
// the archive, leaving it as it was, or succeeds and reads back, through our reader and through
// StormLib's smpq, as exactly what was written.
struct HashShape {
    const char* name;
    std::function<void(testkit::ArchiveEditor&)> edit;
    bool refused;
};

void PrintTo(const HashShape& shape, std::ostream* out) {
    *out << shape.name;
}

// The skins entry moved to the next never-used slot, its own slot left never-used: readers starting at the
// name's slot stop at once.
void CutChain(testkit::ArchiveEditor& editor) {
    testkit::ArchiveEditor::Hash& skins = editor.HashOf("UI\\war3skins.txt");
    const std::size_t count = editor.hashes.size();
    const std::size_t at = static_cast<std::size_t>(&skins - editor.hashes.data());
    std::size_t next = (at + 1) % count;
    while (editor.hashes[next].blockIndex != 0xFFFFFFFF) {
        next = (next + 1) % count;
        if (next == at)
            throw std::runtime_error("no never-used slot in the hash table");
    }
    editor.hashes[next] = skins;
    skins = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
}

class HashShapeTest : public ::testing::TestWithParam<HashShape> {};

TEST_P(HashShapeTest, AnEditReadsBackAsWrittenOrIsRefused) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::WriteFile(archive, testkit::EditedBaseArchive(1, GetParam().edit));
    const Buffer before = testkit::ReadBytes(archive);
    const Buffer skins = Bytes("[Orc]\r\nCursor=UI\\Cursor\\OrcCursor.blp\r\n");
    MpqFailure why = MpqFailure::None;
    const bool saved = Save(archive, kSkins, skins, &why);
    if (GetParam().refused) {
        EXPECT_FALSE(saved);
        EXPECT_EQ(why, MpqFailure::Malformed);
        EXPECT_EQ(testkit::ReadBytes(archive), before);
        return;
    }
    ASSERT_TRUE(saved) << MpqFailureText(why);
    EXPECT_EQ(Read(archive, kSkins), skins);
    if (testkit::HaveSmpq()) {
        EXPECT_EQ(testkit::SmpqExtract(archive, "UI\\war3skins.txt"), skins);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Shapes, HashShapeTest, ::testing::Values(
    HashShape{"PlatformByte4", [](testkit::ArchiveEditor& e) { e.HashOf("UI\\war3skins.txt").locale = 0x00040000; }, true},
    HashShape{"UnusedFourthByte", [](testkit::ArchiveEditor& e) { e.HashOf("UI\\war3skins.txt").locale = 0xFF000000; }, false},
    HashShape{"ChainCutByAnEmptiedSlot", CutChain, false}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// An archive followed by 2 GiB of sparse zeros: a LAN-name edit journals a few kilobytes, not the
// tail, and the tail stays where it was.
TEST(LargeTail, AnEditJournalsOnlyWhatItOverwrites) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    const std::uintmax_t archiveSize = fs::file_size(archive);
    const std::uintmax_t tail = std::uintmax_t{2} << 30;
    fs::resize_file(archive, archiveSize + tail);
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    std::uintmax_t journalSize = 0;
    engine->SetHook([&](MpqStep step, int) {
        std::error_code error;
        if (step == MpqStep::FlushArchive)
            journalSize = fs::file_size(archive_guard::JournalPath(archive), error);
    });
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(archive));
    MpqFailure why = MpqFailure::None;
    ASSERT_TRUE(control.SaveFileToMpq(kStrings, Strings("Hall 7"), &why)) << MpqFailureText(why);
    EXPECT_GT(journalSize, 0u);
    EXPECT_LT(journalSize, 64u * 1024);
    EXPECT_EQ(Read(archive, kStrings), Strings("Hall 7"));
    // The tail is still there, still zeros where it was.
    ASSERT_GE(fs::file_size(archive), archiveSize + tail);
    const std::unique_ptr<archive_io::File> file = archive_io::File::Open(archive, archive_io::File::Mode::Read);
    ASSERT_NE(file, nullptr);
    Buffer probe(4096);
    for (const std::uintmax_t at : {archiveSize, archiveSize + tail / 2, archiveSize + tail - probe.size()}) {
        ASSERT_TRUE(file->ReadAt(at, probe));
        EXPECT_EQ(std::count(probe.begin(), probe.end(), 0), static_cast<std::ptrdiff_t>(probe.size())) << at;
    }
}

} // namespace
