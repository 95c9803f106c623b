#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/json.h"

// The JSON hot path. Every line of a screenshot crosses three processes, and
// nlohmann's lexer and escaper handle one character per step; these walk
// plain runs eight bytes at a time and copy them whole. They are exact
// stand-ins: whatever they cannot do exactly as nlohmann would, they leave
// to nlohmann, so every accepted text, refusal and written byte stays the
// same.
namespace velkor::protocol::json::fast {

// The value and duplicate top-level keys that the general parser gives for
// `text`, or nullopt when the text holds anything this parser leaves to it:
// any fault, a number with a fraction or exponent, "-0", an integer beyond
// 64 bits, nesting deeper than kMaxDepth.
std::optional<Parsed> parse(std::string_view text);

// One member of an object, as written in the text.
struct Member {
  std::string_view key;    // without its quotes; never holds an escape
  std::string_view value;  // exactly as dump writes it
};

// The members of `text`, an object whose every member value is written
// exactly as dump writes it and whose keys hold no escapes: a line in that
// form can be passed on or reordered without building a tree. Keys may come
// in any order and repeat; nullopt for anything else.
std::optional<std::vector<Member>> written_members(std::string_view text);

// What dump(parse(text)) gives when that takes only putting the members of
// the outermost object in key order (see written_members; keys distinct);
// nullopt otherwise.
std::optional<std::string> sorted_object(std::string_view text);

// Appends exactly what nlohmann's compact dump (invalid UTF-8 replaced by
// U+FFFD) writes for `value`.
void dump_to(std::string& out, const Json& value);

// Bytes `value` takes when dumped, give or take escapes: enough to reserve
// a line once instead of regrowing it.
std::size_t size_hint(const Json& value);

}  // namespace velkor::protocol::json::fast
