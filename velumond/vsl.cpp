// Following the log ring of veld's shared-memory file.
//
// The writer publishes a record by storing its first word last, after an end
// marker behind it; on a wrap it resets the first position and changes seq
// before it writes the wrap marker. So a reader that reads word 0 first never
// sees a half-written record, and an end marker seen under an old seq means
// the writer has moved on to a new cycle.

#include "vsl.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "vas.h"

const char *VSL_tags[256] = {"Debug", "Error", "TrafficUsage"};

// A scan to the end that keeps being overtaken by the writer gives up after
// this many passes and starts at the first record of the current cycle.
static constexpr unsigned VSL_SKIP_PASSES = 10;

static struct vsl *vsl_of(VSM_data *vd)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    struct vsl *vsl = vd->vsl;
    CHECK_OBJ_NOTNULL(vsl, VSL_MAGIC);
    return vsl;
}

void VSL_Setup(VSM_data *vd)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    VAS_ASSERT(vd->vsc == nullptr);
    VAS_ASSERT(vd->vsl == nullptr);
    struct vsl *vsl = static_cast<struct vsl *>(calloc(1, sizeof *vsl));
    AN(vsl);
    vsl->magic = VSL_MAGIC;
    vd->vsl = vsl;
}

void VSL_Open_CallBack(VSM_data *vd)
{
    struct vsl *vsl = vsl_of(vd);
    const VSM_chunk *c = VSM_find_alloc(vd, VSM_CLASS_LOG, "", "");
    AN(c);
    vsl->log_start = reinterpret_cast<const uint32_t *>(VSM_PTR(c));
    vsl->log_end =
        reinterpret_cast<const uint32_t *>(reinterpret_cast<const uint8_t *>(c) + c->len);
    VAS_ASSERT(vsl->log_end > vsl->log_start + 1);
    VAS_ASSERT(reinterpret_cast<const uint8_t *>(vsl->log_end) <= vd->vsm_end);
    vsl->log_ptr = vsl->log_start + 1;
    vsl->last_seq = vsm_load(vsl->log_start);
    vsm_load_fence();
}

void VSL_Unbind(VSM_data *vd)
{
    struct vsl *vsl = vsl_of(vd);
    vsl->log_start = vsl->log_end = vsl->log_ptr = nullptr;
    vsl->last_seq = 0;
}

// Next record position after the one at p, or null when its length would
// carry it past the ring: only torn or stale data looks like that.
static const uint32_t *vsl_after(const struct vsl *vsl, const uint32_t *p, uint32_t w0)
{
    const uint32_t *n = p + VSL_BYTES(VSL_LEN(w0)) / 4;
    return n < vsl->log_end ? n : nullptr;
}

static void vsl_skip_to_end(struct vsl *vsl)
{
    const uint32_t *first = vsl->log_start + 1;
    for (unsigned pass = 0; pass < VSL_SKIP_PASSES; pass++) {
        uint32_t seq = vsm_load(vsl->log_start);
        vsm_load_fence();
        const uint32_t *p = first;
        bool overtaken = false;
        for (;;) {
            uint32_t w = vsm_load(p);
            if (w == VSL_ENDMARKER)
                break;
            // A wrap marker here means the writer wrapped during the scan.
            const uint32_t *n = w == VSL_WRAPMARKER ? nullptr : vsl_after(vsl, p, w);
            if (n == nullptr) {
                overtaken = true;
                break;
            }
            p = n;
        }
        vsm_load_fence();
        if (!overtaken && vsm_load(vsl->log_start) == seq) {
            vsl->log_ptr = p;
            vsl->last_seq = seq;
            return;
        }
    }
    vsl->log_ptr = first;
    vsl->last_seq = vsm_load(vsl->log_start);
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
            if (vsl->flags & VSL_F_NONBLOCK)
                return -1;
            (void)usleep(VSL_POLL_USEC);
            slept += VSL_POLL_USEC;
            continue;
        }
        const uint32_t *first = vsl->log_start + 1;
        uint32_t w = vsm_load(vsl->log_ptr);
        if (w == VSL_WRAPMARKER) {
            VAS_ASSERT_TEXT(vsl->log_ptr != first, "vsl->log_ptr != vsl->log_start + 1");
            vsl->log_ptr = first;
            vsm_load_fence();
            continue;
        }
        if (w == VSL_ENDMARKER) {
            if (vsl->log_ptr == first || vsm_load(vsl->log_start) == vsl->last_seq) {
                if (vsl->flags & VSL_F_NONBLOCK)
                    return -1;
                (void)usleep(VSL_POLL_USEC);
                slept += VSL_POLL_USEC;
                continue;
            }
            vsl->log_ptr = first;
            vsm_load_fence();
            continue;
        }
        vsm_load_fence(); // the rest of the record only after word 0
        if (vsl->log_ptr == first)
            vsl->last_seq = vsm_load(vsl->log_start);
        const uint32_t *n = vsl_after(vsl, vsl->log_ptr, w);
        if (n == nullptr) {
            // Overwritten under our feet: start over at the current cycle.
            vsl->log_ptr = first;
            vsl->last_seq = vsm_load(vsl->log_start);
            vsm_load_fence();
            continue;
        }
        *pp = vsl->log_ptr;
        vsl->log_ptr = n;
        return 1;
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
