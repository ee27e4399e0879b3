// The Debian packages as a machine installs them: unpacked into an empty root, the command line runs on
// its own (its archive worker is the executable itself) and pulls in no GUI library.
#include "packaging/unpacked_packages.h"
#include "shell.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using package_test::Output;
using package_test::Quoted;
using package_test::Shell;
using packaging_test::FindPackage;

// Unpacks the package under root and gives its Depends field.
std::string Unpack(const fs::path& deb, const fs::path& root) {
    const Output unpacked = Shell("dpkg-deb -x " + Quoted(deb) + " " + Quoted(root));
    EXPECT_EQ(unpacked.exitCode, 0) << unpacked.text;
    const Output depends = Shell("dpkg-deb -f " + Quoted(deb) + " Depends");
    EXPECT_EQ(depends.exitCode, 0) << depends.text;
    return depends.text;
}

TEST(Packages, CommandLineRunsUnpackedWithoutQt) {
    const fs::path deb = FindPackage("ostrawen-cli");
    ASSERT_FALSE(deb.empty()) << "no ostrawen-cli package in " << OSTRAWEN_PACKAGE_DIR << " (make package)";
    testkit::TempDir scratch;
    const std::string depends = Unpack(deb, scratch / "root");
    // Our own MPQ engine: StormLib is a test oracle, not a dependency.
    EXPECT_EQ(depends.find("libstorm"), std::string::npos) << depends;
    EXPECT_NE(depends.find("libicu"), std::string::npos) << depends;
    EXPECT_EQ(depends.find("qt"), std::string::npos) << depends;
    const Output man = Shell("zcat " + Quoted((scratch / "root/usr/share/man/man1/ostrawen-cli.1.gz").string()));
    EXPECT_EQ(man.exitCode, 0) << man.text;
    EXPECT_TRUE(man.text.starts_with(".TH OSTRAWEN-CLI 1")) << man.text.substr(0, 80);

    const fs::path game = scratch / "Warcraft III";
    fs::create_directories(game);
    testkit::WriteFile(game / "war3.exe", "MZ");
    testkit::BuildArchive(
        game / "War3Patch.mpq",
        {{u"UI\\FrameDef\\GlobalStrings.fdf", testkit::Bytes("StringList {\r\n    GAMENAME \"Packaged\",\r\n}\r\n")}});

    // Nothing of the build's environment: a bare PATH, another working directory.
    const std::string cli = Quoted((scratch / "root/usr/bin/ostrawen-cli").string());
    const std::string bare = "cd / && env -i PATH=/usr/bin:/bin HOME=" + Quoted(scratch.path().string()) + " ";
    const Output help = Shell(bare + cli + " --help");
    EXPECT_EQ(help.exitCode, 0) << help.text;
    EXPECT_NE(help.text.find("status"), std::string::npos) << help.text;
    const Output status = Shell(bare + cli + " --json --game-dir " + Quoted(game.string()) + " status");
    EXPECT_EQ(status.exitCode, 0) << status.text;
    EXPECT_NE(status.text.find("\"Packaged\""), std::string::npos) << status.text;
}

TEST(Packages, WindowPackageCarriesAValidDesktopEntry) {
    if (!OSTRAWEN_WITH_GUI)
        GTEST_SKIP() << "built without the window";
    const fs::path deb = FindPackage("ostrawen");
    ASSERT_FALSE(deb.empty()) << "no ostrawen package in " << OSTRAWEN_PACKAGE_DIR << " (make package)";
    testkit::TempDir scratch;
    const std::string depends = Unpack(deb, scratch.path());
    EXPECT_NE(depends.find("libqt6widgets6"), std::string::npos) << depends;
    EXPECT_TRUE(fs::is_regular_file(scratch / "usr/bin/ostrawen"));
    EXPECT_TRUE(fs::is_regular_file(scratch / "usr/share/icons/hicolor/48x48/apps/ostrawen.png"));
    const Output valid =
        Shell("desktop-file-validate " +
              Quoted((scratch / "usr/share/applications/io.github.ostrawen.Ostrawen.desktop").string()));
    EXPECT_EQ(valid.exitCode, 0) << valid.text;
    EXPECT_EQ(valid.text, "");
}

} // namespace
