// Verifies a log with its lines checked on several threads (worker_pool.h). Reading, chain placement and score
// replay stay on the calling thread, in log order; the per-line checks (parse, form, hash,
// signature) run on the workers, and on the calling thread while it waits for them. The lines travel in batches, each
// bounded in lines and in bytes, and at most a few batches per worker are in flight, so memory does not grow with the
// log. The report is the one LogVerifier gives for the same lines fed one by one.
//
// A log may also be a series: the pieces of one log cut by rename-based rotation, given oldest
// first and read as one log, so chains continue from one piece into the next. Failures name the
// piece and the line within it; the report's line counts (and the chains' lines) run over the
// whole series.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "verifier/line/line_source.h"
#include "verifier/run/log_verifier.h"

namespace velm::verify {

class WorkerPool;

// One piece of a log: its name in the report, and how to open it (called when its turn comes,
// so a long series keeps one piece open at a time).
struct LogPiece {
  std::string name;
  std::function<std::unique_ptr<LineSource>(std::size_t max_line_bytes)> open;
};

// A piece read from a file ("-" is standard input).
LogPiece file_piece(const std::string& path);

// Told each line of a log as LineSource::next gives it.
using LineObserver = std::function<void(LineSource::Status status, const std::string& line)>;

struct BatchLimits {
  std::size_t lines = 1024;
  std::size_t bytes = std::size_t{1} << 20;  // a single longer line makes a batch of its own
};

// The cores this process may run on (sched_getaffinity), at least 1.
unsigned available_cores() noexcept;

class ParallelVerifier {
 public:
  // `jobs` threads check lines; 1 checks them on the calling thread, with no other thread.
  ParallelVerifier(const PublicKey& key, unsigned jobs, BatchLimits limits = {});
  ~ParallelVerifier();
  ParallelVerifier(const ParallelVerifier&) = delete;
  ParallelVerifier& operator=(const ParallelVerifier&) = delete;

  unsigned jobs() const noexcept { return jobs_; }

  // One log made of `pieces` (one for a plain log). With more than one piece the report's path is
  // the last piece's name and LogReport::pieces lists them all. `observe`, when given, sees each
  // line on the calling thread as it is read, in order. Throws IoError.
  LogReport verify(const std::vector<LogPiece>& pieces, const VerifyOptions& options, const ProgressFn& progress = {},
                   const LineObserver& observe = {});

 private:
  PublicKey key_;
  unsigned jobs_;
  BatchLimits limits_;
  std::unique_ptr<WorkerPool> pool_;
  std::unique_ptr<LineChecker> helper_;  // the calling thread's, when there are workers
};

// Verifies one whole log ("-" is standard input). Throws IoError.
LogReport verify_log_file(const std::string& path, const PublicKey& key, const VerifyOptions& options,
                          const ProgressFn& progress = {});

}  // namespace velm::verify
