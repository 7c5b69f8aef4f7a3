#include "core/message_loop.h"

#include <gtest/gtest.h>

#include <thread>

namespace ordane {
namespace {

using std::chrono::milliseconds;

TEST(MessageLoop, TimersTickInsideAWaitButNeverReenterTheirOwnHandler) {
  TestClock clock(LocalTime{2026, 12, 5, 10, 0, 0});
  MessageLoop loop(clock);
  int fast = 0, slow_entries = 0, slow_depth = 0, max_depth = 0;
  loop.AddTimer("fast", milliseconds(100), true, [&] { ++fast; });
  loop.AddTimer("slow", milliseconds(200), true, [&] {
    ++slow_entries;
    max_depth = std::max(max_depth, ++slow_depth);
    WaitSeconds(loop, 2);  // yields; its own ticks come due meanwhile
    --slow_depth;
  });
  // Run until the slow handler has run twice.
  while (slow_entries < 2) loop.DoEvents(milliseconds(50));
  EXPECT_EQ(max_depth, 1);
  EXPECT_GE(fast, 20);  // the fast timer kept ticking through both waits
}

// A wait counts from the millisecond it started, and never spans midnight: it ends at 86395
// seconds after midnight, or when the clock reads a second 0.
TEST(MessageLoop, WaitSecondsEndsOnTimeButNeverSpansMidnight) {
  struct Case { int h, m, s, ms_into_second, wait; long long elapsed_ms; } cases[] = {
      {12, 0, 0, 0, 3, 3000},
      {12, 0, 0, 950, 1, 1000},       // not cut short when the second turns 50 ms later
      {12, 0, 0, 10, 2, 2000},
      {23, 59, 53, 0, 10, 2000},      // stops at 86395 seconds after midnight
      {23, 59, 54, 500, 1, 500},
      {23, 59, 56, 0, 5, 0},          // already past 86395: returns at once
      {0, 0, 0, 0, 3, 0},             // a clock reading 0 ends the wait
      {0, 0, 0, 999, 1, 0},           // so does the first second after midnight
      {0, 0, 1, 0, 1, 1000},
  };
  for (const auto& c : cases) {
    TestClock clock(LocalTime{2026, 12, 5, c.h, c.m, c.s});
    clock.Advance(milliseconds(c.ms_into_second));
    MessageLoop loop(clock);
    const auto start = clock.SteadyNow();
    WaitSeconds(loop, c.wait);
    const auto elapsed = std::chrono::duration_cast<milliseconds>(clock.SteadyNow() - start);
    // The loop yields in steps of at most 50 ms.
    EXPECT_GE(elapsed.count(), c.elapsed_ms) << c.h << ":" << c.m << ":" << c.s;
    EXPECT_LT(elapsed.count(), c.elapsed_ms + 50) << c.h << ":" << c.m << ":" << c.s;
  }
}

TEST(MessageLoop, EnabledFlagIntervalAndRemoval) {
  TestClock clock(LocalTime{});
  MessageLoop loop(clock);
  int zero = 0, off = 0, self = 0, other = 0;
  loop.AddTimer("zero", milliseconds(0), true, [&] { ++zero; });
  auto t_off = loop.AddTimer("off", milliseconds(10), false, [&] { ++off; });
  MessageLoop::TimerId t_self = -1, t_other = -1;
  t_other = loop.AddTimer("other", milliseconds(10), true, [&] { ++other; });
  t_self = loop.AddTimer("self", milliseconds(10), true, [&] {
    ++self;
    loop.RemoveTimer(t_self);   // a handler may remove itself...
    loop.RemoveTimer(t_other);  // ...and another timer
  });
  for (int i = 0; i < 20; ++i) loop.DoEvents(milliseconds(10));
  EXPECT_EQ(zero, 0);
  EXPECT_EQ(off, 0);
  EXPECT_EQ(self, 1);
  EXPECT_LE(other, 1);

  loop.SetEnabled(t_off, true);
  clock.Advance(milliseconds(9));
  loop.DoEvents();
  EXPECT_EQ(off, 0);  // enabling starts a fresh period
  clock.Advance(milliseconds(1));
  loop.DoEvents();
  EXPECT_EQ(off, 1);
}

TEST(MessageLoop, TasksPostedFromOtherThreadsRunOnTheLoop) {
  MessageLoop loop(RealClock());
  const auto loop_thread = std::this_thread::get_id();
  bool ran_on_loop = false;
  std::thread poster([&] {
    loop.Post([&] {
      ran_on_loop = std::this_thread::get_id() == loop_thread;
      loop.Quit();
    });
  });
  loop.Run();
  poster.join();
  EXPECT_TRUE(ran_on_loop);
}

}  // namespace
}  // namespace ordane
