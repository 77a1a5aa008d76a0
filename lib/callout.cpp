#include "callout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/times.h>

#include "vas.h"

unsigned cot_debug = 0;

namespace
{

constexpr int COT_BUCKET_HINT = 16;

long cot_times()
{
    struct tms tms;
    return static_cast<long>(times(&tms));
}

cot_clock_t cot_clock = cot_times;

#define COT_TRACE(...)                                                                             \
    do {                                                                                           \
        if (cot_debug & COT_DEBUG_TRACE)                                                           \
            std::printf(__VA_ARGS__);                                                              \
    } while (0)

void *fptr(cot_func_t f)
{
    return reinterpret_cast<void *>(f);
}

void cot_callwhell_alloc(cot_wheel *cb)
{
    cb->callwheel = static_cast<cot_bucket *>(
        std::calloc(static_cast<std::size_t>(cb->size), sizeof(cot_bucket)));
}

cot_bucket *cot_bucket_of(cot_wheel *cb, long tick)
{
    return &cb->callwheel[tick & cb->mask];
}

void cot_insert_tail(cot_bucket *b, cot_entry *c)
{
    c->link.next = nullptr;
    c->link.prev = b->last;
    *b->last = c;
    b->last = &c->link.next;
}

void cot_unlink(cot_bucket *b, cot_entry *c)
{
    if (c->link.next != nullptr)
        c->link.next->link.prev = c->link.prev;
    else
        b->last = c->link.prev;
    *c->link.prev = c->link.next;
    c->link.next = nullptr;
    c->link.prev = nullptr;
}

// Take a pending callout out of its bucket; the walk of cot_run_due must not
// be left pointing at it.
void cot_dequeue(cot_wheel *cb, cot_entry *c)
{
    CHECK_OBJ(c, COT_ENTRY_MAGIC);
    if (cb->next_check == c)
        cb->next_check = c->link.next;
    cot_unlink(cot_bucket_of(cb, c->due_tick), c);
}

} // namespace

void cot_set_clock(cot_clock_t clock)
{
    cot_clock = clock != nullptr ? clock : cot_times;
}

void cot_wheel_init(cot_wheel *cb)
{
    std::memset(cb, 0, sizeof *cb);
    cb->magic = COT_WHEEL_MAGIC;
    cb->bucket_hint = COT_BUCKET_HINT;
    cb->size = 1;
    cb->bits = 0;
    while (cb->size < cb->bucket_hint) {
        cb->size <<= 1;
        cb->bits++;
    }
    cb->mask = cb->size - 1;
    cot_callwhell_alloc(cb);
    VAS_ASSERT_TEXT(cb->callwheel != nullptr, "(cb->callwheel) != 0");
    cb->ticks = cot_clock();
    cb->done_tick = cb->ticks;
    for (int i = 0; i < cb->size; i++) {
        cb->callwheel[i].first = nullptr;
        cb->callwheel[i].last = &cb->callwheel[i].first;
    }
}

void cot_wheel_fini(cot_wheel *cb)
{
    CHECK_OBJ_NOTNULL(cb, COT_WHEEL_MAGIC);
    std::free(cb->callwheel);
    cb->callwheel = nullptr;
    cb->magic = 0;
}

void cot_now(cot_wheel *cb)
{
    CHECK_OBJ_NOTNULL(cb, COT_WHEEL_MAGIC);
    cb->ticks = cot_clock();
    // A clock seen going back: carry on from it. Callouts scheduled from now
    // on fall due behind the old done_tick and the walk would never reach them.
    if (cb->ticks < cb->done_tick)
        cb->done_tick = cb->ticks;
}

void cot_entry_init(cot_entry *c, int tag)
{
    std::memset(c, 0, sizeof *c);
    c->magic = COT_ENTRY_MAGIC;
    c->tag = tag;
}

bool cot_schedule(cot_wheel *cb, cot_entry *c, long to_ticks, cot_func_t func, void *arg,
                  const char *name, int line)
{
    CHECK_OBJ_NOTNULL(cb, COT_WHEEL_MAGIC);
    AN(c);
    bool cancelled = false;
    if (c->flags & COT_QUEUED) {
        cot_dequeue(cb, c);
        cancelled = true;
    }
    if (to_ticks < 1)
        to_ticks = 1;
    c->magic = COT_ENTRY_MAGIC;
    c->arg = arg;
    c->func = func;
    c->caller_name = name;
    c->caller_line = line;
    c->flags |= COT_ARMED | COT_QUEUED;
    c->due_tick = cb->ticks + to_ticks;
    cot_insert_tail(cot_bucket_of(cb, c->due_tick), c);
    COT_TRACE("%sscheduled %p func %p arg %p in %d", cancelled ? "re" : "", static_cast<void *>(c),
              fptr(func), arg, static_cast<int>(to_ticks));
    return cancelled;
}

bool cot_cancel(cot_wheel *cb, cot_entry *c)
{
    CHECK_OBJ_NOTNULL(cb, COT_WHEEL_MAGIC);
    CHECK_OBJ_NOTNULL(c, COT_ENTRY_MAGIC);
    if (!(c->flags & COT_QUEUED)) {
        c->flags &= ~COT_ARMED;
        COT_TRACE("failed to stop %p func %p arg %p", static_cast<void *>(c), fptr(c->func),
                  c->arg);
        return false;
    }
    c->flags &= ~(COT_ARMED | COT_QUEUED);
    cot_dequeue(cb, c);
    COT_TRACE("cancelled %p func %p arg %p", static_cast<void *>(c), fptr(c->func), c->arg);
    return true;
}

void cot_run_due(cot_wheel *cb)
{
    CHECK_OBJ_NOTNULL(cb, COT_WHEEL_MAGIC);
    // "<" rather than "!=": whatever the clock did, the walk must not go
    // round the whole range of long.
    while (cb->done_tick < cb->ticks) {
        cb->done_tick++;
        cot_bucket *b = cot_bucket_of(cb, cb->done_tick);
        cot_entry *c = b->first;
        while (c != nullptr) {
            CHECK_OBJ(c, COT_ENTRY_MAGIC);
            if (c->due_tick != cb->done_tick) {
                c = c->link.next; // a later turn of the wheel
                continue;
            }
            cb->next_check = c->link.next;
            cot_unlink(b, c);
            c->flags &= ~COT_QUEUED;
            COT_TRACE("callout mpsafe %p func %p arg %p", static_cast<void *>(c), fptr(c->func),
                      c->arg);
            c->func(c->arg);
            COT_TRACE("callout %p finished", static_cast<void *>(c));
            // The callback may have cancelled or moved what came next.
            c = cb->next_check;
        }
    }
    cb->next_check = nullptr;
}
