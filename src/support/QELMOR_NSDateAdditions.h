// Date formatting with Unicode date patterns (the "yyyy/MM/dd HH:mm:ss.SSS Z" family), for log time
// stamps and for stringWithUTSFormat.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A formatter for one pattern. Supported fields: G y Y u M L d D E a h H K k m s S w Z, with the
// usual count rules (e.g. yy is a two-digit year, MMM a short month name, SSS milliseconds, Z the zone
// as "+hhmm"). Text between single quotes is literal, '' is one quote, and every character that is
// not an ASCII letter stands for itself. Names are English. Y is the week-based year and w the week of
// that year, by ISO 8601 week rules (weeks start on Monday, week 1 holds at least 4 days of January)
// unless setWeekRules says otherwise. A pattern with an unknown field letter or an unclosed quote is
// invalid and formats nothing.
class QELMOR_DateFormatter {
public:
    using Clock = std::chrono::system_clock;

    explicit QELMOR_DateFormatter(std::string_view pattern);

    bool isValid() const { return valid_; }
    const std::string& pattern() const { return pattern_; }

    // firstWeekday: 1 = Sunday ... 7 = Saturday; minimalDays: 1 to 7. Out-of-range values are ignored.
    void setWeekRules(int firstWeekday, int minimalDays);

    // Formats in this machine's local time zone; none when the pattern is invalid.
    std::optional<std::string> stringFromDate(Clock::time_point date) const;
    // Formats with a fixed offset from UTC, in seconds east of Greenwich.
    std::optional<std::string> stringFromDate(Clock::time_point date, long utcOffsetSeconds) const;

    // Offset of the local time zone from UTC at the given moment, in seconds east.
    static long localUTCOffset(Clock::time_point date);

private:
    struct Token {
        char letter;        // 0 for literal text
        size_t count;       // repeat count of the letter
        std::string text;   // literal text
    };
    std::string pattern_;
    std::vector<Token> tokens_;
    bool valid_ = false;
    int firstWeekday_ = 2;  // Monday
    int minimalDays_ = 4;
};

namespace QELMOR_NSDateAdditions {

// The date formatted in the local time zone with a fresh formatter for the given Unicode date
// pattern; none when the pattern makes no sense (unknown field letter, unclosed quote).
std::optional<std::string> stringWithUTSFormat(QELMOR_DateFormatter::Clock::time_point date,
                                               std::string_view pattern);

}  // namespace QELMOR_NSDateAdditions
