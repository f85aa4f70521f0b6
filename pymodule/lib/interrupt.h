// Long native work that Ctrl-C can stop: the calling thread waits with the
// interpreter lock released and runs the pending signal handlers between
// short slices, as Python runs them only when the main thread asks.
#pragma once

#include "pymodule/platform.h"

#include <chrono>
#include <cstdint>
#include <functional>

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
