// The JSON texts made from records: ppp_json, human_delta_chain_json, core_insight_json and the
// log line body.
#pragma once

#include <string>

#include "encoding/json_writer.h"
#include "records/core_insight.h"
#include "records/human_delta_chain.h"
#include "records/ppp_triplet.h"
#include "records/sealed_record.h"

namespace velm {

// {"provenance":...,"place":...,"purpose":...}
std::string ppp_json(const PPPTripletData& ppp);
void write_ppp_json(JsonWriter& w, const PPPTripletData& ppp);

// {"chain_id":...,"agent_decision_ref":...,"resolved":true|false,"terminal_node":...}
std::string human_delta_chain_json(const HumanDeltaChainData& node);
void write_human_delta_chain_json(JsonWriter& w, const HumanDeltaChainData& node);

// {"lesson":...,"confidence":...,"delta":{"vector":[...],"confidence":...,"delta_norm":...}|null}
std::string core_insight_json(const CoreInsight& insight);
void write_core_insight(JsonWriter& w, const CoreInsight& insight);

// Writes the fifteen-key object of a record (no line feed) into `w`, after clearing it.
void write_record_json(JsonWriter& w, const SealedRecordData& record);

}  // namespace velm
