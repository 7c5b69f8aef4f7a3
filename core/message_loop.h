// The driver's single thread of work: timers with an interval and an enabled flag, and a queue
// of tasks that other threads (signals, the console) post. Everything that touches driver
// state runs here.
//
// Routines that must wait without stopping the driver yield with DoEvents(), inside which other
// timers may tick. A timer whose own handler is still on the stack (it yielded) does not tick
// again: that tick returns at once, so no handler is ever entered twice.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"

namespace ordane {

class MessageLoop {
 public:
  using TimerId = int;
  using Task = std::function<void()>;

  explicit MessageLoop(Clock& clock);
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // Adds a timer. An interval of 0 never ticks, like a disabled timer. Loop thread only.
  TimerId AddTimer(std::string name, std::chrono::milliseconds interval, bool enabled,
                   Task handler);
  // Removed lazily: safe from inside any handler, including the timer's own.
  void RemoveTimer(TimerId id);
  // Enabling a disabled timer, or changing its interval, starts its period afresh.
  void SetEnabled(TimerId id, bool enabled);
  void SetInterval(TimerId id, std::chrono::milliseconds interval);
  bool Enabled(TimerId id) const;
  std::chrono::milliseconds Interval(TimerId id) const;

  // Queues a task for the loop thread. Thread-safe.
  void Post(Task task);

  // Runs the posted tasks and the due timers once. When there was nothing to do, first waits up
  // to `max_wait` for something to become due. Loop thread only.
  void DoEvents(std::chrono::milliseconds max_wait = std::chrono::milliseconds(0));

  // Runs until Quit(). Exceptions from handlers propagate to the caller.
  void Run();
  void Quit();  // thread-safe
  bool QuitRequested() const;

  Clock& clock() { return clock_; }

 private:
  struct Timer {
    std::string name;
    std::chrono::milliseconds interval{0};
    bool enabled = false;
    bool removed = false;
    bool running = false;  // its handler is on the stack
    Clock::SteadyTime due{};
    Task handler;
  };

  Timer* Find(TimerId id) const;
  // Runs every due timer once; returns true when one ran.
  bool RunDueTimers();
  bool RunPostedTasks();
  Clock::SteadyTime NextDue() const;

  Clock& clock_;
  std::vector<std::unique_ptr<Timer>> timers_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Task> posted_;
  bool quit_ = false;
};

// Waits `seconds` while the loop keeps serving timers and posted tasks. The wait never spans
// midnight: it also ends as soon as the clock reads 0 or 86395 seconds after midnight or more.
void WaitSeconds(MessageLoop& loop, int seconds);

}  // namespace ordane
