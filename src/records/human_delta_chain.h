// One node of a human review chain, fields in declaration order (not the constructor's order).
#pragma once

#include <string>

namespace velm {

struct HumanDeltaChainData {
  std::string chain_id;
  std::string agent_decision_ref;
  bool resolved = false;
  std::string terminal_node;
};

}  // namespace velm
