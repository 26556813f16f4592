#include "records/record_json.h"

namespace velm {

std::string ppp_json(const PPPTripletData& ppp) { return json_text(write_ppp_json, ppp); }

void write_ppp_json(JsonWriter& w, const PPPTripletData& ppp) {
  w.begin_object();
  w.key("provenance");
  w.string(ppp.provenance);
  w.key("place");
  w.string(ppp.place);
  w.key("purpose");
  w.string(ppp.purpose);
  w.end_object();
}

std::string human_delta_chain_json(const HumanDeltaChainData& node) {
  return json_text(write_human_delta_chain_json, node);
}

void write_human_delta_chain_json(JsonWriter& w, const HumanDeltaChainData& node) {
  w.begin_object();
  w.key("chain_id");
  w.string(node.chain_id);
  w.key("agent_decision_ref");
  w.string(node.agent_decision_ref);
  w.key("resolved");
  w.boolean(node.resolved);
  w.key("terminal_node");
  w.string(node.terminal_node);
  w.end_object();
}

void write_core_insight(JsonWriter& w, const CoreInsight& insight) {
  w.begin_object();
  w.key("lesson");
  w.string(insight.lesson);
  w.key("confidence");
  w.float64(insight.confidence);
  w.key("delta");
  if (insight.delta) {
    const InsightDelta& d = *insight.delta;
    w.begin_object();
    w.key("vector");
    w.int8_array(d.vector.data(), d.vector.size());
    w.key("confidence");
    w.float64(d.confidence);
    w.key("delta_norm");
    w.float64(d.delta_norm);
    w.end_object();
  } else {
    w.null();
  }
  w.end_object();
}

std::string core_insight_json(const CoreInsight& insight) { return json_text(write_core_insight, insight); }

void write_record_json(JsonWriter& w, const SealedRecordData& record) {
  w.clear();
  w.begin_object();
  w.key("id");
  w.string(record.id);
  w.key("timestamp");
  w.string(record.timestamp);
  w.key("monotonic_nanos");
  w.uint64(record.monotonic_nanos);
  w.key("hash");
  w.string(record.hash);
  w.key("signature");
  w.uint8_array(record.signature.data(), record.signature.size());
  w.key("merkle_root");
  w.string(record.merkle_root);
  w.key("coherence_score");
  w.float64(record.coherence_score);
  w.key("reputation_scalar");
  w.float64(record.reputation_scalar);
  // The nested JSON texts travel as strings, exactly as they were sealed.
  w.key("ppp_json");
  w.string(record.ppp_json);
  w.key("ctx_json");
  w.string(record.ctx_json);
  w.key("prompt");
  w.string(record.prompt);
  w.key("reasoning_trace_json");
  w.string(record.reasoning_trace_json);
  w.key("output");
  w.string(record.output);
  w.key("human_delta_chain_json");
  w.string(record.human_delta_chain_json);
  w.key("core_insight_json");
  if (record.core_insight_json) {
    w.string(*record.core_insight_json);
  } else {
    w.null();
  }
  w.end_object();
}

}  // namespace velm
