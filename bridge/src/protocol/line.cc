#include "protocol/line.h"

#include <algorithm>

#include "protocol/limits.h"

namespace velkor::protocol {
namespace {

bool is_blank(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
  });
}

// Every line reader of the process shares it: the broker reads one line per
// agent and per browser at once.
LineBudget& unfinished_lines() {
  static LineBudget budget(kMaxUnfinishedLineBytes);
  return budget;
}

}  // namespace

Result<bool> read_message_line(BufReader& in, std::string& line) {
  for (;;) {
    line.clear();
    // One byte beyond the cap tells a line of exactly kMaxLineBytes from a
    // longer one without reading the rest of it.
    auto n = in.read_line(line, kMaxLineBytes + 1, &unfinished_lines());
    if (!n) return Unexpected(std::move(n).error());
    if (*n == 0) return false;
    if (*n > kMaxLineBytes) {
      return Unexpected(IoError(ErrorKind::kInvalidData, "JSON message too large"));
    }
    if (!is_blank(line)) return true;
  }
}

}  // namespace velkor::protocol
