// Capture inputs for the native tests and benchmarks: the decision every test starts from, which
// a test changes field by field where it needs other values.
#pragma once

#include <string_view>

#include "engine/engine.h"

namespace velm::testing {

inline const PPPTripletData kSamplePpp{"a", "b", "c"};
inline const HumanDeltaChainData kSampleReview{"chain", "ref", true, "node"};

// A capture of `prompt` and `output` (the caller keeps both alive until the capture returns) with
// a small context, a null trace, the sample triplet and review, and insight asked for.
inline CaptureInput sample_input(std::string_view prompt, std::string_view output, bool auto_insight = true) {
  CaptureInput input;
  input.ctx_json = "{\"k\": 1}";
  input.reasoning_trace_json = "null";
  input.prompt = prompt;
  input.output = output;
  input.ppp = &kSamplePpp;
  input.review = &kSampleReview;
  input.auto_insight = auto_insight;
  return input;
}

}  // namespace velm::testing
