// Power loss, not just a kill: a child runs each writing operation and its process group is killed
// before one of its recorded file-system calls; the directory is then rebuilt as a power cut at
// that instant leaves it (testkit/power_cut.h), and the next operation recovers. The archive must
// hold its old or its new content, and the new one whenever the operation had already returned true.
// About 20 s on two cores: 8 operations x at most 48 cut points x 8 seeds.
#include "archive/door/archive_guard.h"
#include "archive/door/mpq_control.h"
#include "support/text_path.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/power_cut.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <unistd.h>

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
    const std::string fileName = cutCase.file != nullptr ? cutCase.file : "";
    const std::u16string file(fileName.begin(), fileName.end());
    std::set<std::string> candidates;
    for (const auto& [name, bytes] : expectedNew)
        candidates.insert(name);
    if (cutCase.file != nullptr) {
        candidates.insert(cutCase.file);
        cutCase.content ? void(expectedNew[cutCase.file] = *cutCase.content) : void(expectedNew.erase(cutCase.file));
    }
    const auto operation = [&] {
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(m_archive));
        return file.empty()      ? control.CompressMpq()
               : cutCase.content ? control.SaveFileToMpq(file, *cutCase.content)
                                 : control.DeleteFileFromMpq(file);
    };

    // A run without a cut, to learn how many calls the operation makes.
    ResetAndArm();
    const power_cut::CutOutcome full = power_cut::RunUntilCut(kNoCut, operation);
    ASSERT_TRUE(full.finished && !full.killed);
    ASSERT_GT(full.calls, 5u);

    int endedOld = 0;
    int endedNew = 0;
    for (std::size_t point : CutPoints(full.calls, 48)) {
        ResetAndArm();
        const power_cut::CutOutcome outcome = power_cut::RunUntilCut(point, operation);
        const std::string where = "cut before call " + std::to_string(point) + " of " + std::to_string(full.calls);
        ASSERT_EQ(outcome.killed, point < full.calls) << where;
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

// The model itself on plain file calls, with seed 0 (everything not flushed is lost): what a flush
// saves and what it does not. The watched directory holds a = "old"; each letter of a script is one
// step: a (A) writes "new" into a without (with) its fsync, B creates b = "new" with its fsync,
// D flushes the directory, R renames b over a, U removes a, K copies "copied" into c by the kernel.
bool Play(const fs::path& dir, const std::string& script) {
    bool done = true;
    for (const char step : script) {
        const fs::path a = dir / "a";
        const fs::path b = dir / "b";
        const fs::path synced = step == 'K' ? dir / "c" : step == 'D' ? dir : step == 'B' ? b : a;
        std::error_code error;
        if (step == 'K') {
            testkit::WriteFile(dir.parent_path() / "source", "copied");
            done = done && fs::copy_file(dir.parent_path() / "source", synced, error);
        }
        done =
            done && (step != 'R' || ::rename(b.c_str(), a.c_str()) == 0) && (step != 'U' || ::unlink(a.c_str()) == 0);
        if (std::string("aABDK").find(step) == std::string::npos)
            continue;
        const int fd = ::open(synced.c_str(), step == 'D' ? O_RDONLY | O_DIRECTORY : O_WRONLY | O_CREAT, 0644);
        done = done && fd >= 0 &&
               (std::string("aAB").find(step) == std::string::npos || ::pwrite(fd, "new", 3, 0) == 3) &&
               (step == 'a' || ::fsync(fd) == 0) && ::close(fd) == 0;
    }
    return done;
}

struct ModelCase {
    const char* name;
    const char* script;
    const char* after; // the directory after the cut
};

class PowerCutModelTest : public ::testing::TestWithParam<ModelCase> {
protected:
    void TearDown() override { power_cut::Disarm(); }
};

TEST_P(PowerCutModelTest, SeedZeroKeepsOnlyWhatWasFlushed) {
    testkit::TempDir dir;
    fs::create_directory(dir / "watched");
    testkit::WriteFile(dir / "watched" / "a", "old");
    power_cut::Arm(dir / "watched", dir / "scratch");
    ASSERT_TRUE(power_cut::RunUntilCut(kNoCut, [&] { return Play(dir / "watched", GetParam().script); }).finished);
    power_cut::SimulatePowerCut(0);
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir / "watched")) {
        const std::vector<std::uint8_t> bytes = testkit::ReadBytes(entry.path());
        files[entry.path().filename().string()] = std::string(bytes.begin(), bytes.end());
    }
    std::string after;
    for (const auto& [name, text] : files)
        after += (after.empty() ? "" : " ") + name + "=" + text;
    EXPECT_EQ(after, GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Calls, PowerCutModelTest,
                         ::testing::Values(ModelCase{"UnflushedWriteIsLost", "a", "a=old"},
                                           ModelCase{"FlushedWriteStays", "A", "a=new"},
                                           ModelCase{"FlushedFileWithoutDirectoryFlushHasNoName", "B", "a=old"},
                                           ModelCase{"RenameWithoutDirectoryFlushIsLost", "BDR", "a=old b=new"},
                                           ModelCase{"RenameWithDirectoryFlushStays", "BRD", "a=new"},
                                           ModelCase{"RemoveWithoutDirectoryFlushIsLost", "U", "a=old"},
                                           ModelCase{"KernelCopyIsAWrite", "KD", "a=old c=copied"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
