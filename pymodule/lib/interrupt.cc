#include "pymodule/lib/interrupt.h"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/pool/cancel.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

// One piece of work handed to a runner, and how it ended.
struct Job {
  explicit Job(const std::function<void()>& w) : work(w) {}

  const std::function<void()>& work;
  pool::CancelToken token;
  std::exception_ptr error;
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;

  void execute() noexcept {
    try {
      pool::run_with(token, work);
    } catch (...) {
      error = std::current_exception();
    }
  }

  void finish() {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
    cv.notify_all();
  }

  bool wait_for(std::chrono::milliseconds slice) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, slice, [&] { return done; });
  }

  void wait() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return done; });
  }
};

// Threads that run jobs for waiting callers: as many as callers have ever
// waited at once, kept idle between jobs since starting a thread costs more
// than a short job. A runner takes the caller's place as the pool's master
// thread, so the pool keeps its full width while the caller waits outside it.
class Runners {
 public:
  // Hands `job` to a free runner, starting one if none is free; false when no
  // thread can be started.
  bool submit(Job* job) {
    std::lock_guard<std::mutex> lock(mu_);
    if (free_ > 0) {
      --free_;
    } else if (!start()) {
      return false;
    }
    queue_.push_back(job);
    cv_.notify_one();
    return true;
  }

 private:
  bool start() {
    // Signals are for the waiting caller: a runner blocks those it can, so
    // that none interrupts a system call of the work.
    sigset_t all, previous;
    sigfillset(&all);
    for (int sync : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, sync);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool started = true;
    try {
      std::thread([this] { loop(); }).detach();
    } catch (const std::system_error&) {
      started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
  }

  void loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      // Every queued job has a runner set aside for it (a free one, or one
      // started for it), so whichever runner wakes may take it.
      cv_.wait(lock, [&] { return !queue_.empty(); });
      Job* job = queue_.front();
      queue_.pop_front();
      lock.unlock();
      job->execute();
      lock.lock();
      // Free before the caller hears of it, so that its next job finds this
      // runner rather than starting another.
      ++free_;
      job->finish();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Job*> queue_;
  size_t free_ = 0;  // idle runners not yet set aside for a queued job
};

Runners*& runners_slot() {
  // Never freed: idle runners wait on it until the process ends.
  static Runners* runners = new Runners;
  return runners;
}

Runners& runners() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    // A forked child has none of the parent's runners.
    pthread_atfork(nullptr, nullptr, [] { runners_slot() = new Runners; });
  });
  return *runners_slot();
}

}  // namespace

bool wait_interruptibly(const std::function<bool(std::chrono::milliseconds)>& wait_for) {
  for (;;) {
    bool done;
    {
      ReleaseGil nogil;
      done = wait_for(kSignalSlice);
    }
    if (done) return true;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

bool run_interruptible(const std::function<void()>& work) {
  Job job(work);
  if (!runners().submit(&job)) {
    // No thread to be had: the work still gets done, on this thread.
    ReleaseGil nogil;
    job.execute();
  } else if (!wait_interruptibly([&](std::chrono::milliseconds slice) { return job.wait_for(slice); })) {
    job.token.cancel();
    {
      ReleaseGil nogil;
      job.wait();
    }
    return false;  // whatever the work did, the handler's exception stands
  }
  if (job.error) std::rethrow_exception(job.error);
  return true;
}

bool run_released(uint64_t steps, const std::function<void()>& work) {
  if (steps >= kLongWork) return run_interruptible(work);
  ReleaseGil nogil;
  work();
  return true;
}

}  // namespace quillscore::py
