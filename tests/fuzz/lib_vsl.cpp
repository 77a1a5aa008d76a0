// The log reader walking a damaged file image. The log payload comes from the
// input, then a script of reads, writer steps (any word written anywhere, a
// record header published, the writer's wrap) and resumes at stored places. Every call returns,
// records handed out lie inside the log, and while seq stays the same no record (a position with
// the same word 0 write) is handed out twice.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "vas.h"
#include "vlog.h"
#include "vsl.h"
#include "vsm.h"

namespace
{

constexpr uint32_t FILE_SIZE = 8192;
constexpr uint32_t LOG_OFF = VSM_HEAD_OFFSET + VSM_CHUNK_SIZE; // the seq word
constexpr uint32_t LOG_WORDS = (FILE_SIZE - LOG_OFF) / 4;
constexpr unsigned READ_BATCH = 32;

uint8_t *image;
std::string dir;

void quiet(int, const char *) {}
int quiet_diag(void *, const char *, ...)
{
    return 0;
}

struct input {
    const uint8_t *p;
    size_t left;
    uint32_t take(unsigned bytes)
    {
        uint32_t v = 0;
        for (unsigned i = 0; i < bytes && left > 0; i++, left--)
            v = v << 8 | *p++;
        return v;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    VLOG_SetSink(quiet);
    char tmpl[] = "/tmp/fuzz_vsl.XXXXXX";
    AN(mkdtemp(tmpl));
    dir = tmpl;
    std::string file = dir + "/_.vsm";
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    VAS_ASSERT(fd >= 0);
    AZ(ftruncate(fd, FILE_SIZE));
    void *m = mmap(nullptr, FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    VAS_ASSERT(m != MAP_FAILED);
    image = static_cast<uint8_t *>(m);
    VSM_head *h = reinterpret_cast<VSM_head *>(image);
    h->magic = VSM_HEAD_MAGIC;
    h->hdr_size = VSM_HEAD_SIZE;
    h->shm_size = FILE_SIZE;
    h->alloc_seq = 1;
    h->head.magic = VSM_CHUNK_MAGIC;
    h->head.len = FILE_SIZE - VSM_HEAD_OFFSET;
    std::strcpy(h->head.class_, VSM_CLASS_LOG);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint32_t *words = reinterpret_cast<uint32_t *>(image + LOG_OFF);
    input in{data, size};
    // The image: seq and the ring as given, the rest zero (as veld's fill).
    size_t img = in.take(2) % (LOG_WORDS * 4 + 1);
    if (img > in.left)
        img = in.left;
    std::memset(words, 0, LOG_WORDS * 4);
    std::memcpy(words, in.p, img);
    in.p += img;
    in.left -= img;

    std::vector<uint32_t> stamp(LOG_WORDS, 0); // which write put each word there
    uint32_t writes = 0;
    bool seq_moved = false;
    std::set<uint64_t> seen;

    VSM_data *vd = VSM_New();
    VSM_Diag(vd, quiet_diag, nullptr);
    VAS_ASSERT(VSM_n_Arg(vd, dir.c_str()) == 1);
    VSL_Setup(vd);
    AZ(VSL_Open(vd, 0));
    VSL_NonBlocking(vd, 1);

    auto read_some = [&] {
        for (unsigned i = 0; i < READ_BATCH; i++) {
            const uint32_t *p;
            int r = VSL_NextLog(vd, &p, nullptr);
            if (r != 1) {
                VAS_ASSERT(r == -1);
                return;
            }
            // p points into the reader's own mapping of the file.
            size_t off = static_cast<size_t>(p - vd->vsl->log_start);
            VAS_ASSERT(off >= 1 && off < LOG_WORDS);
            uint32_t w0 = p[0];
            VAS_ASSERT(off + VSL_BYTES(VSL_LEN(w0)) / 4 < LOG_WORDS);
            if (!seq_moved)
                VAS_ASSERT(seen.insert(static_cast<uint64_t>(off) << 32 | stamp[off]).second);
        }
    };
    auto put = [&](uint32_t off, uint32_t value) {
        off %= LOG_WORDS;
        __atomic_store_n(&words[off], value, __ATOMIC_RELEASE);
        stamp[off] = ++writes;
        if (off == 0)
            seq_moved = true;
    };

    while (in.left > 0) {
        switch (in.take(1) % 5) {
        case 0:
            read_some();
            break;
        case 1: { // any word
            uint32_t off = in.take(2);
            put(off, in.take(4));
            break;
        }
        case 2: { // a record header veld could write
            uint32_t off = in.take(2);
            put(off, 2u << 24 | in.take(2));
            break;
        }
        case 3: { // the writer's wrap, its wrap marker where it stood
            uint32_t at = in.take(2) % LOG_WORDS;
            put(1, VSL_ENDMARKER);
            uint32_t seq = words[0] + 1;
            put(0, seq == 0 ? 1 : seq);
            if (at > 1)
                put(at, VSL_WRAPMARKER);
            break;
        }
        case 4: { // a restart resuming at a stored place, of this file or not
            uint32_t how = in.take(1);
            vsl_pos pos;
            AZ(VSL_Position(vd, &pos));
            if (how & 1)
                pos.seq = in.take(4);
            else if (how & 2)
                pos.seq = words[0] - 1;
            pos.off = in.take(2);
            if (how & 4)
                pos.alloc_seq ^= 1;
            vsl_resume r = VSL_Resume(vd, &pos);
            VAS_ASSERT(r >= vsl_resume::same_cycle && r <= vsl_resume::invalid);
            // A resume may rightly hand over again what this reader saw.
            seq_moved = true;
            break;
        }
        }
    }
    read_some();
    VSM_Delete(vd);
    return 0;
}
