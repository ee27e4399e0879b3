// The packages' metadata as the tools that read it judge it: the AppStream metainfo and the desktop
// entry as software centres read them, the manual pages as man formats them, the changelog as dpkg
// parses it.
#include "unpacked_packages.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace packaging_test;

constexpr const char* kMetainfo = "usr/share/metainfo/io.github.ostrawen.Ostrawen.metainfo.xml";

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The first capture of `pattern` in `text`, or empty.
std::string Capture(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : std::string();
}

TEST(WindowMetadata, MetainfoPassesAppStreamValidation) {
    if (!OSTRAWEN_WITH_GUI)
        GTEST_SKIP() << "built without the window";
    const UnpackedPackage& package = Unpacked("ostrawen");
    ASSERT_EQ(package.problem, "");
    const Output out = Shell("appstreamcli validate --no-net " + Quoted((package.root / kMetainfo).string()));
    EXPECT_EQ(out.exitCode, 0) << out.text;
}

// A software centre joins the metainfo to the desktop entry, and the desktop entry to the program and
// its icon, by name: each name must be one the package really installs, and the newest release the
// metainfo names is the packaged one.
TEST(WindowMetadata, NamesLeadToInstalledFiles) {
    if (!OSTRAWEN_WITH_GUI)
        GTEST_SKIP() << "built without the window";
    const UnpackedPackage& package = Unpacked("ostrawen");
    ASSERT_EQ(package.problem, "");
    const std::string metainfo = ReadText(package.root / kMetainfo);
    const std::string id = Capture(metainfo, "<id>([^<]+)</id>");
    const std::string launchable = Capture(metainfo, "<launchable type=\"desktop-id\">([^<]+)</launchable>");
    EXPECT_EQ(launchable, id + ".desktop");
    EXPECT_EQ(fs::path(kMetainfo).filename().string(), id + ".metainfo.xml");
    const fs::path desktopEntry = package.root / "usr/share/applications" / launchable;
    ASSERT_TRUE(fs::is_regular_file(desktopEntry)) << launchable;
    const std::string entry = ReadText(desktopEntry);
    const std::string program = Capture(entry, "\nExec=([^ \n]+)");
    EXPECT_TRUE(fs::is_regular_file(package.root / "usr/bin" / program)) << program;
    EXPECT_EQ(Capture(metainfo, "<binary>([^<]+)</binary>"), program);
    const std::string icon = Capture(entry, "\nIcon=([^\n]+)");
    EXPECT_TRUE(fs::is_regular_file(package.root / "usr/share/icons/hicolor/scalable/apps" / (icon + ".svg"))) << icon;
    EXPECT_EQ(Capture(metainfo, "<release version=\"([^\"]+)\""), ControlField(package.deb, "Version"));
    const Output valid = Shell("desktop-file-validate " + Quoted(desktopEntry.string()));
    EXPECT_EQ(valid.exitCode, 0) << valid.text;
    EXPECT_EQ(valid.text, "");
}

struct ManPageRow {
    const char* package;
    const char* page;              // inside the package's root
    const char* name;              // the NAME line's program
    std::vector<std::string> says; // what the formatted page must mention
};

void PrintTo(const ManPageRow& row, std::ostream* out) {
    *out << row.page;
}

class ManPageTest : public testing::TestWithParam<ManPageRow> {};

TEST_P(ManPageTest, FormatsCleanlyAndNamesFilesAndEnvironment) {
    const ManPageRow& row = GetParam();
    if (std::string(row.package) == "ostrawen" && !OSTRAWEN_WITH_GUI)
        GTEST_SKIP() << "built without the window";
    const UnpackedPackage& package = Unpacked(row.package);
    ASSERT_EQ(package.problem, "");
    const std::string page = Quoted((package.root / row.page).string());
    // man's own warnings (groff's, as lintian's manual page check runs it) go to stderr; the page to stdout.
    const Output warnings =
        Shell("LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l " + page + " 2>&1 >/dev/null");
    EXPECT_EQ(warnings.text, "");
    // lexgrog reads the NAME section as mandb does for apropos and whatis.
    const Output whatis = Shell("lexgrog " + page);
    EXPECT_EQ(whatis.exitCode, 0) << whatis.text;
    EXPECT_NE(whatis.text.find(std::string("\"") + row.name + " - "), std::string::npos) << whatis.text;
    const Output text = Shell("LC_ALL=C.UTF-8 MANWIDTH=200 man -l " + page);
    EXPECT_EQ(text.exitCode, 0);
    for (const std::string& said : row.says)
        EXPECT_NE(text.text.find(said), std::string::npos) << row.page << " does not mention " << said;
}

const std::vector<std::string> kSharedMentions = {"\nENVIRONMENT\n", "\nFILES\n", "\nSEE ALSO\n", "WINEPREFIX", "HOME",
                                                  "-lock",           "-journal",  "user.reg",     "PD_Set.ini"};

INSTANTIATE_TEST_SUITE_P(Packages, ManPageTest,
                         testing::Values(ManPageRow{"ostrawen-cli", "usr/share/man/man1/ostrawen-cli.1.gz",
                                                    "ostrawen-cli",
                                                    [] {
                                                        auto says = kSharedMentions;
                                                        says.push_back("ostrawen(1)");
                                                        return says;
                                                    }()},
                                         ManPageRow{"ostrawen", "usr/share/man/man1/ostrawen.1.gz", "ostrawen",
                                                    [] {
                                                        auto says = kSharedMentions;
                                                        says.push_back("ostrawen-cli(1)");
                                                        return says;
                                                    }()}),
                         [](const testing::TestParamInfo<ManPageRow>& info) {
                             return info.param.package == std::string("ostrawen") ? std::string("window")
                                                                                  : std::string("commandLine");
                         });

class ChangelogTest : public testing::TestWithParam<std::string> {};

// dpkg reads the package's version and source from the changelog when it builds: the newest entry
// must be the packaged version, or the next release ships a changelog that stops one version short.
TEST_P(ChangelogTest, NewestEntryIsThePackagedVersion) {
    const UnpackedPackage& package = Unpacked(GetParam());
    ASSERT_EQ(package.problem, "");
    const std::string changelog = Quoted((package.root / "usr/share/doc" / GetParam() / "changelog.gz").string());
    const Output version = Shell("zcat " + changelog + " | dpkg-parsechangelog -l - -S Version");
    EXPECT_EQ(version.exitCode, 0) << version.text;
    EXPECT_EQ(version.text, ControlField(package.deb, "Version") + "\n");
    const Output source = Shell("zcat " + changelog + " | dpkg-parsechangelog -l - -S Source");
    EXPECT_EQ(source.text, ControlField(package.deb, "Source") + "\n");
}

INSTANTIATE_TEST_SUITE_P(Packages, ChangelogTest, testing::ValuesIn(PackageNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param == "ostrawen" ? std::string("window") : std::string("commandLine");
                         });

} // namespace
