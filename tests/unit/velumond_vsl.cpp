// The log reader against the real writer running in another process.

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "vas.h"
#include "veld_shmlog.h"
#include "velumond_shmlog.h"
#include "velumond_usage.h"
#include "vlog.h"
#include "vsl.h"
#include "vsm.h"
#include "vtim.h"

#include "test_util.h"

namespace
{

std::string diag_text;
int diag_capture(void *, const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    diag_text += buf;
    return n;
}

// A veld-like writer in a child process, driven over a pipe.
class Writer
{
  public:
    Writer(const std::string &dir, const char *arg)
    {
        int cmd[2], ack[2];
        EXPECT_EQ(pipe(cmd), 0);
        EXPECT_EQ(pipe(ack), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(cmd[1]);
            close(ack[0]);
            if (chdir(dir.c_str()) != 0)
                _exit(3);
            SHM_Init(arg);
            VSL_Init();
            run(cmd[0], ack[1]);
        }
        close(cmd[0]);
        close(ack[1]);
        cmd_ = cmd[1];
        ack_ = ack[0];
        wait_ack();
    }
    ~Writer() { quit(); }
    // Append n records "rec <k>" numbered on from the last one.
    void append(uint32_t n) { send('a', n); }
    // Append n records of size bytes each ("x" filled, id counts on).
    void append_sized(uint32_t n, uint32_t size) { send('s', n | size << 16); }
    void wrap() { send('w', 0); }
    // Append n records at full speed, pausing for a credit byte after every
    // STREAM_BATCH records so that the writer cannot lap a reader.
    static constexpr uint32_t STREAM_BATCH = 4096;
    void stream(uint32_t n)
    {
        char op = 'c';
        EXPECT_EQ(write(cmd_, &op, 1), 1);
        EXPECT_EQ(write(cmd_, &n, sizeof n), static_cast<ssize_t>(sizeof n));
    }
    void credit() { EXPECT_EQ(write(cmd_, "+", 1), 1); }
    uint32_t finish() { return wait_ack(); }
    void alloc() { send('A', 0); }
    uint32_t position() { return send('p', 0); }
    void quit()
    {
        if (pid_ <= 0)
            return;
        char c = 'q';
        (void)!write(cmd_, &c, 1);
        int st;
        waitpid(pid_, &st, 0);
        close(cmd_);
        close(ack_);
        pid_ = -1;
    }

  private:
    struct msg {
        char op;
        uint32_t arg;
    };
    [[noreturn]] static void run(int in, int out)
    {
        uint32_t k = 0;
        std::string big(0xffff, 'x');
        msg m = {'r', 0};
        (void)!write(out, &m.arg, sizeof m.arg);
        while (read(in, &m.op, 1) == 1 && m.op != 'q') {
            if (read(in, &m.arg, sizeof m.arg) != sizeof m.arg)
                break;
            uint32_t r = 0;
            switch (m.op) {
            case 'a':
                for (uint32_t i = 0; i < m.arg; i++, k++)
                    VSL(2, k, "rec %u", k);
                break;
            case 's':
                for (uint32_t i = 0; i < (m.arg & 0xffff); i++, k++)
                    VSL(2, k, "%.*s", static_cast<int>(m.arg >> 16), big.c_str());
                break;
            case 'c':
                for (uint32_t i = 0; i < m.arg; i++, k++) {
                    char c;
                    if (i % STREAM_BATCH == 0 && read(in, &c, 1) != 1)
                        _exit(4);
                    VSL(2, k, "rec %u", k);
                }
                break;
            case 'w':
                AZ(pthread_mutex_lock(&shm.vsl_mtx));
                vsl_wrap();
                AZ(pthread_mutex_unlock(&shm.vsl_mtx));
                break;
            case 'A':
                (void)VSM_Alloc(64, "Stat", "", "");
                break;
            case 'p':
                r = static_cast<uint32_t>(shm.vsl_ptr - shm.vsl_start);
                break;
            }
            (void)!write(out, &r, sizeof r);
        }
        _exit(0);
    }
    uint32_t send(char op, uint32_t arg)
    {
        EXPECT_EQ(write(cmd_, &op, 1), 1);
        EXPECT_EQ(write(cmd_, &arg, sizeof arg), static_cast<ssize_t>(sizeof arg));
        return wait_ack();
    }
    uint32_t wait_ack()
    {
        uint32_t r = 0;
        EXPECT_EQ(read(ack_, &r, sizeof r), static_cast<ssize_t>(sizeof r));
        return r;
    }
    pid_t pid_ = -1;
    int cmd_ = -1, ack_ = -1;
};

class Reader : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch_.create("/tmp/velumond_vsl.XXXXXX"));
        dir_ = scratch_.path();
        file_ = dir_ + "/_.vsm";
        diag_text.clear();
        test_util::logged.clear();
        VLOG_SetSink(test_util::capture);
        // A writer that died shows as a failed read, not as a killed test.
        signal(SIGPIPE, SIG_IGN);
        vd_ = VSM_New();
        VSM_Diag(vd_, diag_capture, nullptr);
        ASSERT_EQ(VSM_n_Arg(vd_, dir_.c_str()), 1);
        ASSERT_STREQ(vd_->fname, file_.c_str());
    }
    void TearDown() override
    {
        VLOG_SetSink(nullptr);
        VSM_Delete(vd_);
        ASSERT_TRUE(scratch_.remove());
    }
    // Records available now, as "id:payload" texts; a reader that keeps
    // delivering stops at 10,000.
    std::vector<std::string> drain()
    {
        std::vector<std::string> out;
        VSL_NonBlocking(vd_, 1);
        const uint32_t *p;
        while (out.size() < 10000 && VSL_NextLog(vd_, &p, nullptr) == 1)
            out.push_back(std::to_string(p[1]) + ":" +
                          std::string(reinterpret_cast<const char *>(p + 2), VSL_LEN(p[0])));
        return out;
    }
    static std::vector<std::string> recs(uint32_t from, uint32_t to)
    {
        std::vector<std::string> v;
        for (uint32_t k = from; k < to; k++)
            v.push_back(std::to_string(k) + ":rec " + std::to_string(k));
        return v;
    }
    // Overwrite word k of the log payload (k = 0 is seq), as a broken
    // writer would.
    void poke(uint32_t k, uint32_t value)
    {
        int fd = open(file_.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        off_t off = VSM_HEAD_OFFSET + VSM_CHUNK_SIZE + 4 * static_cast<off_t>(k);
        ASSERT_EQ(pwrite(fd, &value, sizeof value, off), static_cast<ssize_t>(sizeof value));
        close(fd);
    }
    static size_t warnings()
    {
        size_t n = 0;
        for (const auto &[prio, line] : test_util::logged)
            n += prio == LOG_WARNING && line.rfind("[WARN] Shared-memory log: ", 0) == 0;
        return n;
    }
    test_util::scratch_dir scratch_;
    std::string dir_, file_;
    VSM_data *vd_ = nullptr;
    const uint32_t *last_ptr_ = nullptr;
};

TEST_F(Reader, SeesOnlyRecordsPublishedAfterOpen)
{
    Writer w(dir_, "64k,4k,-");
    w.append(10);
    VSL_Setup(vd_);
    ASSERT_EQ(VSL_Open(vd_, 1), 0) << diag_text;
    EXPECT_TRUE(drain().empty());
    w.append(3);
    EXPECT_EQ(drain(), recs(10, 13));
    EXPECT_TRUE(drain().empty());
    w.append(2);
    EXPECT_EQ(drain(), recs(13, 15));

    // A second reader opened on an empty log gets everything.
    VSM_data *vd2 = VSM_New();
    ASSERT_EQ(VSM_n_Arg(vd2, dir_.c_str()), 1);
    VSL_Setup(vd2);
    ASSERT_EQ(VSL_Open(vd2, 1), 0);
    w.append(1);
    VSL_NonBlocking(vd2, 1);
    const uint32_t *p;
    ASSERT_EQ(VSL_NextLog(vd2, &p, nullptr), 1);
    EXPECT_EQ(p[1], 15u);
    EXPECT_EQ(VSL_NextLog(vd2, &p, nullptr), -1);
    VSM_Delete(vd2);
}

TEST_F(Reader, FollowsTheWriterAcrossWraps)
{
    // A 2 KiB ring: 16-byte records ("rec N" for N < 1000 are 5..7 bytes).
    Writer w(dir_, "2k,4k,-");
    VSL_Setup(vd_);
    ASSERT_EQ(VSL_Open(vd_, 1), 0) << diag_text;
    uint32_t next = 0;
    // Read after every batch; batches wrap the ring many times, never
    // lapping the reader.
    for (int round = 0; round < 40; round++) {
        uint32_t n = 10 + static_cast<uint32_t>(round * 7) % 90;
        w.append(n);
        ASSERT_EQ(drain(), recs(next, next + n)) << "round " << round;
        next += n;
    }
    EXPECT_GT(next, 2048u / 16 * 10);
}

TEST_F(Reader, ConcurrentWriterDeliversEveryRecordIntact)
{
    // A 512 KiB ring wrapped several times while both processes run; the
    // writer is never more than three batches (at most 240 KiB) ahead.
    Writer w(dir_, "512k,4k,-");
    VSL_Setup(vd_);
    ASSERT_EQ(VSL_Open(vd_, 1), 0) << diag_text;
    VSL_NonBlocking(vd_, 1);
    constexpr uint32_t n = 200000;
    w.stream(n);
    // One credit per batch the writer starts, none left over.
    const uint32_t batches = (n + Writer::STREAM_BATCH - 1) / Writer::STREAM_BATCH;
    uint32_t credits = 0;
    for (; credits < 3; credits++)
        w.credit();
    uint32_t next = 0;
    double last_progress = VTIM_mono();
    char want[32];
    while (next < n) {
        const uint32_t *p;
        int r = VSL_NextLog(vd_, &p, nullptr);
        if (r != 1) {
            ASSERT_LT(VTIM_mono() - last_progress, 10.0) << "stuck at " << next;
            (void)usleep(100);
            continue;
        }
        int len = snprintf(want, sizeof want, "rec %u", next);
        ASSERT_EQ(p[1], next);
        ASSERT_EQ(VSL_TAG(p[0]), 2u);
        ASSERT_EQ(std::string(reinterpret_cast<const char *>(p + 2), VSL_LEN(p[0])),
                  std::string(want, static_cast<size_t>(len)));
        next++;
        last_progress = VTIM_mono();
        if (next % Writer::STREAM_BATCH == 0 && credits < batches) {
            w.credit();
            credits++;
        }
    }
    w.finish();
    EXPECT_EQ(VSL_NextLog(vd_, &last_ptr_, nullptr), -1);
}

TEST_F(Reader, JumpsToTheStartWhenSeqChangedUnderAnEndMarker)
{
    Writer w(dir_, "4k,4k,-");
    VSL_Setup(vd_);
    ASSERT_EQ(VSL_Open(vd_, 1), 0) << diag_text;
    w.append_sized(5, 8); // 16 bytes each
    EXPECT_EQ(drain().size(), 5u);
    // The writer wraps and refills up to exactly where the reader waits, so
    // the reader finds an end marker there, under a new seq.
    w.wrap();
    w.append_sized(5, 8);
    EXPECT_EQ(w.position(), 1u + 5 * 4);
    std::vector<std::string> got = drain();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got.front(), "5:xxxxxxxx");
    EXPECT_EQ(got.back(), "9:xxxxxxxx");

    // A plain wrap leaves the wrap marker at the reader's place.
    w.append(2);
    EXPECT_EQ(drain().size(), 2u);
    w.wrap();
    w.append(3);
    EXPECT_EQ(drain(), recs(12, 15));
}

TEST_F(Reader, DispatchIdlesThenFollowsAReplacedFile)
{
    struct ctx {
        std::vector<std::string> got;
        size_t want;
    } c{{}, 3};
    auto cb = [](void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec,
                 const char *ptr, uint64_t bitmap) -> int {
        ctx *x = static_cast<ctx *>(priv);
        EXPECT_EQ(tag, 2u);
        EXPECT_EQ(spec, 0u);
        EXPECT_EQ(bitmap, 0u);
        x->got.push_back(std::to_string(id) + ":" + std::string(ptr, len));
        return x->got.size() >= x->want;
    };
    VSL_Setup(vd_);
    {
        Writer w(dir_, "4k,4k,-");
        ASSERT_EQ(VSL_Open(vd_, 1), 0) << diag_text;
        w.append(3);
        EXPECT_EQ(VSL_Dispatch(vd_, cb, &c), 1);
        EXPECT_EQ(c.got, recs(0, 3));
        // Nothing new and the same file: back after the idle period.
        c.got.clear();
        EXPECT_EQ(VSL_Dispatch(vd_, cb, &c), 0);
        EXPECT_TRUE(c.got.empty());
    }
    // veld restarts: a new file (new inode), whose records are read from the
    // first one, without returning in between.
    Writer w2(dir_, "8k,4k,-");
    w2.append(3);
    EXPECT_EQ(VSL_Dispatch(vd_, cb, &c), 1);
    EXPECT_EQ(c.got, recs(0, 3));
}

TEST_F(Reader, FailedReopenLeavesNoStalePointers)
{
    VSL_Setup(vd_);
    {
        Writer w(dir_, "4k,4k,-");
        ASSERT_EQ(VSL_Open(vd_, 1), 0) << diag_text;
        w.append(1);
        EXPECT_EQ(drain().size(), 1u);
    }
    // Replaced by something that is not a log file.
    ASSERT_EQ(unlink(file_.c_str()), 0);
    int fd = open(file_.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "junk", 4), 4);
    close(fd);
    EXPECT_EQ(VSM_ReOpen(vd_, 1), -1);
    EXPECT_NE(diag_text.find("Cannot read " + file_), std::string::npos) << diag_text;
    EXPECT_EQ(vd_->vsm_fd, -1);
    EXPECT_EQ(vd_->VSM_head, nullptr);
    EXPECT_TRUE(drain().empty());
    // A new veld: the follower picks it up by itself.
    Writer w(dir_, "4k,4k,-");
    w.append(2);
    EXPECT_EQ(drain(), recs(0, 2));
}

// Word 0 values a record never has, in a 4 KiB ring.
const struct {
    const char *what;
    uint32_t w0;
} damaged_words[] = {
    {"length past the end", 2u << 24 | 0xfff0},
    {"bits 23-16 set", 2u << 24 | 1u << 16 | 8},
    {"wrap marker under the same seq", VSL_WRAPMARKER},
};

TEST_F(Reader, DamagedRecordIsWaitedAtNeverReadAgain)
{
    for (const auto &d : damaged_words) {
        SCOPED_TRACE(d.what);
        test_util::logged.clear();
        VSM_Delete(vd_);
        vd_ = VSM_New();
        ASSERT_EQ(VSM_n_Arg(vd_, dir_.c_str()), 1);
        VSL_Setup(vd_);
        Writer w(dir_, "4k,4k,-");
        ASSERT_EQ(VSL_Open(vd_, 1), 0) << diag_text;
        w.append(2);
        ASSERT_EQ(drain(), recs(0, 2));
        // Damage where the next record will go: nothing is read, once warned.
        uint32_t pos = w.position();
        poke(pos, d.w0);
        EXPECT_TRUE(drain().empty());
        EXPECT_TRUE(drain().empty());
        EXPECT_EQ(warnings(), 1u);
        // The writer publishes over it: reading goes on from there.
        w.append(2);
        EXPECT_EQ(drain(), recs(2, 4));
        // Damage inside the chain: what lies behind it waits for the wrap.
        pos = w.position();
        w.append(3);
        poke(pos + 4, d.w0); // the second of the three ("rec N" takes 4 words)
        EXPECT_EQ(drain(), recs(4, 5));
        w.append(2);
        EXPECT_TRUE(drain().empty());
        // Warned once a minute at most.
        EXPECT_EQ(warnings(), 1u);
        // The new cycle reaches the damaged place with a record of its own:
        // it is read once, from the cycle's start.
        w.wrap();
        w.append(6);
        EXPECT_EQ(drain(), recs(9, 15));
        // The four records from the damaged one on were never read: counted.
        EXPECT_EQ(warnings(), 2u);
        EXPECT_TRUE(test_util::has_line(
            LOG_WARNING,
            "[WARN] Shared-memory log: 4 records were lost (overwritten before they were read)"));
    }
}

TEST_F(Reader, OpenOnADamagedLogHandsOverNothingFromBefore)
{
    Writer w(dir_, "4k,4k,-");
    w.append(3);
    poke(1 + 4, damaged_words[0].w0);
    VSL_Setup(vd_);
    ASSERT_EQ(VSL_Open(vd_, 1), 0) << diag_text;
    EXPECT_TRUE(drain().empty());
    EXPECT_EQ(warnings(), 1u);
    w.append(2);
    EXPECT_TRUE(drain().empty());
    w.wrap();
    w.append(2);
    EXPECT_EQ(drain(), recs(5, 7));
}

TEST_F(Reader, DispatchIdlesAtDamageAndStillFollowsAReplacedFile)
{
    // The old reader spun here for ever; fail instead of hanging.
    alarm(60);
    struct ctx {
        std::vector<std::string> got;
        size_t want;
    } c{{}, 3};
    auto cb = [](void *priv, unsigned, unsigned id, unsigned len, unsigned, const char *ptr,
                 uint64_t) -> int {
        ctx *x = static_cast<ctx *>(priv);
        x->got.push_back(std::to_string(id) + ":" + std::string(ptr, len));
        return x->got.size() >= x->want;
    };
    VSL_Setup(vd_);
    {
        Writer w(dir_, "4k,4k,-");
        ASSERT_EQ(VSL_Open(vd_, 1), 0) << diag_text;
        w.append(2);
        poke(w.position(), damaged_words[0].w0);
        double t0 = VTIM_mono();
        EXPECT_EQ(VSL_Dispatch(vd_, cb, &c), 0);
        EXPECT_LT(VTIM_mono() - t0, 8.0);
        EXPECT_EQ(c.got, recs(0, 2));
    }
    c.got.clear();
    Writer w2(dir_, "4k,4k,-");
    w2.append(3);
    EXPECT_EQ(VSL_Dispatch(vd_, cb, &c), 1);
    EXPECT_EQ(c.got, recs(0, 3));
    alarm(0);
}

TEST_F(Reader, CloseUnmapsWhatWasMappedAtOpen)
{
    Writer w(dir_, "64k,4k,-");
    ASSERT_EQ(VSM_Open(vd_, 1), 0) << diag_text;
    auto mapped = [&] {
        return test_util::slurp("/proc/self/maps").find(file_) != std::string::npos;
    };
    ASSERT_TRUE(mapped());
    // The header's size changes behind the reader's back.
    int fd = open(file_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    uint32_t small = 4096;
    ASSERT_EQ(pwrite(fd, &small, sizeof small, offsetof(VSM_head, shm_size)), 4);
    close(fd);
    VSM_Close(vd_);
    EXPECT_FALSE(mapped());
}

// A second reader, as a restarted velumond makes it: opened at the end.
VSM_data *restarted(const std::string &dir)
{
    VSM_data *vd = VSM_New();
    VSM_Diag(vd, diag_capture, nullptr);
    EXPECT_EQ(VSM_n_Arg(vd, dir.c_str()), 1);
    VSL_Setup(vd);
    EXPECT_EQ(VSL_Open(vd, 1), 0) << diag_text;
    return vd;
}

TEST_F(Reader, ResumesWhereAnEarlierReaderStood)
{
    struct Case {
        const char *what;
        uint32_t before_wrap, after_wrap; // records appended while no reader ran
        vsl_resume how;
        uint32_t from; // first record delivered after the resume
    } cases[] = {
        {"same cycle", 3, 0, vsl_resume::same_cycle, 10},
        {"one wrap, new cycle short of the place", 3, 2, vsl_resume::after_wrap, 10},
        {"one wrap, new cycle past the place", 3, 15, vsl_resume::wrapped_past, 13},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Writer w(dir_, "4k,4k,-");
        VSM_data *vd = restarted(dir_);
        w.append(10); // 4 words each: the place is word 41
        VSL_NonBlocking(vd, 1);
        const uint32_t *p;
        for (int i = 0; i < 10; i++)
            ASSERT_EQ(VSL_NextLog(vd, &p, nullptr), 1);
        vsl_pos pos;
        ASSERT_EQ(VSL_Position(vd, &pos), 0);
        EXPECT_EQ(pos.off, 41u);
        VSM_Delete(vd);

        w.append(c.before_wrap);
        if (c.after_wrap > 0) {
            w.wrap();
            w.append(c.after_wrap);
        }
        uint32_t total = 10 + c.before_wrap + c.after_wrap;
        VSM_Delete(vd_);
        vd_ = restarted(dir_);
        EXPECT_EQ(VSL_Resume(vd_, &pos), c.how);
        EXPECT_EQ(drain(), recs(c.from, total));
        w.append(1);
        EXPECT_EQ(drain(), recs(total, total + 1));
    }

    // veld restarted meanwhile: the new file from its first record.
    vsl_pos old;
    {
        Writer w(dir_, "4k,4k,-");
        VSM_Delete(vd_);
        vd_ = restarted(dir_);
        ASSERT_EQ(VSL_Position(vd_, &old), 0);
    }
    Writer w(dir_, "4k,4k,-");
    w.append(3);
    VSM_Delete(vd_);
    vd_ = restarted(dir_);
    EXPECT_EQ(VSL_Resume(vd_, &old), vsl_resume::new_file);
    EXPECT_EQ(drain(), recs(0, 3));

    // A place that is no record of this cycle: left at the end.
    vsl_pos here;
    ASSERT_EQ(VSL_Position(vd_, &here), 0);
    for (uint32_t off : {here.off + 1, here.off + 400, 5000u}) {
        vsl_pos bad = here;
        bad.off = off;
        EXPECT_EQ(VSL_Resume(vd_, &bad), vsl_resume::invalid) << off;
    }
    w.append(1);
    EXPECT_EQ(drain(), recs(3, 4));
}

// The shmlog thread's rounds, driven by hand: records filed with the cursor
// taken at the round's start, then a kill before the next cursor.
TEST_F(Reader, RestartFilesEveryRecordOnce)
{
    Writer w(dir_, "64k,4k,-");
    std::string daily = dir_ + "/stat_x.log", cursor = dir_ + "/cursor";
    auto round = [&](VSM_data *vd, shmlog_ctx *c, bool finish) {
        FILE *fp = umon_fopen_daily(daily.c_str(), "a+");
        ASSERT_NE(fp, nullptr);
        (void)umon_mend_daily(fp, daily.c_str());
        c->fp = fp;
        c->daily = daily;
        shmlog_checkpoint(c, nullptr);
        VSL_NonBlocking(vd, 1);
        EXPECT_EQ(VSL_Dispatch(vd, shmlog_emit_cursor, c), -1);
        if (finish)
            shmlog_checkpoint(c, nullptr);
        std::fclose(fp);
    };
    auto filed = [&] {
        std::string want;
        for (uint32_t k = 0; k < 12; k++)
            want += "rec " + std::to_string(k) + "\n";
        return want;
    };

    {
        VSM_data *vd = restarted(dir_);
        shmlog_ctx c;
        c.vd = vd;
        c.cursor_path = cursor.c_str();
        shmlog_resume(&c); // no cursor yet: new records only
        w.append(5);
        round(vd, &c, false); // killed before the round's end
        VSM_Delete(vd);
    }
    // A kill in the middle of an append, and records published meanwhile.
    {
        FILE *f = std::fopen(daily.c_str(), "a");
        std::fputs("rec 5 hal", f);
        std::fclose(f);
    }
    w.append(4);
    test_util::logged.clear();
    {
        VSM_data *vd = restarted(dir_);
        shmlog_ctx c;
        c.vd = vd;
        c.cursor_path = cursor.c_str();
        shmlog_resume(&c);
        EXPECT_EQ(c.skip, 5u);
        EXPECT_TRUE(test_util::has_line(
            LOG_INFO, "[INFO] Shared-memory log: resuming where the last run left off (5 "
                      "records filed already)"));
        round(vd, &c, true);
        VSM_Delete(vd);
    }
    // Killed right after a finished round: nothing is filed twice.
    w.append(3);
    {
        VSM_data *vd = restarted(dir_);
        shmlog_ctx c;
        c.vd = vd;
        c.cursor_path = cursor.c_str();
        shmlog_resume(&c);
        EXPECT_EQ(c.skip, 0u);
        round(vd, &c, true);
        VSM_Delete(vd);
    }
    EXPECT_EQ(test_util::slurp(daily), filed());

    // Cursors that cannot be used: one warning, new records only.
    for (const char *text : {"", "1 2 3", "1 2 3 4 5 6 /x junk\n"}) {
        test_util::put(cursor, text);
        test_util::logged.clear();
        shmlog_cursor cur;
        EXPECT_EQ(shmlog_cursor_read(cursor.c_str(), &cur), -1) << text;
        EXPECT_EQ(warnings(), 1u) << text;
    }
    EXPECT_EQ(shmlog_lines_after(daily.c_str(), 1 << 20), -1);
    EXPECT_EQ(shmlog_lines_after((dir_ + "/none").c_str(), 0), -1);
    EXPECT_EQ(shmlog_lines_after(daily.c_str(), 0), 12);
}

// Cursors the thread cannot take at face value: none at all (one warning, new
// records only), one naming the previous day's file (what it holds is passed
// over, the rest goes to today's file), one claiming more of its file than is
// there (one warning, and what follows its place is filed once).
TEST_F(Reader, UnusualCursorsFileEveryRecordOnce)
{
    Writer w(dir_, "64k,4k,-");
    std::string day1 = dir_ + "/stat_1.log", day2 = dir_ + "/stat_2.log", cursor = dir_ + "/cursor";
    auto run = [&](const std::string &daily, uint32_t before, bool finish) {
        VSM_data *vd = restarted(dir_);
        shmlog_ctx c;
        c.vd = vd;
        c.cursor_path = cursor.c_str();
        test_util::logged.clear();
        shmlog_resume(&c);
        size_t warned = warnings();
        w.append(before);
        FILE *fp = umon_fopen_daily(daily.c_str(), "a+");
        EXPECT_NE(fp, nullptr);
        c.fp = fp;
        c.daily = daily;
        shmlog_checkpoint(&c, nullptr);
        VSL_NonBlocking(vd, 1);
        EXPECT_EQ(VSL_Dispatch(vd, shmlog_emit_cursor, &c), -1);
        if (finish)
            shmlog_checkpoint(&c, nullptr);
        std::fclose(fp);
        VSM_Delete(vd);
        return warned;
    };
    auto lines = [](uint32_t from, uint32_t to) {
        std::string t;
        for (uint32_t k = from; k < to; k++)
            t += "rec " + std::to_string(k) + "\n";
        return t;
    };

    EXPECT_EQ(run(day1, 4, false), 1u); // no cursor; killed before the round's end
    w.append(3);                        // published while nobody reads
    EXPECT_EQ(run(day2, 0, true), 0u);  // the next day
    EXPECT_EQ(test_util::slurp(day1), lines(0, 4));
    EXPECT_EQ(test_util::slurp(day2), lines(4, 7));

    shmlog_cursor cur;
    ASSERT_EQ(shmlog_cursor_read(cursor.c_str(), &cur), 0);
    EXPECT_EQ(cur.daily, day2);
    cur.size += 1000;
    ASSERT_EQ(shmlog_cursor_write(cursor.c_str(), cur), 0);
    w.append(2);
    EXPECT_EQ(run(day2, 0, true), 1u);
    EXPECT_EQ(test_util::slurp(day2), lines(4, 9));
}

TEST_F(Reader, ChunkWalkStopsWhenTheListChanges)
{
    Writer w(dir_, "4k,64k,-");
    ASSERT_EQ(VSM_Open(vd_, 1), 0) << diag_text;
    const VSM_chunk *c = VSM_iter0(vd_);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->class_, "Log");
    w.alloc();
    EXPECT_EQ(VSM_itern(vd_, c), nullptr);
    // A fresh walk sees the new segment.
    EXPECT_NE(VSM_find_alloc(vd_, "Stat", nullptr, nullptr), nullptr);
    EXPECT_EQ(VSM_find_alloc(vd_, "Stat", "x", nullptr), nullptr);
    EXPECT_NE(VSM_find_alloc(vd_, "Log", "", ""), nullptr);
    int n = 0;
    for (const VSM_chunk *i = VSM_iter0(vd_); i != nullptr; i = VSM_itern(vd_, i))
        n++;
    EXPECT_EQ(n, 4); // the log, its record count, the new segment, what is free
}

TEST_F(Reader, RefusesFilesThatAreNotLogs)
{
    auto expect_refused = [&](const std::string &text) {
        diag_text.clear();
        EXPECT_EQ(VSM_Open(vd_, 1), 1);
        EXPECT_EQ(diag_text, text);
        EXPECT_EQ(vd_->vsm_fd, -1);
        EXPECT_EQ(vd_->VSM_head, nullptr);
    };
    expect_refused("Cannot open " + file_ + ": No such file or directory\n");

    ASSERT_EQ(mkdir(file_.c_str(), 0755), 0);
    expect_refused(file_ + " is not a regular file\n");
    ASSERT_EQ(rmdir(file_.c_str()), 0);
    // A FIFO with no writer must not hang the open.
    ASSERT_EQ(mkfifo(file_.c_str(), 0644), 0);
    expect_refused(file_ + " is not a regular file\n");
    ASSERT_EQ(unlink(file_.c_str()), 0);

    auto put = [&](const void *data, size_t len) {
        int fd = open(file_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, data, len), static_cast<ssize_t>(len));
        ASSERT_EQ(ftruncate(fd, 8192), 0);
        close(fd);
    };
    VSM_head h = {};
    h.magic = VSM_HEAD_MAGIC;
    h.hdr_size = sizeof h;
    h.shm_size = 8192;
    {
        int fd = open(file_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_EQ(write(fd, &h, 50), 50);
        close(fd);
    }
    expect_refused("Cannot read " + file_ + ": " + strerror(ENODATA) + "\n");

    VSM_head bad = h;
    bad.magic = 0x12345678;
    put(&bad, sizeof bad);
    expect_refused("Wrong magic number in file " + file_ + "\n");

    // Right magic, but alloc_seq never becomes non-zero.
    put(&h, sizeof h);
    double t0 = VTIM_mono();
    expect_refused("File not initialized " + file_ + "\n");
    EXPECT_GE(VTIM_mono() - t0, 0.9);

    // A header promising more than the file holds.
    VSM_head big = h;
    big.alloc_seq = 1;
    big.shm_size = 1 << 20;
    put(&big, sizeof big);
    expect_refused("File " + file_ + " is shorter than its header says\n");
}

TEST(ReaderNames, InstanceNames)
{
    char *name, *dir, *file;
    ASSERT_EQ(VIN_N_Arg("/srv/x", &name, &dir, &file), 0);
    EXPECT_STREQ(name, "/srv/x");
    EXPECT_STREQ(dir, "/srv/x/");
    EXPECT_STREQ(file, "/srv/x/_.vsm");
    free(name), free(dir), free(file);
    ASSERT_EQ(VIN_N_Arg("edge1", nullptr, nullptr, &file), 0);
    EXPECT_STREQ(file, "/var/velkarn-server/veld/edge1/_.vsm");
    free(file);
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    ASSERT_EQ(VIN_N_Arg(nullptr, &name, nullptr, nullptr), 0);
    EXPECT_STREQ(name, host);
    free(name);

    std::string longname = "/" + std::string(4090, 'a');
    errno = 0;
    EXPECT_EQ(VIN_N_Arg(longname.c_str(), nullptr, nullptr, &file), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

    VSM_data *vd = VSM_New();
    VSM_Diag(vd, diag_capture, nullptr);
    diag_text.clear();
    EXPECT_EQ(VSM_n_Arg(vd, longname.c_str()), -1);
    EXPECT_EQ(diag_text, std::string("Invalid instance name: ") + strerror(ENAMETOOLONG) + "\n");
    // The default file.
    EXPECT_EQ(VSM_Open(vd, 0), 1);
    EXPECT_STREQ(vd->fname, "/var/velkarn-server/veld/_.vsm");
    VSM_Delete(vd);
}

std::string printed(unsigned tag, unsigned id, const std::string &payload)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    EXPECT_EQ(VSL_H_Print(f, tag, id, static_cast<unsigned>(payload.size()), 0, payload.data(), 0),
              0);
    fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

TEST(ReaderPrint, RecordLines)
{
    EXPECT_EQ(printed(2, 0, "abc"), "    0 TrafficUsage - abc\n");
    EXPECT_EQ(printed(1, 123456, "e"), "123456 Error        - e\n");
    EXPECT_EQ(printed(9, 7, "x y"), "    7              - x y\n");
    // Debug payloads are quoted and their unprintable bytes escaped.
    EXPECT_EQ(printed(0, 42, std::string("a\"\x01\x1f \x7f~\x80\xff", 9)),
              "   42 Debug        - \"a\"%01%1f %7f~%80%ff\"\n");
    // Not NUL-terminated: only len bytes are printed.
    EXPECT_EQ(printed(2, 1, std::string("ab\0cd", 2)), "    1 TrafficUsage - ab\n");
}

} // namespace

// A writer that laps the reader: the reader says in one line how many records
// it lost, goes on with what is still there and hands nothing over twice.
TEST_F(Reader, OvertakenReaderCountsWhatItLost)
{
    struct {
        const char *what;
        uint32_t more; // records written while the reader waits
    } cases[] = {
        // "rec N" records are all 16 bytes from N = 10 on, so the reader's
        // place is a record boundary in every cycle.
        {"one wrap past the reader", 300},
        {"several wraps", 1000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        test_util::logged.clear();
        VSM_Delete(vd_);
        vd_ = VSM_New();
        ASSERT_EQ(VSM_n_Arg(vd_, dir_.c_str()), 1);
        VSL_Setup(vd_);
        Writer w(dir_, "4k,4k,-");
        ASSERT_EQ(VSL_Open(vd_, 1), 0) << diag_text;
        w.append(20);
        ASSERT_EQ(drain(), recs(0, 20));
        w.append(c.more);
        auto got = drain();
        ASSERT_FALSE(got.empty());
        // What arrives is a run of consecutive records ending with the last.
        uint32_t last = 20 + c.more;
        uint32_t first = last - static_cast<uint32_t>(got.size());
        EXPECT_EQ(got, recs(first, last));
        std::string want = "records were lost";
        std::string line;
        for (const auto &[prio, l] : test_util::logged)
            if (l.find(want) != std::string::npos)
                line = l;
        EXPECT_NE(line.find("; " + std::to_string(first - 20) + " records were lost"),
                  std::string::npos)
            << line;
        EXPECT_EQ(warnings(), 1u);
        // Reading goes on normally.
        w.append(3);
        EXPECT_EQ(drain(), recs(last, last + 3));
    }
}
