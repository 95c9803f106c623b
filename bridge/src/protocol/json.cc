#include "protocol/json.h"

#include <algorithm>
#include <exception>

#include "base/utf8.h"
#include "protocol/json_fast.h"

namespace velkor::protocol::json {
namespace {

// Strings at least this long skip nlohmann's lexer, which grows two copies
// of every token one character at a time (its value, and its raw text for
// error messages): a 10 MB string cost four times its size before the tree
// held it.
constexpr std::size_t kLongString = 64 * 1024;

// Long string values taken out of a text, with the text that remains.
struct LongStrings {
  std::string text;                   // the input with each lifted value written as ""
  std::vector<std::size_t> ordinals;  // which string values (counted in order) they were
  std::vector<std::string> values;    // their contents, which are their values
};

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Lifts out the long string values whose text is their value: no backslash,
// no control character, valid UTF-8. Anything else stays for nlohmann, so
// every refusal keeps its exact text. Nothing when there is nothing to lift.
std::optional<LongStrings> lift_long_strings(std::string_view text) {
  LongStrings out;
  std::size_t copied = 0;
  std::size_t values = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '"') continue;
    std::size_t end = text.find_first_of("\"\\", i + 1);
    bool plain = end != std::string_view::npos && text[end] == '"';
    while (end != std::string_view::npos && text[end] == '\\') {
      end = text.find_first_of("\"\\", end + 2);
    }
    if (end == std::string_view::npos) break;
    std::size_t after = end + 1;
    while (after < text.size() && is_json_space(text[after])) ++after;
    bool key = after < text.size() && text[after] == ':';
    if (!key) {
      std::string_view body = text.substr(i + 1, end - i - 1);
      if (plain && body.size() >= kLongString &&
          std::none_of(body.begin(), body.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20; }) &&
          is_valid_utf8(body)) {
        out.text.append(text.substr(copied, i + 1 - copied));
        copied = end;
        out.ordinals.push_back(values);
        out.values.emplace_back(body);
      }
      ++values;
    }
    i = end;
  }
  if (out.values.empty()) return std::nullopt;
  out.text.append(text.substr(copied));
  return out;
}

// Builds a DOM from SAX events so that exceptions never leave nlohmann and
// so that duplicate keys of the outermost object can be seen.
class DomBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  // `lifted` holds the values of long strings taken out of the text before
  // parsing, by the ordinal of the string value they stood for.
  explicit DomBuilder(Parsed& out, LongStrings* lifted = nullptr) : out_(out), lifted_(lifted) {}

  bool null() { return put(Json(nullptr)); }
  bool boolean(bool v) { return put(Json(v)); }
  bool number_integer(number_integer_t v) { return put(Json(v)); }
  bool number_unsigned(number_unsigned_t v) { return put(Json(v)); }
  bool number_float(number_float_t v, const string_t&) { return put(Json(v)); }
  bool string(string_t& v) {
    if (lifted_ && next_lifted_ < lifted_->ordinals.size() &&
        lifted_->ordinals[next_lifted_] == string_values_++) {
      return put(Json(std::move(lifted_->values[next_lifted_++])));
    }
    return put(Json(std::move(v)));
  }
  bool binary(binary_t&) { return false; }

  bool start_object(std::size_t) {
    Json* slot = put_container(Json::object());
    stack_.push_back(slot);
    return true;
  }
  bool key(string_t& k) {
    Json* obj = stack_.back();
    if (stack_.size() == 1 && obj->contains(k)) {
      if (std::find(out_.duplicate_top_keys.begin(), out_.duplicate_top_keys.end(), k) ==
          out_.duplicate_top_keys.end()) {
        out_.duplicate_top_keys.push_back(k);
      }
    }
    pending_key_ = &(*obj)[k];
    // A repeated key keeps its last value.
    *pending_key_ = nullptr;
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    Json* slot = put_container(Json::array());
    stack_.push_back(slot);
    return true;
  }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    error_ = strip_exception_prefix(ex.what());
    return false;
  }

  const std::optional<std::string>& error() const { return error_; }

 private:
  bool put(Json v) {
    put_container(std::move(v));
    return true;
  }
  Json* put_container(Json v) {
    if (stack_.empty()) {
      out_.value = std::move(v);
      return &out_.value;
    }
    Json* top = stack_.back();
    if (top->is_array()) {
      top->push_back(std::move(v));
      return &top->back();
    }
    *pending_key_ = std::move(v);
    return pending_key_;
  }

  Parsed& out_;
  LongStrings* lifted_;
  std::size_t next_lifted_ = 0;
  std::size_t string_values_ = 0;
  std::vector<Json*> stack_;
  Json* pending_key_ = nullptr;
  std::optional<std::string> error_;
};

struct Fault {
  std::size_t offset;
  const char* what;
};

// Finds where nesting first exceeds kMaxDepth, or a NUL byte outside a
// string, skipping string contents. nlohmann's lexer takes a NUL for the end
// of input, so without this "{}\0junk" would parse as "{}"; inside a string
// the lexer already refuses it as an unescaped control character.
std::optional<Fault> prescan(std::string_view text) {
  // nlohmann skips a leading byte order mark; JSON text on our wires has
  // none, and only white space may precede a value.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return Fault{0, "unexpected byte order mark"};
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return Fault{i, "recursion limit exceeded"};
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    } else if (c == '\0') {
      return Fault{i, "unexpected NUL byte"};
    }
  }
  return std::nullopt;
}

std::string position_text(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

std::string strip_exception_prefix(std::string_view what) {
  if (!what.empty() && what.front() == '[') {
    auto close = what.find("] ");
    if (close != std::string_view::npos) what.remove_prefix(close + 2);
  }
  return std::string(what);
}

Result<Parsed> parse(std::string_view text) {
  if (std::optional<Parsed> parsed = fast::parse(text)) return std::move(*parsed);
  return parse_general(text);
}

Result<Parsed> parse_general(std::string_view text) {
  if (auto fault = prescan(text)) {
    return Unexpected(IoError(ErrorKind::kInvalidData, std::string(fault->what) + " at " +
                                                           position_text(text, fault->offset)));
  }
  if (auto lifted = lift_long_strings(text)) {
    Parsed out;
    DomBuilder builder(out, &*lifted);
    bool ok = false;
    try {
      ok = Json::sax_parse(lifted->text.begin(), lifted->text.end(), &builder);
    } catch (const std::exception&) {
    }
    // A text that fails is parsed again whole below, so that its error and
    // position are exactly those of the original.
    if (ok) return out;
  }
  Parsed out;
  DomBuilder builder(out);
  bool ok = false;
  try {
    ok = Json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const std::exception& ex) {
    // sax_parse reports through the handler; this only guards allocation
    // failures and anything nlohmann might add later.
    return Unexpected(IoError(ErrorKind::kInvalidData, strip_exception_prefix(ex.what())));
  }
  if (!ok) {
    std::string msg = builder.error().value_or("invalid JSON");
    ErrorKind kind = msg.find("unexpected end of input") != std::string::npos
                         ? ErrorKind::kUnexpectedEof
                         : ErrorKind::kInvalidData;
    return Unexpected(IoError(kind, std::move(msg)));
  }
  return out;
}

void dump_to(std::string& out, const Json& value) { fast::dump_to(out, value); }

std::string dump(const Json& value) {
  std::string out;
  out.reserve(fast::size_hint(value));
  fast::dump_to(out, value);
  return out;
}

std::string dump_general(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<std::uint64_t> as_u64(const Json& v) {
  if (v.is_number_unsigned()) return v.get<std::uint64_t>();
  if (v.is_number_integer()) {
    auto i = v.get<std::int64_t>();
    if (i >= 0) return static_cast<std::uint64_t>(i);
  }
  return std::nullopt;
}

std::optional<std::int64_t> as_i64(const Json& v) {
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(u);
    return std::nullopt;
  }
  if (v.is_number_integer()) return v.get<std::int64_t>();
  return std::nullopt;
}

const std::string* find_string(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

}  // namespace velkor::protocol::json
