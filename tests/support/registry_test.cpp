#include "support/registry.h"

#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>

using namespace std::literals;
using mRegEdit::GetRegValue;
using mRegEdit::HKEY_CURRENT_USER_;
using mRegEdit::RegValue;

namespace {

namespace fs = std::filesystem;

constexpr std::u16string_view kWar3Key = u"Software\\Blizzard Entertainment\\Warcraft III";

std::string UserReg(std::string_view valueLines) {
    return "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win32\n\n"
           "[Software\\\\Blizzard Entertainment\\\\Warcraft III] 1700000000\n#time=1da0c0a8e1b2c3d\n" +
           std::string(valueLines) + "\n";
}

// A temporary Wine prefix named by WINEPREFIX for the test's duration.
class WinePrefix : public ::testing::Test {
protected:
    void WriteUserReg(std::string_view text) { testkit::WriteFile(m_dir / "user.reg", text); }

    std::optional<RegValue> Read(const std::u16string& valueName,
                                 const std::optional<std::u16string>& defaultValue = std::nullopt) {
        return GetRegValue(HKEY_CURRENT_USER_, std::u16string(kWar3Key), valueName, defaultValue);
    }

    testkit::TempDir m_dir;
    testkit::ScopedEnv m_prefix{"WINEPREFIX", m_dir.path().string()};
};

// --- The type table: each stored form and what the reader makes of it. ---

struct TypeCase {
    const char* name;
    std::string line; // defines the value "v"
    std::optional<RegValue> expected;
};

class TypeTable : public WinePrefix, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(TypeTable, ConvertsByType) {
    WriteUserReg(UserReg(GetParam().line));
    EXPECT_EQ(Read(u"v", u"fallback"), GetParam().expected);
}

std::string LongString(char c, std::size_t length) {
    return std::string(length, c);
}

std::string HexBytes(std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        static constexpr char kDigits[] = "0123456789abcdef";
        list += kDigits[(i >> 4) & 15];
        list += kDigits[i & 15];
        if (i + 1 < count)
            list += (i % 24 == 23) ? ",\\\n  " : ",";
    }
    return list;
}

std::vector<std::uint8_t> CountingBytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(i);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Registry, TypeTable,
    ::testing::Values(
        TypeCase{"Sz", R"("v"="C:\\Program Files\\Warcraft III")", RegValue(u"C:\\Program Files\\Warcraft III"s)},
        TypeCase{"SzEmpty", R"("v"="")", RegValue(u""s)},
        TypeCase{"SzUnicode", R"("v"="D:\\魔兽争霸\x4e09")", RegValue(u"D:\\魔兽争霸三"s)},
        TypeCase{"Sz1999CharactersWhole", "\"v\"=\"" + LongString('w', 1999) + "\"",
                 RegValue(std::u16string(1999, u'w'))},
        TypeCase{"SzWithoutTerminatorLosesLastCharacter", R"("v"=hex(1):61,00,62,00)", RegValue(u"a"s)},
        TypeCase{"SzWithTerminator", R"("v"=hex(1):61,00,62,00,00,00)", RegValue(u"ab"s)},
        TypeCase{"SzOddByteIgnored", R"("v"=hex(1):61,00,62)", RegValue(u""s)},
        TypeCase{"SzOfSizeZeroFails", R"("v"=hex(1):)", std::nullopt},
        TypeCase{"ExpandSz", R"("v"=str(2):"%SystemRoot%\\system32")", RegValue(u"C:\\windows\\system32"s)},
        TypeCase{"ExpandSzUnknownStays", R"("v"=str(2):"%OSTRAWEN_UNSET_X%\\a")", RegValue(u"%OSTRAWEN_UNSET_X%\\a"s)},
        TypeCase{"ExpandSzOfSizeZeroFails", R"("v"=hex(2):)", std::nullopt},
        TypeCase{"MultiSz", R"("v"=str(7):"a\0b\0")", RegValue(u"a\0b"s)},
        TypeCase{"MultiSzHex", R"("v"=hex(7):61,00,00,00,62,00,00,00,00,00)", RegValue(u"a\0b"s)},
        TypeCase{"MultiSzOnlyClosingNuls", R"("v"=hex(7):00,00,00,00)", RegValue(u""s)},
        TypeCase{"MultiSzBelowTwoUnitsFails", R"("v"=str(7):"")", std::nullopt},
        TypeCase{"Dword", R"("v"=dword:00000201)", RegValue(std::int32_t{513})},
        TypeCase{"DwordBytes", R"("v"=hex(4):01,02,00,00)", RegValue(std::int32_t{513})},
        TypeCase{"DwordShortBytesReadAsZero", R"("v"=hex(4):01,02)", RegValue(std::int32_t{513})},
        TypeCase{"DwordNoBytes", R"("v"=hex(4):)", RegValue(std::int32_t{0})},
        TypeCase{"DwordExtraBytesIgnored", R"("v"=hex(4):01,02,00,00,ff)", RegValue(std::int32_t{513})},
        TypeCase{"DwordNegative", R"("v"=dword:ffffffff)", RegValue(std::int32_t{-1})},
        TypeCase{"DwordBigEndian", R"("v"=hex(5):00,00,02,01)", RegValue(std::int32_t{513})},
        TypeCase{"DwordBigEndianShort", R"("v"=hex(5):00,00)", RegValue(std::int32_t{0})},
        TypeCase{"BinaryThreeBytes", R"("v"=hex:01,02,03)", RegValue(std::vector<std::uint8_t>{1, 2, 3})},
        TypeCase{"Binary2000BytesOverLines", "\"v\"=hex:" + HexBytes(2000), RegValue(CountingBytes(2000))},
        TypeCase{"BinaryEmptyFails", R"("v"=hex:)", std::nullopt},
        TypeCase{"NoneGivesDefault", R"("v"=hex(0):01)", RegValue(u"fallback"s)},
        TypeCase{"LinkGivesDefault", R"("v"=hex(6):01,00)", RegValue(u"fallback"s)},
        TypeCase{"ResourceListGivesDefault", R"("v"=hex(8):01)", RegValue(u"fallback"s)},
        TypeCase{"QwordGivesDefault", R"("v"=hex(b):01,00,00,00,00,00,00,00)", RegValue(u"fallback"s)},
        TypeCase{"MalformedGivesDefault", R"("v"="unterminated)", RegValue(u"fallback"s)},
        TypeCase{"LastDefinitionWins", "\"v\"=\"first\"\n\"V\"=dword:00000007", RegValue(std::int32_t{7})}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Which file, which key, which default. ---

TEST_F(WinePrefix, RealisticUserRegGivesInstallPath) {
    WriteUserReg("WINE REGISTRY Version 2\n"
                 ";; All keys relative to \\\\User\\\\S-1-5-21-1234-5678-9012-1000\n\n#arch=win32\n\n"
                 "[AppEvents\\\\Schemes] 1700000000\n#time=1da0c0a8e1b2c3d\n@=\".Default\"\n\n"
                 "[Control Panel\\\\Desktop] 1700000000\n#time=1da0c0a8e1b2c3d\n"
                 "\"DragFullWindows\"=\"0\"\n\"UserPreferencesMask\"=hex:10,00,02,80\n\n"
                 "[Software\\\\Blizzard Entertainment\\\\Warcraft III] 1700000123\n#time=1da0c0a8e1b2c3e\n"
                 "\"Allow Local Files\"=dword:00000001\n"
                 "\"Gfx\"=hex:00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,\\\n"
                 "  00,00,00,00\n"
                 "\"InstallPath\"=\"C:\\\\Program Files\\\\Warcraft III\"\n"
                 "\"Program\"=\"C:\\\\Program Files\\\\Warcraft III\\\\war3.exe\"\n\n"
                 "[Software\\\\Blizzard Entertainment\\\\Warcraft III\\\\Video] 1700000124\n"
                 "\"resheight\"=dword:00000300\n\n"
                 "[Software\\\\Wine\\\\Fonts] 1700000002\n\"Codepages\"=\"936,936\"\n");
    EXPECT_EQ(Read(u"InstallPath"), RegValue(u"C:\\Program Files\\Warcraft III"s));
    EXPECT_EQ(Read(u"installpath"), RegValue(u"C:\\Program Files\\Warcraft III"s));
    EXPECT_EQ(GetRegValue(HKEY_CURRENT_USER_, u"software\\BLIZZARD ENTERTAINMENT\\warcraft iii\\video", u"resHeight"),
              RegValue(std::int32_t{768}));
    EXPECT_EQ(Read(u"Allow Local Files"), RegValue(std::int32_t{1}));
    EXPECT_EQ(Read(u"Gfx"), RegValue(std::vector<std::uint8_t>(26, 0)));
}

// Lines exactly as wineserver saved them after a Windows program had set these values with
// RegSetValueExW: its escapes, its line wrapping and its choice of forms.
TEST_F(WinePrefix, FileSavedByWineserver) {
    WriteUserReg(R"(WINE REGISTRY Version 2
;; All keys relative to \\User\\S-1-5-21-0-0-0-1000

#arch=win64

[Software\\Blizzard Entertainment\\Warcraft III] 1796635287
#time=1dd862c5676eec6
@="default"
"Blob"=hex:00,25,4a,6f,94,b9,de,03,28,4d,72,97,bc,e1,06,2b,50,75,9a,bf,e4,09,\
  2e,53,78,9d,c2,e7,0c,31,56,7b,a0,c5,ea,0f,34,59,7e,a3,c8,ed,12,37,5c,81,a6,\
  cb,f0,15,3a,5f,84,a9,ce,f3,18,3d,62,87,ac,d1,f6,1b,40,65,8a,af,d4,f9,1e,43,\
  68,8d,b2,d7,fc,21,46,6b,90,b5,da,ff,24,49,6e,93,b8,dd,02,27,4c,71,96,bb,e0,\
  05,2a,4f
"Expand"=str(2):"%ProgramFiles%\\Warcraft III"
"Flags"=dword:80000201
"InstallPath"="D:\\\x6e38\x620f\\Warcraft III"
"Multi"=str(7):"first\0second\0\x4e09\0"
"Tricky \"name\" \\ here"="q\"uote\\ tab\t nl\n bell\a esc\e one\0017 \xe9t\xe9 \xd83d\xde00"
"Unterminated"=hex(1):61,00,62,00,63,00

[Software\\\x00c9diteur\\\x418\x433\x440\x430] 1796635340
#time=1dd862c75d4d9f4
"\x392\x3b1\x3b8\x3bc\x3cc\x3c2"=dword:00000001

[Software\\\xc9diteur\\\x418\x433\x440\x430] 1796635287
#time=1dd862c5676f858
"\x392\x3b1\x3b8\x3bc\x3cc\x3c2"=dword:00000002
)");
    std::vector<std::uint8_t> blob(100);
    for (std::size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<std::uint8_t>(i * 37);
    EXPECT_EQ(Read(u"InstallPath"), RegValue(u"D:\\游戏\\Warcraft III"s));
    EXPECT_EQ(Read(u""), RegValue(u"default"s));
    EXPECT_EQ(Read(u"Blob"), RegValue(blob));
    EXPECT_EQ(Read(u"Expand"), RegValue(u"C:\\Program Files (x86)\\Warcraft III"s));
    EXPECT_EQ(Read(u"Flags"), RegValue(static_cast<std::int32_t>(0x80000201u)));
    EXPECT_EQ(Read(u"Multi"), RegValue(u"first\0second\0三"s));
    EXPECT_EQ(Read(u"tricky \"NAME\" \\ here"), RegValue(u"q\"uote\\ tab\t nl\n bell\a esc\x1b one\x01"
                                                         u"7 été \U0001F600"s));
    EXPECT_EQ(Read(u"Unterminated"), RegValue(u"ab"s));
    EXPECT_EQ(GetRegValue(HKEY_CURRENT_USER_, u"software\\éDITEUR\\иГРА", u"βΑΘΜΌς"), RegValue(std::int32_t{1}));
    // "\xc9d" is one escape: U+0C9D followed by "iteur".
    EXPECT_EQ(GetRegValue(HKEY_CURRENT_USER_, u"Software\\\u0c9diteur\\Игра", u"Βαθμός"), RegValue(std::int32_t{2}));
}

TEST_F(WinePrefix, MissingKeyOrValueGivesDefault) {
    WriteUserReg(UserReg(R"("InstallPath"="C:\\War3")"));
    EXPECT_EQ(Read(u"NoSuchValue"), RegValue(u""s));
    EXPECT_EQ(Read(u"NoSuchValue", u"given"), RegValue(u"given"s));
    EXPECT_EQ(GetRegValue(HKEY_CURRENT_USER_, u"Software\\Blizzard Entertainment", u"InstallPath"), RegValue(u""s));
    EXPECT_EQ(GetRegValue(HKEY_CURRENT_USER_, u"Software\\Nothing", u"InstallPath", u"given"), RegValue(u"given"s));
    EXPECT_EQ(Read(u"InstallPath", u"given"), RegValue(u"C:\\War3"s));
}

TEST_F(WinePrefix, RootsMapToTheirFiles) {
    WriteUserReg(UserReg(R"("InstallPath"="from user.reg")"));
    testkit::WriteFile(m_dir / "system.reg", "WINE REGISTRY Version 2\n#arch=win32\n\n"
                                             "[Software\\\\Blizzard Entertainment\\\\Warcraft III] 1700000000\n"
                                             "\"InstallPath\"=\"from system.reg\"\n");
    const std::u16string key(kWar3Key);
    EXPECT_EQ(GetRegValue(mRegEdit::HKEY_CURRENT_USER_, key, u"InstallPath"), RegValue(u"from user.reg"s));
    EXPECT_EQ(GetRegValue(mRegEdit::HKEY_LOCAL_MACHINE_, key, u"InstallPath"), RegValue(u"from system.reg"s));
    EXPECT_EQ(GetRegValue(mRegEdit::HKEY_CLASSES_ROOT_, key, u"InstallPath", u"d"), RegValue(u"d"s));
    EXPECT_EQ(GetRegValue(mRegEdit::HKEY_USERS_, key, u"InstallPath", u"d"), RegValue(u"d"s));
    EXPECT_EQ(GetRegValue(0x12345678u, key, u"InstallPath", u"d"), RegValue(u"d"s));
}

TEST(RegistryPrefix, WithoutWineprefixTheHomePrefixIsRead) {
    testkit::TempDir home;
    fs::create_directory(home / ".wine");
    testkit::WriteFile(home / ".wine" / "user.reg", UserReg(R"("InstallPath"="C:\\Home")"));
    testkit::ScopedEnv homeVariable("HOME", home.path().string());
    testkit::ScopedEnv prefix("WINEPREFIX", "");
    unsetenv("WINEPREFIX");
    EXPECT_EQ(GetRegValue(HKEY_CURRENT_USER_, std::u16string(kWar3Key), u"InstallPath"), RegValue(u"C:\\Home"s));
}

TEST(RegistryPrefix, RelativeWineprefixIsRefusedNotReplacedByTheHomePrefix) {
    testkit::TempDir home;
    fs::create_directory(home / ".wine");
    testkit::WriteFile(home / ".wine" / "user.reg", UserReg(R"("InstallPath"="C:\\Home")"));
    testkit::ScopedEnv homeVariable("HOME", home.path().string());
    testkit::ScopedEnv prefix("WINEPREFIX", "relative/prefix");
    EXPECT_EQ(GetRegValue(HKEY_CURRENT_USER_, std::u16string(kWar3Key), u"InstallPath"), RegValue(u""s));
}

// --- Files that are not what they should be: always the default, never a crash or a hang. ---

TEST_F(WinePrefix, MissingFileGivesDefault) {
    EXPECT_EQ(Read(u"InstallPath", u"d"), RegValue(u"d"s));
}

TEST_F(WinePrefix, DirectoryInPlaceOfFileGivesDefault) {
    fs::create_directory(m_dir / "user.reg");
    EXPECT_EQ(Read(u"InstallPath", u"d"), RegValue(u"d"s));
}

TEST_F(WinePrefix, FifoInPlaceOfFileGivesDefaultWithoutBlocking) {
    ASSERT_EQ(mkfifo((m_dir / "user.reg").c_str(), 0600), 0);
    EXPECT_EQ(Read(u"InstallPath", u"d"), RegValue(u"d"s));
}

TEST_F(WinePrefix, UnreadableFileGivesDefault) {
    WriteUserReg(UserReg(R"("InstallPath"="C:\\War3")"));
    fs::permissions(m_dir / "user.reg", fs::perms::none);
    if (std::ifstream(m_dir / "user.reg").is_open())
        GTEST_SKIP() << "running with rights that ignore permissions";
    EXPECT_EQ(Read(u"InstallPath", u"d"), RegValue(u"d"s));
}

TEST_F(WinePrefix, BinaryFileGivesDefault) {
    std::vector<std::uint8_t> bytes(64 * 1024);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    testkit::WriteFile(m_dir / "user.reg", bytes);
    EXPECT_EQ(Read(u"InstallPath", u"d"), RegValue(u"d"s));
}

TEST_F(WinePrefix, Utf16FileGivesDefault) {
    // A registry export saved by regedit is UTF-16 with a byte-order mark, not a Wine registry file.
    std::vector<std::uint8_t> bytes = {0xff, 0xfe};
    for (const char c : UserReg(R"("InstallPath"="C:\\War3")")) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    testkit::WriteFile(m_dir / "user.reg", bytes);
    EXPECT_EQ(Read(u"InstallPath", u"d"), RegValue(u"d"s));
}

TEST_F(WinePrefix, EveryTruncatedFileGivesWholeValueOrDefault) {
    const std::string whole = UserReg("\"Gfx\"=hex:01,02,\\\n  03\n\"InstallPath\"=\"C:\\\\Program Files\\\\War3\"");
    for (std::size_t length = 0; length < whole.size(); ++length) {
        WriteUserReg(std::string_view(whole).substr(0, length));
        const auto value = Read(u"InstallPath", u"d");
        ASSERT_TRUE(value.has_value()) << "cut at " << length;
        const std::u16string text = mRegEdit::RegValueAsText(*value);
        EXPECT_TRUE(text == u"d" || text == u"C:\\Program Files\\War3") << "cut at " << length;
    }
}

TEST_F(WinePrefix, LargeFileIsReadQuickly) {
    // A prefix with much software installed: about 4 MB, the wanted key near the end.
    std::string text = "WINE REGISTRY Version 2\n#arch=win32\n\n";
    for (int key = 0; key < 20000; ++key) {
        text += "[Software\\\\Vendor" + std::to_string(key % 97) + "\\\\Product" + std::to_string(key) +
                "] 1700000000\n#time=1da0c0a8e1b2c3d\n\"Path\"=\"C:\\\\Program Files\\\\Product " +
                std::to_string(key) +
                "\"\n\"Flags\"=dword:00000001\n\"Blob\"=hex:00,01,02,03,04,05,06,07,08,\\\n"
                "  09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f\n\n";
    }
    text += UserReg(R"("InstallPath"="C:\\War3")").substr(24);
    WriteUserReg(text);
    const auto start = std::chrono::steady_clock::now();
    const auto value = Read(u"InstallPath");
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(value, RegValue(u"C:\\War3"s));
    RecordProperty("elapsed_ms", static_cast<int>(elapsed.count()));
    // Generous for debug and sanitizer builds; a quadratic scan takes minutes at this size.
    EXPECT_LT(elapsed.count(), 3000) << text.size() << " bytes";
}

// --- ExpandEnvString ---

// A win64 prefix's two files: these lines in the machine's and the user's Environment, the profile C:\users\steam.
class PrefixExpand : public WinePrefix {
protected:
    void WritePrefix(const std::string& systemLines, const std::string& userLines) {
        const std::string head = "WINE REGISTRY Version 2\n;; All keys relative to \\\\";
        testkit::WriteFile(
            m_dir / "system.reg",
            head + "Machine\n\n#arch=win64" +
                "\n\n[System\\\\CurrentControlSet\\\\Control\\\\Session Manager\\\\Environment] 1\n" + systemLines +
                "\n\n[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\ProfileList\\\\S-1-5-21-0-0-"
                "0-1000] 1\n\"ProfileImagePath\"=\"C:\\\\users\\\\steam\"\n");
        WriteUserReg(head + "User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n[Environment] 1\n" + userLines + "\n");
    }

    testkit::ScopedEnv m_user{"USER", "alice"};
    testkit::ScopedEnv m_linuxOnly{"OSTRAWEN_LINUX_ONLY", "/home/alice"};
    testkit::ScopedEnv m_programFiles{"ProgramFiles", "/usr/lib"};
};

TEST_F(PrefixExpand, StoredVariablesAndReferences) {
    // With no files yet: a fresh win32 prefix, the profile named after the Unix user.
    EXPECT_EQ(mRegEdit::ExpandEnvString(u"%ProgramFiles%|%USERPROFILE%"), u"C:\\Program Files|C:\\users\\alice");
    WritePrefix(
        "\"GAMEDIR\"=\"D:\\\\Games\"\n\"ProgramFiles\"=\"E:\\\\Apps\"\n\"SYSTEMP\"=str(2):\"%SystemRoot%\\\\TEMP\"\n"
        "\"A\"=str(2):\"%B%\\\\a\"\n\"B\"=\"D:\\\\b\"\n\"CN\"=\"D:\\\\\\x6e38\\x620f\"\n\"EMPTY\"=\"\"\n\"BIG\"=\"" +
            std::string(20000, 'b') + "\"",
        "\"gamedir\"=\"E:\\\\Mine\"\n\"TEMP\"=str(2):\"%USERPROFILE%\\\\Temp\"");
    const std::pair<std::u16string, std::optional<std::u16string>> rows[] = {
        {u"%GameDir%\\War3", u"E:\\Mine\\War3"}, // the user's value over the machine's, names in any case
        {u"%ProgramFiles%", u"E:\\Apps"},        // a stored value over the default
        {u"%ProgramFiles(x86)%|%windir%|%USERPROFILE%", u"C:\\Program Files (x86)|C:\\windows|C:\\users\\steam"},
        {u"%SYSTEMP%|%temp%|%A%", u"C:\\windows\\TEMP|C:\\users\\steam\\Temp|D:\\b\\a"}, // expandable ones expanded
        {u"%cn%|a%EMPTY%b", u"D:\\游戏|ab"},
        {u"%OSTRAWEN_LINUX_ONLY%|%HOME%", u"%OSTRAWEN_LINUX_ONLY%|%HOME%"},
        {u"%windir%%windir%", u"C:\\windowsC:\\windows"},
        {u"%UNSET_Y%windir%", u"%UNSET_Y%windir%"},
        {u"a%windir", u"a%windir"},
        {u"%%", u"%%"},
        {u"%BIG%%BIG%", std::nullopt}, // longer than Windows allows
    };
    for (std::size_t row = 0; row < std::size(rows); ++row)
        EXPECT_EQ(mRegEdit::ExpandEnvString(rows[row].first), rows[row].second) << "row " << row;
}

// --- SwapLong and RegValueAsText ---

TEST(SwapLong, ReversesByteOrder) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {0x01020304u, 0x04030201u},
        {0x01020000u, 0x00000201u},
        {0xff000000u, 0x000000ffu},
        {0x80000001u, 0x01000080u},
        {0u, 0u},
        {0xffffffffu, 0xffffffffu},
    };
    for (const auto& [input, output] : cases) {
        EXPECT_EQ(static_cast<std::uint32_t>(mRegEdit::SwapLong(static_cast<std::int32_t>(input))), output) << input;
        EXPECT_EQ(static_cast<std::uint32_t>(mRegEdit::SwapLong(static_cast<std::int32_t>(output))), input) << output;
    }
}

TEST(RegValueAsText, TextNumberOrNothing) {
    EXPECT_EQ(mRegEdit::RegValueAsText(RegValue(u"D:\\War3\\"s)), u"D:\\War3\\");
    EXPECT_EQ(mRegEdit::RegValueAsText(RegValue(std::int32_t{513})), u"513");
    EXPECT_EQ(mRegEdit::RegValueAsText(RegValue(std::int32_t{-1})), u"-1");
    EXPECT_EQ(mRegEdit::RegValueAsText(RegValue(std::int32_t{INT_MIN})), u"-2147483648");
    EXPECT_EQ(mRegEdit::RegValueAsText(RegValue(std::vector<std::uint8_t>{'C', ':', '\\'})), u"");
}

} // namespace
