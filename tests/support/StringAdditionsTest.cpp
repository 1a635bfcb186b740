#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/QELMOR_NSStringAdditions.h"

namespace {

namespace S = QELMOR_NSStringAdditions;

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

// --- stringWithCString ---------------------------------------------------------------------------------

TEST(StringWithCString, DecodesUpToTheTerminatorWithinTheBufferAndTheMaximum) {
    struct Case {
        std::vector<uint8_t> bytes;
        size_t maxLength;
        QELMOR_StringEncoding encoding;
        std::optional<std::string> text;
    };
    const auto u8 = QELMOR_UTF8StringEncoding, u16 = QELMOR_UTF16StringEncoding, u32 = QELMOR_UTF32StringEncoding;
    const auto u16be = QELMOR_UTF16BigEndianStringEncoding, u16le = QELMOR_UTF16LittleEndianStringEncoding;
    const auto u32be = QELMOR_UTF32BigEndianStringEncoding, u32le = QELMOR_UTF32LittleEndianStringEncoding;
    const auto ascii = QELMOR_ASCIIStringEncoding, latin1 = QELMOR_ISOLatin1StringEncoding;
    const std::nullopt_t none = std::nullopt;
    const Case cases[] = {
        // UTF-8 skips the byte order mark and stops at a zero byte or the buffer's end.
        {bytes({0xEF, 0xBB, 0xBF, 0x61, 0x62, 0x00}), 0, u8, "ab"},
        {bytes({0x61, 0x62, 0x00, 0x63}), 0, u8, "ab"},
        {bytes({0x61, 0x62, 0x63}), 0, u8, "abc"},
        {bytes({0x00, 0x61}), 0, u8, ""},
        {bytes({}), 0, u8, ""},
        // The maximum bounds the bytes and counts the mark; with 3 the mark is not skipped but is still no text.
        {bytes({0x61, 0x62, 0x63, 0x64}), 3, u8, "abc"},
        {bytes({0x61, 0x62, 0x63, 0x64}), 4, u8, "abcd"},
        {bytes({0x61, 0x62, 0x63, 0x64}), 5, u8, "abcd"},
        {bytes({0xEF, 0xBB, 0xBF, 0x61, 0x62}), 4, u8, "a"},
        {bytes({0xEF, 0xBB, 0xBF, 0x61, 0x62}), 5, u8, "ab"},
        {bytes({0xEF, 0xBB, 0xBF, 0x61}), 3, u8, ""},
        // A mark or a character cut short is not text.
        {bytes({0xEF, 0xBB, 0xBF, 0x61}), 2, u8, none},
        {bytes({0xEF, 0xBB}), 0, u8, none},
        {bytes({0x61, 0xC3, 0xA9}), 2, u8, none},  // é cut by the maximum
        {bytes({0x61, 0xC3, 0xA9}), 3, u8, "a\xC3\xA9"},
        {bytes({0xFE}), 0, u16, none},  // half a UTF-16 mark
        {bytes({0x00, 0x00, 0xFE}), 0, u32, none},
        // Invalid bytes: bad sequence, overlong, surrogate, past U+10FFFF, non-ASCII, lone UTF-16/32 units.
        {bytes({0xC3, 0x28}), 0, u8, none},
        {bytes({0xC0, 0xAF}), 0, u8, none},
        {bytes({0xED, 0xA0, 0x80}), 0, u8, none},
        {bytes({0xF4, 0x90, 0x80, 0x80}), 0, u8, none},
        {bytes({0x41, 0x80}), 0, ascii, none},
        {bytes({0x41, 0x7F}), 0, ascii, "A\x7F"},
        {bytes({0xD8, 0x00, 0x00, 0x61}), 0, u16be, none},
        {bytes({0xDC, 0x00}), 0, u16be, none},
        {bytes({0x00, 0x11, 0x00, 0x00}), 0, u32be, none},
        // An unknown encoding or a maximum smaller than one unit gives nothing.
        {bytes({0x61}), 0, static_cast<QELMOR_StringEncoding>(99), none},
        {bytes({0x00, 0x61}), 1, u16, none},
        {bytes({0x00, 0x00, 0x00, 0x61}), 3, u32, none},
        {bytes({0x00, 0x00, 0x00, 0x61}), 4, u32, "a"},
        // Latin-1 maps every byte.
        {bytes({0x63, 0x61, 0x66, 0xE9}), 0, latin1, "caf\xC3\xA9"},
        {bytes({0xFF, 0x00, 0x41}), 0, latin1, "\xC3\xBF"},
        // UTF-16 stops at the first zero unit; a zero byte inside a unit is no terminator.
        {bytes({0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x00, 0x63}), 0, u16, "ab"},
        {bytes({0x00, 0x61, 0x01, 0x00}), 0, u16be, "a\xC4\x80"},
        // UTF-16 byte order comes from the mark (none: big-endian).
        {bytes({0xFF, 0xFE, 0x61, 0x00, 0x62, 0x00}), 0, u16, "ab"},
        {bytes({0xFE, 0xFF, 0x00, 0x61, 0x00, 0x62}), 0, u16, "ab"},
        {bytes({0x00, 0x61}), 0, u16, "a"},
        {bytes({0xFE, 0xFF, 0x00, 0x00}), 0, u16, ""},
        {bytes({0x61, 0x00, 0x62, 0x00}), 0, u16le, "ab"},
        {bytes({0xFF, 0xFE, 0x61, 0x00}), 0, u16le, "a"},
        {bytes({0xD8, 0x3D, 0xDE, 0x00}), 0, u16be, "\xF0\x9F\x98\x80"},
        // The UTF-16 maximum cuts whole units only.
        {bytes({0x00, 0x61, 0x00, 0x62}), 3, u16, "a"},
        {bytes({0x00, 0x61, 0x00, 0x62}), 4, u16, "ab"},
        {bytes({0x00, 0x61, 0x00}), 0, u16, none},  // buffer ends mid-unit
        {bytes({0xD8, 0x3D, 0xDE, 0x00}), 2, u16be, none},
        // UTF-32.
        {bytes({0xFF, 0xFE, 0x00, 0x00, 0x61, 0x00, 0x00, 0x00}), 0, u32, "a"},
        {bytes({0x00, 0x00, 0xFE, 0xFF, 0x00, 0x00, 0x00, 0x61}), 0, u32, "a"},
        {bytes({0x00, 0x01, 0xF6, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x62}), 0, u32be,
         "\xF0\x9F\x98\x80"},
        {bytes({0x61, 0x00, 0x00, 0x00}), 0, u32le, "a"},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(S::stringWithCString(cases[i].bytes, cases[i].maxLength, cases[i].encoding), cases[i].text)
            << "case " << i;
}

// --- Comparisons ----------------------------------------------------------------------------------------

TEST(StringCompare, LocalizedCompareLooksAtTheFileNameOnly) {
    EXPECT_EQ(S::myLocalizedCompare("/x/abc.txt", "/y/z/ABC.pdf"), QELMOR_OrderedSame);
    EXPECT_EQ(S::myLocalizedCompare("/z/apple.txt", "/a/Banana"), QELMOR_OrderedAscending);
    EXPECT_EQ(S::myLocalizedCompare("b", "A.b"), QELMOR_OrderedDescending);
    EXPECT_EQ(S::myLocalizedCompare("dir/name.tar.gz", "NAME.TAR.doc"), QELMOR_OrderedSame);
    EXPECT_EQ(S::myLocalizedCompare("a/name.tar", "b/name"), QELMOR_OrderedSame);
    EXPECT_EQ(S::myLocalizedCompare("a/name2.tar", "b/name"), QELMOR_OrderedDescending);
    EXPECT_EQ(S::myLocalizedCompare("dir/name/", "NAME"), QELMOR_OrderedSame);
}

TEST(StringCompare, NumericalCaseInsensitive) {
    EXPECT_EQ(S::numericalCaseInsensitiveCompare("file9", "file10"), QELMOR_OrderedAscending);
    EXPECT_EQ(S::numericalCaseInsensitiveCompare("FILE10", "file10"), QELMOR_OrderedSame);
    EXPECT_EQ(S::numericalCaseInsensitiveCompare("v2.10", "v2.9"), QELMOR_OrderedDescending);
    EXPECT_EQ(S::numericalCaseInsensitiveCompare("a2b", "a10a"), QELMOR_OrderedAscending);
    EXPECT_EQ(S::numericalCaseInsensitiveCompare("x", "x1"), QELMOR_OrderedAscending);
    EXPECT_EQ(S::numericalCaseInsensitiveCompare("abc", "ABD"), QELMOR_OrderedAscending);
    EXPECT_EQ(S::numericalCaseInsensitiveCompare("99999999999999999999", "100000000000000000000"),
              QELMOR_OrderedAscending);  // longer than any integer type
    EXPECT_EQ(S::numericalCaseInsensitiveCompare("7", "007"), QELMOR_OrderedAscending);
    EXPECT_EQ(S::numericalCaseInsensitiveCompare("", ""), QELMOR_OrderedSame);
}

// --- Editing --------------------------------------------------------------------------------------------

TEST(StringEditing, DeletingCharactersInSet) {
    EXPECT_EQ(S::stringByDeletingCharactersInSet("a-b_c--d", "-_"), "abcd");
    EXPECT_EQ(S::stringByDeletingCharactersInSet("caf\xC3\xA9 cafe", "\xC3\xA9"), "caf cafe");
    EXPECT_EQ(S::stringByDeletingCharactersInSet("abc", ""), "abc");
    EXPECT_EQ(S::stringByDeletingCharactersInSet("", "abc"), "");
}

TEST(StringEditing, ReplacingWithFewerValuesThanSearchStringsRemovesTheRest) {
    EXPECT_EQ(S::stringByReplacingSubStrings("one two three", {"one", "two", "three"}, {"1"}, 0, {0, 13}), "1  ");
}

TEST(StringEditing, LaterPairsActOnEarlierResults) {
    EXPECT_EQ(S::stringByReplacingSubStrings("aXa", {"a", "b"}, {"b", "c"}, 0, {0, 3}), "cXc");
}

TEST(StringEditing, ReplacingStaysInsideTheRange) {
    EXPECT_EQ(S::stringByReplacingSubStrings("aaXaa", {"a"}, {"-"}, 0, {1, 3}), "a-X-a");
    EXPECT_EQ(S::stringByReplacingSubStrings("aaXaa", {"a"}, {"-"}, 0, {0, 0}), "aaXaa");
    EXPECT_EQ(S::stringByReplacingSubStrings("aaXaa", {"a"}, {"-"}, 0, {3, 100}), "aaX--");  // cut at the end
    EXPECT_EQ(S::stringByReplacingSubStrings("aaXaa", {"a"}, {"-"}, 0, {9, 1}), "aaXaa");
}

TEST(StringEditing, ReplacingOptions) {
    EXPECT_EQ(S::stringByReplacingSubStrings("Abc abc ABC", {"abc"}, {"x"}, 0, {0, 11}), "Abc x ABC");
    EXPECT_EQ(S::stringByReplacingSubStrings("Abc abc ABC", {"abc"}, {"x"}, QELMOR_CaseInsensitiveSearch, {0, 11}),
              "x x x");
    EXPECT_EQ(S::stringByReplacingSubStrings("abc", {"", "b"}, {"zzz", "B"}, 0, {0, 3}), "aBc");  // empty skipped
    EXPECT_EQ(S::stringByReplacingSubStrings("aaa", {"a"}, {"aa"}, 0, {0, 3}), "aaaaaa");  // no re-scan
}

TEST(StringEditing, StandardizingPaths) {
    EXPECT_EQ(S::stringByStandardizingPath("/a/./b//c/../d/"), "/a/b/d");
    EXPECT_EQ(S::stringByStandardizingPath("/"), "/");
    EXPECT_EQ(S::stringByStandardizingPath(""), "");
    setenv("HOME", "/home/tester", 1);
    EXPECT_EQ(S::stringByStandardizingPath("~/logs/x.log"), "/home/tester/logs/x.log");
    EXPECT_EQ(S::stringByStandardizingPath("~other/x"), "~other/x");
}

// --- hexdump --------------------------------------------------------------------------------------------

TEST(DataHexdump, LineLayoutAndSinglePercent) {
    std::vector<uint8_t> data = bytes({0x41, 0x25, 0x00});
    EXPECT_EQ(S::hexdump(data, {0, 3}),
              "00000000  41 25 00                                          |A%.|\n");
    EXPECT_EQ(S::hexdump(data, {0, 0}), "");
}

TEST(DataHexdump, OffsetsCountFromTheStartOfTheData) {
    std::vector<uint8_t> data;
    for (int i = 0; i < 40; ++i) data.push_back(static_cast<uint8_t>(0x41 + i));
    EXPECT_EQ(S::hexdump(data, {4, 17}),
              "00000004  45 46 47 48 49 4a 4b 4c  4d 4e 4f 50 51 52 53 54  |EFGHIJKLMNOPQRST|\n"
              "00000014  55                                                |U|\n");
    EXPECT_EQ(S::hexdump(data, {38, 100}),  // cut at the end of the data
              "00000026  67 68                                             |gh|\n");
    EXPECT_EQ(S::hexdump(data, {40, 5}), "");
}

TEST(DataHexdump, RepeatedLinesAreFolded) {
    std::vector<uint8_t> data(48, 0x00);
    for (int i = 0; i < 16; ++i) data.push_back(0x01);
    const std::string zeros = "00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |................|\n";
    const std::string ones = "01 01 01 01 01 01 01 01  01 01 01 01 01 01 01 01  |................|\n";
    EXPECT_EQ(S::hexdump(data, {0, data.size()}),
              "00000000  " + zeros + "* last line repeated 2 times\n" + "00000030  " + ones);
    // A run at the very end is reported too.
    EXPECT_EQ(S::hexdump(data, {0, 32}), "00000000  " + zeros + "* last line repeated 1 times\n");
    // A short last line is never part of a run.
    EXPECT_EQ(S::hexdump(data, {0, 20}),
              "00000000  " + zeros + "00000010  00 00 00 00                                       |....|\n");
}

TEST(StringValidation, Utf8) {
    EXPECT_TRUE(S::isValidUTF8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(S::isValidUTF8("\xC3"));
    EXPECT_FALSE(S::isValidUTF8("\xE0\x80\x80"));
}

}  // namespace
