// The token that cancels a run, and the check long loops make of it. Kept
// apart from the pool so that code with loops but no parallel maps of its own
// (the mask operations, the record reader) needs nothing else.
#pragma once

#include <atomic>
#include <exception>

namespace quillscore::pool {

// Thrown out of the work of a cancelled token; it unwinds the whole run.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "the run was cancelled"; }
};

// Asks the runs that carry it to stop; set from any thread.
class CancelToken {
 public:
  void cancel() noexcept { flag_.store(true, std::memory_order_relaxed); }
  bool cancelled() const noexcept { return flag_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> flag_{false};
};

namespace detail {
// The token of the work the calling thread is doing; null for none.
inline const CancelToken*& current_token() {
  thread_local const CancelToken* token = nullptr;
  return token;
}

// Sets the calling thread's token for its lifetime.
class TokenScope {
 public:
  explicit TokenScope(const CancelToken* token) : prev_(current_token()) { current_token() = token; }
  ~TokenScope() { current_token() = prev_; }
  TokenScope(const TokenScope&) = delete;
  TokenScope& operator=(const TokenScope&) = delete;

 private:
  const CancelToken* prev_;
};
}  // namespace detail

// Throws Cancelled once the calling thread's work is cancelled. The token is
// looked up on construction: make one per loop, and call it per item.
class CancelCheck {
 public:
  CancelCheck() : token_(detail::current_token()) {}
  void operator()() const {
    if (token_ && token_->cancelled()) throw Cancelled();
  }

 private:
  const CancelToken* token_;
};

// Runs fn on the calling thread with `token` carried into every parallel map
// it starts, from whichever worker runs their chunks.
template <class Fn>
auto run_with(const CancelToken& token, Fn&& fn) {
  detail::TokenScope scope(&token);
  return fn();
}

}  // namespace quillscore::pool
