// E-mail address check of QELMOR_Log. A hand-written matcher rather than a regular expression: it runs
// in linear time and cannot exhaust the stack on long input.
#include <cstdint>
#include <string>
#include <string_view>

#include "support/QELMOR_Log.h"
#include "support/QELMOR_SystemLog.h"

namespace {

bool isLowerAlnum(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool isAtext(unsigned char c) {
    if (isLowerAlnum(c)) return true;
    switch (c) {
        case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '/':
        case '=': case '?': case '^': case '_': case '`': case '{': case '|': case '}': case '~': case '-':
            return true;
        default:
            return false;
    }
}

// Characters allowed in a quoted local part without a backslash.
bool isQtext(unsigned char c) {
    return (c >= 0x01 && c <= 0x08) || c == 0x0B || c == 0x0C || (c >= 0x0E && c <= 0x1F) || c == 0x21 ||
           (c >= 0x23 && c <= 0x5B) || (c >= 0x5D && c <= 0x7F);
}

// Characters allowed after a backslash.
bool isQuotedPair(unsigned char c) { return (c >= 0x01 && c <= 0x09) || c == 0x0B || c == 0x0C || (c >= 0x0E && c <= 0x7F); }

// Characters of an address literal after the tag's colon.
bool isLiteralText(unsigned char c) {
    return (c >= 0x01 && c <= 0x08) || c == 0x0B || c == 0x0C || (c >= 0x0E && c <= 0x1F) || (c >= 0x21 && c <= 0x7F);
}

bool isDotAtom(std::string_view s) {
    if (s.empty()) return false;
    bool runHasChar = false;
    for (unsigned char c : s) {
        if (c == '.') {
            if (!runHasChar) return false;
            runHasChar = false;
        } else if (isAtext(c)) {
            runHasChar = true;
        } else {
            return false;
        }
    }
    return runHasChar;
}

// Letters and digits with hyphens only inside.
bool isLabel(std::string_view s) {
    if (s.empty() || s.front() == '-' || s.back() == '-') return false;
    for (unsigned char c : s) {
        if (!isLowerAlnum(c) && c != '-') return false;
    }
    return true;
}

bool isHostName(std::string_view s) {
    size_t labels = 0;
    for (;;) {
        size_t dot = s.find('.');
        if (!isLabel(s.substr(0, dot))) return false;
        ++labels;
        if (dot == std::string_view::npos) break;
        s.remove_prefix(dot + 1);
    }
    return labels >= 2;
}

// One to three decimal digits with a value of at most 255.
bool isOctet(std::string_view s) {
    if (s.empty() || s.size() > 3) return false;
    int value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= 255;
}

// Text of an address literal, without the brackets.
bool isAddressLiteral(std::string_view s) {
    for (int i = 0; i < 3; ++i) {
        size_t dot = s.find('.');
        if (dot == std::string_view::npos || !isOctet(s.substr(0, dot))) return false;
        s.remove_prefix(dot + 1);
    }
    if (isOctet(s)) return true;
    size_t colon = s.find(':');
    if (colon == std::string_view::npos || !isLabel(s.substr(0, colon))) return false;
    std::string_view literal = s.substr(colon + 1);
    if (literal.empty()) return false;
    for (size_t i = 0; i < literal.size(); ++i) {
        auto c = static_cast<unsigned char>(literal[i]);
        if (c == '\\' && i + 1 < literal.size() && isQuotedPair(static_cast<unsigned char>(literal[i + 1]))) {
            ++i;
        } else if (!isLiteralText(c)) {
            return false;
        }
    }
    return true;
}

bool isDomain(std::string_view s) {
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']') return isAddressLiteral(s.substr(1, s.size() - 2));
    return isHostName(s);
}

// Length of a quoted string at the start of s (including both quotes), or 0 when there is none.
size_t quotedLength(std::string_view s) {
    if (s.empty() || s[0] != '"') return 0;
    for (size_t i = 1; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '"') return i + 1;
        if (c == '\\') {
            if (i + 1 >= s.size() || !isQuotedPair(static_cast<unsigned char>(s[i + 1]))) return 0;
            ++i;
        } else if (!isQtext(c)) {
            return 0;
        }
    }
    return 0;
}

size_t utf16Length(std::string_view s) {
    size_t units = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80) ++units;          // a character starts here
        if ((c & 0xF8) == 0xF0) ++units;          // four-byte sequences need a surrogate pair
    }
    return units;
}

}  // namespace

bool QELMOR_Log::validateEmailAddress(const std::string& address) {
    QELMOR_SystemLogFormat("Passed emailAddress=[%s] with length=[%lu]...", address.c_str(),
                           static_cast<unsigned long>(utf16Length(address)));
    std::string lower = address;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::string_view s = lower;
    size_t localLength = quotedLength(s);
    if (localLength == 0) {
        size_t at = s.find('@');
        if (at == std::string_view::npos || !isDotAtom(s.substr(0, at))) return false;
        localLength = at;
    }
    if (localLength >= s.size() || s[localLength] != '@') return false;
    return isDomain(s.substr(localLength + 1));
}
