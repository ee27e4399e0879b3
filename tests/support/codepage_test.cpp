// Code page 936 decoded as ICU's windows-936-2000 decodes it, input by input, on every platform.
//
// tests/data/cp936_decoded.bin holds ICU's answer for every one-byte input 0x00-0xFF, then for every
// pair lead 0x81-0xFE x trail 0x00-0xFF, in that order, each as two UTF-16LE units (the second 0xFFFF
// when the answer is one unit; U+FFFF never comes out of either decoder). It was written once, with
// ICU 72, by a few lines run by hand: for each input, ucnv_reset() on ucnv_open("windows-936-2000"),
// ucnv_toUChars() into a buffer of four units, then its first two units written out, padded with
// 0xFFFF. On Windows, where the decoder is the system's table and rules of our own, the file is an
// independent answer; on Linux, where the decoder is ICU, it checks that ICU is called right.
#include "support/codepage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kLeads = 0xFE - 0x81 + 1;

// ICU's answer per input: single[byte], and pair[(lead - 0x81) * 256 + trail].
struct DecodeTable {
    std::vector<std::u16string> single;
    std::vector<std::u16string> pair;
};

std::optional<DecodeTable> LoadTable() {
    std::ifstream in(TEST_DATA_DIR "/cp936_decoded.bin", std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
    if (bytes.size() != (256 + kLeads * 256) * 4)
        return std::nullopt;
    std::vector<std::u16string> entries;
    for (std::size_t at = 0; at < bytes.size(); at += 4) {
        std::u16string answer;
        for (std::size_t unit = 0; unit < 4; unit += 2) {
            const auto value = static_cast<char16_t>(bytes[at + unit] | (bytes[at + unit + 1] << 8));
            if (value != u'\uFFFF')
                answer += value;
        }
        entries.push_back(answer);
    }
    return DecodeTable{{entries.begin(), entries.begin() + 256}, {entries.begin() + 256, entries.end()}};
}

std::string Hex(const std::string& bytes) {
    std::string text;
    for (const char byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X ", static_cast<unsigned>(static_cast<unsigned char>(byte)));
        text += digits;
    }
    return text.empty() ? "(none) " : text;
}

std::string Units(const std::u16string& text) {
    std::string list;
    for (const char16_t unit : text) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "U+%04X", static_cast<unsigned>(unit));
        list += (list.empty() ? "" : " ") + std::string(digits);
    }
    return list.empty() ? "nothing" : list;
}

TEST(Codepage936, EveryOneAndTwoByteInputAsIcuDecodesIt) {
    const std::optional<DecodeTable> table = LoadTable();
    ASSERT_TRUE(table) << TEST_DATA_DIR "/cp936_decoded.bin is missing or not of its size";
    std::size_t differing = 0;
    std::string first;
    const auto check = [&](const std::string& input, const std::u16string& expected) {
        const std::u16string decoded = codepage::AnsiBytesToString(input);
        if (decoded != expected && ++differing <= 12)
            first += "\n  " + Hex(input) + "-> " + Units(decoded) + ", ICU: " + Units(expected);
    };
    for (int byte = 0; byte < 256; ++byte)
        check(std::string(1, static_cast<char>(byte)), table->single[byte]);
    // Pairs that do not start with a lead byte are two characters of one byte each.
    for (int lead = 0; lead < 256; ++lead) {
        for (int trail = 0; trail < 256; ++trail) {
            const std::string input = {static_cast<char>(lead), static_cast<char>(trail)};
            check(input, codepage::IsLeadByte936(static_cast<std::uint8_t>(lead))
                             ? table->pair[static_cast<std::size_t>(lead - 0x81) * 256 + trail]
                             : table->single[lead] + table->single[trail]);
        }
    }
    EXPECT_EQ(differing, 0u) << "inputs decoded otherwise than ICU does; the first:" << first;
}

struct DecodeCase {
    const char* name;
    std::string bytes;
    std::u16string text;
};

void PrintTo(const DecodeCase& row, std::ostream* out) {
    *out << row.name;
}

class Codepage936Rows : public testing::TestWithParam<DecodeCase> {};

TEST_P(Codepage936Rows, Decodes) {
    EXPECT_EQ(Units(codepage::AnsiBytesToString(GetParam().bytes)), Units(GetParam().text)) << Hex(GetParam().bytes);
}

using namespace std::literals;

INSTANTIATE_TEST_SUITE_P(Rows, Codepage936Rows,
                         testing::Values(DecodeCase{"Empty", "", u""}, DecodeCase{"Ascii", "War3 GAME", u"War3 GAME"},
                                         DecodeCase{"ValidPairs", "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
                                         DecodeCase{"UserDefinedAreaToPrivateUse", "\xAA\xA1", u"\uE000"},
                                         DecodeCase{"InvalidTrailKept",
                                                    "\x81"
                                                    "0",
                                                    u"\uFFFD0"},
                                         DecodeCase{"ZeroTrailKept", "\x81\x00"s, u"\uFFFD\0"s},
                                         DecodeCase{"DeleteTrailKept", "\x81\x7F", u"\uFFFD\u007F"},
                                         DecodeCase{"LoneLeadAtEnd", "A\xD6", u"A\uFFFD"},
                                         DecodeCase{"Byte80IsEuro", "\x80", u"\u20AC"},
                                         DecodeCase{"ByteFFIsPrivateUse", "\xFF", u"\uF8F5"},
                                         DecodeCase{"LeadBeforeFF", "\x81\xFF", u"\uFFFD\uF8F5"},
                                         DecodeCase{"LeadTakesNextLeadAsTrail", "\x81\xD6\xD0", u"\u4F52\uFFFD"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
