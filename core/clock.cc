#include "core/clock.h"

#include <ctime>

namespace ordane {

std::int64_t DaysFromCivil(int y, int m, int d) {
  // Howard Hinnant's days_from_civil.
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t LocalTime::DayNumber() const { return DaysFromCivil(year, month, day); }

LocalTime LocalTime::FromLocalSeconds(std::int64_t seconds) {
  std::int64_t days = seconds / 86400, rem = seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  // Howard Hinnant's civil_from_days.
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  LocalTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2));
  t.hour = static_cast<int>(rem / 3600);
  t.minute = static_cast<int>(rem / 60 % 60);
  t.second = static_cast<int>(rem % 60);
  return t;
}

namespace {

class SystemClock final : public Clock {
 public:
  SteadyTime SteadyNow() override { return std::chrono::steady_clock::now(); }
  LocalTime Now() override {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                     tm.tm_sec};
  }
  std::int64_t MillisecondsSinceMidnight() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    return (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) * std::int64_t{1000} +
           ts.tv_nsec / 1000000;
  }
  void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 SteadyTime deadline) override {
    cv.wait_until(lock, deadline);
  }
};

}  // namespace

Clock& RealClock() {
  static SystemClock clock;
  return clock;
}

TestClock::TestClock(LocalTime start) : local_ms_(start.LocalSeconds() * 1000) {}

Clock::SteadyTime TestClock::SteadyNow() {
  std::lock_guard<std::mutex> g(mu_);
  elapsed_ += steady_step;
  local_ms_ += steady_step.count();
  return SteadyTime(elapsed_);
}

LocalTime TestClock::Now() {
  std::lock_guard<std::mutex> g(mu_);
  std::int64_t ms = local_ms_;
  return LocalTime::FromLocalSeconds(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
}

std::int64_t TestClock::MillisecondsSinceMidnight() {
  std::lock_guard<std::mutex> g(mu_);
  std::int64_t ms = local_ms_ % 86400000;
  return ms < 0 ? ms + 86400000 : ms;
}

void TestClock::WaitUntil(std::condition_variable&, std::unique_lock<std::mutex>&,
                          SteadyTime deadline) {
  auto now = SteadyNow();
  if (deadline > now)
    Advance(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
}

void TestClock::Advance(std::chrono::milliseconds d) {
  std::lock_guard<std::mutex> g(mu_);
  elapsed_ += d;
  local_ms_ += d.count();
}

void TestClock::Set(LocalTime t) {
  std::lock_guard<std::mutex> g(mu_);
  local_ms_ = t.LocalSeconds() * 1000;
}

}  // namespace ordane
