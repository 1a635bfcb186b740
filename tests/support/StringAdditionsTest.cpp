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
        {bytes({0xE0, 0x80, 0xAF}), 0, u8, none},
        {bytes({0xF0, 0x80, 0x80, 0xAF}), 0, u8, none},
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
        EXPECT_EQ(S::stringWithCString(cases[i].bytes, cases[i].maxLength, cases[i].encoding), cases[i].text) << i;
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
TEST(StringEditing, ReplacingWithFewerValuesThanSearchStringsRemovesTheRest) {
    EXPECT_EQ(S::stringByReplacingSubStrings("one two three", {"one", "two", "three"}, {"1"}, 0, {0, 13}), "1  ");
}


}  // namespace
