// The audit engine: signing identity, chain root, scoring state and the capture pipeline.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "encoding/digest.h"
#include "encoding/ed25519.h"
#include "encoding/json_writer.h"
#include "engine/record_log.h"
#include "engine/scoring.h"
#include "records/human_delta_chain.h"
#include "records/ppp_triplet.h"
#include "records/sealed_record.h"

namespace velm {

inline constexpr std::string_view kMemoryPath = ":memory:";

// Everything a capture takes, already converted to text. The views and pointers refer to the
// caller's objects, which must stay unchanged until the capture returns.
struct CaptureInput {
  std::string ctx_json;
  std::string_view prompt;
  std::string reasoning_trace_json;
  std::string_view output;
  const PPPTripletData* ppp = nullptr;
  const HumanDeltaChainData* review = nullptr;
  bool auto_insight = true;
};

// The values of a capture that come from the clocks and the random source. They are drawn before
// anything else so that a failure there leaves the engine as it was.
struct Stamps {
  std::uint64_t monotonic_nanos = 0;
  std::string id;
  std::string timestamp;
};
Stamps draw_stamps();

// What the caller of Engine::capture does around the append. The binding releases the
// interpreter lock around it, runs the Python signal handlers when a signal interrupts the wait
// for the log's lock, and turns a failed append into a warning.
class CaptureHooks {
 public:
  virtual ~CaptureHooks() = default;
  // Called just before and just after the append (not in memory mode).
  virtual void before_append() noexcept {}
  virtual void after_append() noexcept {}
  // Asked, between the two, each time a signal interrupts the wait for the log's lock; true gives
  // up the append before anything is written.
  virtual bool give_up_on_signal() noexcept { return false; }
  // Called after after_append when the append failed or was given up. Throwing fails the whole
  // capture with nothing committed; returning commits (a failed append is then only reported),
  // except after a give-up, which must throw.
  virtual void append_failed(const AppendResult& result) { (void)result; }
};

class Engine {
 public:
  // Creates the log file if missing (failures ignored), then loads or creates the signing key
  // beside it; memory mode touches no file. Throws FatalError.
  explicit Engine(std::string wal_path);

  const std::string& wal_path() const noexcept { return wal_path_; }
  bool memory_mode() const noexcept { return memory_mode_; }
  const PublicKey& public_key() const noexcept { return key_.public_key(); }
  std::string public_key_hex() const;
  // Set when the key file may be read by other users; empty otherwise.
  const std::string& key_warning() const noexcept { return key_warning_; }
  const Digest& chain_root() const noexcept { return chain_root_; }
  const Scorer& scorer() const noexcept { return scorer_; }

  // A capture in two halves. `prepare` scores, seals and chains the decision and builds the whole
  // record without changing the engine; everything that can fail happens there. `commit` then
  // advances history, reputation and chain root and cannot fail. Between the two the caller may
  // append the record to the log and decide, if that fails, not to commit at all.
  struct Prepared {
    Evaluation evaluation;
    Digest new_root{};
    SealedRecordData record;
  };
  Prepared prepare(CaptureInput&& input, Stamps&& stamps) const;
  void commit(const Prepared& prepared) noexcept;

  // The whole capture, in its one order: start a new chain if this process is a fork's child,
  // prepare, append the line to the log (outside memory mode), report a failed append through
  // `hooks` (which may throw, and then nothing is committed), commit, and move the record into
  // `record`. Everything before the commit may fail and leaves the engine and `record` as they
  // were.
  void capture(CaptureInput&& input, Stamps&& stamps, SealedRecordData& record, CaptureHooks& hooks);
  // The same with hooks that do nothing: a failed append is ignored and the capture commits.
  void capture(CaptureInput&& input, Stamps&& stamps, SealedRecordData& record);

  // After a fork, the child's first capture starts a new chain, as a new engine on the same path
  // would: fresh history, reputation 0.5, genesis root, the same key. The parent is unaffected.
  void restart_if_forked() noexcept;

  // Appends the record's line to the log (outside memory mode). Touches no Python object, so it
  // may run without the interpreter lock. Never throws.
  AppendResult append_to_log(const SealedRecordData& record, SignalCheck on_signal = {}) noexcept;
  // The log's name as it is opened (absolute, or relative to the kept working directory).
  const std::string& log_path() const noexcept { return log_.path(); }

 private:
  std::string wal_path_;
  bool memory_mode_;
  LogLocation log_;  // wal_path_ resolved at construction
  std::uint64_t fork_generation_;
  std::string key_warning_;  // before key_, which fills it in
  SigningKey key_;
  Digest chain_root_;
  Scorer scorer_;
  JsonWriter line_writer_;  // reused by every append
  bool previous_line_large_ = false;
  // Reused for the small JSON texts of each record; scratch space, not state of the engine.
  mutable JsonWriter text_writer_;
};

// Counts the fork() calls this process went through since it started (0 in the first process):
// a process-wide number bumped in every child, so that state copied from the parent can tell.
std::uint64_t fork_generation() noexcept;

// Scratch buffers larger than this are given back after use rather than kept for the next
// capture (unless the next is as large), so one huge record does not pin its size in memory for
// the engine's life.
inline constexpr std::size_t kKeptBufferBytes = std::size_t{1} << 20;

// The seal text: provenance, place, purpose, prompt, then the coherence and the new reputation as
// seal float texts, with no separators.
std::string seal_text(const PPPTripletData& ppp, std::string_view prompt, double coherence, double reputation);

// BLAKE3 of the seal text, fed in pieces so that a large prompt is not copied.
Digest content_digest(const PPPTripletData& ppp, std::string_view prompt, double coherence, double reputation) noexcept;

}  // namespace velm
