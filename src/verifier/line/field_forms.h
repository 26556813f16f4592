// The exact forms of the record fields that are not JSON values of their own.
#pragma once

#include <string_view>

namespace velm::verify {

bool valid_record_id(std::string_view id);         // "qor_" + lowercase UUID v4 text
bool valid_record_timestamp(std::string_view ts);  // what rfc3339_text writes for a real time

}  // namespace velm::verify
