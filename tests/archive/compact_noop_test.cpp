// CompressMpq on archives with and without anything to reclaim: where the compactor would write the
// archive's very bytes the door says so and leaves the file alone (same file, same modification
// time, same bytes, no compaction file left), otherwise it rewrites it; either way a second
// compaction finds nothing to reclaim, and the result reads the same through the independent reader.
#include "archive/archive_file.h"
#include "archive/door/mpq_control.h"
#include "archive/format/mpq_compact.h"
#include "archive/format/mpq_signature.h"
#include "mods/modifications.h"
#include "support/text_path.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <set>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::u16string kModel = u"UI\\Glues\\MainMenu\\MainMenu3d\\MainMenu3d.mdx";
const std::u16string kSkins = u"UI\\war3skins.txt";
const std::u16string kMusic = u"Sound\\Music\\mp3Music\\Mainscreen.mp3";

std::vector<MpqBuilderFile> Files() {
    return {{kModel, testkit::PatternBytes(200000, 3, false)},
            {kSkins, testkit::Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.blp\r\n")},
            {u"Fonts\\FRIZQT__.TTF", testkit::PatternBytes(30000, 4)},
            {u"empty.txt", {}}};
}

// What a compaction would write, made by the compactor itself on a copy: the oracle for "nothing to
// reclaim".
std::optional<Bytes> CompactedBytes(const fs::path& archive, const fs::path& scratch) {
    auto source = archive_io::File::Open(archive, archive_io::File::Mode::Read);
    auto target = archive_io::File::Open(scratch, archive_io::File::Mode::CreateNew);
    if (!source || !target)
        return std::nullopt;
    const auto tables = mpq::ReadArchiveTables(*source, false);
    if (!tables || !mpq::CompactArchive(*source, *tables, *target, {}).ok)
        return std::nullopt;
    target.reset();
    return testkit::ReadBytes(scratch);
}

struct FileState {
    archive_io::FileIdentity identity;
    fs::file_time_type modified;
    Bytes bytes;
};

FileState StateOf(const fs::path& path) {
    return {archive_io::IdentityOf(path).value_or(archive_io::FileIdentity{}), fs::last_write_time(path),
            testkit::ReadBytes(path)};
}

// What the door reads of each file the rows store (nothing for one it cannot read).
std::map<std::u16string, std::optional<Bytes>> Contents(clsMpqControl& mpq) {
    std::map<std::u16string, std::optional<Bytes>> contents;
    for (const std::u16string& name : {kModel, kSkins, std::u16string(u"Fonts\\FRIZQT__.TTF"), kMusic}) {
        Bytes bytes;
        contents[name] = mpq.ReadFileFromMpq(name, bytes) ? std::optional<Bytes>(bytes) : std::nullopt;
    }
    return contents;
}

std::set<fs::path> Names(const fs::path& directory) {
    std::set<fs::path> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename());
    return names;
}

struct NoopCase {
    const char* name;
    // Brings the freshly built archive into the row's state.
    std::function<void(clsMpqControl& mpq, const fs::path& archive)> prepare;
    // Whether the door must rewrite it; nothing: as the compactor's own output says.
    std::optional<bool> rewritten;
};

void PrintTo(const NoopCase& c, std::ostream* os) {
    *os << c.name;
}

void CompactOnce(clsMpqControl& mpq, const fs::path&) {
    ASSERT_TRUE(mpq.CompressMpq());
}

void AppendBytes(const fs::path& archive) {
    Bytes bytes = testkit::ReadBytes(archive);
    const Bytes tail = testkit::PatternBytes(300, 5, false);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    testkit::WriteFile(archive, bytes);
}

class CompactNothingToReclaim : public testing::TestWithParam<NoopCase> {};

TEST_P(CompactNothingToReclaim, RewritesOnlyWhatCompactionWouldChange) {
    const NoopCase& row = GetParam();
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, Files());
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(archive));
    ASSERT_NO_FATAL_FAILURE(row.prepare(mpq, archive));

    const testkit::TempDir scratch;
    const std::optional<Bytes> compacted = CompactedBytes(archive, scratch / "compacted.mpq");
    ASSERT_TRUE(compacted.has_value());
    const FileState before = StateOf(archive);
    const bool sameBytes = *compacted == before.bytes;
    if (row.rewritten) {
        EXPECT_EQ(!sameBytes, *row.rewritten) << "the row's expectation disagrees with the compactor";
    }
    const std::set<fs::path> names = Names(dir.path());
    const auto contents = Contents(mpq);

    MpqFailure why = MpqFailure::None;
    bool rewritten = !sameBytes;
    ASSERT_TRUE(mpq.CompressMpq(&why, &rewritten)) << static_cast<int>(why);
    EXPECT_EQ(rewritten, !sameBytes);
    const FileState after = StateOf(archive);
    EXPECT_EQ(after.bytes, *compacted);
    if (!rewritten) {
        EXPECT_TRUE(after.identity.SameFile(before.identity)) << "the archive was replaced";
        EXPECT_EQ(after.modified, before.modified);
    } else {
        EXPECT_FALSE(after.identity.SameFile(before.identity));
    }
    // No compaction file is left, whichever way it went; the lock file may have come.
    std::set<fs::path> expected = names;
    expected.insert(archive.filename().string() + "-lock");
    std::set<fs::path> left = Names(dir.path());
    left.insert(archive.filename().string() + "-lock");
    EXPECT_EQ(left, expected);

    // Compacted, it has nothing to reclaim: the second run leaves it exactly as it is.
    const FileState settled = StateOf(archive);
    rewritten = true;
    ASSERT_TRUE(mpq.CompressMpq(nullptr, &rewritten));
    EXPECT_FALSE(rewritten);
    const FileState again = StateOf(archive);
    EXPECT_TRUE(again.identity.SameFile(settled.identity));
    EXPECT_EQ(again.modified, settled.modified);
    EXPECT_EQ(again.bytes, settled.bytes);

    // The window's handler: the same success message, and says nothing was written.
    const mods::Outcome outcome = mods::CompactArchive(mpq);
    EXPECT_EQ(outcome.text, mods::kTextSucceeded);
    EXPECT_TRUE(outcome.unchanged);

    // The files read the same through our door and through the independent reader.
    EXPECT_EQ(Contents(mpq), contents);
    if (testkit::HaveSmpq()) {
        EXPECT_EQ(testkit::SmpqExtract(archive, "Fonts/FRIZQT__.TTF"), contents.at(u"Fonts\\FRIZQT__.TTF"));
    }
}

const NoopCase kNoopCases[] = {
    {"FreshFromOurBuilder", [](clsMpqControl&, const fs::path&) {}, std::nullopt},
    {"CompactedOnce", CompactOnce, false},
    {"ReplacedAfterCompaction",
     [](clsMpqControl& mpq, const fs::path& archive) {
         CompactOnce(mpq, archive);
         ASSERT_TRUE(mpq.SaveFileToMpq(kSkins, testkit::Bytes("[Orc]\r\nCursor=UI\\Cursor\\OrcCursor.blp\r\n")));
     },
     true},
    {"DeletedAfterCompaction",
     [](clsMpqControl& mpq, const fs::path& archive) {
         CompactOnce(mpq, archive);
         ASSERT_TRUE(mpq.DeleteFileFromMpq(kModel));
     },
     true},
    {"AddedAfterCompaction",
     [](clsMpqControl& mpq, const fs::path& archive) {
         CompactOnce(mpq, archive);
         ASSERT_TRUE(mpq.SaveFileToMpq(kMusic, testkit::PatternBytes(9000, 6)));
     },
     std::nullopt},
    // Bytes after the archive's end (a strong signature's place) are kept by compaction where they
    // are: nothing there to reclaim.
    {"TrailingBytesAfterCompaction",
     [](clsMpqControl& mpq, const fs::path& archive) {
         CompactOnce(mpq, archive);
         AppendBytes(archive);
     },
     false},
    {"SignedAfterCompaction",
     [](clsMpqControl& mpq, const fs::path& archive) {
         CompactOnce(mpq, archive);
         ASSERT_TRUE(testkit::SignArchiveWeakly(archive));
     },
     std::nullopt},
    {"SignedThenCompacted",
     [](clsMpqControl& mpq, const fs::path& archive) {
         ASSERT_TRUE(testkit::SignArchiveWeakly(archive));
         CompactOnce(mpq, archive);
     },
     false},
    // The signature no longer matches the bytes: compaction signs again, so it has work to do.
    {"CompactedWithBrokenSignature",
     [](clsMpqControl& mpq, const fs::path& archive) {
         ASSERT_TRUE(testkit::SignArchiveWeakly(archive));
         CompactOnce(mpq, archive);
         auto file = archive_io::File::Open(archive, archive_io::File::Mode::ReadWrite);
         ASSERT_TRUE(file);
         const auto tables = mpq::ReadArchiveTables(*file, false);
         ASSERT_TRUE(tables.has_value());
         const auto signature = mpq::WeakSignatureOffset(*tables);
         ASSERT_TRUE(signature.has_value());
         ASSERT_TRUE(file->WriteAt(*signature + 20, testkit::Bytes("XX")));
     },
     true},
};

INSTANTIATE_TEST_SUITE_P(Archives, CompactNothingToReclaim, testing::ValuesIn(kNoopCases),
                         [](const testing::TestParamInfo<NoopCase>& info) { return std::string(info.param.name); });

} // namespace
