#include <gtest/gtest.h>

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

std::optional<std::string> cstr(std::initializer_list<int> values, size_t maxLength, QELMOR_StringEncoding enc) {
    return S::stringWithCString(bytes(values), maxLength, enc);
}

// --- stringWithCString ---------------------------------------------------------------------------------

TEST(StringWithCString, Utf8SkipsTheByteOrderMarkAndStopsAtZero) {
    EXPECT_EQ(cstr({0xEF, 0xBB, 0xBF, 0x61, 0x62, 0x00}, 0, QELMOR_UTF8StringEncoding), "ab");
    EXPECT_EQ(cstr({0x61, 0x62, 0x00, 0x63}, 0, QELMOR_UTF8StringEncoding), "ab");
    EXPECT_EQ(cstr({0x61, 0x62, 0x63}, 0, QELMOR_UTF8StringEncoding), "abc");  // buffer end bounds it too
    EXPECT_EQ(cstr({0x00, 0x61}, 0, QELMOR_UTF8StringEncoding), "");
    EXPECT_EQ(cstr({}, 0, QELMOR_UTF8StringEncoding), "");
}

TEST(StringWithCString, MaxLengthBoundsBytesAndCountsTheMark) {
    EXPECT_EQ(cstr({0x61, 0x62, 0x63, 0x64}, 3, QELMOR_UTF8StringEncoding), "abc");
    EXPECT_EQ(cstr({0x61, 0x62, 0x63, 0x64}, 4, QELMOR_UTF8StringEncoding), "abcd");
    EXPECT_EQ(cstr({0x61, 0x62, 0x63, 0x64}, 5, QELMOR_UTF8StringEncoding), "abcd");
    EXPECT_EQ(cstr({0xEF, 0xBB, 0xBF, 0x61, 0x62}, 4, QELMOR_UTF8StringEncoding), "a");
    EXPECT_EQ(cstr({0xEF, 0xBB, 0xBF, 0x61, 0x62}, 5, QELMOR_UTF8StringEncoding), "ab");
    // With maxLength 3 the mark is not skipped up front but is still no part of the text.
    EXPECT_EQ(cstr({0xEF, 0xBB, 0xBF, 0x61}, 3, QELMOR_UTF8StringEncoding), "");
}

TEST(StringWithCString, MarkOrCharacterCutShortIsNotText) {
    EXPECT_EQ(cstr({0xEF, 0xBB, 0xBF, 0x61}, 2, QELMOR_UTF8StringEncoding), std::nullopt);
    EXPECT_EQ(cstr({0xEF, 0xBB}, 0, QELMOR_UTF8StringEncoding), std::nullopt);
    EXPECT_EQ(cstr({0x61, 0xC3, 0xA9}, 2, QELMOR_UTF8StringEncoding), std::nullopt);  // é cut by maxLength
    EXPECT_EQ(cstr({0x61, 0xC3, 0xA9}, 3, QELMOR_UTF8StringEncoding), "a\xC3\xA9");
    EXPECT_EQ(cstr({0xFE}, 0, QELMOR_UTF16StringEncoding), std::nullopt);  // half a UTF-16 mark
    EXPECT_EQ(cstr({0x00, 0x00, 0xFE}, 0, QELMOR_UTF32StringEncoding), std::nullopt);
}

TEST(StringWithCString, InvalidBytesGiveNothing) {
    EXPECT_EQ(cstr({0xC3, 0x28}, 0, QELMOR_UTF8StringEncoding), std::nullopt);
    EXPECT_EQ(cstr({0xC0, 0xAF}, 0, QELMOR_UTF8StringEncoding), std::nullopt);              // overlong
    EXPECT_EQ(cstr({0xED, 0xA0, 0x80}, 0, QELMOR_UTF8StringEncoding), std::nullopt);        // surrogate
    EXPECT_EQ(cstr({0xF4, 0x90, 0x80, 0x80}, 0, QELMOR_UTF8StringEncoding), std::nullopt);  // past U+10FFFF
    EXPECT_EQ(cstr({0x41, 0x80}, 0, QELMOR_ASCIIStringEncoding), std::nullopt);
    EXPECT_EQ(cstr({0x41, 0x7F}, 0, QELMOR_ASCIIStringEncoding), "A\x7F");
    EXPECT_EQ(cstr({0xD8, 0x00, 0x00, 0x61}, 0, QELMOR_UTF16BigEndianStringEncoding), std::nullopt);
    EXPECT_EQ(cstr({0xDC, 0x00}, 0, QELMOR_UTF16BigEndianStringEncoding), std::nullopt);
    EXPECT_EQ(cstr({0x00, 0x11, 0x00, 0x00}, 0, QELMOR_UTF32BigEndianStringEncoding), std::nullopt);
}

TEST(StringWithCString, UnknownEncodingOrTooSmallMaximumGivesNothing) {
    EXPECT_EQ(cstr({0x61}, 0, static_cast<QELMOR_StringEncoding>(99)), std::nullopt);
    EXPECT_EQ(cstr({0x00, 0x61}, 1, QELMOR_UTF16StringEncoding), std::nullopt);
    EXPECT_EQ(cstr({0x00, 0x00, 0x00, 0x61}, 3, QELMOR_UTF32StringEncoding), std::nullopt);
    EXPECT_EQ(cstr({0x00, 0x00, 0x00, 0x61}, 4, QELMOR_UTF32StringEncoding), "a");
}

TEST(StringWithCString, Latin1MapsEveryByte) {
    EXPECT_EQ(cstr({0x63, 0x61, 0x66, 0xE9}, 0, QELMOR_ISOLatin1StringEncoding), "caf\xC3\xA9");
    EXPECT_EQ(cstr({0xFF, 0x00, 0x41}, 0, QELMOR_ISOLatin1StringEncoding), "\xC3\xBF");
}

TEST(StringWithCString, Utf16StopsAtTheFirstZeroUnit) {
    EXPECT_EQ(cstr({0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x00, 0x63}, 0, QELMOR_UTF16StringEncoding), "ab");
    // A zero byte inside a unit is no terminator.
    EXPECT_EQ(cstr({0x00, 0x61, 0x01, 0x00}, 0, QELMOR_UTF16BigEndianStringEncoding), "a\xC4\x80");
}

TEST(StringWithCString, Utf16ByteOrderComesFromTheMark) {
    EXPECT_EQ(cstr({0xFF, 0xFE, 0x61, 0x00, 0x62, 0x00}, 0, QELMOR_UTF16StringEncoding), "ab");
    EXPECT_EQ(cstr({0xFE, 0xFF, 0x00, 0x61, 0x00, 0x62}, 0, QELMOR_UTF16StringEncoding), "ab");
    EXPECT_EQ(cstr({0x00, 0x61}, 0, QELMOR_UTF16StringEncoding), "a");  // no mark: big-endian
    EXPECT_EQ(cstr({0xFE, 0xFF, 0x00, 0x00}, 0, QELMOR_UTF16StringEncoding), "");
    EXPECT_EQ(cstr({0x61, 0x00, 0x62, 0x00}, 0, QELMOR_UTF16LittleEndianStringEncoding), "ab");
    EXPECT_EQ(cstr({0xFF, 0xFE, 0x61, 0x00}, 0, QELMOR_UTF16LittleEndianStringEncoding), "a");
    EXPECT_EQ(cstr({0xD8, 0x3D, 0xDE, 0x00}, 0, QELMOR_UTF16BigEndianStringEncoding), "\xF0\x9F\x98\x80");
}

TEST(StringWithCString, Utf16MaximumCutsWholeUnitsOnly) {
    EXPECT_EQ(cstr({0x00, 0x61, 0x00, 0x62}, 3, QELMOR_UTF16StringEncoding), "a");
    EXPECT_EQ(cstr({0x00, 0x61, 0x00, 0x62}, 4, QELMOR_UTF16StringEncoding), "ab");
    EXPECT_EQ(cstr({0x00, 0x61, 0x00}, 0, QELMOR_UTF16StringEncoding), std::nullopt);  // buffer ends mid-unit
    EXPECT_EQ(cstr({0xD8, 0x3D, 0xDE, 0x00}, 2, QELMOR_UTF16BigEndianStringEncoding), std::nullopt);
}

TEST(StringWithCString, Utf32) {
    EXPECT_EQ(cstr({0xFF, 0xFE, 0x00, 0x00, 0x61, 0x00, 0x00, 0x00}, 0, QELMOR_UTF32StringEncoding), "a");
    EXPECT_EQ(cstr({0x00, 0x00, 0xFE, 0xFF, 0x00, 0x00, 0x00, 0x61}, 0, QELMOR_UTF32StringEncoding), "a");
    EXPECT_EQ(cstr({0x00, 0x01, 0xF6, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x62}, 0,
                   QELMOR_UTF32BigEndianStringEncoding),
              "\xF0\x9F\x98\x80");
    EXPECT_EQ(cstr({0x61, 0x00, 0x00, 0x00}, 0, QELMOR_UTF32LittleEndianStringEncoding), "a");
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
