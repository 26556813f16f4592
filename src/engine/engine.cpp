#include "engine/engine.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "encoding/clock.h"
#include "encoding/entropy.h"
#include "encoding/fatal_error.h"
#include "encoding/float_text.h"
#include "encoding/unique_fd.h"
#include "engine/key_file.h"
#include "records/record_json.h"

namespace velm {

namespace {

void touch_log_file(const std::string& path) noexcept {
  if (path.find('\0') != std::string::npos) return;
  const UniqueFd created(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
}

std::atomic<std::uint64_t> g_fork_generation{0};

void count_fork_in_child() noexcept { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

// The log's place, resolved now, and the log file created if missing (failures ignored): a log
// that cannot be created now is reported at the first append.
LogLocation prepare_log(const std::string& wal_path, bool memory_mode) {
  if (memory_mode) return {};
  LogLocation log = resolve_log_location(wal_path);
  touch_log_file(wal_path);
  return log;
}

SecretSeed obtain_seed(const std::string& wal_path, bool memory_mode, std::string& warning) {
  if (memory_mode) return generate_seed();
  return load_or_create_seed(wal_path + kKeyFileSuffix, warning);
}

}  // namespace

std::uint64_t fork_generation() noexcept {
  // Registered before the first engine exists, so no fork after it goes uncounted.
  static const int registered = ::pthread_atfork(nullptr, nullptr, count_fork_in_child);
  (void)registered;
  return g_fork_generation.load(std::memory_order_relaxed);
}

Engine::Engine(std::string wal_path)
    : wal_path_(std::move(wal_path)),
      memory_mode_(wal_path_ == kMemoryPath),
      log_(prepare_log(wal_path_, memory_mode_)),
      fork_generation_(fork_generation()),
      key_(signing_key_from_seed(obtain_seed(wal_path_, memory_mode_, key_warning_))),
      chain_root_(genesis_root()) {}

std::string Engine::public_key_hex() const { return hex_lower(key_.public_key().data(), key_.public_key().size()); }

Stamps draw_stamps() {
  Stamps stamps;
  stamps.monotonic_nanos = monotonic_gap_nanos();
  stamps.id.reserve(4 + kUuidTextSize);
  stamps.id = "qor_";
  stamps.id += uuid_text(new_uuid_v4());
  stamps.timestamp = rfc3339_now();
  return stamps;
}

std::string seal_text(const PPPTripletData& ppp, std::string_view prompt, double coherence, double reputation) {
  std::string text;
  text.reserve(ppp.provenance.size() + ppp.place.size() + ppp.purpose.size() + prompt.size() + 2 * kFloatTextCapacity);
  text += ppp.provenance;
  text += ppp.place;
  text += ppp.purpose;
  text += prompt;
  append_seal_float(text, coherence);
  append_seal_float(text, reputation);
  return text;
}

Digest content_digest(const PPPTripletData& ppp, std::string_view prompt, double coherence,
                      double reputation) noexcept {
  Blake3Hasher hasher;
  for (std::string_view piece :
       {std::string_view(ppp.provenance), std::string_view(ppp.place), std::string_view(ppp.purpose), prompt}) {
    hasher.update(piece);
  }
  char number[kFloatTextCapacity];
  hasher.update(number, write_seal_float(coherence, number));
  hasher.update(number, write_seal_float(reputation, number));
  return hasher.finalize();
}

Engine::Prepared Engine::prepare(CaptureInput&& input, Stamps&& stamps) const {
  Prepared out;
  out.evaluation = scorer_.evaluate(input.prompt.size(), input.output.size(), input.auto_insight);
  const Evaluation& evaluation = out.evaluation;

  const Digest digest = content_digest(*input.ppp, input.prompt, evaluation.coherence, evaluation.reputation);
  const Signature signature = sign_message(key_, digest.data(), digest.size());
  out.new_root = next_chain_root(chain_root_, digest);

  SealedRecordData& built = out.record;
  built.id = std::move(stamps.id);
  built.timestamp = std::move(stamps.timestamp);
  built.monotonic_nanos = stamps.monotonic_nanos;
  built.hash = hex_lower(digest);
  std::copy(signature.begin(), signature.end(), built.signature.begin());
  built.merkle_root = hex_lower(out.new_root);
  built.coherence_score = evaluation.coherence;
  built.reputation_scalar = evaluation.reputation;
  built.ppp_json = json_text(text_writer_, write_ppp_json, *input.ppp);
  built.ctx_json = std::move(input.ctx_json);
  built.prompt = std::string(input.prompt);
  built.reasoning_trace_json = std::move(input.reasoning_trace_json);
  built.output = std::string(input.output);
  built.human_delta_chain_json = json_text(text_writer_, write_human_delta_chain_json, *input.review);
  if (evaluation.insight) {
    built.core_insight_json = json_text(text_writer_, write_core_insight, *evaluation.insight);
  }
  if (text_writer_.capacity() > kKeptBufferBytes) text_writer_.release();
  return out;
}

void Engine::commit(const Prepared& prepared) noexcept {
  scorer_.commit(prepared.evaluation);
  chain_root_ = prepared.new_root;
}

void Engine::capture(CaptureInput&& input, Stamps&& stamps, SealedRecordData& record, CaptureHooks& hooks) {
  restart_if_forked();
  Prepared prepared = prepare(std::move(input), std::move(stamps));
  if (!memory_mode_) {
    hooks.before_append();
    const SignalCheck on_signal{[](void* context) { return static_cast<CaptureHooks*>(context)->give_up_on_signal(); },
                                &hooks};
    const AppendResult appended = append_to_log(prepared.record, on_signal);
    hooks.after_append();
    if (!appended) {
      hooks.append_failed(appended);
      if (appended.abandoned) throw FatalError("the append was given up but the capture was not stopped");
    }
  }
  commit(prepared);
  record = std::move(prepared.record);
}

void Engine::capture(CaptureInput&& input, Stamps&& stamps, SealedRecordData& record) {
  CaptureHooks hooks;
  capture(std::move(input), std::move(stamps), record, hooks);
}

void Engine::restart_if_forked() noexcept {
  const std::uint64_t now = fork_generation();
  if (now == fork_generation_) return;
  fork_generation_ = now;
  scorer_.reset();
  chain_root_ = genesis_root();
}

AppendResult Engine::append_to_log(const SealedRecordData& record, SignalCheck on_signal) noexcept {
  if (memory_mode_) return {};
  AppendResult result;
  try {
    write_record_json(line_writer_, record);
    line_writer_.line_feed();
    result = append_log_line(log_.dir(), log_.path(), line_writer_.text(), on_signal);
  } catch (const std::bad_alloc&) {
    result = {ENOMEM};
  }
  // A lone large line gives its buffer back at once; a run of large lines keeps it, and the first
  // ordinary line after the run gives it back.
  const bool large = line_writer_.text().size() > kKeptBufferBytes;
  if (line_writer_.capacity() > kKeptBufferBytes && !(large && previous_line_large_)) line_writer_.release();
  previous_line_large_ = large;
  return result;
}

}  // namespace velm
