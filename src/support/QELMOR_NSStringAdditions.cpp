#include "support/QELMOR_NSStringAdditions.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

namespace QELMOR_NSStringAdditions {

namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

QELMOR_ComparisonResult toResult(int cmp) {
    if (cmp < 0) return QELMOR_OrderedAscending;
    if (cmp > 0) return QELMOR_OrderedDescending;
    return QELMOR_OrderedSame;
}

int caseInsensitiveCompare(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        auto ca = static_cast<unsigned char>(asciiLower(a[i]));
        auto cb = static_cast<unsigned char>(asciiLower(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

// Last path component: trailing slashes are ignored, "/" stays "/".
std::string_view lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path == "/") return path;
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A component without its extension; a leading dot ("." files) is not an extension.
std::string_view deletingPathExtension(std::string_view component) {
    size_t dot = component.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return component;
    return component.substr(0, dot);
}

// Length in bytes of the UTF-8 sequence starting at s[i], or 0 when it is not a valid sequence.
size_t utf8SequenceLength(std::string_view s, size_t i) {
    auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return 1;
    size_t len;
    uint32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07u;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return 0;  // overlong
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;                            // surrogate
    if (cp > 0x10FFFF) return 0;
    return len;
}

void appendUTF8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

size_t unitWidth(QELMOR_StringEncoding encoding) {
    switch (encoding) {
        case QELMOR_ASCIIStringEncoding:
        case QELMOR_UTF8StringEncoding:
        case QELMOR_ISOLatin1StringEncoding: return 1;
        case QELMOR_UTF16StringEncoding:
        case QELMOR_UTF16BigEndianStringEncoding:
        case QELMOR_UTF16LittleEndianStringEncoding: return 2;
        case QELMOR_UTF32StringEncoding:
        case QELMOR_UTF32BigEndianStringEncoding:
        case QELMOR_UTF32LittleEndianStringEncoding: return 4;
    }
    return 0;  // no decoder for this encoding
}

uint32_t readUnit(const uint8_t* p, size_t width, bool bigEndian) {
    uint32_t v = 0;
    for (size_t k = 0; k < width; ++k) {
        size_t idx = bigEndian ? k : width - 1 - k;
        v = (v << 8) | p[idx];
    }
    return v;
}

std::optional<std::string> decodeUTF32(std::span<const uint8_t> bytes, bool bigEndian) {
    std::string out;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        uint32_t u = readUnit(bytes.data() + i, 4, bigEndian);
        if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return std::nullopt;
        appendUTF8(out, u);
    }
    return out;
}

}  // namespace

std::optional<std::string> decodeUTF16(std::span<const uint8_t> bytes, bool bigEndian) {
    std::string out;
    size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = readUnit(bytes.data() + 2 * i, 2, bigEndian);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= units) return std::nullopt;  // high surrogate without its pair
            uint32_t lo = readUnit(bytes.data() + 2 * (i + 1), 2, bigEndian);
            if (lo < 0xDC00 || lo > 0xDFFF) return std::nullopt;
            appendUTF8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return std::nullopt;  // stray low surrogate
        } else {
            appendUTF8(out, u);
        }
    }
    return out;
}

bool isValidUTF8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t len = utf8SequenceLength(text, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

QELMOR_ComparisonResult myLocalizedCompare(std::string_view self, std::string_view other) {
    return toResult(caseInsensitiveCompare(deletingPathExtension(lastPathComponent(self)),
                                           deletingPathExtension(lastPathComponent(other))));
}

QELMOR_ComparisonResult numericalCaseInsensitiveCompare(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    int lengthTieBreak = 0;  // leading zeros decide only when all else is equal
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t si = i, sj = j;
            while (i < a.size() && isDigit(a[i])) ++i;
            while (j < b.size() && isDigit(b[j])) ++j;
            std::string_view ra = a.substr(si, i - si), rb = b.substr(sj, j - sj);
            size_t runA = ra.size(), runB = rb.size();
            while (ra.size() > 1 && ra.front() == '0') ra.remove_prefix(1);
            while (rb.size() > 1 && rb.front() == '0') rb.remove_prefix(1);
            if (ra.size() != rb.size()) return ra.size() < rb.size() ? QELMOR_OrderedAscending : QELMOR_OrderedDescending;
            int c = ra.compare(rb);
            if (c != 0) return toResult(c);
            if (lengthTieBreak == 0 && runA != runB) lengthTieBreak = runA < runB ? -1 : 1;
            continue;
        }
        auto ca = static_cast<unsigned char>(asciiLower(a[i]));
        auto cb = static_cast<unsigned char>(asciiLower(b[j]));
        if (ca != cb) return ca < cb ? QELMOR_OrderedAscending : QELMOR_OrderedDescending;
        ++i;
        ++j;
    }
    if (i < a.size()) return QELMOR_OrderedDescending;
    if (j < b.size()) return QELMOR_OrderedAscending;
    return toResult(lengthTieBreak);
}

std::optional<std::string> stringWithCString(std::span<const uint8_t> bytes, size_t maxLength,
                                             QELMOR_StringEncoding encoding) {
    const size_t width = unitWidth(encoding);
    if (width == 0) return std::nullopt;
    if (maxLength != 0 && width > maxLength) return std::nullopt;
    size_t limit = maxLength == 0 ? bytes.size() : std::min(maxLength, bytes.size());

    size_t start = 0;
    size_t count = 0;
    if (width == 1) {
        if (encoding == QELMOR_UTF8StringEncoding && (maxLength == 0 || maxLength > 3) && limit >= 3 &&
            bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
            start = 3;  // the mark counts against maxLength
        }
        while (start + count < limit && bytes[start + count] != 0) ++count;
    } else {
        bool stoppedAtZero = false;
        while (count + width <= limit) {
            if (readUnit(bytes.data() + count, width, true) == 0) {
                stoppedAtZero = true;
                break;
            }
            count += width;
        }
        // The buffer (not maxLength) ended inside a code unit: the text was cut off, so it is not
        // valid in the encoding. maxLength itself may cut a unit off; that part is left out.
        bool boundedByMax = maxLength != 0 && maxLength <= bytes.size();
        if (!stoppedAtZero && !boundedByMax && count < bytes.size()) return std::nullopt;
    }
    if (count == 0) return std::string();

    std::span<const uint8_t> text = bytes.subspan(start, count);
    switch (encoding) {
        case QELMOR_ASCIIStringEncoding: {
            std::string out;
            for (uint8_t b : text) {
                if (b > 0x7F) return std::nullopt;
                out += static_cast<char>(b);
            }
            return out;
        }
        case QELMOR_ISOLatin1StringEncoding: {
            std::string out;
            for (uint8_t b : text) appendUTF8(out, b);
            return out;
        }
        case QELMOR_UTF8StringEncoding: {
            std::string out(reinterpret_cast<const char*>(text.data()), text.size());
            if (!isValidUTF8(out)) return std::nullopt;
            // A mark that maxLength kept from being skipped above is still not part of the text.
            if (out.size() >= 3 && out.compare(0, 3, "\xEF\xBB\xBF") == 0) out.erase(0, 3);
            return out;
        }
        case QELMOR_UTF16StringEncoding:
        case QELMOR_UTF32StringEncoding: {
            // The first unit read in this host's order is 0xFEFF (same order) or the swapped form;
            // comparing the raw bytes says the same without knowing the host order.
            bool bigEndian = true;
            if (width == 2 && text[0] == 0xFF && text[1] == 0xFE) {
                bigEndian = false;
                text = text.subspan(2);
            } else if (width == 2 && text[0] == 0xFE && text[1] == 0xFF) {
                text = text.subspan(2);
            } else if (width == 4 && text[0] == 0xFF && text[1] == 0xFE && text[2] == 0 && text[3] == 0) {
                bigEndian = false;
                text = text.subspan(4);
            } else if (width == 4 && text[0] == 0 && text[1] == 0 && text[2] == 0xFE && text[3] == 0xFF) {
                text = text.subspan(4);
            }
            return width == 2 ? decodeUTF16(text, bigEndian) : decodeUTF32(text, bigEndian);
        }
        case QELMOR_UTF16BigEndianStringEncoding:
        case QELMOR_UTF16LittleEndianStringEncoding: {
            bool bigEndian = encoding == QELMOR_UTF16BigEndianStringEncoding;
            if (readUnit(text.data(), 2, bigEndian) == 0xFEFF) text = text.subspan(2);
            return decodeUTF16(text, bigEndian);
        }
        case QELMOR_UTF32BigEndianStringEncoding:
        case QELMOR_UTF32LittleEndianStringEncoding: {
            bool bigEndian = encoding == QELMOR_UTF32BigEndianStringEncoding;
            if (readUnit(text.data(), 4, bigEndian) == 0xFEFF) text = text.subspan(4);
            return decodeUTF32(text, bigEndian);
        }
    }
    return std::nullopt;
}

std::string stringByDeletingCharactersInSet(std::string_view self, std::string_view characterSet) {
    // Characters are whole UTF-8 sequences; a byte that starts no valid sequence stands for itself.
    auto split = [](std::string_view s) {
        std::vector<std::string_view> chars;
        for (size_t i = 0; i < s.size();) {
            size_t len = utf8SequenceLength(s, i);
            if (len == 0) len = 1;
            chars.push_back(s.substr(i, len));
            i += len;
        }
        return chars;
    };
    std::vector<std::string_view> setChars = split(characterSet);
    std::set<std::string_view> set(setChars.begin(), setChars.end());
    std::string out;
    out.reserve(self.size());
    for (std::string_view c : split(self)) {
        if (!set.count(c)) out.append(c);
    }
    return out;
}

namespace {

size_t findFrom(const std::string& haystack, const std::string& needle, size_t from, bool caseInsensitive) {
    if (!caseInsensitive) return haystack.find(needle, from);
    if (needle.size() > haystack.size()) return std::string::npos;
    for (size_t i = from; i + needle.size() <= haystack.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && asciiLower(haystack[i + k]) == asciiLower(needle[k])) ++k;
        if (k == needle.size()) return i;
    }
    return std::string::npos;
}

}  // namespace

std::string stringByReplacingSubStrings(std::string_view self, const std::vector<std::string>& searches,
                                        const std::vector<std::string>& values, uint32_t options,
                                        QELMOR_Range range) {
    size_t location = std::min(range.location, self.size());
    size_t length = std::min(range.length, self.size() - location);
    std::string work(self.substr(location, length));
    const bool caseInsensitive = (options & QELMOR_CaseInsensitiveSearch) != 0;
    for (size_t i = 0; i < searches.size(); ++i) {
        const std::string& search = searches[i];
        if (search.empty()) continue;
        const std::string replacement = i < values.size() ? values[i] : std::string();
        std::string next;
        size_t pos = 0;
        for (;;) {
            size_t hit = findFrom(work, search, pos, caseInsensitive);
            if (hit == std::string::npos) break;
            next.append(work, pos, hit - pos);
            next.append(replacement);
            pos = hit + search.size();
        }
        next.append(work, pos, std::string::npos);
        work = std::move(next);
    }
    std::string out(self.substr(0, location));
    out += work;
    out.append(self.substr(location + length));
    return out;
}

std::string hexdump(std::span<const uint8_t> data, QELMOR_Range range) {
    size_t location = std::min(range.location, data.size());
    size_t length = std::min(range.length, data.size() - location);
    std::span<const uint8_t> bytes = data.subspan(location, length);

    std::string out;
    std::span<const uint8_t> previous;
    bool havePrevious = false;
    unsigned long repeats = 0;
    char cell[32];
    auto flushRepeats = [&] {
        if (repeats > 0) {
            snprintf(cell, sizeof cell, "%lu", repeats);
            out += "* last line repeated ";
            out += cell;
            out += " times\n";
            repeats = 0;
        }
    };
    for (size_t offset = 0; offset < bytes.size(); offset += 16) {
        std::span<const uint8_t> line = bytes.subspan(offset, std::min<size_t>(16, bytes.size() - offset));
        if (havePrevious && line.size() == 16 && previous.size() == 16 &&
            std::equal(line.begin(), line.end(), previous.begin())) {
            ++repeats;
            continue;
        }
        flushRepeats();
        snprintf(cell, sizeof cell, "%.8lx  ", static_cast<unsigned long>(location + offset));
        out += cell;
        for (size_t col = 0; col < 16; ++col) {
            if (col < line.size()) {
                snprintf(cell, sizeof cell, "%.2x ", line[col]);
                out += cell;
            } else {
                out += "   ";
            }
            if (col == 7) out += ' ';
        }
        out += " |";
        for (uint8_t b : line) out += (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
        out += "|\n";
        previous = line;
        havePrevious = true;
    }
    flushRepeats();
    return out;
}

std::string stringByStandardizingPath(std::string_view path) {
    if (path.empty()) return std::string();
    std::string expanded(path);
    if (expanded[0] == '~' && (expanded.size() == 1 || expanded[1] == '/')) {
        const char* home = getenv("HOME");
        if (home && *home) expanded = std::string(home) + expanded.substr(1);
    }
    std::string normal = std::filesystem::path(expanded).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal.empty() ? std::string(".") : normal;
}

}  // namespace QELMOR_NSStringAdditions
