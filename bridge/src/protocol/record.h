#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "error/io_error.h"
#include "error/result.h"
#include "protocol/json.h"

namespace velkor::protocol {

// Helpers for the decoders of typed records (JsonRpc, BridgeResp). A shape
// fault is found after the whole value was parsed, so its position is given
// as the end of the value, where a streaming decoder would notice a missing
// member; the texts name the member at fault, which is what a reader needs.

// kInvalidData with "`message` at line L, column C", the position being the
// last byte of the value in `text` (trailing white space not counted).
IoError shape_error(std::string_view text, std::string_view message);

// "duplicate field `NAME`" for the first of `fields` that occurred twice at
// the top level of `parsed`; other repeated keys are not faults.
std::optional<IoError> find_duplicate(std::string_view text, const json::Parsed& parsed,
                                      std::initializer_list<std::string_view> fields);

// "invalid type for field `NAME`: expected EXPECTED, found TYPE".
IoError type_error(std::string_view text, std::string_view field, std::string_view expected,
                   const json::Json& found);

// The JSON type of `v` as a fault text names it: "null", "boolean",
// "integer", "number", "string", "array" or "object".
std::string_view type_name(const json::Json& v);

// Readers of optional members. Every field of these records treats JSON null
// as absent; the value readers move the member out of `object`.

// The member `key` of `object`, or nullptr when it is missing or null.
json::Json* present_member(json::Json& object, std::string_view key);

// The member's value, or nullopt when it is missing or null.
std::optional<json::Json> optional_member(json::Json& object, std::string_view key);

// The member's text, nullopt when it is missing or null, and a type_error
// naming `key` when it is anything but a string.
Result<std::optional<std::string>> optional_string(std::string_view text, json::Json& object,
                                                   std::string_view key);

}  // namespace velkor::protocol
