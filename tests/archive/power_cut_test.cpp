// Power loss, not just a kill: a child runs each writing operation and its processes are killed
// before one of the file calls they make; the directory is then rebuilt as a power cut at
// that instant leaves it (testkit/power_cut.h), and the next operation recovers. The archive must
// hold its old or its new content, and the new one whenever the operation had already returned true.
// About 20 s on two cores: 8 operations x at most 48 cut points x 8 seeds.
#include "archive/archive_file.h"
#include "archive/door/archive_guard.h"
#include "archive/door/mpq_control.h"
#include "support/durable_file.h"
#include "support/text_path.h"
#include "testkit/child_process.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/power_cut.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <set>

namespace fs = std::filesystem;
namespace power_cut = testkit::power_cut;
using testkit::Bytes;
using Contents = std::map<std::string, std::vector<std::uint8_t>>;

namespace {

constexpr std::size_t kNoCut = std::numeric_limits<std::size_t>::max();

// A save of `content` to `file`, a delete when it has none, a compaction when there is no file.
struct CutCase {
    std::string name;
    const char* file;
    std::optional<std::vector<std::uint8_t>> content;
    bool weaklySigned;
};

void PrintTo(const CutCase& cutCase, std::ostream* out) {
    *out << cutCase.name;
}

std::vector<CutCase> CutCases() {
    std::vector<CutCase> cases;
    for (const bool weaklySigned : {false, true}) {
        const std::string suffix = weaklySigned ? "Signed" : "";
        cases.push_back({"Save" + suffix, "UI\\war3skins.txt", Bytes("[Human]\r\nCursor=Human\r\n"), weaklySigned});
        cases.push_back({"Add" + suffix, "Fonts\\new.ttf", testkit::PatternBytes(12000, 3), weaklySigned});
        cases.push_back({"Delete" + suffix, "Fonts\\dfst-m3u.ttf", std::nullopt, weaklySigned});
        cases.push_back({"Compact" + suffix, nullptr, std::nullopt, weaklySigned});
    }
    return cases;
}

// The case's operation on the archive; true when it succeeded, else why it failed.
bool RunCutCase(const CutCase& cutCase, const fs::path& archive, MpqFailure& why) {
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(archive));
    if (cutCase.file == nullptr)
        return control.CompressMpq(&why);
    const std::string name = cutCase.file;
    const std::u16string file(name.begin(), name.end());
    return cutCase.content ? control.SaveFileToMpq(file, *cutCase.content, &why)
                           : control.DeleteFileFromMpq(file, &why);
}

// The write role's exit code when its operation failed: this plus the reason, so that a failure
// nobody cut says why.
constexpr int kFailedCode = 10;
constexpr int kNoSuchCaseCode = 2;

// args: the case's name, the archive.
TESTKIT_CHILD_ROLE(PowerCutWrite) {
    for (const CutCase& cutCase : CutCases()) {
        MpqFailure why = MpqFailure::None;
        if (args.size() == 2 && cutCase.name == args[0])
            return RunCutCase(cutCase, testkit::child::ArgumentPath(args[1]), why)
                       ? 0
                       : kFailedCode + static_cast<int>(why);
    }
    return kNoSuchCaseCode;
}

// How the write role's child ended, for messages: "failed (locked) after 11 calls".
std::string Ending(const power_cut::CutOutcome& outcome) {
    const testkit::child::Outcome& ended = outcome.ended;
    const int reason = ended.code - kFailedCode;
    std::string text = "ended with code " + std::to_string(ended.code);
    if (outcome.killed)
        text = "was cut";
    else if (ended.timedOut)
        text = "timed out";
    else if (ended.killed)
        text = "was killed";
    else if (ended.exited && ended.code == 0)
        text = "succeeded";
    else if (ended.exited && reason >= 0 && reason <= static_cast<int>(MpqFailure::DiskFile))
        text = std::string("failed (") + MpqFailureText(static_cast<MpqFailure>(reason)) + ")";
    return text + " after " + std::to_string(outcome.calls) + " calls";
}

// Every point when there are few; otherwise the first, the last, "after it returned", and a fixed
// sample between, so the run time stays bounded as the operations grow.
std::vector<std::size_t> CutPoints(std::size_t calls, std::size_t limit) {
    std::set<std::size_t> chosen = {0, calls - 1, calls};
    std::mt19937 random(20261207);
    while (chosen.size() < std::min(calls + 1, limit))
        chosen.insert(random() % calls);
    return {chosen.begin(), chosen.end()};
}

class PowerCutTest : public ::testing::TestWithParam<CutCase> {
protected:
    void TearDown() override { power_cut::Disarm(); }

    // The directory holds only the old archive again, and the record starts from there.
    void ResetAndArm() {
        fs::remove_all(m_dir / "work");
        fs::create_directory(m_dir / "work");
        fs::copy_file(m_pristine, m_archive);
        power_cut::Arm(m_dir / "work", m_dir / "scratch");
    }

    testkit::TempDir m_dir;
    fs::path m_pristine = m_dir / "pristine.mpq";
    fs::path m_archive = m_dir / "work" / "War3Patch.mpq";
};

TEST_P(PowerCutTest, LeavesOldOrNewAndNewOnceReturned) {
    // The sample with its music replaced by a short file, so that compaction has old data to drop.
    testkit::BuildArchive(m_pristine, testkit::SampleArchiveFiles(), 1);
    Contents expectedNew;
    for (const MpqBuilderFile& file : testkit::SampleArchiveFiles())
        expectedNew[std::string(file.address.begin(), file.address.end())] = file.content;
    {
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(m_pristine));
        ASSERT_TRUE(control.SaveFileToMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", Bytes("short music")));
        expectedNew["Sound\\Music\\mp3Music\\Mainscreen.mp3"] = Bytes("short music");
    }
    if (GetParam().weaklySigned) {
        ASSERT_TRUE(testkit::SignArchiveWeakly(m_pristine));
    }
    const std::vector<std::uint8_t> oldBytes = testkit::ReadBytes(m_pristine);
    const CutCase& cutCase = GetParam();
    std::set<std::string> candidates;
    for (const auto& [name, bytes] : expectedNew)
        candidates.insert(name);
    if (cutCase.file != nullptr) {
        candidates.insert(cutCase.file);
        cutCase.content ? void(expectedNew[cutCase.file] = *cutCase.content) : void(expectedNew.erase(cutCase.file));
    }
    const std::vector<std::string> operation = {cutCase.name, testkit::child::PathArgument(m_archive)};

    // A run without a cut, to learn how many calls the operation makes.
    ResetAndArm();
    const power_cut::CutOutcome full = power_cut::RunUntilCut(kNoCut, "PowerCutWrite", operation);
    ASSERT_TRUE(full.finished && !full.killed) << "the run without a cut " << Ending(full);
    ASSERT_GT(full.calls, 5u);

    int endedOld = 0;
    int endedNew = 0;
    for (std::size_t point : CutPoints(full.calls, 48)) {
        ResetAndArm();
        const power_cut::CutOutcome outcome = power_cut::RunUntilCut(point, "PowerCutWrite", operation);
        const std::string where = "cut before call " + std::to_string(point) + " of " + std::to_string(full.calls);
        ASSERT_EQ(outcome.killed, point < full.calls) << where << ": the operation " << Ending(outcome);
        for (std::uint32_t seed : {0, 11, 12, 13, 14, 15, 16, 17}) {
            power_cut::SimulatePowerCut(seed);
            const std::string at = where + ", seed " + std::to_string(seed);
            // The next operation, in this process, settles the archive first.
            clsMpqControl control;
            control.SetMpqFileName(TextFromPath(m_archive));
            Contents observed;
            for (const std::string& name : candidates) {
                const std::u16string address(name.begin(), name.end());
                std::vector<std::uint8_t> bytes;
                if (control.ReadFileFromMpq(address, bytes) || (bytes.clear(), control.FileExistsInMpq(address)))
                    observed[name] = bytes; // an empty file counts as present and empty
            }
            EXPECT_FALSE(fs::exists(archive_guard::JournalPath(m_archive))) << at;
            // A journal of this very edit is never taken for another archive's.
            EXPECT_FALSE(fs::exists(archive_guard::AsideJournalPath(m_archive, 1))) << at << ": our journal set aside";
            if (fs::exists(m_archive) && testkit::ReadBytes(m_archive) == oldBytes) {
                ++endedOld;
                EXPECT_FALSE(outcome.finished) << at << ": the operation had returned true, the old archive is back";
                continue;
            }
            ++endedNew;
            EXPECT_TRUE(observed == expectedNew) << at << ": neither the old archive nor the new content";
            if (GetParam().weaklySigned) {
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
                         [](const auto& info) { return info.param.name; });

// The model itself, with seed 0 (everything not flushed is lost): what a flush saves and what it
// does not. The watched directory holds a = "old"; each letter of a script is one step through the
// product's file calls: a (A) writes "new" into a without (with) its flush, B creates b = "new" with
// its flush, D flushes the directory, R renames b over a, U removes a, L links l to a, I renames
// "copied" in from outside as c.
bool Play(const fs::path& dir, const std::string& script) {
    bool done = true;
    const std::vector<std::uint8_t> text = {'n', 'e', 'w'};
    for (const char step : script) {
        const fs::path a = dir / "a";
        const fs::path b = dir / "b";
        if (step == 'a' || step == 'A' || step == 'B') {
            const auto mode = step == 'B' ? archive_io::File::Mode::CreateNew : archive_io::File::Mode::ReadWrite;
            const std::unique_ptr<archive_io::File> file = archive_io::File::Open(step == 'B' ? b : a, mode);
            done = done && file && file->WriteAt(0, text) && (step == 'a' || file->Sync());
        }
        if (step == 'I') {
            testkit::WriteFile(dir.parent_path() / "source", "copied");
            done = done && durable::ReplaceFile(dir.parent_path() / "source", dir / "c");
        }
        done = done && (step != 'D' || durable::SyncDirectory(dir)) && (step != 'R' || durable::ReplaceFile(b, a)) &&
               (step != 'U' || durable::RemoveFile(a)) && (step != 'L' || durable::LinkFile(a, dir / "l"));
    }
    return done;
}

// args: the watched directory, the script.
TESTKIT_CHILD_ROLE(PowerCutPlay) {
    return args.size() == 2 && Play(testkit::child::ArgumentPath(args[0]), args[1]) ? 0 : 1;
}

struct ModelCase {
    const char* name;
    const char* script;
    const char* after;     // the directory after the cut, where names need the directory's flush
    const char* afterNtfs; // where directory changes are durable once made (Windows)
};

void PrintTo(const ModelCase& modelCase, std::ostream* out) {
    *out << modelCase.name;
}

class PowerCutModelTest : public ::testing::TestWithParam<ModelCase> {
protected:
    void TearDown() override { power_cut::Disarm(); }
};

TEST_P(PowerCutModelTest, SeedZeroKeepsOnlyWhatWasFlushed) {
    testkit::TempDir dir;
    fs::create_directory(dir / "watched");
    testkit::WriteFile(dir / "watched" / "a", "old");
    power_cut::Arm(dir / "watched", dir / "scratch");
    ASSERT_TRUE(power_cut::RunUntilCut(kNoCut, "PowerCutPlay",
                                       {testkit::child::PathArgument(dir / "watched"), GetParam().script})
                    .finished);
    power_cut::SimulatePowerCut(0);
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir / "watched")) {
        const std::vector<std::uint8_t> bytes = testkit::ReadBytes(entry.path());
        files[entry.path().filename().string()] = std::string(bytes.begin(), bytes.end());
    }
    std::string after;
    for (const auto& [name, text] : files)
        after += (after.empty() ? "" : " ") + name + "=" + text;
    EXPECT_EQ(after, power_cut::detail::kDirectoryChangesNeedFlush ? GetParam().after : GetParam().afterNtfs);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, PowerCutModelTest,
    ::testing::Values(ModelCase{"UnflushedWriteIsLost", "a", "a=old", "a=old"},
                      ModelCase{"FlushedWriteStays", "A", "a=new", "a=new"},
                      ModelCase{"FlushedFileWithoutDirectoryFlushHasNoName", "B", "a=old", "a=old b=new"},
                      ModelCase{"RenameWithoutDirectoryFlushIsLost", "BDR", "a=old b=new", "a=new"},
                      ModelCase{"RenameWithDirectoryFlushStays", "BRD", "a=new", "a=new"},
                      ModelCase{"RemoveWithoutDirectoryFlushIsLost", "U", "a=old", ""},
                      ModelCase{"LinkWithDirectoryFlushStays", "LD", "a=old l=old", "a=old l=old"},
                      ModelCase{"FileBroughtInIsCreatedWrittenAndFlushed", "ID", "a=old c=copied", "a=old c=copied"},
                      ModelCase{"FileBroughtInWithoutDirectoryFlushHasNoName", "I", "a=old", "a=old c=copied"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
