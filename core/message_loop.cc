#include "core/message_loop.h"

#include <algorithm>

namespace ordane {

MessageLoop::MessageLoop(Clock& clock) : clock_(clock) {}

MessageLoop::TimerId MessageLoop::AddTimer(std::string name, std::chrono::milliseconds interval,
                                           bool enabled, Task handler) {
  auto t = std::make_unique<Timer>();
  t->name = std::move(name);
  t->interval = interval;
  t->enabled = enabled;
  t->due = clock_.SteadyNow() + interval;
  t->handler = std::move(handler);
  timers_.push_back(std::move(t));
  return static_cast<TimerId>(timers_.size() - 1);
}

MessageLoop::Timer* MessageLoop::Find(TimerId id) const {
  if (id < 0 || static_cast<std::size_t>(id) >= timers_.size()) return nullptr;
  Timer* t = timers_[static_cast<std::size_t>(id)].get();
  return t->removed ? nullptr : t;
}

void MessageLoop::RemoveTimer(TimerId id) {
  if (Timer* t = Find(id)) {
    t->removed = true;
    t->enabled = false;
  }
}

void MessageLoop::SetEnabled(TimerId id, bool enabled) {
  Timer* t = Find(id);
  if (!t) return;
  if (enabled && !t->enabled) t->due = clock_.SteadyNow() + t->interval;
  t->enabled = enabled;
}

void MessageLoop::SetInterval(TimerId id, std::chrono::milliseconds interval) {
  Timer* t = Find(id);
  if (!t) return;
  t->interval = interval;
  t->due = clock_.SteadyNow() + interval;
}

bool MessageLoop::Enabled(TimerId id) const {
  Timer* t = Find(id);
  return t && t->enabled;
}

std::chrono::milliseconds MessageLoop::Interval(TimerId id) const {
  Timer* t = Find(id);
  return t ? t->interval : std::chrono::milliseconds(0);
}

void MessageLoop::Post(Task task) {
  {
    std::lock_guard<std::mutex> g(mu_);
    posted_.push_back(std::move(task));
  }
  cv_.notify_one();
}

void MessageLoop::Quit() {
  {
    std::lock_guard<std::mutex> g(mu_);
    quit_ = true;
  }
  cv_.notify_one();
}

bool MessageLoop::QuitRequested() const {
  std::lock_guard<std::mutex> g(mu_);
  return quit_;
}

bool MessageLoop::RunPostedTasks() {
  std::deque<Task> tasks;
  {
    std::lock_guard<std::mutex> g(mu_);
    tasks.swap(posted_);
  }
  for (auto& task : tasks) task();
  return !tasks.empty();
}

bool MessageLoop::RunDueTimers() {
  bool ran = false;
  // Index loop: a handler may add timers, which may move the vector.
  for (std::size_t i = 0; i < timers_.size(); ++i) {
    Timer* t = timers_[i].get();
    if (t->removed || !t->enabled || t->interval.count() <= 0) continue;
    auto now = clock_.SteadyNow();
    if (now < t->due) continue;
    // The next period counts from this tick; ticks missed while busy are not made up.
    t->due = now + t->interval;
    if (t->running) continue;  // its handler yielded: this tick returns at once
    t->running = true;
    struct Reset {
      Timer* t;
      ~Reset() { t->running = false; }
    } reset{t};
    t->handler();
    ran = true;
  }
  return ran;
}

Clock::SteadyTime MessageLoop::NextDue() const {
  auto next = Clock::SteadyTime::max();
  for (const auto& t : timers_)
    if (!t->removed && t->enabled && t->interval.count() > 0 && !t->running)
      next = std::min(next, t->due);
  return next;
}

void MessageLoop::DoEvents(std::chrono::milliseconds max_wait) {
  bool did = RunPostedTasks();
  did = RunDueTimers() || did;
  if (did || max_wait.count() <= 0) return;
  auto deadline = std::min(NextDue(), clock_.SteadyNow() + max_wait);
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (posted_.empty() && !quit_ && deadline > clock_.SteadyNow())
      clock_.WaitUntil(cv_, lock, deadline);
  }
  RunPostedTasks();
  RunDueTimers();
}

void MessageLoop::Run() {
  while (!QuitRequested()) DoEvents(std::chrono::milliseconds(1000));
}

void WaitSeconds(MessageLoop& loop, int seconds) {
  // Compared in milliseconds: a one-second wait that starts late in a second still lasts a
  // second. The wait ends early in the first second after midnight and from 86395 seconds on,
  // so that it never spans midnight.
  constexpr std::int64_t kFirstSecond = 1000, kLateEvening = 86395 * 1000;
  Clock& clock = loop.clock();
  const std::int64_t start = clock.MillisecondsSinceMidnight();
  const std::int64_t end = start + std::int64_t{seconds} * 1000;
  while (!loop.QuitRequested()) {
    const std::int64_t now = clock.MillisecondsSinceMidnight();
    if (now >= end || now < kFirstSecond || now >= kLateEvening) break;
    loop.DoEvents(std::chrono::milliseconds(50));
  }
}

}  // namespace ordane
