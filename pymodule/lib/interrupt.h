// Long native work that Ctrl-C can stop: the calling thread waits with the
// interpreter lock released and runs the pending signal handlers between
// short slices, as Python runs them only when the main thread asks.
#pragma once

#include "pymodule/platform.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace quillscore::py {

// How long a waiting thread goes without running the signal handlers.
inline constexpr std::chrono::milliseconds kSignalSlice{50};

// Waits, with the interpreter lock released, until `wait_for(slice)` returns
// true; between slices it takes the lock back to run the pending signal
// handlers. Returns true once the wait is over; false, with the handler's
// exception set (KeyboardInterrupt for Ctrl-C), as soon as one raises. Call
// with the lock held.
bool wait_interruptibly(const std::function<bool(std::chrono::milliseconds)>& wait_for);

// Runs `work` on a runner thread with the interpreter lock released while the
// calling thread waits as above. When a handler raises, the work's
// cancellation token is set, the call waits until the work has unwound and
// returns false with the handler's exception set. Otherwise returns true once
// `work` has returned; an exception thrown by `work` is rethrown here, with
// the lock held. `work` must not touch Python objects; it notices the
// cancellation through pool::CancelCheck, which the pool's parallel maps
// apply to every chunk. Call with the lock held.
bool run_interruptible(const std::function<void()>& work);

// Work started on a runner thread and collected later, while the caller goes
// on with the lock: it never needs the lock itself, so the caller's Python
// runs beside it undisturbed. `work` must not touch Python objects. Create,
// wait and destroy with the lock held.
class Background {
 public:
  // Starts `work`; runs it at once on the calling thread, lock released, when
  // no runner can be started.
  explicit Background(std::function<void()> work);
  // Waits for the work, lock released.
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Waits for the work as wait_interruptibly does: true once it is over,
  // false with the handler's exception set, the work going on, when a
  // handler raises. In a process forked while it ran (the runner is not
  // there), runs it on the calling thread.
  bool wait();
  // Once wait() is true: rethrows what the work threw.
  void rethrow() const;

 private:
  struct Task;
  std::unique_ptr<Task> task_;
};

// Runs `work` through run_interruptible when it is estimated at `steps` of
// at least kLongWork (pixels, pairs, runs: each a few nanoseconds), else on
// the calling thread with the lock released: a call of a millisecond or so
// would pay the hand-over to a runner, and Ctrl-C waits for it no longer.
inline constexpr uint64_t kLongWork = uint64_t{1} << 20;
bool run_released(uint64_t steps, const std::function<void()>& work);

// For work that runs on the calling thread with the lock released (a read
// waiting on a pipe, say): takes the lock just long enough to run the pending
// signal handlers. True, with the handler's exception set, when one raised.
// Only the main thread runs handlers; elsewhere this is always false.
bool signal_raised_unlocked();

// For loops that hold the interpreter lock: runs the pending signal handlers
// every kEvery calls. False, with the handler's exception set, when one
// raised.
class SignalPoll {
 public:
  bool operator()() {
    if (++calls_ % kEvery != 0) return true;
    return PyErr_CheckSignals() == 0;
  }

 private:
  static constexpr uint32_t kEvery = 1024;
  uint32_t calls_ = 0;
};

}  // namespace quillscore::py
