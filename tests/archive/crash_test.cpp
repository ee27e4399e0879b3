// A child process runs each writing operation and is killed at every file call it makes on the
// archive's directory (inside the engine's writes, flushes and renames as well as our journal's);
// afterwards the next operation must find exactly the old archive or exactly the new content.
// Also checks the journal's one assumption: the engine writes nothing below the journal's start.
// The engine runs in this process here (no worker), so that its own writes are among the calls
// watched.
#include "archive/door/archive_lock.h"
#include "archive/door/mpq_control.h"
#include "archive/door/mpq_layout.h"
#include "archive/mpq_engine.h"
#include "support/text_path.h"
#include "testkit/child_process.h"
#include "testkit/io_tripwire.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

namespace fs = std::filesystem;
namespace tripwire = testkit::tripwire;
using testkit::Bytes;

namespace {

using Contents = std::map<std::string, std::vector<std::uint8_t>>;

struct WriteCase {
    const char* name;
    std::function<bool(clsMpqControl&)> run;
    std::function<void(Contents&)> expect; // what the operation does to the archive's files
    bool weaklySigned = false;             // on an archive with a weak signature, which the engine renews
    bool noHardLinks = false;              // compaction's second name must be a copy
};

void PrintTo(const WriteCase& writeCase, std::ostream* out) {
    *out << writeCase.name;
}

const std::vector<std::uint8_t>& NewSkins() {
    static const std::vector<std::uint8_t> bytes = Bytes("[Orc]\r\nCursor=UI\\Cursor\\OrcCursor.mdl\r\n");
    return bytes;
}

std::vector<WriteCase> WriteCases() {
    return {
        {"ReplaceText", [](clsMpqControl& c) { return c.SaveFileToMpq(u"UI\\war3skins.txt", NewSkins()); },
         [](Contents& files) { files["UI\\war3skins.txt"] = NewSkins(); }},
        {"AddFile", [](clsMpqControl& c) { return c.SaveFileToMpq(u"Fonts\\new.ttf", testkit::PatternBytes(9000, 5)); },
         [](Contents& files) { files["Fonts\\new.ttf"] = testkit::PatternBytes(9000, 5); }},
        {"DeleteFile", [](clsMpqControl& c) { return c.DeleteFileFromMpq(u"Fonts\\dfst-m3u.ttf"); },
         [](Contents& files) { files.erase("Fonts\\dfst-m3u.ttf"); }},
        {"Compact", [](clsMpqControl& c) { return c.CompressMpq(); }, [](Contents&) {}},
        {"ReplaceTextSigned", [](clsMpqControl& c) { return c.SaveFileToMpq(u"UI\\war3skins.txt", NewSkins()); },
         [](Contents& files) { files["UI\\war3skins.txt"] = NewSkins(); }, true},
        {"DeleteFileSigned", [](clsMpqControl& c) { return c.DeleteFileFromMpq(u"Fonts\\dfst-m3u.ttf"); },
         [](Contents& files) { files.erase("Fonts\\dfst-m3u.ttf"); }, true},
        {"CompactSigned", [](clsMpqControl& c) { return c.CompressMpq(); }, [](Contents&) {}, true},
        {"CompactWithoutHardLinks", [](clsMpqControl& c) { return c.CompressMpq(); }, [](Contents&) {}, false, true},
    };
}

// args: the case's name, the archive, the kill point, the note the kill leaves.
TESTKIT_CHILD_ROLE(CrashTestWrite) {
    for (const WriteCase& writeCase : WriteCases()) {
        if (args.size() != 4 || args[0] != writeCase.name)
            continue;
        const fs::path archive = testkit::child::ArgumentPath(args[1]);
        clsMpqControl control(MakeOwnMpqEngine());
        control.SetMpqFileName(TextFromPath(archive));
        tripwire::Watch(archive.parent_path());
        tripwire::RefuseHardLinks(writeCase.noHardLinks);
        tripwire::KillAt(std::stoull(args[2]), testkit::child::ArgumentPath(args[3]));
        return writeCase.run(control) ? 0 : 1;
    }
    return 2;
}

// Every ordinary file of the archive, as our door reads it, plus the names its (listfile) gives.
struct Observed {
    Contents files;
    std::set<std::string> listed;
};

Observed Observe(clsMpqControl& control, const std::set<std::string>& candidates) {
    Observed observed;
    for (const std::string& name : candidates) {
        const std::u16string address(name.begin(), name.end());
        std::vector<std::uint8_t> bytes;
        if (control.ReadFileFromMpq(address, bytes))
            observed.files[name] = bytes;
        else if (control.FileExistsInMpq(address))
            observed.files[name] = {};
    }
    std::vector<std::uint8_t> listfile;
    if (control.ReadFileFromMpq(u"(listfile)", listfile)) {
        std::string text(listfile.begin(), listfile.end());
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find_first_of("\r\n;", start);
            if (end == std::string::npos)
                end = text.size();
            if (end > start)
                observed.listed.insert(text.substr(start, end - start));
            start = end + 1;
        }
    }
    return observed;
}

// The archive every kill starts from: the sample, with its music replaced by a short file so
// that compaction has old data to drop.
const char* const kShortMusic = "short music";

Contents SampleContents() {
    Contents files;
    for (const MpqBuilderFile& file : testkit::SampleArchiveFiles())
        files[std::string(file.address.begin(), file.address.end())] = file.content;
    files["Sound\\Music\\mp3Music\\Mainscreen.mp3"] = Bytes(kShortMusic);
    return files;
}

std::set<std::string> Names(const Contents& files) {
    std::set<std::string> names;
    for (const auto& [name, bytes] : files)
        names.insert(name);
    return names;
}

class CrashTest : public ::testing::TestWithParam<WriteCase> {
protected:
    void SetUp() override {
        fs::create_directory(m_dir / "work");
        m_pristine = m_dir / "pristine.mpq";
        testkit::BuildArchive(m_pristine, testkit::SampleArchiveFiles(), 1);
        clsMpqControl control(MakeOwnMpqEngine());
        control.SetMpqFileName(TextFromPath(m_pristine));
        ASSERT_TRUE(control.SaveFileToMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", Bytes(kShortMusic)));
        if (GetParam().weaklySigned) {
            ASSERT_TRUE(testkit::SignArchiveWeakly(m_pristine));
        }
        m_archive = m_dir / "work" / "War3Patch.mpq";
    }

    void Reset() {
        fs::remove_all(m_dir / "work");
        fs::create_directory(m_dir / "work");
        fs::copy_file(m_pristine, m_archive);
    }

    std::vector<std::string> WorkEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir / "work")) {
            // The lock file stays once made; everything else must be gone.
            if (entry.path() != archive_lock::LockPath(m_archive))
                names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    testkit::TempDir m_dir;
    fs::path m_pristine;
    fs::path m_archive;
};

TEST_P(CrashTest, KilledAnywhereLeavesOldOrNew) {
    const WriteCase& writeCase = GetParam();
    Contents expectedNew = SampleContents();
    writeCase.expect(expectedNew);
    std::set<std::string> candidates = Names(SampleContents());
    for (const std::string& name : Names(expectedNew))
        candidates.insert(name);

    // A run without a kill, to learn the calls the operation makes.
    Reset();
    std::vector<tripwire::Event> events;
    {
        clsMpqControl control(MakeOwnMpqEngine());
        control.SetMpqFileName(TextFromPath(m_archive));
        tripwire::Watch(m_dir / "work");
        tripwire::RefuseHardLinks(writeCase.noHardLinks);
        const bool done = writeCase.run(control);
        tripwire::Stop();
        tripwire::RefuseHardLinks(false);
        events = tripwire::Events();
        ASSERT_TRUE(done);
    }
    ASSERT_GT(events.size(), 5u);
    const std::vector<std::uint8_t> oldBytes = testkit::ReadBytes(m_pristine);

    int endedOld = 0;
    int endedNew = 0;
    for (std::size_t point = 0; point < 2 * events.size(); ++point) {
        Reset();
        const fs::path note = m_dir / "killed-at";
        fs::remove(note);
        const testkit::child::Outcome outcome =
            testkit::child::Run("CrashTestWrite", {writeCase.name, testkit::child::PathArgument(m_archive),
                                                   std::to_string(point), testkit::child::PathArgument(note)});
        const std::string where = "killed at point " + std::to_string(point) + " (" +
                                  (point % 2 == 0 ? "inside " : "after ") + tripwire::Describe(events[point / 2]) + ")";
        const std::vector<std::uint8_t> noted =
            fs::exists(note) ? testkit::ReadBytes(note) : std::vector<std::uint8_t>();
        ASSERT_TRUE(outcome.killed && std::string(noted.begin(), noted.end()) == std::to_string(point))
            << where << ": the child was not killed there (it " << (outcome.exited ? "exited" : "ended") << " with "
            << outcome.code << ")";

        // The next operation, in a new process state, settles the archive first.
        clsMpqControl control(MakeOwnMpqEngine());
        control.SetMpqFileName(TextFromPath(m_archive));
        const Observed observed = Observe(control, candidates);
        EXPECT_EQ(WorkEntries(), std::vector<std::string>{"War3Patch.mpq"}) << where;
        if (testkit::ReadBytes(m_archive) == oldBytes) {
            ++endedOld;
            continue;
        }
        ++endedNew;
        EXPECT_EQ(observed.files, expectedNew) << where << ": neither the old archive nor the new content";
        EXPECT_EQ(observed.listed, Names(expectedNew)) << where << ": (listfile) does not match the files";
        if (writeCase.weaklySigned) {
            EXPECT_EQ(testkit::CheckSignature(m_archive), testkit::SignatureCheck::WeakValid) << where;
        }
    }
    RecordProperty("kill_points", static_cast<int>(2 * events.size()));
    // Early kills must roll back and late ones must keep the finished edit.
    EXPECT_GT(endedOld, 0);
    EXPECT_GT(endedNew, 0);
}

INSTANTIATE_TEST_SUITE_P(Writes, CrashTest, ::testing::ValuesIn(WriteCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The journal holds the header, everything from FirstWritableOffset on and, for a save, the old
// blocks the plan lets the new data reuse; the engine must write nowhere else. Checked over a sequence of edits that
// moves files and tables around, in both formats, with the header at 0 and at 512 as in the game's maps, and on weakly
// signed archives, whose (signature) the engine rewrites on every edit.
struct LayoutCase {
    const char* name;
    int formatVersion;
    std::size_t prefix; // bytes before the MPQ header
    bool weaklySigned;
};

void PrintTo(const LayoutCase& layoutCase, std::ostream* out) {
    *out << layoutCase.name;
}

class JournalAssumptionTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(JournalAssumptionTest, EngineWritesNothingBelowTheJournalStart) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3x.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), GetParam().formatVersion);
    if (GetParam().prefix > 0) {
        std::vector<std::uint8_t> bytes(GetParam().prefix, 0);
        const std::vector<std::uint8_t> body = testkit::ReadBytes(archive);
        bytes[0] = 'H', bytes[1] = 'M', bytes[2] = '3', bytes[3] = 'W';
        bytes.insert(bytes.end(), body.begin(), body.end());
        testkit::WriteFile(archive, bytes);
    }
    if (GetParam().weaklySigned) {
        ASSERT_TRUE(testkit::SignArchiveWeakly(archive));
    }
    clsMpqControl control(MakeOwnMpqEngine());
    control.SetMpqFileName(TextFromPath(archive));

    struct Edit {
        std::string name;
        std::function<bool()> run;
        bool save = true;
    };
    const std::vector<Edit> edits = {
        {"UI\\war3skins.txt", [&] { return control.SaveFileToMpq(u"UI\\war3skins.txt", NewSkins()); }},
        {"Fonts\\dfst-m3u.ttf",
         [&] { return control.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", testkit::PatternBytes(5000, 1)); }},
        {"Sound\\Music\\mp3Music\\Mainscreen.mp3",
         [&] { return control.DeleteFileFromMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3"); }, false},
        {"a.txt", [&] { return control.SaveFileToMpq(u"a.txt", Bytes("a")); }},
        {"Fonts\\dfst-m3u.ttf", [&] { return control.DeleteFileFromMpq(u"Fonts\\dfst-m3u.ttf"); }, false},
        {"empty.txt", [&] { return control.SaveFileToMpq(u"empty.txt", testkit::PatternBytes(70000, 2, false)); }},
        {"a.txt", [&] { return control.SaveFileToMpq(u"a.txt", {}); }},
    };
    std::size_t engineWrites = 0;
    std::size_t reused = 0;
    for (const Edit& edit : edits) {
        const std::optional<MpqLayout> layout = ReadMpqLayout(archive);
        ASSERT_TRUE(layout.has_value()) << edit.name;
        const std::uint64_t journalStart = layout->FirstWritableOffset({edit.name});
        const std::vector<archive_io::ByteRange> reusable = layout->EditPlan(edit.name, edit.save).reusable;
        const auto inReusable = [&](const tripwire::Event& event) {
            return std::any_of(reusable.begin(), reusable.end(), [&](const archive_io::ByteRange& range) {
                return event.offset >= range.offset && event.offset + event.size <= range.offset + range.length;
            });
        };
        const std::uint64_t headerEnd = layout->headerOffset + layout->headerSize;
        tripwire::Watch(dir.path());
        const bool done = edit.run();
        tripwire::Stop();
        ASSERT_TRUE(done) << edit.name;
        for (const tripwire::Event& event : tripwire::Events()) {
            if (fs::path(event.path) != fs::absolute(archive))
                continue;
            if (event.kind == tripwire::Event::Kind::Write) {
                ++engineWrites;
                const bool inHeader = event.offset >= layout->headerOffset && event.offset + event.size <= headerEnd;
                reused += inReusable(event) ? 1 : 0;
                EXPECT_TRUE(inHeader || event.offset >= journalStart || inReusable(event))
                    << edit.name << ": " << tripwire::Describe(event) << " below the journal start " << journalStart;
            } else if (event.kind == tripwire::Event::Kind::Truncate) {
                EXPECT_GE(event.offset, journalStart) << edit.name << ": " << tripwire::Describe(event);
            }
        }
        if (GetParam().weaklySigned) {
            EXPECT_EQ(testkit::CheckSignature(archive), testkit::SignatureCheck::WeakValid) << edit.name;
        }
    }
    EXPECT_GT(engineWrites, edits.size());
    // The skins file shrinks into its old block: the one reuse the sequence must make.
    EXPECT_GT(reused, 0u);
}

// Reads never write, not even to a signed archive, which the engine re-signs whenever it writes.
class ReadOnlyOperations : public ::testing::TestWithParam<bool> {};

TEST_P(ReadOnlyOperations, MakeNoFileSystemCallThatChangesAnything) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    if (GetParam()) {
        ASSERT_TRUE(testkit::SignArchiveWeakly(archive));
    }
    const std::vector<std::uint8_t> before = testkit::ReadBytes(archive);
    clsMpqControl control(MakeOwnMpqEngine());
    control.SetMpqFileName(TextFromPath(archive));
    tripwire::Watch(dir.path());
    std::vector<std::uint8_t> read;
    EXPECT_TRUE(control.ArchiveOpens());
    EXPECT_TRUE(control.ReadFileFromMpq(u"UI\\war3skins.txt", read));
    EXPECT_TRUE(control.FileExistsInMpq(u"empty.txt"));
    EXPECT_FALSE(control.ReadFileFromMpq(u"UI\\missing.txt", read));
    tripwire::Stop();
    // Only the lock file may be made: it stays beside the archive by design.
    for (const tripwire::Event& event : tripwire::Events()) {
        if (event.kind != tripwire::Event::Kind::Create ||
            fs::path(event.path).filename() != archive_lock::LockPath(archive).filename())
            ADD_FAILURE() << tripwire::Describe(event);
    }
    EXPECT_EQ(testkit::ReadBytes(archive), before);
}

INSTANTIATE_TEST_SUITE_P(Archives, ReadOnlyOperations, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Signed" : "Unsigned"; });

INSTANTIATE_TEST_SUITE_P(Layouts, JournalAssumptionTest,
                         ::testing::Values(LayoutCase{"Format0", 0, 0, false}, LayoutCase{"Format1", 1, 0, false},
                                           LayoutCase{"Format0After512", 0, 512, false},
                                           LayoutCase{"Format0Signed", 0, 0, true},
                                           LayoutCase{"Format1Signed", 1, 0, true},
                                           LayoutCase{"Format0SignedAfter512", 0, 512, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
