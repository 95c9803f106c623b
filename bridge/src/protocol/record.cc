#include "protocol/record.h"

#include <algorithm>
#include <utility>

namespace velkor::protocol {
namespace {

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

IoError shape_error(std::string_view text, std::string_view message) {
  std::size_t end = text.size();
  while (end > 0 && is_json_space(text[end - 1])) --end;
  auto line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + end, '\n'));
  std::size_t line_start = text.rfind('\n', end == 0 ? 0 : end - 1);
  line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
  std::size_t column = end - line_start;
  std::string out(message);
  out += " at line " + std::to_string(line) + ", column " + std::to_string(column);
  return IoError(ErrorKind::kInvalidData, std::move(out));
}

std::optional<IoError> find_duplicate(std::string_view text, const json::Parsed& parsed,
                                      std::initializer_list<std::string_view> fields) {
  for (const std::string& key : parsed.duplicate_top_keys) {
    if (std::find(fields.begin(), fields.end(), key) != fields.end()) {
      return shape_error(text, "duplicate field `" + key + "`");
    }
  }
  return std::nullopt;
}

IoError type_error(std::string_view text, std::string_view field, std::string_view expected,
                   const json::Json& found) {
  std::string message = "invalid type for field `";
  message += field;
  message += "`: expected ";
  message += expected;
  message += ", found ";
  message += type_name(found);
  return shape_error(text, message);
}

std::string_view type_name(const json::Json& v) {
  if (v.is_null()) return "null";
  if (v.is_boolean()) return "boolean";
  if (v.is_number_integer()) return "integer";
  if (v.is_number()) return "number";
  if (v.is_string()) return "string";
  if (v.is_array()) return "array";
  if (v.is_object()) return "object";
  return "value";
}

json::Json* present_member(json::Json& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

std::optional<json::Json> optional_member(json::Json& object, std::string_view key) {
  json::Json* v = present_member(object, key);
  if (v == nullptr) return std::nullopt;
  return std::move(*v);
}

Result<std::optional<std::string>> optional_string(std::string_view text, json::Json& object,
                                                   std::string_view key) {
  json::Json* v = present_member(object, key);
  if (v == nullptr) return std::optional<std::string>();
  if (!v->is_string()) return Unexpected(type_error(text, key, "string", *v));
  return std::optional<std::string>(std::move(*v->get_ptr<std::string*>()));
}

}  // namespace velkor::protocol
