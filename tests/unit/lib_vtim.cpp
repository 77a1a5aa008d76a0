#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <string>

#include "vtim.h"

namespace
{

// 06 November 1994, 08:49:37 UTC.
constexpr double kRef = 784111777;

std::string print(const char *fmt, double t)
{
    char buf[VTIM_PRINT_SIZE];
    memset(buf, 'x', sizeof buf);
    VTIM_print(buf, fmt, t);
    return std::string(buf);
}

TEST(VtimScan, SameInstantInEveryForm)
{
    EXPECT_EQ(VTIM_scan("Sun, 06 Nov 1994 08:49:37 GMT"), kRef);
    EXPECT_EQ(VTIM_scan("Sunday, 06-Nov-94 08:49:37 GMT"), kRef);
    EXPECT_EQ(VTIM_scan("Sun Nov  6 08:49:37 1994"), kRef);
    EXPECT_EQ(VTIM_scan("1994-11-06 08:49:37"), kRef);
    // Trailing text after a date is not looked at.
    EXPECT_EQ(VTIM_scan("Sun, 06 Nov 1994 08:49:37 GMT;x;y"), kRef);
    EXPECT_EQ(VTIM_scan("1994-11-06 08:49:37.123"), kRef);
}

TEST(VtimScan, TextsThatAreNoDate)
{
    EXPECT_EQ(VTIM_scan(""), 0);
    EXPECT_EQ(VTIM_scan(nullptr), 0);
    EXPECT_EQ(VTIM_scan("yesterday"), 0);
    EXPECT_EQ(VTIM_scan("Sun, 06 Nov 1994"), 0);
    EXPECT_EQ(VTIM_scan("1994-13-06 08:49:37"), 0);
    EXPECT_EQ(VTIM_scan("Sun, 06 Nov 1994 08:49:37 UTC"), 0);
    std::string big(100000, '7');
    EXPECT_EQ(VTIM_scan(big.c_str()), 0);
}

TEST(VtimPrint, UtcDayBoundaryAndTruncation)
{
    // 2026-12-07 23:59:59 UTC and one second later.
    const double last = VTIM_scan("2026-12-07 23:59:59");
    ASSERT_NE(last, 0);
    EXPECT_EQ(print("%Y%m%d", last), "20261207");
    EXPECT_EQ(print("%Y%m%d", last + 0.999), "20261207");
    EXPECT_EQ(print("%Y%m%d", last + 1), "20261208");
    EXPECT_EQ(print("%a, %d %b %Y %T GMT", kRef + 0.9), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(print("%a, %d %b %Y %T GMT", 0), "Thu, 01 Jan 1970 00:00:00 GMT");
    // What print writes, scan reads back.
    EXPECT_EQ(VTIM_scan(print("%a, %d %b %Y %T GMT", 1796651033).c_str()), 1796651033);
}

TEST(VtimPrint, NeverLeavesAnUnterminatedBuffer)
{
    // Longer than the 30-byte capacity: an empty text, not garbage.
    EXPECT_EQ(print("%Y-%m-%d %H:%M:%S %Y-%m-%d %H:%M:%S", kRef), "");
    EXPECT_EQ(print("%Y%m%d", 1e300), "");
    EXPECT_EQ(print("%Y%m%d", -1e300), "");
    EXPECT_EQ(print("%Y%m%d", std::nan("")), "");
}

TEST(VtimFormat, MeshSampleTime)
{
    char buf[VTIM_FORMAT_SIZE];
    const double t = VTIM_scan("Mon, 07 Dec 2026 14:00:00 GMT");
    ASSERT_NE(t, 0);
    VTIM_format((time_t)t, buf);
    EXPECT_STREQ(buf, "Mon, 07 Dec 2026 14:00:00 GMT");
    VTIM_format((time_t)kRef, buf);
    EXPECT_STREQ(buf, "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(VtimClock, ClocksMoveForwardAndMatchTheWallClock)
{
    double m0 = VTIM_mono(), r = VTIM_real();
    double m1 = VTIM_mono();
    EXPECT_LE(m0, m1);
    EXPECT_NEAR(r, (double)time(nullptr), 2.0);
    // Sub-second resolution: two readings in a row differ by far less than a second.
    EXPECT_LT(m1 - m0, 0.5);
}

} // namespace
