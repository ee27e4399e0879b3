// The seam's promise (support/io_seam.h), which the kill points and the power-cut model rely on:
// every call that changes a file or the directory is reported once, in order, with its path,
// offset and size; reads report nothing; a refused call is not made; a torn write writes half; and
// an observer's own file calls leave the error the caller reads as the failed call left it.
#include "archive/archive_file.h"
#include "support/durable_file.h"
#include "support/io_seam.h"
#include "testkit/io_tripwire.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>

namespace fs = std::filesystem;
namespace tripwire = testkit::tripwire;
using archive_io::File;

namespace {

struct SeamCase {
    const char* name;
    std::function<bool(const fs::path& dir)> run; // in a directory holding a = "old"
    std::vector<std::string> reported;
};

void PrintTo(const SeamCase& seamCase, std::ostream* out) {
    *out << seamCase.name;
}

std::span<const std::uint8_t> Text(const char* text) {
    return {reinterpret_cast<const std::uint8_t*>(text), std::char_traits<char>::length(text)};
}

class SeamReportTest : public ::testing::TestWithParam<SeamCase> {
protected:
    void TearDown() override { tripwire::Stop(); }
};

TEST_P(SeamReportTest, ReportsEachChangeOnceInOrder) {
    testkit::TempDir dir;
    testkit::WriteFile(dir / "a", "old");
    tripwire::Watch(dir.path());
    ASSERT_TRUE(GetParam().run(dir.path()));
    tripwire::Stop();
    std::vector<std::string> reported;
    for (const tripwire::Event& event : tripwire::Events())
        reported.push_back(tripwire::Describe(event));
    EXPECT_EQ(reported, GetParam().reported);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, SeamReportTest,
    ::testing::Values(SeamCase{"NewFile",
                               [](const fs::path& dir) {
                                   std::unique_ptr<durable::NewFile> file = durable::NewFile::Create(dir / "n");
                                   return file && file->Append(Text("abc")) && file->Append(Text("")) &&
                                          file->Append(Text("de")) && file->Sync();
                               },
                               {"create n", "write n @0+3", "write n @3+2", "fsync n"}},
                      SeamCase{"ArchiveFile",
                               [](const fs::path& dir) {
                                   std::unique_ptr<File> file = File::Open(dir / "f", File::Mode::Create);
                                   return file && file->WriteAt(5, Text("xy")) && file->Truncate(3) && file->Sync();
                               },
                               {"create f", "write f @5+2", "truncate f to 3", "fsync f"}},
                      SeamCase{"ReadsReportNothing",
                               [](const fs::path& dir) {
                                   std::unique_ptr<File> file = File::Open(dir / "a", File::Mode::ReadWrite);
                                   std::uint8_t byte = 0;
                                   return file && file->ReadAt(1, std::span(&byte, 1)) && byte == 'l' &&
                                          file->Size() == 3u;
                               },
                               {}},
                      SeamCase{"Names",
                               [](const fs::path& dir) {
                                   return durable::LinkFile(dir / "a", dir / "l") &&
                                          durable::ReplaceFile(dir / "l", dir / "m") && durable::SyncFile(dir / "m") &&
                                          durable::RemoveFile(dir / "m") && durable::SyncDirectory(dir);
                               },
                               {"link a -> l", "rename l -> m", "fsync m", "remove m", "fsync the directory"}},
                      // Removing what is not there is done, and still a call the observer sees.
                      SeamCase{"RemoveMissing",
                               [](const fs::path& dir) { return durable::RemoveFile(dir / "none"); },
                               {"remove none"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SeamVerdict, RefusedCallIsNotMade) {
    testkit::TempDir dir;
    testkit::WriteFile(dir / "a", "old");
    tripwire::Watch(dir.path());
    tripwire::RefuseHardLinks(true);
    const bool linked = durable::LinkFile(dir / "a", dir / "l");
    tripwire::RefuseHardLinks(false);
    tripwire::Stop();
    EXPECT_FALSE(linked);
    EXPECT_FALSE(fs::exists(dir / "l"));
}

// Tears every write and clobbers the error state in After, as an observer's own file calls may.
class Tearing final : public io_seam::Observer {
public:
    io_seam::Verdict Before(const io_seam::Call& call) override {
        return call.kind == io_seam::Kind::Write ? io_seam::Verdict::TearWrite : io_seam::Verdict::Proceed;
    }
    void After(const io_seam::Call&, bool succeeded) override {
        successes.push_back(succeeded);
        std::error_code ignored;
        fs::remove("no such file here", ignored); // sets errno and the thread's last error
    }
    std::vector<bool> successes;
};

TEST(SeamVerdict, TornWriteWritesHalfAndTheCallersErrorSurvivesTheObserver) {
    testkit::TempDir dir;
    testkit::WriteFile(dir / "a", "old");
    Tearing tearing;
    io_seam::SetObserver(&tearing);
    {
        std::unique_ptr<File> file = File::Open(dir / "a", File::Mode::ReadWrite);
        ASSERT_TRUE(file);
        EXPECT_TRUE(file->WriteAt(0, Text("abcdef")));
    }
    archive_io::IoFailure why = archive_io::IoFailure::None;
    EXPECT_EQ(File::Open(dir / "a", File::Mode::CreateNew, &why), nullptr);
    io_seam::SetObserver(nullptr);
    EXPECT_EQ(why, archive_io::IoFailure::Exists);
    EXPECT_EQ(testkit::ReadFile(dir / "a"), testkit::Bytes("abc"));
    EXPECT_EQ(tearing.successes, (std::vector<bool>{true, false}));
}

} // namespace
