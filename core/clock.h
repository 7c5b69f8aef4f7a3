// Every reading of time goes through a Clock, so that tests can run the midnight rule, the due
// times of delayed commands and the timers without sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ordane {

// A local calendar date and wall-clock time.
struct LocalTime {
  int year = 1970, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0;

  int SecondsSinceMidnight() const { return hour * 3600 + minute * 60 + second; }
  // Days since 1970-01-01 of the date part.
  std::int64_t DayNumber() const;
  // Seconds since 1970-01-01 00:00 counted in local time (no time zone involved).
  std::int64_t LocalSeconds() const { return DayNumber() * 86400 + SecondsSinceMidnight(); }
  static LocalTime FromLocalSeconds(std::int64_t seconds);
  bool operator==(const LocalTime&) const = default;
};

std::int64_t DaysFromCivil(int year, int month, int day);

class Clock {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;

  // Monotonic time for intervals and timers.
  virtual SteadyTime SteadyNow() = 0;
  // The present local date and time.
  virtual LocalTime Now() = 0;
  // The present local time of day in milliseconds since midnight, for waits that must not be
  // cut short by a whole-second reading.
  virtual std::int64_t MillisecondsSinceMidnight() = 0;
  // Blocks (with `lock` held on entry and exit) until `cv` is notified or `deadline` passes.
  // The test clock does not block: it moves its time to the deadline.
  virtual void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                         SteadyTime deadline) = 0;
};

// The system's clock (local time from the process's time zone).
Clock& RealClock();

// A clock that only moves when told to, or when something waits on it.
class TestClock final : public Clock {
 public:
  explicit TestClock(LocalTime start);
  SteadyTime SteadyNow() override;
  LocalTime Now() override;
  std::int64_t MillisecondsSinceMidnight() override;
  void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 SteadyTime deadline) override;

  void Advance(std::chrono::milliseconds d);
  void Set(LocalTime t);  // jumps the wall clock; steady time is not affected

  // Every reading of the steady time moves it on by this much: work that reads the clock
  // then seems to take time (tests of time budgets).
  std::chrono::milliseconds steady_step{0};

 private:
  std::mutex mu_;
  std::chrono::milliseconds elapsed_{0};  // steady time since construction
  std::int64_t local_ms_;                 // local time in milliseconds since 1970
};

}  // namespace ordane
