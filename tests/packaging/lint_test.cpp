// Both packages as Debian's own checker and hardening checker judge them: lintian reports no error and
// no warning, and every program carries the hardening Debian builds with. _FORTIFY_SOURCE shows in a
// binary only where a call writes into an object of a size the compiler knows, which ours never do;
// for it, every compile of the programs' sources must carry the flag dpkg-buildflags gives.
#include "unpacked_packages.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace packaging_test;

class LintianTest : public testing::TestWithParam<std::string> {};

TEST_P(LintianTest, ReportsNoErrorAndNoWarning) {
    const UnpackedPackage& package = Unpacked(GetParam());
    ASSERT_EQ(package.problem, "");
    // Informational tags are shown but do not fail; an error or a warning does, and is printed.
    const Output out = Shell("lintian --fail-on error,warning --info " + Quoted(package.deb.string()));
    std::istringstream lines(out.text);
    std::string reported;
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("E: ") || line.starts_with("W: "))
            reported += line + "\n";
    EXPECT_EQ(reported, "");
    EXPECT_EQ(out.exitCode, 0) << out.text;
}

INSTANTIATE_TEST_SUITE_P(Packages, LintianTest, testing::ValuesIn(PackageNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param == "ostrawen" ? std::string("window") : std::string("commandLine");
                         });

struct HardeningRow {
    const char* package;
    const char* program;
    const char* check; // the line hardening-check prints for the feature
};

void PrintTo(const HardeningRow& row, std::ostream* out) {
    *out << row.program << ": " << row.check;
}

class HardeningTest : public testing::TestWithParam<HardeningRow> {};

TEST_P(HardeningTest, ProgramHasTheFeature) {
    const HardeningRow& row = GetParam();
    if (std::string(row.package) == "ostrawen" && !OSTRAWEN_WITH_GUI)
        GTEST_SKIP() << "built without the window";
    const UnpackedPackage& package = Unpacked(row.package);
    ASSERT_EQ(package.problem, "");
    const Output out = Shell("hardening-check " + Quoted((package.root / row.program).string()));
    std::istringstream lines(out.text);
    std::string verdict;
    for (std::string line; std::getline(lines, line);)
        if (line.find(std::string(row.check) + ":") != std::string::npos)
            verdict = line;
    ASSERT_NE(verdict, "") << out.text;
    EXPECT_NE(verdict.find(": yes"), std::string::npos) << verdict;
}

const HardeningRow kHardeningRows[] = {
    {"ostrawen-cli", "usr/bin/ostrawen-cli", "Position Independent Executable"},
    {"ostrawen-cli", "usr/bin/ostrawen-cli", "Stack protected"},
    {"ostrawen-cli", "usr/bin/ostrawen-cli", "Read-only relocations"},
    {"ostrawen-cli", "usr/bin/ostrawen-cli", "Immediate binding"},
    {"ostrawen", "usr/bin/ostrawen", "Position Independent Executable"},
    {"ostrawen", "usr/bin/ostrawen", "Stack protected"},
    {"ostrawen", "usr/bin/ostrawen", "Read-only relocations"},
    {"ostrawen", "usr/bin/ostrawen", "Immediate binding"},
};

INSTANTIATE_TEST_SUITE_P(Packages, HardeningTest, testing::ValuesIn(kHardeningRows),
                         [](const testing::TestParamInfo<HardeningRow>& info) {
                             std::string name = std::string(info.param.package) + "_" + info.param.check;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

// The hardening flags dpkg-buildflags gives for `kind` (CPPFLAGS, CXXFLAGS) that the build must carry.
std::vector<std::string> DebianHardeningFlags(const std::string& kind) {
    const Output out = Shell("DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get " + kind);
    std::vector<std::string> flags;
    std::istringstream words(out.text);
    for (std::string word; words >> word;)
        if (word.starts_with("-D_FORTIFY_SOURCE") || word.starts_with("-fstack-protector"))
            flags.push_back(word);
    return flags;
}

class CompileFlagsTest : public testing::TestWithParam<std::string> {};

TEST_P(CompileFlagsTest, EverySourceOfTheProgramsIsHardened) {
    if (GetParam() == "app" && !OSTRAWEN_WITH_GUI)
        GTEST_SKIP() << "built without the window";
    const std::string folder = std::string(OSTRAWEN_SOURCE_DIR) + "/" + GetParam() + "/";
    std::vector<std::string> wanted = DebianHardeningFlags("CPPFLAGS");
    for (const std::string& flag : DebianHardeningFlags("CXXFLAGS"))
        wanted.push_back(flag);
    ASSERT_EQ(wanted.size(), 2u) << "dpkg-buildflags gives no _FORTIFY_SOURCE or stack protector";
    // compile_commands.json as CMake writes it: one "command" line, then its "file" line.
    std::ifstream commands(OSTRAWEN_BINARY_DIR "/compile_commands.json");
    ASSERT_TRUE(commands.good());
    std::string command;
    int checked = 0;
    for (std::string line; std::getline(commands, line);) {
        if (line.find("\"command\": ") != std::string::npos)
            command = line;
        const std::size_t file = line.find("\"file\": \"");
        if (file == std::string::npos || line.compare(file + 9, folder.size(), folder) != 0)
            continue;
        ++checked;
        for (const std::string& flag : wanted)
            EXPECT_NE(command.find(" " + flag + " "), std::string::npos) << line << " lacks " << flag;
    }
    EXPECT_GT(checked, 0) << "no source under " << folder << " in compile_commands.json";
}

INSTANTIATE_TEST_SUITE_P(Programs, CompileFlagsTest, testing::Values("support", "archive", "mods", "cli", "app"));

} // namespace
