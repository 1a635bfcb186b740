#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#include "support/QELMOR_NSDateAdditions.h"

namespace {

using namespace std::chrono;

system_clock::time_point at(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0, int ms = 0) {
    return sys_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss} + milliseconds{ms};
}

std::optional<std::string> fmt(std::string_view pattern, system_clock::time_point t, long offset = 0) {
    return QELMOR_DateFormatter(pattern).stringFromDate(t, offset);
}

TEST(DateFormat, LogTimeStampPattern) {
    EXPECT_EQ(fmt("[YYYY/MM/dd HH:mm:ss.SSS Z]", at(2023, 6, 7, 8, 9, 10, 11), 3600),
              "[2023/06/07 09:09:10.011 +0100]");
    EXPECT_EQ(fmt("[YYYY/MM/dd HH:mm:ss.SSS Z]", at(2023, 6, 7, 8, 9, 10, 11), 0),
              "[2023/06/07 08:09:10.011 +0000]");
}

TEST(DateFormat, WeekBasedYearDiffersFromCalendarYearAroundNewYear) {
    // 2024-12-29 is a Sunday (last day of ISO week 52 of 2024); 2024-12-30 starts week 1 of 2025.
    EXPECT_EQ(fmt("YYYY yyyy w", at(2024, 12, 29)), "2024 2024 52");
    EXPECT_EQ(fmt("YYYY yyyy w", at(2024, 12, 30)), "2025 2024 1");
    // 2021-01-03 (Sunday) still belongs to week 53 of 2020; Monday 2021-01-04 starts 2021.
    EXPECT_EQ(fmt("YYYY yyyy w", at(2021, 1, 3)), "2020 2021 53");
    EXPECT_EQ(fmt("YYYY yyyy w", at(2021, 1, 4)), "2021 2021 1");
    // The zone decides the day: 23:30 UTC on 2024-12-29 is already Monday one hour east.
    EXPECT_EQ(fmt("YYYY-MM-dd HH:mm", at(2024, 12, 29, 23, 30), 3600), "2025-12-30 00:30");
}

TEST(DateFormat, WeekRulesCanBeChanged) {
    QELMOR_DateFormatter us("YYYY w");
    us.setWeekRules(1, 1);  // weeks start on Sunday, week 1 holds 1 January
    EXPECT_EQ(us.stringFromDate(at(2024, 12, 28), 0), "2024 52");
    EXPECT_EQ(us.stringFromDate(at(2024, 12, 29), 0), "2025 1");
    EXPECT_EQ(us.stringFromDate(at(2022, 1, 1), 0), "2022 1");
}

TEST(DateFormat, ZoneForms) {
    auto t = at(2020, 2, 29, 12, 0);
    EXPECT_EQ(fmt("Z", t, -(5 * 3600 + 30 * 60)), "-0530");
    EXPECT_EQ(fmt("Z", t, 13 * 3600 + 45 * 60), "+1345");
    EXPECT_EQ(fmt("ZZZZ", t, -5 * 3600), "GMT-05:00");
    EXPECT_EQ(fmt("ZZZZ", t, 0), "GMT");
    EXPECT_EQ(fmt("ZZZZZ", t, 0), "Z");
    EXPECT_EQ(fmt("ZZZZZ", t, 3600), "+01:00");
}

TEST(DateFormat, FractionsAreTruncatedNotRounded) {
    auto t = at(2020, 1, 1, 0, 0, 59) + microseconds{999900};
    EXPECT_EQ(fmt("ss.SSS", t), "59.999");
    EXPECT_EQ(fmt("ss.S", t), "59.9");
    EXPECT_EQ(fmt("ss.SSSSSS", t), "59.999900");
}

TEST(DateFormat, DatesBeforeTheEpoch) {
    auto t = at(1969, 12, 31, 23, 59, 59, 500);
    EXPECT_EQ(fmt("yyyy-MM-dd HH:mm:ss.SSS", t), "1969-12-31 23:59:59.500");
    EXPECT_EQ(fmt("yyyy-MM-dd HH:mm", at(1970, 1, 1, 0, 30), -3600), "1969-12-31 23:30");
}

TEST(DateFormat, NamesAndOtherFields) {
    auto t = at(2021, 3, 4, 15, 5, 6);  // a Thursday
    EXPECT_EQ(fmt("EEE EEEE EEEEE", t), "Thu Thursday T");
    EXPECT_EQ(fmt("M MM MMM MMMM MMMMM", t), "3 03 Mar March M");
    EXPECT_EQ(fmt("h hh a K k H", t), "3 03 PM 3 15 15");
    EXPECT_EQ(fmt("h a k K", at(2021, 3, 4, 0, 0)), "12 AM 24 0");
    EXPECT_EQ(fmt("D DDD d", t), "63 063 4");
    EXPECT_EQ(fmt("yy y G", t), "21 2021 AD");
}

TEST(DateFormat, QuotedAndLiteralText) {
    auto t = at(2021, 3, 4, 15, 5, 6);
    EXPECT_EQ(fmt("yyyy-MM-dd'T'HH:mm", t), "2021-03-04T15:05");
    EXPECT_EQ(fmt("'o''clock' HH", t), "o'clock 15");
    EXPECT_EQ(fmt("HH''mm", t), "15'05");
    EXPECT_EQ(fmt("[@] 'day' d", t), "[@] day 4");
    EXPECT_EQ(fmt("at d", t), std::nullopt);  // unquoted letters are fields, and t is none
    EXPECT_EQ(fmt("", t), "");
}

TEST(DateFormat, PatternsThatMakeNoSenseGiveNothing) {
    auto t = at(2021, 3, 4);
    EXPECT_EQ(fmt("yyyy-QQ", t), std::nullopt);
    EXPECT_EQ(fmt("'unterminated", t), std::nullopt);
    EXPECT_EQ(fmt("HH 'x", t), std::nullopt);
    EXPECT_FALSE(QELMOR_DateFormatter("bogus").isValid());
    EXPECT_TRUE(QELMOR_DateFormatter("yyyy").isValid());
    EXPECT_EQ(QELMOR_NSDateAdditions::stringWithUTSFormat(t, "qq"), std::nullopt);
}

TEST(DateFormat, StringWithUTSFormatUsesTheLocalZone) {
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "EST5", 1);  // five hours west, no summer time
    tzset();
    EXPECT_EQ(QELMOR_NSDateAdditions::stringWithUTSFormat(at(2021, 3, 4, 3, 0), "yyyy-MM-dd HH:mm Z"),
              "2021-03-03 22:00 -0500");
    if (old) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

}  // namespace
