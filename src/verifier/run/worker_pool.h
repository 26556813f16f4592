// The worker threads that check a log's lines, a batch at a time, while the calling thread reads
// the log and places the checked lines in log order.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "verifier/line/line_check.h"
#include "verifier/line/line_source.h"
#include "verifier/tlog/merkle.h"

namespace velm::verify {

// A run of consecutive lines of a log: their texts back to back, and per line where it lies (or
// why it was not read) and, once a worker is done with it, what its checks found.
struct Batch {
  struct Entry {
    LineSource::Status status;
    std::size_t offset;
    std::size_t size;
    std::uint64_t length;  // of an oversized line, which is not kept
  };
  std::string text;
  std::vector<Entry> entries;
  std::vector<LineFacts> facts;
  // With a tree over the log (checkpoints): each line's leaf hash, made by the worker too.
  bool tree = false;
  std::vector<TreeHash> leaves;
  std::exception_ptr error;
  bool done = false;  // guarded by the pool's mutex

  void check(LineChecker& checker) noexcept {
    try {
      if (facts.size() < entries.size()) facts.resize(entries.size());
      if (tree && leaves.size() < entries.size()) leaves.resize(entries.size());
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        if (e.status != LineSource::Status::kLine) continue;
        const std::string_view line = std::string_view(text).substr(e.offset, e.size);
        checker.check(line, facts[i]);
        if (tree) leaves[i] = leaf_hash(line);
      }
    } catch (...) {
      error = std::current_exception();
    }
  }
};

// A condition variable over a std::mutex, on the POSIX one. libstdc++ 12 versions
// std::condition_variable::wait at GLIBCXX_3.4.30, which would raise the manylinux tag of the
// wheel's binaries; pthread_cond_wait has been in glibc all along.
class Condition {
 public:
  Condition() = default;
  ~Condition() { pthread_cond_destroy(&cond_); }
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  void wait(std::unique_lock<std::mutex>& lock) noexcept { pthread_cond_wait(&cond_, lock.mutex()->native_handle()); }
  template <class Predicate>
  void wait(std::unique_lock<std::mutex>& lock, Predicate done) {
    while (!done()) wait(lock);
  }
  void notify_one() noexcept { pthread_cond_signal(&cond_); }
  void notify_all() noexcept { pthread_cond_broadcast(&cond_); }

 private:
  pthread_cond_t cond_ = PTHREAD_COND_INITIALIZER;
};

// The worker threads and the queue of batches waiting for them.
class WorkerPool {
 public:
  WorkerPool(const PublicKey& key, unsigned count);
  ~WorkerPool() { stop(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void submit(Batch* batch);
  // Waits for `batch`, checking waiting batches with `helper` meanwhile: the calling thread is
  // one of the checking threads whenever it has nothing else to do.
  void wait(Batch* batch, LineChecker& helper);
  // Takes back every batch not yet started and waits for those being checked: called before the
  // batches go away, also when reading failed part-way.
  void cancel() noexcept;

 private:
  void stop() noexcept;
  void work(const PublicKey& key);

  std::mutex mutex_;
  Condition work_ready_;
  Condition batch_done_;
  std::deque<Batch*> todo_;
  std::size_t busy_ = 0;  // batches taken by a worker and not yet done
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace velm::verify
