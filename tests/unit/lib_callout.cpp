#include <gtest/gtest.h>

#include <string>
#include <sys/times.h>
#include <vector>

#include "callout.h"

namespace
{

long fake_ticks;
long fake_clock()
{
    return fake_ticks;
}

class callout : public ::testing::Test
{
  protected:
    cot_wheel wheel;
    std::vector<int> fired;

    // An owner record with its embedded callout, as the daemons have.
    struct timer {
        cot_entry co;
        callout *t;
        int id;
        long fired_at;
        // What the callback does beyond recording: 0 nothing, 1 reschedule
        // itself by `delay`, 2 cancel `victim`, 3 move `victim` by `delay`.
        int action;
        long delay;
        timer *victim;
        bool victim_result;
    };

    void SetUp() override
    {
        fake_ticks = 1000;
        cot_set_clock(fake_clock);
        cot_wheel_init(&wheel);
    }
    void TearDown() override
    {
        cot_wheel_fini(&wheel);
        cot_set_clock(nullptr);
        cot_debug = 0;
    }

    static void hit(void *arg)
    {
        auto *tm = static_cast<timer *>(arg);
        tm->t->fired.push_back(tm->id);
        tm->fired_at = tm->t->wheel.done_tick;
        switch (tm->action) {
        case 1:
            COT_SCHEDULE(&tm->t->wheel, &tm->co, tm->delay, hit, tm);
            break;
        case 2:
            tm->victim_result = cot_cancel(&tm->t->wheel, &tm->victim->co);
            break;
        case 3:
            tm->victim_result =
                COT_SCHEDULE(&tm->t->wheel, &tm->victim->co, tm->delay, hit, tm->victim);
            break;
        }
    }

    void make(timer &tm, int id)
    {
        tm = timer{};
        cot_entry_init(&tm.co, id);
        tm.t = this;
        tm.id = id;
        tm.fired_at = -1;
    }
    bool sched(timer &tm, long delay) { return COT_SCHEDULE(&wheel, &tm.co, delay, hit, &tm); }
    void advance(long n)
    {
        fake_ticks += n;
        cot_now(&wheel);
        cot_run_due(&wheel);
    }
};

TEST_F(callout, init_and_order)
{
    EXPECT_EQ(wheel.size, 16);
    EXPECT_EQ(wheel.mask, 15);
    EXPECT_EQ(wheel.bits, 4);
    EXPECT_EQ(wheel.ticks, 1000);
    EXPECT_EQ(wheel.done_tick, 1000);

    timer a, b, c, d, e;
    make(a, 1);
    make(b, 2);
    make(c, 3);
    make(d, 4);
    make(e, 5);
    EXPECT_EQ(a.co.magic, COT_ENTRY_MAGIC);
    EXPECT_EQ(a.co.tag, 1);
    sched(c, 3);
    sched(a, 0);  // below 1: next tick
    sched(b, -9); // likewise, after a
    sched(d, 2);
    sched(e, 3); // same tick as c, after it
    EXPECT_EQ(e.co.due_tick, 1003);
    EXPECT_TRUE(cot_pending(&e.co));
    EXPECT_EQ(e.co.flags, COT_ARMED | COT_QUEUED);
    EXPECT_STREQ(e.co.caller_name, "sched");

    cot_run_due(&wheel); // clock not refreshed: nothing is due
    EXPECT_TRUE(fired.empty());
    advance(1);
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
    EXPECT_FALSE(cot_pending(&a.co));
    EXPECT_EQ(a.co.flags, COT_ARMED); // ran: still armed, no longer queued
    advance(5);
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 4, 3, 5}));
    EXPECT_EQ(d.fired_at, 1002);
    EXPECT_EQ(c.fired_at, 1003);
}

TEST_F(callout, later_turns_share_a_bucket)
{
    timer near, far, farther;
    make(near, 1);
    make(far, 2);
    make(farther, 3);
    sched(far, 17);
    sched(near, 1);
    sched(farther, 16 * 5 + 1);
    EXPECT_EQ(near.co.due_tick & wheel.mask, far.co.due_tick & wheel.mask);
    advance(1);
    EXPECT_EQ(fired, (std::vector<int>{1}));
    advance(15);
    EXPECT_EQ(fired, (std::vector<int>{1}));
    advance(1);
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
    EXPECT_EQ(far.fired_at, 1017);
    // A long stall is caught up tick by tick; nothing fires early or twice.
    advance(500);
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(farther.fired_at, 1081);
    EXPECT_EQ(wheel.done_tick, wheel.ticks);
}

TEST_F(callout, cancel_and_reschedule)
{
    timer a, b;
    make(a, 1);
    make(b, 2);
    EXPECT_FALSE(cot_cancel(&wheel, &a.co)); // idle
    EXPECT_EQ(a.co.flags, 0);

    sched(a, 5);
    sched(b, 5);
    EXPECT_TRUE(cot_cancel(&wheel, &a.co));
    EXPECT_EQ(a.co.flags, 0);
    EXPECT_FALSE(cot_cancel(&wheel, &a.co));
    advance(10);
    EXPECT_EQ(fired, (std::vector<int>{2}));

    // Moving a pending callout: only the new time fires, also when the new
    // time is in the same bucket a turn later, or earlier than the old one.
    fired.clear();
    EXPECT_FALSE(sched(a, 3));
    EXPECT_TRUE(sched(a, 19));
    EXPECT_FALSE(sched(b, 8));
    EXPECT_TRUE(sched(b, 2));
    advance(3);
    EXPECT_EQ(fired, (std::vector<int>{2}));
    EXPECT_EQ(b.fired_at, 1012);
    advance(16);
    EXPECT_EQ(fired, (std::vector<int>{2, 1}));
    EXPECT_EQ(a.fired_at, 1029);
    EXPECT_FALSE(cot_cancel(&wheel, &a.co)); // already ran
    EXPECT_EQ(a.co.flags, 0);
    advance(40);
    EXPECT_EQ(fired, (std::vector<int>{2, 1}));
}

TEST_F(callout, callbacks_may_change_the_wheel_under_the_walk)
{
    timer a, b, c, d, self;
    make(a, 1);
    make(b, 2);
    make(c, 3);
    make(d, 4);
    make(self, 5);
    // a cancels b, the entry right after it in the same bucket.
    a.action = 2;
    a.victim = &b;
    sched(a, 1);
    sched(b, 1);
    sched(c, 1);
    // c moves d, also right after it, to a later tick.
    c.action = 3;
    c.victim = &d;
    c.delay = 4;
    sched(d, 1);
    advance(1);
    EXPECT_EQ(fired, (std::vector<int>{1, 3}));
    EXPECT_TRUE(a.victim_result);
    EXPECT_TRUE(c.victim_result);
    EXPECT_FALSE(cot_pending(&b.co));
    advance(3);
    EXPECT_EQ(fired, (std::vector<int>{1, 3}));
    advance(1);
    EXPECT_EQ(fired, (std::vector<int>{1, 3, 4}));
    EXPECT_EQ(d.fired_at, 1005);

    // A callout that reschedules itself runs once per pass, however long the
    // stall was: its new time counts from the refreshed clock.
    fired.clear();
    self.action = 1;
    self.delay = 1;
    sched(self, 1);
    advance(50);
    EXPECT_EQ(fired, (std::vector<int>{5}));
    EXPECT_TRUE(cot_pending(&self.co));
    advance(1);
    EXPECT_EQ(fired, (std::vector<int>{5, 5}));
    EXPECT_TRUE(cot_cancel(&wheel, &self.co));
    advance(5);
    EXPECT_EQ(fired, (std::vector<int>{5, 5}));
    EXPECT_EQ(wheel.next_check, nullptr);
}

TEST_F(callout, a_callback_cancelling_itself_or_the_last_entry)
{
    timer a, b;
    make(a, 1);
    make(b, 2);
    b.action = 2;
    b.victim = &a; // a already ran this pass: nothing to cancel
    sched(a, 1);
    sched(b, 1);
    advance(1);
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
    EXPECT_FALSE(b.victim_result);
    // The bucket stays usable after its tail was taken from under the walk.
    sched(a, 16);
    advance(16);
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 1}));
}

TEST_F(callout, negative_ticks_and_a_clock_going_back)
{
    cot_wheel_fini(&wheel);
    fake_ticks = -40;
    cot_wheel_init(&wheel);
    timer a;
    make(a, 1);
    sched(a, 30);
    advance(29);
    EXPECT_TRUE(fired.empty());
    advance(1);
    EXPECT_EQ(fired, (std::vector<int>{1}));
    EXPECT_EQ(a.fired_at, -10);
    sched(a, 2);
    advance(-5); // must return, not walk round the whole range
    EXPECT_EQ(fired, (std::vector<int>{1}));
    // Scheduled after the step back: due before the last tick walked, and
    // still it fires on time.
    timer b;
    make(b, 2);
    sched(b, 2);
    advance(2);
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
    advance(5);
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 1}));
}

TEST_F(callout, trace_lines_when_enabled)
{
    timer a;
    make(a, 1);
    testing::internal::CaptureStdout();
    sched(a, 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    cot_debug = COT_DEBUG_TRACE;
    testing::internal::CaptureStdout();
    sched(a, 4);
    cot_cancel(&wheel, &a.co);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("rescheduled ", 0), 0u) << out;
    EXPECT_NE(out.find(" in 4cancelled "), std::string::npos) << out;
}

TEST(callout_clock, follows_times)
{
    cot_set_clock(nullptr);
    struct tms tms;
    long before = static_cast<long>(times(&tms));
    cot_wheel w;
    cot_wheel_init(&w);
    long after = static_cast<long>(times(&tms));
    EXPECT_GE(w.ticks, before);
    EXPECT_LE(w.ticks, after);
    cot_wheel_fini(&w);
}

} // namespace
