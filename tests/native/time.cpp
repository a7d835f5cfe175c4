// Time conversion on a fixed clock (time() is ours here): day counts on and
// after the days the clocks change, both ways, in two zones; call dates; ISO texts.
#include "support.h"

#include <ctime>

namespace {

time_t clock_now = 0;

void zone(const char *tz)
{
    setenv("TZ", tz, 1);
    tzset();
}

constexpr time_t march5_1407_utc = 1709647620;  // 2024-03-05 14:07:00 UTC

}  // namespace

/* The clock of this program: with glibc's declaration in scope this is also
   __time64, which a 32-bit build with 64-bit time calls. */
extern "C" __attribute__((visibility("default"))) time_t time(time_t *out) noexcept
{
    if (out)
        *out = clock_now;
    return clock_now;
}

TEST(Time, DaysBackFromTheWallClockTimeOfDayInWholeDays)
{
    const struct {
        const char *tz;
        time_t now, want;
        int32_t n;
    } rows[] = {
        {"UTC", march5_1407_utc, 1709510400, 1}, {"UTC", march5_1407_utc, 0, 0},
        {"UTC", march5_1407_utc, march5_1407_utc - 50820 - (INT32_MIN + 74752), 24856},  // the product wraps
        // 15:30:10 on the days the clocks change, and after: the size of the change away from true midnight
        {"Europe/Berlin", 1711891810, 1711749600, 1},     // 2024-03-31 CEST: 22:00 UTC, not 23:00
        {"Europe/Berlin", 1730039410, 1729897200, 1},     // 2024-10-27 CET: 23:00 UTC, not 22:00
        {"America/New_York", 1710099010, 1709956800, 1},  // 2024-03-10 EDT
        {"America/New_York", 1730665810, 1730523600, 1},  // 2024-11-03 EST
        {"America/New_York", 1730782799, 1730523600, 2},  // 2024-11-04 23:59:59 EST
    };
    for (const auto &row : rows) {
        zone(row.tz);
        clock_now = row.now;
        time_t t = 1;
        EXPECT_EQ(unixtimefromdays(row.n, &t), 0);
        EXPECT_EQ(t, row.want) << row.tz << " " << row.now << " " << row.n;
    }
}

TEST(Time, CallDatesInLocalTime)
{
    const struct {
        const char *tz, *date, *duration;
        time_t want;
    } rows[] = {
        {"UTC", "05.03.24 14:07", nullptr, march5_1407_utc}, {"UTC", " 5. 3. 24   14: 7", "", march5_1407_utc},
        {"UTC", "+5.+3.2414:07", nullptr, march5_1407_utc},  // signs, an empty blank
        {"UTC", "01.01.00 00:00", nullptr, 946684800}, {"UTC", "31.12.99 23:59", nullptr, 4102444740},
        {"America/New_York", "05.07.24 14:07", nullptr, 1720188420 + 4 * 3600},
        {"Europe/Berlin", "31.03.24 01:59", nullptr, 1711846740},  // the hour before the spring change
        {"Europe/Berlin", "31.03.24 03:00", nullptr, 1711846800},
        {"Europe/Berlin", "00.03.24 12:00", nullptr, 1709204400},  // day 0: 29 February
        {"UTC", "05.03.24 14:07", "1:30", march5_1407_utc + 5400},
        {"UTC", "05.03.24 14:07", "1193047:0", march5_1407_utc + 1904},  // 4294969200 s wrap to 32 bits
        // refused (-1), nothing stored
        {"UTC", nullptr, nullptr, -1}, {"UTC", "05.03.24 14:07", "90", -1}, {"UTC", "05.03.24 14:07", "1:30x", -1},
        {"UTC", "05.03.2024 14:07", nullptr, -1}, {"UTC", "05.03.24 14:07 ", nullptr, -1},
        {"UTC", "05.03.24 14", nullptr, -1}, {"UTC", "32.03.24 14:07", nullptr, -1},
        {"UTC", "05.13.24 14:07", nullptr, -1}, {"UTC", "05.03.24 24:00", nullptr, -1},
        {"UTC", "05.03.24 23:60", nullptr, -1}, {"UTC", "-1.03.24 14:07", nullptr, -1},
    };
    for (const auto &row : rows) {
        zone(row.tz);
        time_t t = -1;
        EXPECT_EQ(unixtimefromcall(row.date, row.duration, &t), row.want == -1 ? -1 : 0) << row.date;
        EXPECT_EQ(t, row.want) << row.tz << " \"" << row.date << '"';
    }
    EXPECT_EQ(unixtimefromcall("05.03.24 14:07", "1:00", nullptr), 0);  // only validates
}

TEST(Time, IsoTextsInUtcWhateverTheZone)
{
    zone("America/New_York");
    const std::pair<time_t, const char *> rows[] = {
        {0, "1970-01-01T00:00:00"}, {-1, "1969-12-31T23:59:59"},
        {INT64_C(2147483648), "2038-01-19T03:14:08"}, {INT64_C(253402300799), "9999-12-31T23:59:59"},
        {INT64_C(-30610224001), "0999-12-31T23:59:59"},  // always four digits
        {INT64_C(-62167219200), "0000-01-01T00:00:00"},
        {INT64_C(-62167219201), nullptr}, {INT64_C(253402300800), nullptr}, {INT64_MAX, nullptr},  // no year 0 to 9999
    };
    for (const auto &[t, want] : rows) {
        char *text = unixtime2iso8601(t);
        EXPECT_STREQ(text, want) << t;
        mem_free(text, KEM_TAG);
    }
}
