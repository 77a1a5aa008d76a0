#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "velumond_geo.h"
#include "velumond_split.h"
#include "test_util.h"
#include "vlog.h"

using namespace test_util;

namespace
{

class GeoTest : public ::testing::Test
{
  protected:
    scratch_dir scratch;
    std::string dir, country, csv;

    void SetUp() override
    {
        ASSERT_TRUE(scratch.create("/tmp/velumond_geo.XXXXXX"));
        dir = scratch.path();
        country = dir + "/country";
        csv = dir + "/GeoIPCountryWhois.csv";
        logged.clear();
        VLOG_SetSink(capture);
        GEO_Reset();
    }
    void TearDown() override
    {
        VLOG_SetSink(nullptr);
        GEO_Reset();
        EXPECT_TRUE(scratch.remove());
    }
    int load(const std::string &cc, const std::string &lines)
    {
        put(country, cc);
        put(csv, lines);
        return geo_load_from(country.c_str(), csv.c_str());
    }
    // Each address against whether it lies in the node's country.
    static void expect_local(std::initializer_list<std::pair<const char *, int>> table)
    {
        for (auto [addr, want] : table)
            EXPECT_EQ(GEO_islocal(addr), want) << addr;
    }
};

const char *korea = "\"1.11.0.0\",\"1.11.255.255\",\"17498112\",\"17563647\",\"KR\","
                    "\"Korea, Republic of\"\n";

TEST(UmonSplit, QuotesCommasAndEmptyPieces)
{
    char line[256];
    char *p[UMON_MAXPIECES];
    std::snprintf(line, sizeof line, "%s", korea);
    ASSERT_EQ(umon_split(line, ",\"", p, UMON_MAXPIECES), 8);
    EXPECT_STREQ(p[0], "1.11.0.0");
    EXPECT_STREQ(p[4], "KR");
    EXPECT_STREQ(p[5], "Korea");
    EXPECT_STREQ(p[6], " Republic of");
    EXPECT_STREQ(p[7], "\n");

    std::snprintf(line, sizeof line, ";;a;;b;");
    ASSERT_EQ(umon_split(line, ";", p, UMON_MAXPIECES), 2);
    EXPECT_STREQ(p[0], "a");
    EXPECT_STREQ(p[1], "b");

    std::string many;
    for (int i = 0; i < 40; i++)
        many += std::to_string(i) + ",";
    std::vector<char> buf(many.begin(), many.end());
    buf.push_back('\0');
    ASSERT_EQ(umon_split(buf.data(), ",", p, UMON_MAXPIECES), UMON_MAXPIECES);
    EXPECT_STREQ(p[31], "31");

    line[0] = '\0';
    EXPECT_EQ(umon_split(line, ";", p, UMON_MAXPIECES), 0);
}

TEST_F(GeoTest, KoreaRangeWithCommaInCountryName)
{
    ASSERT_EQ(load("KR", korea), 0);
    expect_local({{"1.11.0.0", 1},
                  {"1.11.128.7", 1},
                  {"1.11.255.255", 1},
                  {"1.10.255.255", 0},
                  {"1.12.0.0", 0}});
    EXPECT_TRUE(has_line(LOG_INFO, "1 GeoCountry loaded."));
}

TEST_F(GeoTest, CountryFileWithNewlineAndOtherCountries)
{
    std::string lines = std::string(korea) +
                        "\"2.0.0.0\",\"2.0.0.255\",\"33554432\",\"33554687\",\"JP\",\"Japan\"\n"
                        "\"bad\",\"addr\",\"1\",\"2\",\"JP\",\"Japan\"\n";
    ASSERT_EQ(load("KR\n", lines), 0);
    EXPECT_EQ(GEO_islocal("1.11.3.4"), 1);
    EXPECT_EQ(GEO_islocal("2.0.0.1"), 0); // another country is never loaded
    EXPECT_EQ(GEO_count(), 1u);
    // a broken line of another country is skipped without a word
    EXPECT_EQ(logged.size(), 1u);
}

TEST_F(GeoTest, ShortAndBrokenLinesWarnWithLineNumber)
{
    std::string lines = std::string(korea) +
                        "\"3.0.0.0\",\"3.0.0.255\",\"1\",\"2\",\"KR\"\n"                 // 5 fields
                        "\"3.0.1.0\",\"3.0.1.x\",\"1\",\"2\",\"KR\",\"Korea\"\n"         // bad end
                        "\"3.0.2.0\",\"255.255.255.255\",\"1\",\"2\",\"KR\",\"Korea\"\n" // bad end
                        "\n";
    ASSERT_EQ(load("KR", lines), 0);
    for (auto [lineno, pn] : {std::pair{2, 6}, {3, 7}, {4, 7}, {5, 1}})
        EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong GEO information format at lineno " +
                                              std::to_string(lineno) + " (pn " +
                                              std::to_string(pn) + ")"));
    expect_local({{"3.0.0.1", 0}, {"3.0.1.1", 0}});
    EXPECT_TRUE(has_line(LOG_INFO, "1 GeoCountry loaded."));
}

TEST_F(GeoTest, OverlappingRangeLoadedFirstWins)
{
    std::string lines = "\"10.0.0.0\",\"10.0.0.255\",\"1\",\"2\",\"KR\",\"Korea\"\n"
                        "\"10.0.0.128\",\"10.0.1.255\",\"1\",\"2\",\"KR\",\"Korea\"\n"
                        "\"9.255.255.0\",\"10.0.0.0\",\"1\",\"2\",\"KR\",\"Korea\"\n"
                        "\"10.0.2.0\",\"10.0.2.255\",\"1\",\"2\",\"KR\",\"Korea\"\n";
    ASSERT_EQ(load("KR", lines), 0);
    EXPECT_EQ(GEO_count(), 4u); // rejected lines are counted all the same
    EXPECT_EQ(GEO_nranges(), 2u);
    expect_local({{"10.0.0.200", 1}, {"10.0.1.0", 0}, {"9.255.255.1", 0}, {"10.0.2.9", 1}});
}

TEST_F(GeoTest, SwappedRangeEndsAreRefused)
{
    // stored, the swapped line would send lookups past the range loaded after it
    std::string lines = "\"3.0.9.0\",\"3.0.5.0\",\"1\",\"2\",\"KR\",\"Korea\"\n"
                        "\"3.0.7.0\",\"3.0.7.255\",\"1\",\"2\",\"KR\",\"Korea\"\n";
    ASSERT_EQ(load("KR", lines), 0);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong GEO information format at lineno 1 (pn 7)"));
    EXPECT_EQ(GEO_islocal("3.0.7.5"), 1);
    EXPECT_EQ(GEO_islocal("3.0.6.0"), 0);
    EXPECT_EQ(GEO_count(), 1u);
}

TEST_F(GeoTest, HighAddressesCompareUnsigned)
{
    std::string lines;
    // interleave ranges on both sides of 128.0.0.0 so signed order would break the tree
    for (unsigned a : {200u, 5u, 127u, 250u, 1u, 129u, 255u})
        lines += "\"" + std::to_string(a) + ".0.0.0\",\"" + std::to_string(a) +
                 ".0.255.255\",\"1\",\"2\",\"KR\",\"Korea\"\n";
    // one range crosses the sign bit
    lines += "\"127.255.255.0\",\"128.0.0.255\",\"1\",\"2\",\"KR\",\"Korea\"\n";
    ASSERT_EQ(load("KR", lines), 0);
    EXPECT_EQ(GEO_nranges(), 8u);
    expect_local(
        {{"127.255.255.1", 1}, {"128.0.0.200", 1}, {"128.0.1.0", 0}, {"127.255.254.255", 0}});
    for (unsigned a : {200u, 5u, 127u, 250u, 1u, 129u, 255u}) {
        std::string in = std::to_string(a) + ".0.17.4";
        std::string out = std::to_string(a) + ".1.0.0";
        EXPECT_EQ(GEO_islocal(in.c_str()), 1) << in;
        EXPECT_EQ(GEO_islocal(out.c_str()), 0) << out;
    }
    expect_local({{"255.0.255.255", 1}, {"254.255.255.255", 0}});
}

TEST_F(GeoTest, OneByteCountryFileLoadsNothing)
{
    ASSERT_EQ(load("K", korea), 0);
    EXPECT_EQ(GEO_islocal("1.11.0.1"), 0);
    EXPECT_TRUE(has_line(LOG_INFO, "0 GeoCountry loaded."));
}

TEST_F(GeoTest, LoadFailuresAreReported)
{
    put(csv, korea);
    EXPECT_EQ(geo_load_from((dir + "/none").c_str(), csv.c_str()), -1);
    EXPECT_TRUE(
        has_line(LOG_ERR, "[ERROR] Failed to open " + dir + "/none: 2 No such file or directory"));

    put(country, "");
    EXPECT_EQ(geo_load_from(country.c_str(), csv.c_str()), -1);
    EXPECT_TRUE(has_line(LOG_ERR, "[ERROR] Failed to read country: 0 Success"));

    put(country, "KR");
    EXPECT_EQ(geo_load_from(country.c_str(), (dir + "/no.csv").c_str()), -1);
    EXPECT_TRUE(has_line(LOG_ERR,
                         "[ERROR] Failed to open " + dir + "/no.csv: 2 No such file or directory"));
}

TEST_F(GeoTest, LoadFailureEndsTheProcess)
{
    // the fixed paths do not exist where unit tests run
    if (access(GEO_COUNTRY_PATH, F_OK) == 0)
        GTEST_SKIP() << "host has a node country file";
    EXPECT_EXIT(geo_load(), ::testing::ExitedWithCode(1), "");
}

TEST_F(GeoTest, BroadcastLookupIsAnInvariantViolation)
{
    ASSERT_EQ(load("KR", korea), 0);
    EXPECT_DEATH(GEO_islocal("255.255.255.255"), "INADDR_NONE");
}

} // namespace
