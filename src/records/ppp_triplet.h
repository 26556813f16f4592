// The provenance triplet: three free texts, in declaration order.
#pragma once

#include <string>

namespace velm {

struct PPPTripletData {
  std::string provenance;
  std::string place;
  std::string purpose;
};

}  // namespace velm
