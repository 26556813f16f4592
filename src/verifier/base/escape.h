// Texts taken from a log (or a path) made safe to show: nothing in them can start a new report
// line, move the cursor or hide what follows on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace velm::verify {

// For the text report. Printable ASCII stays, except that the double quote and the backslash are
// escaped ("\"", "\\"); line feed, carriage return and tab become "\n", "\r", "\t"; other control
// bytes, DEL and bytes that are not part of valid UTF-8 become "\xNN". Valid UTF-8 stays, except
// the characters that control a terminal (U+0080..U+009F), separate lines (U+2028, U+2029) or are
// format characters (Unicode's category Cf: the controls of the direction of text, the invisible
// U+200B, U+2060, U+FEFF and the rest), which become "\u" and four hex digits, or "\U" and eight
// past U+FFFF.
std::string escape_text(std::string_view text);

// For the JSON report: valid UTF-8 as it is, every other byte as U+FFFD; the JSON writer then
// escapes quotes, backslashes and control characters.
std::string valid_utf8(std::string_view text);

}  // namespace velm::verify
