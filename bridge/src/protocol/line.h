#pragma once

#include <optional>
#include <string>
#include <string_view>

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

// The next non-blank line decoded with `parse`; nullopt at end of input.
template <typename T>
Result<std::optional<T>> read_record(BufReader& in, Result<T> (*parse)(std::string_view)) {
  std::string line;
  auto got = read_message_line(in, line);
  if (!got) return Unexpected(std::move(got).error());
  if (!*got) return std::optional<T>();
  auto record = parse(line);
  if (!record) return Unexpected(std::move(record).error());
  return std::optional<T>(std::move(*record));
}

}  // namespace velkor::protocol
