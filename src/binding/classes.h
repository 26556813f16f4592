// The module's four classes, in registration order.
#pragma once

#include "binding/heap_type.h"

namespace velm::py {

TypeHandle& qor_engine_type();
TypeHandle& ppp_triplet_type();
TypeHandle& human_delta_chain_type();
TypeHandle& sealed_record_type();

}  // namespace velm::py
