#include "verifier/run/parallel_verify.h"

#include <sched.h>

#include <chrono>
#include <deque>
#include <optional>
#include <thread>

#include "verifier/run/worker_pool.h"

namespace velm::verify {

namespace {

using Clock = std::chrono::steady_clock;

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

// The one read loop: the pieces of one log in order, a line at a time, with the lines and bytes
// of each piece counted.
class PieceReader {
 public:
  PieceReader(const std::vector<LogPiece>& pieces, std::size_t max_line_bytes)
      : pieces_(pieces), max_line_bytes_(max_line_bytes) {}

  // Calls take(status, line, length) for every line, as LineSource::next gives it.
  template <class Take>
  void read_all(Take&& take) {
    for (const LogPiece& piece : pieces_) {
      source_ = piece.open(max_line_bytes_);
      infos_.push_back({piece.name, lines_ + 1, 0, 0});
      total_ = pieces_.size() == 1 ? source_->size() : std::nullopt;
      for (LineSource::Status status; (status = source_->next(line_, length_)) != LineSource::Status::kEnd;) {
        ++lines_;
        take(status, line_, length_);
        if (line_.capacity() > (std::size_t{1} << 20)) std::string().swap(line_);
      }
      infos_.back().lines = lines_ - infos_.back().first_line + 1;
      infos_.back().bytes = source_->bytes_read();
      bytes_before_ += source_->bytes_read();
      source_.reset();
    }
  }

  std::uint64_t lines() const noexcept { return lines_; }
  std::uint64_t bytes() const noexcept { return bytes_before_ + (source_ ? source_->bytes_read() : 0); }
  std::optional<std::uint64_t> total() const noexcept { return total_; }
  std::vector<PieceInfo> take_infos() { return std::move(infos_); }

 private:
  const std::vector<LogPiece>& pieces_;
  std::size_t max_line_bytes_;
  std::unique_ptr<LineSource> source_;
  std::vector<PieceInfo> infos_;
  std::uint64_t lines_ = 0;
  std::uint64_t bytes_before_ = 0;  // of the pieces already read
  std::optional<std::uint64_t> total_;
  std::string line_;
  std::uint64_t length_ = 0;
};

// Lines gathered into batches for the workers, and the checked batches placed in log order, the
// oldest once its worker is done with it. At most `max_batches` exist at a time.
class BatchQueue {
 public:
  BatchQueue(WorkerPool& pool, LineChecker& helper, LogVerifier& verifier, BatchLimits limits, std::size_t max_batches,
             bool tree)
      : pool_(pool), helper_(helper), verifier_(verifier), limits_(limits), max_batches_(max_batches), tree_(tree) {
    batch_ = fresh_batch();
  }
  // The batches go only once no worker holds one, also when reading failed part-way.
  ~BatchQueue() { pool_.cancel(); }
  BatchQueue(const BatchQueue&) = delete;
  BatchQueue& operator=(const BatchQueue&) = delete;

  // Adds a line; true when that filled the batch, which then went to the workers.
  bool add(LineSource::Status status, const std::string& line, std::uint64_t length) {
    const std::size_t offset = batch_->text.size();
    if (status == LineSource::Status::kLine) batch_->text.append(line);
    batch_->entries.push_back({status, offset, batch_->text.size() - offset, length});
    if (batch_->entries.size() < limits_.lines && batch_->text.size() < limits_.bytes) return false;
    send(batch_);
    batch_ = fresh_batch();
    return true;
  }

  // Sends the last batch and places every batch.
  void finish() {
    send(batch_);
    batch_ = nullptr;
    while (!in_flight_.empty()) place_oldest();
  }

 private:
  void place_oldest() {
    Batch* b = in_flight_.front();
    pool_.wait(b, helper_);
    if (b->error) std::rethrow_exception(b->error);
    for (std::size_t i = 0; i < b->entries.size(); ++i) {
      switch (b->entries[i].status) {
        case LineSource::Status::kLine:
          verifier_.add_checked(b->facts[i]);
          if (b->tree) verifier_.add_tree_leaf(b->leaves[i]);
          break;
        case LineSource::Status::kTorn:
          verifier_.add_torn_line();
          break;
        case LineSource::Status::kOversized:
          verifier_.add_oversized_line(b->entries[i].length);
          break;
        case LineSource::Status::kNotLog:
          verifier_.add_not_a_log(b->entries[i].length);
          break;
        case LineSource::Status::kEnd:
          break;
      }
    }
    in_flight_.pop_front();
    b->entries.clear();
    b->text.clear();
    if (b->text.capacity() > 4 * limits_.bytes) std::string().swap(b->text);
    spare_.push_back(b);
  }

  Batch* fresh_batch() {
    if (spare_.empty() && owned_.size() < max_batches_) {
      owned_.push_back(std::make_unique<Batch>());
      spare_.push_back(owned_.back().get());
    }
    if (spare_.empty()) place_oldest();
    Batch* b = spare_.back();
    spare_.pop_back();
    b->tree = tree_;
    return b;
  }

  void send(Batch* b) {
    if (b->entries.empty()) {
      spare_.push_back(b);
      return;
    }
    in_flight_.push_back(b);
    pool_.submit(b);
  }

  WorkerPool& pool_;
  LineChecker& helper_;
  LogVerifier& verifier_;
  BatchLimits limits_;
  std::size_t max_batches_;
  bool tree_;
  std::vector<std::unique_ptr<Batch>> owned_;
  std::vector<Batch*> spare_;
  std::deque<Batch*> in_flight_;
  Batch* batch_ = nullptr;  // the one being filled
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

ParallelVerifier::ParallelVerifier(const PublicKey& key, unsigned jobs, BatchLimits limits)
    : key_(key), jobs_(jobs == 0 ? 1 : jobs), limits_(limits) {
  if (limits_.lines == 0) limits_.lines = 1;
  // The calling thread checks too while it waits: jobs - 1 workers besides it.
  if (jobs_ > 1) {
    pool_ = std::make_unique<WorkerPool>(key_, jobs_ - 1);
    helper_ = std::make_unique<LineChecker>(key_);
  }
}

ParallelVerifier::~ParallelVerifier() = default;

LogReport ParallelVerifier::verify(const std::vector<LogPiece>& pieces, const VerifyOptions& options,
                                   const ProgressFn& progress, const LineObserver& observe) {
  const std::string name = pieces.empty() ? std::string() : pieces.back().name;
  LogVerifier verifier(key_, options, name);
  Ticker tick(progress);
  PieceReader reader(pieces, options.max_line_bytes);
  if (!pool_) {
    // Checked on this thread: no batches.
    reader.read_all([&](LineSource::Status status, const std::string& line, std::uint64_t length) {
      if (observe) observe(status, line);
      verifier.add_read(status, line, length);
      if ((reader.lines() & 1023) == 0) tick(reader.lines(), reader.bytes(), reader.total());
    });
  } else {
    BatchQueue batches(*pool_, *helper_, verifier, limits_, 2 * static_cast<std::size_t>(jobs_) + 2, options.tree);
    reader.read_all([&](LineSource::Status status, const std::string& line, std::uint64_t length) {
      if (observe) observe(status, line);
      if (batches.add(status, line, length)) tick(verifier.lines(), reader.bytes(), reader.total());
    });
    batches.finish();
  }
  tick(reader.lines(), reader.bytes(), reader.total(), true);
  LogReport report = verifier.finish(name, reader.bytes());
  if (pieces.size() > 1) {
    report.pieces = reader.take_infos();
    report.attribute_failures_to_pieces();
    report.hint_at_piece_order();
  }
  return report;
}

LogReport verify_log_file(const std::string& path, const PublicKey& key, const VerifyOptions& options,
                          const ProgressFn& progress) {
  return ParallelVerifier(key, 1).verify({file_piece(path)}, options, progress);
}

}  // namespace velm::verify
