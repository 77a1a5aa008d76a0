// velstatus's readers: usage records, a log image that may be damaged or
// half-rewritten, the latest round, and process uptimes.
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "vsm_layout.h"
#include "velstatus_read.h"

namespace
{

const char *K1 =
    "Mon, 07 Dec 2026 13:43:53 GMT;1796651033.25;4321.50;198.51.100.10;40512;2:0:0:0:0:"
    "a;K;198.51.100.10;900;800;D";
const char *K2 =
    "Mon, 07 Dec 2026 13:43:53 GMT;1796651033.25;4321.50;198.51.100.10;40512;2:0:0:0:0:"
    "a;K;203.0.113.80;2590;2590;D";
const char *U1 =
    "Mon, 07 Dec 2026 13:43:53 GMT;1796651033.25;4321.50;198.51.100.10;40512;2:0:0:0:0:"
    "a;U;-;70;0;D";
const char *OLD =
    "Mon, 07 Dec 2026 13:38:53 GMT;1796650733.00;4021.50;198.51.100.11;5000;2:0:0:0:0:"
    "b;K;198.51.100.11;1;2;D";

// A file image as veld lays it out: header, one log chunk holding records
// from its first word, then the end marker.
std::vector<uint8_t> image(const std::vector<std::pair<unsigned, std::string>> &recs,
                           uint32_t log_bytes = 4096)
{
    std::vector<uint8_t> img(VSM_HEAD_SIZE + log_bytes, 0);
    VSM_head head = {};
    head.magic = VSM_HEAD_MAGIC;
    head.hdr_size = VSM_HEAD_SIZE;
    head.shm_size = static_cast<uint32_t>(img.size());
    head.alloc_seq = 1;
    head.head.magic = VSM_CHUNK_MAGIC;
    head.head.len = VSM_CHUNK_SIZE + log_bytes;
    strcpy(head.head.class_, VSM_CLASS_LOG);
    memcpy(img.data(), &head, sizeof head);
    uint8_t *log = img.data() + VSM_HEAD_SIZE;
    size_t p = VSL_FIRST;
    for (const auto &[tag, text] : recs) {
        uint32_t w0 = tag << 24 | static_cast<uint32_t>(text.size()), id = 0;
        memcpy(log + p, &w0, 4);
        memcpy(log + p + 4, &id, 4);
        memcpy(log + p + VSL_HDR, text.data(), text.size());
        p += VSL_BYTES(static_cast<uint32_t>(text.size()));
    }
    uint32_t end = VSL_ENDMARKER;
    memcpy(log + p, &end, 4);
    return img;
}

TEST(StatusRead, UsageRecordsParseOnlyWhenComplete)
{
    usage_record r;
    ASSERT_TRUE(status_parse_usage(K2, &r));
    EXPECT_EQ(r.host, "198.51.100.10");
    EXPECT_EQ(r.port, "40512");
    EXPECT_EQ(r.addr, "203.0.113.80");
    EXPECT_EQ(r.in, 2590);
    EXPECT_DOUBLE_EQ(r.real, 1796651033.25);
    ASSERT_TRUE(status_parse_usage(U1, &r));
    EXPECT_EQ(r.type, 'U');
    for (const char *bad :
         {"", "a;b;c", "x;1;2;h;p;m;K;a;1;2;E", "x;1;2;h;p;m;Z;a;1;2;D", "x;1;2;h;p;m;K;a;1x;2;D",
          "x;one;2;h;p;m;K;a;1;2;D", "x;1;2;h;p;m;K;a;1;2;D;extra"})
        EXPECT_FALSE(status_parse_usage(bad, &r)) << bad;
}

TEST(StatusRead, LatestRoundSumsEachClient)
{
    std::vector<usage_record> recs;
    for (const char *t : {OLD, K1, K2, U1}) {
        usage_record r;
        ASSERT_TRUE(status_parse_usage(t, &r));
        recs.push_back(r);
    }
    usage_round round;
    ASSERT_TRUE(status_latest_round(recs, &round));
    EXPECT_EQ(round.stamp, "Mon, 07 Dec 2026 13:43:53 GMT");
    ASSERT_EQ(round.clients.size(), 1u); // the older round's client is not in it
    EXPECT_EQ(round.clients[0].in, 900);
    EXPECT_EQ(round.clients[0].out, 800);
    EXPECT_EQ(round.clients[0].remote_addresses, 1);
    EXPECT_TRUE(round.clients[0].other_traffic);
    EXPECT_FALSE(status_latest_round({}, &round));
}

TEST(StatusRead, LogImageGivesTheUsageRecordsUpToTheNewest)
{
    auto img = image({{2, K1}, {1, "not usage"}, {2, K2}, {2, "cut;record"}});
    std::vector<usage_record> recs;
    std::string why;
    ASSERT_TRUE(status_log_records(img.data(), img.size(), &recs, &why)) << why;
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].addr, "203.0.113.80");
}

TEST(StatusRead, DamagedOrShortImagesAreRefusedWithoutReadingPastThem)
{
    auto good = image({{2, K1}});
    std::vector<usage_record> recs;
    std::string why;
    // Shorter than its header says: a file being written anew.
    EXPECT_FALSE(status_log_records(good.data(), good.size() - 1, &recs, &why));
    EXPECT_FALSE(status_log_records(good.data(), 10, &recs, &why));
    auto bad = good;
    bad[0] ^= 1;
    EXPECT_FALSE(status_log_records(bad.data(), bad.size(), &recs, &why));
    bad = good;
    uint32_t huge = 0xfffffff0;
    memcpy(bad.data() + VSM_HEAD_OFFSET + 4, &huge, 4); // chunk length
    EXPECT_FALSE(status_log_records(bad.data(), bad.size(), &recs, &why));
    EXPECT_EQ(why, "damaged chunk list");
    bad = good;
    uint32_t w0 = 2u << 24 | 0xfff0; // a record running past the log
    memcpy(bad.data() + VSM_HEAD_SIZE + VSL_FIRST, &w0, 4);
    EXPECT_FALSE(status_log_records(bad.data(), bad.size(), &recs, &why));
}

TEST(StatusRead, ProcessUptimeFromItsStatLine)
{
    std::string stat = "4242 (odd) name) S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 "
                       "5000 1000000 200 18446744073709551615";
    EXPECT_DOUBLE_EQ(status_proc_uptime(stat, 100.0, 100), 50.0);
    EXPECT_DOUBLE_EQ(status_proc_uptime(stat, 10.0, 100), 0.0); // never negative
    EXPECT_EQ(status_proc_uptime("4242 (x) S 1 2", 100.0, 100), -1);
    EXPECT_EQ(status_proc_uptime("no parenthesis", 100.0, 100), -1);
}

} // namespace
