#include "pymodule/lib/interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>

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
  Job* next = nullptr;  // in the runners' queue

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
//
// Runners live as long as the process and are no caller's memory: they and
// their queue (the jobs themselves) take nothing from the extension's
// allocator, so its counts stay those of the calls.
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
    (tail_ ? tail_->next : head_) = job;
    tail_ = job;
    cv_.notify_one();
    return true;
  }

 private:
  bool start() {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Signals are for the waiting caller: a runner blocks those it can, so
    // that none interrupts a system call of the work.
    sigset_t all, previous;
    sigfillset(&all);
    for (int sync : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, sync);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attr, &Runners::main, this) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    return started;
  }

  static void* main(void* self) {
    static_cast<Runners*>(self)->loop();
    return nullptr;
  }

  [[noreturn]] void loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      // Every queued job has a runner set aside for it (a free one, or one
      // started for it), so whichever runner wakes may take it.
      cv_.wait(lock, [&] { return head_ != nullptr; });
      Job* job = head_;
      head_ = job->next;
      if (!head_) tail_ = nullptr;
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
  Job* head_ = nullptr;
  Job* tail_ = nullptr;
  size_t free_ = 0;  // idle runners not yet set aside for a queued job
};

// Never destroyed: idle runners wait on it until the process ends.
alignas(Runners) unsigned char g_runners[sizeof(Runners)];

Runners& runners() {
  static std::once_flag started;
  std::call_once(started, [] {
    new (g_runners) Runners;
    // A forked child has none of the parent's runners, and the lock may have
    // been held by one of them: it starts afresh.
    pthread_atfork(nullptr, nullptr, [] { new (g_runners) Runners; });
  });
  return *std::launder(reinterpret_cast<Runners*>(g_runners));
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

bool signal_raised_unlocked() {
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() < 0;
  PyGILState_Release(state);
  return raised;
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

struct Background::Task {
  explicit Task(std::function<void()> w) : work(std::move(w)), job(work) {}
  std::function<void()> work;
  Job job;  // reads `work`, declared before it
  pid_t pid = getpid();
};

Background::Background(std::function<void()> work) : task_(std::make_unique<Task>(std::move(work))) {
  if (!runners().submit(&task_->job)) {
    ReleaseGil nogil;
    task_->job.execute();
    task_->job.finish();
  }
}

Background::~Background() {
  if (getpid() != task_->pid) return;  // no runner in a fork: the copy never runs
  ReleaseGil nogil;
  task_->job.wait();
}

bool Background::wait() {
  if (getpid() != task_->pid) {
    // Forked while the work ran: its runner is not in this process, and its
    // lock is not to be taken here.
    if (!task_->job.done) {
      ReleaseGil nogil;
      task_->job.execute();
      task_->job.done = true;
    }
    return true;
  }
  return wait_interruptibly([&](std::chrono::milliseconds slice) { return task_->job.wait_for(slice); });
}

void Background::rethrow() const {
  if (task_->job.error) std::rethrow_exception(task_->job.error);
}

bool run_released(uint64_t steps, const std::function<void()>& work) {
  if (steps >= kLongWork) return run_interruptible(work);
  ReleaseGil nogil;
  work();
  return true;
}

}  // namespace quillscore::py
