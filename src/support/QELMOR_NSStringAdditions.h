// String and data utilities of the support library. Strings are UTF-8 std::string values; byte
// buffers are spans (a std::vector<uint8_t> converts implicitly). Everything here is stateless and
// safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Text encodings understood by stringWithCString. The numeric values are the platform's string
// encoding numbers, so a value read from elsewhere can be passed through unchanged; any other value
// is an encoding without a decoder here and gives no string.
enum QELMOR_StringEncoding : uint32_t {
    QELMOR_ASCIIStringEncoding = 1,
    QELMOR_UTF8StringEncoding = 4,
    QELMOR_ISOLatin1StringEncoding = 5,
    // UTF-16 whose byte order comes from a leading byte-order mark; big-endian without one.
    QELMOR_UTF16StringEncoding = 10,
    QELMOR_UTF16BigEndianStringEncoding = 0x90000100u,
    QELMOR_UTF16LittleEndianStringEncoding = 0x94000100u,
    // UTF-32 whose byte order comes from a leading byte-order mark; big-endian without one.
    QELMOR_UTF32StringEncoding = 0x8c000100u,
    QELMOR_UTF32BigEndianStringEncoding = 0x98000100u,
    QELMOR_UTF32LittleEndianStringEncoding = 0x9c000100u,
};

enum QELMOR_ComparisonResult : int {
    QELMOR_OrderedAscending = -1,
    QELMOR_OrderedSame = 0,
    QELMOR_OrderedDescending = 1,
};

// Search options of stringByReplacingSubStrings (bit values as on the platform).
enum QELMOR_StringCompareOptions : uint32_t {
    QELMOR_CaseInsensitiveSearch = 1,  // ASCII letters compare without regard to case
    QELMOR_LiteralSearch = 2,          // byte-exact; this is also what happens without the flag
};

// A range of bytes (of a string or a byte buffer).
struct QELMOR_Range {
    size_t location = 0;
    size_t length = 0;
};

namespace QELMOR_NSStringAdditions {

// Compares the last path components of both strings, each without its extension, ignoring the case
// of ASCII letters (no locale rules).
QELMOR_ComparisonResult myLocalizedCompare(std::string_view self, std::string_view other);

// Compares ignoring the case of ASCII letters, with runs of digits compared by numeric value
// ("file9" before "file10"). Numerically equal runs with different leading zeros ("07", "7") are
// ordered by the run length only when everything else is equal.
QELMOR_ComparisonResult numericalCaseInsensitiveCompare(std::string_view self, std::string_view other);

// Text from a zero-terminated run of bytes in the given encoding. Counting stops at the first zero code
// unit, at maxLength bytes (0 means no bound) or at the end of the buffer, whichever comes first; the
// buffer is never read past its end. A UTF-8 byte-order mark is skipped (it counts against maxLength),
// a UTF-16/UTF-32 byte-order mark selects the byte order. The result is none for an unknown encoding,
// a maxLength smaller than one code unit, bytes that are not valid in the encoding, or a buffer that
// ends inside a code unit.
std::optional<std::string> stringWithCString(std::span<const uint8_t> bytes, size_t maxLength,
                                             QELMOR_StringEncoding encoding);

// Text from UTF-16 code units in the given byte order, every unit counting (zero units included); a
// trailing odd byte is ignored. The result is none for an unpaired surrogate.
std::optional<std::string> decodeUTF16(std::span<const uint8_t> bytes, bool bigEndian);

// The string without any of the characters (UTF-8 sequences) that appear in characterSet.
std::string stringByDeletingCharactersInSet(std::string_view self, std::string_view characterSet);

// Within range of self, replaces every occurrence of searches[i] by values[i] (or by nothing when
// values has no entry i), pair after pair, each pair acting on the result of the previous ones. Text
// outside the range is kept unchanged. A range reaching past the end is cut at the end; empty search
// strings are skipped.
std::string stringByReplacingSubStrings(std::string_view self, const std::vector<std::string>& searches,
                                        const std::vector<std::string>& values, uint32_t options,
                                        QELMOR_Range range);

// Dump of the bytes inside range (cut at the end of data), one line per 16 bytes:
// "%.8lx  " offset (counted from the start of data), sixteen "%.2x " columns (three blanks past the
// end, one extra blank after the eighth), " |", the printable characters (".", for others) and "|".
// A run of full lines identical to the line before is folded into one
// "* last line repeated N times" line; the line after the run carries its own offset.
std::string hexdump(std::span<const uint8_t> data, QELMOR_Range range);

// The path with a leading "~" expanded from $HOME, "." and ".." components and doubled slashes
// resolved, and no trailing slash (except for "/" itself). An empty path stays empty.
std::string stringByStandardizingPath(std::string_view path);

// Whether text is valid UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(std::string_view text);

}  // namespace QELMOR_NSStringAdditions
