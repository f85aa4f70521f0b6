// The mask worker of Evaluator construction: it receives batches of
// rasterisation jobs from the reading thread over a bounded channel and
// rasterises each batch in parallel on the worker pool. Nothing here touches
// Python objects.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/pool/cancel.h"
#include "core/rle/raster.h"

namespace quillscore::py {

// One segmentation to rasterise at its image's size.
struct MaskJob {
  rle::Segmentation seg;
  uint32_t height = 0;
  uint32_t width = 0;
};
using JobBatch = std::vector<MaskJob>;
inline constexpr size_t kBatchJobs = 4096;

struct MaskResult {
  rle::Rle mask;
  std::optional<rle::Rle> boundary;
};

// Wall-clock nanoseconds of construction, added to by both threads.
struct ReadCounters {
  std::atomic<uint64_t> gt_read{0}, dt_read{0}, read_blocked{0}, rasterise{0};
};

// A bounded channel of job batches with one sender and one receiver.
class BatchChannel {
 public:
  explicit BatchChannel(size_t capacity) : capacity_(capacity) {}
  enum class Sent { kYes, kFull, kClosed };
  // Waits up to `timeout` while the channel is full. Takes the batch only
  // when it answers kYes; kClosed once the receiver is gone.
  Sent send(JobBatch& batch, std::chrono::milliseconds timeout);
  // Blocks until a batch arrives; nothing once the sender is gone and the
  // channel is drained.
  std::optional<JobBatch> receive();
  void close_sender();
  void close_receiver();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<JobBatch> queue_;
  size_t capacity_;
  bool sender_open_ = true;
  bool receiver_open_ = true;
};

// Runs the worker thread; finish() closes the channel, joins, and returns the
// results in job order or rethrows the worker's failure (pool::Cancelled
// after cancel()).
class MaskWorker {
 public:
  MaskWorker(ReadCounters& counters, bool boundary, double dilation);
  ~MaskWorker();
  MaskWorker(const MaskWorker&) = delete;
  MaskWorker& operator=(const MaskWorker&) = delete;

  BatchChannel& channel() { return channel_; }
  // Stops the work in progress at its next item; the batches still queued
  // are dropped.
  void cancel();
  // Waits up to `timeout` for the worker to have drained a closed channel.
  bool wait_done(std::chrono::milliseconds timeout);
  std::vector<MaskResult> finish();

 private:
  void loop();
  void drain();

  BatchChannel channel_{2};
  pool::CancelToken token_;
  std::mutex done_mu_;
  std::condition_variable done_cv_;
  bool done_ = false;
  ReadCounters& counters_;
  bool boundary_;
  double dilation_;
  std::vector<MaskResult> results_;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace quillscore::py
