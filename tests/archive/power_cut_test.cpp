// Power loss, not just a kill: a child runs each writing operation and its process group is killed
// before one of the recorded file-system calls; then the directory is rebuilt as a power cut at
// that instant leaves it (power_cut.h: unflushed writes persist, vanish or tear; unflushed
// directory changes persist as a prefix), and the next operation recovers. The archive must hold
// its old or its new content, and the new one whenever the operation had already returned true.
//
// Cost: 8 operations x at most 48 cut points x 8 seeds; about 16 s on two cores
// (archive_tests --gtest_filter='Writes/PowerCut*').
#include "archive/archive_guard.h"
#include "archive/mpq_control.h"
#include "support/text_path.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/power_cut.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;
namespace power_cut = testkit::power_cut;
using testkit::Bytes;

namespace {

using Contents = std::map<std::string, std::vector<std::uint8_t>>;

struct CutCase {
    const char* name;
    std::function<bool(clsMpqControl&)> run;
    std::function<void(Contents&)> expect; // what the operation does to the archive's files
    bool weaklySigned = false;
};

void PrintTo(const CutCase& cutCase, std::ostream* out) {
    *out << cutCase.name;
}

const std::vector<std::uint8_t>& NewSkins() {
    static const std::vector<std::uint8_t> bytes = Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n");
    return bytes;
}

std::vector<CutCase> CutCases() {
    auto save = [](clsMpqControl& c) { return c.SaveFileToMpq(u"UI\\war3skins.txt", NewSkins()); };
    auto saved = [](Contents& files) { files["UI\\war3skins.txt"] = NewSkins(); };
    auto add = [](clsMpqControl& c) { return c.SaveFileToMpq(u"Fonts\\new.ttf", testkit::PatternBytes(12000, 3)); };
    auto added = [](Contents& files) { files["Fonts\\new.ttf"] = testkit::PatternBytes(12000, 3); };
    auto remove = [](clsMpqControl& c) { return c.DeleteFileFromMpq(u"Fonts\\dfst-m3u.ttf"); };
    auto removed = [](Contents& files) { files.erase("Fonts\\dfst-m3u.ttf"); };
    auto compact = [](clsMpqControl& c) { return c.CompressMpq(); };
    auto same = [](Contents&) {};
    return {
        {"Save", save, saved},
        {"Add", add, added},
        {"Delete", remove, removed},
        {"Compact", compact, same},
        {"SaveSigned", save, saved, true},
        {"AddSigned", add, added, true},
        {"DeleteSigned", remove, removed, true},
        {"CompactSigned", compact, same, true},
    };
}

// The archive every cut starts from: the sample with its music replaced by a short file, so that
// compaction has old data to drop.
Contents SampleContents() {
    Contents files;
    for (const MpqBuilderFile& file : testkit::SampleArchiveFiles())
        files[std::string(file.address.begin(), file.address.end())] = file.content;
    files["Sound\\Music\\mp3Music\\Mainscreen.mp3"] = Bytes("short music");
    return files;
}

// What the door reads for each candidate name; an empty file counts as present and empty.
Contents Observe(clsMpqControl& control, const std::set<std::string>& candidates) {
    Contents files;
    for (const std::string& name : candidates) {
        const std::u16string address(name.begin(), name.end());
        std::vector<std::uint8_t> bytes;
        if (control.ReadFileFromMpq(address, bytes))
            files[name] = bytes;
        else if (control.FileExistsInMpq(address))
            files[name] = {};
    }
    return files;
}

// Names and sizes, enough to tell what went wrong without pages of bytes.
std::string Summary(const Contents& files) {
    std::string text = "{";
    for (const auto& [name, bytes] : files)
        text += " " + name + ":" + std::to_string(bytes.size());
    return text + " }";
}

class PowerCutFixture {
protected:
    void Build(bool weaklySigned) {
        fs::create_directory(m_dir / "work");
        m_pristine = m_dir / "pristine.mpq";
        testkit::BuildArchive(m_pristine, testkit::SampleArchiveFiles(), 1);
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(m_pristine));
        ASSERT_TRUE(control.SaveFileToMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", Bytes("short music")));
        if (weaklySigned) {
            ASSERT_TRUE(testkit::SignArchiveWeakly(m_pristine));
        }
        m_archive = m_dir / "work" / "War3Patch.mpq";
        m_oldBytes = testkit::ReadBytes(m_pristine);
    }

    // The directory holds only the old archive again, and the record starts from there.
    void ResetAndArm() {
        fs::remove_all(m_dir / "work");
        fs::create_directory(m_dir / "work");
        fs::copy_file(m_pristine, m_archive);
        power_cut::Arm(m_dir / "work", m_dir / "scratch");
    }

    std::function<bool()> Operation(const std::function<bool(clsMpqControl&)>& run) const {
        return [this, run] {
            clsMpqControl control;
            control.SetMpqFileName(TextFromPath(m_archive));
            return run(control);
        };
    }

    testkit::TempDir m_dir;
    fs::path m_pristine;
    fs::path m_archive;
    std::vector<std::uint8_t> m_oldBytes;
};

// Every point when there are few; otherwise the first, the last, "after it returned", and a fixed
// sample between, so the run time stays bounded as the operations grow.
std::vector<std::size_t> CutPoints(std::size_t calls, std::size_t limit) {
    std::vector<std::size_t> points;
    if (calls + 1 <= limit) {
        for (std::size_t point = 0; point <= calls; ++point)
            points.push_back(point);
        return points;
    }
    std::set<std::size_t> chosen = {0, calls - 1, calls};
    std::mt19937 random(20261207);
    while (chosen.size() < limit)
        chosen.insert(random() % calls);
    return {chosen.begin(), chosen.end()};
}

class PowerCutTest : public PowerCutFixture, public ::testing::TestWithParam<CutCase> {
protected:
    void SetUp() override { Build(GetParam().weaklySigned); }
    void TearDown() override { power_cut::Disarm(); }
};

TEST_P(PowerCutTest, LeavesOldOrNewAndNewOnceReturned) {
    const CutCase& cutCase = GetParam();
    Contents expectedNew = SampleContents();
    cutCase.expect(expectedNew);
    std::set<std::string> candidates;
    for (const Contents* files : {&expectedNew}) {
        for (const auto& [name, bytes] : *files)
            candidates.insert(name);
    }
    for (const auto& [name, bytes] : SampleContents())
        candidates.insert(name);
    const std::function<bool()> operation = Operation(cutCase.run);

    // A run without a cut, to learn how many calls the operation makes.
    ResetAndArm();
    const power_cut::CutOutcome full = power_cut::RunUntilCut(std::numeric_limits<std::size_t>::max(), operation);
    ASSERT_TRUE(full.finished);
    ASSERT_FALSE(full.killed);
    ASSERT_GT(full.calls, 5u);

    const std::vector<std::uint32_t> seeds = {0, 11, 12, 13, 14, 15, 16, 17};
    int endedOld = 0;
    int endedNew = 0;
    for (std::size_t point : CutPoints(full.calls, 48)) {
        ResetAndArm();
        const power_cut::CutOutcome outcome = power_cut::RunUntilCut(point, operation);
        const std::vector<power_cut::Call> calls = power_cut::RecordedCalls();
        const std::string where =
            "cut before call " + std::to_string(point) + " of " + std::to_string(full.calls) +
            (outcome.finished ? " (after the operation returned true)"
                              : (calls.empty() ? std::string() : " (last done: " + Describe(calls.back()) + ")"));
        ASSERT_EQ(outcome.killed, point < full.calls) << where;
        for (std::uint32_t seed : seeds) {
            power_cut::SimulatePowerCut(seed);
            const std::string at = where + ", seed " + std::to_string(seed);
            // The next operation, in this process, settles the archive first.
            clsMpqControl control;
            control.SetMpqFileName(TextFromPath(m_archive));
            const Contents observed = Observe(control, candidates);
            std::error_code error;
            EXPECT_FALSE(fs::exists(archive_guard::JournalPath(m_archive), error)) << at;
            if (fs::exists(m_archive, error) && testkit::ReadBytes(m_archive) == m_oldBytes) {
                ++endedOld;
                EXPECT_FALSE(outcome.finished) << at << ": the operation had returned true, the old archive is back";
                continue;
            }
            ++endedNew;
            EXPECT_TRUE(observed == expectedNew)
                << at << ": neither the old archive nor the new content; read " << Summary(observed);
            if (cutCase.weaklySigned) {
                EXPECT_EQ(testkit::CheckSignature(m_archive), testkit::SignatureCheck::WeakValid) << at;
            }
        }
        if (HasFailure())
            return; // one broken cut point tells enough
    }
    EXPECT_GT(endedOld, 0);
    EXPECT_GT(endedNew, 0);
}

INSTANTIATE_TEST_SUITE_P(Writes, PowerCutTest, ::testing::ValuesIn(CutCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The model itself, on plain file calls, with seed 0 (everything not flushed is lost): what a
// flush saves and what it does not.
struct ModelCase {
    const char* name;
    std::function<bool(const fs::path& dir, const fs::path& outside)> run;
    std::map<std::string, std::string> after; // the directory after the cut
};

void PrintTo(const ModelCase& modelCase, std::ostream* out) {
    *out << modelCase.name;
}

bool WriteAndMaybeSync(const fs::path& path, int flags, const std::string& text, bool sync) {
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0)
        return false;
    const bool done =
        ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) && (!sync || ::fsync(fd) == 0);
    return ::close(fd) == 0 && done;
}

bool SyncDirectory(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    const bool done = fd >= 0 && ::fsync(fd) == 0;
    return fd >= 0 && ::close(fd) == 0 && done;
}

std::vector<ModelCase> ModelCases() {
    return {
        {"UnflushedWriteIsLost",
         [](const fs::path& d, const fs::path&) { return WriteAndMaybeSync(d / "a", O_WRONLY, "new", false); },
         {{"a", "old"}}},
        {"FlushedWriteStays",
         [](const fs::path& d, const fs::path&) { return WriteAndMaybeSync(d / "a", O_WRONLY, "new", true); },
         {{"a", "new"}}},
        {"FlushedFileWithoutDirectoryFlushHasNoName",
         [](const fs::path& d, const fs::path&) { return WriteAndMaybeSync(d / "b", O_WRONLY | O_CREAT, "new", true); },
         {{"a", "old"}}},
        {"RenameWithoutDirectoryFlushIsLost",
         [](const fs::path& d, const fs::path&) {
             return WriteAndMaybeSync(d / "b", O_WRONLY | O_CREAT, "new", true) && SyncDirectory(d) &&
                    ::rename((d / "b").c_str(), (d / "a").c_str()) == 0;
         },
         {{"a", "old"}, {"b", "new"}}},
        {"RenameWithDirectoryFlushStays",
         [](const fs::path& d, const fs::path&) {
             return WriteAndMaybeSync(d / "b", O_WRONLY | O_CREAT, "new", true) &&
                    ::rename((d / "b").c_str(), (d / "a").c_str()) == 0 && SyncDirectory(d);
         },
         {{"a", "new"}}},
        {"RemoveWithoutDirectoryFlushIsLost",
         [](const fs::path& d, const fs::path&) { return ::unlink((d / "a").c_str()) == 0; },
         {{"a", "old"}}},
        {"KernelCopyIsAWrite",
         [](const fs::path& d, const fs::path& outside) {
             testkit::WriteFile(outside / "source", "copied");
             std::error_code error;
             return fs::copy_file(outside / "source", d / "c", error) && !error &&
                    WriteAndMaybeSync(d / "c", O_WRONLY | O_APPEND, "", true) && SyncDirectory(d);
         },
         {{"a", "old"}, {"c", "copied"}}},
    };
}

class PowerCutModelTest : public ::testing::TestWithParam<ModelCase> {
protected:
    void TearDown() override { power_cut::Disarm(); }
};

TEST_P(PowerCutModelTest, SeedZeroKeepsOnlyWhatWasFlushed) {
    testkit::TempDir dir;
    fs::create_directory(dir / "watched");
    fs::create_directory(dir / "outside");
    testkit::WriteFile(dir / "watched" / "a", "old");
    power_cut::Arm(dir / "watched", dir / "scratch");
    const power_cut::CutOutcome outcome = power_cut::RunUntilCut(
        std::numeric_limits<std::size_t>::max(), [&] { return GetParam().run(dir / "watched", dir / "outside"); });
    ASSERT_TRUE(outcome.finished);
    power_cut::SimulatePowerCut(0);
    std::map<std::string, std::string> after;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir / "watched")) {
        const std::vector<std::uint8_t> bytes = testkit::ReadBytes(entry.path());
        after[entry.path().filename().string()] = std::string(bytes.begin(), bytes.end());
    }
    EXPECT_EQ(after, GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Calls, PowerCutModelTest, ::testing::ValuesIn(ModelCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A journal whose structure is intact but whose saved bytes are not what was saved (a sector
// lost or rewritten by the power cut) must never be copied into the archive.
struct Damage {
    const char* name;
    bool tail;   // the copy of the archive's last bytes, else of its header
    bool zeroed; // zeroed, else one bit flipped
};

void PrintTo(const Damage& damage, std::ostream* out) {
    *out << damage.name;
}

class DamagedJournalTest : public PowerCutFixture, public ::testing::TestWithParam<Damage> {
protected:
    void SetUp() override { Build(false); }
    void TearDown() override { power_cut::Disarm(); }
};

TEST_P(DamagedJournalTest, IsNeverReplayed) {
    const std::function<bool()> operation =
        Operation([](clsMpqControl& c) { return c.SaveFileToMpq(u"UI\\war3skins.txt", NewSkins()); });
    ResetAndArm();
    ASSERT_TRUE(power_cut::RunUntilCut(std::numeric_limits<std::size_t>::max(), operation).finished);
    // Stop just before the archive's first change: the journal is complete and the archive old.
    std::size_t firstChange = 0;
    const std::vector<power_cut::Call> calls = power_cut::RecordedCalls();
    while (firstChange < calls.size() && !(calls[firstChange].name == m_archive.filename() &&
                                           (calls[firstChange].kind == power_cut::Call::Kind::Write ||
                                            calls[firstChange].kind == power_cut::Call::Kind::Truncate)))
        ++firstChange;
    ASSERT_LT(firstChange, calls.size());
    ResetAndArm();
    ASSERT_TRUE(power_cut::RunUntilCut(calls[firstChange].point, operation).killed);
    power_cut::Disarm();
    const fs::path journal = archive_guard::JournalPath(m_archive);
    ASSERT_TRUE(fs::exists(journal));
    ASSERT_EQ(testkit::ReadBytes(m_archive), m_oldBytes);

    // Find the saved copy inside the journal, whatever its layout, and damage it there.
    std::vector<std::uint8_t> bytes = testkit::ReadBytes(journal);
    const std::size_t span = 32;
    const auto needle = GetParam().tail ? m_oldBytes.end() - span : m_oldBytes.begin();
    const auto found = std::search(bytes.begin(), bytes.end(), needle, needle + span);
    ASSERT_NE(found, bytes.end()) << "the journal holds no copy of these archive bytes";
    if (GetParam().zeroed)
        std::fill(found, found + span, 0);
    else
        found[span / 2] ^= 0x10;
    testkit::WriteFile(journal, bytes);

    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    std::vector<std::uint8_t> skins;
    EXPECT_TRUE(control.ReadFileFromMpq(u"UI\\war3skins.txt", skins));
    EXPECT_EQ(skins, SampleContents()["UI\\war3skins.txt"]);
    EXPECT_EQ(testkit::ReadBytes(m_archive), m_oldBytes);
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedJournalTest,
                         ::testing::Values(Damage{"ZeroedHeaderCopy", false, true},
                                           Damage{"FlippedHeaderCopy", false, false},
                                           Damage{"ZeroedTailCopy", true, true},
                                           Damage{"FlippedTailCopy", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
