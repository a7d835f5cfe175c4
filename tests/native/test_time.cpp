// Time conversion: call dates and durations in several time zones, day
// counts, ISO texts. The Lua wrappers: tests/lua/test_time.lua.
#include "support.h"

#include <climits>
#include <cstdlib>
#include <ctime>

namespace {

/* Tests set the zones they need; afterwards TZ is UTC again, as ctest sets it. */
class Time : public testing::Test {
protected:
    static void zone(const char *tz)
    {
        setenv("TZ", tz, 1);
        tzset();
    }
    void TearDown() override { zone("UTC"); }
};

/* The converted time of date (+duration), or -1 when the call fails. */
time_t call_time(const char *date, const char *duration = nullptr)
{
    time_t t = -12345;
    if (unixtimefromcall(date, duration, &t) != 0) {
        EXPECT_EQ(t, -12345) << "a failing call stored a result";
        return -1;
    }
    return t;
}

constexpr time_t march5_1407_utc = 1709647620;  // 2024-03-05 14:07:00 UTC

}  // namespace

TEST_F(Time, UnixTimeFromCallReadsDayMonthYearHourMinuteInLocalTime)
{
    zone("UTC");
    EXPECT_EQ(call_time("05.03.24 14:07"), march5_1407_utc);
    EXPECT_EQ(call_time("5.3.24 14:07"), march5_1407_utc);
    EXPECT_EQ(call_time(" 05. 03. 24   14: 07"), march5_1407_utc);  // %u skips blanks
    EXPECT_EQ(call_time("05.03.2414:07"), march5_1407_utc);  // the blank may be empty
    EXPECT_EQ(call_time("+5.+3.24 14:07"), march5_1407_utc);
    EXPECT_EQ(call_time("01.01.00 00:00"), 946684800);  // 2000
    EXPECT_EQ(call_time("31.12.99 23:59"), 4102444740);  // 2099
    zone("Europe/Berlin");
    EXPECT_EQ(call_time("05.03.24 14:07"), march5_1407_utc - 3600);  // CET
    EXPECT_EQ(call_time("05.07.24 14:07"), 1720188420 - 7200);      // CEST
    zone("America/New_York");
    EXPECT_EQ(call_time("05.03.24 14:07"), march5_1407_utc + 5 * 3600);  // EST
    EXPECT_EQ(call_time("05.07.24 14:07"), 1720188420 + 4 * 3600);      // EDT
}

TEST_F(Time, UnixTimeFromCallLetsMktimeNormaliseAndDecideDaylightSaving)
{
    zone("Europe/Berlin");
    // day 00 is the last day of the month before, month 00 December before
    EXPECT_EQ(call_time("00.03.24 12:00"), call_time("29.02.24 12:00"));
    EXPECT_EQ(call_time("01.00.24 12:00"), call_time("01.12.23 12:00"));
    EXPECT_EQ(call_time("31.04.24 12:00"), call_time("01.05.24 12:00"));
    // the hour that the spring change skips, and the days around it
    EXPECT_EQ(call_time("31.03.24 01:59"), 1711846740);  // 00:59 UTC, CET
    EXPECT_EQ(call_time("31.03.24 03:00"), 1711846800);  // 01:00 UTC, CEST
    EXPECT_EQ(call_time("31.03.24 12:00") - call_time("30.03.24 12:00"), 23 * 3600);
    EXPECT_EQ(call_time("27.10.24 12:00") - call_time("26.10.24 12:00"), 25 * 3600);
    time_t skipped = call_time("31.03.24 02:30");
    EXPECT_TRUE(skipped == 1711848600 || skipped == 1711845000) << skipped;
}

TEST_F(Time, UnixTimeFromCallRejectsMalformedTextsAndFieldsOutOfRange)
{
    zone("UTC");
    const char *bad[] = {
        "05.03.2024 14:07",   // the year field takes 20, then 24 is the hour
        "05.03.24 14:07 ",    // anything after the minutes
        "05.03.24 14:07:33", "05.03.24 14:07x", "05.03.24 14", "05.03.24", "", "abc",
        "05-03-24 14:07",     "05.03.24 14.07",
        "32.03.24 14:07",     "05.13.24 14:07", "05.03.24 24:00", "05.03.24 23:60",
        "-1.03.24 14:07",     // read as a huge unsigned number
        "123.03.24 14:07",
    };
    for (const char *date : bad)
        EXPECT_EQ(call_time(date), -1) << '"' << date << '"';
    EXPECT_EQ(call_time(nullptr), -1);
    // the highest values of each field pass
    EXPECT_NE(call_time("31.12.99 23:59"), -1);
}

TEST_F(Time, UnixTimeFromCallAddsDurationsInUnsigned32BitArithmetic)
{
    zone("UTC");
    EXPECT_EQ(call_time("05.03.24 14:07", "1:30"), march5_1407_utc + 5400);
    EXPECT_EQ(call_time("05.03.24 14:07", "0:90"), march5_1407_utc + 5400);
    EXPECT_EQ(call_time("05.03.24 14:07", ""), march5_1407_utc);
    EXPECT_EQ(call_time("05.03.24 14:07", nullptr), march5_1407_utc);
    EXPECT_EQ(call_time("05.03.24 14:07", "1000:0"), march5_1407_utc + 3600000);
    // 1193047 hours are 4294969200 seconds: 1904 once wrapped to 32 bits
    EXPECT_EQ(call_time("05.03.24 14:07", "1193047:0"), march5_1407_utc + 1904);
    for (const char *bad : {"90", "1:30x", "1:30 ", ":30", "1:", "a:b", "1;30"})
        EXPECT_EQ(call_time("05.03.24 14:07", bad), -1) << bad;
}

TEST_F(Time, UnixTimeFromCallANullResultOnlyValidates)
{
    EXPECT_EQ(unixtimefromcall("05.03.24 14:07", "1:00", nullptr), 0);
    EXPECT_EQ(unixtimefromcall("05.03.24 14:60", nullptr, nullptr), -1);
    EXPECT_EQ(unixtimefromcall("05.03.24 14:07", "x", nullptr), -1);
}

TEST_F(Time, UnixTimeFromDaysGivesLocalMidnightsBackInWholeDays)
{
    for (const char *tz : {"UTC", "Europe/Berlin", "America/New_York"}) {
        zone(tz);
        time_t t = 1;
        EXPECT_EQ(unixtimefromdays(0, &t), 0);
        EXPECT_EQ(t, 0);
        t = 1;
        EXPECT_EQ(unixtimefromdays(-7, &t), 0);
        EXPECT_EQ(t, 0);

        time_t before, after, days1, days30;
        do {
            before = std::time(nullptr);
            ASSERT_EQ(unixtimefromdays(1, &days1), 0);
            ASSERT_EQ(unixtimefromdays(30, &days30), 0);
            after = std::time(nullptr);
        } while (before != after);
        struct tm now {};
        localtime_r(&before, &now);
        time_t midnight = before - (now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec);
        EXPECT_EQ(days1, midnight - 86400) << tz;
        EXPECT_EQ(days30, midnight - 30 * 86400) << tz;
        // the 32-bit product: 24855 days fit, 24856 wrap to a negative span
        ASSERT_EQ(unixtimefromdays(24855, &t), 0);
        EXPECT_EQ(t, midnight - INT64_C(24855) * 86400) << tz;
        ASSERT_EQ(unixtimefromdays(24856, &t), 0);
        EXPECT_EQ(t, midnight - static_cast<time_t>(INT32_MIN + 74752)) << tz;
    }
}

TEST_F(Time, UnixTime2Iso8601FormatsUtcWhateverTheZone)
{
    zone("America/New_York");
    struct Case {
        time_t t;
        const char *text;
    } cases[] = {
        {0, "1970-01-01T00:00:00"},
        {-1, "1969-12-31T23:59:59"},
        {march5_1407_utc, "2024-03-05T14:07:00"},
        {INT64_C(2147483648), "2038-01-19T03:14:08"},  // past 32 bits: no wrap
        {INT64_C(253402300799), "9999-12-31T23:59:59"},
        {INT64_C(-30610224001), "0999-12-31T23:59:59"},  // always four digits
        {INT64_C(-62167219200), "0000-01-01T00:00:00"},
        // outside the years 0 to 9999: no text
        {INT64_C(-62167219201), nullptr}, {INT64_C(253402300800), nullptr}, {INT64_MAX, nullptr},
    };
    for (const auto &c : cases) {
        char *text = unixtime2iso8601(c.t);
        EXPECT_STREQ(text, c.text) << c.t;
        mem_free(text, KEM_TAG);
    }
}
