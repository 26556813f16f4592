// A reader for lines in exactly the form the engine writes: the keys in their order, no
// whitespace, strings escaped as the JSON writer escapes them, numbers in the writer's forms. It
// reads such a line in one pass, without a general JSON parser and without writing the line again
// to compare. It answers only "this is the engine's form, and these are its values" or "not
// quite": it never explains, so the caller takes the general path for any line it refuses, and
// that path finds and names the difference.
#pragma once

#include <string_view>

#include "records/human_delta_chain.h"
#include "records/ppp_triplet.h"
#include "records/sealed_record.h"

namespace velm::verify {

// True when `line` (without its line feed) is a record exactly as the engine writes it, with
// ppp_json and human_delta_chain_json also in the engine's form; `record`, `ppp` and `review` then
// hold its values. On false their contents are unspecified.
bool read_canonical_record(std::string_view line, SealedRecordData& record, PPPTripletData& ppp,
                           HumanDeltaChainData& review);

}  // namespace velm::verify
