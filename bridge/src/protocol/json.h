#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/result.h"

namespace velkor::protocol::json {

// Objects are std::maps, so every object we write lists its keys in
// ascending byte order; integers that fit 64 bits stay exact.
using Json = nlohmann::json;

// Deeper input is refused rather than parsed: it bounds the recursion of
// serialisation and destruction for hostile input.
inline constexpr std::size_t kMaxDepth = 128;

struct Parsed {
  Json value;
  // Keys of the outermost object that occurred more than once (the value
  // keeps the last occurrence). Records that refuse duplicates check this.
  std::vector<std::string> duplicate_top_keys;
};

// Which path takes which text. parse offers every text to the fast reader
// (json_fast.h) first; it takes the common case and declines the rest: any
// fault, a number with a fraction or exponent, "-0", an integer beyond 64
// bits, nesting beyond kMaxDepth. What it declines goes to parse_general,
// which refuses what nlohmann would misread (a byte order mark, a NUL, too
// deep a nesting), lifts long plain string values out of the text, so that
// a long string in a declined text (one float is enough) does not go through
// nlohmann's lexer, which copies it a character at a time, and gives the
// rest to nlohmann. A lifted text that fails is parsed again whole,
// so that every refusal keeps nlohmann's exact text and position. dump always
// takes the fast writer, which leaves only floats and strings holding invalid
// UTF-8 to nlohmann's own formatting.
//
// parse_general handles every text and dump_general is nlohmann's own
// writer: parse and dump match them byte for byte, and the tests, the fuzzer
// and the benchmarks compare the fast paths against them.

// Parses exactly one JSON value; only JSON white space may surround it.
// Never throws. Failures are kInvalidData (or kUnexpectedEof when the text
// stops early) with a message that names the line and column.
Result<Parsed> parse(std::string_view text);

// Compact form: no white space, minimal escaping (quote, backslash, control
// characters), raw UTF-8 otherwise. Invalid UTF-8 in a string (possible
// only in values built from raw bytes, never in parsed ones) becomes U+FFFD.
std::string dump(const Json& value);
void dump_to(std::string& out, const Json& value);

// The complete nlohmann-based reader and writer described above.
Result<Parsed> parse_general(std::string_view text);
std::string dump_general(const Json& value);

// Integer value that fits u64 and is non-negative.
std::optional<std::uint64_t> as_u64(const Json& v);
// Integer value that fits i64.
std::optional<std::int64_t> as_i64(const Json& v);
// The member's string value, or nullopt when missing or not a string.
const std::string* find_string(const Json& object, std::string_view key);

// The parser's text without nlohmann's "[json.exception...] " prefix.
std::string strip_exception_prefix(std::string_view what);

}  // namespace velkor::protocol::json
