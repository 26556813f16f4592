#include "verifier/run/parallel_verify.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

namespace velm::verify {

namespace {

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

using Clock = std::chrono::steady_clock;

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

// Calls the progress function at most five times a second.
class Ticker {
 public:
  explicit Ticker(const ProgressFn& progress) : progress_(progress) {}
  void operator()(std::uint64_t lines, std::uint64_t bytes, std::optional<std::uint64_t> total, bool last = false) {
    if (!progress_) return;
    if (!last && Clock::now() < next_) return;
    progress_(lines, bytes, total);
    next_ = Clock::now() + std::chrono::milliseconds(200);
  }

 private:
  const ProgressFn& progress_;
  Clock::time_point next_ = Clock::now();
};

}  // namespace

LogPiece file_piece(const std::string& path) {
  return {path, [path](std::size_t max_line_bytes) { return std::make_unique<LineSource>(path, max_line_bytes); }};
}

unsigned available_cores() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

// The worker threads and the queue of batches waiting for them.
struct ParallelVerifier::Pool {
  std::mutex mutex;
  Condition work_ready;
  Condition batch_done;
  std::deque<Batch*> todo;
  std::size_t busy = 0;  // batches taken by a worker and not yet done
  bool stopping = false;
  std::vector<std::thread> threads;

  Pool(const PublicKey& key, unsigned count) {
    try {
      for (unsigned i = 0; i < count; ++i) threads.emplace_back([this, key] { work(key); });
    } catch (...) {
      stop();
      throw;
    }
  }
  ~Pool() { stop(); }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  void stop() noexcept {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    work_ready.notify_all();
    for (std::thread& t : threads) t.join();
    threads.clear();
  }

  void work(const PublicKey& key) {
    // A checker that cannot be built leaves its batches to the other workers.
    std::optional<LineChecker> checker;
    try {
      checker.emplace(key);
    } catch (...) {
      return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      work_ready.wait(lock, [&] { return stopping || !todo.empty(); });
      if (stopping) return;
      Batch* batch = todo.front();
      todo.pop_front();
      ++busy;
      lock.unlock();
      batch->check(*checker);
      lock.lock();
      batch->done = true;
      --busy;
      batch_done.notify_all();
    }
  }

  void submit(Batch* batch) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      batch->done = false;
      todo.push_back(batch);
    }
    work_ready.notify_one();
  }

  // Waits for `batch`, checking waiting batches with `helper` meanwhile: the calling thread is
  // one of the checking threads whenever it has nothing else to do.
  void wait(Batch* batch, LineChecker& helper) {
    std::unique_lock<std::mutex> lock(mutex);
    while (!batch->done) {
      if (todo.empty()) {
        batch_done.wait(lock);
        continue;
      }
      Batch* other = todo.front();
      todo.pop_front();
      ++busy;
      lock.unlock();
      other->check(helper);
      lock.lock();
      other->done = true;
      --busy;
      batch_done.notify_all();
    }
  }

  // Takes back every batch not yet started and waits for those being checked: called before the
  // batches go away, also when reading failed part-way.
  void cancel() noexcept {
    std::unique_lock<std::mutex> lock(mutex);
    todo.clear();
    batch_done.wait(lock, [&] { return busy == 0; });
  }
};

ParallelVerifier::ParallelVerifier(const PublicKey& key, unsigned jobs, BatchLimits limits)
    : key_(key), jobs_(jobs == 0 ? 1 : jobs), limits_(limits) {
  if (limits_.lines == 0) limits_.lines = 1;
  // The calling thread checks too while it waits: jobs - 1 workers besides it.
  if (jobs_ > 1) {
    pool_ = std::make_unique<Pool>(key_, jobs_ - 1);
    helper_ = std::make_unique<LineChecker>(key_);
  }
}

ParallelVerifier::~ParallelVerifier() = default;

LogReport ParallelVerifier::verify(const std::vector<LogPiece>& pieces, const VerifyOptions& options,
                                   const ProgressFn& progress) {
  const std::string name = pieces.empty() ? std::string() : pieces.back().name;
  LogVerifier verifier(key_, options, name);
  Ticker tick(progress);
  std::vector<PieceInfo> infos;
  std::uint64_t lines_read = 0;
  std::uint64_t bytes_before = 0;  // of the pieces already read
  std::optional<std::uint64_t> total;
  std::string line;
  std::uint64_t length = 0;

  // Checked on this thread: no batches.
  if (!pool_) {
    for (const LogPiece& piece : pieces) {
      const std::unique_ptr<LineSource> source = piece.open(options.max_line_bytes);
      infos.push_back({piece.name, lines_read + 1, 0, 0});
      total = pieces.size() == 1 ? source->size() : std::nullopt;
      for (LineSource::Status status; (status = source->next(line, length)) != LineSource::Status::kEnd;) {
        verifier.add_read(status, line, length);
        ++lines_read;
        if (line.capacity() > (std::size_t{1} << 20)) std::string().swap(line);
        if ((lines_read & 1023) == 0) tick(lines_read, bytes_before + source->bytes_read(), total);
      }
      infos.back().lines = lines_read - infos.back().first_line + 1;
      infos.back().bytes = source->bytes_read();
      bytes_before += source->bytes_read();
    }
  } else {
    // Batches in log order; the oldest is placed once its worker is done with it.
    const std::size_t max_batches = 2 * static_cast<std::size_t>(jobs_) + 2;
    std::vector<std::unique_ptr<Batch>> owned;
    std::vector<Batch*> spare;
    std::deque<Batch*> in_flight;
    struct Cancel {
      Pool& pool;
      ~Cancel() { pool.cancel(); }
    } cancel_on_exit{*pool_};

    auto place_oldest = [&] {
      Batch* b = in_flight.front();
      pool_->wait(b, *helper_);
      if (b->error) std::rethrow_exception(b->error);
      for (std::size_t i = 0; i < b->entries.size(); ++i) {
        switch (b->entries[i].status) {
          case LineSource::Status::kLine:
            verifier.add_checked(b->facts[i]);
            if (b->tree) verifier.add_tree_leaf(b->leaves[i]);
            break;
          case LineSource::Status::kTorn:
            verifier.add_torn_line();
            break;
          case LineSource::Status::kOversized:
            verifier.add_oversized_line(b->entries[i].length);
            break;
          case LineSource::Status::kEnd:
            break;
        }
      }
      in_flight.pop_front();
      b->entries.clear();
      b->text.clear();
      if (b->text.capacity() > 4 * limits_.bytes) std::string().swap(b->text);
      spare.push_back(b);
    };
    auto fresh_batch = [&]() -> Batch* {
      if (spare.empty() && owned.size() < max_batches)
        owned.push_back(std::make_unique<Batch>()), spare.push_back(owned.back().get());
      if (spare.empty()) place_oldest();
      Batch* b = spare.back();
      spare.pop_back();
      b->tree = options.tree;
      return b;
    };
    auto send = [&](Batch* b) {
      if (b->entries.empty()) {
        spare.push_back(b);
        return;
      }
      in_flight.push_back(b);
      pool_->submit(b);
    };

    Batch* batch = fresh_batch();
    for (const LogPiece& piece : pieces) {
      const std::unique_ptr<LineSource> source = piece.open(options.max_line_bytes);
      infos.push_back({piece.name, lines_read + 1, 0, 0});
      total = pieces.size() == 1 ? source->size() : std::nullopt;
      for (LineSource::Status status; (status = source->next(line, length)) != LineSource::Status::kEnd;) {
        const std::size_t offset = batch->text.size();
        if (status == LineSource::Status::kLine) batch->text.append(line);
        batch->entries.push_back({status, offset, batch->text.size() - offset, length});
        ++lines_read;
        if (line.capacity() > (std::size_t{1} << 20)) std::string().swap(line);
        if (batch->entries.size() >= limits_.lines || batch->text.size() >= limits_.bytes) {
          send(batch);
          batch = fresh_batch();
          tick(verifier.lines(), bytes_before + source->bytes_read(), total);
        }
      }
      infos.back().lines = lines_read - infos.back().first_line + 1;
      infos.back().bytes = source->bytes_read();
      bytes_before += source->bytes_read();
    }
    send(batch);
    while (!in_flight.empty()) place_oldest();
  }

  tick(lines_read, bytes_before, total, true);
  LogReport report = verifier.finish(name, bytes_before);
  if (pieces.size() > 1) {
    report.pieces = std::move(infos);
    report.attribute_failures_to_pieces();
  }
  return report;
}

}  // namespace velm::verify
