// The shared-memory log writer: -l grammar, file layout, records, wrap and
// the segment allocator.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "veld_shmlog.h"
#include "test_util.h"

namespace
{

uint32_t fake_now;
uint32_t fake_mono(void)
{
    return fake_now;
}

class Shm : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch_.create("/tmp/veld_shmlog.XXXXXX", true));
        fake_now = 1000;
        shm.mono = fake_mono;
    }
    void TearDown() override
    {
        SHM_Close();
        ASSERT_TRUE(scratch_.remove());
    }
    static off_t file_size()
    {
        struct stat st;
        return stat(SHM_FILENAME, &st) == 0 ? st.st_size : -1;
    }
    static uint32_t offset_of(const void *p)
    {
        return static_cast<uint32_t>(static_cast<const uint8_t *>(p) -
                                     reinterpret_cast<const uint8_t *>(shm.VSM_head));
    }
    static std::string chunks()
    {
        std::string s;
        for (VSM_chunk *c = vsm_iter_0(); c != nullptr; c = vsm_iter_n(c))
            s += std::string(c->class_) + ":" + std::to_string(c->len) + " ";
        return s;
    }
    test_util::scratch_dir scratch_;
};

TEST(ShmSize, Grammar)
{
    struct {
        const char *in;
        uintmax_t want;
    } ok[] = {
        {"0", 0},           {"4096", 4096},     {"1.9", 1},         {"1k", 1024},
        {"1.5K", 1536},     {"2M", 2097152},    {"1 m", 1048576},   {"3g", 3ull << 30},
        {"1t", 1ull << 40}, {"1P", 1ull << 50}, {"1e", 1ull << 60}, {"64kB", 65536},
        {"64 KB", 65536},   {"10b", 10},        {"1.0005k", 1025},  {"0x10", 16},
    };
    for (auto &c : ok) {
        uintmax_t r = 12345;
        EXPECT_EQ(SHM_ParseSize(c.in, &r), nullptr) << c.in;
        EXPECT_EQ(r, c.want) << c.in;
    }
    struct {
        const char *in;
        const char *err;
    } bad[] = {
        {"", "Missing number"},     {nullptr, "Missing number"}, {"k", "Invalid number"},
        {"inf", "Invalid number"},  {"nan", "Invalid number"},   {"5%", "Absolute number required"},
        {"5%k", "Invalid suffix"},  {"10x", "Invalid suffix"},   {"1kk", "Invalid suffix"},
        {"1kbb", "Invalid suffix"}, {"5 ", "Invalid suffix"},    {"5  k", "Invalid suffix"},
    };
    for (auto &c : bad) {
        uintmax_t r = 0;
        const char *e = SHM_ParseSize(c.in, &r);
        ASSERT_NE(e, nullptr) << (c.in ? c.in : "(null)");
        EXPECT_STREQ(e, c.err) << (c.in ? c.in : "(null)");
    }
}

TEST(ShmSize, LimitsAreExact)
{
    struct {
        uintmax_t shl, fre, pg;
        shm_size_check want;
        uintmax_t total;
    } cases[] = {
        // The log payload is rounded up to 8 bytes: 521 to 527 give 528.
        {520, 4096, 4096, SHM_SIZE_LOG_SMALL, 0},
        {521, 4096, 4096, SHM_SIZE_OK, 8192},
        {527, 4096, 4096, SHM_SIZE_OK, 8192},
        {528, 0, 4096, SHM_SIZE_OK, 4096},
        // The largest page-rounded total that 32 bits can describe, and past it.
        {0xFFFFF000 - 4096, 4096, 4096, SHM_SIZE_OK, 0xFFFFF000},
        {0xFFFFF000 - 4096, 4095, 4096, SHM_SIZE_OK, 0xFFFFF000},
        {0xFFFFF000 - 4096, 4097, 4096, SHM_SIZE_TOO_BIG, 0},
        {0xFFFF0000, 0, 65536, SHM_SIZE_NO_ROOM, 0},
        {0xFFFE0000, 65536, 65536, SHM_SIZE_OK, 0xFFFF0000},
        {0xFFFE0000, 65537, 65536, SHM_SIZE_TOO_BIG, 0},
        {1ull << 32, 0, 4096, SHM_SIZE_TOO_BIG, 0},
        {4096, 1ull << 32, 4096, SHM_SIZE_TOO_BIG, 0},
        {4096, 0, 4096, SHM_SIZE_NO_ROOM, 0},
    };
    for (auto &c : cases) {
        uintmax_t total = 0;
        EXPECT_EQ(SHM_CheckSizes(c.shl, c.fre, c.pg, &total), c.want) << c.shl << "," << c.fre;
        if (c.want == SHM_SIZE_OK) {
            EXPECT_EQ(total, c.total) << c.shl << "," << c.fre;
        }
    }
}

using ShmDeath = Shm;

TEST_F(ShmDeath, OptionErrorsStopWithStatus2)
{
    using ::testing::ExitedWithCode;
    EXPECT_EXIT(SHM_Init("10x"), ExitedWithCode(2),
                "^Error: \t-l\\[1\\] \\.\\.\\.:  Invalid suffix\n$");
    EXPECT_EXIT(SHM_Init("5%"), ExitedWithCode(2),
                "^Error: \t-l\\[1\\] \\.\\.\\.:  Absolute number required\n$");
    EXPECT_EXIT(SHM_Init("1M,zz"), ExitedWithCode(2),
                "^Error: \t-l\\[2\\] \\.\\.\\.:  Invalid number\n$");
    EXPECT_EXIT(SHM_Init("1M,1M,*"), ExitedWithCode(2),
                "^Error: \t-l\\[3\\] \\.\\.\\.:  Must be \"-\" or \"\\+\"\n$");
    EXPECT_EXIT(SHM_Init("1,2,+,3"), ExitedWithCode(2),
                "^Error: \t-l \\.\\.\\.:  Too many sub-args\n$");
    EXPECT_EXIT(SHM_Init("\"1M"), ExitedWithCode(2), "^Error: \t-l \\.\\.\\.: Missing '\"'$");
    // Too small for a maximum record after a wrap, or not describable in 32 bits.
    EXPECT_EXIT(SHM_Init("520,1M"), ExitedWithCode(2), "-l\\[1\\].*at least 521 bytes");
    EXPECT_EXIT(SHM_Init("3G,2G"), ExitedWithCode(2), "below 4 GiB");
    EXPECT_EXIT(SHM_Init("4096,0"), ExitedWithCode(2), "-l\\[2\\].*Too small");
    // Nothing was created by any of them.
    EXPECT_EQ(file_size(), -1);
}

TEST_F(ShmDeath, ExistingNonFileIsRefused)
{
    ASSERT_EQ(mkdir(SHM_FILENAME, 0755), 0);
    EXPECT_EXIT(SHM_Init("2k,4k,-"), ::testing::ExitedWithCode(2),
                "^Error: \tshmlog: Not a file\n$");
}

TEST_F(Shm, DefaultLayout)
{
    SHM_Init(nullptr);
    ASSERT_EQ(file_size(), 269484032);
    struct stat st;
    ASSERT_EQ(stat(SHM_FILENAME, &st), 0);
    EXPECT_GE(static_cast<off_t>(st.st_blocks) * 512, st.st_size) << "zero fill missing";
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    VSM_head *h = shm.VSM_head;
    EXPECT_EQ(h->magic, VSM_HEAD_MAGIC);
    EXPECT_EQ(h->hdr_size, 108u);
    EXPECT_EQ(h->shm_size, 269484032u);
    EXPECT_NE(h->alloc_seq, 0u);
    VSM_chunk *log = vsm_iter_0();
    EXPECT_EQ(offset_of(log), 16u);
    EXPECT_STREQ(log->class_, "Log");
    EXPECT_STREQ(log->type, "");
    EXPECT_STREQ(log->ident, "");
    EXPECT_EQ(log->len, 268435548u);
    // The record count follows the log, then what is left free.
    VSM_chunk *cnt = vsm_iter_n(log);
    ASSERT_NE(cnt, nullptr);
    EXPECT_EQ(offset_of(cnt), 268435564u);
    EXPECT_STREQ(cnt->class_, "LogCnt");
    EXPECT_EQ(cnt->len, 108u);
    VSM_chunk *fr = vsm_iter_n(cnt);
    ASSERT_NE(fr, nullptr);
    EXPECT_EQ(offset_of(fr), 268435672u);
    EXPECT_STREQ(fr->class_, "Free");
    EXPECT_EQ(fr->len, 1048360u);
    EXPECT_EQ(vsm_iter_n(fr), nullptr);

    const uint32_t *pl = reinterpret_cast<const uint32_t *>(VSM_PTR(log));
    EXPECT_GE(pl[0], 1u);
    EXPECT_LE(pl[0], 65535u);
    EXPECT_EQ(pl[1], VSL_ENDMARKER);
}

TEST_F(Shm, SmallLayoutWithoutFill)
{
    SHM_Init("2M,64k,-");
    EXPECT_EQ(file_size(), 2162688);
    struct stat st;
    ASSERT_EQ(stat(SHM_FILENAME, &st), 0);
    EXPECT_LT(static_cast<off_t>(st.st_blocks) * 512, st.st_size) << "file was written";
    EXPECT_EQ(chunks(), "Log:2097244 LogCnt:108 Free:65320 ");

    // The descriptor holds a write lock over the whole file; another process
    // is told who holds it.
    pid_t me = getpid();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(SHM_FILENAME, O_RDWR);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        _exit(fd >= 0 && fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type == F_WRLCK && fl.l_pid == me
                  ? 0
                  : 1);
    }
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(ShmDeath, SecondWriterStopsAndLeavesTheFileAlone)
{
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        SHM_Init("2k,4k,-");
        VSL_Init();
        VSL(2, 0, "%s", "still here");
        char c = 'r';
        (void)!write(ready[1], &c, 1);
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    struct stat before;
    ASSERT_EQ(stat(SHM_FILENAME, &before), 0);

    std::string re = "^SHMFILE locked by running veld \\(pid=" + std::to_string(writer) + "\\)\n$";
    EXPECT_EXIT(SHM_Init("2k,4k,-"), ::testing::ExitedWithCode(2), re);

    struct stat after;
    ASSERT_EQ(stat(SHM_FILENAME, &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(after.st_size, 8192);
    // The record the running writer published is intact: magic, then the
    // first record after the seq word.
    int fd = open(SHM_FILENAME, O_RDONLY);
    ASSERT_GE(fd, 0);
    uint8_t buf[256];
    ASSERT_EQ(pread(fd, buf, sizeof buf, 0), static_cast<ssize_t>(sizeof buf));
    close(fd);
    uint32_t w[3];
    memcpy(w, buf, 4);
    EXPECT_EQ(w[0], VSM_HEAD_MAGIC);
    memcpy(w, buf + 108 + 4, 8);
    EXPECT_EQ(w[0], vsl_w0(2, 10));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf) + 108 + 12, 10), "still here");

    ASSERT_EQ(write(done[1], "q", 1), 1);
    int status;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);

    // Once the writer is gone the file is taken over and built anew.
    SHM_Init("2k,4k,-");
    EXPECT_EQ(reinterpret_cast<uint32_t *>(VSM_PTR(vsm_iter_0()))[1], VSL_ENDMARKER);
    close(ready[0]), close(ready[1]), close(done[0]), close(done[1]);
}

TEST_F(Shm, RecordSizesAndPublication)
{
    SHM_Init("4k,4k,-");
    VSL_Init();
    uint32_t *first = shm.vsl_start + 1;
    EXPECT_EQ(shm.vsl_ptr, first);
    EXPECT_EQ(*first, VSL_ENDMARKER);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    VSL(2, 0, "");
#pragma GCC diagnostic pop
    EXPECT_EQ(shm.vsl_ptr, first + 2);
    EXPECT_EQ(first[0], vsl_w0(2, 0));
    EXPECT_EQ(first[2], VSL_ENDMARKER);

    VSL(2, 77, "%s", "hello");
    uint32_t *r = first + 2;
    EXPECT_EQ(shm.vsl_ptr, r + 4);
    EXPECT_EQ(r[0], (2u << 24) | 5);
    EXPECT_EQ(r[1], 77u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(r + 2), 5), "hello");
    EXPECT_EQ(r[4], VSL_ENDMARKER);

    // A text without % goes in as it is; with one it is formatted.
    VSL(1, 3, "plain text");
    EXPECT_EQ(VSL_LEN(r[4]), 10u);
    EXPECT_EQ(VSL_TAG(r[4]), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(r + 6), 10), "plain text");
    uint32_t *q = shm.vsl_ptr;
    VSL(2, 0, "100%%");
    EXPECT_EQ(q[0], vsl_w0(2, 4));

    // Oversized payloads are cut at 512 bytes, all of them text.
    std::string big(700, 'x');
    uint32_t *b = shm.vsl_ptr;
    VSL(2, 0, "%s", big.c_str());
    EXPECT_EQ(VSL_LEN(b[0]), 512u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b + 2), 512), big.substr(0, 512));
    EXPECT_EQ(shm.vsl_ptr, b + 2 + 128);

    EXPECT_EQ(vsl_w0(0x1ff, 3), 0xff000003u);
}

TEST_F(Shm, WrapMarkersAndSeq)
{
    SHM_Init("1k,4k,-");
    VSL_Init();
    uint32_t *first = shm.vsl_start + 1;
    uint32_t seq0 = *shm.vsl_start;
    EXPECT_NE(seq0, 0u);

    // A record that would end exactly at vsl_end is not placed there.
    shm.vsl_ptr = shm.vsl_end - 2; // an 8-byte record would end at vsl_end
    uint32_t *old_end = shm.vsl_ptr;
    uint32_t *p = vsl_get(0);
    EXPECT_EQ(p, first);
    EXPECT_EQ(*old_end, VSL_WRAPMARKER);
    EXPECT_EQ(first[0], VSL_ENDMARKER) << "unpublished record must read as end";
    EXPECT_EQ(first[2], VSL_ENDMARKER);
    EXPECT_NE(*shm.vsl_start, seq0);
    EXPECT_NE(*shm.vsl_start, 0u);
    vsl_hdr(2, p, 0, 0);
    EXPECT_EQ(first[0], vsl_w0(2, 0));

    // One word less and it fits: no wrap.
    shm.vsl_ptr = shm.vsl_end - 3;
    uint32_t seq1 = *shm.vsl_start;
    EXPECT_EQ(vsl_get(0), shm.vsl_end - 3);
    EXPECT_EQ(*shm.vsl_start, seq1);
    EXPECT_EQ(shm.vsl_end[-1], VSL_ENDMARKER);

    // seq skips 0.
    *shm.vsl_start = 0xffffffff;
    vsl_wrap();
    EXPECT_EQ(*shm.vsl_start, 1u);

    // Filling the ring with records keeps every write inside the log.
    for (int i = 0; i < 1000; i++) {
        VSL(2, static_cast<uint32_t>(i), "record %d of the ring", i);
        ASSERT_GT(shm.vsl_ptr, shm.vsl_start);
        ASSERT_LT(shm.vsl_ptr, shm.vsl_end);
        ASSERT_EQ(*shm.vsl_ptr, VSL_ENDMARKER);
    }
    // Maximum-size records still fit after a wrap in the smallest log.
    std::string big(600, 'y');
    for (int i = 0; i < 10; i++)
        VSL(2, 0, "%s", big.c_str());
    EXPECT_LT(shm.vsl_ptr, shm.vsl_end);
}

TEST_F(Shm, SmallestLogTakesMaximumRecords)
{
    // 521 bytes round up to a 528-byte log: one maximum record per cycle.
    SHM_Init("521,4k,-");
    VSL_Init();
    EXPECT_EQ(shm.vsl_end - shm.vsl_start, 528 / 4);
    std::string big(600, 'z');
    uint32_t seq = *shm.vsl_start;
    for (int i = 0; i < 5; i++) {
        VSL(2, 0, "%s", big.c_str());
        EXPECT_EQ(shm.vsl_start[1], vsl_w0(2, 512));
        EXPECT_EQ(shm.vsl_ptr, shm.vsl_start + 1 + 130);
        EXPECT_EQ(*shm.vsl_ptr, VSL_ENDMARKER);
        if (i > 0) {
            EXPECT_NE(*shm.vsl_start, seq) << "every record after the first wraps";
        }
        seq = *shm.vsl_start;
        // The count segment names the cycle and the records before its first.
        ASSERT_NE(shm.vsl_cnt, nullptr);
        EXPECT_EQ(shm.vsl_cnt[VSL_CNT_SEQ], seq);
        EXPECT_EQ(shm.vsl_cnt[VSL_CNT_LO], static_cast<uint32_t>(i));
        EXPECT_EQ(shm.vsl_cnt[VSL_CNT_HI], 0u);
    }
}

TEST_F(Shm, AllocatorSplitCoolDownAndMerge)
{
    SHM_Init("1k,16k,-");
    VSL_Init();
    const uint32_t free_len = vsm_iter_n(vsm_iter_n(vsm_iter_0()))->len;
    EXPECT_EQ(chunks(), "Log:1116 LogCnt:108 Free:" + std::to_string(free_len) + " ");

    uint32_t seq = shm.VSM_head->alloc_seq;
    void *a = VSM_Alloc(100, "Stat", "t", "a");
    ASSERT_NE(a, nullptr);
    EXPECT_NE(shm.VSM_head->alloc_seq, seq);
    EXPECT_NE(shm.VSM_head->alloc_seq, 0u);
    VSM_chunk *ca = reinterpret_cast<VSM_chunk *>(static_cast<uint8_t *>(a) - VSM_CHUNK_SIZE);
    EXPECT_EQ(ca->len, 104u + 92u);
    EXPECT_STREQ(ca->class_, "Stat");
    EXPECT_STREQ(ca->type, "t");
    EXPECT_STREQ(ca->ident, "a");
    void *b = VSM_Alloc(8, "Stat", "", "b");
    void *c = VSM_Alloc(1, "Stat", "", "c");
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(chunks(), "Log:1116 LogCnt:108 Stat:196 Stat:100 Stat:100 Free:" +
                            std::to_string(free_len - 396) + " ");
    EXPECT_EQ(VSM_Alloc(free_len, "Big", "", ""), nullptr);

    // Freed chunks cool down: not reused within 5 seconds.
    seq = shm.VSM_head->alloc_seq;
    VSM_Free(a);
    VSM_Free(b);
    EXPECT_NE(shm.VSM_head->alloc_seq, seq);
    EXPECT_EQ(ca->cool_since, 1000u);
    fake_now = 1005;
    void *d = VSM_Alloc(8, "New", "", "");
    EXPECT_NE(d, a);
    EXPECT_EQ(chunks(), "Log:1116 LogCnt:108 Cool:196 Cool:100 Stat:100 New:100 Free:" +
                            std::to_string(free_len - 496) + " ");

    // After the cool-down they are free again and merge into one.
    fake_now = 1006;
    void *e = VSM_Alloc(200, "New", "", "e");
    EXPECT_EQ(e, a);
    EXPECT_EQ(chunks(), "Log:1116 LogCnt:108 New:296 Stat:100 New:100 Free:" +
                            std::to_string(free_len - 496) + " ");
}

TEST_F(Shm, AllocatorMergesRunsAndUsesWholeChunks)
{
    SHM_Init("1k,16k,-");
    VSL_Init();
    const uint32_t free_len = vsm_iter_n(vsm_iter_n(vsm_iter_0()))->len;
    void *a = VSM_Alloc(8, "S", "", "");
    void *b = VSM_Alloc(8, "S", "", "");
    void *c = VSM_Alloc(8, "S", "", "");
    VSM_Free(c);
    VSM_Free(a);
    VSM_Free(b);
    fake_now += 10;
    // Everything behind the log is one free chunk again, and fits whole.
    void *all = VSM_Alloc((free_len - VSM_CHUNK_SIZE) & ~7u, "All", "", "");
    EXPECT_EQ(all, a);
    EXPECT_EQ(chunks(), "Log:1116 LogCnt:108 All:" + std::to_string(free_len) + " ");
    VSM_Free(all);
    fake_now += 10;
    // A remainder too small for a header stays with the chunk.
    void *most = VSM_Alloc(free_len - VSM_CHUNK_SIZE - 90, "Most", "", "");
    EXPECT_EQ(most, a);
    EXPECT_EQ(chunks(), "Log:1116 LogCnt:108 Most:" + std::to_string(free_len) + " ");
}

TEST_F(Shm, CleanFreesWhatFollowsTheMarker)
{
    SHM_Init("1k,16k,-");
    VSL_Init();
    void *before = VSM_Alloc(8, "Keep", "", "");
    void *mark = VSM_Alloc(8, "MgrCld", "", "");
    void *after = VSM_Alloc(8, "Child", "", "");
    ASSERT_TRUE(before && mark && after);
    VSM__Clean();
    std::string s = chunks();
    EXPECT_EQ(s.substr(0, s.rfind("Free")), "Log:1116 LogCnt:108 Keep:100 MgrCld:100 Cool:100 ");
    EXPECT_NE(shm.VSM_head->alloc_seq, 0u);
}

TEST_F(ShmDeath, AllocatorRefusesLongNames)
{
    SHM_Init("1k,16k,-");
    VSL_Init();
    EXPECT_DEATH(VSM_Alloc(8, "TooLongX", "", ""), "strlen");
    EXPECT_DEATH(VSM_Alloc(8, "C", "", std::string(64, 'i').c_str()), "strlen");
}

} // namespace
