#include "records/record_json.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace velm {
namespace {

TEST(RecordJson, PppTriplet) {
  const std::string abc = R"({"provenance":"a","place":"b","purpose":"c"})";
  EXPECT_EQ(ppp_json({"a", "b", "c"}), abc);
  EXPECT_EQ(abc.size(), 44u);
  EXPECT_EQ(ppp_json({"model \"x\"", "eu\\west", "tri\nage"}),
            R"({"provenance":"model \"x\"","place":"eu\\west","purpose":"tri\nage"})");
  EXPECT_EQ(ppp_json({}), R"({"provenance":"","place":"","purpose":""})");
}

TEST(RecordJson, HumanDeltaChainKeyOrderAndFlag) {
  HumanDeltaChainData node;
  node.chain_id = "c1";
  node.agent_decision_ref = "rec-0001";
  node.terminal_node = "n9";
  EXPECT_EQ(human_delta_chain_json(node),
            R"({"chain_id":"c1","agent_decision_ref":"rec-0001","resolved":false,"terminal_node":"n9"})");
  node.resolved = true;
  node.terminal_node = "reviewer \"b\"";
  EXPECT_EQ(human_delta_chain_json(node),
            R"({"chain_id":"c1","agent_decision_ref":"rec-0001","resolved":true,"terminal_node":"reviewer \"b\""})");
}

SealedRecordData filled_record() {
  SealedRecordData r;
  r.id = "rec-0001";
  r.timestamp = "2024-05-01T12:00:00.000000Z";
  r.monotonic_nanos = 1714564800123456789ULL;
  r.hash = "9f86d081884c7d65";
  r.signature = {0,   48,  85,  122, 159, 196, 233, 14,  51,  88,  125, 162, 199, 236, 17,  54,
                 91,  128, 165, 202, 239, 20,  57,  94,  131, 168, 205, 242, 23,  60,  97,  134,
                 171, 208, 245, 26,  63,  100, 137, 174, 211, 248, 29,  66,  103, 140, 177, 214,
                 251, 32,  69,  106, 143, 180, 217, 254, 35,  72,  109, 146, 183, 220, 1,   255};
  r.merkle_root = "0000abcd";
  r.coherence_score = 1.0;
  r.reputation_scalar = 0.51;
  r.ppp_json = R"({"provenance":"a","place":"b","purpose":"c"})";
  r.ctx_json = R"({"user":"ana","tags":["x","y"]})";
  r.prompt = "Line 1\nLine \"2\"\t\\ end caf\xc3\xa9 \x1b";
  r.reasoning_trace_json = R"([{"step":1}])";
  r.output = "ok";
  r.human_delta_chain_json =
      R"({"chain_id":"c1","agent_decision_ref":"rec-0001","resolved":false,"terminal_node":"n9"})";
  r.core_insight_json = R"({"insight":"x"})";
  return r;
}

const char* const kFilledRecordJson =
    R"JSON({"id":"rec-0001","timestamp":"2024-05-01T12:00:00.000000Z","monotonic_nanos":1714564800123456789,)JSON"
    R"JSON("hash":"9f86d081884c7d65","signature":[0,48,85,122,159,196,233,14,51,88,125,162,199,236,17,54,)JSON"
    R"JSON(91,128,165,202,239,20,57,94,131,168,205,242,23,60,97,134,171,208,245,26,63,100,137,174,211,248,)JSON"
    R"JSON(29,66,103,140,177,214,251,32,69,106,143,180,217,254,35,72,109,146,183,220,1,255],)JSON"
    R"JSON("merkle_root":"0000abcd","coherence_score":1.0,"reputation_scalar":0.51,)JSON"
    R"JSON("ppp_json":"{\"provenance\":\"a\",\"place\":\"b\",\"purpose\":\"c\"}",)JSON"
    R"JSON("ctx_json":"{\"user\":\"ana\",\"tags\":[\"x\",\"y\"]}",)JSON"
    R"JSON("prompt":"Line 1\nLine \"2\"\t\\ end café \u001b",)JSON"
    R"JSON("reasoning_trace_json":"[{\"step\":1}]","output":"ok",)JSON"
    R"JSON("human_delta_chain_json":"{\"chain_id\":\"c1\",\"agent_decision_ref\":\"rec-0001\",)JSON"
    R"JSON(\"resolved\":false,\"terminal_node\":\"n9\"}","core_insight_json":"{\"insight\":\"x\"}"})JSON";

TEST(RecordJson, FilledRecordByteForByte) {
  JsonWriter w;
  w.begin_array();  // leftovers that write_record_json must clear, nesting state included
  w.string("junk");
  write_record_json(w, filled_record());
  EXPECT_EQ(w.text(), kFilledRecordJson);

  // Writing again into the same writer gives the same bytes.
  write_record_json(w, filled_record());
  EXPECT_EQ(w.text(), kFilledRecordJson);
}

TEST(RecordJson, AbsentInsightAndEdgeValues) {
  SealedRecordData r;  // defaults: empty strings, zero signature, no insight
  r.monotonic_nanos = std::numeric_limits<std::uint64_t>::max();
  r.coherence_score = std::numeric_limits<double>::quiet_NaN();
  r.reputation_scalar = 1e-6;
  JsonWriter w;
  write_record_json(w, r);
  const std::string zeros = "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0";
  const std::string want = R"({"id":"","timestamp":"","monotonic_nanos":18446744073709551615,"hash":"",)"
                           R"("signature":[)" +
                           zeros + "," + zeros + "," + zeros + "," + zeros +
                           R"(],"merkle_root":"","coherence_score":null,"reputation_scalar":1e-6,)"
                           R"("ppp_json":"","ctx_json":"","prompt":"","reasoning_trace_json":"","output":"",)"
                           R"("human_delta_chain_json":"","core_insight_json":null})";
  EXPECT_EQ(w.text(), want);
}

}  // namespace
}  // namespace velm
