#pragma once

#include <string>

#include "error/result.h"
#include "protocol/stream.h"

namespace velkor::protocol {

// Reads the next line that is not blank into `line` (replacing its
// contents), line feed included when there was one. Lines made only of ASCII
// white space (space, tab, LF, FF, CR) are skipped, reusing `line` as the
// buffer. Returns false at end of input on a line boundary. A final line
// without a line feed is returned as it is. A line longer than kMaxLineBytes
// (line feed counted) fails with kInvalidData "JSON message too large" and
// leaves its rest unread; read errors are returned unchanged. Either way the
// stream may then stand inside a line, so callers stop reading after an error.
Result<bool> read_message_line(BufReader& in, std::string& line);

}  // namespace velkor::protocol
