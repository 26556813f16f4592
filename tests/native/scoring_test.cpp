// The scorer against a deliberately slow scalar model: one rounding per statement, volatile
// temporaries so nothing is fused or reordered, a deque for the history.
#include <gtest/gtest.h>
#include <math.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "encoding/json_writer.h"
#include "engine/scoring.h"
#include "engine/scoring_internal.h"
#include "records/record_json.h"

namespace velm {
namespace {

using scoring_detail::DeltaVector;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// ---- the model -------------------------------------------------------------------------------

float model_powi(float b, int k) {
  volatile float base = b;
  volatile float r = (k % 2 == 1) ? b : 1.0f;
  int e = k / 2;
  while (e != 0) {
    base = base * base;
    if (e % 2 == 1) r = r * base;
    e = e / 2;
  }
  return r;
}

std::vector<float> model_vector(std::uint64_t prompt, std::uint64_t output) {
  volatile std::uint64_t combined = prompt + output;
  volatile float length = static_cast<float>(combined);
  std::vector<float> v(64);
  for (int i = 0; i < 64; ++i) {
    volatile float fi = static_cast<float>(i);
    volatile float x = fi * 0.37f;
    x = x + length;
    volatile float wrapped = ::fmodf(x, 6.28f);
    volatile float s = ::sinf(wrapped);
    volatile float scaled = s * 0.6f;
    volatile float value = scaled + 0.4f;
    v[i] = value;
  }
  return v;
}

double model_coherence(const std::vector<float>& v, const std::vector<float>& mean) {
  volatile double dot = 0.0;
  volatile double nv = 0.0;
  volatile double nm = 0.0;
  for (int i = 0; i < 64; ++i) {
    volatile double a = v[i];
    volatile double b = mean[i];
    volatile double ab = a * b;
    volatile double aa = a * a;
    volatile double bb = b * b;
    dot = dot + ab;
    nv = nv + aa;
    nm = nm + bb;
  }
  if (!(nv > 0.0) || !(nm > 0.0)) return 0.5;
  volatile double rv = std::sqrt(static_cast<double>(nv));
  volatile double rm = std::sqrt(static_cast<double>(nm));
  volatile double den = rv * rm;
  volatile double c = dot / den;
  if (c < 0.0) c = 0.0;
  if (c > 1.0) c = 1.0;
  return c;
}

std::vector<std::int8_t> model_delta(const std::vector<float>& v, const std::vector<float>& mean) {
  std::vector<std::int8_t> out(64);
  for (int i = 0; i < 64; ++i) {
    volatile float diff = v[i] - mean[i];
    volatile float d = diff * 127.0f;
    if (d < -128.0f) d = -128.0f;
    if (d > 127.0f) d = 127.0f;
    out[i] = static_cast<std::int8_t>(static_cast<int>(d));
  }
  return out;
}

double model_reputation(double reputation, double c) {
  volatile double a = c * 0.02;
  volatile double b = reputation * 0.98;
  volatile double sum = a + b;
  return sum;
}

struct ModelResult {
  std::vector<float> vector;
  double coherence = 0.0;
  double reputation = 0.0;
  bool insight = false;
  std::vector<std::int8_t> delta;
};

class ModelScorer {
 public:
  ModelResult capture(std::uint64_t prompt, std::uint64_t output, bool auto_insight) {
    ModelResult r;
    r.vector = model_vector(prompt, output);
    std::deque<std::vector<float>> hist = history_;
    hist.push_front(r.vector);
    if (hist.size() > 500) hist.pop_back();
    const int n = static_cast<int>(hist.size());
    volatile float pn = model_powi(0.98f, n);
    volatile float remaining = 1.0f - pn;
    volatile float norm = remaining / 0.019999980926513672f;
    std::vector<float> mean(64, 0.0f);
    for (int k = 0; k < n; ++k) {
      volatile float pk = model_powi(0.98f, k);
      volatile float w = pk / norm;
      for (int i = 0; i < 64; ++i) {
        volatile float product = hist[k][i] * w;
        volatile float sum = mean[i] + product;
        mean[i] = sum;
      }
    }
    r.coherence = model_coherence(r.vector, mean);
    r.insight = auto_insight && r.coherence >= 0.92;
    r.delta = model_delta(r.vector, mean);
    r.reputation = model_reputation(reputation_, r.coherence);
    history_ = hist;
    reputation_ = r.reputation;
    return r;
  }

 private:
  std::deque<std::vector<float>> history_;
  double reputation_ = 0.5;
};

// Checks one evaluation against the model bit for bit; returns whether an insight was compared.
bool expect_same(const Evaluation& e, const ModelResult& m, bool auto_insight, int step) {
  SCOPED_TRACE("capture " + std::to_string(step));
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bits(e.vector[i]), bits(m.vector[i])) << "element " << i;
  EXPECT_EQ(bits(e.coherence), bits(m.coherence)) << e.coherence << " vs " << m.coherence;
  EXPECT_EQ(bits(e.reputation), bits(m.reputation)) << e.reputation << " vs " << m.reputation;
  EXPECT_EQ(e.insight.has_value(), m.insight);
  if (!auto_insight) {
    EXPECT_FALSE(e.insight.has_value());
  }
  if (!e.insight || !m.insight) return false;
  EXPECT_EQ(e.insight->lesson, "Decision aligns well with historical pattern.");
  EXPECT_EQ(bits(e.insight->confidence), bits(m.coherence));
  EXPECT_TRUE(e.insight->delta.has_value());
  if (!e.insight->delta) return false;
  EXPECT_EQ(bits(e.insight->delta->confidence), bits(m.coherence));
  EXPECT_EQ(e.insight->delta->delta_norm, 0.18);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(e.insight->delta->vector[i], m.delta[i]) << "element " << i;
  return true;
}

DecisionVector filled(float value) {
  DecisionVector v;
  v.fill(value);
  return v;
}

// ---- whole captures against the model --------------------------------------------------------

TEST(Scoring, MatchesModelOverLongRandomSequences) {
  std::mt19937_64 rng(0x5eed5c0e);
  Scorer scorer;
  ModelScorer model;
  int insights = 0;
  int without_auto = 0;
  std::uint64_t last_combined = 1000;
  for (int step = 0; step < 1700; ++step) {
    std::uint64_t combined = 0;
    switch (rng() % 7) {
      case 0:
        combined = rng() % 16;
        break;
      case 1:
        combined = rng() % 4096;
        break;
      case 2:
        combined = rng() % 2000000;
        break;
      case 3:
        combined = rng() % (std::uint64_t{1} << 40);
        break;
      default:
        combined = last_combined;
        break;  // runs of equal lengths give insights
    }
    last_combined = combined;
    const std::uint64_t prompt = combined == 0 ? 0 : rng() % (combined + 1);
    std::uint64_t output = combined - prompt;
    if (rng() % 50 == 0) output = rng();  // the sum may wrap around in uint64
    const bool auto_insight = rng() % 5 != 0;
    without_auto += auto_insight ? 0 : 1;

    const Evaluation e = scorer.evaluate(prompt, output, auto_insight);
    const ModelResult m = model.capture(prompt, output, auto_insight);
    if (expect_same(e, m, auto_insight, step)) ++insights;
    scorer.commit(e);
    EXPECT_EQ(scorer.history_size(), std::min<std::size_t>(step + 1, 500));
    EXPECT_EQ(bits(scorer.reputation()), bits(m.reputation));
    if (::testing::Test::HasFailure()) break;
  }
  // The sequence must actually exercise insights with non-trivial deltas and the switch.
  EXPECT_GT(insights, 100);
  EXPECT_GT(without_auto, 100);
}

TEST(Scoring, FirstCaptureIsItsOwnMean) {
  // 1 - 0.98f in float is the normaliser the history weights are divided by.
  volatile float decay = 0.98f;
  volatile float one_minus = 1.0f - decay;
  EXPECT_EQ(bits(static_cast<float>(one_minus)), bits(0.019999980926513672f));

  Scorer scorer;
  EXPECT_EQ(scorer.history_size(), 0u);
  EXPECT_EQ(scorer.reputation(), 0.5);
  const Evaluation e = scorer.evaluate(300, 700, true);
  const std::vector<float> v = model_vector(300, 700);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bits(e.vector[i]), bits(v[i]));
  // Mean equals the vector, so the cosine is 1 up to the rounding of two square roots.
  EXPECT_LE(e.coherence, 1.0);
  EXPECT_GE(e.coherence, 1.0 - 8 * 1.1102230246251565e-16);
  ASSERT_TRUE(e.insight.has_value());
  ASSERT_TRUE(e.insight->delta.has_value());
  for (const std::int8_t d : e.insight->delta->vector) EXPECT_EQ(d, 0);
  EXPECT_EQ(bits(e.reputation), bits(model_reputation(0.5, e.coherence)));
}

TEST(Scoring, ConstantLengthGivesInsightEveryTime) {
  Scorer scorer;
  ModelScorer model;
  for (int step = 0; step < 700; ++step) {
    const std::uint64_t prompt = static_cast<std::uint64_t>(step) % 1000;
    const Evaluation e = scorer.evaluate(prompt, 1000 - prompt, true);
    const ModelResult m = model.capture(prompt, 1000 - prompt, true);
    ASSERT_TRUE(e.insight.has_value()) << "capture " << step;
    EXPECT_GE(e.coherence, 0.92);
    ASSERT_TRUE(e.insight->delta.has_value());
    for (const std::int8_t d : e.insight->delta->vector) EXPECT_EQ(d, 0);
    expect_same(e, m, true, step);
    scorer.commit(e);
  }
}

TEST(Scoring, LengthEdges) {
  Scorer scorer;
  const Evaluation empty = scorer.evaluate(0, 0, true);
  EXPECT_EQ(bits(empty.vector[0]), bits(0.4f));  // sin(0) = 0
  const std::vector<float> v = model_vector(0, 0);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bits(empty.vector[i]), bits(v[i]));

  // The sum wraps in uint64.
  const Evaluation wrapped = scorer.evaluate(UINT64_MAX, 1, true);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bits(wrapped.vector[i]), bits(v[i]));

  // 2^60 + 2^36 + 1 is just above halfway between two floats: one rounding goes up to
  // 2^60 + 2^37, going through double first would tie down to 2^60.
  const std::uint64_t above_half = (std::uint64_t{1} << 60) + (std::uint64_t{1} << 36) + 1;
  const std::vector<float> up = model_vector(std::uint64_t{1} << 60, std::uint64_t{1} << 37);
  const std::vector<float> down = model_vector(std::uint64_t{1} << 60, 0);
  ASSERT_NE(up, down);
  const Evaluation e = scorer.evaluate(above_half, 0, true);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bits(e.vector[i]), bits(up[i]));
}

TEST(Scoring, AutoInsightOffStillMovesReputation) {
  Scorer scorer;
  const Evaluation e = scorer.evaluate(10, 20, false);
  EXPECT_FALSE(e.insight.has_value());
  EXPECT_GE(e.coherence, 0.92);
  scorer.commit(e);
  EXPECT_EQ(bits(scorer.reputation()), bits(model_reputation(0.5, e.coherence)));
  EXPECT_NE(scorer.reputation(), 0.5);
}

TEST(Scoring, EvaluateChangesNothing) {
  Scorer scorer;
  for (std::uint64_t i = 0; i < 40; ++i) scorer.commit(scorer.evaluate(i * 37, i * i, true));
  const double reputation = scorer.reputation();
  const Evaluation before = scorer.evaluate(123, 456, true);
  for (std::uint64_t i = 0; i < 10; ++i) (void)scorer.evaluate(i, 9999, true);
  EXPECT_EQ(scorer.history_size(), 40u);
  EXPECT_EQ(bits(scorer.reputation()), bits(reputation));
  const Evaluation after = scorer.evaluate(123, 456, true);
  EXPECT_EQ(bits(after.coherence), bits(before.coherence));
  EXPECT_EQ(bits(after.reputation), bits(before.reputation));
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bits(after.vector[i]), bits(before.vector[i]));
}

TEST(Scoring, CommitBeyondLimitDropsOldest) {
  // a: x then 500 y (x dropped); b: 500 y; c: x then 498 y (x still weighted in the next mean).
  Scorer a;
  Scorer b;
  Scorer c;
  const auto push = [](Scorer& s, std::uint64_t length) { s.commit(s.evaluate(length, 0, true)); };
  push(a, 4321);
  push(c, 4321);
  for (int i = 0; i < 500; ++i) {
    push(a, 77);
    push(b, 77);
    if (i < 498) push(c, 77);
  }
  EXPECT_EQ(a.history_size(), 500u);
  EXPECT_EQ(c.history_size(), 499u);
  const Evaluation ea = a.evaluate(900, 0, true);
  const Evaluation eb = b.evaluate(900, 0, true);
  const Evaluation ec = c.evaluate(900, 0, true);
  EXPECT_EQ(bits(ea.coherence), bits(eb.coherence));
  EXPECT_NE(bits(ec.coherence), bits(eb.coherence));  // the oldest vector does count until dropped
}

// ---- the steps on chosen inputs --------------------------------------------------------------

TEST(ScoringSteps, InsightThresholdIsInclusive) {
  EXPECT_TRUE(scoring_detail::insight_due(true, 0.92));
  EXPECT_FALSE(scoring_detail::insight_due(true, std::nextafter(0.92, 0.0)));
  EXPECT_TRUE(scoring_detail::insight_due(true, std::nextafter(0.92, 1.0)));
  EXPECT_TRUE(scoring_detail::insight_due(true, 1.0));
  EXPECT_FALSE(scoring_detail::insight_due(false, 1.0));
  EXPECT_FALSE(scoring_detail::insight_due(true, 0.5));
}

TEST(ScoringSteps, DeltaClampsAndTruncatesTowardZero) {
  struct Case {
    float v;
    float mean;
    int expected;
  };
  const Case cases[] = {
      {1.0f, 0.0f, 127},                                           // exactly 127
      {2.0f, 0.0f, 127},                                           // 254 clamps
      {1.004f, 0.0f, 127},                                         // between 127 and 128 clamps down
      {0.0f, 1.0f, -127},                                          // exactly -127
      {-1.005f, 0.0f, -127},                                       // -127.6 truncates up, not down
      {0.0f, 1.5f, -128},                                          // -190.5 clamps
      {0.0f, 9.0f, -128},    {0.5f, 0.0f, 63},                     // 63.5
      {0.0f, 0.5f, -63},                                           // -63.5 toward zero
      {0.0078125f, 0.0f, 0},                                       // 127/128
      {0.0f, 0.0078125f, 0}, {0.25f, 0.25f, 0}, {0.3f, 0.1f, 25},  // 25.4
  };
  DecisionVector v = filled(0.0f);
  DecisionVector mean = filled(0.0f);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    v[i] = cases[i].v;
    mean[i] = cases[i].mean;
  }
  const DeltaVector d = scoring_detail::delta_vector(v, mean);
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(d[i], cases[i].expected) << "case " << i;
  for (std::size_t i = std::size(cases); i < 64; ++i) EXPECT_EQ(d[i], 0);
}

TEST(ScoringSteps, CoherenceEdges) {
  DecisionVector v = filled(0.0f);
  DecisionVector m = filled(0.0f);
  v[0] = 1.0f;
  EXPECT_EQ(scoring_detail::coherence(v, m), 0.5);  // zero mean
  m[1] = 2.0f;
  EXPECT_EQ(scoring_detail::coherence(v, m), 0.0);  // orthogonal
  m[0] = -3.0f;
  EXPECT_EQ(scoring_detail::coherence(v, m), 0.0);  // negative cosine clamps
  m = filled(0.0f);
  m[0] = std::nanf("");
  EXPECT_EQ(scoring_detail::coherence(v, m), 0.5);
  m = filled(0.0f);
  m[0] = 3.0f;
  m[3] = 4.0f;
  EXPECT_EQ(scoring_detail::coherence(v, m), 0.6);  // 3 / (1 * 5)
}

// If any multiply-add were fused, these inputs would come out differently.
TEST(ScoringSteps, NoFusedMultiplyAdd) {
  // The running mean: (1 + 2^-12)^2 rounds to 1 + 2^-11, cancelling the start exactly, while a
  // fused step would keep 2^-24. The interesting row sits at every position of a 4-row pass and
  // in the tail.
  const float start = -(1.0f + 0x1p-11f);
  const float factor = 1.0f + 0x1p-12f;
  ASSERT_NE(std::fmaf(factor, factor, start), 0.0f);
  for (std::size_t position = 0; position < 5; ++position) {
    std::vector<float> rows(5 * 64, 0.0f);
    std::vector<float> weights(5, 1.0f);
    for (int i = 0; i < 64; ++i) rows[position * 64 + i] = factor;
    weights[position] = factor;
    DecisionVector mean = filled(start);
    scoring_detail::accumulate_weighted(mean.data(), rows.data(), weights.data(), 5);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(bits(mean[i]), bits(0.0f)) << "row " << position;
  }

  // The decision vector: s * 0.6f + 0.4f.
  int distinguishing = 0;
  for (std::uint64_t length = 0; length < 400; ++length) {
    const DecisionVector v = scoring_detail::decision_vector(length);
    const std::vector<float> expected = model_vector(length, 0);
    for (int i = 0; i < 64; ++i) {
      volatile float x = static_cast<float>(i) * 0.37f;
      x = x + static_cast<float>(length);
      const float s = ::sinf(::fmodf(x, 6.28f));
      if (bits(std::fmaf(s, 0.6f, 0.4f)) != bits(expected[i])) ++distinguishing;
      EXPECT_EQ(bits(v[i]), bits(expected[i])) << "length " << length << " element " << i;
    }
  }
  EXPECT_GT(distinguishing, 0);
  // Lengths whose phases leave the fast remainder's range, for some or all of the elements.
  for (const std::uint64_t length : {3371000000ULL, 3371549000ULL, 3371549696ULL, 3371549760ULL, 3400000000ULL,
                                     1000000000000ULL, 18446744073709551615ULL}) {
    const DecisionVector v = scoring_detail::decision_vector(length);
    const std::vector<float> expected = model_vector(length, 0);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(bits(v[i]), bits(expected[i])) << "length " << length << " element " << i;
  }

  // The reputation: c * 0.02 + r * 0.98.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int reputation_cases = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const double r = unit(rng);
    const double c = unit(rng);
    volatile double b = r * 0.98;
    const double expected = model_reputation(r, c);
    if (bits(std::fma(c, 0.02, static_cast<double>(b))) != bits(expected)) ++reputation_cases;
    EXPECT_EQ(bits(scoring_detail::next_reputation(r, c)), bits(expected));
  }
  EXPECT_GT(reputation_cases, 0);
}

// ---- insight text ----------------------------------------------------------------------------

TEST(ScoringJson, InsightText) {
  CoreInsight insight;
  insight.confidence = 1.0;
  InsightDelta delta;
  std::string numbers;
  for (int i = 0; i < 64; ++i) {
    const int value = i == 1 ? 127 : i == 2 ? 0 : (i * 37) % 256 - 128;  // -128, 127, 0, ...
    delta.vector[i] = static_cast<std::int8_t>(value);
    if (i != 0) numbers += ',';
    numbers += std::to_string(value);
  }
  delta.confidence = 1.0;
  insight.delta = delta;
  const std::string head = "{\"lesson\":\"Decision aligns well with historical pattern.\",\"confidence\":1.0,";
  EXPECT_EQ(core_insight_json(insight),
            head + "\"delta\":{\"vector\":[" + numbers + "],\"confidence\":1.0,\"delta_norm\":0.18}}");

  insight.delta.reset();
  JsonWriter w;
  write_core_insight(w, insight);
  EXPECT_EQ(w.text(), head + "\"delta\":null}");
}

}  // namespace
}  // namespace velm

// The fast remainder must agree with the library's fmodf bit for bit wherever it is used.
TEST(ScoringSteps, PhaseRemainderEqualsFmodf) {
  using velm::scoring_detail::phase_remainder;
  const float period = 6.28f;
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::uint32_t> bits(0, 0x4F800000u);  // every float in [0, 2^32]
  for (int i = 0; i < 3000000; ++i) {
    const float x = std::bit_cast<float>(bits(rng));
    ASSERT_EQ(std::bit_cast<std::uint32_t>(phase_remainder(x)), std::bit_cast<std::uint32_t>(fmodf(x, period))) << x;
  }
  // Near multiples of the period, where a rounded quotient can land on the wrong side.
  for (std::uint32_t k = 0; k < 2000000; k += 7) {
    float x = static_cast<float>(static_cast<double>(k) * period);
    for (int step = 0; step < 6; ++step) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(phase_remainder(x)), std::bit_cast<std::uint32_t>(fmodf(x, period))) << x;
      x = std::nextafter(x, 1e30f);
    }
    x = static_cast<float>(static_cast<double>(k) * period);
    for (int step = 0; step < 6; ++step) {
      x = std::nextafter(x, 0.0f);
      ASSERT_EQ(std::bit_cast<std::uint32_t>(phase_remainder(x)), std::bit_cast<std::uint32_t>(fmodf(x, period))) << x;
    }
  }
  for (float x : {0.0f, 6.28f, 3.4e9f, 3.5e9f, 1e20f, 3.4e38f}) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(phase_remainder(x)), std::bit_cast<std::uint32_t>(fmodf(x, period)));
  }
}
