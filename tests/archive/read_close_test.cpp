// The reading operations report a failed close of the archive as a failure: StormLib reports
// there what it could not release, and an answer read from an archive it could not close
// cleanly is not one the caller may rely on.
#include "archive/mpq_control.h"
#include "support/text_path.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using testkit::MpqStep;

struct ReadCase {
    const char* name;
    std::function<bool(clsMpqControl&)> run;
};

void PrintTo(const ReadCase& readCase, std::ostream* out) {
    *out << readCase.name;
}

class ReadCloseTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadCloseTest, AFailedCloseIsAFailure) {
    testkit::TempDir dir;
    const std::filesystem::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(archive));
    ASSERT_TRUE(GetParam().run(control)) << "succeeds while the close succeeds";

    engine->FailAt(MpqStep::CloseArchive, engine->Calls(MpqStep::CloseArchive) + 1);
    EXPECT_FALSE(GetParam().run(control));
    EXPECT_GE(engine->Calls(MpqStep::CloseArchive), 2);
}

INSTANTIATE_TEST_SUITE_P(Reads, ReadCloseTest,
                         ::testing::Values(ReadCase{"ReadFile",
                                                    [](clsMpqControl& c) {
                                                        std::vector<std::uint8_t> bytes;
                                                        return c.ReadFileFromMpq(u"UI\\war3skins.txt", bytes);
                                                    }},
                                           ReadCase{"FileExists",
                                                    [](clsMpqControl& c) { return c.FileExistsInMpq(u"empty.txt"); }},
                                           ReadCase{"ArchiveOpens", [](clsMpqControl& c) { return c.ArchiveOpens(); }}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
