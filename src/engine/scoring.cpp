#include "engine/scoring.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "engine/scoring_internal.h"

namespace velm {

namespace {

constexpr float kPhaseStep = 0.37f;
constexpr float kPhasePeriod = 6.28f;
constexpr float kAmplitude = 0.6f;
constexpr float kOffset = 0.4f;
constexpr float kDecay = 0.98f;
// 1 - 0.98f as float arithmetic gives it; written out so no one "simplifies" it to 0.02f.
constexpr float kDecayNorm = 0.019999980926513672f;
constexpr float kDeltaScale = 127.0f;
constexpr float kDeltaMin = -128.0f;
constexpr float kDeltaMax = 127.0f;
constexpr double kNeutralCoherence = 0.5;
constexpr double kCoherenceWeight = 0.02;
constexpr double kReputationWeight = 0.98;
constexpr double kDeltaNorm = 0.18;

static_assert(kHistoryLimit >= 1);

// Repeated squaring in single precision. Its last bits differ from a correctly rounded power, and
// the sealed numbers depend on exactly these bits.
float powi(float b, std::uint32_t k) noexcept {
  float r = (k & 1U) != 0 ? b : 1.0f;
  std::uint32_t e = k >> 1;
  while (e != 0) {
    b = b * b;
    if ((e & 1U) != 0) r = r * b;
    e >>= 1;
  }
  return r;
}

// powi(0.98f, k) for k = 0..kHistoryLimit.
const float* decay_powers() noexcept {
  static const std::array<float, kHistoryLimit + 1> table = [] {
    std::array<float, kHistoryLimit + 1> t{};
    for (std::size_t k = 0; k < t.size(); ++k) t[k] = powi(kDecay, static_cast<std::uint32_t>(k));
    return t;
  }();
  return table.data();
}

// The weights of the n newest vectors (1 <= n <= kHistoryLimit), newest first.
void decay_weights(float* out, std::size_t n) noexcept {
  const float* powers = decay_powers();
  const float remaining = 1.0f - powers[n];
  const float norm = remaining / kDecayNorm;
  for (std::size_t k = 0; k < n; ++k) out[k] = powers[k] / norm;
}

// A full history is the steady state, so its weights are worked out once.
const float* full_history_weights() noexcept {
  static const std::array<float, kHistoryLimit> table = [] {
    std::array<float, kHistoryLimit> t{};
    decay_weights(t.data(), kHistoryLimit);
    return t;
  }();
  return table.data();
}

// A remainder is always exact, so any exact method gives fmodf's result. Below 2^29 periods the
// quotient times the period is exact in double (29 + 24 bits), the subtraction is exact because
// both operands are multiples of the period's last bit, and a quotient off by one (from the
// rounded reciprocal, or the truncation) is corrected by one step. That is several times faster
// than the library's bit loop. (GCC does not vectorise a loop of it: with trapping math it keeps
// the two comparisons as branches.)
constexpr double kPeriod = kPhasePeriod;
constexpr double kFastPhaseLimit = kPeriod * 536870912.0;  // 2^29 periods

float fast_phase_remainder(float x) noexcept {  // 0 <= x < kFastPhaseLimit
  const double value = x;
  const double quotient = static_cast<double>(static_cast<std::int32_t>(value * (1.0 / kPeriod)));
  double rest = value - quotient * kPeriod;
  rest = rest < 0.0 ? rest + kPeriod : rest;
  rest = rest >= kPeriod ? rest - kPeriod : rest;
  return static_cast<float>(rest);
}

}  // namespace

namespace scoring_detail {

float phase_remainder(float x) noexcept {
  const double value = x;
  if (!(value >= 0.0) || value >= kFastPhaseLimit) return std::fmod(x, kPhasePeriod);
  return fast_phase_remainder(x);
}

DecisionVector decision_vector(std::uint64_t combined_length) noexcept {
  const float length = static_cast<float>(combined_length);
  // The phases rise with the element index (float addition is monotonic), so the last one
  // decides whether all of them take the fast remainder.
  alignas(32) float phase[kVectorSize];
  for (std::size_t i = 0; i < kVectorSize; ++i) phase[i] = static_cast<float>(i) * kPhaseStep + length;
  if (static_cast<double>(phase[kVectorSize - 1]) < kFastPhaseLimit) {
    for (float& x : phase) x = fast_phase_remainder(x);
  } else {
    for (float& x : phase) x = phase_remainder(x);
  }
  // The sines one after another, apart from the arithmetic around them, so that the calls
  // follow each other without waiting on the remainders.
  for (float& x : phase) x = std::sin(x);
  DecisionVector v;
  for (std::size_t i = 0; i < kVectorSize; ++i) {
    const float scaled = phase[i] * kAmplitude;
    v[i] = scaled + kOffset;
  }
  return v;
}

namespace {

// The only loop that grows with the history. Each element keeps its own sequence of separately
// rounded multiplies and adds, so vectorising across elements changes no bits; the AVX2 version
// has no FMA in its instruction set, and contraction is off in the build. Four rows per pass keep
// the running sums out of memory for three of every four adds.
[[gnu::always_inline]] inline void accumulate_rows(float* __restrict mean, const float* __restrict rows,
                                                   const float* __restrict weights, std::size_t row_count) noexcept {
  std::size_t r = 0;
  for (; r + 4 <= row_count; r += 4) {
    const float w0 = weights[r];
    const float w1 = weights[r + 1];
    const float w2 = weights[r + 2];
    const float w3 = weights[r + 3];
    const float* row0 = rows + r * kVectorSize;
    const float* row1 = row0 + kVectorSize;
    const float* row2 = row1 + kVectorSize;
    const float* row3 = row2 + kVectorSize;
    for (std::size_t i = 0; i < kVectorSize; ++i) {
      float m = mean[i];
      m = m + row0[i] * w0;
      m = m + row1[i] * w1;
      m = m + row2[i] * w2;
      m = m + row3[i] * w3;
      mean[i] = m;
    }
  }
  for (; r < row_count; ++r) {
    const float w = weights[r];
    const float* row = rows + r * kVectorSize;
    for (std::size_t i = 0; i < kVectorSize; ++i) mean[i] = mean[i] + row[i] * w;
  }
}

void accumulate_plain(float* __restrict mean, const float* __restrict rows, const float* __restrict weights,
                      std::size_t row_count) noexcept {
  accumulate_rows(mean, rows, weights, row_count);
}

using AccumulateFn = void (*)(float*, const float*, const float*, std::size_t) noexcept;

// On x86-64 the same loop compiled for AVX2 as well, chosen by CPUID when the processor and the
// operating system support it. The choice is made here rather than by target_clones, whose
// resolver needs the compiler runtime's CPU model (not every toolchain links one in) and runs
// before ThreadSanitizer's runtime is set up.
#if defined(__x86_64__)
[[gnu::target("avx2")]] void accumulate_avx2(float* __restrict mean, const float* __restrict rows,
                                             const float* __restrict weights, std::size_t row_count) noexcept {
  accumulate_rows(mean, rows, weights, row_count);
}

bool avx2_usable() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx) || eax < 7) return false;
  __get_cpuid(1, &eax, &ebx, &ecx, &edx);
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  if (!osxsave || !avx) return false;
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  if ((xcr0_lo & 0x6u) != 0x6u) return false;  // the operating system saves the SSE and AVX registers
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return (ebx & (1u << 5)) != 0;
}

AccumulateFn pick_accumulate() noexcept { return avx2_usable() ? accumulate_avx2 : accumulate_plain; }
#else
AccumulateFn pick_accumulate() noexcept { return accumulate_plain; }
#endif

}  // namespace

void accumulate_weighted(float* __restrict mean, const float* __restrict rows, const float* __restrict weights,
                         std::size_t row_count) noexcept {
  static const AccumulateFn chosen = pick_accumulate();
  chosen(mean, rows, weights, row_count);
}

double coherence(const DecisionVector& v, const DecisionVector& mean) noexcept {
  double dot = 0.0;
  double nv = 0.0;
  double nm = 0.0;
  for (std::size_t i = 0; i < kVectorSize; ++i) {
    const double a = v[i];
    const double b = mean[i];
    dot = dot + a * b;
    nv = nv + a * a;
    nm = nm + b * b;
  }
  // Written so that NaN also falls back to neutral.
  if (!(nv > 0.0 && nm > 0.0)) return kNeutralCoherence;
  const double root_v = std::sqrt(nv);
  const double root_m = std::sqrt(nm);
  const double denominator = root_v * root_m;
  double c = dot / denominator;
  if (c < 0.0) c = 0.0;
  if (c > 1.0) c = 1.0;
  return c;
}

DeltaVector delta_vector(const DecisionVector& v, const DecisionVector& mean) noexcept {
  DeltaVector out;
  for (std::size_t i = 0; i < kVectorSize; ++i) {
    const float diff = v[i] - mean[i];
    float d = diff * kDeltaScale;
    if (d < kDeltaMin) d = kDeltaMin;
    if (d > kDeltaMax) d = kDeltaMax;
    // Converting NaN would be undefined; finite inputs never produce it.
    if (std::isnan(d)) d = 0.0f;
    out[i] = static_cast<std::int8_t>(d);  // in range after clamping, truncates toward zero
  }
  return out;
}

bool insight_due(bool auto_insight, double coherence) noexcept {
  return auto_insight && coherence >= kInsightThreshold;
}

double next_reputation(double reputation, double coherence) noexcept {
  const double a = coherence * kCoherenceWeight;
  const double b = reputation * kReputationWeight;
  return a + b;
}

}  // namespace scoring_detail

// The history is a ring of kHistoryLimit rows, newest at `head`, older ones at increasing slots
// (wrapping), so a push writes one row and never moves the rest.
struct Scorer::State {
  alignas(64) std::array<float, kHistoryLimit * kVectorSize> ring{};
  std::size_t head = 0;
  std::size_t count = 0;
  double reputation = kInitialReputation;
};

Scorer::Scorer() : state_(std::make_unique<State>()) {}
Scorer::~Scorer() = default;
Scorer::Scorer(Scorer&&) noexcept = default;
Scorer& Scorer::operator=(Scorer&&) noexcept = default;

Evaluation Scorer::evaluate(std::uint64_t prompt_bytes, std::uint64_t output_bytes, bool auto_insight) const {
  using namespace scoring_detail;
  const State& st = *state_;
  Evaluation e;
  e.vector = decision_vector(prompt_bytes + output_bytes);  // wraps like any uint64 sum

  // The new vector takes logical index 0; at the limit the oldest row falls out.
  const std::size_t kept = std::min(st.count, kHistoryLimit - 1);
  const std::size_t n = kept + 1;
  alignas(32) float scratch[kHistoryLimit];
  const float* weights = scratch;
  if (n == kHistoryLimit) {
    weights = full_history_weights();
  } else {
    decay_weights(scratch, n);
  }

  alignas(32) DecisionVector mean{};
  accumulate_weighted(mean.data(), e.vector.data(), weights, 1);
  const std::size_t first_run = std::min(kept, kHistoryLimit - st.head);
  accumulate_weighted(mean.data(), st.ring.data() + st.head * kVectorSize, weights + 1, first_run);
  accumulate_weighted(mean.data(), st.ring.data(), weights + 1 + first_run, kept - first_run);

  e.coherence = coherence(e.vector, mean);
  if (insight_due(auto_insight, e.coherence)) {
    InsightDelta delta;
    delta.vector = delta_vector(e.vector, mean);
    delta.confidence = e.coherence;
    delta.delta_norm = kDeltaNorm;
    CoreInsight insight;
    insight.lesson = kInsightLesson;
    insight.confidence = e.coherence;
    insight.delta = delta;
    e.insight = insight;
  }
  e.reputation = next_reputation(st.reputation, e.coherence);
  return e;
}

void Scorer::commit(const Evaluation& evaluation) noexcept {
  State& st = *state_;
  st.head = st.head == 0 ? kHistoryLimit - 1 : st.head - 1;
  std::memcpy(st.ring.data() + st.head * kVectorSize, evaluation.vector.data(), sizeof(float) * kVectorSize);
  if (st.count < kHistoryLimit) ++st.count;
  st.reputation = evaluation.reputation;
}

void Scorer::reset() noexcept {
  state_->head = 0;
  state_->count = 0;
  state_->reputation = kInitialReputation;
}

std::size_t Scorer::history_size() const noexcept { return state_->count; }

double Scorer::reputation() const noexcept { return state_->reputation; }

}  // namespace velm
