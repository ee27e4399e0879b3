// What the next operation does with the files a killed operation left: only a complete journal of
// ours that belongs to the archive in place is replayed; one cut short is dropped; a damaged one,
// an old-format one or one left from an archive that has since been replaced is moved aside and
// never applied; a file of one of our names that is not ours is never touched.
#include "archive/archive_guard.h"
#include "archive/mpq_control.h"
#include "support/text_path.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testkit::Bytes;
using testkit::MpqStep;

namespace {

// Runs the operation in a child that SIGKILLs itself when the engine reaches the step.
void KillChildAt(const fs::path& archive, MpqStep step, const std::function<bool(clsMpqControl&)>& run) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto engine = std::make_shared<testkit::FaultyMpqEngine>();
        engine->SetHook([step](MpqStep reached, int) {
            if (reached == step)
                ::kill(::getpid(), SIGKILL);
        });
        clsMpqControl control(engine);
        control.SetMpqFileName(TextFromPath(archive));
        run(control);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child was not killed";
}

bool SaveLarge(clsMpqControl& control) {
    return control.SaveFileToMpq(u"Fonts\\big.ttf", testkit::PatternBytes(200000, 4, false));
}

class ArchiveInDirectory {
protected:
    ArchiveInDirectory() {
        m_archive = m_dir / "War3Patch.mpq";
        testkit::BuildArchive(m_archive, testkit::SampleArchiveFiles(), 1);
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(m_archive));
        if (!control.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", Bytes("short")))
            throw std::runtime_error("setup");
        m_original = testkit::ReadBytes(m_archive);
    }

    // A save works and reads back.
    void ExpectEditsWork() {
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(m_archive));
        MpqFailure why = MpqFailure::None;
        EXPECT_TRUE(control.SaveFileToMpq(u"UI\\later.txt", Bytes("later"), &why)) << MpqFailureText(why);
        std::vector<std::uint8_t> read;
        EXPECT_TRUE(control.ReadFileFromMpq(u"UI\\later.txt", read));
        EXPECT_EQ(read, Bytes("later"));
    }

    testkit::TempDir m_dir;
    fs::path m_archive;
    std::vector<std::uint8_t> m_original;
};

enum class Outcome { Replayed, Removed, MovedAside, Untouched };

struct JournalCase {
    const char* name;
    MpqStep killAt; // OpenArchive: the journal is complete and the archive not yet touched
    std::function<void(std::vector<std::uint8_t>& journal)> damage;
    Outcome outcome;
};

void PrintTo(const JournalCase& journalCase, std::ostream* out) {
    *out << journalCase.name;
}

class JournalLeftover : public ::testing::TestWithParam<JournalCase>, public ArchiveInDirectory {};

TEST_P(JournalLeftover, OnlyACompleteMatchingJournalOfOursIsReplayed) {
    const JournalCase& journalCase = GetParam();
    const fs::path journal = archive_guard::JournalPath(m_archive);
    KillChildAt(m_archive, journalCase.killAt, SaveLarge);
    ASSERT_TRUE(fs::exists(journal));
    std::vector<std::uint8_t> bytes = testkit::ReadBytes(journal);
    journalCase.damage(bytes);
    testkit::WriteFile(journal, bytes);

    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    std::vector<std::uint8_t> read;
    EXPECT_TRUE(control.ReadFileFromMpq(u"UI\\war3skins.txt", read)) << "reads must work";
    EXPECT_EQ(testkit::ReadBytes(m_archive), m_original) << "the archive is not its old self";
    const fs::path aside = archive_guard::AsideJournalPath(m_archive, 1);
    switch (journalCase.outcome) {
    case Outcome::Replayed:
    case Outcome::Removed:
        EXPECT_FALSE(fs::exists(journal));
        EXPECT_FALSE(fs::exists(aside));
        break;
    case Outcome::MovedAside:
        EXPECT_FALSE(fs::exists(journal));
        EXPECT_EQ(testkit::ReadBytes(aside), bytes);
        break;
    case Outcome::Untouched: {
        EXPECT_EQ(testkit::ReadBytes(journal), bytes);
        MpqFailure why = MpqFailure::None;
        EXPECT_FALSE(control.SaveFileToMpq(u"UI\\later.txt", Bytes("later"), &why));
        EXPECT_EQ(why, MpqFailure::ForeignFile);
        EXPECT_EQ(testkit::ReadBytes(journal), bytes);
        EXPECT_EQ(testkit::ReadBytes(m_archive), m_original);
        return;
    }
    }
    ExpectEditsWork();
    if (journalCase.outcome == Outcome::MovedAside) {
        EXPECT_EQ(testkit::ReadBytes(aside), bytes) << "a journal put aside is never touched again";
    }
}

void FlipAt(std::vector<std::uint8_t>& bytes, std::size_t at) {
    bytes.at(at) ^= 0x20;
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, JournalLeftover,
    ::testing::Values(
        JournalCase{"CompleteAfterStormLibWrote", MpqStep::FlushArchive, [](auto&) {}, Outcome::Replayed},
        JournalCase{"CompleteBeforeStormLibBegan", MpqStep::OpenArchive, [](auto&) {}, Outcome::Replayed},
        JournalCase{"EmptyAfterPowerCut", MpqStep::OpenArchive, [](auto& j) { j.clear(); }, Outcome::Removed},
        JournalCase{"HeaderPrefix", MpqStep::OpenArchive, [](auto& j) { j.resize(37); }, Outcome::Removed},
        JournalCase{"CutInTheBody", MpqStep::OpenArchive, [](auto& j) { j.resize(j.size() - 100); }, Outcome::Removed},
        JournalCase{"FlippedByteInTheBody", MpqStep::OpenArchive, [](auto& j) { FlipAt(j, j.size() / 2); },
                    Outcome::MovedAside},
        JournalCase{"ZeroedBodyRightShape", MpqStep::OpenArchive,
                    [](auto& j) { std::fill(j.begin() + 100, j.end() - 8, 0); }, Outcome::MovedAside},
        JournalCase{"FlippedByteInTheHeader", MpqStep::OpenArchive, [](auto& j) { FlipAt(j, 20); },
                    Outcome::MovedAside},
        JournalCase{"OldFormat", MpqStep::OpenArchive, [](auto& j) { j.at(7) = '1'; }, Outcome::MovedAside},
        JournalCase{"PlayersTextFile", MpqStep::OpenArchive, [](auto& j) { j = Bytes("notes about War3Patch.mpq"); },
                    Outcome::Untouched},
        JournalCase{"PlayersBinaryFile", MpqStep::OpenArchive,
                    [](auto& j) { j = testkit::PatternBytes(70000, 3, false); }, Outcome::Untouched}),
    [](const auto& info) { return std::string(info.param.name); });

// After a crash the player puts another archive in place before the next start. Whatever the crash
// left belongs to the old archive and must not be applied to the new one.
enum class Replacement { RenamedOver, CopiedOver };

struct StaleCase {
    const char* name;
    bool compaction; // killed in a compaction rather than in a save
    MpqStep killAt;
    Replacement replacement;
};

void PrintTo(const StaleCase& staleCase, std::ostream* out) {
    *out << staleCase.name;
}

class StaleLeftover : public ::testing::TestWithParam<StaleCase>, public ArchiveInDirectory {};

TEST_P(StaleLeftover, NewArchiveStaysByteIdenticalAndEditsWork) {
    const StaleCase& staleCase = GetParam();
    KillChildAt(m_archive, staleCase.killAt, [&](clsMpqControl& control) {
        return staleCase.compaction ? control.CompressMpq() : SaveLarge(control);
    });
    const fs::path journal = archive_guard::JournalPath(m_archive);
    const std::vector<std::uint8_t> staleJournal =
        staleCase.compaction ? std::vector<std::uint8_t>{} : testkit::ReadBytes(journal);
    if (!staleCase.compaction) {
        ASSERT_FALSE(staleJournal.empty());
    }

    const fs::path other = m_dir / "other.mpq";
    testkit::BuildArchive(other, {{u"other.txt", Bytes("another archive")}}, 1);
    const std::vector<std::uint8_t> replacement = testkit::ReadBytes(other);
    if (staleCase.replacement == Replacement::RenamedOver) {
        fs::rename(other, m_archive);
    } else {
        testkit::WriteFile(m_archive, replacement); // same inode, new bytes
        fs::remove(other);
    }

    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    EXPECT_TRUE(control.FileExistsInMpq(u"other.txt"));
    EXPECT_EQ(testkit::ReadBytes(m_archive), replacement) << "a leftover of the old archive was applied";
    EXPECT_FALSE(fs::exists(journal));
    EXPECT_FALSE(fs::exists(archive_guard::CompactPath(m_archive)));
    EXPECT_FALSE(fs::exists(archive_guard::CompactMarkerPath(m_archive)));
    if (!staleCase.compaction) {
        EXPECT_EQ(testkit::ReadBytes(archive_guard::AsideJournalPath(m_archive, 1)), staleJournal);
    }
    ExpectEditsWork();
    EXPECT_FALSE(control.FileExistsInMpq(u"UI\\war3skins.txt")) << "the old archive's files appeared";
    if (testkit::HaveSmpq()) {
        const auto names = testkit::SmpqList(m_archive);
        ASSERT_TRUE(names.has_value());
        EXPECT_EQ(std::count(names->begin(), names->end(), "other.txt"), 1);
        EXPECT_EQ(std::count(names->begin(), names->end(), "UI/war3skins.txt"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replacements, StaleLeftover,
    ::testing::Values(StaleCase{"JournalThenRenamedOver", false, MpqStep::FlushArchive, Replacement::RenamedOver},
                      StaleCase{"JournalThenCopiedOver", false, MpqStep::FlushArchive, Replacement::CopiedOver},
                      StaleCase{"CompactionThenRenamedOver", true, MpqStep::CloseArchive, Replacement::RenamedOver},
                      StaleCase{"CompactionBeforeStormLibThenCopiedOver", true, MpqStep::CompactArchive,
                                Replacement::CopiedOver}),
    [](const auto& info) { return std::string(info.param.name); });

// Files of the compaction's names that are not ours: never touched, compaction refuses, the rest works.
struct ForeignCase {
    const char* name;
    std::function<fs::path(const fs::path&)> path;
    std::vector<std::uint8_t> content;
    bool compactionRefused; // false: a torn marker of ours, dropped
};

void PrintTo(const ForeignCase& foreignCase, std::ostream* out) {
    *out << foreignCase.name;
}

class ForeignCompactionName : public ::testing::TestWithParam<ForeignCase>, public ArchiveInDirectory {};

TEST_P(ForeignCompactionName, IsNeverTouched) {
    const ForeignCase& foreignCase = GetParam();
    const fs::path path = foreignCase.path(m_archive);
    testkit::WriteFile(path, foreignCase.content);
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    EXPECT_TRUE(control.FileExistsInMpq(u"UI\\war3skins.txt"));
    MpqFailure why = MpqFailure::None;
    const bool compacted = control.CompressMpq(&why);
    if (foreignCase.compactionRefused) {
        EXPECT_FALSE(compacted);
        EXPECT_EQ(why, MpqFailure::ForeignFile);
        EXPECT_EQ(testkit::ReadBytes(path), foreignCase.content);
        EXPECT_EQ(testkit::ReadBytes(m_archive), m_original);
    } else {
        EXPECT_TRUE(compacted) << MpqFailureText(why);
        EXPECT_FALSE(fs::exists(path));
    }
    ExpectEditsWork();
    if (foreignCase.compactionRefused) {
        EXPECT_EQ(testkit::ReadBytes(path), foreignCase.content);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ForeignCompactionName,
    ::testing::Values(ForeignCase{"CompactName", archive_guard::CompactPath, Bytes("a player's copy"), true},
                      ForeignCase{"StormLibsTemporary", archive_guard::CompactionTempPath, Bytes("x"), true},
                      ForeignCase{"MarkerName", archive_guard::CompactMarkerPath, Bytes("ok"), true},
                      ForeignCase{"MarkerOfOursCutShort", archive_guard::CompactMarkerPath, Bytes("OSTCMP"), false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
