// Following the log ring of veld's shared-memory file.
//
// The writer publishes a record by storing its first word last, after an end
// marker behind it; on a wrap it resets the first position and changes seq
// before it writes the wrap marker. So a reader that reads word 0 first never
// sees a half-written record, and an end marker seen under an old seq means
// the writer has moved on to a new cycle. Within one cycle the reader only
// ever moves forward, so no record is handed over twice; words the writer
// cannot have written are waited at, never stepped over (see vsl.h).

#include "vsl.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"
#include "vtim.h"

const char *VSL_tags[256] = {"Debug", "Error", "TrafficUsage"};

// A scan to the end that keeps being overtaken by the writer gives up after
// this many passes and waits for the writer's next cycle.
static constexpr unsigned VSL_SKIP_PASSES = 10;

static struct vsl *vsl_of(VSM_data *vd)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    struct vsl *vsl = vd->vsl;
    CHECK_OBJ_NOTNULL(vsl, VSL_MAGIC);
    return vsl;
}

static void vsl_release(VSM_data *vd)
{
    struct vsl *vsl = vsl_of(vd);
    vsl->magic = 0;
    free(vsl);
    vd->vsl = nullptr;
    vd->follower = nullptr;
}

// How the handle tells its follower about the file.
static const vsm_follower_ops vsl_follower = {VSL_Open_CallBack, VSL_Unbind, vsl_release};

void VSL_Setup(VSM_data *vd)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    VAS_ASSERT(vd->vsc == nullptr);
    VAS_ASSERT(vd->vsl == nullptr);
    struct vsl *vsl = static_cast<struct vsl *>(calloc(1, sizeof *vsl));
    AN(vsl);
    vsl->magic = VSL_MAGIC;
    vd->vsl = vsl;
    vd->follower = &vsl_follower;
}

void VSL_Open_CallBack(VSM_data *vd)
{
    struct vsl *vsl = vsl_of(vd);
    const VSM_chunk *c = VSM_find_alloc(vd, VSM_CLASS_LOG, "", "");
    AN(c);
    // veld sizes every chunk in whole words; the log ends at its last whole word.
    VAS_ASSERT(reinterpret_cast<uintptr_t>(VSM_PTR(c)) % 4 == 0);
    VAS_ASSERT(c->len > VSM_CHUNK_SIZE + 4);
    vsl->log_start = reinterpret_cast<const uint32_t *>(VSM_PTR(c));
    vsl->log_end = vsl->log_start + (c->len - VSM_CHUNK_SIZE) / 4;
    VAS_ASSERT(vsl->log_end > vsl->log_start + 1);
    VAS_ASSERT(reinterpret_cast<const uint8_t *>(vsl->log_end) <= vd->vsm_end);
    vsl->log_ptr = vsl->log_start + 1;
    vsl->last_seq = vsm_load(vsl->log_start);
    vsl->lost = false;
    vsl->damaged = nullptr;
    const VSM_chunk *cc = VSM_find_alloc(vd, VSM_CLASS_LOGCNT, "", "");
    vsl->cnt = cc != nullptr && cc->len >= VSM_CHUNK_SIZE + VSL_CNT_WORDS * 4
                   ? reinterpret_cast<const uint32_t *>(VSM_PTR(cc))
                   : nullptr;
    vsl->no_known = false;
    vsl->overtaken = false;
    vsm_load_fence();
}

void VSL_Unbind(VSM_data *vd)
{
    struct vsl *vsl = vsl_of(vd);
    vsl->log_start = vsl->log_end = vsl->log_ptr = nullptr;
    vsl->cnt = nullptr;
    vsl->no_known = false;
    vsl->overtaken = false;
    vsl->last_seq = 0;
    vsl->lost = false;
    vsl->damaged = nullptr;
}

// Next record position after the one at p, or null when word 0 cannot start a
// record: bits 23-16 set, or a length that runs into the log's last word,
// which the writer always keeps free for a marker. Only torn, stale or
// damaged data looks like that.
static const uint32_t *vsl_after(const struct vsl *vsl, const uint32_t *p, uint32_t w0)
{
    if ((w0 & 0x00ff0000u) != 0)
        return nullptr;
    size_t words = VSL_BYTES(VSL_LEN(w0)) / 4;
    if (words >= static_cast<size_t>(vsl->log_end - p))
        return nullptr;
    return p + words;
}

// How many records the writer had written before the first record of cycle
// seq; false when the file has no count or it belongs to another cycle.
static bool vsl_cycle_base(const struct vsl *vsl, uint32_t seq, uint64_t *base)
{
    if (vsl->cnt == nullptr || seq == 0)
        return false;
    for (int i = 0; i < 3; i++) {
        uint32_t s1 = vsm_load(&vsl->cnt[VSL_CNT_SEQ]);
        vsm_load_fence();
        uint64_t lo = vsm_load(&vsl->cnt[VSL_CNT_LO]);
        uint64_t hi = vsm_load(&vsl->cnt[VSL_CNT_HI]);
        vsm_load_fence();
        uint32_t s2 = vsm_load(&vsl->cnt[VSL_CNT_SEQ]);
        if (s1 == s2 && s1 == seq) {
            *base = hi << 32 | lo;
            return true;
        }
        if (s1 == s2 && s1 != 0)
            return false; // another cycle by now
    }
    return false;
}

// The follower stands at record k of cycle seq (k counted from its first).
static void vsl_number(struct vsl *vsl, uint32_t seq, uint64_t k)
{
    uint64_t base;
    vsl->no_known = vsl_cycle_base(vsl, seq, &base);
    if (vsl->no_known)
        vsl->next_no = base + k;
}

// About to hand over the first record of cycle seq: whatever lies between
// the last record handed over and it was overwritten before it was read.
// Says so in one line, with the number when the writer's count tells it.
static void vsl_cycle_start(struct vsl *vsl, uint32_t seq)
{
    uint64_t base;
    bool known = vsl_cycle_base(vsl, seq, &base);
    if (known && vsl->no_known && base > vsl->next_no) {
        uint64_t n = base - vsl->next_no;
        vsl->n_lost += n;
        if (vsl->overtaken)
            VLOG("[WARN] Shared-memory log: the writer overtook the reader at offset %zu; %ju "
                 "records were lost",
                 vsl->overtaken_off, static_cast<uintmax_t>(n));
        else
            VLOG("[WARN] Shared-memory log: %ju records were lost (overwritten before they were "
                 "read)",
                 static_cast<uintmax_t>(n));
    } else if (vsl->overtaken) {
        VLOG("[WARN] Shared-memory log: the writer overtook the reader at offset %zu; records "
             "were lost",
             vsl->overtaken_off);
    }
    vsl->overtaken = false;
    vsl->no_known = known;
    if (known)
        vsl->next_no = base;
}

// Cycles between two values of seq, which skips 0.
static uint32_t vsl_seq_diff(uint32_t now, uint32_t then)
{
    uint32_t d = now - then;
    return now < then ? d - 1 : d;
}

static void vsl_overtaken(struct vsl *vsl)
{
    vsl->overtaken = true;
    vsl->overtaken_off = static_cast<size_t>(vsl->log_ptr - vsl->log_start) * 4;
}

// The end of the current cycle, found by one scan from its first record, with
// the number of records before it; null when the scan met damage or the
// writer wrapped during it.
static const uint32_t *vsl_cycle_end(struct vsl *vsl, uint32_t seq, uint64_t *records = nullptr)
{
    const uint32_t *p = vsl->log_start + 1;
    uint64_t k = 0;
    for (;;) {
        uint32_t w = vsm_load(p);
        if (w == VSL_ENDMARKER)
            break;
        const uint32_t *n = w == VSL_WRAPMARKER ? nullptr : vsl_after(vsl, p, w);
        if (n == nullptr)
            return nullptr;
        p = n;
        k++;
    }
    vsm_load_fence();
    if (records != nullptr)
        *records = k;
    return vsm_load(vsl->log_start) == seq ? p : nullptr;
}

// At an end marker after the writer's wrap into cycle seq: normally the end
// of the old cycle, where the wrap marker is about to be. But when it is the
// writer's current end in the new cycle, the writer passed this position
// earlier and the records read since were the new cycle's: the follower is
// in that cycle now and must not read its start again. True in that case,
// after counting what was skipped.
static bool vsl_caught_up(struct vsl *vsl, uint32_t seq)
{
    uint64_t base;
    // Every record of the old cycle read: the ordinary wrap.
    if (vsl->no_known && vsl_cycle_base(vsl, seq, &base) && base == vsl->next_no)
        return false;
    uint64_t k = 0;
    if (vsl_cycle_end(vsl, seq, &k) != vsl->log_ptr)
        return false;
    if (vsl_cycle_base(vsl, seq, &base) && vsl->no_known && base + k > vsl->next_no) {
        uint64_t n = base + k - vsl->next_no;
        vsl->n_lost += n;
        VLOG("[WARN] Shared-memory log: the writer overtook the reader at offset %zu; %ju "
             "records were lost",
             static_cast<size_t>(vsl->log_ptr - vsl->log_start) * 4, static_cast<uintmax_t>(n));
    } else {
        VLOG("[WARN] Shared-memory log: the writer overtook the reader at offset %zu; records "
             "were lost",
             static_cast<size_t>(vsl->log_ptr - vsl->log_start) * 4);
    }
    vsl->last_seq = seq;
    vsl_number(vsl, seq, k);
    return true;
}

// Note the position as damaged: the follower stays at it without delivering
// anything until the word changes or the writer wraps. One warning per
// position, at most one per interval.
static void vsl_damaged(struct vsl *vsl, uint32_t seq, const char *why)
{
    vsl->last_seq = seq;
    if (vsl->damaged == vsl->log_ptr)
        return;
    vsl->damaged = vsl->log_ptr;
    double now = VTIM_mono();
    if (vsl->warned != 0 && now - vsl->warned < VSL_WARN_INTERVAL) {
        vsl->unwarned++;
        return;
    }
    size_t off = static_cast<size_t>(vsl->log_ptr - vsl->log_start) * 4;
    VLOG("[WARN] Shared-memory log: %s at offset %zu; records behind it are skipped until "
         "the writer replaces it or wraps (%u more since the last warning)",
         why, off, vsl->unwarned);
    vsl->warned = now;
    vsl->unwarned = 0;
}

static void vsl_skip_to_end(struct vsl *vsl)
{
    const uint32_t *first = vsl->log_start + 1;
    for (unsigned pass = 0; pass < VSL_SKIP_PASSES; pass++) {
        uint32_t seq = vsm_load(vsl->log_start);
        vsm_load_fence();
        const uint32_t *p = first;
        bool broken = false;
        uint64_t k = 0;
        for (;;) {
            uint32_t w = vsm_load(p);
            if (w == VSL_ENDMARKER)
                break;
            // The writer changes seq before it writes a wrap marker, so one
            // met under an unchanged seq is as broken as a bad length.
            const uint32_t *n = w == VSL_WRAPMARKER ? nullptr : vsl_after(vsl, p, w);
            if (n == nullptr) {
                broken = true;
                break;
            }
            p = n;
            k++;
        }
        vsm_load_fence();
        if (vsm_load(vsl->log_start) != seq)
            continue; // the writer wrapped during the scan: scan again
        vsl->log_ptr = p;
        vsl->lost = false;
        vsl->damaged = nullptr;
        vsl->last_seq = seq;
        vsl->overtaken = false;
        if (broken)
            vsl->no_known = false;
        else
            vsl_number(vsl, seq, k);
        if (broken)
            vsl_damaged(vsl, seq, "damaged record");
        return;
    }
    // Every pass was overtaken. Starting at the first record would hand over
    // records published before the open, so wait for a cycle that begins
    // after it.
    vsl->log_ptr = first;
    vsl->damaged = nullptr;
    vsl->last_seq = vsm_load(vsl->log_start);
    vsl->lost = true;
    vsl->no_known = false;
    VLOG("[WARN] Shared-memory log: the writer wrapped during every scan for the end; "
         "reading starts with its next cycle");
}

int VSL_Open(VSM_data *vd, int diag)
{
    struct vsl *vsl = vsl_of(vd);
    if (vd->VSM_head == nullptr) {
        int r = VSM_Open(vd, diag);
        if (r != 0)
            return r;
    } else if (vsl->log_start == nullptr) {
        VSL_Open_CallBack(vd);
    }
    vsl_skip_to_end(vsl);
    return 0;
}

int VSL_Position(VSM_data *vd, vsl_pos *pos)
{
    struct vsl *vsl = vsl_of(vd);
    AN(pos);
    if (vsl->log_start == nullptr || vd->VSM_head == nullptr)
        return -1;
    pos->dev = static_cast<uint64_t>(vd->fstat.st_dev);
    pos->ino = static_cast<uint64_t>(vd->fstat.st_ino);
    pos->alloc_seq = vsm_load(&vd->VSM_head->alloc_seq);
    pos->seq = vsl->last_seq;
    pos->off = vsl->lost ? 0 : static_cast<uint32_t>(vsl->log_ptr - vsl->log_start);
    return 0;
}

// Whether target is a record position of the current cycle (or its end),
// found by walking the cycle from its first record.
static bool vsl_on_chain(struct vsl *vsl, const uint32_t *target, uint32_t seq)
{
    const uint32_t *p = vsl->log_start + 1;
    while (p < target) {
        uint32_t w = vsm_load(p);
        if (w == VSL_ENDMARKER || w == VSL_WRAPMARKER)
            return false;
        const uint32_t *n = vsl_after(vsl, p, w);
        if (n == nullptr)
            return false;
        p = n;
    }
    vsm_load_fence();
    return p == target && vsm_load(vsl->log_start) == seq;
}

vsl_resume VSL_Resume(VSM_data *vd, const vsl_pos *pos)
{
    struct vsl *vsl = vsl_of(vd);
    AN(pos);
    if (vsl->log_start == nullptr || vd->VSM_head == nullptr)
        return vsl_resume::invalid;
    const uint32_t *first = vsl->log_start + 1;
    uint32_t seq = vsm_load(vsl->log_start);
    vsm_load_fence();
    if (pos->dev != static_cast<uint64_t>(vd->fstat.st_dev) ||
        pos->ino != static_cast<uint64_t>(vd->fstat.st_ino) ||
        pos->alloc_seq != vsm_load(&vd->VSM_head->alloc_seq)) {
        // A file we have not read yet: all of it is new to us.
        vsl->log_ptr = first;
        vsl->last_seq = seq;
        vsl->lost = false;
        vsl->damaged = nullptr;
        vsl->overtaken = false;
        vsl->no_known = false; // the first record sets it
        return vsl_resume::new_file;
    }
    if (pos->seq == 0 || pos->off >= static_cast<uint32_t>(vsl->log_end - vsl->log_start))
        return vsl_resume::invalid;
    if (seq == pos->seq) {
        if (pos->off > 0 && !vsl_on_chain(vsl, vsl->log_start + pos->off, seq))
            return vsl_resume::invalid;
        vsl->last_seq = seq;
        vsl->damaged = nullptr;
        vsl->lost = pos->off == 0;
        vsl->log_ptr = pos->off == 0 ? first : vsl->log_start + pos->off;
        vsl->overtaken = false;
        vsl->no_known = false; // counted from the next cycle on
        return vsl_resume::same_cycle;
    }
    // The writer has wrapped since. After exactly one wrap the rest of the
    // old cycle is still there when the new one ends before the position.
    uint32_t next = pos->seq + 1 == 0 ? 1 : pos->seq + 1;
    const uint32_t *end = vsl_cycle_end(vsl, seq);
    if (seq == next && pos->off > 0 && end != nullptr && end <= vsl->log_start + pos->off) {
        vsl->last_seq = pos->seq;
        vsl->lost = false;
        vsl->damaged = nullptr;
        vsl->log_ptr = vsl->log_start + pos->off;
        vsl->overtaken = false;
        vsl->no_known = false;
        return vsl_resume::after_wrap;
    }
    vsl->damaged = nullptr;
    vsl->log_ptr = first;
    vsl->last_seq = seq;
    vsl->lost = false;
    vsl->overtaken = false;
    vsl->no_known = false;
    return vsl_resume::wrapped_past;
}

void VSL_NonBlocking(VSM_data *vd, int on)
{
    struct vsl *vsl = vsl_of(vd);
    if (on)
        vsl->flags |= VSL_F_NONBLOCK;
    else
        vsl->flags &= ~VSL_F_NONBLOCK;
}

static int vsl_nextlog(VSM_data *vd, struct vsl *vsl, const uint32_t **pp)
{
    unsigned slept = 0;
    while (slept < VSL_IDLE_USEC) {
        if (vsl->log_start == nullptr) {
            // A failed re-open left the handle closed: keep trying the file,
            // never the old pointers.
            if (vd->VSM_head == nullptr && vsm_open(vd, 0) == 0)
                continue;
        } else if (vsl->lost) {
            // No position yet: the next cycle is read from its start.
            uint32_t seq = vsm_load(vsl->log_start);
            vsm_load_fence();
            if (seq != vsl->last_seq) {
                vsl->lost = false;
                vsl->log_ptr = vsl->log_start + 1;
                continue;
            }
        } else {
            const uint32_t *first = vsl->log_start + 1;
            uint32_t w = vsm_load(vsl->log_ptr);
            vsm_load_fence(); // seq and the rest of the record only after word 0
            uint32_t seq = vsm_load(vsl->log_start);
            if (vsl->damaged == vsl->log_ptr && seq != vsl->last_seq) {
                // The cycle we waited in is over; what lies here now may
                // already belong to the new one, which is read from its start.
                vsl->damaged = nullptr;
                vsl->log_ptr = first;
                vsm_load_fence();
                continue;
            }
            if (w == VSL_WRAPMARKER) {
                // The writer changes seq before it writes a wrap marker, and
                // never writes one at the first position.
                if (vsl->log_ptr != first && seq != vsl->last_seq) {
                    vsl->log_ptr = first;
                    vsm_load_fence();
                    continue;
                }
                vsl_damaged(vsl, seq, "misplaced wrap marker");
            } else if (w == VSL_ENDMARKER) {
                if (vsl->log_ptr != first && seq != vsl->last_seq) {
                    if (vsl_seq_diff(seq, vsl->last_seq) == 1 && vsl_caught_up(vsl, seq))
                        continue;
                    if (vsl_seq_diff(seq, vsl->last_seq) > 1)
                        vsl_overtaken(vsl);
                    vsl->log_ptr = first;
                    vsm_load_fence();
                    continue;
                }
            } else {
                if (vsl->log_ptr != first && vsl_seq_diff(seq, vsl->last_seq) > 1) {
                    // The writer has been round the ring since this cycle:
                    // whatever lies here now is not the record we wait for.
                    vsl_overtaken(vsl);
                    vsl->log_ptr = first;
                    vsm_load_fence();
                    continue;
                }
                if (vsl->log_ptr == first)
                    vsl->last_seq = seq;
                const uint32_t *n = vsl_after(vsl, vsl->log_ptr, w);
                if (n != nullptr) {
                    if (vsl->log_ptr == first)
                        vsl_cycle_start(vsl, seq);
                    *pp = vsl->log_ptr;
                    vsl->log_ptr = n;
                    vsl->damaged = nullptr;
                    vsl->next_no++;
                    return 1;
                }
                if (seq != vsl->last_seq) {
                    // Overwritten under our feet: the cycle read so far is
                    // gone, the current one is new to us from its start. The
                    // line waits for its first record, which tells how many
                    // records were lost.
                    vsl_overtaken(vsl);
                    vsl->log_ptr = first;
                    vsm_load_fence();
                    continue;
                }
                // Damaged in the cycle being read: going back to its start
                // would hand over everything again, stepping over it would
                // read garbage.
                vsl_damaged(vsl, seq, "damaged record");
            }
        }
        // Nothing to deliver now.
        if (vsl->flags & VSL_F_NONBLOCK)
            return -1;
        (void)usleep(VSL_POLL_USEC);
        slept += VSL_POLL_USEC;
    }
    return 0;
}

int VSL_NextLog(VSM_data *vd, const uint32_t **pp, uint64_t *bitmap)
{
    struct vsl *vsl = vsl_of(vd);
    AN(pp);
    if (bitmap != nullptr)
        *bitmap = 0;
    return vsl_nextlog(vd, vsl, pp);
}

int VSL_Dispatch(VSM_data *vd, vsl_handler *func, void *priv)
{
    AN(func);
    for (;;) {
        const uint32_t *p;
        uint64_t bitmap;
        int r = VSL_NextLog(vd, &p, &bitmap);
        if (r == 0) {
            if (VSM_ReOpen(vd, 0) == 1)
                continue;
            return 0;
        }
        if (r != 1)
            return r;
        uint32_t w = vsm_load(p);
        uint32_t id = vsm_load(p + 1);
        if (func(priv, VSL_TAG(w), id, VSL_LEN(w), 0, reinterpret_cast<const char *>(p + 2), 0))
            return 1;
    }
}

int VSL_H_Print(void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec, const char *ptr,
                uint64_t bitmap)
{
    (void)spec;
    (void)bitmap;
    FILE *fo = static_cast<FILE *>(priv);
    AN(fo);
    const char *name = VSL_tags[tag & 0xff] != nullptr ? VSL_tags[tag & 0xff] : "";
    if (tag == 0) {
        fprintf(fo, "%5u %-12s %c \"", id, name, '-');
        for (unsigned i = 0; i < len; i++) {
            unsigned char c = static_cast<unsigned char>(ptr[i]);
            if (c < 0x20 || c >= 0x7f)
                fprintf(fo, "%%%02x", c);
            else
                fputc(c, fo);
        }
        fputs("\"\n", fo);
    } else {
        fprintf(fo, "%5u %-12s %c %.*s\n", id, name, '-', static_cast<int>(len), ptr);
    }
    return 0;
}
