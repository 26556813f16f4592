#include "verifier/run/worker_pool.h"

#include <optional>

namespace velm::verify {

WorkerPool::WorkerPool(const PublicKey& key, unsigned count) {
  try {
    for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this, key] { work(key); });
  } catch (...) {
    stop();
    throw;
  }
}

void WorkerPool::stop() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

void WorkerPool::work(const PublicKey& key) {
  // A checker that cannot be built leaves its batches to the other workers.
  std::optional<LineChecker> checker;
  try {
    checker.emplace(key);
  } catch (...) {
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [&] { return stopping_ || !todo_.empty(); });
    if (stopping_) return;
    Batch* batch = todo_.front();
    todo_.pop_front();
    ++busy_;
    lock.unlock();
    batch->check(*checker);
    lock.lock();
    batch->done = true;
    --busy_;
    batch_done_.notify_all();
  }
}

void WorkerPool::submit(Batch* batch) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batch->done = false;
    todo_.push_back(batch);
  }
  work_ready_.notify_one();
}

void WorkerPool::wait(Batch* batch, LineChecker& helper) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!batch->done) {
    if (todo_.empty()) {
      batch_done_.wait(lock);
      continue;
    }
    Batch* other = todo_.front();
    todo_.pop_front();
    ++busy_;
    lock.unlock();
    other->check(helper);
    lock.lock();
    other->done = true;
    --busy_;
    batch_done_.notify_all();
  }
}

void WorkerPool::cancel() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  todo_.clear();
  batch_done_.wait(lock, [&] { return busy_ == 0; });
}

}  // namespace velm::verify
