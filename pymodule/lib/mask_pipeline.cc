#include "pymodule/lib/mask_pipeline.h"

#include <chrono>
#include <new>
#include <stdexcept>

#include "core/base/error.h"
#include "core/pool/pool.h"
#include "core/rle/boundary.h"

namespace quillscore::py {

BatchChannel::Sent BatchChannel::send(JobBatch& batch, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!cv_.wait_for(lock, timeout, [&] { return queue_.size() < capacity_ || !receiver_open_; })) {
    return Sent::kFull;
  }
  if (!receiver_open_) return Sent::kClosed;
  queue_.push_back(std::move(batch));
  cv_.notify_all();
  return Sent::kYes;
}

std::optional<JobBatch> BatchChannel::receive() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return !queue_.empty() || !sender_open_; });
  if (queue_.empty()) return std::nullopt;
  JobBatch b = std::move(queue_.front());
  queue_.pop_front();
  cv_.notify_all();
  return b;
}

void BatchChannel::close_sender() {
  std::lock_guard<std::mutex> lock(mu_);
  sender_open_ = false;
  cv_.notify_all();
}

void BatchChannel::close_receiver() {
  std::lock_guard<std::mutex> lock(mu_);
  receiver_open_ = false;
  queue_.clear();
  cv_.notify_all();
}

MaskWorker::MaskWorker(ReadCounters& counters, bool boundary, double dilation)
    : counters_(counters), boundary_(boundary), dilation_(dilation) {
  try {
    thread_ = std::thread([this] { loop(); });
  } catch (const std::system_error& e) {
    throw InternalError(std::string("failed to spawn thread: ") + e.what());
  }
}

MaskWorker::~MaskWorker() {
  // Left without finish(): construction is failing, and nobody will read
  // the results.
  if (thread_.joinable()) {
    cancel();
    thread_.join();
  }
}

void MaskWorker::loop() {
  try {
    pool::run_with(token_, [&] { drain(); });
  } catch (...) {
    failure_ = std::current_exception();
    // The reader must not block on a channel nobody drains any more.
    channel_.close_receiver();
  }
  std::lock_guard<std::mutex> lock(done_mu_);
  done_ = true;
  done_cv_.notify_all();
}

void MaskWorker::drain() {
  while (auto batch = channel_.receive()) {
    const auto start = std::chrono::steady_clock::now();
    const JobBatch& jobs = *batch;
    std::vector<MaskResult> out(jobs.size());
    pool::parallel_chunks(jobs.size(), [&](size_t begin, size_t end) {
      rle::RasterWorkspace ws;
      const pool::CancelCheck check;
      for (size_t i = begin; i < end; ++i) {
        check();
        const MaskJob& job = jobs[i];
        out[i].mask = rle::rasterise_segmentation(job.seg, job.height, job.width, ws);
        if (boundary_) out[i].boundary = rle::rle_boundary(out[i].mask, dilation_);
      }
    });
    counters_.rasterise += static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                             start)
            .count());
    results_.insert(results_.end(), std::make_move_iterator(out.begin()),
                    std::make_move_iterator(out.end()));
  }
}

void MaskWorker::cancel() {
  token_.cancel();
  channel_.close_receiver();
}

bool MaskWorker::wait_done(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(done_mu_);
  return done_cv_.wait_for(lock, timeout, [&] { return done_; });
}

std::vector<MaskResult> MaskWorker::finish() {
  channel_.close_sender();
  thread_.join();
  if (failure_) {
    std::string what = "unknown failure";
    try {
      std::rethrow_exception(failure_);
    } catch (const InputError&) {
      throw;  // bad data in an annotation, not a fault of the worker
    } catch (const std::bad_alloc&) {
      throw;  // masks too large for memory, as the caller gets them elsewhere
    } catch (const pool::Cancelled&) {
      throw;  // stopped on purpose
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    throw InternalError("mask worker panicked: " + what);
  }
  return std::move(results_);
}

}  // namespace quillscore::py
