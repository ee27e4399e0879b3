// Power loss, not just a kill: a child runs each writing operation and its process group is killed
// before one of its recorded file-system calls; the directory is then rebuilt as a power cut at
// that instant leaves it (testkit/power_cut.h), and the next operation recovers. The archive must
// hold its old or its new content, and the new one whenever the operation had already returned true.
// About 20 s on two cores: 8 operations x at most 48 cut points x 8 seeds.
#include "archive/archive_guard.h"
#include "archive/mpq_control.h"
#include "support/text_path.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/power_cut.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;
namespace power_cut = testkit::power_cut;
using testkit::Bytes;
using Contents = std::map<std::string, std::vector<std::uint8_t>>;

namespace {

constexpr std::size_t kNoCut = std::numeric_limits<std::size_t>::max();

struct CutCase {
    std::string name;
    std::function<bool(clsMpqControl&)> run;
    std::function<void(Contents&)> expect; // what the operation does to the archive's files
    bool weaklySigned;
};

void PrintTo(const CutCase& cutCase, std::ostream* out) {
    *out << cutCase.name;
}

std::vector<CutCase> CutCases() {
    const auto skins = Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n");
    const auto font = testkit::PatternBytes(12000, 3);
    std::vector<CutCase> cases;
    for (const bool weaklySigned : {false, true}) {
        const std::string suffix = weaklySigned ? "Signed" : "";
        cases.push_back({"Save" + suffix,
                         [=](clsMpqControl& c) { return c.SaveFileToMpq(u"UI\\war3skins.txt", skins); },
                         [=](Contents& files) { files["UI\\war3skins.txt"] = skins; }, weaklySigned});
        cases.push_back({"Add" + suffix, [=](clsMpqControl& c) { return c.SaveFileToMpq(u"Fonts\\new.ttf", font); },
                         [=](Contents& files) { files["Fonts\\new.ttf"] = font; }, weaklySigned});
        cases.push_back({"Delete" + suffix,
                         [](clsMpqControl& c) { return c.DeleteFileFromMpq(u"Fonts\\dfst-m3u.ttf"); },
                         [](Contents& files) { files.erase("Fonts\\dfst-m3u.ttf"); }, weaklySigned});
        cases.push_back(
            {"Compact" + suffix, [](clsMpqControl& c) { return c.CompressMpq(); }, [](Contents&) {}, weaklySigned});
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
    std::set<std::string> candidates;
    for (const auto& [name, bytes] : expectedNew)
        candidates.insert(name);
    GetParam().expect(expectedNew);
    for (const auto& [name, bytes] : expectedNew)
        candidates.insert(name);
    const auto operation = [&] {
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(m_archive));
        return GetParam().run(control);
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
        const std::vector<power_cut::Call> calls = power_cut::RecordedCalls();
        const std::string where = "cut before call " + std::to_string(point) + " of " + std::to_string(full.calls) +
                                  (calls.empty() ? std::string() : " (last call on " + calls.back().name + ")");
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
            std::string names;
            for (const auto& [name, bytes] : observed)
                names += " " + name + ":" + std::to_string(bytes.size());
            EXPECT_TRUE(observed == expectedNew) << at << ": neither the old archive nor the new content:" << names;
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
// saves and what it does not.
bool Write(const fs::path& path, int flags, const std::string& text, bool sync) {
    const int fd = ::open(path.c_str(), flags, 0644);
    const bool done = fd >= 0 && ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
                      (!sync || ::fsync(fd) == 0);
    return fd >= 0 && ::close(fd) == 0 && done;
}

bool SyncDirectory(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    const bool done = fd >= 0 && ::fsync(fd) == 0;
    return fd >= 0 && ::close(fd) == 0 && done;
}

bool Rename(const fs::path& dir) {
    return ::rename((dir / "b").c_str(), (dir / "a").c_str()) == 0;
}

struct ModelCase {
    const char* name;
    std::function<bool(const fs::path& dir, const fs::path& outside)> run;
    std::map<std::string, std::string> after; // the directory after the cut, which held a = "old"
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
    fs::create_directory(dir / "outside");
    testkit::WriteFile(dir / "watched" / "a", "old");
    power_cut::Arm(dir / "watched", dir / "scratch");
    ASSERT_TRUE(
        power_cut::RunUntilCut(kNoCut, [&] { return GetParam().run(dir / "watched", dir / "outside"); }).finished);
    power_cut::SimulatePowerCut(0);
    std::map<std::string, std::string> after;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir / "watched")) {
        const std::vector<std::uint8_t> bytes = testkit::ReadBytes(entry.path());
        after[entry.path().filename().string()] = std::string(bytes.begin(), bytes.end());
    }
    EXPECT_EQ(after, GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, PowerCutModelTest,
    ::testing::Values(ModelCase{"UnflushedWriteIsLost",
                                [](auto& d, auto&) { return Write(d / "a", O_WRONLY, "new", false); },
                                {{"a", "old"}}},
                      ModelCase{"FlushedWriteStays",
                                [](auto& d, auto&) { return Write(d / "a", O_WRONLY, "new", true); },
                                {{"a", "new"}}},
                      ModelCase{"FlushedFileWithoutDirectoryFlushHasNoName",
                                [](auto& d, auto&) { return Write(d / "b", O_WRONLY | O_CREAT, "new", true); },
                                {{"a", "old"}}},
                      ModelCase{"RenameWithoutDirectoryFlushIsLost",
                                [](auto& d, auto&) {
                                    return Write(d / "b", O_WRONLY | O_CREAT, "new", true) && SyncDirectory(d) &&
                                           Rename(d);
                                },
                                {{"a", "old"}, {"b", "new"}}},
                      ModelCase{"RenameWithDirectoryFlushStays",
                                [](auto& d, auto&) {
                                    return Write(d / "b", O_WRONLY | O_CREAT, "new", true) && Rename(d) &&
                                           SyncDirectory(d);
                                },
                                {{"a", "new"}}},
                      ModelCase{"RemoveWithoutDirectoryFlushIsLost",
                                [](auto& d, auto&) { return ::unlink((d / "a").c_str()) == 0; },
                                {{"a", "old"}}},
                      ModelCase{"KernelCopyIsAWrite",
                                [](auto& d, auto& outside) {
                                    testkit::WriteFile(outside / "source", "copied");
                                    std::error_code error;
                                    return fs::copy_file(outside / "source", d / "c", error) &&
                                           Write(d / "c", O_WRONLY | O_APPEND, "", true) && SyncDirectory(d);
                                },
                                {{"a", "old"}, {"c", "copied"}}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
