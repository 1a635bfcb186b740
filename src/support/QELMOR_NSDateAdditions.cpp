#include "support/QELMOR_NSDateAdditions.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace {

constexpr std::string_view kSupportedLetters = "GyYuMLdDEahHKkmsSwZ";

// Days since 1970-01-01 from a proleptic Gregorian date, and back (exact for all 64-bit ranges used).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
    int64_t year;
    unsigned month;
    unsigned day;
};

Civil civilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {y + (m <= 2), m, d};
}

// 0 = Sunday ... 6 = Saturday.
int weekdayFromDays(int64_t z) {
    int64_t w = (z + 4) % 7;  // 1970-01-01 was a Thursday
    return static_cast<int>(w < 0 ? w + 7 : w);
}

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};
const char* const kWeekdayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::string padded(int64_t value, size_t width) {
    bool negative = value < 0;
    uint64_t magnitude = negative ? static_cast<uint64_t>(-(value + 1)) + 1 : static_cast<uint64_t>(value);
    std::string digits = std::to_string(magnitude);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return negative ? "-" + digits : digits;
}

std::string yearField(int64_t year, size_t count) {
    if (count == 2) {
        int64_t two = year % 100;
        if (two < 0) two += 100;
        return padded(two, 2);
    }
    return padded(year, count);
}

std::string nameField(const char* full, size_t count) {
    std::string name(full);
    if (count <= 3) return name.substr(0, 3);
    if (count == 4) return name;
    if (count == 5) return name.substr(0, 1);
    return name.substr(0, 2);
}

}  // namespace

QELMOR_DateFormatter::QELMOR_DateFormatter(std::string_view pattern) : pattern_(pattern) {
    valid_ = true;
    std::string literal;
    auto flushLiteral = [&] {
        if (!literal.empty()) {
            tokens_.push_back({0, 0, literal});
            literal.clear();
        }
    };
    for (size_t i = 0; i < pattern.size();) {
        char c = pattern[i];
        if (c == '\'') {
            if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
                literal += '\'';
                i += 2;
                continue;
            }
            // Quoted text up to the closing quote; '' inside stands for one quote.
            size_t j = i + 1;
            bool closed = false;
            while (j < pattern.size()) {
                if (pattern[j] == '\'') {
                    if (j + 1 < pattern.size() && pattern[j + 1] == '\'') {
                        literal += '\'';
                        j += 2;
                        continue;
                    }
                    closed = true;
                    break;
                }
                literal += pattern[j++];
            }
            if (!closed) {
                valid_ = false;
                tokens_.clear();
                return;
            }
            i = j + 1;
            continue;
        }
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter) {
            literal += c;
            ++i;
            continue;
        }
        if (kSupportedLetters.find(c) == std::string_view::npos) {
            valid_ = false;
            tokens_.clear();
            return;
        }
        size_t j = i;
        while (j < pattern.size() && pattern[j] == c) ++j;
        flushLiteral();
        tokens_.push_back({c, j - i, {}});
        i = j;
    }
    flushLiteral();
}

void QELMOR_DateFormatter::setWeekRules(int firstWeekday, int minimalDays) {
    if (firstWeekday >= 1 && firstWeekday <= 7) firstWeekday_ = firstWeekday;
    if (minimalDays >= 1 && minimalDays <= 7) minimalDays_ = minimalDays;
}

long QELMOR_DateFormatter::localUTCOffset(Clock::time_point date) {
    time_t t = Clock::to_time_t(date);
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

std::optional<std::string> QELMOR_DateFormatter::stringFromDate(Clock::time_point date) const {
    return stringFromDate(date, localUTCOffset(date));
}

std::optional<std::string> QELMOR_DateFormatter::stringFromDate(Clock::time_point date, long utcOffsetSeconds) const {
    if (!valid_) return std::nullopt;

    using namespace std::chrono;
    const int64_t ns = duration_cast<nanoseconds>(date.time_since_epoch()).count();
    const int64_t utcSeconds = floorDiv(ns, 1000000000);
    const int64_t fraction = ns - utcSeconds * 1000000000;  // 0 .. 999,999,999
    const int64_t localSeconds = utcSeconds + utcOffsetSeconds;
    const int64_t days = floorDiv(localSeconds, 86400);
    const int64_t secondOfDay = localSeconds - days * 86400;
    const Civil civil = civilFromDays(days);
    const int hour = static_cast<int>(secondOfDay / 3600);
    const int minute = static_cast<int>((secondOfDay / 60) % 60);
    const int second = static_cast<int>(secondOfDay % 60);
    const int weekday = weekdayFromDays(days);
    const int64_t dayOfYear = days - daysFromCivil(civil.year, 1, 1) + 1;

    // Week-based year and week number under the formatter's week rules.
    const int firstDow = firstWeekday_ - 1;  // 0 = Sunday
    auto weekOneStart = [&](int64_t year) {
        int64_t jan1 = daysFromCivil(year, 1, 1);
        int offset = (weekdayFromDays(jan1) - firstDow + 7) % 7;  // days from week start to 1 January
        int64_t start = jan1 - offset;
        if (7 - offset < minimalDays_) start += 7;
        return start;
    };
    int64_t weekYear = civil.year;
    if (days < weekOneStart(civil.year)) {
        weekYear = civil.year - 1;
    } else if (days >= weekOneStart(civil.year + 1)) {
        weekYear = civil.year + 1;
    }
    const int64_t weekOfYear = (days - weekOneStart(weekYear)) / 7 + 1;

    std::string out;
    for (const Token& token : tokens_) {
        const size_t n = token.count;
        switch (token.letter) {
            case 0: out += token.text; break;
            case 'G': {
                bool ad = civil.year > 0;
                if (n <= 3) out += ad ? "AD" : "BC";
                else if (n == 4) out += ad ? "Anno Domini" : "Before Christ";
                else out += ad ? "A" : "B";
                break;
            }
            case 'y': out += yearField(civil.year > 0 ? civil.year : 1 - civil.year, n); break;
            case 'Y': out += yearField(weekYear, n); break;
            case 'u': out += padded(civil.year, n); break;
            case 'M':
            case 'L':
                if (n <= 2) out += padded(civil.month, n);
                else out += nameField(kMonthNames[civil.month - 1], n);
                break;
            case 'd': out += padded(civil.day, n); break;
            case 'D': out += padded(dayOfYear, n); break;
            case 'E': out += nameField(kWeekdayNames[weekday], n); break;
            case 'a': out += hour < 12 ? "AM" : "PM"; break;
            case 'h': out += padded(hour % 12 == 0 ? 12 : hour % 12, n); break;
            case 'H': out += padded(hour, n); break;
            case 'K': out += padded(hour % 12, n); break;
            case 'k': out += padded(hour == 0 ? 24 : hour, n); break;
            case 'm': out += padded(minute, n); break;
            case 's': out += padded(second, n); break;
            case 'S': {
                // The first n digits of the fraction, truncated; zeros past nanoseconds.
                std::string digits = padded(fraction, 9);
                if (n <= 9) out += digits.substr(0, n);
                else out += digits + std::string(n - 9, '0');
                break;
            }
            case 'w': out += padded(weekOfYear, n); break;
            case 'Z': {
                long total = utcOffsetSeconds / 60;
                char sign = total < 0 ? '-' : '+';
                long magnitude = total < 0 ? -total : total;
                char buf[32];
                long hh = magnitude / 60, mm = magnitude % 60;
                if (n <= 3) {
                    snprintf(buf, sizeof buf, "%c%02ld%02ld", sign, hh, mm);
                } else if (n == 4) {
                    if (magnitude == 0) snprintf(buf, sizeof buf, "GMT");
                    else snprintf(buf, sizeof buf, "GMT%c%02ld:%02ld", sign, hh, mm);
                } else {
                    if (magnitude == 0) snprintf(buf, sizeof buf, "Z");
                    else snprintf(buf, sizeof buf, "%c%02ld:%02ld", sign, hh, mm);
                }
                out += buf;
                break;
            }
            default: return std::nullopt;  // cannot happen: letters were checked when parsing
        }
    }
    return out;
}

namespace QELMOR_NSDateAdditions {

std::optional<std::string> stringWithUTSFormat(QELMOR_DateFormatter::Clock::time_point date,
                                               std::string_view pattern) {
    QELMOR_DateFormatter formatter(pattern);
    return formatter.stringFromDate(date);
}

}  // namespace QELMOR_NSDateAdditions
